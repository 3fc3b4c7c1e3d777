// Shared C++ helpers for driving the host interpreter.
//
// Rules of use:
//  - Every owned PyObject* lives in a py::object (pybind11); nothing outside
//    the module frame touches reference counts by hand.
//  - "A Python error is set" has one C++ shape: py::error_already_set.
//    pybind11 throws it from any failing call, and raise_error() throws it
//    for the errors this module raises itself.
//  - Each module function has exactly one boundary, entry_point(), where the
//    C++ exception becomes a set Python error again and the function's
//    traceback entry is added. No C++ exception crosses it.
//  - Stages find settings, packages and each other by name at the moment of
//    use (global()), so a host that rebinds a module global changes what the
//    next call sees.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <utility>

namespace py = pybind11;
using namespace pybind11::literals;

namespace tavrin {

// Looks `name` up in the module's globals, then in builtins; NameError when
// neither has it, exactly as a module-level name lookup would fail.
py::object global(py::handle module, const char* name);

// The built-in of that name (print, round, str...), never a module global.
py::object builtin(const char* name);

// str(value) and repr(value) as C++ text, for messages.
inline std::string text(const py::handle& value) { return py::str(value); }
inline std::string repr_text(const py::handle& value) { return py::repr(value); }

// Seconds as messages show them, to a tenth: "60", "1.5", "12.3".
std::string seconds_text(double seconds);

// Sets `type` with `message` as the current Python error and throws it.
[[noreturn]] void raise_error(PyObject* type, const std::string& message);

// Raises `error`, an exception instance already built (with attributes or a
// cause of its own), as the current Python error, under its own class.
[[noreturn]] void raise_instance(const py::object& error);

// The trace line every stage begins with: the function-name field of the
// innermost interpreter frame, as inspect.stack() reports it.
void print_trace(py::handle module);
void print_trace(py::handle module, py::handle extra);

// Adds a traceback entry named `name` in "Tavrin.pyx" at `line` to the
// exception that is currently set.
void add_traceback_entry(const char* name, int line);

// Python truth of `value` (bool(value)); a failing __bool__ raises.
bool truthy(py::handle value);

// Runs `body` inside `manager` like a Python `with` block: __exit__ sees the
// exception when the body fails, and may swallow it as Python allows.
template <class Body>
void with_context(const py::object& manager, Body&& body) {
    py::object entered = manager.attr("__enter__")();
    try {
        body(entered);
    } catch (py::error_already_set& error) {
        // An error raised from C++ has no traceback yet: __exit__ gets None,
        // as Python passes it, not a null object pybind11 cannot convert.
        py::object trace = error.trace() ? error.trace() : py::none();
        py::object swallowed = manager.attr("__exit__")(error.type(), error.value(), trace);
        if (!truthy(swallowed)) throw;
        return;
    }
    manager.attr("__exit__")(py::none(), py::none(), py::none());
}

// The one boundary of a module function: returns a new reference, or NULL
// with the error set and the "Tavrin.<name>" traceback entry added.
template <class Body>
PyObject* entry_point(const char* traceback_name, int line, Body&& body) noexcept {
    try {
        return body().release().ptr();
    } catch (py::error_already_set& error) {
        error.restore();
    } catch (py::builtin_exception& error) {
        error.set_error();
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
    }
    add_traceback_entry(traceback_name, line);
    return nullptr;
}

}  // namespace tavrin
