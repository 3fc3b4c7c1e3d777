// The list's tables, from a PDF to the stacked table the run reports from.
#pragma once

#include "common/python.hpp"

#include <string>

namespace tavrin {

// One extraction of a list PDF, as a dict:
//   "sha256"  the PDF's digest (hex), which the extraction belongs to;
//   "stacked" the tables one after the other, as the list workbook reads
//             back (every value what the workbook reader makes of its cell);
//   "lengths" the rows of each table, in order (the workbook's sheets);
//   "stated"  the "Total Count: N" the list states, or None;
//   "period"  (year, quarter) its cover names, or None.
// `pdf` is read with tabula (the module's `read_pdf`); the list workbook,
// one sheet a table, is written to `workbook`. A file tabula cannot read
// is a ValueError (or tabula's own class) whose text begins with
// `described`, a phrase naming the file.
py::dict extract_list(py::handle module, const py::object& pdf, const py::object& workbook,
                      const std::string& described, const std::string& advice);

// The SHA-256 of a file's bytes, in hex.
std::string file_sha256(const py::object& path);

// The extraction of the PDF at `sec_pdf_path`: the one this run made, a
// stored one with the same key (unless reuse is off), or a fresh one, which
// replaces the list workbook.
py::dict extraction_of_stored_list(py::handle module);

// Whether stored tables and answers may be reused: TAVRIN_FRESH is not "1"
// and `read_pdf` is still tabula's (a host that stood it in wants it called).
bool reuse_allowed(py::handle module);

// Whether `read_pdf` is still tabula's own.
bool extracted_by_tabula(py::handle module);

// Remembers `extraction` as this run's for its PDF.
void remember_extraction(py::handle module, const py::dict& extraction);

}  // namespace tavrin
