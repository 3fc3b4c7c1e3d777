// Report output: the information-table builder and its XML writer.
#pragma once

#include "common/python.hpp"

namespace tavrin {

// Writes `df` (the thirteen information-table columns, read by position) as
// the EDGAR information-table document beside the results workbook.
py::object createxml(py::handle module, py::object df);

// Builds the information table, one row per distinct CUSIP of `bswout`,
// and hands it, sorted by issuer name, to createxml.
// FileNotFoundError naming the Results folder when the folder of `file`
// does not exist.
void require_results_folder(const py::object& file);

py::object f13excel(py::handle module, py::object sec, py::object bswout);

}  // namespace tavrin
