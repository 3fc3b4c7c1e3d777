// The information-table XML document.
//
// The document is built whole in memory, checked against EDGAR's schema and
// only then written in one go to a file beside the target, which replaces
// the target once it is complete: a run that fails half-way, or a document
// EDGAR would refuse, must not leave a truncated or invalid document, nor
// destroy the one the previous run wrote.
#include "common/files.hpp"
#include "report/report.hpp"
#include "report/schema_check.hpp"
#include "report/xml_text.hpp"

#include <array>
#include <string>
#include <string_view>
#include <vector>

namespace tavrin {
namespace {

constexpr const char* kNamespace = "http://www.sec.gov/edgar/document/thirteenf/informationtable";
constexpr size_t kColumns = 13;  // read by position; the writer never looks at labels

// The put/call column (position 7) is written only where it holds the
// schema's own "Put" or "Call": the builder puts those there for the
// filer's option entries alone, and keeps the list's "PUT" and "CALL" marks
// there otherwise, which are never a designation of the entry.
constexpr size_t kPutCall = 7;

// str() of a cell as UTF-8. "surrogatepass" keeps a lone surrogate encodable
// so that xml_text can drop it like any other character XML forbids.
std::string utf8(const py::str& text) {
    PyObject* bytes = PyUnicode_AsEncodedString(text.ptr(), "utf-8", "surrogatepass");
    if (!bytes) throw py::error_already_set();
    return std::string(py::reinterpret_steal<py::bytes>(bytes));
}

// The texts of one row, by column position.
struct RowTexts {
    std::array<py::str, kColumns> text;
};

py::str cell(const py::tuple& row, size_t position, size_t row_number) {
    if (position >= row.size()) {
        raise_error(PyExc_IndexError,
                    "Row " + std::to_string(row_number) + " of the information table has " +
                        std::to_string(row.size()) +
                        " columns; the writer reads thirteen, by position.");
    }
    return py::str(row[position]);
}

RowTexts read_row(const py::tuple& row, size_t row_number) {
    RowTexts texts;
    for (size_t position = 0; position < kColumns; ++position) {
        texts.text[position] = cell(row, position, row_number);
    }
    return texts;
}

// Text that went through xml_text is valid UTF-8 again.
py::str from_utf8(const std::string& text) {
    PyObject* decoded = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()),
                                             "replace");
    if (!decoded) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(decoded);
}

// Issuer, CUSIP, FIGI and value as the document holds them, so the operator
// can follow a long run; a console that cannot show a character gets its
// escape rather than ending the run.
void print_progress(const RowTexts& row) {
    py::list fields;
    for (size_t position : {0, 2, 3, 4}) fields.append(from_utf8(xml_text(utf8(row.text[position]))));
    py::str line = py::str(" ").attr("join")(fields);
    try {
        builtin("print")(line);
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_UnicodeEncodeError)) throw;
        builtin("print")(line.attr("encode")("ascii", "backslashreplace").attr("decode")("ascii"));
    }
}

void add_element(std::string& document, int tabs, const char* name, const std::string& raw) {
    document.append(static_cast<size_t>(tabs), '\t');
    document.append("<").append(name).append(">");
    document.append(xml_text(raw));
    document.append("</").append(name).append(">\n");
}

void add_line(std::string& document, int tabs, const char* text) {
    document.append(static_cast<size_t>(tabs), '\t').append(text).append("\n");
}

void add_entry(std::string& document, const RowTexts& row) {
    auto value = [&](size_t position) { return utf8(row.text[position]); };
    add_line(document, 1, "<infoTable>");
    add_element(document, 2, "nameOfIssuer", value(0));
    add_element(document, 2, "titleOfClass", value(1));
    add_element(document, 2, "cusip", value(2));
    // A lookup that failed leaves " "; the schema admits only a real FIGI
    // here, and the element may be left out.
    std::string figi = value(3);
    if (is_figi(figi)) add_element(document, 2, "figi", figi);
    add_element(document, 2, "value", value(4));
    add_line(document, 2, "<shrsOrPrnAmt>");
    add_element(document, 3, "sshPrnamt", value(5));
    add_element(document, 3, "sshPrnamtType", value(6));
    add_line(document, 2, "</shrsOrPrnAmt>");
    std::string put_call = value(kPutCall);
    if (put_call == "Put" || put_call == "Call") add_element(document, 2, "putCall", put_call);
    add_element(document, 2, "investmentDiscretion", value(8));
    add_element(document, 2, "otherManager", value(9));
    add_line(document, 2, "<votingAuthority>");
    add_element(document, 3, "Sole", value(10));
    add_element(document, 3, "Shared", value(11));
    add_element(document, 3, "None", value(12));
    add_line(document, 2, "</votingAuthority>");
    add_line(document, 1, "</infoTable>");
}

// The document and, for the summary, the values of its entries in order.
struct Document {
    std::string text;
    std::vector<std::string> values;
};

Document document_text(const py::object& df) {
    Document built;
    std::string& document = built.text;
    document = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n";
    document += std::string("<informationTable xmlns=\"") + kNamespace + "\">\n";
    // Tuples by column rather than rows as Series: a Series would turn every
    // value of an all-number row into a float.
    py::object rows = df.attr("itertuples")("index"_a = false, "name"_a = py::none());
    size_t row_number = 0;
    for (py::handle item : rows) {
        py::tuple row = py::reinterpret_borrow<py::tuple>(item);
        RowTexts texts = read_row(row, row_number);
        print_progress(texts);
        add_entry(document, texts);
        built.values.push_back(xml_text(utf8(texts.text[4])));
        ++row_number;
    }
    document += "</informationTable>";
    return built;
}

// Text mode, so each line feed becomes the platform's line end; UTF-8
// because the declaration says so, whatever the machine's default is.
void write_document(const py::object& path, const std::string& document) {
    replace_with_results(path, ".tmp", [&](const py::object& temporary) {
        // "x": never write over a file that is not ours.
        py::object file = builtin("open")(temporary, "x", "encoding"_a = "utf-8");
        with_context(file, [&](const py::object& f) { f.attr("write")(py::str(document)); });
    });
}

// The figures of the 13F summary page: the number of entries and the total
// of their values. The schema check has made every value a whole number.
void print_summary(const py::object& path, const Document& document) {
    py::int_ total(0);
    for (const std::string& value : document.values) total = total + py::int_(py::str(value));
    py::object print = builtin("print");
    py::object absolute = py::module_::import("os").attr("path").attr("abspath")(path);
    print("Information table written: " + text(absolute));
    print("Information table entries: " + std::to_string(document.values.size()));
    print("Information table value total: $" + text(py::str("{:,}").attr("format")(total)));
}

}  // namespace

void require_results_folder(const py::object& file) {
    require_folder_of(file, "The Results folder for the information table does not exist; "
                            "create it in the working folder beside Data and Store");
}

py::object createxml(py::handle module, py::object df) {
    print_trace(module);
    py::object path = global(module, "fres_path").attr("replace")(".xlsx", ".xml");
    require_results_folder(path);
    Document document = document_text(df);
    check_against_schema(module, document.text, path);
    write_document(path, document.text);
    print_summary(path, document);
    return py::none();
}

}  // namespace tavrin
