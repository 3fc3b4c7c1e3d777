// A holding's parts must add up to the holding exactly: EDGAR's totals are
// the portfolio's, and a split that lost or added shares would file a
// different position than the manager holds.
#include "report/entries.hpp"

#include <string>
#include <utility>
#include <vector>

namespace tavrin {
namespace {

constexpr const char* kHoldings = "Holdings";

std::string row_numbers(const std::vector<const HoldingsRow*>& rows) {
    std::string numbers;
    for (const HoldingsRow* row : rows) numbers += (numbers.empty() ? "" : ", ") + text(row->row);
    return numbers;
}

struct Amount {
    const char* column;  // the sheet's heading
    py::object HoldingsRow::*field;
};

// Each part's amount of `amount`: as given, or for the one part left blank,
// what the given parts leave of the holding.
std::vector<py::object> part_amounts(const FilerWorkbook& filer, const py::object& cusip,
                                     const std::vector<const HoldingsRow*>& parts,
                                     const py::object& holding, const Amount& amount) {
    py::int_ whole(holding), given(0);
    const HoldingsRow* blank = nullptr;
    for (const HoldingsRow* part : parts) {
        py::object value = part->*amount.field;
        if (!value.is_none()) {
            given = given + py::int_(value);
            continue;
        }
        if (blank != nullptr) {
            raise_error(PyExc_ValueError,
                        "Filer workbook " + text(filer.path) + ", sheet \"" + kHoldings +
                            "\", rows " + text(blank->row) + " and " + text(part->row) +
                            ": CUSIP " + text(cusip) + " has \"" + amount.column +
                            "\" blank on two rows; leave it blank on one row at most, which "
                            "then takes the rest of the holding. Nothing was written.");
        }
        blank = part;
    }
    py::int_ rest = whole - given;
    bool adds_up = blank == nullptr ? rest.equal(py::int_(0)) : rest >= py::int_(0);
    if (!adds_up) {
        raise_error(PyExc_ValueError,
                    "Filer workbook " + text(filer.path) + ", sheet \"" + kHoldings + "\", row(s) " +
                        row_numbers(parts) + ": the parts of CUSIP " + text(cusip) + " give " +
                        text(given) + " in \"" + amount.column +
                        "\", but the reconciled holding is " + text(whole) +
                        ". The parts must add up exactly to the holding; leave the cell blank on "
                        "one row to give that row the rest. Nothing was written.");
    }
    std::vector<py::object> amounts;
    for (const HoldingsRow* part : parts) {
        py::object value = part->*amount.field;
        amounts.push_back(value.is_none() ? py::object(rest) : value);
    }
    return amounts;
}

}  // namespace

FilerEntries::FilerEntries(FilerWorkbook filer)
    : filer_(std::move(filer)), discretion_("SOLE"), voting_("None") {
    if (!filer_.present) return;
    ManagerDefaults defaults = manager_defaults(filer_);
    discretion_ = defaults.discretion;
    voting_ = defaults.voting;
    rows_ = holdings_rows(filer_, other_manager_numbers(filer_));
    for (size_t i = 0; i < rows_.size(); ++i) {
        if (!rows_of_.contains(rows_[i].cusip)) rows_of_[rows_[i].cusip] = py::list();
        py::list(rows_of_[rows_[i].cusip]).append(i);
    }
}

void FilerEntries::check_option_rows(const FirstRows& list, const py::object& listed_options) const {
    for (const HoldingsRow& row : rows_) {
        if (row.put_call.equal(py::str(""))) continue;
        std::string where = filer_.place(kHoldings, row.row) + ": the " + text(row.put_call) +
                            " row's CUSIP " + text(row.cusip);
        if (!list.has(row.cusip)) {
            raise_error(PyExc_ValueError,
                        where + " is not on the quarter's 13(f) list. A put or call is filed "
                                "under the CUSIP of the security the options are on, which the "
                                "list marks with an asterisk.");
        }
        if (listed_options.is_none()) {
            raise_error(PyExc_ValueError,
                        where + " cannot be checked: the list's option asterisks are read by "
                                "storesec during a run (Tavrin.cruncher()), not when f13excel "
                                "is called on its own.");
        }
        if (!py::set(listed_options).contains(row.cusip)) {
            raise_error(PyExc_ValueError,
                        where + " is on the list without the asterisk of a security with "
                                "listed options, so EDGAR takes no " + text(row.put_call) +
                                " under it. Check the CUSIP, or leave \"Put/Call\" blank for "
                                "shares.");
        }
    }
}

py::list FilerEntries::option_only_cusips(const py::list& held) const {
    py::set holdings(held), seen;
    py::list cusips;
    for (const HoldingsRow& row : rows_) {
        if (row.put_call.equal(py::str("")) || holdings.contains(row.cusip) ||
            seen.contains(row.cusip)) {
            continue;
        }
        seen.add(row.cusip);
        cusips.append(row.cusip);
    }
    return cusips;
}

std::vector<const HoldingsRow*> FilerEntries::unused_rows(const py::list& held) const {
    py::set holdings(held);
    std::vector<const HoldingsRow*> unused;
    for (const HoldingsRow& row : rows_) {
        if (row.put_call.equal(py::str("")) && !holdings.contains(row.cusip)) unused.push_back(&row);
    }
    return unused;
}

Entry FilerEntries::default_entry(const py::object& cusip, const py::object& value,
                                  const py::object& shares) const {
    py::int_ zero(0);
    Entry entry{cusip, value, shares, py::str("SH"), py::str(""), discretion_, zero,
                zero, zero, zero};
    if (voting_.equal(py::str("Sole"))) entry.sole = shares;
    else if (voting_.equal(py::str("Shared"))) entry.shared = shares;
    else entry.none = shares;
    return entry;
}

Entry FilerEntries::entry_of(const HoldingsRow& row, const py::object& value,
                             const py::object& shares) const {
    Entry entry = default_entry(row.cusip, value, shares);
    entry.type = row.type;
    entry.put_call = row.put_call;
    if (!row.discretion.is_none()) entry.discretion = py::str(row.discretion);
    entry.other_managers = row.other_managers;
    if (row.sole.is_none()) return entry;
    py::object voted = row.sole + row.shared + row.none;
    if (!voted.equal(py::int_(shares))) {
        raise_error(PyExc_ValueError,
                    filer_.place(kHoldings, row.row) + ": \"Sole\", \"Shared\" and \"None\" of "
                        "CUSIP " + text(row.cusip) + " add up to " + text(voted) +
                        ", but the entry has " + text(shares) +
                        " shares or principal; they must add up to it, or be left blank all "
                        "three for the default voting authority to take them all.");
    }
    entry.sole = row.sole;
    entry.shared = row.shared;
    entry.none = row.none;
    return entry;
}

std::vector<Entry> FilerEntries::entries_of(const py::object& cusip, const py::object& value,
                                            const py::object& shares) const {
    std::vector<const HoldingsRow*> rows, parts;
    if (rows_of_.contains(cusip)) {
        for (py::handle position : py::list(rows_of_[cusip])) {
            const HoldingsRow& row = rows_[position.cast<size_t>()];
            rows.push_back(&row);
            if (row.put_call.equal(py::str(""))) parts.push_back(&row);
        }
    }
    std::vector<Entry> entries;
    if (!shares.is_none() && parts.empty()) entries.push_back(default_entry(cusip, value, shares));
    std::vector<py::object> part_shares, part_values;
    if (!shares.is_none() && !parts.empty()) {
        part_shares = part_amounts(filer_, cusip, parts, shares,
                                   {"Shares or principal", &HoldingsRow::shares});
        part_values = part_amounts(filer_, cusip, parts, value, {"Value", &HoldingsRow::value});
    }
    size_t part = 0;
    for (const HoldingsRow* row : rows) {
        if (!row->put_call.equal(py::str(""))) {
            entries.push_back(entry_of(*row, row->value, row->shares));
        } else if (!shares.is_none()) {
            entries.push_back(entry_of(*row, part_values[part], part_shares[part]));
            ++part;
        }
    }
    return entries;
}

}  // namespace tavrin
