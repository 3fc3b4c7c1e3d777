// The removal list takes amounts off holdings, so an amount that is not
// what it looks like changes the filing: TRUE would take off one share, a
// negative amount would add to the holding, and a formula Excel never
// calculated reads as blank.
#include "inputs/removal_checks.hpp"

#include "common/tables.hpp"
#include "inputs/inputs.hpp"
#include "inputs/sheet_xml.hpp"

#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace tavrin {
namespace {

constexpr long kFirstDataRow = 2;  // row 1 holds the headings
constexpr const char* kAmountLabels[] = {"Quantity", "Value"};

struct Problem {
    long position;  // of the row in the table
    long column;
    PyObject* type;
    std::string what;
    std::string advice;
};

// The position of the column headed `label` once blanks and colons are
// taken out, as the normaliser reads headings; -1 when there is none.
long column_headed(const py::list& labels, const std::string& label) {
    for (size_t i = 0; i < labels.size(); ++i) {
        if (!PyUnicode_Check(labels[i].ptr())) continue;
        std::string heading = py::str(labels[i]);
        std::string cleaned;
        for (char c : heading) {
            if (c != ' ' && c != ':') cleaned.push_back(c);
        }
        if (cleaned == label) return static_cast<long>(i);
    }
    return -1;
}

bool is_date_or_time(const py::handle& value) {
    py::object datetime = py::module_::import("datetime");
    for (const char* kind : {"date", "time", "timedelta"}) {
        if (py::isinstance(value, datetime.attr(kind))) return true;
    }
    py::object pd = py::module_::import("pandas");
    return py::isinstance(value, pd.attr("Timestamp")) ||
           py::isinstance(value, pd.attr("Timedelta"));
}

constexpr const char* kEnterAmount =
    "Enter the amount to take off as a number (0 for none).";

// What is wrong with one filled amount cell, if anything.
bool problem_of(const py::handle& value, Problem& problem) {
    if (PyBool_Check(value.ptr())) {
        problem.type = PyExc_TypeError;
        problem.what = std::string("holds the logical value ") +
                       (truthy(value) ? "TRUE" : "FALSE") + ", which is not a number";
        problem.advice = kEnterAmount;
    } else if (is_date_or_time(value)) {
        problem.type = PyExc_TypeError;
        problem.what = "holds the date or time " + text(value) + ", which is not a number";
        problem.advice = std::string(kEnterAmount) +
                         " Where Excel shows a date, set the cell's format to Number.";
    } else if (PyUnicode_Check(value.ptr())) {
        problem.type = PyExc_TypeError;
        problem.what = "holds the text " + repr_text(value) + ", which is not a number";
        problem.advice = kEnterAmount;
    } else if (py::isinstance<py::float_>(value) || py::isinstance<py::int_>(value) ||
               PyNumber_Check(value.ptr())) {
        if (!(py::reinterpret_borrow<py::object>(value) < py::int_(0))) return false;
        problem.type = PyExc_ValueError;
        problem.what = "holds " + text(value) +
                       ", a negative amount, which would add to the holding instead of taking "
                       "off";
        problem.advice = "Enter the amount to take off as a number of 0 or more.";
    } else {
        problem.type = PyExc_TypeError;
        problem.what = "holds " + repr_text(value) + ", which is not a number";
        problem.advice = kEnterAmount;
    }
    return true;
}

// What a reader sees as empty but is not: cells by (sheet row, column).
struct Unreadable {
    std::set<std::pair<long, long>> unsaved;
    std::map<std::pair<long, long>, std::string> errors;

    explicit Unreadable(const SheetFacts& facts) {
        for (const CellAddress& at : facts.unsaved_formulas) unsaved.insert({at.row, at.column});
        for (const auto& [at, shown] : facts.errors) errors[{at.row, at.column}] = shown;
    }

    // Fills `problem` when the cell at table row `row` is one of them.
    bool find(long row, long column, Problem& problem) const {
        std::pair<long, long> at{row + kFirstDataRow, column};
        auto error = errors.find(at);
        if (unsaved.count(at)) {
            problem.what = "holds a formula whose result was never saved, so it reads as blank";
            problem.advice =
                "Open the workbook in Excel and save it, so that the results are stored, or "
                "enter the value itself.";
        } else if (error != errors.end()) {
            problem.what = "holds the error value " + error->second + ", so it reads as blank";
            problem.advice = "Correct the formula, or enter the value itself.";
        } else {
            return false;
        }
        problem.type = PyExc_TypeError;
        return true;
    }
};

py::object column_at(const py::object& df, long column) {
    return df.attr("iloc")[py::make_tuple(py::slice(0, py::len(df), 1), column)];
}

// A row whose CUSIP cannot be read would be dropped, and what it takes off
// the holding with it.
void add_cusip_problems(const py::object& df, long cusip, const std::vector<long>& amounts,
                        const Unreadable& unreadable, std::vector<Problem>& problems) {
    py::list cusip_missing = column_at(df, cusip).attr("isna")().attr("tolist")();
    std::vector<py::list> amount_missing;
    for (long column : amounts) {
        amount_missing.push_back(column_at(df, column).attr("isna")().attr("tolist")());
    }
    for (size_t row = 0; row < cusip_missing.size(); ++row) {
        if (!truthy(cusip_missing[row])) continue;
        Problem problem{static_cast<long>(row), cusip, nullptr, "", ""};
        if (unreadable.find(static_cast<long>(row), cusip, problem)) {
            problems.push_back(problem);
            continue;
        }
        for (const py::list& missing : amount_missing) {
            if (truthy(missing[row])) continue;
            problem.type = PyExc_ValueError;
            problem.what = "is empty, but the row has an amount to take off";
            problem.advice = "Enter the CUSIP of the security, or delete the row.";
            problems.push_back(problem);
            break;
        }
    }
}

std::vector<Problem> problems_in(const py::object& df, long cusip,
                                 const std::vector<long>& amounts,
                                 const Unreadable& unreadable) {
    std::vector<Problem> problems;
    add_cusip_problems(df, cusip, amounts, unreadable, problems);
    py::list cusip_missing = column_at(df, cusip).attr("isna")().attr("tolist")();
    for (long column : amounts) {
        py::object series = column_at(df, column);
        py::list values = series.attr("tolist")();
        py::list missing = series.attr("isna")().attr("tolist")();
        for (size_t row = 0; row < values.size(); ++row) {
            if (truthy(cusip_missing[row])) continue;
            Problem problem{static_cast<long>(row), column, nullptr, "", ""};
            if (unreadable.find(static_cast<long>(row), column, problem) ||
                (!truthy(missing[row]) && problem_of(values[row], problem))) {
                problems.push_back(problem);
            }
        }
    }
    return problems;
}

}  // namespace

void check_removal_amounts(const py::object& df, const py::object& path) {
    py::list labels = df.attr("columns").attr("tolist")();
    long cusip = column_headed(labels, "CUSIP");
    if (cusip < 0 || py::len(df) == 0) return;
    std::vector<long> amounts;
    for (const char* label : kAmountLabels) {
        long column = column_headed(labels, label);
        if (column >= 0) amounts.push_back(column);
    }
    std::vector<Problem> problems =
        problems_in(df, cusip, amounts, Unreadable(first_sheet_facts(path)));
    if (problems.empty()) return;
    const Problem* first = &problems.front();
    for (const Problem& problem : problems) {
        if (problem.position < first->position) first = &problem;
    }
    std::string message = "Removal workbook " + text(path) + ", row " +
                          std::to_string(first->position + kFirstDataRow);
    if (first->column != cusip) {
        py::object identifier = df.attr("iat")[py::make_tuple(first->position, cusip)];
        message += ", CUSIP " + text(clean_identifier(identifier));
    }
    message += ", column " +
        column_letter(static_cast<size_t>(first->column)) + " (\"" +
        text(labels[static_cast<size_t>(first->column)]) + "\"): the cell " + first->what +
        ". " + first->advice;
    if (problems.size() > 1) {
        message += " " + std::to_string(problems.size() - 1) + " more cell(s) are like it.";
    }
    raise_error(first->type, message);
}

}  // namespace tavrin
