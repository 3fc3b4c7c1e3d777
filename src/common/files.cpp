#include "common/files.hpp"

#include "common/delivery.hpp"

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

namespace {

// The file system's own words for a full disk or a file too large name
// neither the file nor a way out; these say both, under the same class and
// errno, so callers catching OSError keep working.
void explain_file_system_error(py::error_already_set& error, const py::object& target) {
    if (!error.matches(PyExc_OSError)) return;
    py::object errno_module = py::module_::import("errno");
    py::object code = error.value().attr("errno");
    std::string advice;
    bool over_quota = py::hasattr(errno_module, "EDQUOT") && code.equal(errno_module.attr("EDQUOT"));
    if (code.equal(errno_module.attr("ENOSPC")) || over_quota) {
        advice = "There is no room left on the disk for " + text(target) +
                 ": free some space there (or move the working folder to a disk with room) and "
                 "run again.";
    } else if (code.equal(errno_module.attr("EFBIG"))) {
        advice = text(target) + " would be larger than this system lets a file grow (a file-size "
                                "limit of the account or the file system): raise the limit or "
                                "move the working folder, and run again.";
    } else {
        return;
    }
    advice += " The file as it was before this run is unchanged.";
    py::object explained = py::handle(PyExc_OSError)(code, advice, target);
    explained.attr("__cause__") = error.value();
    explained.attr("__suppress_context__") = true;
    raise_instance(explained);
}

py::str temporary_beside(const py::object& target, const char* ending) {
    return py::str(text(target) + "." +
                   text(py::module_::import("secrets").attr("token_hex")(4)) + ending);
}

// Writes `temporary` through `write`; on any failure it is removed and the
// failure goes on, explained where it is the disk's.
void fill_temporary(const py::object& target, const py::object& temporary,
                    const std::function<void(const py::object& temporary)>& write) {
    py::object os = py::module_::import("os");
    try {
        write(temporary);
    } catch (...) {
        try {
            if (truthy(os.attr("path").attr("exists")(temporary))) os.attr("remove")(temporary);
        } catch (py::error_already_set& cleanup) {
            // The original failure is the one to report, unless the clean-up
            // was interrupted.
            if (!cleanup.matches(PyExc_Exception)) throw;
        }
        try {
            throw;
        } catch (py::error_already_set& error) {
            explain_file_system_error(error, target);
            throw;
        }
    }
}

}  // namespace

void replace_whole(const py::object& target, const char* ending,
                   const std::function<void(const py::object& temporary)>& write) {
    py::object os = py::module_::import("os");
    py::str temporary = temporary_beside(target, ending);
    fill_temporary(target, temporary, write);
    try {
        os.attr("replace")(temporary, target);
    } catch (...) {
        try {
            if (truthy(os.attr("path").attr("exists")(temporary))) os.attr("remove")(temporary);
        } catch (py::error_already_set& cleanup) {
            if (!cleanup.matches(PyExc_Exception)) throw;
        }
        throw;
    }
}

void replace_with_results(const py::object& target, const char* ending,
                          const std::function<void(const py::object& temporary)>& write) {
    Delivery* delivery = Delivery::current();
    if (!delivery) return replace_whole(target, ending, write);
    py::str temporary = temporary_beside(target, ending);
    fill_temporary(target, temporary, write);
    delivery->stage(target, temporary);
}

bool remove_with_results(const py::object& target) {
    py::object os = py::module_::import("os");
    if (!truthy(os.attr("path").attr("isfile")(target))) return false;
    if (Delivery* delivery = Delivery::current()) {
        delivery->stage_removal(target);
    } else {
        os.attr("remove")(target);
    }
    return true;
}

py::object delivered_path(const py::object& target) {
    Delivery* delivery = Delivery::current();
    py::object staged = delivery ? delivery->staged(target) : py::none();
    return staged.is_none() ? target : staged;
}

}  // namespace tavrin
