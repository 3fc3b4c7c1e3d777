// The table normaliser: what counts as the same CUSIP everywhere is decided
// here, for the list, the portfolio, the removals and the report alike.
#include "inputs/inputs.hpp"

#include <cmath>
#include <string>

namespace tavrin {
namespace {

std::string without_blanks(std::string text) {
    std::string kept;
    kept.reserve(text.size());
    for (char c : text) {
        if (c != ' ') kept += c;
    }
    return kept;
}

// Excel strips the leading zeros of a CUSIP typed as a number, so a whole
// number comes back as its digits padded to nine ("037833100"); otherwise
// the holding would silently miss its list entry.
bool padded_digits(py::handle value, std::string& digits) {
    if (PyBool_Check(value.ptr())) return false;
    py::object whole;
    if (PyLong_Check(value.ptr())) {
        whole = py::reinterpret_borrow<py::object>(value);
    } else if (PyFloat_Check(value.ptr())) {
        double number = PyFloat_AS_DOUBLE(value.ptr());
        if (!std::isfinite(number) || number != std::floor(number)) return false;
        whole = py::int_(py::reinterpret_borrow<py::object>(value));
    } else {
        return false;
    }
    if (whole < py::int_(0)) return false;
    digits = py::str(whole);
    if (digits.size() < 9) digits.insert(0, 9 - digits.size(), '0');
    return true;
}

// The identifier column as text without blanks: what astype(str) gives,
// except for whole numbers, which get their leading zeros back.
py::object identifier_texts(const py::object& pd, const py::object& column) {
    py::object texts = column.attr("astype")(builtin("str"));
    py::list as_text = texts.attr("tolist")();
    py::list as_read = column.attr("tolist")();
    py::list cleaned;
    for (size_t i = 0; i < as_text.size(); ++i) {
        std::string digits;
        if (padded_digits(as_read[i], digits)) {
            cleaned.append(digits);
        } else {
            cleaned.append(without_blanks(as_text[i].cast<std::string>()));
        }
    }
    return pd.attr("Series")(cleaned, "index"_a = column.attr("index"),
                             "dtype"_a = texts.attr("dtype"));
}

// The caller's table must show the cleaning, and pandas has no other public
// way to drop rows in place; pandas 3.1 warns that `inplace` is going away.
void drop_rows_without(py::object& df, const py::str& key) {
    py::list subset;
    subset.append(key);
    py::object warnings = py::module_::import("warnings");
    with_context(warnings.attr("catch_warnings")(), [&](const py::object&) {
        warnings.attr("filterwarnings")("ignore", "message"_a = "The inplace keyword");
        df.attr("dropna")("subset"_a = subset, "how"_a = "all", "inplace"_a = true);
    });
}

void strip_labels(py::object& df, const char* character) {
    df.attr("columns") = df.attr("columns").attr("str").attr("replace")(character, "");
}

// Steps that may fail on an odd table (no identifier column, labels that are
// not text); a failure leaves the table as far as it got.
void normalise(py::handle module, py::object df, py::object cusip, py::object mpath) {
    print_trace(module, mpath);
    strip_labels(df, " ");
    strip_labels(df, ":");
    py::str key(cusip);
    drop_rows_without(df, key);
    df[cusip] = identifier_texts(global(module, "pd"), df[key]);
}

void save_workbook(py::handle module, const py::object& df, const py::object& mpath) {
    py::object writer = global(module, "pd").attr("ExcelWriter")(mpath);
    with_context(writer, [&](const py::object& opened) {
        df.attr("to_excel")(opened, "sheet_name"_a = "Sheet1");
    });
}

}  // namespace

py::object cleancusip(py::handle module, py::object df, py::object cusip, py::object mpath) {
    try {
        normalise(module, df, cusip, mpath);
    } catch (py::error_already_set& error) {
        // A table that cannot be cleaned goes on as it is; interrupts and
        // exits are not the table's fault and pass through.
        if (!error.matches(PyExc_Exception)) throw;
    }
    if (global(module, "mydebug").equal(py::bool_(true))) save_workbook(module, df, mpath);
    return global(module, "pd").attr("DataFrame")(df);
}

}  // namespace tavrin
