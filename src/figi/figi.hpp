// FIGI lookup: the client of the OpenFIGI mapping service.
#pragma once

#include "common/python.hpp"

namespace tavrin {

// Posts `jobs` to the mapping endpoint in one request and returns the
// decoded answer; "Bad response code N" when the service does not answer 200.
py::object map_jobs(py::handle module, py::object jobs);

// The FIGI of the first match for `cusip`, or " " when the look-up fails in
// any way, so that a report can always be built.
py::object openfigi(py::handle module, py::object cusip);

}  // namespace tavrin
