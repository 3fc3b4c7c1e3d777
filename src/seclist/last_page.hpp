// The list's last page: its merged heading mended, its stated count checked.
#pragma once

#include "common/python.hpp"

#include <optional>
#include <string>

namespace tavrin {

// `tables` with every table whose heading tabula merged into
// "ISSUER DESCRIPTION STATUS" given its two columns back; other tables are
// passed on as they are.
py::list split_merged_headings(py::handle module, const py::handle& tables);

// The "Total Count: N" the list's last page states, if any.
std::optional<long long> stated_count(py::handle module, const py::list& tables);

// The rows of `stacked` that carry a CUSIP.
long long list_rows(const py::object& stacked);

// "18,298".
std::string with_separators(long long number);

// Compares the count an extraction (extraction.hpp) states with its rows
// that carry a CUSIP, and prints one line when they differ or no count is
// found.
void check_total_count(py::handle module, const py::dict& extraction);

}  // namespace tavrin
