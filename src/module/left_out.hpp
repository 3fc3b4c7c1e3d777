// The reasons the review gives for a portfolio holding left out, in words
// that say what to fix.
#pragma once

#include "common/python.hpp"

#include <string>

namespace tavrin {

// A number as the review and the console show it: whole floats without
// ".0" ("25000"), others as Python writes them.
std::string figure(const py::handle& amount);

// Why a CUSIP is not nine letters and digits: the first character outside
// A to Z and 0 to 9 by code point, name and position, or its length.
std::string malformed_cusip_reason(const py::handle& cusip);

// "column C of row 12 reads 'ADR': ..." for a description too short to be
// read as a holding; `row` is the sheet's row, or None where unknown.
std::string short_description_reason(const py::handle& description, const py::handle& row);

// The reason, and the console's warning, for a holding whose quantity and
// value after removal disagree (shares left and the value gone, or the
// reverse).
std::string disagreement_reason(const py::handle& quantity, const py::handle& value);
void warn_of_disagreement(const py::handle& cusip, const py::handle& held_quantity,
                          const py::handle& held_value, const py::handle& quantity,
                          const py::handle& value, const py::handle& removal_path);

}  // namespace tavrin
