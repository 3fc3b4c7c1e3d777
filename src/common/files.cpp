#include "common/files.hpp"

namespace tavrin {
namespace {

[[noreturn]] void raise_not_found(const std::string& advice, const py::object& path) {
    PyErr_SetObject(PyExc_FileNotFoundError, py::make_tuple(2, advice, py::str(path)).ptr());
    throw py::error_already_set();
}

py::object as_path(const py::object& file) {
    return py::module_::import("pathlib").attr("Path")(file);
}

}  // namespace

void require_folder_of(const py::object& file, const std::string& advice) {
    py::object folder = as_path(file).attr("parent");
    if (!truthy(folder.attr("is_dir")())) raise_not_found(advice, folder);
}

void require_file(const py::object& file, const std::string& advice) {
    py::object path = as_path(file);
    if (!truthy(path.attr("is_file")())) raise_not_found(advice, path);
}

void replace_whole(const py::object& target, const char* ending,
                   const std::function<void(const py::object& temporary)>& write) {
    py::object os = py::module_::import("os");
    py::str temporary(text(target) + "." +
                      text(py::module_::import("secrets").attr("token_hex")(4)) + ending);
    try {
        write(temporary);
        os.attr("replace")(temporary, target);
    } catch (...) {
        try {
            if (truthy(os.attr("path").attr("exists")(temporary))) os.attr("remove")(temporary);
        } catch (py::error_already_set& cleanup) {
            // The original failure is the one to report, unless the clean-up
            // was interrupted.
            if (!cleanup.matches(PyExc_Exception)) throw;
        }
        throw;
    }
}

void replace_with_results(const py::object& target, const char* ending,
                          const std::function<void(const py::object& temporary)>& write) {
    replace_whole(target, ending, write);
}

py::object delivered_path(const py::object& target) { return target; }

}  // namespace tavrin
