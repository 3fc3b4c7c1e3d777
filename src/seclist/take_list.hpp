// The quarter's list taken into Store once it has been checked.
#pragma once

#include "common/python.hpp"

namespace tavrin {

// The downloaded `body` (a whole PDF) replaces Store/F13SEC.pdf and the list
// workbook together, once its extraction reads as the list of the quarter
// being reported; otherwise neither is touched and the error says why.
void take_downloaded_list(py::handle module, const py::bytes& body, const py::object& url);

// The stored list, kept (the SEC said it is unchanged), is checked the same
// way; its stored extraction is used when its key matches.
void check_kept_list(py::handle module, const py::object& url);

// The phrase every download failure ends its first sentence with.
inline constexpr const char* kListKept = "the stored list was left as it was";

}  // namespace tavrin
