// One mapping request to the OpenFIGI service.
#include "figi/figi.hpp"

#include <string>

namespace tavrin {
namespace {

// Without a limit a service that accepts the connection and never answers
// would hold the whole import for ever. Connecting is quick or not at all;
// the answer may take a while when the service is busy.
constexpr int kConnectSeconds = 10;
constexpr int kReadSeconds = 60;

constexpr const char* kKeyHeader = "X-OPENFIGI-APIKEY";

// The key goes into the module's own header dict, so a host that reads
// `openfigi_headers` afterwards sees what was sent.
void put_key_header(py::handle module) {
    py::object key = global(module, "openfigi_apikey");
    if (truthy(key)) global(module, "openfigi_headers")[kKeyHeader] = key;
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

py::object map_jobs(py::handle module, py::object jobs) {
    put_key_header(module);
    py::object requests = global(module, "requests");
    py::object url = global(module, "openfigi_url");
    py::object headers = global(module, "openfigi_headers");
    py::object response =
        requests.attr("post")("url"_a = url, "headers"_a = headers, "json"_a = jobs,
                              "timeout"_a = py::make_tuple(kConnectSeconds, kReadSeconds));
    check_status(response);
    return response.attr("json")();
}

}  // namespace tavrin
