// The entries of the information table, from the reconciled holdings and
// the manager's facts on Data/Filer.xlsx: a holding is one entry with the
// manager's defaults, or the parts the sheet "Holdings" splits it into;
// a put or call row of the sheet is an entry of its own.
#pragma once

#include "common/python.hpp"
#include "inputs/filer.hpp"
#include "inputs/filer_rows.hpp"
#include "report/first_rows.hpp"

#include <string>
#include <vector>

namespace tavrin {

// What one entry says beyond the list's name and title: every field is a
// Python object as the document is to show it.
struct Entry {
    py::object cusip;
    py::object value, shares;   // whole numbers
    py::str type;               // "SH" or "PRN"
    py::str put_call;           // "", "Put" or "Call"
    py::str discretion;         // "SOLE", "DFND" or "OTR"
    py::object other_managers;  // 0, or the managers' numbers as "1,3"
    py::object sole, shared, none;
};

class FilerEntries {
  public:
    // Reads and checks everything on the workbook that needs no holding:
    // the manager's defaults, the other managers, every row of "Holdings".
    explicit FilerEntries(FilerWorkbook filer);

    // Every put or call row names a security of the list marked with the
    // option asterisk; `listed_options` is None when the list's marks are
    // not known to this run.
    void check_option_rows(const FirstRows& list, const py::object& listed_options) const;

    // The CUSIPs that are reported only through put or call rows, in sheet
    // order: they hold no shares in the reconciled holdings.
    py::list option_only_cusips(const py::list& held) const;

    // The rows whose CUSIP has no reconciled holding, and so are not used
    // (put and call rows excepted, which stand alone).
    std::vector<const HoldingsRow*> unused_rows(const py::list& held) const;

    // The entries of a CUSIP, in sheet order: its holding (`value` and
    // `shares` as rounded, None for a CUSIP held only through options), as
    // one entry or split into the sheet's parts, and its put and call rows.
    std::vector<Entry> entries_of(const py::object& cusip, const py::object& value,
                                  const py::object& shares) const;

    const FilerWorkbook& workbook() const { return filer_; }

  private:
    Entry default_entry(const py::object& cusip, const py::object& value,
                        const py::object& shares) const;
    Entry entry_of(const HoldingsRow& row, const py::object& value, const py::object& shares) const;

    FilerWorkbook filer_;
    py::str discretion_;  // the manager's default
    py::str voting_;      // "None", "Sole" or "Shared"
    std::vector<HoldingsRow> rows_;
    py::dict rows_of_;  // CUSIP -> the positions of its rows in rows_
};

}  // namespace tavrin
