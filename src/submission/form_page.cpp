#include "submission/form_page.hpp"

#include <algorithm>

namespace tavrin {
namespace {

constexpr const char* kStyle =
    "body{font-family:Georgia,serif;margin:2em;color:#000}"
    "h1{font-size:18pt;margin-bottom:0}h2{font-size:14pt;margin-top:1.6em;border-bottom:1px solid #000}"
    "table{border-collapse:collapse;margin:.6em 0}th,td{border:1px solid #555;padding:2px 6px;"
    "font-size:9.5pt;vertical-align:top;text-align:left}td.n{text-align:right}"
    "table.facts th{width:22em;font-weight:normal;background:#f2f2f2}"
    "p.mode{border:1px solid #000;padding:.4em;font-weight:bold}"
    "@media print{body{margin:0}h2.table{page-break-before:always}thead{display:table-header-group}}";

// Text as HTML character data or attribute value; control characters,
// which no page can show, are dropped.
std::string escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#39;"; break;
            default:
                if (static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n') break;
                out += c;
        }
    }
    return out;
}

std::string grouped(const std::string& digits) {
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos) return digits;
    return py::str("{:,}").attr("format")(py::int_(py::str(digits))).cast<std::string>();
}

class Page {
  public:
    void heading(const std::string& title, const char* css = nullptr) {
        html_ += std::string("<h2") + (css ? std::string(" class=\"") + css + "\"" : "") + ">" +
                 escaped(title) + "</h2>\n";
    }
    void paragraph(const std::string& text, const char* css = nullptr) {
        html_ += std::string("<p") + (css ? std::string(" class=\"") + css + "\"" : "") + ">" +
                 escaped(text) + "</p>\n";
    }
    void facts_begin() { html_ += "<table class=\"facts\">\n"; }
    void fact(const std::string& label, const std::string& value) {
        html_ += "<tr><th>" + escaped(label) + "</th><td>" + escaped(value) + "</td></tr>\n";
    }
    void table_begin(const std::vector<std::string>& headings) {
        html_ += "<table>\n<thead><tr>";
        for (const std::string& heading : headings) html_ += "<th>" + escaped(heading) + "</th>";
        html_ += "</tr></thead>\n<tbody>\n";
    }
    // Cells whose heading index is in `numbers` are set right, as figures.
    void row(const std::vector<std::string>& cells, const std::vector<size_t>& numbers = {}) {
        html_ += "<tr>";
        for (size_t i = 0; i < cells.size(); ++i) {
            bool number = std::find(numbers.begin(), numbers.end(), i) != numbers.end();
            html_ += std::string(number ? "<td class=\"n\">" : "<td>") + escaped(cells[i]) + "</td>";
        }
        html_ += "</tr>\n";
    }
    void table_end() { html_ += "</tbody>\n</table>\n"; }
    void facts_end() { html_ += "</table>\n"; }
    std::string& html() { return html_; }

  private:
    std::string html_;
};

std::string address(const CoverPage& cover) {
    std::string lines = cover.street1.value;
    if (cover.street2.given()) lines += ", " + cover.street2.value;
    return lines + ", " + cover.city.value + ", " + cover.state.value + " " + cover.zip.value;
}

void managers_table(Page& page, const std::vector<ListedManager>& managers, bool numbered) {
    std::vector<std::string> headings = {"Form 13F file number", "CIK", "CRD number", "SEC file number", "Name"};
    if (numbered) headings.insert(headings.begin(), "No.");
    page.table_begin(headings);
    for (const ListedManager& manager : managers) {
        std::vector<std::string> cells = {manager.file_number.value, manager.cik.value,
                                          manager.crd_number.value, manager.sec_file_number.value,
                                          manager.name.value};
        if (numbered) cells.insert(cells.begin(), manager.number.value);
        page.row(cells);
    }
    page.table_end();
}

void cover_section(Page& page, const CoverPage& cover, const Submission& submission) {
    page.heading("Cover page");
    page.facts_begin();
    page.fact("Report for the calendar year or quarter ended", submission.period);
    page.fact("Amendment", cover.amendment() ? "Amendment number " + cover.amendment_number.value +
                                                   ": " + cover.amendment_type.value
                                             : "No");
    page.fact("Institutional investment manager filing this report: name", cover.name.value);
    page.fact("Address", address(cover));
    page.fact("Form 13F file number", cover.file_number.value);
    page.fact("CRD number", cover.crd_number.value);
    page.fact("SEC file number", cover.sec_file_number.value);
    page.fact("Report type", cover.report_type.value);
    page.fact("Provide information for Instruction 5", cover.instruction5.value);
    page.fact("Additional information", cover.additional_information.value);
    page.facts_end();
    if (!cover.reporting_managers.empty()) {
        page.paragraph("List of other managers reporting for this manager:");
        managers_table(page, cover.reporting_managers, false);
    }
}

void signature_section(Page& page, const CoverPage& cover, const Submission& submission) {
    page.heading("Signature block");
    page.paragraph("The institutional investment manager filing this report and the person by whom "
                   "it is signed hereby represent that the person signing the report is authorized "
                   "to submit it, that all information contained herein is true, correct and "
                   "complete, and that all required items, statements, schedules, lists, and "
                   "tables, are considered integral parts of this form.");
    page.facts_begin();
    page.fact("Name", cover.signature_name.value);
    page.fact("Title", cover.signature_title.value);
    page.fact("Phone", cover.signature_phone.value);
    page.fact("Signature", cover.signature_name.value);
    page.fact("City, state or country", cover.signature_city.value + ", " + cover.signature_state.value);
    page.fact("Date", submission.signature_date);
    page.facts_end();
}

void summary_section(Page& page, const CoverPage& cover, const Submission& submission) {
    page.heading("Summary page");
    page.facts_begin();
    page.fact("Number of other included managers", std::to_string(cover.other_managers.size()));
    page.fact("Form 13F information table entry total", std::to_string(submission.table.entries.size()));
    page.fact("Form 13F information table value total", "$" + grouped(text(submission.table.value_total)));
    page.fact("Confidential information omitted", cover.confidential_omitted.value == "true" ? "Yes" : "No");
    page.facts_end();
    if (!cover.other_managers.empty()) {
        page.paragraph("List of other included managers:");
        managers_table(page, cover.other_managers, true);
    }
}

void table_section(Page& page, const Submission& submission) {
    page.heading("Information table (" + submission.conformed_name + ")", "table");
    page.table_begin({"Name of issuer", "Title of class", "CUSIP", "FIGI", "Value ($)",
                      "Shares or principal amount", "SH/PRN", "Put/Call", "Investment discretion",
                      "Other manager", "Voting authority: sole", "Shared", "None"});
    for (const AttachedEntry& entry : submission.table.entries) {
        page.row({entry.issuer, entry.title, entry.cusip, entry.figi, grouped(entry.value),
                  grouped(entry.shares), entry.shares_type, entry.put_call, entry.discretion,
                  entry.other_manager, grouped(entry.sole), grouped(entry.shared), grouped(entry.none)},
                 {4, 5, 10, 11, 12});
    }
    page.table_end();
}

}  // namespace

std::string form_page(const CoverPage& cover, const Submission& submission) {
    Page page;
    std::string title = "Form 13F (" + submission.submission_type + ") of " + cover.name.value +
                        " for the quarter ended " + submission.period;
    page.html() = "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>" +
                  escaped(title) + "</title>\n<style>" + kStyle + "</style>\n</head>\n<body>\n<h1>" +
                  escaped("FORM 13F") + "</h1>\n";
    page.paragraph(title);
    page.paragraph(submission.live_test == "LIVE"
                       ? "LIVE submission: EDGAR files it once it accepts it."
                       : "TEST submission: EDGAR checks it as it would a live filing and files nothing.",
                   "mode");
    cover_section(page, cover, submission);
    signature_section(page, cover, submission);
    if (submission.attaches_table) {
        summary_section(page, cover, submission);
        table_section(page, submission);
    }
    page.html() += "</body>\n</html>\n";
    return page.html();
}

}  // namespace tavrin
