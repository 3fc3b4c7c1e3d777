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

std::vector<Expected> expected_items(py::handle module) {
    py::object portfolio = as_path(global(module, "raw_path"));
    py::object removals = as_path(global(module, "rem_path"));
    return {
        {"the Data folder", portfolio.attr("parent"), true},
        {"the Store folder", as_path(global(module, "sec_pdf_path")).attr("parent"), true},
        {"the Results folder", as_path(global(module, "fres_path")).attr("parent"), true},
        {"the portfolio workbook", portfolio, false},
        {"the removal workbook", removals, false},
    };
}

bool exists(const Expected& item) {
    return truthy(item.path.attr(item.folder ? "is_dir" : "is_file")());
}

}  // namespace

void require_working_folder(py::handle module) {
    std::string missing;
    for (const Expected& item : expected_items(module)) {
        if (exists(item)) continue;
        missing += (missing.empty() ? "" : "; ") + item.what + " " + text(item.path);
    }
    if (missing.empty()) return;
    py::object current = py::module_::import("os").attr("getcwd")();
    std::string message =
        "Missing in the working folder (the current folder is " + text(current) + "): " +
        missing + ". `import Tavrin` runs in the working folder: start the host script from "
        "the folder that holds Data (with Portfolio.xlsx and Removal.xlsx), Store and Results, "
        "or create what is missing there";
    PyErr_SetObject(PyExc_FileNotFoundError, py::make_tuple(2, message, current).ptr());
    throw py::error_already_set();
}

}  // namespace tavrin
