// What one run of the pipeline found out about the portfolio, kept for the
// review workbook: which rows the intake could not read as holdings, and
// what became of each portfolio CUSIP.
//
// The driver owns one RunRecord for the length of its call; the stages it
// calls by name (storeraw, f13excel) add to it or read it through current()
// only while it lives, so a stage called directly by a host records nothing
// and nothing survives the run.
#pragma once

#include "common/python.hpp"

#include <memory>
#include <string>
#include <vector>

namespace tavrin {

struct FilerWorkbook;

// Why a portfolio CUSIP is not in the information table.
namespace left_out {
constexpr const char* kNotListed = "not on the 13(f) list";
constexpr const char* kNotNineCharacters = "not on the 13(f) list: not nine letters and digits";
constexpr const char* kCheckDigit = "not on the 13(f) list: check digit does not match";
constexpr const char* kRemovedInFull = "removed in full";
constexpr const char* kNotAboveZero = "quantity or value not above zero";
constexpr const char* kShortDescription = "description of five characters or fewer";
constexpr const char* kAmountsDisagree = "quantity and value disagree after removal";
}  // namespace left_out

// One portfolio CUSIP: its first row's column C, its quantity (M) and value
// (N) added up over its rows before any removal (None where they cannot be
// added up), and why it is left out, or nullptr when it goes to the report.
// `reason` is the kind, which the counts group by; `explanation`, where
// there is one, is the reason as the review shows it, with what to fix.
struct HoldingOutcome {
    py::object cusip;
    py::object description;
    py::object quantity;
    py::object value;
    const char* reason;
    std::string explanation;

    std::string shown_reason() const { return explanation.empty() ? reason : explanation; }
};

// A row below the second heading row that holds a CUSIP or an amount but
// is no holding (column C or the CUSIP empty): its row number in the
// workbook, why it is not read, and its cells.
struct UnreadRow {
    py::object row;
    std::string why;
    py::list cells;
};

class RunRecord {
  public:
    RunRecord();
    ~RunRecord();
    RunRecord(const RunRecord&) = delete;
    RunRecord& operator=(const RunRecord&) = delete;

    // The innermost live record, or nullptr outside a driver's run.
    static RunRecord* current();

    // Set once the reconciliation has recorded every portfolio CUSIP.
    bool reconciled = false;
    std::vector<HoldingOutcome> outcomes;

    py::list portfolio_headings;  // the headings the unread rows' cells go under
    std::vector<UnreadRow> unread_rows;

    // The list's CUSIPs marked with the option asterisk, cleaned like the
    // list's CUSIPs; set once the list's tables have been read.
    bool options_read = false;
    py::set listed_options;

    // CUSIPs of Data/Filer.xlsx (sheet "Holdings") that the run does not
    // report: those of the portfolio get "on Filer.xlsx, but ..." before
    // their reason, the others a row of their own.
    py::set filer_unreported;

    // Data/Filer.xlsx as this run read it, once for every stage that asks.
    std::shared_ptr<const FilerWorkbook> filer;
    std::vector<py::object> filer_not_in_portfolio;

  private:
    RunRecord* outer_;
};

}  // namespace tavrin
