// The table normaliser: what counts as the same CUSIP everywhere is decided
// here, for the list, the portfolio, the removals and the report alike.
#include "inputs/inputs.hpp"

#include <cmath>
#include <string>

namespace tavrin {
namespace {

// Unicode category Cf: zero-width spaces and joiners, the byte-order mark,
// the soft hyphen, direction marks; invisible in a cell, so never meant.
bool is_format_character(const py::object& unicodedata, Py_UCS4 character) {
    PyObject* one = PyUnicode_FromOrdinal(static_cast<int>(character));
    if (!one) throw py::error_already_set();
    py::object category = unicodedata.attr("category")(py::reinterpret_steal<py::object>(one));
    return text(category) == "Cf";
}

// Identifiers are compared as text in NFKC form (fullwidth digits become
// "0".."9"), with every Unicode whitespace and format character removed
// (custodian exports carry no-break spaces, tabs and zero-width spaces) and
// letters in upper case, so "00206r102" and "00206R 102" meet the list's
// "00206R102". ASCII text is already in that form but for blanks and case.
py::object identifier_text(const py::handle& text) {
    if (!PyUnicode_Check(text.ptr())) return py::reinterpret_borrow<py::object>(text);
    py::object normal = py::reinterpret_borrow<py::object>(text);
    bool ascii = PyUnicode_IS_ASCII(text.ptr());
    py::object unicodedata;
    if (!ascii) {
        unicodedata = py::module_::import("unicodedata");
        normal = unicodedata.attr("normalize")("NFKC", normal);
    }
    PyObject* source = normal.ptr();
    Py_ssize_t length = PyUnicode_GET_LENGTH(source);
    int kind = PyUnicode_KIND(source);
    const void* data = PyUnicode_DATA(source);
    std::u32string kept;
    kept.reserve(static_cast<size_t>(length));
    for (Py_ssize_t i = 0; i < length; ++i) {
        Py_UCS4 character = PyUnicode_READ(kind, data, i);
        if (Py_UNICODE_ISSPACE(character)) continue;
        if (character >= 0x80 && is_format_character(unicodedata, character)) continue;
        kept.push_back(character);
    }
    PyObject* joined = PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, kept.data(),
                                                 static_cast<Py_ssize_t>(kept.size()));
    if (!joined) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(joined).attr("upper")();
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

// The identifier column as cleaned text: what astype(str) gives, except for
// whole numbers, which get their leading zeros back.
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
            cleaned.append(identifier_text(as_text[i]));
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

// Text cells stay text: a portfolio cell "=HYPERLINK(...)" must not come back
// as a live formula, nor a web address as a link.
void save_workbook(py::handle module, const py::object& df, const py::object& mpath) {
    py::dict options;
    options["strings_to_formulas"] = false;
    options["strings_to_urls"] = false;
    py::dict engine_options;
    engine_options["options"] = options;
    py::object writer = global(module, "pd").attr("ExcelWriter")(
        mpath, "engine"_a = "xlsxwriter", "engine_kwargs"_a = engine_options);
    with_context(writer, [&](const py::object& opened) {
        df.attr("to_excel")(opened, "sheet_name"_a = "Sheet1");
    });
}

}  // namespace

py::object clean_identifier(const py::handle& value) {
    std::string digits;
    if (padded_digits(value, digits)) return py::str(digits);
    return identifier_text(py::str(value));
}

py::object cleancusip(py::handle module, py::object df, py::object cusip, py::object mpath) {
    try {
        normalise(module, df, cusip, mpath);
    } catch (py::error_already_set& error) {
        // A table that cannot be cleaned goes on as it is; interrupts and
        // exits are not the table's fault and pass through.
        if (!error.matches(PyExc_Exception)) throw;
    } catch (py::builtin_exception&) {
        // pybind11's own conversion errors stand for Python exceptions and
        // are discarded like them; nothing of theirs may stay set.
        PyErr_Clear();
    }
    if (global(module, "mydebug").equal(py::bool_(true))) save_workbook(module, df, mpath);
    return global(module, "pd").attr("DataFrame")(df);
}

}  // namespace tavrin
