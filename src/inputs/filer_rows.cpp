#include "inputs/filer_rows.hpp"

#include "inputs/inputs.hpp"

#include <cctype>
#include <cmath>
#include <string>
#include <vector>

namespace tavrin {
namespace {

using namespace filer_sheet;

// The fields the sheet "Manager" may hold: the two the table reads and
// those of the cover page.
constexpr const char* kKnownFields[] = {
    "Investment discretion", "Voting authority", "Name", "Street 1", "Street 2", "City",
    "State or country", "ZIP code", "CIK", "Form 13F file number", "CRD number",
    "SEC file number", "Report type", "Amendment number", "Amendment type",
    "Confidential information omitted", "Provide information for Instruction 5",
    "Additional information", "Contact name", "Contact phone", "Contact e-mail",
    "Notification e-mail", "Signature name", "Signature title", "Signature phone",
    "Signature city", "Signature state or country"};

constexpr const char* kOtherManagersHeadings[] = {
    "Number", "Name", "CIK", "Form 13F file number", "CRD number", "SEC file number"};
constexpr const char* kHoldingsHeadings[] = {
    "CUSIP", "Investment discretion", "Other managers", "Shares or principal", "Value",
    "Sole", "Shared", "None", "Type", "Put/Call"};

std::string cell_place(const FilerWorkbook& filer, const char* sheet, const py::handle& row,
                       const char* column) {
    return filer.place(sheet, row) + ", column \"" + column + "\"";
}

// A value given as one of `allowed` in any case, as the document spells it.
py::object choice(const py::handle& value, const std::vector<const char*>& allowed,
                  const std::string& where) {
    if (value.is_none()) return py::none();
    require_no_logical_or_date(value, where);
    std::string given = text(py::str(value).attr("strip")().attr("upper")());
    std::string listed;
    for (const char* option : allowed) {
        if (text(py::str(option).attr("upper")()) == given) return py::str(option);
        listed += (listed.empty() ? "" : ", ") + std::string(option);
    }
    raise_error(PyExc_ValueError, where + " holds " + repr_text(value) + "; it must be one of " +
                                      listed + ", or blank for the default.");
}

// A whole number of at least `least`, or None where blank. Excel keeps
// every number as a float, so 100.0 is 100; text is not read as a number.
py::object whole_number(const py::handle& value, const std::string& where, long least) {
    if (value.is_none()) return py::none();
    require_no_logical_or_date(value, where);
    bool number = PyLong_Check(value.ptr()) || PyFloat_Check(value.ptr());
    if (number && PyFloat_Check(value.ptr())) {
        double given = PyFloat_AS_DOUBLE(value.ptr());
        number = std::isfinite(given) && given == std::floor(given);
    }
    if (number) {
        py::int_ whole(py::reinterpret_borrow<py::object>(value));
        if (whole >= py::int_(least)) return std::move(whole);
    }
    raise_error(PyExc_ValueError,
                where + " holds " + repr_text(value) + "; it must be a whole number of at least " +
                    std::to_string(least) + " (entered as a number, not text), or blank.");
}

template <size_t N>
void require_headings(const FilerWorkbook& filer, const char* sheet, const py::object& headings,
                      const char* const (&expected)[N]) {
    if (headings.is_none()) return;
    std::string missing;
    for (const char* heading : expected) {
        if (!py::list(headings).contains(heading)) {
            missing += (missing.empty() ? "\"" : ", \"") + std::string(heading) + "\"";
        }
    }
    if (missing.empty()) return;
    std::string all;
    for (const char* heading : expected) all += (all.empty() ? "\"" : ", \"") + std::string(heading) + "\"";
    raise_error(PyExc_KeyError, "Filer workbook " + text(filer.path) + ", sheet \"" + sheet +
                                    "\" has no heading " + missing + " in row 1; row 1 must hold " +
                                    all + ".");
}

py::object manager_field(const FilerWorkbook& filer, const char* label,
                         const std::vector<const char*>& allowed) {
    py::object value = filer.field(label);
    if (value.is_none()) return value;
    std::string where =
        cell_place(filer, kManager, filer.manager_rows[label], "Value") + " (\"" + label + "\")";
    return choice(value, allowed, where);
}

void warn_unknown_fields(const FilerWorkbook& filer) {
    for (auto item : filer.manager) {
        std::string label = text(item.first);
        bool known = false;
        for (const char* field : kKnownFields) known = known || label == field;
        if (known) continue;
        builtin("print")(filer.place(kManager, filer.manager_rows[item.first]) + ": the field " +
                         repr_text(item.first) +
                         " is not one Tavrin reads, so it is ignored; check its spelling against "
                         "the README's list of fields.");
    }
}

// A sheet under another name is not read at all, so a misspelt "Holding"
// would leave every holding at the defaults without a word.
void warn_unknown_sheets(const FilerWorkbook& filer) {
    for (py::handle name : filer.sheet_names) {
        std::string sheet = text(name);
        if (sheet == kManager || sheet == kOtherManagers || sheet == kHoldings ||
            sheet == kReportingManagers) {
            continue;
        }
        builtin("print")("Filer workbook " + text(filer.path) + ": the sheet " + repr_text(name) +
                         " is not one Tavrin reads, so it is ignored; the sheets read are "
                         "\"Manager\", \"Other managers\", \"Holdings\" and \"Reporting "
                         "managers\".");
    }
}

// "1,3" (or the number 1): the numbers in the order given, each once, each
// on the sheet "Other managers".
py::object other_managers(const FilerWorkbook& filer, const py::dict& row, const py::set& numbers) {
    py::object value = row["Other managers"];
    if (value.is_none()) return py::int_(0);
    std::string where = cell_place(filer, kHoldings, row["row"], "Other managers");
    py::list parts;
    if (PyUnicode_Check(value.ptr())) {
        parts = py::str(value).attr("split")(",");
    } else {
        parts.append(value);
    }
    py::list written;
    for (py::handle part : parts) {
        py::object number = py::reinterpret_borrow<py::object>(part);
        if (PyUnicode_Check(part.ptr())) {
            std::string digits = text(py::str(part).attr("strip")());
            if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos) {
                raise_error(PyExc_ValueError,
                            where + " holds " + repr_text(value) +
                                "; it must be the numbers of the sheet \"Other managers\", "
                                "separated by commas, such as 1,3.");
            }
            number = py::int_(py::str(digits));
        }
        number = whole_number(number, where, 1);
        if (!numbers.contains(number)) {
            raise_error(PyExc_ValueError, where + " names other manager " + text(number) +
                                              ", who is not on the sheet \"Other managers\" (its "
                                              "column \"Number\"). Add the manager there or "
                                              "correct the number.");
        }
        if (!written.contains(py::str(number))) written.append(py::str(number));
    }
    return py::str(",").attr("join")(written);
}

// "Sole", "Shared" and "None": all three blank, or numbers (a blank one
// among them counts as 0).
void voting_numbers(const FilerWorkbook& filer, const py::dict& row, HoldingsRow& checked) {
    py::object row_number = row["row"];
    py::object sole = whole_number(row["Sole"], cell_place(filer, kHoldings, row_number, "Sole"), 0);
    py::object shared =
        whole_number(row["Shared"], cell_place(filer, kHoldings, row_number, "Shared"), 0);
    py::object none = whole_number(row["None"], cell_place(filer, kHoldings, row_number, "None"), 0);
    if (sole.is_none() && shared.is_none() && none.is_none()) {
        checked.sole = checked.shared = checked.none = py::none();
        return;
    }
    auto or_zero = [](const py::object& number) {
        return number.is_none() ? py::object(py::int_(0)) : number;
    };
    checked.sole = or_zero(sole);
    checked.shared = or_zero(shared);
    checked.none = or_zero(none);
}

HoldingsRow holdings_row(const FilerWorkbook& filer, const py::dict& row, const py::set& numbers) {
    py::object row_number = row["row"];
    auto where = [&](const char* column) { return cell_place(filer, kHoldings, row_number, column); };
    HoldingsRow checked;
    checked.row = row_number;
    py::object cusip = row["CUSIP"];
    if (cusip.is_none()) {
        raise_error(PyExc_ValueError, where("CUSIP") + " is blank; every row of the sheet names "
                                                       "the CUSIP of its holding.");
    }
    require_no_logical_or_date(cusip, where("CUSIP"));
    checked.cusip = clean_identifier(cusip);
    std::string cleaned = text(checked.cusip);
    bool alphanumeric = cleaned.size() == 9;
    for (char c : cleaned) alphanumeric = alphanumeric && std::isalnum(static_cast<unsigned char>(c));
    if (!alphanumeric) {
        raise_error(PyExc_ValueError, where("CUSIP") + " holds " + repr_text(cusip) +
                                          "; a CUSIP is nine letters and digits.");
    }
    checked.discretion = choice(row["Investment discretion"], {"SOLE", "DFND", "OTR"},
                                where("Investment discretion"));
    checked.other_managers = other_managers(filer, row, numbers);
    checked.shares = whole_number(row["Shares or principal"], where("Shares or principal"), 0);
    checked.value = whole_number(row["Value"], where("Value"), 0);
    voting_numbers(filer, row, checked);
    py::object type = choice(row["Type"], {"SH", "PRN"}, where("Type"));
    checked.type = type.is_none() ? py::str("SH") : py::str(type);
    py::object put_call = choice(row["Put/Call"], {"Put", "Call"}, where("Put/Call"));
    checked.put_call = put_call.is_none() ? py::str("") : py::str(put_call);
    if (checked.put_call.equal(py::str(""))) return checked;
    // An option row stands alone: nothing else gives its amounts.
    if (checked.shares.is_none() || checked.value.is_none()) {
        raise_error(PyExc_ValueError,
                    filer.place(kHoldings, row_number) + ": a " + text(checked.put_call) +
                        " row gives the shares underlying the options in \"Shares or "
                        "principal\" and their value in \"Value\"; fill in both.");
    }
    return checked;
}

}  // namespace

ManagerDefaults manager_defaults(const FilerWorkbook& filer) {
    warn_unknown_sheets(filer);
    warn_unknown_fields(filer);
    py::object discretion =
        manager_field(filer, "Investment discretion", {"SOLE", "DFND", "OTR"});
    py::object voting = manager_field(filer, "Voting authority", {"None", "Sole", "Shared"});
    return {discretion.is_none() ? py::str("SOLE") : py::str(discretion),
            voting.is_none() ? py::str("None") : py::str(voting)};
}

py::set other_manager_numbers(const FilerWorkbook& filer) {
    require_headings(filer, kOtherManagers, filer.other_managers_headings, kOtherManagersHeadings);
    py::set numbers;
    for (py::handle row : filer.other_managers) {
        std::string where = cell_place(filer, kOtherManagers, row["row"], "Number");
        py::object number = whole_number(row["Number"], where, 1);
        if (number.is_none()) {
            raise_error(PyExc_ValueError, where + " is blank; number the other managers 1, 2, 3 "
                                                  "... as on the form.");
        }
        if (numbers.contains(number)) {
            raise_error(PyExc_ValueError, where + " repeats the number " + text(number) +
                                              "; each other manager has a number of its own.");
        }
        numbers.add(number);
    }
    return numbers;
}

std::vector<HoldingsRow> holdings_rows(const FilerWorkbook& filer, const py::set& numbers) {
    require_headings(filer, kHoldings, filer.holdings_headings, kHoldingsHeadings);
    std::vector<HoldingsRow> rows;
    for (py::handle row : filer.holdings) {
        rows.push_back(holdings_row(filer, py::reinterpret_borrow<py::dict>(row), numbers));
    }
    return rows;
}

}  // namespace tavrin
