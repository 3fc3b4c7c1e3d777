// Reasons a holding is left out that name the cell and say what to do, so
// the holder can mend the workbook instead of guessing from a category.
#include "module/left_out.hpp"

#include "common/run_record.hpp"

#include <cmath>
#include <cstdio>
#include <string>

namespace tavrin {
namespace {

bool is_cusip_character(Py_UCS4 c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z');
}

// "U+0420 CYRILLIC CAPITAL LETTER ER"; a character without a name (a
// control character, a lone surrogate) is given by its code point alone.
std::string described(Py_UCS4 character) {
    char code[16];
    std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(character));
    PyObject* one = PyUnicode_FromOrdinal(static_cast<int>(character));
    if (!one) throw py::error_already_set();
    py::object name = py::module_::import("unicodedata")
                          .attr("name")(py::reinterpret_steal<py::object>(one), py::none());
    return name.is_none() ? std::string(code) : std::string(code) + " " + text(name);
}

bool all_digits(const py::str& cusip) {
    std::string characters = cusip;
    return !characters.empty() && characters.find_first_not_of("0123456789") == std::string::npos;
}

}  // namespace

std::string figure(const py::handle& amount) {
    if (PyFloat_Check(amount.ptr())) {
        double number = PyFloat_AS_DOUBLE(amount.ptr());
        if (std::isfinite(number) && number == std::floor(number) && std::fabs(number) < 1e15) {
            return text(py::int_(py::reinterpret_borrow<py::object>(amount)));
        }
    }
    return text(amount);
}

std::string malformed_cusip_reason(const py::handle& cusip) {
    std::string reason = left_out::kNotNineCharacters;
    if (!PyUnicode_Check(cusip.ptr())) return reason;
    PyObject* source = cusip.ptr();
    Py_ssize_t length = PyUnicode_GET_LENGTH(source);
    int kind = PyUnicode_KIND(source);
    const void* data = PyUnicode_DATA(source);
    for (Py_ssize_t i = 0; i < length; ++i) {
        Py_UCS4 character = PyUnicode_READ(kind, data, i);
        if (is_cusip_character(character)) continue;
        return reason + ": character " + std::to_string(i + 1) + " is " + described(character) +
               ", not one of A to Z and 0 to 9; type the CUSIP again in plain letters and digits";
    }
    if (length == 0) return reason + ": the CUSIP cell holds only blanks";
    std::string counted = ": it has " + std::to_string(length) + " characters";
    if (length > 9 && all_digits(py::reinterpret_borrow<py::str>(cusip))) {
        return reason + counted +
               "; Excel may have read the CUSIP as a number: format the CUSIP column as Text "
               "and type it again";
    }
    return reason + counted;
}

std::string short_description_reason(const py::handle& description, const py::handle& row) {
    std::string where = row.is_none() ? "column C" : "column C of row " + text(row);
    std::string reads = description.is_none()
                            ? " is empty"
                            : " reads " + repr_text(py::str(description));
    return where + reads +
           ": the row is read as a holding only when column C has more than five characters";
}

std::string disagreement_reason(const py::handle& quantity, const py::handle& value) {
    return std::string(left_out::kAmountsDisagree) + ": quantity " + figure(quantity) +
           " and value " + figure(value) +
           " are left, one above zero and one not; correct the removal's Quantity or Value";
}

void warn_of_disagreement(const py::handle& cusip, const py::handle& held_quantity,
                          const py::handle& held_value, const py::handle& quantity,
                          const py::handle& value, const py::handle& removal_path) {
    builtin("print")("Warning: CUSIP " + text(cusip) + " is held as quantity " +
                     figure(held_quantity) + " and value " + figure(held_value) +
                     "; after the removal list it has quantity " + figure(quantity) +
                     " and value " + figure(value) + ", which disagree, so it is not reported. "
                     "Correct its Quantity or Value in " + text(removal_path) + ".");
}

}  // namespace tavrin
