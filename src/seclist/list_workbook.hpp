// The list's per-page workbook, written without going through pandas.
#pragma once

#include "common/python.hpp"

namespace tavrin {

// Writes `tables` to `path` as one sheet each (Sheet1, Sheet2, ...), each
// with an empty A1, the column labels in row 1 and the row numbers in column
// A, holding exactly the cells pandas' xlsxwriter path would write. Returns
// false, having written nothing, when a table holds anything that path would
// write differently; the caller then writes the workbook through pandas.
// When `grids` is given it receives, for each sheet, its cells as the
// workbook reader gives them back (list_stack.cpp).
bool write_plain_workbook(py::handle module, const py::object& tables, const py::object& path,
                          py::list* grids = nullptr);

// Writes `tables` to the list workbook at `path` (directly, or through
// pandas and xlsxwriter when a table needs it; every text a text cell either
// way) and returns them stacked, one after the other, as the workbook reads
// back.
py::object write_and_stack(py::handle module, const py::list& tables, const py::object& path);

}  // namespace tavrin
