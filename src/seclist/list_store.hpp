// The list's extraction kept in Store for later runs, keyed on what decides
// it: the PDF's SHA-256, the module's version and the extractor's version.
#pragma once

#include "common/python.hpp"

#include <string>

namespace tavrin {

// The stored extraction of the PDF whose digest is `digest`, or None when
// there is none, its key differs, or its files are damaged or missing.
py::object load_stored_extraction(py::handle module, const std::string& digest);

// Stores `extraction` (replacing any stored one) beside the list workbook.
// A store that cannot be written costs the next run a fresh extraction, not
// this run: the failure is told in one line.
void store_extraction(py::handle module, const py::dict& extraction);

// The stored files' names, for a caller that replaces them with others.
py::object stored_tables_path(py::handle module);
py::object stored_key_path(py::handle module);

}  // namespace tavrin
