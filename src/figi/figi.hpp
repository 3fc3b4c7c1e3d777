// FIGI lookup: the client of the OpenFIGI mapping service.
#pragma once

#include "common/python.hpp"

namespace tavrin {

// One mapping job per CUSIP, idType before idValue as the service reads them.
py::list cusip_jobs(const py::list& cusips);

// Posts `jobs` to the mapping endpoint in one request and returns the
// decoded answer; "Bad response code N" when the service does not answer 200.
// That exception carries the service's answer as its `response` attribute,
// so a caller can read how long a rate limit lasts.
py::object map_jobs(py::handle module, py::object jobs);

// The FIGI of the first match for `cusip`, or " " when the look-up fails in
// any way, so that a report can always be built. While a BatchAnswers is
// alive, CUSIPs its batches settled are answered from it without a request.
py::object openfigi(py::handle module, py::object cusip);

// Asks the service about all `cusips` (texts) in as few requests as its
// limits allow, waiting out rate limits. Returns what was settled: CUSIP ->
// FIGI, or " " where the service said it knows no such identifier. CUSIPs
// missing from the result are left to a single request each.
py::dict look_up_in_batches(py::handle module, const py::list& cusips);

// Makes `answers` what openfigi consults for as long as this object lives,
// and forgets them after, so nothing outlives the report being built.
class BatchAnswers {
  public:
    explicit BatchAnswers(py::dict answers);
    ~BatchAnswers();
    BatchAnswers(const BatchAnswers&) = delete;
    BatchAnswers& operator=(const BatchAnswers&) = delete;

    // The settled answer for `cusip` in the innermost live BatchAnswers.
    static py::object find(const py::handle& cusip);

  private:
    py::dict answers_;
    const BatchAnswers* outer_;
};

}  // namespace tavrin
