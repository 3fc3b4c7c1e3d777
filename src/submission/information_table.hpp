// The information table as the submission attaches it: its bytes, and its
// entries read back from them for the summary page and the printable form.
#pragma once

#include "common/python.hpp"

#include <set>
#include <string>
#include <utility>
#include <vector>

namespace tavrin {

struct AttachedEntry {
    std::string issuer, title, cusip, figi, value, shares, shares_type, put_call, discretion,
        other_manager, sole, shared, none;
};

struct InformationTable {
    std::string bytes;  // the document exactly as it is attached
    std::vector<AttachedEntry> entries;
    py::object value_total;  // a Python int: 250,000 values of 16 digits overflow 64 bits
};

// An entry of a filed table is known by its CUSIP and its put or call.
using EntryKey = std::pair<std::string, std::string>;
EntryKey entry_key(const std::string& cusip, const std::string& put_call);

// Reads the table from its bytes, matching elements by their local names
// so that a table filed with namespace prefixes reads the same.
InformationTable read_table(const std::string& bytes);

// The same document without the entries whose key is in `filed`.
std::string without_entries(const std::string& bytes, const std::set<EntryKey>& filed);

}  // namespace tavrin
