// The review's sheet "Changes": one row per CUSIP and put/call of either
// quarter, with both quarters' shares and values, the change of each, the
// status and the notes to look at twice; below the table, where the
// previous table came from and in what unit it was filed.
#include "compare/changes.hpp"
#include "report/review_book.hpp"

#include <cmath>

namespace tavrin {
namespace {

constexpr const char* kSheetName = "Changes";
constexpr const char* kPreviousValue = "Previous value";
constexpr const char* kPreviousValueScaled = "Previous value (filed in thousands, here in dollars)";

py::list headings(bool in_thousands) {
    py::list labels;
    for (const char* label : {"CUSIP", "Put/Call", "Issuer", "Title of class", "Previous shares",
                              "Current shares", "Shares change (%)"}) {
        labels.append(label);
    }
    labels.append(in_thousands ? kPreviousValueScaled : kPreviousValue);
    for (const char* label : {"Current value", "Value change (%)", "Status", "Look twice"}) {
        labels.append(label);
    }
    return labels;
}

// Empty where a quarter does not hold the row.
py::object amount(bool held, long long value) {
    return held ? py::object(py::int_(value)) : py::object(py::none());
}

// To a tenth of a percent; empty unless both quarters hold the row and the
// previous figure is above zero.
py::object percent_change(const Change& change, long long before, long long now) {
    if (!change.before || !change.now || before <= 0) return py::none();
    double percent = (static_cast<double>(now) - static_cast<double>(before)) / before * 100;
    return py::float_(std::round(percent * 10) / 10);
}

py::object text_or_empty(const std::string& value) {
    return value.empty() ? py::object(py::none()) : py::object(py::str(value));
}

py::list row_of(const Change& change) {
    std::string notes;
    for (const std::string& note : change.notes) notes += (notes.empty() ? "" : "; ") + note;
    py::list row;
    row.append(change.cusip);
    row.append(text_or_empty(change.put_call));
    row.append(text_or_empty(change.issuer));
    row.append(text_or_empty(change.title));
    row.append(amount(change.before, change.previous_shares));
    row.append(amount(change.now, change.current_shares));
    row.append(percent_change(change, change.previous_shares, change.current_shares));
    row.append(amount(change.before, change.previous_value));
    row.append(amount(change.now, change.current_value));
    row.append(percent_change(change, change.previous_value, change.current_value));
    row.append(status_name(change.status));
    row.append(text_or_empty(notes));
    return row;
}

std::vector<std::string> source_lines(const Comparison& comparison) {
    std::vector<std::string> lines = {"Previous table: " + comparison.period + ", from " +
                                      comparison.source + "."};
    if (comparison.in_thousands) {
        lines.push_back("The " + comparison.period + " table gives its values in thousands of "
                        "dollars, as filings made before 3 January 2023 did; they are shown "
                        "and compared here in dollars (times 1,000).");
    }
    return lines;
}

}  // namespace

void write_changes_sheet(ReviewBook& book, const Comparison& comparison) {
    ReviewSheet& sheet = book.add_sheet(kSheetName);
    sheet.headings(headings(comparison.in_thousands));
    for (const Change& change : comparison.changes) sheet.row(row_of(change));
    sheet.skip_row();  // a blank row between the table and what it was compared with
    for (const std::string& line : source_lines(comparison)) {
        py::list row;
        row.append(line);
        sheet.row(row);
    }
}

}  // namespace tavrin
