// Whether a list PDF's tables read as the list of the quarter being reported.
#pragma once

#include "common/python.hpp"

#include <optional>
#include <string>
#include <utility>

namespace tavrin {

// (year, quarter) as the list's cover prints it ("Second Quarter ♦ FY 2026"),
// looked for in the tables before the first that holds list rows.
std::optional<std::pair<int, int>> printed_period(py::handle module, const py::list& tables);

// Raises ValueError unless the extraction holds list rows, its cover names
// the quarter `myYear`/`myQuarter`, and, when `count_required`, it states a
// Total Count that its rows meet. `described` names the file ("The list
// downloaded from URL"), `kept` says what became of the stored one.
void check_is_quarters_list(py::handle module, const py::dict& extraction,
                            const std::string& described, const std::string& kept,
                            bool count_required);

}  // namespace tavrin
