// The submission EDGAR takes for a Form 13F: the primary document
// (edgarSubmission) with the information table attached.
#pragma once

#include "submission/cover_page.hpp"
#include "submission/information_table.hpp"

#include <string>
#include <utility>
#include <vector>

namespace tavrin {

constexpr const char* kFilerNamespace = "http://www.sec.gov/edgar/thirteenffiler";
constexpr const char* kCommonNamespace = "http://www.sec.gov/edgar/common";

struct Submission {
    py::object root;  // edgarSubmission, as an lxml element
    // The credentials' access code. It holds EDGAR's own mask XXXXXXXX
    // except while the file is serialised, so the tree can be shown,
    // checked and rendered without the secret in it.
    py::object ccc;
    // Each element built from the workbook and where its value came from.
    std::vector<std::pair<py::object, std::string>> sources;
    std::string submission_type;
    std::string live_test;      // LIVE or TEST
    std::string period;         // the quarter's last day, MM-DD-YYYY
    std::string signature_date; // the day of the run, MM-DD-YYYY
    bool attaches_table = false;
    InformationTable table;     // what is attached, when anything is
    std::string conformed_name;
};

// The quarter's last day as EDGAR writes dates: MM-DD-YYYY.
std::string quarter_end(int year, int quarter);

// The primary document in the order eis_13F_Filer.xsd prescribes: no
// schemaVersion (EDGAR warns and replaces one), the summary page from
// `table` itself, the table attached base64-encoded; a notice has neither.
Submission primary_document(const CoverPage& cover, const InformationTable& table,
                            const std::string& table_file_name, const std::string& live_test,
                            const std::string& period, const std::string& signature_date);

// The submission file's bytes with `ccc` in its place; the tree keeps the mask.
std::string serialised(const Submission& submission, const std::string& ccc);

// An EDGAR attachment name made from a file name: lower case, letters and
// digits with at most one "_", "-" and ".", at most 32 characters, ".xml".
std::string conformed_name_for(const std::string& file_name);

}  // namespace tavrin
