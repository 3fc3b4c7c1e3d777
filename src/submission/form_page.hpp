// Results/F13Form.html: the Form 13F as it reads, for the person who signs
// it and for the compliance file.
#pragma once

#include "submission/primary_document.hpp"

namespace tavrin {

// One self-contained page (styles inline, no scripts, nothing fetched) with
// the cover page, signature block, summary page and information table of
// `submission`, every value escaped. The access code is not on it.
std::string form_page(const CoverPage& cover, const Submission& submission);

}  // namespace tavrin
