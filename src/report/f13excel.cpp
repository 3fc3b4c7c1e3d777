// The information table: one row per entry, with the issuer's name and
// title of class from the quarter's list, the FIGI from OpenFIGI and the
// value and shares from the holdings. Each distinct CUSIP of the reconciled
// holdings is one entry, or the parts Data/Filer.xlsx splits it into; the
// workbook's put and call rows are entries of their own.
//
// Each table is read once into first-row look-ups and the result is built
// in one go, so the work grows with the tables' sizes added up.
#include "common/run_record.hpp"
#include "common/tables.hpp"
#include "figi/figi.hpp"
#include "inputs/filer.hpp"
#include "report/entries.hpp"
#include "report/first_rows.hpp"
#include "report/report.hpp"
#include "report/review.hpp"

#include <string>
#include <vector>

namespace tavrin {
namespace {

// The XML writer reads these by position, so the order binds.
constexpr const char* kColumns[] = {
    "nameofissuer", "titleofclass", "cusip", "figi", "value", "sshPrnamt",
    "sshPrnamtType", "PutCall", "investmentDiscretion", "otherManager", "Sole", "Shared",
    "None"};

enum ListField : size_t { kIssuerName, kIssuerDescription };
enum HoldingField : size_t { kMarketValue, kQuantity };

constexpr const char* kList = "The securities list";
constexpr const char* kHoldings = "The reconciled holdings";

py::list column_labels() {
    py::list labels;
    for (const char* label : kColumns) labels.append(label);
    return labels;
}

// The list's names and titles go into the document as they are, apart from
// "&", which the report escapes itself.
py::object escaped(const py::object& value) {
    return py::str(value).attr("replace")("&", "&amp;");
}

// "PUT" is tested first and may sit inside a longer word, so a title such as
// "COMPUTER" counts as a put; a title that is not text raises TypeError,
// as Python's `in` does.
py::str put_or_call(const py::object& description) {
    auto contains = [&](const char* word) {
        int found = PySequence_Contains(description.ptr(), py::str(word).ptr());
        if (found < 0) throw py::error_already_set();
        return found == 1;
    };
    if (contains("PUT")) return py::str("PUT");
    if (contains("CALL")) return py::str("CALL");
    return py::str("");
}

// A list row without its description (a missing cell, read as NaN) fails
// the test above; the error says which row and where the list came from.
py::str put_or_call_of_listed(py::handle module, const FirstRows& list, const py::handle& cusip,
                              const py::object& description) {
    try {
        return put_or_call(description);
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_TypeError)) throw;
        raise_error(PyExc_TypeError,
                    "The securities list row for CUSIP " + repr_text(cusip) + " (" +
                        text(list.field(cusip, kIssuerName)) + ") in " +
                        text(global(module, "sec_pdf_path")) +
                        " lacks its description (column ISSUERDESCRIPTION holds " +
                        repr_text(description) +
                        "), so its title of class and put/call cannot be given. Compare that "
                        "row of the PDF with its sheet in " +
                        text(global(module, "sec_excel_Path")) +
                        "; the SEC may have changed the list's layout.");
    }
}

void check_listed(const FirstRows& list, const py::handle& cusip) {
    if (!list.has(cusip)) {
        raise_error(PyExc_IndexError, "CUSIP " + std::string(py::repr(cusip)) +
                                          " of the reconciled holdings is not on the "
                                          "securities list (column CUSIPNO).");
    }
}

// The texts openfigi will be asked about, each once, in table order.
py::list cusip_texts(const py::list& cusips) {
    py::dict seen;
    for (py::handle cusip : cusips) seen[py::str(cusip)] = py::none();
    return py::list(seen);
}

// Everything of a row but its FIGI: what the list and the holdings give,
// found out (and failing) before any FIGI is asked for.
struct RowParts {
    py::object cusip, name, description, value, shares;
    py::str putcall;
};

RowParts row_parts(py::handle module, const FirstRows& list, const FirstRows& holdings,
                   const py::handle& cusip) {
    check_listed(list, cusip);
    py::object description = list.field(cusip, kIssuerDescription);
    return {py::reinterpret_borrow<py::object>(cusip),
            escaped(list.field(cusip, kIssuerName)),
            description,
            builtin("round")(holdings.field(cusip, kMarketValue)),
            builtin("round")(holdings.field(cusip, kQuantity)),
            put_or_call_of_listed(module, list, cusip, description)};
}

// A CUSIP held only through options has no holding: its entries give
// their own amounts.
RowParts option_parts(py::handle module, const FirstRows& list, const py::handle& cusip) {
    check_listed(list, cusip);
    py::object description = list.field(cusip, kIssuerDescription);
    return {py::reinterpret_borrow<py::object>(cusip), escaped(list.field(cusip, kIssuerName)),
            description, py::none(), py::none(),
            put_or_call_of_listed(module, list, cusip, description)};
}

// Without Data/Filer.xlsx every entry is shares, with sole discretion, no
// other manager and every share under voting authority None. The put/call
// column keeps the list's mark for the debug workbook unless the entry is
// the filer's put or call: the writer writes putCall only as the schema
// spells it ("Put", "Call"), which only the filer gives.
py::tuple information_row(const RowParts& row, const py::object& figi, const Entry& entry) {
    py::object put_call = entry.put_call.equal(py::str("")) ? py::object(row.putcall)
                                                             : py::object(entry.put_call);
    return py::make_tuple(row.name, escaped(row.description), row.cusip, figi, entry.value,
                          entry.shares, entry.type, put_call, entry.discretion,
                          entry.other_managers, entry.sole, entry.shared, entry.none);
}

// Why the run does not report a CUSIP of Filer.xlsx: its reason on the
// reconciliation's record, or that the portfolio does not hold it.
std::string reason_not_reported(const RunRecord* record, const py::object& cusip) {
    if (record == nullptr || !record->reconciled) return "not among the reconciled holdings";
    for (const HoldingOutcome& outcome : record->outcomes) {
        if (outcome.reason != nullptr && outcome.cusip.equal(cusip)) return outcome.reason;
    }
    return "not in the portfolio";
}

// The CUSIPs of the sheet "Holdings" that the run does not report: a
// warning line each, and their reason on the review.
void report_unused_rows(const FilerEntries& filer, const py::list& held) {
    RunRecord* record = RunRecord::current();
    py::set not_in_portfolio;
    for (const HoldingsRow* row : filer.unused_rows(held)) {
        std::string reason = reason_not_reported(record, row->cusip);
        builtin("print")(filer.workbook().place("Holdings", row->row) + ": CUSIP " +
                         text(row->cusip) + " is on Filer.xlsx, but " + reason +
                         ", so the row is not used.");
        if (record == nullptr || !record->reconciled) continue;
        if (reason != "not in the portfolio") {
            record->filer_unreported.add(row->cusip);
        } else if (!not_in_portfolio.contains(row->cusip)) {
            not_in_portfolio.add(row->cusip);
            record->filer_not_in_portfolio.push_back(row->cusip);
        }
    }
}

py::object listed_options() {
    const RunRecord* record = RunRecord::current();
    if (record == nullptr || !record->options_read) return py::none();
    return record->listed_options;
}

py::object information_table(py::handle module, const py::object& sec, const py::object& bswout) {
    // First appearance, not a set's order: the same inputs must give the same
    // debug workbook and the same order among equal issuer names.
    py::list cusips =
        key_column(bswout, "CUSIPID", kHoldings).attr("drop_duplicates")().attr("tolist")();
    // The manager's facts are checked whole before anything is looked up.
    FilerEntries filer(read_filer(module));
    py::list rows;
    if (!cusips.empty()) {
        FirstRows list(sec, "CUSIPNO", {"ISSUERNAME", "ISSUERDESCRIPTION"}, kList);
        FirstRows holdings(bswout, "CUSIPID",
                           {"TotalSettlementMarketValue", "TotalSettlementQuantity"}, kHoldings);
        filer.check_option_rows(list, listed_options());
        // A holding off the list, a list row without its description, an
        // amount that cannot be rounded or parts that do not add up stop the
        // report; finding out before the FIGI look-ups saves the requests of
        // a report that cannot be built.
        std::vector<RowParts> parts;
        for (py::handle cusip : cusips) parts.push_back(row_parts(module, list, holdings, cusip));
        py::list option_only = filer.option_only_cusips(cusips);
        for (py::handle cusip : option_only) parts.push_back(option_parts(module, list, cusip));
        std::vector<std::vector<Entry>> entries;
        for (const RowParts& row : parts) {
            entries.push_back(filer.entries_of(row.cusip, row.value, row.shares));
        }
        report_unused_rows(filer, cusips);
        py::list asked = cusips.attr("copy")();
        for (py::handle cusip : option_only) asked.append(cusip);
        ReportLookUps figis(module, cusip_texts(asked));
        for (size_t i = 0; i < parts.size(); ++i) {
            py::object figi = py::str(global(module, "openfigi")(py::str(parts[i].cusip)));
            for (const Entry& entry : entries[i]) rows.append(information_row(parts[i], figi, entry));
        }
    }
    return global(module, "pd").attr("DataFrame")(rows, "columns"_a = column_labels());
}

}  // namespace

py::object f13excel(py::handle module, py::object sec, py::object bswout) {
    print_trace(module);
    // Found out before any FIGI is asked for, not after.
    require_results_folder(global(module, "fres_path"));
    refuse_empty_report(module, bswout);
    py::object f13out = information_table(module, sec, bswout);
    // The debug workbook shows the rows in processing order, before the sort.
    global(module, "cleancusip")(f13out, "cusip", global(module, "fres_path"));
    f13out = f13out.attr("sort_values")("nameofissuer", "kind"_a = "stable");
    global(module, "createxml")(f13out);
    return py::none();
}

}  // namespace tavrin
