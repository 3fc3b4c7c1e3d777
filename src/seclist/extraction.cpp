// Extraction of the list's tables.
//
// tabula gives one table per page, the cover and information pages
// included (their rows carry no CUSIP and are dropped by the normaliser).
// The tables go one sheet each into the list workbook, and the stacked list
// is what that workbook reads back as, so every value is what the workbook
// reader makes of the stored cell.
//
// An extraction belongs to the PDF's bytes: the one made this run is kept
// in memory under the PDF's digest, and one made by an earlier run is taken
// from the store when its key still matches (list_store.cpp).
#include "seclist/extraction.hpp"

#include "common/files.hpp"
#include "common/explained.hpp"
#include "seclist/last_page.hpp"
#include "seclist/list_check.hpp"
#include "seclist/list_store.hpp"
#include "seclist/list_workbook.hpp"

#include <string>

namespace tavrin {
namespace {

// This run's extraction, kept in the module's globals.
constexpr const char* kThisRun = "_list_extraction";

// Top, left, bottom, right in points: leaves out the "Run Date"/"Run Time"
// band at the top and the left margin of every page.
py::list page_area() {
    py::list rectangle;
    for (int edge : {100, 50, 900, 900}) rectangle.append(edge);
    py::list area;
    area.append(rectangle);
    return area;
}

// What went wrong, in a few words: tabula-java's last line on its error
// stream when it ended badly, else the error's own text.
std::string what_tabula_said(py::error_already_set& error) {
    py::object said = py::getattr(error.value(), "stderr", py::none());
    if (py::isinstance<py::bytes>(said)) {
        said = said.attr("decode")("utf-8", "replace");
    }
    if (py::isinstance<py::str>(said)) {
        py::list lines = said.attr("strip")().attr("splitlines")();
        if (!lines.empty()) return text(lines[py::len(lines) - 1]);
    }
    return text(error.value());
}

py::object read_tables(py::handle module, const py::object& pdf, const std::string& described,
                       const std::string& advice) {
    try {
        // tabula-java's own logging (PDFBox's font fallback warnings, a
        // few dozen lines a run) is switched off; a failure still ends it
        // badly and is reported below. Subprocess mode measured faster than
        // jpype (benchmarks/engines.py), and asking for it spares the
        // warning tabula-py prints when jpype is not installed.
        return global(module, "read_pdf")(pdf, "pages"_a = global(module, "mydpages"),
                                          "area"_a = page_area(), "silent"_a = true,
                                          "force_subprocess"_a = true);
    } catch (py::error_already_set& error) {
        py::object java_missing = py::module_::import("tabula.errors").attr("JavaNotFoundError");
        if (error.matches(java_missing)) {
            raise_error(java_missing.ptr(),
                        "The list PDF is read with tabula, which needs Java: install a Java "
                        "runtime (on Debian: apt-get install default-jre-headless) and make sure "
                        "`java` is on the PATH.");
        }
        // A damaged or foreign file: tabula-java ends badly, or what it
        // gives back is not a table.
        if (error.matches(py::module_::import("subprocess").attr("CalledProcessError")) ||
            error.matches(PyExc_ValueError)) {
            raise_explained(error, described +
                                       " could not be read as the list of 13(f) securities (" +
                                       what_tabula_said(error) + "). " + advice);
        }
        throw;
    }
}

bool is_own_tabula(py::handle module) {
    try {
        return global(module, "read_pdf").is(py::module_::import("tabula.io").attr("read_pdf"));
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_Exception)) throw;
        return false;
    }
}

py::object this_runs(py::handle module) {
    PyObject* kept = PyDict_GetItemString(PyModule_GetDict(module.ptr()), kThisRun);
    return kept == nullptr ? py::none() : py::reinterpret_borrow<py::object>(kept);
}

bool belongs_to(const py::object& extraction, const std::string& digest) {
    return py::isinstance<py::dict>(extraction) &&
           py::reinterpret_borrow<py::dict>(extraction).contains("sha256") &&
           text(extraction["sha256"]) == digest;
}

}  // namespace

std::string file_sha256(const py::object& path) {
    py::object hashlib = py::module_::import("hashlib");
    py::object data = py::module_::import("pathlib").attr("Path")(path).attr("read_bytes")();
    return text(hashlib.attr("sha256")(data).attr("hexdigest")());
}

bool extracted_by_tabula(py::handle module) { return is_own_tabula(module); }

bool reuse_allowed(py::handle module) {
    py::object fresh = py::module_::import("os").attr("environ").attr("get")("TAVRIN_FRESH", "");
    return text(fresh) != "1" && is_own_tabula(module);
}

void remember_extraction(py::handle module, const py::dict& extraction) {
    PyDict_SetItemString(PyModule_GetDict(module.ptr()), kThisRun, extraction.ptr());
}

py::dict extract_list(py::handle module, const py::object& pdf, const py::object& workbook,
                      const std::string& described, const std::string& advice) {
    py::list tables =
        split_merged_headings(module, read_tables(module, pdf, described, advice));
    py::dict extraction;
    extraction["sha256"] = file_sha256(pdf);
    extraction["stacked"] = write_and_stack(module, tables, workbook);
    py::list lengths;
    for (const py::handle& table : tables) lengths.append(py::len(table));
    extraction["lengths"] = lengths;
    std::optional<long long> stated = stated_count(module, tables);
    extraction["stated"] = stated ? py::object(py::int_(*stated)) : py::object(py::none());
    auto period = printed_period(module, tables);
    extraction["period"] = period ? py::object(py::make_tuple(period->first, period->second))
                                  : py::object(py::none());
    return extraction;
}

py::dict extraction_of_stored_list(py::handle module) {
    py::object pdf = global(module, "sec_pdf_path");
    std::string digest = file_sha256(pdf);
    // This run's own extraction is no reuse; an earlier run's is.
    if (is_own_tabula(module)) {
        py::object kept = this_runs(module);
        if (belongs_to(kept, digest)) return kept;
    }
    bool reuse = reuse_allowed(module);
    if (reuse) {
        py::object stored = load_stored_extraction(module, digest);
        if (!stored.is_none()) {
            remember_extraction(module, stored);
            return stored;
        }
    }
    py::dict extraction;
    std::string described = "The stored list " + text(pdf);
    replace_whole(global(module, "sec_excel_Path"), ".partial.xlsx", [&](const py::object& partial) {
        extraction = extract_list(module, pdf, partial, described,
                                  "Delete it and run again to download it afresh.");
    });
    remember_extraction(module, extraction);
    // A host's stand-in tables are its own: they are not kept for later runs.
    if (is_own_tabula(module)) store_extraction(module, extraction);
    return extraction;
}

}  // namespace tavrin
