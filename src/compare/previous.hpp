// Information tables filed before: read from a document file in any shape
// EDGAR accepts, or fetched from the manager's own filings on EDGAR.
#pragma once

#include "common/python.hpp"

#include <string>
#include <vector>

namespace tavrin {

// One entry of an information table as the document holds it. The CUSIP is
// upper-cased with blanks taken out, as tables saved from EDGAR sometimes
// have it in lower case; text fields are stripped, absent ones empty.
struct TableEntry {
    std::string issuer;
    std::string title;
    std::string cusip;
    std::string figi;
    long long value = 0;   // as filed: whole dollars, or thousands before 2023
    long long shares = 0;  // sshPrnamt: shares, or the principal amount for PRN
    std::string type;      // SH or PRN
    std::string put_call;  // Put, Call (as the schema spells them) or empty
    std::string discretion;
    std::string other_manager;
    long long sole = 0;
    long long shared = 0;
    long long none = 0;
};

// The entries of the information-table document at `path`, in its order.
// Takes the default namespace or any prefix for it (or none at all), any
// indentation, a declaration with or without encoding and standalone.
// ValueError naming the file and what is wrong when it is not XML, is
// another document, or breaks EDGAR's information-table schema.
std::vector<TableEntry> read_information_table(py::handle module, const py::object& path);

struct FilerWorkbook;

// The manager's CIK as EDGAR's addresses want it, from a "CIK" cell that
// Excel may hold as a number; ValueError naming `filer`'s workbook when it
// is no CIK.
std::string cik_text(const py::object& value, const FilerWorkbook& filer);

// A manager's information table for one quarter as it stands on EDGAR.
struct EdgarFiling {
    std::string cik;                      // ten digits
    std::vector<std::string> accessions;  // each filing applied, in filing order
    std::vector<std::string> forms;       // "13F-HR", "13F-HR/A RESTATEMENT", ...
    std::string filed;                    // filed on (YYYY-MM-DD): the table's last restatement
    bool in_thousands = false;            // filed before values became whole dollars
    std::vector<TableEntry> entries;
};

// The 13F-HR of `cik` (digits, leading zeros optional) for the quarter
// `year`/`quarter`, with every 13F-HR/A for that quarter applied in filing
// order (a restatement replaces the table, a new-holdings amendment adds to
// it), found through the SEC's submissions index on `sec_data_url` and the
// filings' folders on `sec_base_url`. The table is written to `store_as`
// (unless None) with the accession numbers it came from. ValueError, or the requests
// library's classes, with what went wrong and what to do.
EdgarFiling fetch_filing(py::handle module, const std::string& cik, int year, int quarter,
                         const py::object& store_as);

}  // namespace tavrin
