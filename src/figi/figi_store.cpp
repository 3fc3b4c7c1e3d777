// FIGIs kept for the reporting period.
//
// A manager runs, fixes a workbook and runs again before the deadline; the
// FIGIs OpenFIGI gave a minute ago have not changed, and asking again costs
// its required pauses. What the service answered for a CUSIP (a FIGI, or its
// definite "No identifier found") is kept in Store/F13FIGI.json with the day
// it was asked, for the quarter being reported and the service asked; a new
// quarter or another service starts afresh. A failed or timed-out look-up
// settles nothing and is never kept, so the next run asks again.
#include "figi/figi.hpp"

#include "common/files.hpp"

#include <string>

namespace tavrin {
namespace {

constexpr const char* kNoFigi = " ";

py::object store_path(py::handle module) {
    std::string pdf = text(global(module, "sec_pdf_path"));
    std::string folder = pdf.substr(0, pdf.find_last_of("/\\") + 1);
    return py::str(folder + "F13FIGI.json");
}

std::string period(py::handle module) {
    return text(global(module, "myYear")) + "Q" + text(global(module, "myQuarter"));
}

bool fresh_run() {
    return text(py::module_::import("os").attr("environ").attr("get")("TAVRIN_FRESH", "")) == "1";
}

std::string today() {
    return text(py::module_::import("datetime").attr("date").attr("today")().attr("isoformat")());
}

// {"period": ..., "service": ..., "answers": {cusip: {"figi": str|null, "asked": day}}}
py::object read_store(const py::object& path) {
    try {
        py::object loaded = py::module_::import("json").attr("loads")(
            py::module_::import("pathlib").attr("Path")(path).attr("read_text")("encoding"_a = "utf-8"));
        return py::isinstance<py::dict>(loaded) ? loaded : py::none();
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_Exception)) throw;
        return py::none();
    }
}

bool is_text(const py::handle& value, const std::string& expected) {
    return py::isinstance<py::str>(value) && value.cast<std::string>() == expected;
}

bool is_figi(const py::handle& value) {
    if (!py::isinstance<py::str>(value)) return false;
    std::string figi = value.cast<std::string>();
    if (figi.size() != 12) return false;
    for (char c : figi) {
        if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))) return false;
    }
    return true;
}

// The store as JSON, one answer a line: readable, and written by json's C
// encoder, which an indent would turn off (the pure-Python one takes
// some hundredths of a second on a full portfolio).
std::string store_text(const std::string& period, const std::string& service,
                       const py::dict& answers) {
    py::object dumps = py::module_::import("json").attr("dumps");
    std::string out = "{\"period\": " + text(dumps(py::str(period))) + ",\n\"service\": " +
                      text(dumps(py::str(service))) + ",\n\"answers\": {";
    const char* separator = "\n";
    for (auto entry : answers) {
        out += separator + text(dumps(py::str(entry.first))) + ": " + text(dumps(entry.second));
        separator = ",\n";
    }
    return out + "\n}}\n";
}

}  // namespace

py::dict stored_figis(py::handle module) {
    py::dict answers;
    py::object path = store_path(module);
    if (fresh_run() || !truthy(py::module_::import("os").attr("path").attr("isfile")(path))) {
        return answers;
    }
    py::object stored = read_store(path);
    if (stored.is_none()) return answers;
    py::dict fields = py::reinterpret_borrow<py::dict>(stored);
    if (!fields.contains("period") || !is_text(fields["period"], period(module)) ||
        !fields.contains("service") || !is_text(fields["service"], openfigi_address(module)) ||
        !fields.contains("answers") || !py::isinstance<py::dict>(fields["answers"])) {
        return answers;
    }
    // An entry of any other shape is asked about again.
    for (auto entry : py::reinterpret_borrow<py::dict>(fields["answers"])) {
        if (!py::isinstance<py::dict>(entry.second)) continue;
        py::dict answer = py::reinterpret_borrow<py::dict>(entry.second);
        if (!answer.contains("figi")) continue;
        py::object figi = answer["figi"];
        if (figi.is_none()) answers[entry.first] = py::str(kNoFigi);
        else if (is_figi(figi)) answers[entry.first] = figi;
    }
    return answers;
}

void keep_figis(py::handle module, const py::dict& stored, const py::dict& answered) {
    py::object path = store_path(module);
    try {
        py::object earlier = read_store(path);
        py::dict kept;
        // Earlier answers keep the day they were asked.
        if (!earlier.is_none() && is_text(earlier.attr("get")("period"), period(module)) &&
            py::isinstance<py::dict>(earlier.attr("get")("answers"))) {
            py::dict answers = earlier["answers"];
            for (auto entry : answers) {
                if (stored.contains(entry.first)) kept[entry.first] = entry.second;
            }
        }
        std::string day = today();
        for (auto entry : answered) {
            py::dict answer;
            std::string figi = text(entry.second);
            answer["figi"] = figi == kNoFigi ? py::object(py::none()) : py::reinterpret_borrow<py::object>(entry.second);
            answer["asked"] = day;
            kept[entry.first] = answer;
        }
        std::string written = store_text(period(module), openfigi_address(module), kept);
        replace_whole(path, ".partial", [&](const py::object& partial) {
            py::module_::import("pathlib").attr("Path")(partial).attr("write_text")(
                written, "encoding"_a = "utf-8");
        });
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_Exception)) throw;
        builtin("print")("The FIGIs OpenFIGI gave could not be kept in " + text(path) + " (" +
                             text(error.value()) + "); the next run asks for them again.",
                         "flush"_a = true);
    }
}

Py_ssize_t figis_reused(py::handle module) {
    PyObject* count = PyDict_GetItemString(PyModule_GetDict(module.ptr()), "_figis_reused");
    return count == nullptr ? 0 : py::reinterpret_borrow<py::object>(count).cast<Py_ssize_t>();
}

}  // namespace tavrin
