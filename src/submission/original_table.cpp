#include "submission/original_table.hpp"

#include "common/files.hpp"
#include "compare/previous.hpp"
#include "inputs/filer.hpp"

namespace tavrin {
namespace {

py::object original_path(py::handle module) {
    return py::module_::import("os").attr("path").attr("join")(global(module, "mydir"), "Data",
                                                              "Original.xml");
}

// The quarter's filing as it stands on EDGAR, the original with any
// amendment filed since applied, found by the manager's CIK.
std::set<EntryKey> fetched_entries(py::handle module, const std::string& cik) {
    EdgarFiling filing;
    try {
        filing = fetch_filing(module, cik, global(module, "myYear").cast<int>(),
                              global(module, "myQuarter").cast<int>(), py::none());
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_ValueError) && !error.matches(PyExc_OSError)) throw;
        py::object refused = py::handle(PyExc_ValueError)(
            "A NEW HOLDINGS amendment files only the entries the quarter's original filing "
            "lacks, and that filing could not be fetched from EDGAR by the CIK " + cik + ": " +
            text(error.value()) + " Save the original filing's information table (its "
            "INFORMATION TABLE document, as EDGAR shows it) as Data/Original.xml and run again; "
            "nothing was written.");
        refused.attr("__cause__") = error.value();
        raise_instance(refused);
    }
    std::set<EntryKey> keys;
    for (const TableEntry& entry : filing.entries) keys.insert(entry_key(entry.cusip, entry.put_call));
    builtin("print")("NEW HOLDINGS amendment: the quarter's filing on EDGAR (" +
                     filing.forms.front() + " " + filing.accessions.front() + ") has " +
                     std::to_string(filing.entries.size()) + " entries; only the others are filed.");
    return keys;
}

}  // namespace

std::set<EntryKey> original_entries(py::handle module) {
    py::object path = original_path(module);
    FilerWorkbook filer = read_filer(module);
    py::object cik = filer.field("CIK");
    bool saved = truthy(py::module_::import("os").attr("path").attr("isfile")(path));
    if (!saved && !cik.is_none()) return fetched_entries(module, cik_text(cik, filer));
    require_file(path,
                 "A NEW HOLDINGS amendment files only the entries the quarter's original filing "
                 "lacks; save the original filing's information table (its INFORMATION TABLE "
                 "document, as EDGAR shows it) as Data/Original.xml, or give the manager's CIK "
                 "in Data/Filer.xlsx to have it fetched from EDGAR");
    std::string bytes = py::module_::import("pathlib").attr("Path")(path).attr("read_bytes")().cast<std::string>();
    InformationTable original;
    try {
        original = read_table(bytes);
    } catch (py::error_already_set& error) {
        if (!error.matches(py::module_::import("lxml.etree").attr("XMLSyntaxError"))) throw;
        raise_error(PyExc_ValueError, "The original filing's table " + text(path) +
                                          " is not an XML document (" + text(error.value()) +
                                          "); save the original filing's INFORMATION TABLE "
                                          "document there as it was filed.");
    }
    if (original.entries.empty()) {
        raise_error(PyExc_ValueError, "The original filing's table " + text(path) +
                                          " holds no infoTable entries; save the original "
                                          "filing's INFORMATION TABLE document there as it was filed.");
    }
    std::set<EntryKey> keys;
    for (const AttachedEntry& entry : original.entries) keys.insert(entry_key(entry.cusip, entry.put_call));
    return keys;
}

}  // namespace tavrin
