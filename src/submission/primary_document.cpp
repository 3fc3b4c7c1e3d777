#include "submission/primary_document.hpp"

#include <cctype>
#include <cstdio>

namespace tavrin {
namespace {

constexpr const char* kCccMask = "XXXXXXXX";  // what EDGAR shows in place of the code
constexpr size_t kLongestName = 32;

class Builder {
  public:
    Builder(Submission& submission, const std::string& workbook)
        : submission_(submission), workbook_(workbook), etree_(py::module_::import("lxml.etree")) {}

    py::object root() {
        py::dict names;
        names[py::none()] = kFilerNamespace;
        names["com"] = kCommonNamespace;
        return etree_.attr("Element")(tag(kFilerNamespace, "edgarSubmission"), "nsmap"_a = names);
    }

    py::object node(const py::object& parent, const char* name, const char* space = kFilerNamespace) {
        return etree_.attr("SubElement")(parent, tag(space, name));
    }

    py::object value(const py::object& parent, const char* name, const std::string& text,
                     const char* space = kFilerNamespace) {
        py::object element = node(parent, name, space);
        element.attr("text") = py::str(printable(text));
        return element;
    }

    // A value from the workbook, remembered with its cell for messages.
    py::object field(const py::object& parent, const char* name, const Field& field,
                     const char* space = kFilerNamespace) {
        py::object element = value(parent, name, field.value, space);
        submission_.sources.emplace_back(element, field.source.describe(workbook_));
        return element;
    }

    void optional(const py::object& parent, const char* name, const Field& field,
                  const char* space = kFilerNamespace) {
        if (field.given()) this->field(parent, name, field, space);
    }

  private:
    static std::string tag(const char* space, const char* name) {
        return std::string("{") + space + "}" + name;
    }

    // XML 1.0 cannot hold control characters; a cell holding one (pasted
    // from elsewhere) would otherwise stop lxml with words about strings.
    static std::string printable(const std::string& text) {
        std::string kept;
        for (char c : text) {
            unsigned char byte = static_cast<unsigned char>(c);
            if (byte < 0x20 && c != '\t' && c != '\n' && c != '\r') continue;
            kept += c;
        }
        return kept;
    }

    Submission& submission_;
    std::string workbook_;
    py::object etree_;
};

void header_data(Builder& build, const py::object& root, const CoverPage& cover,
                 Submission& submission, const std::string& period) {
    py::object header = build.node(root, "headerData");
    build.value(header, "submissionType", submission.submission_type);
    py::object info = build.node(header, "filerInfo");
    build.value(info, "liveTestFlag", submission.live_test);
    py::object credentials = build.node(build.node(info, "filer"), "credentials");
    build.field(credentials, "cik", cover.cik);
    submission.ccc = build.value(credentials, "ccc", kCccMask);
    if (cover.contact_name.given()) {
        py::object contact = build.node(info, "contact");
        build.field(contact, "contactName", cover.contact_name);
        build.field(contact, "contactPhoneNumber", cover.contact_phone);
        build.field(contact, "contactEmailAddress", cover.contact_email);
    }
    if (!cover.notification_emails.empty()) {
        py::object notifications = build.node(info, "notifications");
        for (const Field& address : cover.notification_emails) {
            build.field(notifications, "notificationEmailAddress", address);
        }
    }
    build.value(info, "periodOfReport", period);
}

void listed_manager(Builder& build, const py::object& element, const ListedManager& manager) {
    build.optional(element, "cik", manager.cik);
    build.optional(element, "form13FFileNumber", manager.file_number);
    build.optional(element, "crdNumber", manager.crd_number);
    build.optional(element, "secFileNumber", manager.sec_file_number);
    build.field(element, "name", manager.name);
}

void cover_page(Builder& build, const py::object& form, const CoverPage& cover,
                const std::string& period) {
    py::object page = build.node(form, "coverPage");
    build.value(page, "reportCalendarOrQuarter", period);
    build.value(page, "isAmendment", cover.amendment() ? "true" : "false");
    if (cover.amendment()) {
        build.field(page, "amendmentNo", cover.amendment_number);
        build.field(build.node(page, "amendmentInfo"), "amendmentType", cover.amendment_type);
    }
    py::object manager = build.node(page, "filingManager");
    build.field(manager, "name", cover.name);
    py::object address = build.node(manager, "address");
    build.field(address, "street1", cover.street1, kCommonNamespace);
    build.optional(address, "street2", cover.street2, kCommonNamespace);
    build.field(address, "city", cover.city, kCommonNamespace);
    build.field(address, "stateOrCountry", cover.state, kCommonNamespace);
    build.field(address, "zipCode", cover.zip, kCommonNamespace);
    build.field(page, "reportType", cover.report_type);
    build.optional(page, "form13FFileNumber", cover.file_number);
    build.optional(page, "crdNumber", cover.crd_number);
    build.optional(page, "secFileNumber", cover.sec_file_number);
    if (!cover.reporting_managers.empty()) {
        py::object info = build.node(page, "otherManagersInfo");
        for (const ListedManager& listed : cover.reporting_managers) {
            listed_manager(build, build.node(info, "otherManager"), listed);
        }
    }
    build.field(page, "provideInfoForInstruction5", cover.instruction5);
    build.optional(page, "additionalInformation", cover.additional_information);
}

void signature_block(Builder& build, const py::object& form, const CoverPage& cover,
                     const std::string& signature_date) {
    py::object block = build.node(form, "signatureBlock");
    build.field(block, "name", cover.signature_name);
    build.field(block, "title", cover.signature_title);
    build.field(block, "phone", cover.signature_phone);
    build.field(block, "signature", cover.signature_name);
    build.field(block, "city", cover.signature_city);
    build.field(block, "stateOrCountry", cover.signature_state);
    build.value(block, "signatureDate", signature_date);
}

void summary_page(Builder& build, const py::object& form, const CoverPage& cover,
                  const InformationTable& table) {
    py::object page = build.node(form, "summaryPage");
    build.value(page, "otherIncludedManagersCount", std::to_string(cover.other_managers.size()));
    build.value(page, "tableEntryTotal", std::to_string(table.entries.size()));
    build.value(page, "tableValueTotal", text(table.value_total));
    build.field(page, "isConfidentialOmitted", cover.confidential_omitted);
    if (cover.other_managers.empty()) return;
    py::object info = build.node(page, "otherManagers2Info");
    for (const ListedManager& listed : cover.other_managers) {
        py::object entry = build.node(info, "otherManager2");
        build.field(entry, "sequenceNumber", listed.number);
        listed_manager(build, build.node(entry, "otherManager"), listed);
    }
}

void attach_table(Builder& build, const py::object& root, const Submission& submission) {
    py::object document = build.node(build.node(root, "documents"), "document");
    build.value(document, "conformedName", submission.conformed_name);
    build.value(document, "conformedDocumentType", "INFORMATION TABLE");
    build.value(document, "description", "Information table");
    // MIME base64: lines of 76 characters.
    py::object encoded = py::module_::import("base64").attr("encodebytes")(py::bytes(submission.table.bytes));
    build.value(document, "contents", "\n" + encoded.attr("decode")("ascii").cast<std::string>());
}

}  // namespace

std::string quarter_end(int year, int quarter) {
    static const char* const ends[] = {"03-31", "06-30", "09-30", "12-31"};
    return std::string(ends[(quarter - 1) % 4]) + "-" + std::to_string(year);
}

std::string conformed_name_for(const std::string& file_name) {
    std::string stem = file_name.substr(0, file_name.rfind('.'));
    std::string name;
    bool underscore = false, hyphen = false;
    for (char c : stem) {
        unsigned char byte = static_cast<unsigned char>(c);
        if (byte < 0x80 && std::isalnum(byte)) {
            if (name.empty() && !std::isalpha(byte)) continue;  // must begin with a letter
            name += static_cast<char>(std::tolower(byte));
        } else if (c == '_' && !underscore && !name.empty()) {
            name += c;
            underscore = true;
        } else if (c == '-' && !hyphen && !name.empty()) {
            name += c;
            hyphen = true;
        }
    }
    if (name.empty()) name = "infotable";
    name = name.substr(0, kLongestName - 4);
    return name + ".xml";
}

Submission primary_document(const CoverPage& cover, const InformationTable& table,
                            const std::string& table_file_name, const std::string& live_test,
                            const std::string& period, const std::string& signature_date) {
    Submission submission;
    submission.submission_type = cover.submission_type();
    submission.live_test = live_test;
    submission.period = period;
    submission.signature_date = signature_date;
    submission.attaches_table = cover.has_table();
    if (submission.attaches_table) {
        submission.table = table;
        submission.conformed_name = conformed_name_for(table_file_name);
    }
    Builder build(submission, cover.workbook);
    py::object root = build.root();
    header_data(build, root, cover, submission, period);
    py::object form = build.node(root, "formData");
    cover_page(build, form, cover, period);
    signature_block(build, form, cover, signature_date);
    if (submission.attaches_table) {
        summary_page(build, form, cover, submission.table);
        attach_table(build, root, submission);
    }
    submission.root = root;
    return submission;
}

std::string serialised(const Submission& submission, const std::string& ccc) {
    py::object etree = py::module_::import("lxml.etree");
    submission.ccc.attr("text") = py::str(ccc);
    py::object bytes;
    try {
        bytes = etree.attr("tostring")(submission.root, "encoding"_a = "UTF-8",
                                       "pretty_print"_a = true);
    } catch (...) {
        submission.ccc.attr("text") = kCccMask;
        throw;
    }
    submission.ccc.attr("text") = kCccMask;
    // The declaration in double quotes, on the first line, as EDGAR's own
    // sample submissions have it.
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n" + bytes.cast<std::string>();
}

}  // namespace tavrin
