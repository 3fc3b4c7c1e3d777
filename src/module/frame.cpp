// The module frame: definition, create step and exec step.
//
// One interpreter and one module object per process: importing runs the
// whole pipeline, so a second module object (or a second interpreter) would
// run it again against the same working folder.
#include "module/module.hpp"

namespace {

constexpr const char* kInterpreterChange =
    "Interpreter change detected - this module can only be loaded into one "
    "interpreter per process.";
constexpr const char* kReinitialisation =
    "Module 'Tavrin' has already been imported. Re-initialisation is not supported.";

int64_t first_interpreter = -1;
// The module object whose exec step ran (or runs) in this process. Held
// strongly so a re-import after `del sys.modules["Tavrin"]` finds it again.
PyObject* the_module = nullptr;

int check_single_interpreter() {
    int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (first_interpreter == -1) {
        first_interpreter = current;
    } else if (first_interpreter != current) {
        PyErr_SetString(PyExc_ImportError, kInterpreterChange);
        return -1;
    }
    return 0;
}

// Copies one attribute of the module spec into the new module's dict; a
// spec without the attribute is fine, any other failure fails the import.
int copy_spec_attribute(PyObject* spec, PyObject* dict, const char* from,
                        const char* to, bool allow_none) {
    PyObject* value = PyObject_GetAttrString(spec, from);
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    int result = 0;
    if (allow_none || value != Py_None) result = PyDict_SetItemString(dict, to, value);
    Py_DECREF(value);
    return result;
}

PyObject* create_module(PyObject* spec, PyModuleDef*) {
    if (check_single_interpreter() < 0) return nullptr;
    if (the_module) return Py_NewRef(the_module);

    PyObject* name = PyObject_GetAttrString(spec, "name");
    if (!name) return nullptr;
    PyObject* module = PyModule_NewObject(name);
    Py_DECREF(name);
    if (!module) return nullptr;

    PyObject* dict = PyModule_GetDict(module);
    if (copy_spec_attribute(spec, dict, "loader", "__loader__", true) < 0 ||
        copy_spec_attribute(spec, dict, "origin", "__file__", true) < 0 ||
        copy_spec_attribute(spec, dict, "parent", "__package__", true) < 0 ||
        copy_spec_attribute(spec, dict, "submodule_search_locations", "__path__", false) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}

int warn_on_other_python(PyObject* module) {
    py::object version = py::module_::import("sys").attr("version_info");
    int major = version[py::int_(0)].cast<int>();
    int minor = version[py::int_(1)].cast<int>();
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return 0;
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "compile time Python version %d.%d of module '%.100s' "
                            "%s runtime version %d.%d",
                            PY_MAJOR_VERSION, PY_MINOR_VERSION,
                            PyModule_GetName(module), "does not match", major, minor);
}

void enter_in_sys_modules(py::module_ module) {
    py::dict modules = py::module_::import("sys").attr("modules");
    if (!modules.contains("Tavrin")) modules["Tavrin"] = module;
}

// Everything the import does after the guards; the last statement runs the
// pipeline, so a failing run fails the import.
void run_module_statements(py::module_ module) {
    enter_in_sys_modules(module);
    tavrin::import_packages(module);
    tavrin::compute_settings(module);
    tavrin::bind_functions(module);
    tavrin::global(module, "cruncher")();
}

int exec_module(PyObject* module) {
    if (the_module) {
        if (the_module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError, kReinitialisation);
        return -1;
    }
    the_module = Py_NewRef(module);

    int failed = 0;
    try {
        if (warn_on_other_python(module) < 0) throw py::error_already_set();
        run_module_statements(py::reinterpret_borrow<py::module_>(module));
    } catch (py::error_already_set& error) {
        error.restore();
        failed = 1;
    } catch (py::builtin_exception& error) {
        error.set_error();
        failed = 1;
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
        failed = 1;
    }
    if (!failed) return 0;

    tavrin::add_traceback_entry("init Tavrin", __LINE__);
    // Let go of the failed object so that a later import starts afresh.
    Py_CLEAR(the_module);
    return -1;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyMethodDef no_methods[] = {{nullptr, nullptr, 0, nullptr}};

constexpr const char* kModuleDoc =
    "Prepares the quarter's SEC Form 13F information table in the working folder.\n\n"
    "Importing runs the whole pipeline once: the SEC's list of 13(f) securities into\n"
    "Store, the workbooks Data/Portfolio.xlsx and Data/Removal.xlsx reconciled against\n"
    "it, FIGIs from OpenFIGI, and the EDGAR document Results/F13Results.xml.\n"
    "cruncher() runs it again with the settings as they stand.";

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "Tavrin",    // m_name
    kModuleDoc,  // m_doc
    0,           // m_size: no per-module state
    no_methods,  // the functions are bound by the exec step
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_Tavrin(void) { return PyModuleDef_Init(&definition); }
