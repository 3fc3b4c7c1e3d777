#include "submission/original_table.hpp"

#include "common/files.hpp"

namespace tavrin {
namespace {

py::object original_path(py::handle module) {
    return py::module_::import("os").attr("path").attr("join")(global(module, "mydir"), "Data",
                                                              "Original.xml");
}

}  // namespace

std::set<EntryKey> original_entries(py::handle module) {
    py::object path = original_path(module);
    require_file(path,
                 "A NEW HOLDINGS amendment files only the entries the quarter's original filing "
                 "lacks; save the original filing's information table (its INFORMATION TABLE "
                 "document, as EDGAR shows it) as Data/Original.xml");
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
    for (const TableEntry& entry : original.entries) keys.insert(entry_key(entry.cusip, entry.put_call));
    return keys;
}

}  // namespace tavrin
