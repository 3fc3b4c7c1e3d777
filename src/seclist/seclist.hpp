// Securities list acquisition: the quarter's 13(f) list, downloaded from the
// SEC and extracted into one table.
#pragma once

#include "common/python.hpp"

namespace tavrin {

// Downloads the list PDF (conditionally, when a stored copy has validators)
// and replaces `sec_pdf_path` and `sec_excel_Path` together, only with a
// complete PDF whose tables read as the list of the quarter being reported.
py::object getsec(py::handle module);

// The list's tables, kept one sheet each in `sec_excel_Path`, stacked as the
// workbook reads back and cleaned: this run's extraction, a stored one for
// the same PDF, or a fresh one.
py::object storesec(py::handle module);

}  // namespace tavrin
