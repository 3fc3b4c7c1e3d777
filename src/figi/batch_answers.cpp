// The answers of one report's batched look-ups, visible to openfigi only
// while that report is being built.
#include "figi/figi.hpp"

namespace tavrin {
namespace {

// Everything runs on the importing thread, so one pointer is enough; scopes
// nest like calls do.
const BatchAnswers* innermost = nullptr;

}  // namespace

BatchAnswers::BatchAnswers(py::dict answers) : answers_(std::move(answers)), outer_(innermost) {
    innermost = this;
}

BatchAnswers::~BatchAnswers() { innermost = outer_; }

py::object BatchAnswers::find(const py::handle& cusip) {
    // Only texts were asked about; anything else (even an unhashable value)
    // takes the single-request path, which handles every failure.
    if (innermost == nullptr || !py::isinstance<py::str>(cusip)) return py::object();
    PyObject* answer = PyDict_GetItemWithError(innermost->answers_.ptr(), cusip.ptr());
    if (answer == nullptr) {
        if (PyErr_Occurred()) throw py::error_already_set();
        return py::object();
    }
    return py::reinterpret_borrow<py::object>(answer);
}

}  // namespace tavrin
