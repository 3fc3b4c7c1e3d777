// Small helpers for the pandas tables the stages exchange.
#pragma once

#include "common/python.hpp"

#include <string>

namespace tavrin {

// The column `label` of `table`; KeyError naming `what` and the heading,
// followed by `advice`, when the table has no such column.
py::object key_column(const py::object& table, const char* label, const std::string& what,
                      const std::string& advice = "");

// The spreadsheet letter of a zero-based column position (9 gives "J").
std::string column_letter(size_t position);

}  // namespace tavrin
