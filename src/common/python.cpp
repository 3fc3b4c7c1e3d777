#include "common/python.hpp"

#include <frameobject.h>

#include <iomanip>
#include <sstream>

namespace tavrin {

py::object global(py::handle module, const char* name) {
    PyObject* globals = PyModule_GetDict(module.ptr());
    py::str key(name);
    PyObject* value = PyDict_GetItemWithError(globals, key.ptr());
    if (value) return py::reinterpret_borrow<py::object>(value);
    if (PyErr_Occurred()) throw py::error_already_set();

    py::module_ builtins = py::module_::import("builtins");
    if (py::hasattr(builtins, key)) return builtins.attr(key);
    raise_error(PyExc_NameError, "name '" + std::string(name) + "' is not defined");
}

py::object builtin(const char* name) {
    return py::module_::import("builtins").attr(name);
}

std::string seconds_text(double seconds) {
    std::ostringstream out;
    out << std::fixed << std::setprecision(1) << seconds;
    std::string shown = out.str();
    const std::string whole = ".0";
    if (shown.size() > whole.size() && shown.compare(shown.size() - 2, 2, whole) == 0) {
        shown.resize(shown.size() - whole.size());
    }
    return shown;
}

bool truthy(py::handle value) {
    int result = PyObject_IsTrue(value.ptr());
    if (result < 0) throw py::error_already_set();
    return result == 1;
}

void raise_error(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw py::error_already_set();
}

void raise_instance(const py::object& error) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
    throw py::error_already_set();
}

static py::object innermost_function_name(py::handle module) {
    return global(module, "inspect").attr("stack")()[py::int_(0)][py::int_(3)];
}

void print_trace(py::handle module) {
    builtin("print")(innermost_function_name(module));
}

void print_trace(py::handle module, py::handle extra) {
    builtin("print")(innermost_function_name(module), extra);
}

void add_traceback_entry(const char* name, int line) {
    // The frame is a stand-in for the function's source position: a fresh
    // code object whose first line is `line` reports exactly that line.
    PyObject* error = PyErr_GetRaisedException();
    PyCodeObject* code = PyCode_NewEmpty("Tavrin.pyx", name, line);
    PyObject* globals = PyDict_New();
    PyFrameObject* frame = nullptr;
    if (code && globals) frame = PyFrame_New(PyThreadState_Get(), code, globals, nullptr);
    // Failing to describe the error must not replace it.
    PyErr_Clear();
    PyErr_SetRaisedException(error);
    if (frame) PyTraceBack_Here(frame);
    Py_XDECREF(frame);
    Py_XDECREF(globals);
    Py_XDECREF(code);
}

}  // namespace tavrin
