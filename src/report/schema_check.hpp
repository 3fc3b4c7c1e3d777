// The check of an information-table document against EDGAR's own schema,
// made before the document may replace the previous one.
#pragma once

#include "common/python.hpp"

#include <string>

namespace tavrin {

// ValueError naming every entry EDGAR's information-table schema refuses
// (its issuer and CUSIP), the element and the rule in plain words, when
// `document` (UTF-8) is not valid; `target` is the file it was meant for.
void check_against_schema(py::handle module, const std::string& document,
                          const py::object& target);

// EDGAR's information-table schema, loaded from the files shipped beside the
// module; FileNotFoundError when they are missing.
py::object information_table_schema(py::handle module);

}  // namespace tavrin
