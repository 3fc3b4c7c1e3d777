#include "common/delivery.hpp"

#include "common/files.hpp"

#include <string>

namespace tavrin {
namespace {

// One pointer is enough: everything runs on the importing thread.
Delivery* innermost = nullptr;

py::object os_module() { return py::module_::import("os"); }

bool exists(const py::object& path) {
    return truthy(os_module().attr("path").attr("lexists")(path));
}

void remove_quietly(const py::object& path) {
    try {
        if (exists(path)) os_module().attr("remove")(path);
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_OSError)) throw;
    }
}

std::string names_of(const std::vector<py::object>& targets) {
    std::string names;
    for (size_t i = 0; i < targets.size(); ++i) {
        if (i > 0) names += i + 1 == targets.size() ? " and " : ", ";
        names += text(targets[i]);
    }
    return names;
}

// The journal: one line per staged file, the target and where its previous
// file went ("" when there was none), tab-separated.
void write_journal(const py::object& journal, const std::string& lines) {
    py::object file = builtin("open")(journal, "w", "encoding"_a = "utf-8");
    with_context(file, [&](const py::object& f) {
        f.attr("write")(py::str(lines));
        f.attr("flush")();
        os_module().attr("fsync")(f.attr("fileno")());
    });
}

}  // namespace

Delivery::Delivery(py::object journal) : journal_(std::move(journal)), outer_(innermost) {
    innermost = this;
}

Delivery::~Delivery() {
    innermost = outer_;
    // A destructor must not throw: a temporary that cannot be removed now is
    // removed by the next run's clean-up.
    PyObject *type, *value, *trace;
    PyErr_Fetch(&type, &value, &trace);
    try {
        for (const Staged& file : files_) {
            if (!file.temporary.is_none()) remove_quietly(file.temporary);
        }
    } catch (...) {
    }
    PyErr_Clear();
    PyErr_Restore(type, value, trace);
}

Delivery* Delivery::current() { return innermost; }

void Delivery::stage(const py::object& target, const py::object& temporary) {
    for (Staged& file : files_) {
        if (file.target.equal(target)) {
            if (!file.temporary.is_none()) remove_quietly(file.temporary);
            file.temporary = temporary;
            return;
        }
    }
    files_.push_back({target, temporary, py::none()});
}

void Delivery::stage_removal(const py::object& target) { stage(target, py::none()); }

py::object Delivery::staged(const py::object& target) const {
    for (const Staged& file : files_) {
        if (file.target.equal(target)) return file.temporary;
    }
    return py::none();
}

// Every target is looked at before anything moves, so a review that is open
// in Excel or a folder standing where a file should be stops the run while
// all the previous files are still in place.
void Delivery::check_targets() const {
    std::vector<py::object> targets;
    for (const Staged& file : files_) targets.push_back(file.target);
    const std::string unchanged = " Nothing was replaced: " + names_of(targets) +
                                  " are as the last run left them.";
    for (const Staged& file : files_) {
        if (truthy(os_module().attr("path").attr("isdir")(file.target))) {
            PyErr_SetObject(PyExc_IsADirectoryError,
                            py::make_tuple(21,
                                           "A folder stands where " + text(file.target) +
                                               " is written; move or rename it and run again." +
                                               unchanged,
                                           file.target)
                                .ptr());
            throw py::error_already_set();
        }
        if (!exists(file.target)) continue;
        try {
            // Opening for update is refused, as replacing would be, when Excel
            // holds the file on Windows or the file is read-only or immutable.
            builtin("open")(file.target, "r+b").attr("close")();
        } catch (py::error_already_set& error) {
            if (!error.matches(PyExc_OSError)) throw;
            py::object locked = py::handle(PyExc_PermissionError)(
                13,
                text(file.target) + " cannot be replaced: another program holds it (close it "
                                    "in Excel), or it is read-only." + unchanged,
                file.target);
            locked.attr("__cause__") = error.value();
            raise_instance(locked);
        }
    }
}

void Delivery::move_previous_aside() {
    py::object token = py::module_::import("secrets").attr("token_hex")(4);
    std::string lines;
    for (Staged& file : files_) {
        if (exists(file.target)) file.previous = py::str(text(file.target) + "." + text(token) + ".previous");
        lines += text(file.target) + "\t" + (file.previous.is_none() ? "" : text(file.previous)) + "\n";
    }
    write_journal(journal_, lines);
    for (size_t i = 0; i < files_.size(); ++i) {
        if (files_[i].previous.is_none()) continue;
        try {
            os_module().attr("replace")(files_[i].target, files_[i].previous);
        } catch (...) {
            for (size_t j = 0; j < i; ++j) {
                if (!files_[j].previous.is_none())
                    os_module().attr("replace")(files_[j].previous, files_[j].target);
            }
            remove_quietly(journal_);
            throw;
        }
    }
}

void Delivery::undo(size_t placed) {
    for (size_t i = 0; i < files_.size(); ++i) {
        const Staged& file = files_[i];
        if (file.previous.is_none()) {
            if (i < placed) remove_quietly(file.target);
        } else {
            os_module().attr("replace")(file.previous, file.target);
        }
    }
    remove_quietly(journal_);
}

void Delivery::put_in_place() {
    size_t placed = 0;
    try {
        for (; placed < files_.size(); ++placed) {
            // A removal is done once its previous file was moved aside.
            if (files_[placed].temporary.is_none()) continue;
            os_module().attr("replace")(files_[placed].temporary, files_[placed].target);
        }
    } catch (...) {
        undo(placed);
        throw;
    }
}

void Delivery::deliver() {
    if (files_.empty()) return;
    check_targets();
    move_previous_aside();
    put_in_place();
    // The journal's removal is the moment the new files count as delivered;
    // the previous files are dropped after it.
    remove_quietly(journal_);
    for (const Staged& file : files_) {
        if (!file.previous.is_none()) remove_quietly(file.previous);
    }
    files_.clear();
}

void undo_interrupted_delivery(const py::object& journal) {
    if (!exists(journal)) return;
    py::object file = builtin("open")(journal, "encoding"_a = "utf-8");
    py::object lines;
    with_context(file, [&](const py::object& f) { lines = f.attr("read")().attr("splitlines")(); });
    size_t restored = 0;
    for (py::handle line : lines) {
        py::list parts = py::str(line).attr("split")("\t");
        if (py::len(parts) != 2) continue;
        py::object target = parts[0], previous = parts[1];
        if (py::len(previous) == 0) {
            remove_quietly(target);
        } else if (exists(previous)) {
            os_module().attr("replace")(previous, target);
            ++restored;
        }
    }
    remove_quietly(journal);
    builtin("print")("An earlier run was stopped while it put its results in place; the " +
                     std::to_string(restored) + " file(s) it had replaced are back as they were.");
}

}  // namespace tavrin
