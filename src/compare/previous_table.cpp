// Reading an information table filed before. Real tables come in several
// shapes (the namespace as default or behind a prefix such as "ns1:", tabs
// or deep indentation, standalone="yes", a declaration without encoding,
// lower-case CUSIPs); the parser sees through all of them, and EDGAR's own
// schema decides what counts as a table.
#include "compare/table_document.hpp"
#include "report/schema_check.hpp"

#include <algorithm>
#include <cctype>

namespace tavrin {
namespace {

// A file saved from EDGAR's web pages is an HTML page, not the document.
constexpr const char* kGiveTheDocument =
    " Give the information table as filed: the XML document of the filing (the file whose "
    "root element is informationTable), not the page EDGAR shows it in.";

std::string element_text(const py::object& entry, const std::string& path) {
    py::object found = entry.attr("findtext")(path, "");
    std::string value = text(found);
    auto blank = [](unsigned char c) { return std::isspace(c) != 0; };
    value.erase(value.begin(), std::find_if_not(value.begin(), value.end(), blank));
    value.erase(std::find_if_not(value.rbegin(), value.rend(), blank).base(), value.end());
    return value;
}

// The schema has checked the digits; an absent element counts as zero.
long long whole_number(const std::string& digits) {
    if (digits.empty()) return 0;
    return py::int_(py::str(digits)).cast<long long>();
}

std::string cusip_of(std::string value) {
    std::string cusip;
    for (char c : value) {
        if (!std::isspace(static_cast<unsigned char>(c))) {
            cusip += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
    }
    return cusip;
}

std::string root_name(const py::object& root) {
    py::object qname = py::module_::import("lxml.etree").attr("QName")(root);
    py::object space = qname.attr("namespace");
    std::string local = text(qname.attr("localname"));
    return space.is_none() ? local : local + " (namespace " + text(space) + ")";
}

// Tables written without a namespace are given it, so that the schema and
// the reading see one shape.
void put_in_namespace(const py::object& root) {
    std::string prefix = std::string("{") + kInformationTableNamespace + "}";
    py::object qname = py::module_::import("lxml.etree").attr("QName");
    for (py::handle element : root.attr("iter")()) {
        py::object tag = element.attr("tag");
        if (!py::isinstance<py::str>(tag)) continue;  // comments, processing instructions
        element.attr("tag") = prefix + text(qname(element).attr("localname"));
    }
}

std::string schema_problem(const py::object& schema) {
    py::list errors = py::list(schema.attr("error_log"));
    py::object first = errors[0];
    std::string count = std::to_string(errors.size());
    return " breaks EDGAR's information-table schema in " + count + " place" +
           (errors.size() == 1 ? "" : "s") + "; the first, at line " +
           text(first.attr("line")) + ": " + text(first.attr("message"));
}

}  // namespace

py::object parse_document(const py::object& source, const std::string& name) {
    py::object etree = py::module_::import("lxml.etree");
    py::object parser = etree.attr("XMLParser")("resolve_entities"_a = false,
                                                "no_network"_a = true, "huge_tree"_a = true);
    try {
        if (py::isinstance<py::bytes>(source)) return etree.attr("fromstring")(source, parser);
        return etree.attr("parse")(py::str(source), parser).attr("getroot")();
    } catch (py::error_already_set& error) {
        if (!error.matches(etree.attr("XMLSyntaxError"))) throw;
        raise_error(PyExc_ValueError,
                    "The information-table document " + name + " is not XML (" +
                        text(error.value()) + ")." + kGiveTheDocument);
    }
}

bool is_information_table(const py::object& root) {
    py::object qname = py::module_::import("lxml.etree").attr("QName")(root);
    py::object space = qname.attr("namespace");
    return text(qname.attr("localname")) == "informationTable" &&
           (space.is_none() || text(space) == kInformationTableNamespace);
}

void check_table(py::handle module, const py::object& root, const std::string& name) {
    if (!is_information_table(root)) {
        raise_error(PyExc_ValueError,
                    "The information-table document " + name + " is another document: its root "
                    "element is " + root_name(root) + ", where an information table has "
                    "informationTable in the namespace " + kInformationTableNamespace + "." +
                        kGiveTheDocument);
    }
    if (py::module_::import("lxml.etree").attr("QName")(root).attr("namespace").is_none()) {
        put_in_namespace(root);
    }
    py::object schema = information_table_schema(module);
    if (truthy(schema.attr("validate")(root))) return;
    raise_error(PyExc_ValueError, "The information-table document " + name +
                                      schema_problem(schema) +
                                      ". Correct that entry, or save the table again from the "
                                      "filing.");
}

std::vector<TableEntry> table_entries(const py::object& root) {
    std::string ns = std::string("{") + kInformationTableNamespace + "}";
    std::string amount = ns + "shrsOrPrnAmt/" + ns;
    std::string voting = ns + "votingAuthority/" + ns;
    std::vector<TableEntry> entries;
    for (py::handle element : root.attr("iterchildren")(ns + "infoTable")) {
        py::object entry = py::reinterpret_borrow<py::object>(element);
        auto field = [&](const std::string& path) { return element_text(entry, path); };
        TableEntry row;
        row.issuer = field(ns + "nameOfIssuer");
        row.title = field(ns + "titleOfClass");
        row.cusip = cusip_of(field(ns + "cusip"));
        row.figi = field(ns + "figi");
        row.value = whole_number(field(ns + "value"));
        row.shares = whole_number(field(amount + "sshPrnamt"));
        row.type = field(amount + "sshPrnamtType");
        row.put_call = field(ns + "putCall");
        row.discretion = field(ns + "investmentDiscretion");
        row.other_manager = field(ns + "otherManager");
        row.sole = whole_number(field(voting + "Sole"));
        row.shared = whole_number(field(voting + "Shared"));
        row.none = whole_number(field(voting + "None"));
        entries.push_back(std::move(row));
    }
    return entries;
}

std::vector<TableEntry> read_information_table(py::handle module, const py::object& path) {
    std::string name = text(path);
    py::object root = parse_document(path, name);
    check_table(module, root, name);
    return table_entries(root);
}

}  // namespace tavrin
