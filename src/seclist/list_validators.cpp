// A re-run before the deadline asks the SEC for the list conditionally, as a
// browser asks for a page it has cached: the ETag and Last-Modified of the
// stored list go back as If-None-Match and If-Modified-Since, and a 304 keeps
// the stored list. They are kept in Store/F13SEC.http.json with the address
// and the digest of the file they describe, so they are sent only for the
// very bytes the SEC gave them with.
#include "seclist/list_validators.hpp"

#include "common/files.hpp"
#include "seclist/extraction.hpp"

#include <string>

namespace tavrin {
namespace {

// The day of a 304, for the closing line.
constexpr const char* kUnchangedSince = "_list_unchanged_since";

py::object validators_path(py::handle module) {
    std::string pdf = text(global(module, "sec_pdf_path"));
    return py::str(pdf.substr(0, pdf.size() - std::string(".pdf").size()) + ".http.json");
}

bool fresh_run() {
    return text(py::module_::import("os").attr("environ").attr("get")("TAVRIN_FRESH", "")) == "1";
}

std::string field(const py::dict& fields, const char* name) {
    if (!fields.contains(name) || !py::isinstance<py::str>(fields[name])) return "";
    return fields[name].cast<std::string>();
}

std::string header(const py::object& response, const char* name) {
    py::object value = response.attr("headers").attr("get")(name);
    return value.is_none() ? "" : text(value);
}

}  // namespace

py::object ListValidators::request_headers(py::handle module) const {
    py::object headers = global(module, "headers");
    if (!usable()) return headers;
    // A copy: the module's own headers stay as the host set them.
    py::dict asked = builtin("dict")(headers);
    if (!etag.empty()) asked["If-None-Match"] = etag;
    if (!last_modified.empty()) asked["If-Modified-Since"] = last_modified;
    return asked;
}

ListValidators stored_validators(py::handle module, const py::object& url) {
    ListValidators none;
    py::object path = validators_path(module);
    py::object pdf = global(module, "sec_pdf_path");
    py::object os_path = py::module_::import("os").attr("path");
    if (fresh_run() || !truthy(os_path.attr("isfile")(path)) ||
        !truthy(os_path.attr("isfile")(pdf))) {
        return none;
    }
    try {
        py::object loaded = py::module_::import("json").attr("loads")(
            py::module_::import("pathlib").attr("Path")(path).attr("read_text")("encoding"_a = "utf-8"));
        if (!py::isinstance<py::dict>(loaded)) return none;
        py::dict fields = py::reinterpret_borrow<py::dict>(loaded);
        if (field(fields, "url") != text(url) || field(fields, "pdf_sha256") != file_sha256(pdf)) {
            return none;
        }
        return {field(fields, "etag"), field(fields, "last_modified"), field(fields, "downloaded")};
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_Exception)) throw;
        return none;
    }
}

void store_validators(py::handle module, const py::object& url, const py::object& response) {
    py::object path = validators_path(module);
    py::object os = py::module_::import("os");
    try {
        std::string etag = header(response, "ETag");
        std::string last_modified = header(response, "Last-Modified");
        if (etag.empty() && last_modified.empty()) {
            if (truthy(os.attr("path").attr("exists")(path))) os.attr("remove")(path);
            return;
        }
        py::dict fields;
        fields["url"] = url;
        fields["pdf_sha256"] = file_sha256(global(module, "sec_pdf_path"));
        fields["etag"] = etag;
        fields["last_modified"] = last_modified;
        fields["downloaded"] = py::module_::import("datetime").attr("date").attr("today")().attr("isoformat")();
        std::string written = text(py::module_::import("json").attr("dumps")(fields, "indent"_a = 1));
        replace_whole(path, ".partial", [&](const py::object& partial) {
            py::module_::import("pathlib").attr("Path")(partial).attr("write_text")(
                written, "encoding"_a = "utf-8");
        });
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_Exception)) throw;
        // Without them the next run downloads the list whole, as before.
        builtin("print")("The list's validators could not be kept in " + text(path) + " (" +
                             text(error.value()) + "); the next run downloads the list whole.",
                         "flush"_a = true);
    }
}

void note_list_unchanged(py::handle module, const ListValidators& validators) {
    PyDict_SetItemString(PyModule_GetDict(module.ptr()), kUnchangedSince,
                         py::str(validators.downloaded).ptr());
}

}  // namespace tavrin
