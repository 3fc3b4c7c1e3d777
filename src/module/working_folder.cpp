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

// A file name as it would read without the slips that keep it from being
// found: letter case, blanks around it, a copy's " (1)" or " - Copy", and an
// extension typed twice ("Portfolio.xlsx.xlsx", Windows hiding the first).
std::string name_without_slips(const std::string& name) {
    py::object re = py::module_::import("re");
    py::object key = py::str(name).attr("strip")().attr("lower")();
    key = re.attr("sub")(R"((\.xlsx)+$)", ".xlsx", key);
    key = re.attr("sub")(R"(\s*(\(\d+\)|-?\s*copy)\s*(?=\.[a-z]+$))", "", key);
    return py::str(key);
}

bool is_spreadsheet(const std::string& name) {
    std::string extension = name.substr(name.rfind('.') + 1);
    for (const char* kind : {"xls", "xlsm", "xlsb", "csv", "ods"}) {
        if (extension == kind) return true;
    }
    return false;
}

// Files beside a missing workbook that are surely meant as it, each with
// what to do: rename it, or save it from Excel as an .xlsx workbook when it
// is another kind of file ("Portfolio.csv", "Portfolio.xls").
std::string near_misses(const Expected& item) {
    py::object folder = item.path.attr("parent");
    if (!truthy(folder.attr("is_dir")())) return "";
    std::string wanted = py::str(item.path.attr("name"));
    std::string wanted_key = name_without_slips(wanted);
    std::string wanted_stem = wanted_key.substr(0, wanted_key.rfind('.'));
    std::string found;
    for (auto entry : builtin("sorted")(folder.attr("iterdir")())) {
        if (!truthy(entry.attr("is_file")())) continue;
        std::string name = py::str(entry.attr("name"));
        std::string key = name_without_slips(name);
        std::string advice;
        if (key == wanted_key) {
            advice = "rename it to " + wanted;
        } else if (key.substr(0, key.rfind('.')) == wanted_stem && is_spreadsheet(key)) {
            advice = "open it in Excel and save it as an .xlsx workbook named " + wanted;
        } else {
            continue;
        }
        found += (found.empty() ? "" : "; ") + std::string("\"") + name + "\": " + advice;
    }
    if (found.empty()) return "";
    return " (" + std::string(py::str(folder.attr("name"))) + " holds " + found + ")";
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
        if (!item.folder) missing += near_misses(item);
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
