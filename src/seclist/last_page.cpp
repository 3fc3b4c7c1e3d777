// The real list's last page ends with "Total Count: N", set in a bold sans
// serif at the right, reaching from the ISSUER DESCRIPTION column into the
// STATUS column. tabula then reads the two columns as one, headed
// "ISSUER DESCRIPTION STATUS": the page's rows would reach the report
// without their descriptions, and a list whose rows fit on one page would
// have no description column at all.
//
// The count itself is the list's own statement of how many rows it holds;
// comparing it with what arrived shows a change of the SEC's layout on the
// run it happens, not when a filing is refused.
#include "seclist/last_page.hpp"

#include <algorithm>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tavrin {
namespace {

constexpr const char* kMerged = "ISSUER DESCRIPTION STATUS";
constexpr const char* kDescription = "ISSUER DESCRIPTION";
constexpr const char* kStatus = "STATUS";
constexpr const char* kCusip = "CUSIP NO";
constexpr const char* kName = "ISSUER NAME";
constexpr const char* kCountLabel = "Total Count:";

// The words the STATUS column holds; in a merged cell one ends the text.
constexpr const char* kStatusWords[] = {"ADDED", "DELETED"};

bool is_table(py::handle module, const py::handle& item) {
    return py::isinstance(item, global(module, "pd").attr("DataFrame"));
}

py::list labels_of(const py::handle& table) { return table.attr("columns").attr("tolist")(); }

bool ends_with(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

std::string without_trailing_blanks(std::string text) {
    text.erase(text.find_last_not_of(' ') + 1);
    return text;
}

// A merged cell's description and status: the text less a trailing status
// word, and that word. A cell without one is its description as it came.
std::pair<py::object, py::object> description_and_status(const py::handle& cell) {
    py::object unchanged = py::reinterpret_borrow<py::object>(cell);
    if (!py::isinstance<py::str>(cell)) return {unchanged, py::none()};
    std::string text = without_trailing_blanks(cell.cast<std::string>());
    for (const std::string word : kStatusWords) {
        if (text == word) return {py::none(), py::str(word)};
        if (ends_with(text, " " + word)) {
            std::string description = without_trailing_blanks(text.substr(0, text.size() - word.size()));
            return {py::str(description), py::str(word)};
        }
    }
    return {unchanged, py::none()};
}

bool has_merged_heading(const py::handle& table) {
    py::list labels = labels_of(table);
    return labels.contains(kMerged) && !labels.contains(kDescription) && !labels.contains(kStatus);
}

// The merged column becomes the two it stands for, in its place; every
// other column stays as tabula gave it.
py::object split_table(py::handle module, const py::handle& table) {
    py::list labels = labels_of(table);
    size_t position = labels.attr("index")(kMerged).cast<size_t>();
    py::object cells = table[py::str(kMerged)];
    py::list descriptions, statuses;
    for (const py::handle& cell : py::list(cells.attr("tolist")())) {
        auto [description, status] = description_and_status(cell);
        descriptions.append(description);
        statuses.append(status);
    }
    auto column = [&](const py::list& values) {
        return global(module, "pd").attr("Series")(values, "index"_a = table.attr("index"),
                                                   "dtype"_a = cells.attr("dtype"));
    };
    py::list merged;
    merged.append(kMerged);
    py::object mended = table.attr("drop")("columns"_a = merged);
    mended.attr("insert")(position, kDescription, column(descriptions));
    mended.attr("insert")(position + 1, kStatus, column(statuses));
    return mended;
}

// "Total Count: 18,298" gives 18298.
std::optional<long long> count_in(const std::string& text) {
    size_t at = text.find(kCountLabel);
    if (at == std::string::npos) return std::nullopt;
    size_t next = text.find_first_not_of(' ', at + std::char_traits<char>::length(kCountLabel));
    long long count = 0;
    bool digits = false;
    for (; next < text.size(); ++next) {
        char c = text[next];
        if (c >= '0' && c <= '9') {
            count = count * 10 + (c - '0');
            digits = true;
        } else if (c != ',') {
            break;
        }
    }
    if (!digits) return std::nullopt;
    return count;
}

std::optional<long long> count_among(const py::list& values) {
    for (const py::handle& value : values) {
        if (!py::isinstance<py::str>(value)) continue;
        if (auto count = count_in(value.cast<std::string>())) return count;
    }
    return std::nullopt;
}

}  // namespace

// The count closes the last page, in whichever cell (or heading, on a page
// holding nothing else) tabula puts it; the search stops at the last table
// with list rows.
std::optional<long long> stated_count(py::handle module, const py::list& tables) {
    for (size_t i = tables.size(); i-- > 0;) {
        py::object table = tables[i];
        if (!is_table(module, table)) continue;
        py::list labels = labels_of(table);
        if (auto count = count_among(labels)) return count;
        for (const py::handle& row : py::list(table.attr("values").attr("tolist")())) {
            if (auto count = count_among(py::reinterpret_borrow<py::list>(row))) return count;
        }
        if (labels.contains(kCusip)) break;
    }
    return std::nullopt;
}

std::string with_separators(long long number) {
    std::string digits = std::to_string(number < 0 ? -number : number);
    for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) digits.insert(at, ",");
    return number < 0 ? "-" + digits : digits;
}

namespace {

bool has_column(const py::object& table, const char* label) {
    return py::list(labels_of(table)).contains(label);
}

py::object present(const py::object& table, const char* label) {
    return table[py::str(label)].attr("notna")();
}

py::object missing(const py::object& table, const char* label) {
    return table[py::str(label)].attr("isna")();
}

}  // namespace

long long list_rows(const py::object& stacked) {
    if (!has_column(stacked, kCusip)) return 0;
    return present(stacked, kCusip).attr("sum")().cast<long long>();
}

namespace {

// "Sheet7 (34), Sheet541 (6)": the sheets, as the workbook names them, that
// hold the rows of `mask`, and how many each.
std::string sheets_of(const py::list& lengths, const py::object& mask) {
    std::vector<size_t> ends;
    size_t end = 0;
    for (const py::handle& length : lengths) ends.push_back(end += length.cast<size_t>());
    py::list positions = mask.attr("to_numpy")().attr("nonzero")()[py::int_(0)].attr("tolist")();
    std::map<size_t, size_t> rows_by_sheet;
    for (const py::handle& position : positions) {
        size_t row = position.cast<size_t>();
        ++rows_by_sheet[std::upper_bound(ends.begin(), ends.end(), row) - ends.begin() + 1];
    }
    if (rows_by_sheet.empty()) return "none";
    std::string out;
    for (const auto& [sheet, rows] : rows_by_sheet) {
        if (!out.empty()) out += ", ";
        out += "Sheet" + std::to_string(sheet) + " (" + std::to_string(rows) + ")";
    }
    return out;
}

std::string rows_without_cusip(const py::list& tables, const py::object& stacked) {
    if (!has_column(stacked, kName)) return "none";
    py::object named = present(stacked, kName);
    if (!has_column(stacked, kCusip)) return sheets_of(tables, named);
    return sheets_of(tables, named.attr("__and__")(missing(stacked, kCusip)));
}

std::string rows_without_description(const py::list& tables, const py::object& stacked) {
    if (!has_column(stacked, kCusip)) return "none";
    py::object with_cusip = present(stacked, kCusip);
    if (!has_column(stacked, kDescription)) return sheets_of(tables, with_cusip);
    return sheets_of(tables, with_cusip.attr("__and__")(missing(stacked, kDescription)));
}

}  // namespace

py::list split_merged_headings(py::handle module, const py::handle& tables) {
    py::list mended;
    for (const py::handle& table : tables) {
        if (is_table(module, table) && has_merged_heading(table)) {
            mended.append(split_table(module, table));
        } else {
            mended.append(table);
        }
    }
    return mended;
}

void check_total_count(py::handle module, const py::dict& extraction) {
    std::string pdf = text(global(module, "sec_pdf_path"));
    py::object stacked = extraction["stacked"];
    py::list tables = extraction["lengths"];
    long long carried = list_rows(stacked);
    std::optional<long long> stated;
    if (!extraction["stated"].is_none()) stated = extraction["stated"].cast<long long>();
    if (!stated) {
        builtin("print")("The list " + pdf + " states no \"" + kCountLabel +
                             " N\" on its last page, so whether all of its rows arrived could "
                             "not be checked (" + with_separators(carried) +
                             " rows carry a CUSIP).",
                         "flush"_a = true);
        return;
    }
    if (*stated == carried) return;
    long long difference = carried - *stated;
    builtin("print")(
        "The list " + pdf + " states \"" + kCountLabel + " " + with_separators(*stated) +
            "\" but " + with_separators(carried) + " of its rows carry a CUSIP (" +
            with_separators(difference < 0 ? -difference : difference) +
            (difference < 0 ? " fewer" : " more") + "). Rows without a CUSIP: " +
            rows_without_cusip(tables, stacked) + ". Rows without a description: " +
            rows_without_description(tables, stacked) + ". Compare " +
            text(global(module, "sec_excel_Path")) +
            " with the PDF: the SEC may have changed the list's layout.",
        "flush"_a = true);
}

}  // namespace tavrin
