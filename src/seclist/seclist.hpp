// Securities list acquisition: the quarter's 13(f) list, downloaded from the
// SEC and extracted into one table.
#pragma once

#include "common/python.hpp"

namespace tavrin {

// Downloads the list PDF to `sec_pdf_path`, replacing an earlier copy only
// with a complete, real PDF.
py::object getsec(py::handle module);

// The list's tables, kept one sheet each in `sec_excel_Path` and read back
// stacked as one cleaned table.
py::object storesec(py::handle module);

}  // namespace tavrin
