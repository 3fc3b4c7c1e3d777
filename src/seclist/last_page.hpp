// The list's last page: its merged heading mended, its stated count checked.
#pragma once

#include "common/python.hpp"

namespace tavrin {

// `tables` with every table whose heading tabula merged into
// "ISSUER DESCRIPTION STATUS" given its two columns back; other tables are
// passed on as they are.
py::list split_merged_headings(py::handle module, const py::handle& tables);

// Compares the "Total Count: N" the list states with the rows of `stacked`
// (the tables read back one after the other) that carry a CUSIP, and prints
// one line when they differ or no count is found.
void check_total_count(py::handle module, const py::list& tables, const py::object& stacked);

}  // namespace tavrin
