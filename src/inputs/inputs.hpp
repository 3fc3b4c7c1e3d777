// Input preparation: the table normaliser every table passes through, and
// the intake of the manager's portfolio and removal workbooks.
#pragma once

#include "common/python.hpp"

namespace tavrin {

// Cleans column labels and the identifier column of `df` in place, saves it
// to `mpath` in debug mode, and returns a new table built from it.
py::object cleancusip(py::handle module, py::object df, py::object cusip, py::object mpath);

// One identifier as cleancusip leaves it: a whole number padded to nine
// digits, anything else as text without whitespace, letters in upper case.
py::object clean_identifier(const py::handle& value);

// The portfolio workbook, its two-row headings completed, holdings only.
py::object storeraw(py::handle module);

// The removal workbook: securities (or parts of holdings) to leave out.
py::object storerem(py::handle module);

}  // namespace tavrin
