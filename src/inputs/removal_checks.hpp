// The removal workbook's amounts, checked as the portfolio's are.
#pragma once

#include "common/python.hpp"

namespace tavrin {

// TypeError for a "Quantity" or "Value" cell of a row with a CUSIP that is
// not a number (a logical value, a date, text, an error value, a formula
// whose result was never saved), or for a CUSIP cell that cannot be read
// (an error value, an unsaved formula); ValueError for a negative amount and
// for a row with an amount but no CUSIP. `df` is the first sheet as read,
// row 1 its headings. A blank amount passes: the reconciliation decides
// whether it matters. Columns that are not there are named where they are
// needed.
void check_removal_amounts(const py::object& df, const py::object& path);

}  // namespace tavrin
