// The cover page of the Form 13F as the manager fills it in Data/Filer.xlsx:
// sheet "Manager" one field a row, the sheets "Reporting managers" and
// "Other managers" one manager a row.
#pragma once

#include "common/python.hpp"
#include "inputs/filer.hpp"

#include <string>
#include <vector>

namespace tavrin {

// Where a value came from, so that a refusal can send the manager to the cell.
struct Source {
    std::string sheet;
    std::string column;  // the field label on "Manager", the heading elsewhere
    long row = 0;        // 0 on "Manager", where the label names the cell
    std::string describe(const std::string& workbook) const;
};

struct Field {
    std::string value;  // empty where the cell is blank
    Source source;
    bool given() const { return !value.empty(); }
};

// A manager listed on the cover page (reporting for this one) or on the
// summary page (included in this report).
struct ListedManager {
    Field number;  // the summary page's sequence number; unused on the cover page
    Field cik, file_number, crd_number, sec_file_number, name;
    long row = 0;
};

struct CoverPage {
    std::string workbook;  // Data/Filer.xlsx's path, for messages
    Field report_type;     // 13F HOLDINGS REPORT, 13F NOTICE, 13F COMBINATION REPORT
    Field amendment_number, amendment_type;
    Field name, street1, street2, city, state, zip;
    Field cik, file_number, crd_number, sec_file_number;
    Field confidential_omitted;  // "true" or "false"
    Field instruction5;          // "Y" or "N"
    Field additional_information;
    Field contact_name, contact_phone, contact_email;
    std::vector<Field> notification_emails;
    Field signature_name, signature_title, signature_phone, signature_city, signature_state;
    std::vector<ListedManager> reporting_managers;  // notice and combination reports
    std::vector<ListedManager> other_managers;      // the summary page's list

    bool amendment() const { return amendment_number.given(); }
    bool notice() const { return report_type.value == "13F NOTICE"; }
    // Holdings and combination reports carry the information table and the
    // summary page; a notice carries neither.
    bool has_table() const { return !notice(); }
    std::string submission_type() const;
};

// Whether the manager asked for a submission: "Report type" is filled.
bool holds_cover_page(const FilerWorkbook& filer);

// The cover page, its values in the forms EDGAR takes (numbers Excel
// stripped of leading zeros get them back, Yes/No as true/false). ValueError
// naming every missing or unusable field at once.
CoverPage read_cover_page(const FilerWorkbook& filer);

}  // namespace tavrin
