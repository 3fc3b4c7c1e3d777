// The FIGI look-ups of one report: one time budget, the answers settled so
// far, and the point after which no request goes out.
//
// A service that accepts connections and never answers, or refuses every
// request, must cost a report minutes, not hours: every request and every
// wait of one report draws on one budget, and once the service is out of
// reach the CUSIPs still open go without a FIGI (the FIGI is optional on
// EDGAR) instead of one request each.
#include "figi/figi.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace tavrin {
namespace {

constexpr double kDefaultBudget = 600;

// Everything runs on the importing thread, so one pointer is enough; scopes
// nest like calls do.
ReportLookUps* innermost = nullptr;

// The same clock as the waits (time.sleep), so budget and waits agree.
double now() { return py::module_::import("time").attr("monotonic")().cast<double>(); }

void warn(const std::string& line) { builtin("print")(line, "flush"_a = true); }

// A look-up must never stop the report: a budget that is not a number of
// seconds is reported and replaced by the default.
double budget_seconds(py::handle module) {
    std::string found = "not set";
    try {
        py::object setting = global(module, "openfigi_budget");
        found = repr_text(setting);
        double seconds = builtin("float")(setting).cast<double>();
        if (!std::isnan(seconds)) return seconds;
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_Exception)) throw;
    }
    warn("OpenFIGI time budget openfigi_budget must be a number of seconds (it is " + found +
         "); this report's FIGI look-ups get " + seconds_text(kDefaultBudget) + " s.");
    return kDefaultBudget;
}

std::string cusips_going_without(Py_ssize_t count) {
    return "the " + cusips_text(count) + " not answered yet " + (count == 1 ? "goes" : "go");
}

// Without a key the service lets a tenth of the CUSIPs through in the same
// time, which is what most often exhausts the budget.
std::string budget_advice(py::handle module) {
    if (has_key(module)) {
        return "give Tavrin.openfigi_budget more seconds, or run again when OpenFIGI answers "
               "more quickly.";
    }
    return "set OPENFIGI_APIKEY (with a key OpenFIGI takes ten times the CUSIPs a request) or "
           "give Tavrin.openfigi_budget more seconds.";
}

}  // namespace

std::string cusips_text(Py_ssize_t count) {
    return std::to_string(count) + (count == 1 ? " CUSIP" : " CUSIPs");
}

std::string openfigi_address(py::handle module) {
    try {
        return text(global(module, "openfigi_url"));
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_Exception)) throw;
        return "(openfigi_url not set)";
    }
}

// The module binds its functions as builtins whose `self` is the module;
// anything else in that place is the host's.
bool is_own_function(py::handle module, const char* name) {
    py::object function;
    try {
        function = global(module, name);
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_NameError)) throw;
        return false;
    }
    PyObject* candidate = function.ptr();
    return PyCFunction_Check(candidate) && PyCFunction_GET_SELF(candidate) == module.ptr() &&
           std::strcmp(reinterpret_cast<PyCFunctionObject*>(candidate)->m_ml->ml_name, name) == 0;
}

ReportLookUps::ReportLookUps(py::handle module, const py::list& cusips)
    : module_(module),
      cusips_(cusips),
      budget_(budget_seconds(module)),
      deadline_(now() + budget_),
      outer_(innermost) {
    innermost = this;
    // A host that rebound openfigi has its own source of FIGIs (or none);
    // asking the service for it would only cost time and warnings.
    if (!is_own_function(module, "openfigi")) return;
    try {
        // A re-run of the quarter asks only about CUSIPs not answered yet.
        py::dict stored = stored_figis(module);
        py::list to_ask;
        Py_ssize_t reused = 0;
        for (py::handle cusip : cusips) {
            if (py::isinstance<py::str>(cusip) && stored.contains(cusip)) {
                settle(cusip, stored[cusip]);
                ++reused;
            } else {
                to_ask.append(cusip);
            }
        }
        PyDict_SetItemString(PyModule_GetDict(module.ptr()), "_figis_reused",
                             py::int_(reused).ptr());
        look_up_in_batches(module, *this, to_ask);
        if (py::len(answered_) > 0) keep_figis(module, stored, answered_);
    } catch (...) {
        innermost = outer_;
        throw;
    }
}

ReportLookUps::~ReportLookUps() { innermost = outer_; }

ReportLookUps* ReportLookUps::current() { return innermost; }

py::object ReportLookUps::answer(const py::handle& cusip) const {
    // Only texts were asked about; anything else (even an unhashable value)
    // takes the single-request path, which handles every failure.
    if (!py::isinstance<py::str>(cusip)) return py::object();
    PyObject* answer = PyDict_GetItemWithError(answers_.ptr(), cusip.ptr());
    if (answer == nullptr) {
        if (PyErr_Occurred()) throw py::error_already_set();
        return py::object();
    }
    return py::reinterpret_borrow<py::object>(answer);
}

void ReportLookUps::settle(const py::handle& cusip, const py::object& answer) {
    if (py::isinstance<py::str>(cusip)) answers_[cusip] = answer;
}

void ReportLookUps::settle_answered(const py::handle& cusip, const py::object& answer) {
    settle(cusip, answer);
    if (py::isinstance<py::str>(cusip)) answered_[cusip] = answer;
}

Py_ssize_t ReportLookUps::unsettled() const {
    Py_ssize_t count = 0;
    for (py::handle cusip : cusips_) {
        if (!answers_.contains(cusip)) ++count;
    }
    return count;
}

double ReportLookUps::seconds_left() const { return deadline_ - now(); }

void ReportLookUps::stop(const std::string& why, const std::string& what_to_check) {
    if (stopped_) return;
    stopped_ = true;
    warn(why + "; no more requests go out, so " + cusips_going_without(unsettled()) +
         " without a FIGI; " + what_to_check);
}

void ReportLookUps::stop_for_budget() {
    stop("OpenFIGI look-ups used up their time budget of " + seconds_text(budget_) +
             " s (openfigi_budget)",
         budget_advice(module_));
}

void ReportLookUps::stop_before_wait(double wait_seconds, const std::string& why) {
    stop("OpenFIGI asks for a wait of " + seconds_text(wait_seconds) + " s " + why +
             ", more than the " + seconds_text(std::max(0.0, seconds_left())) +
             " s left of the time budget of " + seconds_text(budget_) + " s (openfigi_budget)",
         budget_advice(module_));
}

void ReportLookUps::warn_of_plain_key(const std::string& url) {
    if (warned_of_plain_key_) return;
    warned_of_plain_key_ = true;
    warn("OpenFIGI key sent unencrypted: " + url +
         " is not an https:// address, so OPENFIGI_APIKEY travels in plain text with this "
         "report's requests; use an https:// address in TAVRIN_OPENFIGI_BASE_URL to keep it "
         "private.");
}

}  // namespace tavrin
