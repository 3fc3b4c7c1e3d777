// Many CUSIPs in few requests: the service takes up to 100 jobs a request
// with a key (10 without) but only 25 requests a window (6 s with a key, a
// minute without). Asking one CUSIP per request runs into the limit after
// 25 holdings and leaves the rest blank; batching, and waiting when the
// service says so, gets every FIGI at the cost of some waiting.
#include "figi/figi.hpp"

#include <algorithm>
#include <cmath>
#include <iomanip>
#include <sstream>
#include <string>

namespace tavrin {
namespace {

constexpr Py_ssize_t kJobsWithKey = 100;
constexpr Py_ssize_t kJobsWithoutKey = 10;

// A service that keeps refusing after this many waits in a row is not going
// to let this batch through; its CUSIPs are left to single requests.
constexpr int kRefusalsBeforeGivingUp = 5;

// How long to wait when a 429 names no usable time: one whole window. A
// header above the ceiling is taken for a fault, not an instruction.
constexpr double kWindowWithKey = 6;
constexpr double kWindowWithoutKey = 60;
constexpr double kShortestWait = 1;
constexpr double kLongestWait = 300;

constexpr const char* kNoFigi = " ";
constexpr const char* kNoMatch = "No identifier found.";

enum class Outcome { kAnswered, kRateLimited, kTooLarge, kFailed };

struct Reply {
    Outcome outcome;
    py::object response;  // the refused answer, when there is one
    std::string failure;  // what went wrong, for the warning line
};

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
bool settle(const py::list& batch, const py::object& results, py::dict& answers) {
    if (!py::isinstance<py::list>(results) || py::len(results) != py::len(batch)) return false;
    for (size_t i = 0; i < py::len(batch); ++i) {
        py::object answer = settled_answer(results[py::int_(i)]);
        if (answer) answers[batch[i]] = answer;
    }
    return true;
}

Reply send(py::handle module, const py::list& batch, py::dict& answers) {
    py::object results;
    try {
        results = global(module, "map_jobs")(cusip_jobs(batch));
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_Exception)) throw;  // interrupts pass through
        py::object exception = error.value();
        int status = status_of(exception);
        if (status == 429) return {Outcome::kRateLimited, exception.attr("response"), ""};
        if (status == 413) return {Outcome::kTooLarge, py::none(), ""};
        std::string name = py::str(py::type::handle_of(exception).attr("__name__"));
        return {Outcome::kFailed, py::none(), name + ": " + text(exception)};
    }
    if (!settle(batch, results, answers)) {
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

std::string seconds_text(double seconds) {
    std::ostringstream out;
    out << std::setprecision(3) << seconds;
    return out.str();
}

void wait_out_limit(double seconds, Py_ssize_t cusips_left) {
    builtin("print")("OpenFIGI rate limit reached: waiting " + seconds_text(seconds) + " s, " +
                         std::to_string(cusips_left) + " CUSIPs left",
                     "flush"_a = true);
    py::module_::import("time").attr("sleep")(seconds);
}

void warn_failed_batch(py::handle module, Py_ssize_t size, const std::string& why) {
    builtin("print")("OpenFIGI did not answer a batch of " + std::to_string(size) + " CUSIPs at " +
                         text(global(module, "openfigi_url")) + " (" + why +
                         "); asking for them one at a time. If FIGIs stay blank, check that "
                         "the service is reachable and that OPENFIGI_APIKEY is valid.",
                     "flush"_a = true);
}

// A look-up must never stop the report: without a readable key setting the
// batches go out at the size allowed without one, and map_jobs itself
// reports what is wrong.
bool has_key(py::handle module) {
    try {
        return truthy(global(module, "openfigi_apikey"));
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_Exception)) throw;
        return false;
    }
}

}  // namespace

py::dict look_up_in_batches(py::handle module, const py::list& cusips) {
    py::dict answers;
    const bool with_key = has_key(module);
    Py_ssize_t batch_size = with_key ? kJobsWithKey : kJobsWithoutKey;
    const Py_ssize_t total = static_cast<Py_ssize_t>(py::len(cusips));
    Py_ssize_t next = 0;
    int refusals = 0;
    while (next < total) {
        Py_ssize_t size = std::min(batch_size, total - next);
        py::list batch = cusips[py::slice(next, next + size, 1)];
        Reply reply = send(module, batch, answers);
        switch (reply.outcome) {
            case Outcome::kAnswered:
                next += size;
                refusals = 0;
                break;
            case Outcome::kRateLimited:
                if (++refusals < kRefusalsBeforeGivingUp) {
                    wait_out_limit(seconds_to_wait(reply.response, with_key), total - next);
                } else {
                    warn_failed_batch(module, size, "still rate limited after " +
                                                        std::to_string(refusals) + " waits");
                    next += size;
                    refusals = 0;
                }
                break;
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
            case Outcome::kFailed:
                warn_failed_batch(module, size, reply.failure);
                next += size;
                refusals = 0;
                break;
        }
    }
    return answers;
}

}  // namespace tavrin
