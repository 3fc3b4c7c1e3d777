// The list's extraction kept for the next run.
//
// tabula takes most of a run, and a re-run before the deadline reads the very
// same bytes again. What it made of them is kept beside the list workbook:
// Store/F13X.tables.pkl (the stacked table and what the checks need) and
// Store/F13X.key.json, which says what it was made from and by what. It is
// used only while all of that still holds; anything else (another PDF,
// another module or tabula, a file cut short or changed) means a fresh
// extraction. The key also holds the digest of the tables file, so a
// damaged file is found before it is unpickled.
#include "seclist/list_store.hpp"

#include "common/files.hpp"

#include <string>

namespace tavrin {
namespace {

// Raised whenever what is stored, or how it is made, changes shape.
constexpr int kStoreFormat = 1;

py::object os_path() { return py::module_::import("os").attr("path"); }

py::object sibling(py::handle module, const char* ending) {
    std::string workbook = text(global(module, "sec_excel_Path"));
    std::string stem = workbook.substr(0, workbook.size() - std::string(".xlsx").size());
    return py::str(stem + ending);
}

std::string distribution_version(const char* name) {
    try {
        return text(py::module_::import("importlib.metadata").attr("version")(name));
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_Exception)) throw;
        return "unknown";
    }
}

// The module's version and the moment this code was compiled: a rebuilt
// module may read the list differently.
std::string module_version() {
    return distribution_version("Tavrin") + " (format " + std::to_string(kStoreFormat) +
           ", built " + __DATE__ + " " + __TIME__ + ")";
}

// tabula-py and the tabula-java it runs.
std::string extractor_version() {
    std::string java = "unknown";
    try {
        java = text(py::module_::import("tabula.backend").attr("TABULA_JAVA_VERSION"));
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_Exception)) throw;
    }
    return "tabula-py " + distribution_version("tabula-py") + ", tabula-java " + java;
}

py::dict key_for(const std::string& pdf_digest, const std::string& tables_digest) {
    py::dict key;
    key["pdf_sha256"] = pdf_digest;
    key["module_version"] = module_version();
    key["extractor_version"] = extractor_version();
    key["tables_sha256"] = tables_digest;
    return key;
}

std::string digest_of(const py::bytes& data) {
    return text(py::module_::import("hashlib").attr("sha256")(data).attr("hexdigest")());
}

// A stored key, or None when it cannot be read as one.
py::object read_key(const py::object& path) {
    try {
        py::object json = py::module_::import("json");
        py::object key = json.attr("loads")(
            py::module_::import("pathlib").attr("Path")(path).attr("read_text")("encoding"_a = "utf-8"));
        return py::isinstance<py::dict>(key) ? key : py::none();
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_Exception)) throw;
        return py::none();
    }
}

bool holds_an_extraction(const py::object& loaded, py::handle module) {
    if (!py::isinstance<py::dict>(loaded)) return false;
    py::dict fields = py::reinterpret_borrow<py::dict>(loaded);
    for (const char* name : {"sha256", "stacked", "lengths", "stated", "period"}) {
        if (!fields.contains(name)) return false;
    }
    return py::isinstance(fields["stacked"], global(module, "pd").attr("DataFrame")) &&
           py::isinstance<py::list>(fields["lengths"]);
}

}  // namespace

py::object stored_tables_path(py::handle module) { return sibling(module, ".tables.pkl"); }
py::object stored_key_path(py::handle module) { return sibling(module, ".key.json"); }

py::object load_stored_extraction(py::handle module, const std::string& digest) {
    py::object key_path = stored_key_path(module);
    py::object tables_path = stored_tables_path(module);
    if (!truthy(os_path().attr("isfile")(key_path)) ||
        !truthy(os_path().attr("isfile")(tables_path))) {
        return py::none();
    }
    py::object key = read_key(key_path);
    if (key.is_none()) return py::none();
    py::dict wanted = key_for(digest, "");
    for (const char* name : {"pdf_sha256", "module_version", "extractor_version"}) {
        if (!py::reinterpret_borrow<py::dict>(key).contains(name) ||
            text(key[name]) != text(wanted[name])) {
            return py::none();
        }
    }
    try {
        py::bytes data = py::module_::import("pathlib").attr("Path")(tables_path).attr("read_bytes")();
        if (text(key.attr("get")("tables_sha256")) != digest_of(data)) return py::none();
        py::object loaded = py::module_::import("pickle").attr("loads")(data);
        if (!holds_an_extraction(loaded, module) || text(loaded["sha256"]) != digest) {
            return py::none();
        }
        loaded["reused"] = true;
        return loaded;
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_Exception)) throw;
        return py::none();
    }
}

void store_extraction(py::handle module, const py::dict& extraction) {
    try {
        py::dict kept;
        for (const char* name : {"sha256", "stacked", "lengths", "stated", "period"}) {
            kept[name] = extraction[name];
        }
        py::bytes data = py::module_::import("pickle").attr("dumps")(kept, 5);
        py::object json = py::module_::import("json");
        std::string key = text(json.attr("dumps")(key_for(text(extraction["sha256"]),
                                                          digest_of(data)),
                                                  "indent"_a = 1));
        // The key goes last: until it is in place, no run takes the tables.
        py::object os = py::module_::import("os");
        if (truthy(os_path().attr("exists")(stored_key_path(module)))) {
            os.attr("remove")(stored_key_path(module));
        }
        replace_whole(stored_tables_path(module), ".partial", [&](const py::object& partial) {
            py::module_::import("pathlib").attr("Path")(partial).attr("write_bytes")(data);
        });
        replace_whole(stored_key_path(module), ".partial", [&](const py::object& partial) {
            py::module_::import("pathlib").attr("Path")(partial).attr("write_text")(
                key, "encoding"_a = "utf-8");
        });
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_Exception)) throw;
        builtin("print")("The list's tables could not be kept for the next run in " +
                             text(stored_tables_path(module)) + " (" + text(error.value()) +
                             "); the next run reads the list afresh.",
                         "flush"_a = true);
    }
}

}  // namespace tavrin
