#include "inputs/filer.hpp"

namespace tavrin {
namespace {

constexpr const char* kManager = "Manager";

// Cells that are blank come back from pandas as NaN or NaT; the facts keep
// them as None, so "not given" has one shape.
py::object cell_value(const py::handle& value) {
    py::object isna = py::module_::import("pandas").attr("isna");
    if (py::isinstance<py::str>(value)) {
        py::str stripped = py::str(value).attr("strip")();
        return py::len(stripped) == 0 ? py::none() : py::object(stripped);
    }
    if (truthy(isna(value))) return py::none();
    return py::reinterpret_borrow<py::object>(value);
}

// Each row of `sheet` as a dict of its headings, numbered as Excel numbers
// the rows (headings in row 1, so the first data row is row 2). Rows with
// every cell blank are left out.
py::list sheet_rows(const py::object& sheet) {
    py::list rows;
    if (sheet.is_none()) return rows;
    py::list headings = sheet.attr("columns").attr("tolist")();
    long number = 2;
    for (py::handle values : sheet.attr("itertuples")("index"_a = false, "name"_a = py::none())) {
        py::dict row;
        bool any = false;
        size_t position = 0;
        for (py::handle value : values) {
            py::object cell = cell_value(value);
            any = any || !cell.is_none();
            row[py::str(headings[position++]).attr("strip")()] = cell;
        }
        row["row"] = number++;
        if (any) rows.append(row);
    }
    return rows;
}

py::dict manager_fields(const py::object& sheet) {
    py::dict fields;
    for (py::handle row : sheet_rows(sheet)) {
        py::object label = row["Field"];
        if (label.is_none()) continue;
        fields[py::str(label)] = row["Value"];
    }
    return fields;
}

}  // namespace

py::object FilerWorkbook::field(const char* label) const {
    return manager.contains(label) ? py::object(manager[label]) : py::none();
}

FilerWorkbook read_filer(py::handle module) {
    FilerWorkbook filer;
    filer.path = global(module, "filer_path");
    py::object os = py::module_::import("os");
    if (!truthy(os.attr("path").attr("isfile")(filer.path))) return filer;
    filer.present = true;
    py::dict sheets = global(module, "pd").attr("read_excel")(
        filer.path, "sheet_name"_a = py::none(), "dtype"_a = py::module_::import("builtins").attr("object"),
        "engine"_a = "calamine");
    auto sheet = [&](const char* name) {
        return sheets.contains(name) ? py::object(sheets[name]) : py::object(py::none());
    };
    filer.manager = manager_fields(sheet(kManager));
    filer.other_managers = sheet_rows(sheet("Other managers"));
    filer.holdings = sheet_rows(sheet("Holdings"));
    filer.reporting_managers = sheet_rows(sheet("Reporting managers"));
    return filer;
}

}  // namespace tavrin
