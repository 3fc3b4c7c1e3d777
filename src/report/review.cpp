// The review workbook: every portfolio holding accounted for.
//
// "Reported" is the information table this run wrote, read back from the
// document itself, so it shows exactly what EDGAR gets, in its order. "Not
// reported" gives every other portfolio CUSIP with the one reason it was
// left out; "Rows not read" the portfolio rows that looked like holdings
// but had column C empty. The workbook replaces the previous one only once
// it is complete, like the document.
#include "common/files.hpp"
#include "common/run_record.hpp"
#include "compare/changes.hpp"
#include "report/first_rows.hpp"
#include "report/review.hpp"
#include "report/review_book.hpp"

#include <cctype>
#include <cstring>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace tavrin {
namespace {

constexpr const char* kReviewName = "F13Review.xlsx";
constexpr const char* kOptionNote =
    "option row of the list: filed as shares under the list's number; check before filing";
constexpr const char* kDebtNote =
    "debt title filed as shares: principal amounts are PRN; say so on Filer.xlsx";
constexpr const char* kOnFiler = "on Filer.xlsx, but ";
constexpr const char* kNotInPortfolio = "not in the portfolio";

constexpr const char* kReportedHeadings[] = {
    "CUSIP",    "Issuer",  "Title of class",        "FIGI",           "Value",
    "Shares or principal", "Type", "Put/Call", "Investment discretion", "Other managers",
    "Sole",     "Shared",  "None",                  "Note"};
constexpr const char* kNotReportedHeadings[] = {
    "CUSIP", "Description (column C)", "Quantity (column M, added up)",
    "Value (column N, added up)", "Reason not reported"};

template <size_t N>
py::list labels(const char* const (&texts)[N]) {
    py::list list;
    for (const char* label : texts) list.append(label);
    return list;
}

// An element's text as a whole number where it is one (value, shares).
py::object number_or_text(const py::object& value) {
    if (value.is_none()) return value;
    std::string digits = py::str(value);
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos) {
        return value;
    }
    return py::int_(py::str(value));
}

// The list's description for each CUSIP, where the list has one.
struct OptionRows {
    explicit OptionRows(const py::object& sec) {
        py::list columns = sec.attr("columns").attr("tolist")();
        if (!columns.contains("CUSIPNO") || !columns.contains("ISSUERDESCRIPTION")) return;
        list.emplace_back(sec, "CUSIPNO", std::vector<const char*>{"ISSUERDESCRIPTION"},
                          "The securities list");
    }
    bool is_option(const py::handle& cusip) const {
        if (list.empty() || !list.front().has(cusip)) return false;
        py::object description = list.front().field(cusip, 0);
        if (!PyUnicode_Check(description.ptr())) return false;
        py::object kind = description.attr("strip")();
        return kind.equal(py::str("CALL")) || kind.equal(py::str("PUT"));
    }
    std::vector<FirstRows> list;
};

// Convertible notes and other debt keep their list title ("NOTE 1.250% 3/0",
// "DEBT 2.500%10/0", "DBCV ..."): a debt word first, then a rate or a
// maturity, so a digit.
bool is_debt_title(const py::object& title) {
    if (!PyUnicode_Check(title.ptr())) return false;
    std::string upper = text(title.attr("strip")().attr("upper")());
    size_t word = 0;
    while (word < upper.size() && std::isalpha(static_cast<unsigned char>(upper[word]))) ++word;
    std::string first = upper.substr(0, word);
    bool debt_word = false;
    for (const char* debt : {"NOTE", "NOTES", "DEBT", "DBCV", "SDCV", "BOND"}) {
        debt_word = debt_word || first == debt;
    }
    return debt_word && upper.find_first_of("0123456789", word) != std::string::npos;
}

py::object note_of(const OptionRows& options, const py::object& cusip, const py::object& title,
                   const py::object& type, const py::object& put_call) {
    if (put_call.is_none() && options.is_option(cusip)) return py::str(kOptionNote);
    if (py::str("SH").equal(type) && is_debt_title(title)) return py::str(kDebtNote);
    return py::none();
}

// The fields the sheet shows of an entry, in the order of its columns.
enum Field { kCusip, kIssuer, kTitle, kFigi, kValue, kShares, kType, kPutCall, kDiscretion,
             kManagers, kSole, kShared, kNone, kFieldCount };

// Reads an entry's fields in one walk over its elements, where a findtext()
// a field goes through lxml's path machinery each time: on a full table
// those calls took over a tenth of a second.
class EntryFields {
  public:
    explicit EntryFields(const std::string& ns) {
        const std::pair<const char*, Field> places[] = {
            {"cusip", kCusip},
            {"nameOfIssuer", kIssuer},
            {"titleOfClass", kTitle},
            {"figi", kFigi},
            {"value", kValue},
            {"shrsOrPrnAmt/sshPrnamt", kShares},
            {"shrsOrPrnAmt/sshPrnamtType", kType},
            {"putCall", kPutCall},
            {"investmentDiscretion", kDiscretion},
            {"otherManager", kManagers},
            {"votingAuthority/Sole", kSole},
            {"votingAuthority/Shared", kShared},
            {"votingAuthority/None", kNone}};
        for (const auto& [path, field] : places) places_[path] = field;
        ns_ = ns;
    }

    // Each field's text as findtext() gives it: that of the first element
    // at its path, "" when the element has none, None when there is none.
    std::vector<py::object> of(const py::handle& entry) const {
        std::vector<py::object> texts(kFieldCount, py::none());
        take(entry, "", texts);
        return texts;
    }

  private:
    void take(const py::handle& parent, const std::string& group,
              std::vector<py::object>& texts) const {
        for (const py::handle& child : parent) {
            py::object tag = child.attr("tag");
            if (!PyUnicode_Check(tag.ptr())) continue;  // a comment or processing instruction
            std::string name = text(tag);
            if (name.compare(0, ns_.size(), ns_) != 0) continue;
            std::string path = group + name.substr(ns_.size());
            if (group.empty() && (path == "shrsOrPrnAmt" || path == "votingAuthority")) {
                take(child, path + "/", texts);
                continue;
            }
            auto place = places_.find(path);
            if (place == places_.end() || !texts[place->second].is_none()) continue;
            py::object content = child.attr("text");
            texts[place->second] = content.is_none() ? py::object(py::str("")) : content;
        }
    }

    std::string ns_;
    std::unordered_map<std::string, Field> places_;
};

// The document's entries in its order: CUSIP, issuer, title, FIGI, value,
// shares or principal and the rest of the entry as the headings name it.
std::vector<py::list> reported_rows(const py::object& document, const OptionRows& options) {
    py::object etree = py::module_::import("lxml.etree");
    py::object parser = etree.attr("XMLParser")("resolve_entities"_a = false, "huge_tree"_a = true);
    py::object root = etree.attr("parse")(document, parser).attr("getroot")();
    py::object space = etree.attr("QName")(root).attr("namespace");
    std::string ns = space.is_none() ? "" : "{" + text(space) + "}";
    EntryFields fields(ns);
    std::vector<py::list> rows;
    for (auto entry : root.attr("findall")(py::str(ns + "infoTable"))) {
        std::vector<py::object> field = fields.of(entry);
        py::list row;
        for (Field shown : {kCusip, kIssuer, kTitle, kFigi}) row.append(field[shown]);
        row.append(number_or_text(field[kValue]));
        row.append(number_or_text(field[kShares]));
        for (Field shown : {kType, kPutCall, kDiscretion}) row.append(field[shown]);
        for (Field shown : {kManagers, kSole, kShared, kNone}) {
            row.append(number_or_text(field[shown]));
        }
        row.append(note_of(options, field[kCusip], field[kTitle], field[kType], field[kPutCall]));
        rows.push_back(row);
    }
    return rows;
}

bool not_on_the_list(const char* reason) {
    return std::strcmp(reason, left_out::kNotListed) == 0 ||
           std::strcmp(reason, left_out::kNotNineCharacters) == 0 ||
           std::strcmp(reason, left_out::kCheckDigit) == 0;
}

// Every portfolio CUSIP left out, then the CUSIPs of Filer.xlsx that are
// not in the portfolio at all (kept in `filer_only`).
std::vector<const HoldingOutcome*> not_reported(const RunRecord& record,
                                                std::vector<HoldingOutcome>& filer_only) {
    std::vector<const HoldingOutcome*> left;
    for (const HoldingOutcome& outcome : record.outcomes) {
        if (outcome.reason != nullptr) left.push_back(&outcome);
    }
    for (const py::object& cusip : record.filer_not_in_portfolio) {
        filer_only.push_back({cusip, py::none(), py::none(), py::none(), kNotInPortfolio});
    }
    for (const HoldingOutcome& outcome : filer_only) left.push_back(&outcome);
    return left;
}

// The reason as the sheet gives it: a CUSIP the manager named on Filer.xlsx
// says so, since its rows there went unused.
std::string reason_shown(const RunRecord& record, const HoldingOutcome& outcome) {
    bool on_filer = std::strcmp(outcome.reason, kNotInPortfolio) == 0 ||
                    record.filer_unreported.contains(outcome.cusip);
    return (on_filer ? std::string(kOnFiler) : std::string()) + outcome.shown_reason();
}

void write_sheets(ReviewBook& book, const std::vector<py::list>& reported,
                  const std::vector<const HoldingOutcome*>& left, const RunRecord& record,
                  const Comparison* changes) {
    ReviewSheet& reported_sheet = book.add_sheet("Reported");
    reported_sheet.headings(labels(kReportedHeadings));
    for (const py::list& row : reported) reported_sheet.row(row);

    ReviewSheet& left_sheet = book.add_sheet("Not reported");
    left_sheet.headings(labels(kNotReportedHeadings));
    for (const HoldingOutcome* outcome : left) {
        py::list row;
        row.append(outcome->cusip);
        row.append(outcome->description);
        row.append(outcome->quantity);
        row.append(outcome->value);
        row.append(reason_shown(record, *outcome));
        left_sheet.row(row);
    }

    ReviewSheet& unread_sheet = book.add_sheet("Rows not read");
    py::list headings;
    headings.append("Row in the portfolio workbook");
    headings.append("Why not read");
    for (auto label : record.portfolio_headings) headings.append(label);
    unread_sheet.headings(headings);
    for (const UnreadRow& unread : record.unread_rows) {
        py::list row;
        row.append(unread.row);
        row.append(unread.why);
        for (auto cell : unread.cells) row.append(cell);
        unread_sheet.row(row);
    }

    if (changes != nullptr && changes->compared) write_changes_sheet(book, *changes);
}

// The workbook is built in memory and written whole; the file replaces the
// review only when complete.
void write_workbook(const py::object& path, const std::vector<py::list>& reported,
                    const std::vector<const HoldingOutcome*>& left, const RunRecord& record,
                    const Comparison* changes) {
    try {
        replace_with_results(path, ".tmp", [&](const py::object& temporary) {
            ReviewBook book;
            write_sheets(book, reported, left, record, changes);
            book.save(temporary);
        });
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_PermissionError)) throw;
        raise_error(PyExc_PermissionError,
                    "The review workbook " + text(path) + " cannot be replaced: another "
                    "program holds it, or the Results folder cannot be written. Close it in "
                    "Excel and run again.");
    }
}

// "Review: 11 reported, 2 not reported (1 not on the list, 1 removed in
// full), 1 row not read in .../Results/F13Review.xlsx"
std::string closing_line(size_t reported, const std::vector<const HoldingOutcome*>& left,
                         size_t unread, const py::object& path) {
    struct Group {
        const char* label;
        size_t count;
    };
    std::vector<Group> groups = {{"not on the list", 0},
                                 {left_out::kRemovedInFull, 0},
                                 {left_out::kNotAboveZero, 0},
                                 {left_out::kAmountsDisagree, 0},
                                 {left_out::kShortDescription, 0},
                                 {kNotInPortfolio, 0}};
    for (const HoldingOutcome* outcome : left) {
        if (not_on_the_list(outcome->reason)) {
            ++groups[0].count;
            continue;
        }
        for (Group& group : groups) {
            if (std::strcmp(group.label, outcome->reason) == 0) ++group.count;
        }
    }
    std::string parts;
    for (const Group& group : groups) {
        if (group.count == 0) continue;
        parts += (parts.empty() ? "" : ", ") + std::to_string(group.count) + " " + group.label;
    }
    return "Review: " + std::to_string(reported) + " reported, " + std::to_string(left.size()) +
           " not reported" + (parts.empty() ? "" : " (" + parts + ")") +
           (unread == 0 ? ""
                        : ", " + std::to_string(unread) + (unread == 1 ? " row" : " rows") +
                              " not read") +
           " in " + text(path);
}


// A custodian's report ends with a totals row every quarter; saying so keeps
// that routine row from reading as a fault.
std::string totals_rows_note(const RunRecord& record) {
    size_t totals = 0;
    for (const UnreadRow& unread : record.unread_rows) {
        if (unread.why.rfind("a totals row", 0) == 0) ++totals;
    }
    if (totals == 0) return "";
    if (totals == 1) return " (the totals row among them)";
    return " (" + std::to_string(totals) + " totals rows among them)";
}

}  // namespace

void write_review(const RunRecord& record, const py::object& sec, const py::object& document,
                  const Comparison* changes) {
    py::object path = py::str(
        py::module_::import("pathlib").attr("Path")(document).attr("with_name")(kReviewName));
    // During a run the document is still the temporary that takes its place
    // together with this review.
    std::vector<py::list> reported = reported_rows(delivered_path(document), OptionRows(sec));
    std::vector<HoldingOutcome> filer_only;
    std::vector<const HoldingOutcome*> left = not_reported(record, filer_only);
    write_workbook(path, reported, left, record, changes);
    if (!record.unread_rows.empty()) {
        builtin("print")("Rows not read: " + std::to_string(record.unread_rows.size()) +
                         " portfolio row(s) below the second heading row hold a CUSIP or an "
                         "amount but have column C or the CUSIP empty" +
                         totals_rows_note(record) + "; see the sheet \"Rows not read\" for each "
                         "row and why.");
    }
    builtin("print")(closing_line(reported.size(), left, record.unread_rows.size(), path));
}

}  // namespace tavrin
