#include "report/first_rows.hpp"

#include "common/tables.hpp"

#include <cmath>

namespace tavrin {
namespace {

bool matches_nothing(const py::handle& cusip) {
    if (cusip.is_none()) return true;
    return PyFloat_Check(cusip.ptr()) && std::isnan(PyFloat_AS_DOUBLE(cusip.ptr()));
}

}  // namespace

FirstRows::FirstRows(const py::object& table, const char* key,
                     const std::vector<const char*>& fields, const std::string& what) {
    py::list cusips = key_column(table, key, what).attr("tolist")();
    for (const char* field : fields) {
        values_.push_back(key_column(table, field, what).attr("tolist")());
    }
    for (size_t row = 0; row < cusips.size(); ++row) {
        py::object cusip = cusips[row];
        if (matches_nothing(cusip) || first_.contains(cusip)) continue;
        first_[cusip] = py::int_(row);
    }
}

bool FirstRows::has(const py::handle& cusip) const { return first_.contains(cusip); }

py::object FirstRows::field(const py::handle& cusip, size_t field) const {
    size_t row = py::reinterpret_borrow<py::object>(first_[cusip]).cast<size_t>();
    return values_[field][row];
}

}  // namespace tavrin
