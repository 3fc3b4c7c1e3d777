// The manager's own facts, from the optional workbook Data/Filer.xlsx that
// the manager fills once and keeps from quarter to quarter: the sheet
// "Manager" (one field a row, "Field" and "Value") and the tables "Other
// managers", "Holdings" and "Reporting managers" (headings in row 1).
#pragma once

#include "common/python.hpp"

namespace tavrin {

struct FilerWorkbook {
    bool present = false;  // false: no Data/Filer.xlsx, every default holds
    py::object path;       // the workbook's path (the global filer_path)
    // "Manager": field label, as written, -> its value (None where blank).
    py::dict manager;
    // The other sheets, one dict a row keyed by the row-1 headings, with the
    // row's number in the workbook under "row"; a sheet that is not there
    // gives no rows.
    py::list other_managers;
    py::list holdings;
    py::list reporting_managers;

    // The value of a "Manager" field, or None where it is absent or blank.
    py::object field(const char* label) const;
};

// Reads Data/Filer.xlsx when it exists.
FilerWorkbook read_filer(py::handle module);

}  // namespace tavrin
