// FIGI lookup: the client of the OpenFIGI mapping service.
#pragma once

#include "common/python.hpp"

#include <string>

namespace tavrin {

// One mapping job per CUSIP, idType before idValue as the service reads them.
py::list cusip_jobs(const py::list& cusips);

// Posts `jobs` to the mapping endpoint in one request and returns the
// decoded answer; "Bad response code N" when the service does not answer 200
// (a redirect included: the key goes to no other host). That exception
// carries the service's answer as its `response` attribute, so a caller can
// read how long a rate limit lasts. While a report's look-ups are running,
// the request's time limits stay within what is left of their budget.
py::object map_jobs(py::handle module, py::object jobs);

// The FIGI of the first match for `cusip`, or " " when the look-up fails in
// any way, so that a report can always be built. While a report's look-ups
// are running, CUSIPs they settled are answered without a request, and once
// they have stopped no request goes out.
py::object openfigi(py::handle module, py::object cusip);

// The FIGI look-ups of one report, for as long as this object lives: one
// time budget (the module global `openfigi_budget`, seconds) for every
// request and wait, the answers settled so far, and whether requests have
// stopped. While `openfigi` is still the module's own function, it first
// asks the service about all `cusips` (texts) in batches; a host that has
// rebound `openfigi` gets no request from the module.
class ReportLookUps {
  public:
    ReportLookUps(py::handle module, const py::list& cusips);
    ~ReportLookUps();
    ReportLookUps(const ReportLookUps&) = delete;
    ReportLookUps& operator=(const ReportLookUps&) = delete;

    // The look-ups of the report being built, or nullptr outside one.
    static ReportLookUps* current();

    // The settled answer for `cusip`: a FIGI, " " for a definite "not
    // known" or a failed single request; nothing when not settled yet.
    py::object answer(const py::handle& cusip) const;
    void settle(const py::handle& cusip, const py::object& answer);
    // The same for the service's own answer (a FIGI, or its definite "not
    // known"), which is kept for later runs of the quarter.
    void settle_answered(const py::handle& cusip, const py::object& answer);
    Py_ssize_t unsettled() const;

    double seconds_left() const;
    bool budget_spent() const { return seconds_left() <= 0; }
    bool stopped() const { return stopped_; }

    // No more requests: every CUSIP not settled yet goes without a FIGI,
    // told in one line that gives `why` and `what_to_check`.
    void stop(const std::string& why, const std::string& what_to_check);
    void stop_for_budget();
    void stop_before_wait(double wait_seconds, const std::string& why);

    // Once per report: the key is about to travel in plain text.
    void warn_of_plain_key(const std::string& url);

  private:
    py::handle module_;
    py::list cusips_;
    py::dict answers_;
    py::dict answered_;  // what the service itself answered, to be kept
    double budget_;
    double deadline_;
    bool stopped_ = false;
    bool warned_of_plain_key_ = false;
    ReportLookUps* outer_;
};

// FIGIs kept in Store for the reporting period (figi_store.cpp): what the
// service answered for each CUSIP (a FIGI or " " for none), with the day it
// was asked. Errors and time-outs are never kept.
// The kept answers for this period and service, or an empty dict (also when
// TAVRIN_FRESH is 1 or the file is damaged).
py::dict stored_figis(py::handle module);
// Adds `answered` to the kept answers; a failure to write is told in one line.
void keep_figis(py::handle module, const py::dict& stored, const py::dict& answered);
// How many CUSIPs of the last report were answered from the kept FIGIs.
Py_ssize_t figis_reused(py::handle module);

// Asks the service about all `cusips` in as few requests as its limits
// allow, waiting out rate limits within the budget, and settles what it can
// in `look_ups`. CUSIPs it leaves unsettled without stopping the look-ups
// get a single request each.
void look_up_in_batches(py::handle module, ReportLookUps& look_ups, const py::list& cusips);

// True while the module global `name` is still the module's own function.
bool is_own_function(py::handle module, const char* name);

// Whether the module has a key to send; false when the setting is unreadable,
// so that batches then go out at the size allowed without one.
bool has_key(py::handle module);

// The mapping address as warnings show it, even when the setting is gone.
std::string openfigi_address(py::handle module);

// "1 CUSIP", "3 CUSIPs".
std::string cusips_text(Py_ssize_t count);


}  // namespace tavrin
