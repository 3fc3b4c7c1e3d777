// What a submission must be before it may replace the previous one: valid
// against EDGAR's eis_13F_Filer.xsd, and true to the rules the schema
// cannot express.
#pragma once

#include "submission/primary_document.hpp"

namespace tavrin {

// ValueError, without the code itself, when `ccc` is not in the form of an
// EDGAR access code: 8 characters, a digit and one of @ # $ * among them.
void check_access_code(const std::string& ccc);

// ValueError naming each refusal (the workbook cell where one caused it)
// when `bytes`, the submission file about to be written for `submission`,
// breaks the schema or a rule; `target` is the file it was meant for.
void check_submission(py::handle module, const std::string& bytes, const Submission& submission,
                      const std::string& ccc, const py::object& target);

}  // namespace tavrin
