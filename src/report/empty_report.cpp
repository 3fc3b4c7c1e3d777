// A run with nothing to report stops before any FIGI is asked for: EDGAR's
// schema wants at least one entry, and replacing last quarter's good
// document with one EDGAR refuses would lose it for nothing.
#include "common/run_record.hpp"
#include "report/review.hpp"

#include <cstring>
#include <string>

namespace tavrin {
namespace {

bool is_one_of(const char* reason, std::initializer_list<const char*> reasons) {
    if (reason == nullptr) return false;
    for (const char* candidate : reasons) {
        if (std::strcmp(reason, candidate) == 0) return true;
    }
    return false;
}

std::string counts(const RunRecord& record) {
    size_t listed = 0, left_out = 0;
    for (const HoldingOutcome& outcome : record.outcomes) {
        if (is_one_of(outcome.reason, {left_out::kNotListed, left_out::kNotNineCharacters,
                                       left_out::kCheckDigit})) {
            continue;
        }
        ++listed;
        if (outcome.reason != nullptr) ++left_out;
    }
    return "of the portfolio's " + std::to_string(record.outcomes.size()) + " CUSIP(s), " +
           std::to_string(listed) + " are on the list and " + std::to_string(left_out) +
           " of those were left out by the removal list or the keep test (column C longer "
           "than five characters, quantity and value above zero after removals)";
}

}  // namespace

void refuse_empty_report(py::handle module, const py::object& bswout) {
    if (py::len(bswout) > 0) return;
    const RunRecord* record = RunRecord::current();
    std::string found = record && record->reconciled
                            ? counts(*record)
                            : "the reconciled holdings handed to f13excel have no rows";
    std::string document = py::str(global(module, "fres_path").attr("replace")(".xlsx", ".xml"));
    raise_error(PyExc_ValueError,
                "No holding of the portfolio is on the quarter's 13(f) list with quantity and "
                "value above zero: " + found + ". EDGAR's information table needs at least one "
                "entry, so nothing was written: " + document +
                " is left as it was. For a quarter with nothing to report, see the SEC's Form 13F "
                "General Instructions (https://www.sec.gov/files/form13f.pdf).");
}

}  // namespace tavrin
