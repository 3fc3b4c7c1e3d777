// A downloaded list replaces the stored one only when it reads as the list of
// the quarter asked for. The SEC serves an unpublished quarter's address with
// an HTML page, but a proxy, a mirror or a mistyped TAVRIN_SEC_BASE_URL can
// serve a whole, valid list of another quarter, or a PDF that is no list at
// all; reported from, either gives a wrong information table without a word.
//
// The quarter is read from the cover, which tabula reads with the list's
// other pages ("Second Quarter ♦ FY 2026"); the header band of the data
// pages ("Year: 2026 Qtr: 2") lies outside the reading area.
#include "seclist/list_check.hpp"

#include "seclist/last_page.hpp"

#include <regex>
#include <string>

namespace tavrin {
namespace {

constexpr const char* kQuarterWords[] = {"First", "Second", "Third", "Fourth"};

std::string period_text(int year, int quarter) {
    return std::to_string(year) + " Q" + std::to_string(quarter);
}

std::string cover_text(int year, int quarter) {
    return std::string(kQuarterWords[quarter - 1]) + " Quarter FY " + std::to_string(year);
}

std::optional<std::pair<int, int>> period_in(const std::string& cell) {
    static const std::regex cover("(First|Second|Third|Fourth) Quarter\\b.*?\\bFY ?([0-9]{4})");
    std::smatch parts;
    if (!std::regex_search(cell, parts, cover)) return std::nullopt;
    int quarter = 0;
    for (int i = 0; i < 4; ++i) {
        if (parts[1].str() == kQuarterWords[i]) quarter = i + 1;
    }
    return std::make_pair(std::stoi(parts[2].str()), quarter);
}

std::optional<std::pair<int, int>> period_among(const py::list& values) {
    for (const py::handle& value : values) {
        if (!py::isinstance<py::str>(value)) continue;
        if (auto period = period_in(value.cast<std::string>())) return period;
    }
    return std::nullopt;
}

[[noreturn]] void refuse(const std::string& message) { raise_error(PyExc_ValueError, message); }

void check_has_rows(const py::dict& extraction, const std::string& described,
                    const std::string& kept) {
    if (list_rows(extraction["stacked"]) > 0) return;
    refuse(described + " is not the list of 13(f) securities: none of its pages holds the "
                       "list's table (headings CUSIP NO, ISSUER NAME, ISSUER DESCRIPTION); " +
           kept + ". Check TAVRIN_SEC_BASE_URL and any proxy, and run again.");
}

void check_period(py::handle module, const py::dict& extraction, const std::string& described,
                  const std::string& kept) {
    int year = global(module, "myYear").cast<int>();
    int quarter = global(module, "myQuarter").cast<int>();
    py::object printed = extraction["period"];
    if (printed.is_none()) {
        refuse(described + " names no quarter on its cover (the list's cover reads, for the "
                           "quarter being reported, \"" + cover_text(year, quarter) + "\"), so "
                           "it cannot be told to be the list of " + period_text(year, quarter) +
               "; " + kept + ". Check TAVRIN_SEC_BASE_URL and any proxy, and run again.");
    }
    int printed_year = printed[py::int_(0)].cast<int>();
    int printed_quarter = printed[py::int_(1)].cast<int>();
    if (printed_year == year && printed_quarter == quarter) return;
    refuse(described + " is the list of " + period_text(printed_year, printed_quarter) +
           " (its cover reads \"" + cover_text(printed_year, printed_quarter) + "\"), not of " +
           period_text(year, quarter) + ", the quarter being reported; " + kept +
           ". The address may serve another quarter's list (check TAVRIN_SEC_BASE_URL and any "
           "proxy); to report " + period_text(printed_year, printed_quarter) +
           ", set TAVRIN_PERIOD=" + std::to_string(printed_year) + "Q" +
           std::to_string(printed_quarter) + ".");
}

void check_count(const py::dict& extraction, const std::string& described,
                 const std::string& kept) {
    long long carried = list_rows(extraction["stacked"]);
    py::object stated = extraction["stated"];
    if (stated.is_none()) {
        refuse(described + " states no \"Total Count: N\" on its last page, so it may not be "
                           "the whole list (" + with_separators(carried) +
               " rows carry a CUSIP); " + kept + ". Run again; if it happens again, check "
               "TAVRIN_SEC_BASE_URL and any proxy.");
    }
    long long count = stated.cast<long long>();
    if (count == carried) return;
    refuse(described + " states \"Total Count: " + with_separators(count) + "\" but " +
           with_separators(carried) + " of its rows carry a CUSIP; " + kept +
           ". Run again; if it happens again, the SEC may have changed the list's layout.");
}

}  // namespace

std::optional<std::pair<int, int>> printed_period(py::handle module, const py::list& tables) {
    py::object frame = global(module, "pd").attr("DataFrame");
    for (const py::handle& table : tables) {
        if (!py::isinstance(table, frame)) continue;
        py::list labels = table.attr("columns").attr("tolist")();
        if (labels.contains("CUSIP NO")) break;  // the front pages are behind
        if (auto period = period_among(labels)) return period;
        for (const py::handle& row : py::list(table.attr("values").attr("tolist")())) {
            if (auto period = period_among(py::reinterpret_borrow<py::list>(row))) return period;
        }
    }
    return std::nullopt;
}

void check_is_quarters_list(py::handle module, const py::dict& extraction,
                            const std::string& described, const std::string& kept,
                            bool count_required) {
    check_has_rows(extraction, described, kept);
    check_period(module, extraction, described, kept);
    if (count_required) check_count(extraction, described, kept);
}

}  // namespace tavrin
