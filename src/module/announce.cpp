// The lines a run prints before it asks anything of the network: which
// quarter it reports, and whether the SEC will take its User-Agent.
#include "module/module.hpp"

#include <cctype>
#include <regex>
#include <string>

namespace tavrin {
namespace {

void say(const std::string& line) { builtin("print")(line, "flush"_a = true); }

// "13flist2026q3.pdf": the last part of the list's address.
std::string list_file_name(py::handle module) {
    std::string url = text(global(module, "pdf_url"));
    return url.substr(url.find_last_of('/') + 1);
}

bool holds_email_address(const std::string& agent) {
    static const std::regex address("[^\\s@<>]+@[^\\s@<>]+\\.[^\\s@<>]+");
    return std::regex_search(agent, address);
}

std::string sent_user_agent(py::handle module) {
    py::object headers = global(module, "headers");
    if (!py::hasattr(headers, "get")) return "";
    py::object agent = headers.attr("get")("User-Agent", "");
    return py::isinstance<py::str>(agent) ? agent.cast<std::string>() : "";
}

constexpr const char* kDeclareAgent =
    "the SEC answers 403 to automated requests without a declared User-Agent: set "
    "TAVRIN_USER_AGENT to your company's name and a contact e-mail address, such as "
    "\"Company Name admin@company.com\".";

// What a run reused, as the stages noted it in the module's globals.
constexpr const char* kNotes[] = {"_list_unchanged_since", "_figis_reused"};

py::object note(py::handle module, const char* name) {
    PyObject* value = PyDict_GetItemString(PyModule_GetDict(module.ptr()), name);
    return value == nullptr ? py::none() : py::reinterpret_borrow<py::object>(value);
}

std::string with_separators(long long number) {
    std::string digits = std::to_string(number);
    for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) digits.insert(at, ",");
    return digits;
}

bool tables_reused(py::handle module) {
    py::object extraction = note(module, "_list_extraction");
    return py::isinstance<py::dict>(extraction) &&
           truthy(extraction.attr("get")("reused", false));
}

}  // namespace

void announce_reuse(py::handle module) {
    std::string line;
    py::object since = note(module, "_list_unchanged_since");
    if (!since.is_none()) line = "List unchanged since " + text(since) + " (304)";
    std::string reused;
    if (tables_reused(module)) reused = "tables";
    py::object figis = note(module, "_figis_reused");
    long long count = figis.is_none() ? 0 : figis.cast<long long>();
    if (count > 0) {
        if (!reused.empty()) reused += " and ";
        reused += with_separators(count) + (count == 1 ? " FIGI" : " FIGIs");
    }
    if (!reused.empty()) {
        if (line.empty() && reused == "tables") reused = "the list's tables";
        line += (line.empty() ? "" : "; ") + reused + " reused";
    }
    if (line.empty()) return;
    line[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(line[0])));
    say(line);
}

void announce_run(py::handle module) {
    // Notes of an earlier run in this process are not this run's.
    for (const char* name : kNotes) {
        if (PyDict_DelItemString(PyModule_GetDict(module.ptr()), name) != 0) PyErr_Clear();
    }
    say("Reporting period: " + text(global(module, "myYear")) + " Q" +
        text(global(module, "myQuarter")) + " (" + list_file_name(module) + ")");
    std::string agent = sent_user_agent(module);
    if (holds_email_address(agent)) return;
    py::object declared = py::module_::import("os").attr("environ").attr("get")("TAVRIN_USER_AGENT");
    if (declared.is_none() || py::len(declared) == 0) {
        say(std::string("TAVRIN_USER_AGENT is not set, so the list is asked for with a browser's "
                        "User-Agent; ") + kDeclareAgent);
    } else {
        say("TAVRIN_USER_AGENT \"" + agent + "\" holds no e-mail address; " + kDeclareAgent);
    }
}

}  // namespace tavrin
