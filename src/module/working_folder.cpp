// The working folder checked as a whole before the run starts: a host
// started from the wrong folder should hear about everything that is
// missing at once, not one item per run after a download each.
#include "module/module.hpp"

#include <string>
#include <vector>

namespace tavrin {
namespace {

struct Expected {
    std::string what;
    py::object path;
    bool folder;
};

py::object as_path(const py::object& file) {
    return py::module_::import("pathlib").attr("Path")(file);
}

// In the order the run needs them: the list goes to Store, the workbooks
// come from Data, the report goes to Results.
std::vector<Expected> expected_items(py::handle module) {
    py::object portfolio = as_path(global(module, "raw_path"));
    py::object removals = as_path(global(module, "rem_path"));
    return {
        {"the Store folder", as_path(global(module, "sec_pdf_path")).attr("parent"), true},
        {"the Data folder", portfolio.attr("parent"), true},
        {"the portfolio workbook", portfolio, false},
        {"the removal workbook", removals, false},
        {"the Results folder", as_path(global(module, "fres_path")).attr("parent"), true},
    };
}

bool exists(const Expected& item) {
    return truthy(item.path.attr(item.folder ? "is_dir" : "is_file")());
}

}  // namespace

// The error's file name is the first item missing, as for any missing file;
// the message lists them all.
void require_working_folder(py::handle module) {
    std::string missing;
    py::object first;
    for (const Expected& item : expected_items(module)) {
        if (exists(item)) continue;
        if (!first) first = py::str(item.path);
        missing += (missing.empty() ? "" : "; ") + item.what + " " + text(item.path);
    }
    if (missing.empty()) return;
    py::object current = py::module_::import("os").attr("getcwd")();
    std::string message =
        "Missing in the working folder (the current folder is " + text(current) + "): " +
        missing + ". `import Tavrin` runs in the working folder: start the host script from "
        "the folder that holds Data (with Portfolio.xlsx and Removal.xlsx), Store and Results, "
        "or create what is missing there";
    PyErr_SetObject(PyExc_FileNotFoundError, py::make_tuple(2, message, first).ptr());
    throw py::error_already_set();
}

}  // namespace tavrin
