// What a workbook reader's values cannot tell about the first sheet of an
// .xlsx workbook, read from the sheet's own XML.
#pragma once

#include "common/python.hpp"

#include <string>
#include <utility>
#include <vector>

namespace tavrin {

// A cell as a spreadsheet numbers it: row from 1, column from 0 (A is 0).
struct CellAddress {
    long row;
    long column;
};

struct CellRange {
    CellAddress first;
    CellAddress last;
};

struct SheetFacts {
    // Cells holding a formula whose result was never saved (written by a
    // program that does not calculate): a reader sees them empty.
    std::vector<CellAddress> unsaved_formulas;
    // Merged ranges: a reader sees only the top-left cell filled.
    std::vector<CellRange> merged;
    // Cells holding an error value ("#N/A", "#VALUE!"), which a reader sees
    // empty, with the value as the sheet shows it.
    std::vector<std::pair<CellAddress, std::string>> errors;
};

// The facts of the first sheet of the workbook at `path`. A file that is
// not an .xlsx package, or whose parts cannot be found, has none to tell.
SheetFacts first_sheet_facts(const py::object& path);

// The same for the sheet called `name`; none when the workbook has no such
// sheet.
SheetFacts sheet_facts(const py::object& path, const std::string& name);

}  // namespace tavrin
