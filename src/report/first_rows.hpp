// The first row of each CUSIP in a table, found in one pass.
#pragma once

#include "common/python.hpp"

#include <string>
#include <vector>

namespace tavrin {

// For each CUSIP of `key`, the `fields` of its first row in table order.
// CUSIPs compare as Python values do (==), and a missing one (None, NaN)
// matches nothing, as it would in a pandas comparison.
class FirstRows {
  public:
    FirstRows(const py::object& table, const char* key, const std::vector<const char*>& fields,
              const std::string& what);

    bool has(const py::handle& cusip) const;
    // The field at `field` (its place in `fields`) of the CUSIP's first row.
    py::object field(const py::handle& cusip, size_t field) const;

  private:
    py::dict first_;  // CUSIP -> row position
    std::vector<py::list> values_;
};

}  // namespace tavrin
