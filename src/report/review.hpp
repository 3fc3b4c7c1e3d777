// The review workbook beside the information table, and the stop for a
// report that would have no entry.
#pragma once

#include "common/python.hpp"

namespace tavrin {

class RunRecord;
struct Comparison;

// ValueError when `bswout` has no rows: EDGAR refuses an information table
// without entries, so none is built and the previous document stays. The
// message gives the run's counts when the reconciliation recorded them.
void refuse_empty_report(py::handle module, const py::object& bswout);

// Writes Results/F13Review.xlsx beside `document` (the information table
// this run wrote): what was reported, what was not and why, and the
// portfolio rows that were not read, and how the table compares with the
// previous quarter's when `changes` made that comparison; then prints the
// closing line.
void write_review(const RunRecord& record, const py::object& sec, const py::object& document,
                  const Comparison* changes = nullptr);

}  // namespace tavrin
