// Where the previous quarter's table comes from, first found wins:
// Data/Previous.xml (last quarter's Results/F13Results.xml, or a table saved
// from EDGAR), else the manager's own filing on EDGAR when Data/Filer.xlsx
// gives the CIK. The comparison only helps the review: whatever keeps it
// from being made is told in one line, and the quarter's table and review
// are written as ever.
#include "common/files.hpp"
#include "common/run_record.hpp"
#include "compare/changes.hpp"
#include "inputs/filer.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <optional>

namespace tavrin {
namespace {

constexpr const char* kPreviousFile = "Data/Previous.xml";
constexpr const char* kStoredFile = "Store/Previous.xml";

struct Quarter {
    int year;
    int quarter;
};

Quarter quarter_before(py::handle module) {
    int year = global(module, "myYear").cast<int>();
    int quarter = global(module, "myQuarter").cast<int>() - 1;
    if (quarter == 0) return {year - 1, 4};
    return {year, quarter};
}

std::string label(const Quarter& q) {
    return std::to_string(q.year) + " Q" + std::to_string(q.quarter);
}

// A table of a quarter before the last of 2022 was filed before 2023 and so
// in thousands; every table for the last quarter of 2022 on was filed from
// 3 January 2023, in whole dollars.
bool filed_in_thousands(const Quarter& q) { return q.year < 2022 || (q.year == 2022 && q.quarter < 4); }

std::string edgar_source(const EdgarFiling& filing) {
    std::string applied;
    for (size_t i = 0; i < filing.accessions.size(); ++i) {
        applied += std::string(i == 0 ? "" : i == 1 ? " with " : ", ") + filing.forms[i] + " " +
                   filing.accessions[i];
    }
    return "EDGAR " + applied + ", kept as " + kStoredFile;
}

// The previous table's entries, or nothing when no source is given.
std::optional<std::vector<TableEntry>> previous_entries(py::handle module, const Quarter& before,
                                                        Comparison& comparison) {
    py::object path = global(module, "previous_path");
    if (truthy(py::module_::import("os").attr("path").attr("exists")(path))) {
        comparison.source = kPreviousFile;
        comparison.in_thousands = filed_in_thousands(before);
        return read_information_table(module, path);
    }
    FilerWorkbook filer = read_filer(module);
    py::object cik = filer.field("CIK");
    if (cik.is_none()) return std::nullopt;
    EdgarFiling filing = fetch_filing(module, cik_text(cik, filer), before.year, before.quarter,
                                      global(module, "previous_store_path"));
    comparison.source = edgar_source(filing);
    comparison.in_thousands = filing.in_thousands;
    return filing.entries;
}

std::map<std::string, std::string> not_reported(const RunRecord& record) {
    std::map<std::string, std::string> reasons;
    for (const HoldingOutcome& outcome : record.outcomes) {
        if (outcome.reason == nullptr || outcome.cusip.is_none()) continue;
        std::string cusip = text(py::str(outcome.cusip).attr("strip")().attr("upper")());
        reasons.emplace(cusip, outcome.reason);
    }
    return reasons;
}

std::string how_to_give(const Quarter& before) {
    return "No previous quarter to compare with: put the " + label(before) +
           " information table in " + kPreviousFile + ", or the manager's CIK in "
           "Data/Filer.xlsx (sheet \"Manager\", field \"CIK\") to have it fetched from EDGAR.";
}

long long total_of(const std::vector<Change>& changes, bool previous) {
    long long total = 0;
    for (const Change& change : changes) total += previous ? change.previous_value : change.current_value;
    return total;
}

size_t count_of(const Comparison& comparison, ChangeStatus status) {
    return static_cast<size_t>(std::count_if(
        comparison.changes.begin(), comparison.changes.end(),
        [&](const Change& change) { return change.status == status; }));
}

}  // namespace

// Excel keeps a CIK typed as a number without its leading zeros, and
// pandas may hand it over as a float.
std::string cik_text(const py::object& value, const FilerWorkbook& filer) {
    std::string cik;
    if (PyFloat_Check(value.ptr())) {
        double number = value.cast<double>();
        if (std::floor(number) == number && number >= 0 && number < 1e10) {
            cik = std::to_string(static_cast<long long>(number));
        }
    } else {
        cik = text(py::str(value).attr("strip")());
    }
    bool digits = !cik.empty() && cik.size() <= 10 &&
                  std::all_of(cik.begin(), cik.end(),
                              [](unsigned char c) { return std::isdigit(c) != 0; });
    if (!digits) {
        raise_error(PyExc_ValueError,
                    "The field \"CIK\" of the sheet \"Manager\" in " + text(filer.path) +
                        " must be the manager's CIK, a number of up to ten digits such as "
                        "0001234567 (it holds \"" + text(value) + "\").");
    }
    return cik;
}


Comparison compare_with_previous(py::handle module, const RunRecord& record,
                                 const py::object& document) {
    Comparison comparison;
    Quarter before = quarter_before(module);
    comparison.period = label(before);
    try {
        std::optional<std::vector<TableEntry>> previous =
            previous_entries(module, before, comparison);
        if (!previous) {
            comparison.message = how_to_give(before);
            return comparison;
        }
        std::vector<TableEntry> current = read_information_table(module, delivered_path(document));
        comparison.changes = compare_tables(*previous, comparison.in_thousands ? 1000 : 1, current,
                                            not_reported(record));
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_Exception)) throw;
        std::string kind = text(error.type().attr("__name__"));
        bool explained = error.matches(PyExc_ValueError) || error.matches(PyExc_OSError);
        comparison.message = "Not compared with the " + label(before) + " table: " +
                             (explained ? "" : kind + ": ") + text(error.value()) +
                             " This quarter's table and review are written all the same.";
        return comparison;
    }
    comparison.previous_total = total_of(comparison.changes, true);
    comparison.current_total = total_of(comparison.changes, false);
    comparison.compared = true;
    return comparison;
}

void print_comparison(const Comparison& comparison) {
    py::object print = builtin("print");
    if (!comparison.compared) {
        print(comparison.message);
        return;
    }
    size_t twice = static_cast<size_t>(
        std::count_if(comparison.changes.begin(), comparison.changes.end(),
                      [](const Change& change) { return !change.notes.empty(); }));
    print("Against the " + comparison.period + " table (" + comparison.source + "): " +
          std::to_string(count_of(comparison, ChangeStatus::kNew)) + " new, " +
          std::to_string(count_of(comparison, ChangeStatus::kClosed)) + " closed, " +
          std::to_string(count_of(comparison, ChangeStatus::kIncreased)) + " increased, " +
          std::to_string(count_of(comparison, ChangeStatus::kDecreased)) + " decreased, " +
          std::to_string(count_of(comparison, ChangeStatus::kUnchanged)) + " unchanged; " +
          std::to_string(twice) + " to look at twice");
    print("Value totals: " + dollars_text(comparison.previous_total) + " in the " +
          comparison.period + " table" +
          (comparison.in_thousands ? " (filed in thousands, here in dollars)" : "") + ", " +
          dollars_text(comparison.current_total) + " in this quarter's");
}

}  // namespace tavrin
