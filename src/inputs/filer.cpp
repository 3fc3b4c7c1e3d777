#include "inputs/filer.hpp"

#include "common/run_record.hpp"
#include "common/tables.hpp"
#include "inputs/sheet_xml.hpp"

#include <string>

namespace tavrin {
namespace {

using namespace filer_sheet;

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

py::list headings_of(const py::object& sheet) {
    py::list headings;
    for (py::handle heading : py::list(sheet.attr("columns").attr("tolist")())) {
        headings.append(py::str(heading).attr("strip")());
    }
    return headings;
}

// Each row of `sheet` as a dict of its headings, numbered as Excel numbers
// the rows (headings in row 1, so the first data row is row 2). Rows with
// every cell blank are left out.
py::list sheet_rows(const py::object& sheet) {
    py::list rows;
    if (sheet.is_none()) return rows;
    py::list headings = headings_of(sheet);
    long number = 2;
    for (py::handle values : sheet.attr("itertuples")("index"_a = false, "name"_a = py::none())) {
        py::dict row;
        bool any = false;
        size_t position = 0;
        for (py::handle value : values) {
            py::object cell = cell_value(value);
            any = any || !cell.is_none();
            row[headings[position++]] = cell;
        }
        row["row"] = number++;
        if (any) rows.append(row);
    }
    return rows;
}

void manager_fields(const py::object& sheet, FilerWorkbook& filer) {
    for (py::handle row : sheet_rows(sheet)) {
        if (!row.contains("Field")) continue;
        py::object label = row["Field"];
        if (label.is_none()) continue;
        py::str name(label);
        filer.manager[name] = row.contains("Value") ? py::object(row["Value"]) : py::none();
        filer.manager_rows[name] = row["row"];
    }
}

std::string column_of(const py::object& sheet, long column) {
    std::string letter = column_letter(static_cast<size_t>(column));
    py::list headings = headings_of(sheet);
    if (column >= static_cast<long>(headings.size())) return letter;
    return letter + " (\"" + text(headings[static_cast<size_t>(column)]) + "\")";
}

// Formulas whose results were never saved read as blank cells.
void check_saved_results(const FilerWorkbook& filer, const char* name, const py::object& sheet) {
    SheetFacts facts = sheet_facts(filer.path, name);
    if (facts.unsaved_formulas.empty()) return;
    const CellAddress& first = facts.unsaved_formulas.front();
    raise_error(PyExc_TypeError,
                filer.place(name, py::int_(first.row)) + ", column " + column_of(sheet, first.column) +
                    ": the cell holds a formula whose result was never saved, so it reads as "
                    "empty. Open the workbook in Excel and save it, so that the results are "
                    "stored, or enter the value itself.");
}

void check_table_cells(const FilerWorkbook& filer, const char* name, const py::list& rows) {
    for (py::handle row : rows) {
        for (auto item : py::reinterpret_borrow<py::dict>(row)) {
            if (text(item.first) == "row") continue;
            require_no_logical_or_date(item.second, filer.place(name, row["row"]) + ", column \"" +
                                                        text(item.first) + "\"");
        }
    }
}

// An open workbook is locked by Excel; a file that is no .xlsx package
// cannot be read at all. Either message says which file and what to do.
py::dict read_sheets(py::handle module, const py::object& path) {
    try {
        return global(module, "pd").attr("read_excel")(
            path, "sheet_name"_a = py::none(), "header"_a = 0,
            "dtype"_a = py::module_::import("builtins").attr("object"), "engine"_a = "calamine");
    } catch (py::error_already_set& error) {
        if (error.matches(PyExc_PermissionError)) {
            raise_error(PyExc_PermissionError,
                        "Filer workbook " + text(path) + " cannot be opened: another program "
                        "holds it, or this account may not read it. Close it in Excel and run "
                        "again.");
        }
        if (!error.matches(PyExc_Exception) || error.matches(PyExc_OSError)) throw;
        raise_error(PyExc_ValueError, "Filer workbook " + text(path) +
                                          " cannot be read as an Excel workbook (" +
                                          text(error.value()) +
                                          "). Save it from Excel as an .xlsx workbook and run "
                                          "again.");
    }
}

}  // namespace

py::object FilerWorkbook::field(const char* label) const {
    return manager.contains(label) ? py::object(manager[label]) : py::none();
}

std::string FilerWorkbook::place(const char* sheet, const py::handle& row) const {
    return "Filer workbook " + text(path) + ", sheet \"" + sheet + "\", row " + text(row);
}

void require_no_logical_or_date(const py::handle& value, const std::string& where) {
    if (PyBool_Check(value.ptr())) {
        raise_error(PyExc_TypeError, where + ": the cell holds the logical value " +
                                         std::string(truthy(value) ? "TRUE" : "FALSE") +
                                         ", which Tavrin does not read. Enter the value as "
                                         "text or a number, as the README shows for the sheet.");
    }
    py::object datetime = py::module_::import("datetime");
    for (const char* kind : {"date", "time", "timedelta"}) {
        if (py::isinstance(value, datetime.attr(kind))) {
            raise_error(PyExc_TypeError,
                        where + ": the cell holds the date or time " + text(value) +
                            ", which Tavrin does not read. Format the cell as text or a "
                            "number and enter the value, as the README shows for the sheet.");
        }
    }
}

namespace {

FilerWorkbook read_filer_workbook(py::handle module) {
    FilerWorkbook filer;
    filer.path = global(module, "filer_path");
    py::object os = py::module_::import("os");
    if (!truthy(os.attr("path").attr("isfile")(filer.path))) return filer;
    filer.present = true;
    py::dict sheets = read_sheets(module, filer.path);
    filer.sheet_names = py::list(sheets.attr("keys")());
    auto sheet = [&](const char* name) {
        return sheets.contains(name) ? py::object(sheets[name]) : py::object(py::none());
    };
    for (const char* name : {kManager, kOtherManagers, kHoldings}) {
        if (!sheet(name).is_none()) check_saved_results(filer, name, sheet(name));
    }
    manager_fields(sheet(kManager), filer);
    filer.other_managers = sheet_rows(sheet(kOtherManagers));
    filer.holdings = sheet_rows(sheet(kHoldings));
    filer.reporting_managers = sheet_rows(sheet(kReportingManagers));
    check_table_cells(filer, kOtherManagers, filer.other_managers);
    check_table_cells(filer, kHoldings, filer.holdings);
    filer.other_managers_headings =
        sheet(kOtherManagers).is_none() ? py::object(py::none()) : py::object(headings_of(sheet(kOtherManagers)));
    filer.holdings_headings =
        sheet(kHoldings).is_none() ? py::object(py::none()) : py::object(headings_of(sheet(kHoldings)));
    return filer;
}

}  // namespace

// The table, the comparison and the submission each ask; during a run the
// workbook is read (and warned about) once.
FilerWorkbook read_filer(py::handle module) {
    RunRecord* record = RunRecord::current();
    if (record && record->filer) return *record->filer;
    FilerWorkbook filer = read_filer_workbook(module);
    if (record) record->filer = std::make_shared<const FilerWorkbook>(filer);
    return filer;
}

}  // namespace tavrin
