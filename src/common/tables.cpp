#include "common/tables.hpp"

namespace tavrin {

py::object key_column(const py::object& table, const char* label, const std::string& what,
                      const std::string& advice) {
    py::list labels = table.attr("columns").attr("tolist")();
    if (!labels.contains(label)) {
        std::string message = what + " has no column \"" + label + "\".";
        if (!advice.empty()) message += " " + advice;
        raise_error(PyExc_KeyError, message);
    }
    return table[py::str(label)];
}

std::string column_letter(size_t position) {
    std::string letters;
    for (size_t n = position + 1; n > 0; n = (n - 1) / 26) {
        letters.insert(letters.begin(), static_cast<char>('A' + (n - 1) % 26));
    }
    return letters;
}

}  // namespace tavrin
