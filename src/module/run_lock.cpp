// One run per working folder at a time. Two runs started in one folder
// would each replace the other's table and review, the slower one last,
// and both would say they succeeded; the second one stops instead.
//
// The lock is a file in Store naming the process that holds it. A run
// killed before it could remove it leaves it behind: a lock whose process
// no longer runs on this machine is taken over, and what that run left
// half done (temporaries, a delivery under way) is cleared first.
#include "common/delivery.hpp"
#include "module/module.hpp"

#include <string>

namespace tavrin {
namespace {

py::object os_module() { return py::module_::import("os"); }

py::object store_file(py::handle module, const char* name) {
    py::object store = py::module_::import("pathlib").attr("Path")(global(module, "sec_pdf_path")).attr("parent");
    return py::str(store.attr("joinpath")(name));
}

std::string host_name() { return py::str(py::module_::import("socket").attr("gethostname")()); }

// What the lock file says of its holder: "pid host started".
struct Holder {
    long pid = 0;
    std::string host, started;
};

Holder read_holder(const py::object& path) {
    Holder holder;
    try {
        py::object file = builtin("open")(path, "encoding"_a = "utf-8");
        py::list words;
        with_context(file, [&](const py::object& f) { words = f.attr("read")().attr("split")(" ", 2); });
        if (py::len(words) == 3) {
            holder.pid = py::int_(words[0]).cast<long>();
            holder.host = py::str(words[1]);
            holder.started = py::str(words[2]).attr("strip")().cast<std::string>();
        }
    } catch (py::error_already_set& error) {
        // A lock file half written by a run killed at once names nobody.
        if (!error.matches(PyExc_OSError) && !error.matches(PyExc_ValueError)) throw;
    }
    return holder;
}

// Only a process on this machine can be asked after; on Windows os.kill
// would end the process, so there a lock counts as held.
bool still_running(const Holder& holder) {
    if (holder.pid <= 0) return false;
    if (holder.host != host_name()) return true;
    if (text(os_module().attr("name")) != "posix") return true;
    try {
        os_module().attr("kill")(holder.pid, 0);
        return true;
    } catch (py::error_already_set& error) {
        if (error.matches(PyExc_ProcessLookupError)) return false;
        if (error.matches(PyExc_PermissionError)) return true;  // someone else's live process
        throw;
    }
}

// O_EXCL: of two runs starting at the same moment exactly one creates it.
bool try_create(const py::object& path) {
    py::object os = os_module();
    try {
        py::object descriptor = os.attr("open")(
            path, py::int_(os.attr("O_CREAT").cast<long>() | os.attr("O_EXCL").cast<long>() |
                           os.attr("O_WRONLY").cast<long>()));
        std::string started = py::str(py::module_::import("datetime").attr("datetime").attr("now")().attr("isoformat")("sep"_a = " ", "timespec"_a = "seconds"));
        std::string line = text(os.attr("getpid")()) + " " + host_name() + " " + started + "\n";
        os.attr("write")(descriptor, py::bytes(line));
        os.attr("close")(descriptor);
        return true;
    } catch (py::error_already_set& error) {
        if (error.matches(PyExc_FileExistsError)) return false;
        throw;
    }
}

[[noreturn]] void refuse_second_run(py::handle module, const py::object& path, const Holder& holder) {
    raise_error(PyExc_RuntimeError,
                "Another Tavrin run (process " + std::to_string(holder.pid) + " on " + holder.host +
                    ", started " + holder.started + ") is working in " + text(global(module, "mydir")) +
                    ". Wait for it to finish, then run again; this run changed nothing. If no such "
                    "run is going on, delete " + text(path) + ".");
}

// Temporaries are named "<file>.<8 hex digits>.<ending>" beside their file.
void remove_stray_temporaries(const py::object& folder) {
    py::object pattern = py::module_::import("re").attr("compile")(
        R"(.+\.[0-9a-f]{8}\.(tmp|download|previous|partial|partial\.xlsx)$)");
    py::object path = py::module_::import("pathlib").attr("Path")(folder);
    if (!truthy(path.attr("is_dir")())) return;
    for (py::handle entry : path.attr("iterdir")()) {
        if (!truthy(pattern.attr("match")(entry.attr("name")))) continue;
        if (!truthy(entry.attr("is_file")())) continue;
        try {
            entry.attr("unlink")();
        } catch (py::error_already_set& error) {
            if (!error.matches(PyExc_OSError)) throw;
        }
    }
}

}  // namespace

py::object delivery_journal(py::handle module) { return store_file(module, "Tavrin.delivery"); }

FolderLock::FolderLock(py::handle module) : path_(store_file(module, "Tavrin.lock")) {
    if (!try_create(path_)) {
        Holder holder = read_holder(path_);
        if (still_running(holder)) refuse_second_run(module, path_, holder);
        // Taken over from a run that ended without removing it.
        os_module().attr("replace")(path_, py::str(text(path_) + ".stale"));
        os_module().attr("remove")(py::str(text(path_) + ".stale"));
        if (!try_create(path_)) refuse_second_run(module, path_, read_holder(path_));
    }
    try {
        clear_what_a_killed_run_left(module);
    } catch (...) {
        release();
        throw;
    }
}

void FolderLock::clear_what_a_killed_run_left(py::handle module) {
    undo_interrupted_delivery(delivery_journal(module));
    py::object path = py::module_::import("pathlib").attr("Path");
    remove_stray_temporaries(path(global(module, "sec_pdf_path")).attr("parent"));
    remove_stray_temporaries(path(global(module, "fres_path")).attr("parent"));
}

void FolderLock::release() noexcept {
    PyObject *type, *value, *trace;
    PyErr_Fetch(&type, &value, &trace);
    try {
        os_module().attr("remove")(path_);
    } catch (...) {
    }
    PyErr_Clear();
    PyErr_Restore(type, value, trace);
}

FolderLock::~FolderLock() { release(); }

}  // namespace tavrin
