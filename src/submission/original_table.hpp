// The information table of the quarter's original filing, which a NEW
// HOLDINGS amendment must not repeat. Kept to this one reader so that the
// shared reader of earlier filings can take its place.
#pragma once

#include "submission/information_table.hpp"

namespace tavrin {

// The keys (CUSIP and put or call) of the entries in Data/Original.xml.
// FileNotFoundError when the file is not there, ValueError when it is not an
// information table.
std::set<EntryKey> original_entries(py::handle module);

}  // namespace tavrin
