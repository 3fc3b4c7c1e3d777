// The manager's own facts, from the optional workbook Data/Filer.xlsx that
// the manager fills once and keeps from quarter to quarter: the sheet
// "Manager" (one field a row, "Field" and "Value") and the tables "Other
// managers", "Holdings" and "Reporting managers" (headings in row 1).
//
// Every cell of the sheets read is checked the way the portfolio's amounts
// are: a formula whose result was never saved would read as blank, so it
// stops the run; on the tables a logical value or a date is no fact
// Tavrin reads, and stops it too.
#pragma once

#include "common/python.hpp"

#include <string>

namespace tavrin {

// The sheets of Data/Filer.xlsx, named as the manager sees them.
namespace filer_sheet {
constexpr const char* kManager = "Manager";
constexpr const char* kOtherManagers = "Other managers";
constexpr const char* kHoldings = "Holdings";
constexpr const char* kReportingManagers = "Reporting managers";
}  // namespace filer_sheet

struct FilerWorkbook {
    bool present = false;  // false: no Data/Filer.xlsx, every default holds
    py::object path;       // the workbook's path (the global filer_path)
    // "Manager": field label, as written, -> its value (None where blank).
    py::dict manager;
    // "Manager": field label -> the workbook row it is on.
    py::dict manager_rows;
    // The other sheets, one dict a row keyed by the row-1 headings, with the
    // row's number in the workbook under "row"; a sheet that is not there
    // gives no rows.
    py::list other_managers;
    py::list holdings;
    py::list reporting_managers;
    // The row-1 headings of "Other managers" and "Holdings", as read (None
    // for a sheet that is not there).
    py::object other_managers_headings;
    py::object holdings_headings;
    // Every sheet of the workbook, in its order.
    py::list sheet_names;

    // The value of a "Manager" field, or None where it is absent or blank.
    py::object field(const char* label) const;

    // "Filer workbook <path>, sheet "Holdings", row 3": the start of a
    // message about that row.
    std::string place(const char* sheet, const py::handle& row) const;
};

// Reads Data/Filer.xlsx when it exists.
FilerWorkbook read_filer(py::handle module);

// TypeError when `value` is a logical value or a date: `where` names the
// cell ("Filer workbook ..., sheet "Manager", row 3, column "Value"").
void require_no_logical_or_date(const py::handle& value, const std::string& where);

}  // namespace tavrin
