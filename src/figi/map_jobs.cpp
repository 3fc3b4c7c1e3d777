// One mapping request to the OpenFIGI service.
#include "figi/figi.hpp"

#include <algorithm>
#include <string>

namespace tavrin {
namespace {

// Without a limit a service that accepts the connection and never answers
// would hold the whole import for ever. Connecting is quick or not at all;
// the answer may take a while when the service is busy.
constexpr double kConnectSeconds = 10;
constexpr double kReadSeconds = 60;

constexpr const char* kKeyHeader = "X-OPENFIGI-APIKEY";

// The key goes into the module's own header dict, so a host that reads
// `openfigi_headers` afterwards sees what was sent.
void put_key_header(py::handle module) {
    py::object key = global(module, "openfigi_apikey");
    if (truthy(key)) global(module, "openfigi_headers")[kKeyHeader] = key;
}

// During a report, a request may take no longer than the report's look-ups
// have left; once that is nothing, none goes out.
py::tuple time_limits() {
    ReportLookUps* look_ups = ReportLookUps::current();
    if (look_ups == nullptr) return py::make_tuple(kConnectSeconds, kReadSeconds);
    double left = look_ups->seconds_left();
    if (left <= 0) {
        py::object timeout = py::module_::import("requests").attr("exceptions").attr("Timeout");
        raise_instance(timeout("The FIGI look-ups of this report used up their time budget "
                               "(openfigi_budget); no request was sent."));
    }
    return py::make_tuple(std::min(kConnectSeconds, left), std::min(kReadSeconds, left));
}

// Whatever key entry the header dict holds goes out, an earlier call's too.
bool sends_key(const py::object& headers) {
    if (!py::hasattr(headers, "get")) return false;
    return truthy(headers.attr("get")(kKeyHeader, py::none()));
}

void warn_if_key_in_plain_text(const py::object& url, const py::object& headers) {
    ReportLookUps* look_ups = ReportLookUps::current();
    if (look_ups == nullptr || !sends_key(headers)) return;
    std::string address = text(url);
    if (text(py::str(address).attr("lower")()).rfind("http://", 0) == 0) {
        look_ups->warn_of_plain_key(address);
    }
}

// A plain Exception as before, with the answer attached: the batched look-up
// reads the rate-limit headers of a 429 from it.
void check_status(const py::object& response) {
    py::object status = response.attr("status_code");
    if (status.not_equal(py::int_(200))) {
        py::object error = py::handle(PyExc_Exception)("Bad response code " + text(status));
        error.attr("response") = response;
        raise_instance(error);
    }
}

}  // namespace

bool has_key(py::handle module) {
    try {
        return truthy(global(module, "openfigi_apikey"));
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_Exception)) throw;
        return false;
    }
}

py::object map_jobs(py::handle module, py::object jobs) {
    put_key_header(module);
    py::object requests = global(module, "requests");
    py::object url = global(module, "openfigi_url");
    py::object headers = global(module, "openfigi_headers");
    py::tuple limits = time_limits();
    warn_if_key_in_plain_text(url, headers);
    // A redirect is answered like any other status: following it would send
    // the key header to whatever host the answer names (the library strips
    // only Authorization on the way).
    py::object response =
        requests.attr("post")("url"_a = url, "headers"_a = headers, "json"_a = jobs,
                              "timeout"_a = limits, "allow_redirects"_a = false);
    check_status(response);
    return response.attr("json")();
}

}  // namespace tavrin
