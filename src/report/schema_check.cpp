// EDGAR refuses a whole filing for one entry its schema does not accept, so
// the document is validated here, with the SEC's published schema files
// shipped beside the module, and a refusal is told entry by entry in words
// a manager can act on instead of lxml's.
#include "report/schema_check.hpp"

#include <cctype>
#include <cstdio>
#include <map>
#include <regex>
#include <string>
#include <utility>

namespace tavrin {
namespace {

constexpr const char* kSchemaFolder = "Tavrin-xsd";
constexpr const char* kSchemaFile = "eis_13FDocument.xsd";
constexpr size_t kEntriesNamed = 20;  // a message past this length is no longer read

constexpr const char* kNameRule =
    "nameOfIssuer may hold only letters, digits, blanks and "
    "! \\ # $ ( ) , . : ; ` = @ ' - { } | / &";
// The characters the schema's nameOfIssuer pattern allows besides letters,
// digits and white space.
constexpr std::string_view kNamePunctuation = "!\\#$(),.:;`=@'-{}|/&";

// Rules of the elements whose only refusal is their form.
const std::map<std::string, std::string>& form_rules() {
    static const std::map<std::string, std::string> rules = {
        {"cusip", "cusip must be nine letters and digits"},
        {"figi", "figi must be twelve letters and digits"},
        {"value", "value must be a whole number of dollars, not negative, of at most 16 digits"},
        {"sshPrnamt", "sshPrnamt must be a whole number, not negative, of at most 16 digits"},
        {"sshPrnamtType", "sshPrnamtType must be SH or PRN"},
        {"investmentDiscretion", "investmentDiscretion must be SOLE, DFND or OTR"},
        {"otherManager", "otherManager must hold 1 to 100 characters"},
        {"Sole", "Sole must be a whole number from 0 to 9999999999999999"},
        {"Shared", "Shared must be a whole number from 0 to 9999999999999999"},
        {"None", "None must be a whole number from 0 to 9999999999999999"},
    };
    return rules;
}

py::object schema_path(py::handle module) {
    py::object here = py::module_::import("pathlib").attr("Path")(global(module, "__file__"));
    return here.attr("parent").attr("joinpath")(kSchemaFolder, kSchemaFile);
}

py::object load_schema(py::handle module, const py::object& etree) {
    py::object path = schema_path(module);
    if (!truthy(path.attr("is_file")())) {
        PyErr_SetObject(PyExc_FileNotFoundError,
                        py::make_tuple(2,
                                       "The EDGAR information-table schema that ships with "
                                       "Tavrin is missing; reinstall Tavrin",
                                       py::str(path))
                            .ptr());
        throw py::error_already_set();
    }
    // Parsed from its path, so that its imports resolve beside it.
    return etree.attr("XMLSchema")(etree.attr("parse")(py::str(path)));
}

// One refusal as the schema's log gives it.
struct Refusal {
    size_t entry;         // 1-based; 0 for the document as a whole
    std::string element;  // local name
    std::string kind;     // lxml's type name, e.g. SCHEMAV_CVC_PATTERN_VALID
    std::string value;    // what the element holds
    std::string message;  // lxml's own words, for anything unforeseen
};

// "/*/*[3]/*[1]" is the first child of the third entry; "/*/*" alone is the
// only entry; "/*" is the document.
size_t entry_of(const std::string& path) {
    static const std::regex entry(R"(^/\*/\*(?:\[(\d+)\])?)");
    std::smatch found;
    if (!std::regex_search(path, found, entry)) return 0;
    return found[1].matched ? std::stoul(found[1].str()) : 1;
}

std::string element_of(const std::string& message) {
    static const std::regex element(R"(Element '(?:\{[^}]*\})?([A-Za-z]+)')");
    std::smatch found;
    return std::regex_search(message, found, element) ? found[1].str() : "";
}

std::string text_at(const py::object& tree, const py::object& path) {
    py::list found = tree.attr("xpath")(path);
    if (found.empty()) return "";
    py::object text = found[0].attr("text");
    return text.is_none() ? "" : text.cast<std::string>();
}

std::vector<Refusal> refusals(const py::object& schema, const py::object& root) {
    std::vector<Refusal> all;
    py::object tree = root.attr("getroottree")();
    for (py::handle error : schema.attr("error_log")) {
        py::object path = error.attr("path");
        std::string message = py::str(error.attr("message"));
        all.push_back({entry_of(py::str(path)), element_of(message),
                       py::str(error.attr("type_name")), text_at(tree, path), message});
    }
    return all;
}

bool allowed_in_name(Py_UCS4 c) {
    if (c < 0x80 && std::isalnum(static_cast<int>(c))) return true;
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r') return true;
    return c < 0x80 && kNamePunctuation.find(static_cast<char>(c)) != std::string_view::npos;
}

// The characters of `value` the name pattern refuses, each once, so the
// manager sees what to change: "%", "é" (U+00E9).
std::string refused_characters(const std::string& value) {
    py::str text(value);
    std::string listed;
    std::u32string seen;
    Py_ssize_t length = PyUnicode_GetLength(text.ptr());
    for (Py_ssize_t i = 0; i < length; ++i) {
        Py_UCS4 c = PyUnicode_ReadChar(text.ptr(), i);
        if (allowed_in_name(c) || seen.find(c) != std::u32string::npos) continue;
        seen.push_back(c);
        if (!listed.empty()) listed += ", ";
        listed += "\"" + text.attr("__getitem__")(i).cast<std::string>() + "\"";
        if (c >= 0x80) {
            char code[16];
            std::snprintf(code, sizeof code, " (U+%04X)", static_cast<unsigned>(c));
            listed += code;
        }
    }
    return listed;
}

std::string holds(const std::string& value) { return " (it holds \"" + value + "\")"; }

std::string characters_in(const std::string& value) {
    return std::to_string(PyUnicode_GetLength(py::str(value).ptr()));
}

std::string plain_rule(const Refusal& refusal) {
    const std::string& element = refusal.element;
    if (refusal.kind.find("MINLENGTH") != std::string::npos) {
        return element + " is empty once the characters an XML document cannot hold are dropped; "
                         "it must hold 1 to 150 characters";
    }
    if (refusal.kind.find("MAXLENGTH") != std::string::npos) {
        return element + " may hold at most 150 characters (it holds " +
               characters_in(refusal.value) + ")";
    }
    if (element == "nameOfIssuer" && refusal.kind.find("PATTERN") != std::string::npos) {
        return std::string(kNameRule) + " (it holds " + refused_characters(refusal.value) + ")";
    }
    auto rule = form_rules().find(element);
    if (rule != form_rules().end()) return rule->second + holds(refusal.value);
    return refusal.message;
}

// The rules one entry breaks, in the order of its elements, each once; an
// empty name is told as empty, not also as failing the name's pattern.
std::map<size_t, std::vector<std::string>> rules_by_entry(const std::vector<Refusal>& all) {
    std::map<size_t, std::vector<std::string>> rules;
    std::map<std::pair<size_t, std::string>, bool> empty;
    for (const Refusal& refusal : all) {
        if (refusal.kind.find("MINLENGTH") != std::string::npos) {
            empty[{refusal.entry, refusal.element}] = true;
        }
    }
    for (const Refusal& refusal : all) {
        if (refusal.kind.find("PATTERN") != std::string::npos &&
            empty.count({refusal.entry, refusal.element})) {
            continue;
        }
        std::vector<std::string>& listed = rules[refusal.entry];
        std::string rule = plain_rule(refusal);
        bool known = false;
        for (const std::string& already : listed) known = known || already == rule;
        if (!known) listed.push_back(rule);
    }
    return rules;
}

// The entry's issuer and CUSIP as the document reads, its escapes resolved.
std::string entry_line(size_t entry, const py::object& root, const std::vector<std::string>& rules) {
    constexpr const char* kNamespace =
        "{http://www.sec.gov/edgar/document/thirteenf/informationtable}";
    std::string line = "  entry " + std::to_string(entry);
    if (entry >= 1 && entry <= py::len(root)) {
        py::object infotable = root[py::int_(entry - 1)];
        auto field = [&](const char* name) {
            return text(infotable.attr("findtext")(std::string(kNamespace) + name, ""));
        };
        line += ", " + field("nameOfIssuer") + " (CUSIP " + field("cusip") + ")";
    }
    line += ": ";
    for (size_t i = 0; i < rules.size(); ++i) line += (i ? "; " : "") + rules[i];
    return line;
}

std::string refusal_message(const std::map<size_t, std::vector<std::string>>& rules,
                            const py::object& root, const py::object& target) {
    std::string message = "The information table was not written: EDGAR's schema refuses ";
    size_t entries = py::len(root);
    if (entries == 0) {
        message += "a document without entries (it needs at least one infoTable).";
    } else {
        message += std::to_string(rules.size()) + " of its " + std::to_string(entries) +
                   " entries:";
    }
    size_t named = 0;
    for (const auto& [entry, broken] : rules) {
        if (entries == 0) break;
        if (named++ == kEntriesNamed) {
            message += "\n  and " + std::to_string(rules.size() - kEntriesNamed) + " more";
            break;
        }
        message += "\n" + entry_line(entry, root, broken);
    }
    message += "\nAny earlier " + text(target) + " is left as it was.";
    if (entries > 0) {
        message += " Values and shares come from the portfolio workbook, names and titles from "
                   "the quarter's 13(f) list; correct what the entries hold at its source and "
                   "run again.";
    }
    return message;
}

}  // namespace

py::object information_table_schema(py::handle module) {
    return load_schema(module, py::module_::import("lxml.etree"));
}

void check_against_schema(py::handle module, const std::string& document,
                          const py::object& target) {
    py::object etree = py::module_::import("lxml.etree");
    py::object schema = load_schema(module, etree);
    py::object root = etree.attr("fromstring")(py::bytes(document));
    if (truthy(schema.attr("validate")(root))) return;
    raise_error(PyExc_ValueError,
                refusal_message(rules_by_entry(refusals(schema, root)), root, target));
}

}  // namespace tavrin
