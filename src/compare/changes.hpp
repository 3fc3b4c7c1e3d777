// This quarter's information table against the previous quarter's: what
// changed, and the entries a reviewer should look at twice.
#pragma once

#include "compare/previous.hpp"

#include <map>
#include <string>
#include <vector>

namespace tavrin {

class ReviewBook;  // report/review_book.hpp

class RunRecord;

enum class ChangeStatus { kNew, kClosed, kIncreased, kDecreased, kUnchanged };

// "NEW", "CLOSED", "INCREASED", "DECREASED", "UNCHANGED".
const char* status_name(ChangeStatus status);

// One CUSIP and put/call in either table, the entries of each table for it
// added up (a table may split one holding by discretion or manager).
struct Change {
    std::string cusip;
    std::string put_call;
    std::string issuer;
    std::string title;
    bool before = false;  // in the previous table
    bool now = false;     // in this quarter's
    long long previous_shares = 0;
    long long current_shares = 0;
    long long previous_value = 0;  // whole dollars, whatever the previous table's unit
    long long current_value = 0;
    ChangeStatus status = ChangeStatus::kUnchanged;
    std::vector<std::string> notes;  // the "look twice" notes, each with its figures
};

// The rows of the comparison, by issuer name and CUSIP. `previous_unit` is
// the dollars one unit of the previous table's values stands for (1000 for
// a table in thousands); `not_reported` gives, for a portfolio CUSIP left
// out of this quarter's table, the reason it was left out.
std::vector<Change> compare_tables(const std::vector<TableEntry>& previous, long long previous_unit,
                                   const std::vector<TableEntry>& current,
                                   const std::map<std::string, std::string>& not_reported);

struct Comparison {
    bool compared = false;
    std::string period;          // of the previous table: "2026 Q2"
    std::string source;          // where it came from: "Data/Previous.xml", ...
    bool in_thousands = false;   // its values were filed in thousands of dollars
    std::vector<Change> changes;
    long long previous_total = 0;  // whole dollars
    long long current_total = 0;
    std::string message;  // when not compared: why, and how to give the previous table
};

// This run's document against the previous quarter's table: Data/Previous.xml
// when there is one, else the manager's filing on EDGAR when Data/Filer.xlsx
// gives the CIK. Whatever keeps the comparison from being made goes into
// `message`; the run goes on.
Comparison compare_with_previous(py::handle module, const RunRecord& record,
                                 const py::object& document);

// The console lines: the counts and the value totals, or the message.
void print_comparison(const Comparison& comparison);

// The review's sheet "Changes", when the comparison was made.
void write_changes_sheet(ReviewBook& book, const Comparison& comparison);

// Dollars as the console and the notes show them: "$1,234,567".
std::string dollars_text(long long dollars);

}  // namespace tavrin
