// Small helpers for the pandas tables the stages exchange.
#pragma once

#include "common/python.hpp"

#include <string>

namespace tavrin {

// The column `label` of `table`; KeyError naming `what` and the heading when
// the table has no such column.
py::object key_column(const py::object& table, const char* label, const std::string& what);

// The spreadsheet letter of a zero-based column position (9 gives "J").
std::string column_letter(size_t position);

}  // namespace tavrin
