// A download is extracted and checked before it is stored: the stored list is
// replaced only by one that reads as the list of the quarter asked for, and
// then the PDF and its workbook are replaced one right after the other, each
// whole (a temporary file takes the name). Whatever the order of those two
// steps, an extraction is only ever used for the PDF bytes it was made from
// (its digest), so a run cut off between them reads the list afresh.
#include "seclist/take_list.hpp"

#include "common/files.hpp"
#include "seclist/extraction.hpp"
#include "seclist/list_check.hpp"
#include "seclist/list_store.hpp"

#include <string>

namespace tavrin {

namespace {

py::object os() { return py::module_::import("os"); }

py::str temporary_beside(const py::object& target, const char* ending) {
    return py::str(text(target) + "." +
                   text(py::module_::import("secrets").attr("token_hex")(4)) + ending);
}

void remove_if_there(const py::object& path) {
    try {
        if (truthy(os().attr("path").attr("exists")(path))) os().attr("remove")(path);
    } catch (py::error_already_set& cleanup) {
        if (!cleanup.matches(PyExc_Exception)) throw;
    }
}

// A folder standing where a file goes would stop the second replacement
// after the first was done.
void check_replaceable(const py::object& target) {
    if (!truthy(os().attr("path").attr("isdir")(target))) return;
    PyErr_SetObject(PyExc_IsADirectoryError,
                    py::make_tuple(21, "A folder stands where the list's file goes: move it "
                                       "away and run again; " + std::string(kListKept),
                                   target).ptr());
    throw py::error_already_set();
}

}  // namespace

void take_downloaded_list(py::handle module, const py::bytes& body, const py::object& url) {
    py::object pdf = global(module, "sec_pdf_path");
    py::object workbook = global(module, "sec_excel_Path");
    check_replaceable(pdf);
    check_replaceable(workbook);
    py::str new_pdf = temporary_beside(pdf, ".download");
    py::str new_workbook = temporary_beside(workbook, ".partial.xlsx");
    py::dict extraction;
    try {
        py::module_::import("pathlib").attr("Path")(new_pdf).attr("write_bytes")(body);
        std::string described = "The list downloaded from " + text(url);
        std::string kept = std::string(kListKept);
        extraction = extract_list(module, new_pdf, new_workbook, described,
                                  std::string("It was not stored; ") + kListKept +
                                      ". Run again; if it happens again, check "
                                      "TAVRIN_SEC_BASE_URL and any proxy.");
        check_is_quarters_list(module, extraction, described, kept, true);
        os().attr("replace")(new_workbook, workbook);
        os().attr("replace")(new_pdf, pdf);
    } catch (...) {
        remove_if_there(new_pdf);
        remove_if_there(new_workbook);
        throw;
    }
    if (!extracted_by_tabula(module)) return;  // a host's stand-in tables are its own
    remember_extraction(module, extraction);
    store_extraction(module, extraction);
}

void check_kept_list(py::handle module, const py::object& url) {
    py::dict extraction = extraction_of_stored_list(module);
    check_is_quarters_list(module, extraction,
                           "The stored list " + text(global(module, "sec_pdf_path")) +
                               ", which the SEC says is unchanged at " + text(url) + ",",
                           "delete it and run again to download it afresh", true);
}

}  // namespace tavrin
