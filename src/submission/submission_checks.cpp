// EDGAR suspends a whole submission for one schema violation and for rules
// the schema leaves out (summary figures that disagree with the table, a
// notice with a table, an amendment without its type, an attachment name
// outside its file-name rules), so the file is read back here as EDGAR will
// read it and checked for all of them before it is written.
#include "submission/submission_checks.hpp"

#include "report/schema_check.hpp"

#include <algorithm>
#include <map>
#include <regex>

namespace tavrin {
namespace {

constexpr const char* kSchemaFolder = "Tavrin-xsd";
constexpr const char* kSchemaFile = "eis_13F_Filer.xsd";
constexpr size_t kRefusalsNamed = 20;

// The form each element takes, for refusals of its form.
const std::map<std::string, std::string>& forms() {
    static const std::map<std::string, std::string> rules = {
        {"cik", "up to 10 digits"},
        {"zipCode", "up to 10 letters, digits, blanks, # and -"},
        {"phone", "up to 20 letters, digits, blanks and # ( ) , . -"},
        {"contactPhoneNumber", "up to 20 letters, digits, blanks and # ( ) , . -"},
        {"crdNumber", "9 digits"},
        {"form13FFileNumber", "a file number such as 028-12345"},
        {"secFileNumber", "a file number such as 801-12345"},
        {"contactEmailAddress", "an e-mail address such as name@example.com, up to 80 characters"},
        {"notificationEmailAddress", "an e-mail address such as name@example.com, up to 80 characters"},
        {"stateOrCountry", "a two-character EDGAR state or country code, such as NY (EDGAR's list "
                           "of state and country codes has them all)"},
        {"contactName", "up to 30 characters"},
        {"name", "up to 150 characters"},
        {"title", "up to 60 characters"},
        {"city", "up to 30 characters"},
        {"street1", "up to 40 characters"},
        {"street2", "up to 40 characters"},
        {"signature", "up to 150 characters"},
        {"additionalInformation", "up to 4000 characters"},
        {"sequenceNumber", "a whole number from 1 to 999"},
        {"tableEntryTotal", "at most 999,999 entries"},
        {"tableValueTotal", "at most 16 digits"},
    };
    return rules;
}

py::object load_schema(py::handle module, const py::object& etree) {
    py::object here = py::module_::import("pathlib").attr("Path")(global(module, "__file__"));
    py::object path = here.attr("parent").attr("joinpath")(kSchemaFolder, kSchemaFile);
    if (!truthy(path.attr("is_file")())) {
        PyErr_SetObject(PyExc_FileNotFoundError,
                        py::make_tuple(2, "The EDGAR submission schema that ships with Tavrin is "
                                          "missing; reinstall Tavrin", py::str(path)).ptr());
        throw py::error_already_set();
    }
    return etree.attr("XMLSchema")(etree.attr("parse")(py::str(path)));
}

std::string replaced_all(std::string text, const std::string& what, const std::string& with) {
    if (what.empty()) return text;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + with.size())) {
        text.replace(at, what.size(), with);
    }
    return text;
}

std::string local_name(const py::handle& element) {
    return py::module_::import("lxml.etree").attr("QName")(element).attr("localname").cast<std::string>();
}

// One schema refusal in words: where in the workbook, what the element
// holds and the form it must take. The access code is never shown.
std::string refusal_line(const py::handle& error, const py::object& tree,
                         const std::map<std::string, std::string>& sources, const std::string& ccc) {
    std::string path = py::str(error.attr("path"));
    // Paths name the address's elements by the prefix the file gives them.
    py::dict names;
    names["com"] = kCommonNamespace;
    py::list found = tree.attr("xpath")(path, "namespaces"_a = names);
    std::string element = found.empty() ? "" : local_name(found[0]);
    if (element == "ccc") return "TAVRIN_EDGAR_CCC: EDGAR's schema refuses the access code's form";
    auto source = sources.find(path);
    std::string where = source != sources.end() ? source->second : "element " + element;
    std::string kind = py::str(error.attr("type_name"));
    auto form = forms().find(element);
    if (!found.empty() && form != forms().end() && kind.find("CHILD") == std::string::npos) {
        py::object value = found[0].attr("text");
        std::string held = value.is_none() ? "" : py::str(value).cast<std::string>();
        return replaced_all(where + ": holds \"" + held + "\"; " + element + " must be " + form->second,
                            ccc, "********");
    }
    static const std::regex space(R"(\{[^}]*\})");
    std::string message = std::regex_replace(py::str(error.attr("message")).cast<std::string>(), space, "");
    return replaced_all(where + ": " + message, ccc, "********");
}

std::vector<std::string> schema_refusals(py::handle module, const py::object& document,
                                         const Submission& submission, const std::string& ccc) {
    py::object etree = py::module_::import("lxml.etree");
    py::object schema = load_schema(module, etree);
    if (truthy(schema.attr("validate")(document))) return {};
    std::map<std::string, std::string> sources;
    py::object built = submission.root.attr("getroottree")();
    for (const auto& [element, where] : submission.sources) {
        sources[built.attr("getpath")(element).cast<std::string>()] = where;
    }
    py::object tree = document.attr("getroottree")();
    std::vector<std::string> lines;
    for (py::handle error : schema.attr("error_log")) {
        lines.push_back(refusal_line(error, tree, sources, ccc));
    }
    return lines;
}

// Reads the file back by element names, as EDGAR reads it.
class Reading {
  public:
    explicit Reading(const py::object& root) : root_(root) {}

    py::list all(const std::string& path) const {
        py::dict names;
        names["f"] = kFilerNamespace;
        return root_.attr("xpath")(path, "namespaces"_a = names);
    }
    bool has(const std::string& path) const { return py::len(all(path)) > 0; }
    std::string text(const std::string& path) const {
        py::list found = all(path);
        if (found.empty() || found[0].attr("text").is_none()) return "";
        return py::str(found[0].attr("text").attr("strip")()).cast<std::string>();
    }

  private:
    py::object root_;
};

std::vector<std::string> name_rule_breaks(const std::string& name) {
    std::vector<std::string> breaks;
    auto count = [&](char c) { return std::count(name.begin(), name.end(), c); };
    if (name.size() > 32) breaks.push_back("is longer than 32 characters");
    if (name.empty() || name[0] < 'a' || name[0] > 'z') breaks.push_back("does not begin with a lower-case letter");
    if (name.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_-.") != std::string::npos) {
        breaks.push_back("holds characters other than lower-case letters, digits, \"_\", \"-\" and \".\"");
    }
    if (count('_') > 1 || count('-') > 1 || count('.') > 1) breaks.push_back("holds more than one \"_\", \"-\" or \".\"");
    if (name.size() < 4 || name.compare(name.size() - 4, 4, ".xml") != 0) breaks.push_back("does not end in \".xml\"");
    return breaks;
}

void check_attachment(const Reading& file, const Submission& submission, std::vector<std::string>& broken) {
    py::list documents = file.all("f:documents/f:document");
    if (!submission.attaches_table) {
        if (py::len(documents) > 0) broken.push_back("a 13F notice attaches no information table, but this one does");
        if (file.has("f:formData/f:summaryPage")) broken.push_back("a 13F notice has no summary page, but this one has");
        return;
    }
    if (py::len(documents) != 1) {
        broken.push_back("the submission must attach exactly one document, the information table (it attaches " +
                         std::to_string(py::len(documents)) + ")");
        return;
    }
    if (file.text("f:documents/f:document/f:conformedDocumentType") != "INFORMATION TABLE") {
        broken.push_back("the attached document is not of type INFORMATION TABLE");
    }
    std::string name = file.text("f:documents/f:document/f:conformedName");
    for (const std::string& rule : name_rule_breaks(name)) {
        broken.push_back("the attached document's name \"" + name + "\" " + rule + " (EDGAR's file-name rules)");
    }
    py::object decoded = py::module_::import("base64").attr("b64decode")(
        py::str(file.text("f:documents/f:document/f:contents")));
    if (decoded.cast<std::string>() != submission.table.bytes) {
        broken.push_back("the attached table does not decode to the information table byte for byte");
        return;
    }
    InformationTable attached = read_table(decoded.cast<std::string>());
    if (attached.entries.empty()) broken.push_back("the attached information table has no entries");
    std::string entries = std::to_string(attached.entries.size());
    if (file.text("f:formData/f:summaryPage/f:tableEntryTotal") != entries) {
        broken.push_back("the summary page's entry total is not the table's " + entries + " entries");
    }
    if (file.text("f:formData/f:summaryPage/f:tableValueTotal") != text(attached.value_total)) {
        broken.push_back("the summary page's value total is not the table's $" + text(attached.value_total));
    }
    std::string listed = std::to_string(py::len(file.all("f:formData/f:summaryPage/f:otherManagers2Info/f:otherManager2")));
    if (file.text("f:formData/f:summaryPage/f:otherIncludedManagersCount") != listed) {
        broken.push_back("the summary page's count of other included managers is not the " + listed + " it lists");
    }
}

void check_form_rules(const Reading& file, std::vector<std::string>& broken) {
    std::string type = file.text("f:headerData/f:submissionType");
    std::string report = file.text("f:formData/f:coverPage/f:reportType");
    bool amends = type.size() > 2 && type.compare(type.size() - 2, 2, "/A") == 0;
    bool amendment = file.text("f:formData/f:coverPage/f:isAmendment") == "true";
    bool numbered = file.has("f:formData/f:coverPage/f:amendmentNo");
    bool typed = file.has("f:formData/f:coverPage/f:amendmentInfo/f:amendmentType");
    if (amends != amendment || amendment != numbered || numbered != typed) {
        broken.push_back("submission type " + type + ", the amendment flag, the amendment number and "
                         "the amendment type must go together");
    }
    if ((report == "13F NOTICE") != (type.rfind("13F-NT", 0) == 0)) {
        broken.push_back("report type " + report + " does not go with submission type " + type);
    }
    bool lists_reporting = file.has("f:formData/f:coverPage/f:otherManagersInfo");
    if (report == "13F HOLDINGS REPORT" && lists_reporting) {
        broken.push_back("a 13F HOLDINGS REPORT lists no other managers reporting for this manager");
    }
    if (report != "13F HOLDINGS REPORT" && !lists_reporting) {
        broken.push_back("a " + report + " lists the other managers reporting for this manager");
    }
    if (file.text("f:headerData/f:filerInfo/f:periodOfReport") !=
        file.text("f:formData/f:coverPage/f:reportCalendarOrQuarter")) {
        broken.push_back("the period of report and the report's calendar quarter differ");
    }
}

[[noreturn]] void refuse(const std::vector<std::string>& lines, const std::string& why,
                         const py::object& target) {
    std::string message = "The EDGAR submission was not written: " + why;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (i == kRefusalsNamed) {
            message += "\n  and " + std::to_string(lines.size() - kRefusalsNamed) + " more";
            break;
        }
        message += "\n  " + lines[i];
    }
    message += "\nAny earlier " + text(target) + " is left as it was.";
    raise_error(PyExc_ValueError, message);
}

}  // namespace

void check_access_code(const std::string& ccc) {
    bool digit = ccc.find_first_of("0123456789") != std::string::npos;
    bool special = ccc.find_first_of("@#$*") != std::string::npos;
    // Only printable ASCII without blanks: EDGAR issues no other, and XML
    // cannot hold control characters.
    bool blank = std::any_of(ccc.begin(), ccc.end(), [](char c) { return c <= ' ' || c > '~'; });
    if (ccc.size() == 8 && digit && special && !blank) return;
    std::string shape = std::to_string(ccc.size()) + " characters";
    if (!digit) shape += ", no digit";
    if (!special) shape += ", none of @ # $ *";
    if (blank) shape += ", a blank or a character other than a letter, digit or sign";
    raise_error(PyExc_ValueError,
                "TAVRIN_EDGAR_CCC must hold the EDGAR access code (CCC) as EDGAR issued it: 8 "
                "characters, at least one a digit and at least one @, #, $ or * (it holds " +
                    shape + "; the code itself is not shown). No submission was written.");
}

void check_submission(py::handle module, const std::string& bytes, const Submission& submission,
                      const std::string& ccc, const py::object& target) {
    py::object etree = py::module_::import("lxml.etree");
    py::object parser = etree.attr("XMLParser")("resolve_entities"_a = false, "huge_tree"_a = true);
    py::object document = etree.attr("fromstring")(py::bytes(bytes), parser);
    std::vector<std::string> refusals = schema_refusals(module, document, submission, ccc);
    if (!refusals.empty()) refuse(refusals, "EDGAR's schema eis_13F_Filer.xsd refuses it:", target);
    if (submission.attaches_table) check_against_schema(module, submission.table.bytes, target);
    Reading file(document);
    std::vector<std::string> broken;
    check_form_rules(file, broken);
    check_attachment(file, submission, broken);
    if (!broken.empty()) refuse(broken, "it breaks EDGAR's rules for a Form 13F:", target);
}

}  // namespace tavrin
