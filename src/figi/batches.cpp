// Many CUSIPs in few requests: the service takes up to 100 jobs a request
// with a key (10 without) but only 25 requests a window (6 s with a key, a
// minute without). Asking one CUSIP per request runs into the limit after
// 25 holdings and leaves the rest blank; batching, and waiting when the
// service says so, gets every FIGI at the cost of some waiting, within the
// report's time budget.
#include "figi/figi.hpp"

#include <algorithm>
#include <cmath>
#include <string>

namespace tavrin {
namespace {

constexpr Py_ssize_t kJobsWithKey = 100;
constexpr Py_ssize_t kJobsWithoutKey = 10;

// A service that keeps refusing after this many waits in a row is not going
// to let this report through, and single requests would be refused as well.
constexpr int kWaitsBeforeGivingUp = 4;

// How long to wait when a 429 names no usable time: one whole window. A
// header above the ceiling is taken for a fault, not an instruction.
constexpr double kWindowWithKey = 6;
constexpr double kWindowWithoutKey = 60;
constexpr double kShortestWait = 1;
constexpr double kLongestWait = 300;

constexpr const char* kNoFigi = " ";
constexpr const char* kNoMatch = "No identifier found.";

// kServerFailed: a 5xx, which passes (a busy or restarting service) and is
// waited out like a rate limit; asking one CUSIP at a time instead would
// only run into the rate limit and leave most of the batch blank.
// kUnreachable: no answer at all (no connection, no name, a time-out) or a
// redirect, which single requests would only meet again; kFailed: an answer
// that settles nothing, where single requests may still get through.
enum class Outcome { kAnswered, kRateLimited, kServerFailed, kTooLarge, kUnreachable, kFailed };

struct Reply {
    Outcome outcome;
    py::object response;  // the refused answer, when there is one
    std::string failure;  // what went wrong, for the warning line
};

// The library's own classes, whatever the host bound as `requests`.
bool is_unreachable(const py::object& error) {
    py::object exceptions = py::module_::import("requests").attr("exceptions");
    return py::isinstance(error, exceptions.attr("ConnectionError")) ||
           py::isinstance(error, exceptions.attr("Timeout"));
}

std::string describe(const py::object& error) {
    return std::string(py::str(py::type::handle_of(error).attr("__name__"))) + ": " + text(error);
}

// The status of the answer an exception carries, or 0 when it carries none
// (no connection, a time-out, a failure of the caller's own).
int status_of(const py::object& error) {
    py::object response = py::getattr(error, "response", py::none());
    if (response.is_none()) return 0;
    py::object status = py::getattr(response, "status_code", py::none());
    return py::isinstance<py::int_>(status) ? status.cast<int>() : 0;
}

// The first member of the first match is the FIGI, as for a single request;
// " " for the service's definite "not known"; nothing when the result is
// something else (an error for that job), which a single request may retry.
py::object settled_answer(const py::handle& result) {
    if (!py::isinstance<py::dict>(result)) return py::object();
    py::dict fields = py::reinterpret_borrow<py::dict>(result);
    if (fields.contains("data")) {
        py::object data = fields["data"];
        if (!py::isinstance<py::list>(data) || py::len(data) == 0) return py::object();
        py::object match = data[py::int_(0)];
        if (!py::isinstance<py::dict>(match) || py::len(match) == 0) return py::object();
        for (auto member : py::reinterpret_borrow<py::dict>(match)) {
            return py::reinterpret_borrow<py::object>(member.second);
        }
    }
    for (const char* member : {"warning", "error"}) {
        if (fields.contains(member) && py::str(fields[member]).equal(py::str(kNoMatch))) {
            return py::str(kNoFigi);
        }
    }
    return py::object();
}

// The service answers one result per job, in job order; an answer of any
// other shape settles nothing.
bool settle(const py::list& batch, const py::object& results, ReportLookUps& look_ups) {
    if (!py::isinstance<py::list>(results) || py::len(results) != py::len(batch)) return false;
    for (size_t i = 0; i < py::len(batch); ++i) {
        py::object answer = settled_answer(results[py::int_(i)]);
        if (answer) look_ups.settle_answered(batch[i], answer);
    }
    return true;
}

Reply send(py::handle module, const py::list& batch, ReportLookUps& look_ups) {
    py::object results;
    try {
        results = global(module, "map_jobs")(cusip_jobs(batch));
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_Exception)) throw;  // interrupts pass through
        py::object exception = error.value();
        int status = status_of(exception);
        if (status == 429) return {Outcome::kRateLimited, exception.attr("response"), ""};
        if (status >= 500 && status < 600) {
            return {Outcome::kServerFailed, exception.attr("response"), describe(exception)};
        }
        if (status == 413) return {Outcome::kTooLarge, py::none(), ""};
        // A redirect meets every single request at the same address too:
        // asking one CUSIP at a time would only repeat it.
        bool sent_elsewhere = status >= 300 && status < 400;
        Outcome outcome = is_unreachable(exception) || sent_elsewhere ? Outcome::kUnreachable
                                                                      : Outcome::kFailed;
        return {outcome, py::none(), describe(exception)};
    }
    if (!settle(batch, results, look_ups)) {
        return {Outcome::kFailed, py::none(), "the answer did not hold one result per job"};
    }
    return {Outcome::kAnswered, py::none(), ""};
}

// A header value in seconds, or NaN when absent or not a number (Retry-After
// may also be a date, which is not worth parsing for a wait this short).
double header_seconds(const py::object& response, const char* name) {
    py::object value = response.attr("headers").attr("get")(name);
    if (value.is_none()) return NAN;
    try {
        return builtin("float")(value).cast<double>();
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_ValueError) && !error.matches(PyExc_TypeError)) throw;
        return NAN;
    }
}

double seconds_to_wait(const py::object& response, bool with_key) {
    double seconds = header_seconds(response, "ratelimit-reset");
    if (!std::isfinite(seconds)) seconds = header_seconds(response, "retry-after");
    if (!std::isfinite(seconds)) seconds = with_key ? kWindowWithKey : kWindowWithoutKey;
    return std::clamp(seconds, kShortestWait, kLongestWait);
}

void wait_out(const std::string& why, double seconds, Py_ssize_t cusips_left) {
    builtin("print")("OpenFIGI " + why + ": waiting " + seconds_text(seconds) + " s, " +
                         cusips_text(cusips_left) + " left",
                     "flush"_a = true);
    py::module_::import("time").attr("sleep")(seconds);
}

std::string batch_failed(py::handle module, Py_ssize_t size, const std::string& why) {
    return "OpenFIGI did not answer a batch of " + cusips_text(size) + " at " +
           openfigi_address(module) + " (" + why + ")";
}

void warn_failed_batch(py::handle module, Py_ssize_t size, const std::string& why) {
    builtin("print")(batch_failed(module, size, why) +
                         "; asking for them one at a time. If FIGIs stay blank, check that "
                         "the service is reachable and that OPENFIGI_APIKEY is valid.",
                     "flush"_a = true);
}

void give_up_unreachable(py::handle module, ReportLookUps& look_ups, Py_ssize_t size,
                         const std::string& why) {
    // A time-out may be the budget's own limit on the request.
    if (look_ups.budget_spent()) return look_ups.stop_for_budget();
    look_ups.stop(batch_failed(module, size, why),
                  "check that the service is reachable from this machine (network, proxy, "
                  "firewall) and that TAVRIN_OPENFIGI_BASE_URL is its address, or run again "
                  "later.");
}

void give_up_server_failed(py::handle module, ReportLookUps& look_ups, Py_ssize_t size,
                           const std::string& why) {
    look_ups.stop("OpenFIGI at " + openfigi_address(module) + " still failed a batch of " +
                      cusips_text(size) + " after " + std::to_string(kWaitsBeforeGivingUp) +
                      " waits (" + why + ")",
                  "the service's own server is failing; run again later.");
}

void give_up_rate_limited(py::handle module, ReportLookUps& look_ups, Py_ssize_t size) {
    look_ups.stop("OpenFIGI at " + openfigi_address(module) + " still refused a batch of " +
                      cusips_text(size) + " for its rate limit after " +
                      std::to_string(kWaitsBeforeGivingUp) + " waits",
                  "check that OPENFIGI_APIKEY holds a valid key and that no other program uses "
                  "the same key or address, or run again later.");
}

}  // namespace

void look_up_in_batches(py::handle module, ReportLookUps& look_ups, const py::list& cusips) {
    const bool with_key = has_key(module);
    Py_ssize_t batch_size = with_key ? kJobsWithKey : kJobsWithoutKey;
    const Py_ssize_t total = static_cast<Py_ssize_t>(py::len(cusips));
    Py_ssize_t next = 0;
    int waits = 0;
    while (next < total) {
        if (look_ups.budget_spent()) return look_ups.stop_for_budget();
        Py_ssize_t size = std::min(batch_size, total - next);
        py::list batch = cusips[py::slice(next, next + size, 1)];
        Reply reply = send(module, batch, look_ups);
        switch (reply.outcome) {
            case Outcome::kAnswered:
                next += size;
                waits = 0;
                break;
            case Outcome::kRateLimited:
            case Outcome::kServerFailed: {
                bool limited = reply.outcome == Outcome::kRateLimited;
                if (waits == kWaitsBeforeGivingUp) {
                    if (limited) return give_up_rate_limited(module, look_ups, size);
                    return give_up_server_failed(module, look_ups, size, reply.failure);
                }
                double seconds = seconds_to_wait(reply.response, with_key);
                // Waiting past the budget would only end in the same blanks.
                if (seconds >= look_ups.seconds_left()) {
                    return look_ups.stop_before_wait(
                        seconds, limited ? "for its rate limit" : "after its server failed");
                }
                wait_out(limited ? "rate limit reached" : "server failed (" + reply.failure + ")",
                         seconds, total - next);
                ++waits;
                break;
            }
            case Outcome::kTooLarge:
                // The service takes fewer jobs than we thought; a single job
                // refused as too large will not get smaller.
                if (size > 1) {
                    batch_size = size / 2;
                } else {
                    warn_failed_batch(module, size, "the service refused it as too large");
                    next += size;
                }
                break;
            case Outcome::kUnreachable:
                return give_up_unreachable(module, look_ups, size, reply.failure);
            case Outcome::kFailed:
                warn_failed_batch(module, size, reply.failure);
                next += size;
                waits = 0;
                break;
        }
    }
}

}  // namespace tavrin
