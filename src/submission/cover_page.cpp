// Reading the cover page from the filer workbook. Excel keeps what a person
// types as numbers where it can, so CIKs, CRD numbers and ZIP codes arrive as
// numbers without their leading zeros, and Yes/No arrives in several
// spellings; every value leaves here as the text EDGAR takes.
#include "submission/cover_page.hpp"

#include <cmath>
#include <set>

namespace tavrin {
namespace {

constexpr const char* kManagerSheet = "Manager";
constexpr const char* kReportingSheet = "Reporting managers";
constexpr const char* kOtherSheet = "Other managers";
constexpr size_t kMostReportingManagers = 100;  // otherManagersInfo holds at most 100
constexpr size_t kMostOtherManagers = 999;      // otherManagers2Info holds at most 999
constexpr size_t kMostNotificationAddresses = 3;

// A cell as the text it shows: whole numbers without ".0", text stripped.
std::string cell_text(const py::handle& value) {
    if (value.is_none()) return "";
    if (PyBool_Check(value.ptr())) return value.ptr() == Py_True ? "true" : "false";
    if (PyFloat_Check(value.ptr())) {
        double number = PyFloat_AsDouble(value.ptr());
        if (std::isfinite(number) && number == std::floor(number) && std::fabs(number) < 1e15) {
            return std::to_string(static_cast<long long>(number));
        }
        if (std::isnan(number)) return "";
    }
    py::str shown(value);
    return py::str(shown.attr("strip")()).cast<std::string>();
}

bool all_digits(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

std::string padded(const std::string& text, size_t width) {
    if (!all_digits(text) || text.size() >= width) return text;
    return std::string(width - text.size(), '0') + text;
}

// Blanks collapsed and letters upper-cased, so "13f  holdings report" is
// the choice it was meant to be.
std::string choice_text(const std::string& text) {
    py::str words(text);
    py::str joined = py::str(" ").attr("join")(words.attr("split")());
    return py::str(joined.attr("upper")()).cast<std::string>();
}

class Reader {
  public:
    explicit Reader(const FilerWorkbook& filer) : filer_(filer) {}

    Field manager(const char* label) {
        return {cell_text(filer_.field(label)), Source{kManagerSheet, label, 0}};
    }

    Field cell(const py::handle& row, const char* sheet, const char* heading) {
        py::dict cells = py::reinterpret_borrow<py::dict>(row);
        py::object value = cells.contains(heading) ? py::object(cells[heading]) : py::none();
        return {cell_text(value), Source{sheet, heading, cells["row"].cast<long>()}};
    }

    void problem(const Source& source, const std::string& what) {
        problems_.push_back(source.describe("") + ": " + what);
    }

    void require(const Field& field, const std::string& what) {
        if (!field.given()) problem(field.source, "is blank; enter " + what);
    }

    const std::vector<std::string>& problems() const { return problems_; }

  private:
    const FilerWorkbook& filer_;
    std::vector<std::string> problems_;
};

Field yes_no(Reader& reader, const char* label, const char* yes, const char* no) {
    Field field = reader.manager(label);
    std::string answer = choice_text(field.value);
    if (answer.empty() || answer == "NO" || answer == "N" || answer == "FALSE") {
        field.value = no;
    } else if (answer == "YES" || answer == "Y" || answer == "TRUE") {
        field.value = yes;
    } else {
        reader.problem(field.source, "holds \"" + field.value + "\"; enter Yes or No");
    }
    return field;
}

void read_report_type(Reader& reader, CoverPage& cover) {
    cover.report_type = reader.manager("Report type");
    cover.report_type.value = choice_text(cover.report_type.value);
    const std::string& type = cover.report_type.value;
    if (type != "13F HOLDINGS REPORT" && type != "13F NOTICE" && type != "13F COMBINATION REPORT") {
        reader.problem(cover.report_type.source,
                       "holds \"" + type + "\"; enter 13F HOLDINGS REPORT, 13F NOTICE or "
                       "13F COMBINATION REPORT");
    }
}

// An amendment has its number and its type, or it is no amendment: EDGAR
// refuses one without the other.
void read_amendment(Reader& reader, CoverPage& cover) {
    cover.amendment_number = reader.manager("Amendment number");
    cover.amendment_type = reader.manager("Amendment type");
    cover.amendment_type.value = choice_text(cover.amendment_type.value);
    const Field& number = cover.amendment_number;
    const Field& type = cover.amendment_type;
    if (number.given() && (!all_digits(number.value) || number.value.size() > 2 ||
                           std::stoul(number.value) < 1)) {
        reader.problem(number.source, "holds \"" + number.value +
                                          "\"; enter the amendment's number, 1 to 99");
    }
    if (type.given() && type.value != "RESTATEMENT" && type.value != "NEW HOLDINGS") {
        reader.problem(type.source, "holds \"" + type.value + "\"; enter RESTATEMENT or NEW HOLDINGS");
    }
    if (number.given() != type.given()) {
        const Field& blank = number.given() ? type : number;
        reader.problem(blank.source, "is blank, but \"" + (number.given() ? number : type).source.column +
                                         "\" is filled; an amendment needs both (leave both blank "
                                         "for the quarter's first filing)");
    }
    // A notice has no table, so a NEW HOLDINGS amendment to it would file
    // nothing.
    if (cover.notice() && type.value == "NEW HOLDINGS") {
        reader.problem(type.source, "is NEW HOLDINGS, but a 13F NOTICE holds no entries; a notice "
                                    "is amended as a RESTATEMENT");
    }
}

void read_manager_fields(Reader& reader, CoverPage& cover) {
    cover.name = reader.manager("Name");
    cover.street1 = reader.manager("Street 1");
    cover.street2 = reader.manager("Street 2");
    cover.city = reader.manager("City");
    cover.state = reader.manager("State or country");
    cover.state.value = choice_text(cover.state.value);
    cover.zip = reader.manager("ZIP code");
    cover.zip.value = padded(cover.zip.value, 5);
    cover.cik = reader.manager("CIK");
    cover.file_number = reader.manager("Form 13F file number");
    cover.crd_number = reader.manager("CRD number");
    cover.crd_number.value = padded(cover.crd_number.value, 9);
    cover.sec_file_number = reader.manager("SEC file number");
    reader.require(cover.name, "the manager's name as EDGAR knows it");
    reader.require(cover.street1, "the first line of the manager's street address");
    reader.require(cover.city, "the manager's city");
    reader.require(cover.state, "the two-character EDGAR state or country code, such as NY");
    reader.require(cover.zip, "the ZIP or postal code");
    reader.require(cover.cik, "the manager's CIK, up to 10 digits");
    if (cover.cik.given() && !all_digits(cover.cik.value)) {
        reader.problem(cover.cik.source, "holds \"" + cover.cik.value + "\"; enter the CIK's digits, up to 10");
    }
}

void read_contact(Reader& reader, CoverPage& cover) {
    cover.contact_name = reader.manager("Contact name");
    cover.contact_phone = reader.manager("Contact phone");
    cover.contact_email = reader.manager("Contact e-mail");
    const Field* contact[] = {&cover.contact_name, &cover.contact_phone, &cover.contact_email};
    bool any = false;
    for (const Field* field : contact) any = any || field->given();
    for (const Field* field : contact) {
        if (any && !field->given()) {
            reader.problem(field->source, "is blank; the contact needs name, phone and e-mail, "
                                          "or none of them");
        }
    }
    Field notification = reader.manager("Notification e-mail");
    py::list addresses = py::str(notification.value).attr("replace")(",", " ").attr("replace")(";", " ").attr("split")();
    for (py::handle address : addresses) {
        cover.notification_emails.push_back({address.cast<std::string>(), notification.source});
    }
    if (cover.notification_emails.size() > kMostNotificationAddresses) {
        reader.problem(notification.source, "lists " + std::to_string(cover.notification_emails.size()) +
                                                " addresses; EDGAR takes at most 3");
    }
}

void read_signature(Reader& reader, CoverPage& cover) {
    cover.signature_name = reader.manager("Signature name");
    cover.signature_title = reader.manager("Signature title");
    cover.signature_phone = reader.manager("Signature phone");
    cover.signature_city = reader.manager("Signature city");
    cover.signature_state = reader.manager("Signature state or country");
    cover.signature_state.value = choice_text(cover.signature_state.value);
    reader.require(cover.signature_name, "the name of the person who signs the report");
    reader.require(cover.signature_title, "the signer's title");
    reader.require(cover.signature_phone, "the signer's phone number");
    reader.require(cover.signature_city, "the city where the report is signed");
    reader.require(cover.signature_state, "the two-character EDGAR state or country code");
}

ListedManager listed_manager(Reader& reader, const py::handle& row, const char* sheet) {
    ListedManager manager;
    manager.row = py::reinterpret_borrow<py::dict>(row)["row"].cast<long>();
    manager.number = reader.cell(row, sheet, "Number");
    manager.cik = reader.cell(row, sheet, "CIK");
    manager.file_number = reader.cell(row, sheet, "Form 13F file number");
    manager.crd_number = reader.cell(row, sheet, "CRD number");
    manager.crd_number.value = padded(manager.crd_number.value, 9);
    manager.sec_file_number = reader.cell(row, sheet, "SEC file number");
    manager.name = reader.cell(row, sheet, "Name");
    reader.require(manager.name, "the manager's name");
    return manager;
}

void read_reporting_managers(Reader& reader, const FilerWorkbook& filer, CoverPage& cover) {
    for (py::handle row : filer.reporting_managers) {
        cover.reporting_managers.push_back(listed_manager(reader, row, kReportingSheet));
    }
    size_t count = cover.reporting_managers.size();
    const Source& type = cover.report_type.source;
    if (cover.report_type.value == "13F HOLDINGS REPORT" && count > 0) {
        reader.problem(type, "is 13F HOLDINGS REPORT, but sheet \"Reporting managers\" lists " +
                                 std::to_string(count) + " manager(s); a holdings report lists "
                                 "none (choose 13F COMBINATION REPORT, or empty the sheet)");
    }
    if ((cover.notice() || cover.report_type.value == "13F COMBINATION REPORT") && count == 0) {
        reader.problem(type, "is " + cover.report_type.value + ", which names the other managers "
                             "reporting for this manager; list them on sheet \"Reporting "
                             "managers\" (\"Form 13F file number\", \"CIK\", \"CRD number\", "
                             "\"SEC file number\", \"Name\")");
    }
    if (count > kMostReportingManagers) {
        reader.problem(type, "sheet \"Reporting managers\" lists " + std::to_string(count) +
                             " managers; EDGAR takes at most 100");
    }
}

// The summary page numbers its managers; entries of the table refer to them
// by that number, so each must be a distinct whole number.
void read_other_managers(Reader& reader, const FilerWorkbook& filer, CoverPage& cover) {
    if (cover.notice()) return;  // a notice has no summary page
    std::set<unsigned long> numbers;
    for (py::handle row : filer.other_managers) {
        ListedManager manager = listed_manager(reader, row, kOtherSheet);
        const Field& number = manager.number;
        if (!all_digits(number.value) || number.value.size() > 3 || std::stoul(number.value) == 0) {
            reader.problem(number.source, (number.given() ? "holds \"" + number.value + "\"" : std::string("is blank")) +
                                              "; enter the manager's number on the list, 1 to 999");
        } else if (!numbers.insert(std::stoul(number.value)).second) {
            reader.problem(number.source, "repeats number " + number.value + "; each manager needs its own");
        }
        cover.other_managers.push_back(manager);
    }
    if (cover.other_managers.size() > kMostOtherManagers) {
        reader.problem(Source{kOtherSheet, "Number", 0}, "lists more than 999 managers, more than EDGAR takes");
    }
}

}  // namespace

std::string Source::describe(const std::string& workbook) const {
    std::string where = workbook.empty() ? "" : workbook + ", ";
    if (row == 0) return where + "sheet \"" + sheet + "\", field \"" + column + "\"";
    return where + "sheet \"" + sheet + "\", row " + std::to_string(row) + ", column \"" + column + "\"";
}

std::string CoverPage::submission_type() const {
    return std::string(notice() ? "13F-NT" : "13F-HR") + (amendment() ? "/A" : "");
}

bool holds_cover_page(const FilerWorkbook& filer) {
    return filer.present && !cell_text(filer.field("Report type")).empty();
}

CoverPage read_cover_page(const FilerWorkbook& filer) {
    Reader reader(filer);
    CoverPage cover;
    cover.workbook = text(filer.path);
    read_report_type(reader, cover);
    read_amendment(reader, cover);
    read_manager_fields(reader, cover);
    cover.confidential_omitted = yes_no(reader, "Confidential information omitted", "true", "false");
    cover.instruction5 = yes_no(reader, "Provide information for Instruction 5", "Y", "N");
    cover.additional_information = reader.manager("Additional information");
    read_contact(reader, cover);
    read_signature(reader, cover);
    read_reporting_managers(reader, filer, cover);
    read_other_managers(reader, filer, cover);
    if (reader.problems().empty()) return cover;
    std::string message = "The EDGAR submission cannot be made from " + cover.workbook + ":";
    for (const std::string& problem : reader.problems()) message += "\n  " + problem;
    message += "\nCorrect the workbook and run again; no submission was written.";
    raise_error(PyExc_ValueError, message);
}

}  // namespace tavrin
