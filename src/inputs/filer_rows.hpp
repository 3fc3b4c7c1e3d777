// The facts of Data/Filer.xlsx that shape the information table, checked
// cell by cell: the manager's defaults on "Manager", the numbers of the
// other managers, and the rows of "Holdings".
#pragma once

#include "common/python.hpp"
#include "inputs/filer.hpp"

#include <vector>

namespace tavrin {

// "Investment discretion" and "Voting authority" of the sheet "Manager",
// or their defaults SOLE and None. Prints a warning for each field label
// the workbook does not know.
struct ManagerDefaults {
    py::str discretion;  // "SOLE", "DFND" or "OTR"
    py::str voting;      // "None", "Sole" or "Shared"
};
ManagerDefaults manager_defaults(const FilerWorkbook& filer);

// The numbers of the sheet "Other managers" (whole numbers from 1, each
// once).
py::set other_manager_numbers(const FilerWorkbook& filer);

// One row of the sheet "Holdings", checked.
struct HoldingsRow {
    py::object row;  // its number in the workbook
    py::object cusip;
    py::object shares, value;       // whole numbers, None where blank
    py::object discretion;          // None where blank: the manager's default
    py::object other_managers;      // 0 where blank, else "1,3"
    py::object sole, shared, none;  // all None where the three are blank
    py::str type;                   // "SH" or "PRN"
    py::str put_call;               // "", "Put" or "Call"
};

// Every row of "Holdings", in sheet order; `numbers` are those of the
// other managers.
std::vector<HoldingsRow> holdings_rows(const FilerWorkbook& filer, const py::set& numbers);

}  // namespace tavrin
