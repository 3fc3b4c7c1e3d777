// CUSIP to FIGI, one CUSIP at a time, on top of map_jobs.
#include "figi/figi.hpp"

namespace tavrin {
namespace {

constexpr const char* kNoFigi = " ";

// The first match of every job's answer; a job the service could not map
// has no "data" (KeyError) or an empty one (IndexError).
py::list first_matches(const py::object& job_results) {
    py::list just_dictionaries;
    for (py::handle result : job_results) just_dictionaries.append(result["data"][py::int_(0)]);
    return just_dictionaries;
}

// The FIGI is the first member of the match, in the order the service sends
// the members.
py::object figi_of_first_match(py::handle module, const py::object& cusip) {
    py::list one_cusip;
    one_cusip.append(cusip);
    py::object job_results = global(module, "map_jobs")(cusip_jobs(one_cusip));
    py::object df_figi =
        global(module, "pd").attr("DataFrame").attr("from_dict")(first_matches(job_results));
    return df_figi.attr("iloc")[py::make_tuple(0, 0)];
}

// What `look_up` returns, or " " for any failure of the service, the
// library or the answer: a missing FIGI must not stop the report.
template <class LookUp>
py::object or_blank(LookUp&& look_up) {
    try {
        return look_up();
    } catch (py::error_already_set& error) {
        // Interrupts and exits are not the service's fault and pass through.
        if (!error.matches(PyExc_Exception)) throw;
    } catch (py::builtin_exception&) {
        // pybind11's own conversion errors stand for Python Exceptions too.
    }
    return py::str(kNoFigi);
}

// During a report: its settled answer, nothing once its look-ups have
// stopped, else one request within its budget.
py::object look_up_for_report(py::handle module, ReportLookUps& look_ups,
                              const py::object& cusip) {
    py::object settled = look_ups.answer(cusip);
    if (settled) return settled;
    if (look_ups.stopped()) return py::str(kNoFigi);
    if (look_ups.budget_spent()) {
        look_ups.stop_for_budget();
        return py::str(kNoFigi);
    }
    py::object figi = or_blank([&] { return figi_of_first_match(module, cusip); });
    // A request cut short by the budget ends the report's look-ups (this
    // CUSIP among those without): the next one would have no time at all.
    if (figi.equal(py::str(kNoFigi)) && look_ups.budget_spent()) look_ups.stop_for_budget();
    look_ups.settle(cusip, figi);
    return figi;
}

}  // namespace

py::list cusip_jobs(const py::list& cusips) {
    py::list jobs;
    for (py::handle cusip : cusips) {
        py::dict job;  // the service reads idType before idValue
        job["idType"] = "ID_CUSIP";
        job["idValue"] = cusip;
        jobs.append(job);
    }
    return jobs;
}

py::object openfigi(py::handle module, py::object cusip) {
    ReportLookUps* look_ups = ReportLookUps::current();
    return or_blank([&] {
        if (look_ups != nullptr) return look_up_for_report(module, *look_ups, cusip);
        return figi_of_first_match(module, cusip);
    });
}

}  // namespace tavrin
