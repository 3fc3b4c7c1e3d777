// The whole Form 13F submission beside the information table.
#pragma once

#include "common/python.hpp"

namespace tavrin {

// After the run's information table `document` (Results/F13Results.xml) and
// its review are written: when Data/Filer.xlsx holds the cover page, builds
// the EDGAR submission Results/F13Submission.xml and the printable form
// Results/F13Form.html, checks the submission against EDGAR's schema and
// rules, and writes both; the submission only when TAVRIN_EDGAR_CCC holds
// the access code. Says on the console what it wrote and in which mode.
void write_submission(py::handle module, const py::object& document);

}  // namespace tavrin
