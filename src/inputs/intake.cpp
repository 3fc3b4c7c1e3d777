// Intake of the manager's two workbooks.
//
// The portfolio is a custodian's position report: a title row, headings
// split over row 2 and a second heading row further down, column C marking
// every row that is a heading or a holding (blank lines and notes have it
// empty). The removal list is a plain table with one heading row.
#include "common/files.hpp"
#include "common/run_record.hpp"
#include "common/tables.hpp"
#include "inputs/inputs.hpp"
#include "inputs/removal_checks.hpp"
#include "inputs/sheet_xml.hpp"

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace tavrin {
namespace {

// calamine reads .xlsx several times faster than openpyxl, with the same values.
constexpr const char* kReader = "calamine";
constexpr int kNamedColumns = 15;  // A to O may take their names from the second heading row
constexpr long kMarker = 2;        // column C
constexpr long kFirstAmount = 9;   // columns J ...
constexpr long kLastAmount = 13;   // ... to N
// Read with row 2 as the heading row, the reader's row 0 is the sheet's row 3.
constexpr long kFirstDataRow = 3;
constexpr const char* kCusipHeading = "CUSIPID";

constexpr const char* kPortfolioShape =
    " The portfolio must have a title in row 1, headings in row 2 with cell C2 empty, "
    "at least fifteen columns (A to O), and below them a second heading row and the "
    "holdings, each with column C filled.";

constexpr const char* kNoDataFolder =
    "The Data folder for the workbooks does not exist; create it in the working folder "
    "beside Store and Results, with Portfolio.xlsx and Removal.xlsx in it";

// The message says all there is, so the reader's exception and its long
// traceback are not shown under it (Python's "raise ... from None").
void suppress_chain(const py::object& error) {
    error.attr("__cause__") = py::none();
    error.attr("__suppress_context__") = true;
}

// Excel keeps an open workbook locked; on Windows reading it then fails.
[[noreturn]] void raise_locked(const std::string& what, const py::object& path) {
    py::object locked = py::handle(PyExc_PermissionError)(
        13,
        what + " " + text(path) + " cannot be opened: another program holds it, or this "
               "account may not read it. Close it in Excel (or the program that has it "
               "open) and run again.",
        path);
    suppress_chain(locked);
    raise_instance(locked);
}

// A missing folder or workbook, or a file that is not an .xlsx workbook,
// gets a message that says which file and what it must be; the reader's own
// words follow in the message, which replaces the reader's exception.
py::object read_workbook(py::handle module, const py::object& path, const std::string& what,
                         const std::string& missing_advice, py::kwargs options) {
    require_folder_of(path, kNoDataFolder);
    require_file(path, missing_advice);
    options["engine"] = kReader;
    try {
        return global(module, "pd").attr("read_excel")(path, **options);
    } catch (py::error_already_set& error) {
        if (error.matches(PyExc_PermissionError)) raise_locked(what, path);
        if (!error.matches(PyExc_Exception) || error.matches(PyExc_OSError)) throw;
        py::object unreadable = py::handle(PyExc_ValueError)(
            what + " " + text(path) + " cannot be read as an Excel workbook (" +
            text(error.value()) + "). Save it from Excel as an .xlsx workbook and run again.");
        suppress_chain(unreadable);
        raise_instance(unreadable);
    }
}

bool is_cusip_heading(const py::handle& label) {
    if (!PyUnicode_Check(label.ptr())) return false;
    py::object cleaned = py::reinterpret_borrow<py::str>(label).attr("replace")(" ", "").attr(
        "replace")(":", "");
    return text(cleaned) == kCusipHeading;
}

// The sheets of the portfolio workbook, or none when it cannot be opened.
py::list sheet_names(py::handle module, const py::object& path) {
    try {
        py::object book = global(module, "pd").attr("ExcelFile")(path, "engine"_a = kReader);
        py::list names = book.attr("sheet_names");
        book.attr("close")();
        return names;
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_Exception)) throw;
        return py::list();
    }
}

// A later sheet with a "CUSIP ID" heading near its top, or an empty text.
std::string sheet_like_the_report(py::handle module, const py::object& path,
                                  const py::list& names) {
    try {
        py::object pd = global(module, "pd");
        for (size_t i = 1; i < names.size(); ++i) {
            py::object sheet = pd.attr("read_excel")(path, "sheet_name"_a = names[i],
                                                     "header"_a = py::none(), "nrows"_a = 20,
                                                     "engine"_a = kReader);
            for (auto value : sheet.attr("values").attr("ravel")().attr("tolist")()) {
                if (is_cusip_heading(value)) return text(names[i]);
            }
        }
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_Exception)) throw;
    }
    return "";
}

// Before a complaint about the first sheet: when another sheet looks like
// the position report (a cover sheet in front of it), the complaint names
// that sheet instead, under the class the first sheet's fault has.
void point_to_position_sheet(py::handle module, const py::object& path, PyObject* type) {
    py::list names = sheet_names(module, path);
    if (names.size() < 2) return;
    std::string found = sheet_like_the_report(module, path, names);
    if (found.empty()) return;
    raise_error(type, "Portfolio workbook " + text(path) + ": its first sheet \"" +
                          text(names[0]) + "\" holds no position report, but sheet \"" + found +
                          "\" looks like one (it has a \"CUSIP ID\" heading). Only the first "
                          "sheet is read: move \"" + found + "\" to the front of the workbook "
                          "and run again.");
}

[[noreturn]] void raise_shape_error(py::handle module, const py::object& path, PyObject* type,
                                    const std::string& message) {
    point_to_position_sheet(module, path, type);
    raise_error(type, message);
}

// The first sheet's rows as they stand, when the workbook can be read.
long first_sheet_rows(py::handle module, const py::object& path) {
    try {
        py::object sheet = global(module, "pd").attr("read_excel")(
            path, "header"_a = py::none(), "engine"_a = kReader);
        return static_cast<long>(py::len(sheet));
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_Exception)) throw;
        return -1;
    }
}

py::object read_portfolio(py::handle module, const py::object& path) {
    py::kwargs options;
    options["header"] = 1;
    try {
        return read_workbook(module, path, "Portfolio workbook",
                             "The portfolio workbook does not exist; save the custodian's "
                             "position report here as Portfolio.xlsx",
                             options);
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_ValueError)) throw;
        // A workbook whose first sheet is too short for row-2 headings is
        // readable all the same, and the message should say so.
        long rows = first_sheet_rows(module, path);
        if (rows < 0 || rows >= 2) throw;
        py::list names = sheet_names(module, path);
        std::string sheet = names.empty() ? "" : " \"" + text(names[0]) + "\"";
        raise_shape_error(module, path, PyExc_ValueError,
                          "Portfolio workbook " + text(path) + ": its first sheet" + sheet +
                              " has " + std::to_string(rows) +
                              " row(s), so there are no headings in row 2." + kPortfolioShape);
    }
}

// The cell of row 1 headed like the CUSIP column, as "D1", or an empty
// text: a plain table with its headings in row 1 is the commonest wrong
// layout, and saying so helps more than "cell C2 is not empty".
std::string cusip_heading_in_row_1(py::handle module, const py::object& path) {
    try {
        py::object first = global(module, "pd").attr("read_excel")(
            path, "header"_a = py::none(), "nrows"_a = 1, "engine"_a = kReader);
        py::list values = first.attr("values").attr("ravel")().attr("tolist")();
        for (size_t i = 0; i < values.size(); ++i) {
            if (!PyUnicode_Check(values[i].ptr())) continue;
            std::string heading = py::str(values[i].attr("strip")().attr("upper")());
            if (is_cusip_heading(values[i]) || heading == "CUSIP") return column_letter(i) + "1";
        }
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_Exception)) throw;
    }
    return "";
}

void check_portfolio_columns(py::handle module, const py::object& df, const py::object& path) {
    py::list labels = df.attr("columns").attr("tolist")();
    if (labels.empty()) {
        py::list names = sheet_names(module, path);
        std::string sheet = names.empty() ? "" : " \"" + text(names[0]) + "\"";
        raise_shape_error(module, path, PyExc_KeyError,
                          "Portfolio workbook " + text(path) + ": its first sheet" + sheet +
                              " is empty." + kPortfolioShape);
    }
    if (!labels.contains("Unnamed: 2")) {
        std::string cell = cusip_heading_in_row_1(module, path);
        if (!cell.empty()) {
            raise_shape_error(module, path, PyExc_KeyError,
                              "Portfolio workbook " + text(path) + ": its headings are in row 1 "
                              "(cell " + cell + " heads the CUSIPs), as in a plain table; the "
                              "portfolio is read as the custodian's position report." +
                                  kPortfolioShape);
        }
        raise_shape_error(module, path, PyExc_KeyError,
                          "Portfolio workbook " + text(path) +
                              ": cell C2 is not empty; column C marks the heading and holding "
                              "rows." + kPortfolioShape);
    }
    if (labels.size() < kNamedColumns) {
        raise_shape_error(module, path, PyExc_IndexError,
                          "Portfolio workbook " + text(path) + " has only " +
                              std::to_string(labels.size()) + " columns." + kPortfolioShape);
    }
}

void check_rows_left(py::handle module, const py::object& df, const py::object& path,
                     const char* missing) {
    if (py::len(df) == 0) {
        raise_shape_error(module, path, PyExc_IndexError,
                          "Portfolio workbook " + text(path) + " has no " + missing + "." +
                              kPortfolioShape);
    }
}

// Columns A to O whose row-2 cell was empty take their names from the
// second heading row; later columns keep the reader's "Unnamed: N".
py::object complete_headings(py::object df) {
    for (int i = 0; i < kNamedColumns; ++i) {
        py::object name = df.attr("iloc")[py::make_tuple(0, i)];
        py::dict mapping;
        mapping[py::str("Unnamed: " + std::to_string(i))] = name;
        df = df.attr("rename")("columns"_a = mapping);
    }
    return df;
}

// The sheet as the reader gave it, by position, before any row is dropped.
struct Sheet {
    py::object path;
    py::list labels;               // the completed headings, by column
    std::vector<bool> from_row_2;  // whether a heading came from row 2
    std::vector<py::list> columns;
    std::vector<std::vector<bool>> missing;
    long heading = -1;  // position of the second heading row
    long cusip = -1;    // position of the CUSIP column, -1 when there is none

    bool filled(long row, long column) const { return !missing[column][row]; }
    py::object cell(long row, long column) const { return columns[column][row]; }
    long rows() const { return static_cast<long>(missing.empty() ? 0 : missing[0].size()); }
    long sheet_row(long row) const { return row + kFirstDataRow; }
};

Sheet read_sheet(const py::object& df, const py::object& path) {
    Sheet sheet;
    sheet.path = path;
    py::list labels = df.attr("columns").attr("tolist")();
    size_t width = labels.size();
    for (size_t i = 0; i < width; ++i) {
        py::object column = df.attr("iloc")[py::make_tuple(py::slice(0, py::len(df), 1), i)];
        sheet.columns.push_back(column.attr("tolist")());
        std::vector<bool> missing;
        for (auto flag : column.attr("isna")().attr("tolist")()) missing.push_back(flag.cast<bool>());
        sheet.missing.push_back(std::move(missing));
    }
    for (long row = 0; row < sheet.rows(); ++row) {
        if (sheet.filled(row, kMarker)) {
            sheet.heading = row;
            break;
        }
    }
    for (size_t i = 0; i < width; ++i) {
        py::object label = labels[i];
        bool unnamed = text(label) == "Unnamed: " + std::to_string(i);
        bool named_below = unnamed && static_cast<int>(i) < kNamedColumns && sheet.heading >= 0;
        sheet.labels.append(named_below ? sheet.cell(sheet.heading, static_cast<long>(i)) : label);
        sheet.from_row_2.push_back(!named_below);
    }
    return sheet;
}

// "M (\"Total Settlement Quantity\")", or the letter alone when the column
// has no heading in either heading row.
std::string column_name(const Sheet& sheet, long column) {
    py::object label = sheet.labels[static_cast<size_t>(column)];
    std::string letter = column_letter(static_cast<size_t>(column));
    if (!PyUnicode_Check(label.ptr())) return letter;
    return letter + " (\"" + text(label) + "\")";
}

// Two columns both headed "CUSIP ID" would make every CUSIP ambiguous.
void find_cusip_column(Sheet& sheet) {
    std::vector<long> found;
    for (size_t i = 0; i < sheet.labels.size(); ++i) {
        if (is_cusip_heading(sheet.labels[i])) found.push_back(static_cast<long>(i));
    }
    if (found.size() == 1) sheet.cusip = found.front();
    if (found.size() < 2) return;
    std::string columns;
    for (size_t k = 0; k < found.size(); ++k) {
        long column = found[k];
        if (k > 0) columns += k + 1 == found.size() ? " and " : ", ";
        columns += column_letter(static_cast<size_t>(column)) + " (\"" +
                   text(sheet.labels[static_cast<size_t>(column)]) + "\" in " +
                   (sheet.from_row_2[static_cast<size_t>(column)]
                        ? std::string("row 2")
                        : "the second heading row, row " +
                              std::to_string(sheet.sheet_row(sheet.heading))) +
                   ")";
    }
    raise_error(PyExc_KeyError, "Portfolio workbook " + text(sheet.path) + " has " +
                                    std::to_string(found.size()) + " CUSIP columns: " + columns +
                                    ". Head one column \"CUSIP ID\" and rename or clear the "
                                    "other heading.");
}

bool same_cusip(const Sheet& sheet, long row, long other) {
    if (sheet.cusip < 0 || !sheet.filled(row, sheet.cusip) || !sheet.filled(other, sheet.cusip)) {
        return false;
    }
    return clean_identifier(sheet.cell(row, sheet.cusip))
        .equal(clean_identifier(sheet.cell(other, sheet.cusip)));
}

// Lots of one security whose column C is merged across their rows: only
// the first row has C filled, so the rows below it would be no holdings.
// A row inside the merged range that has C empty and the same CUSIP as the
// range's first row is a lot of that holding and gets its description.
void attribute_merged_lots(py::object& df, Sheet& sheet, const SheetFacts& facts) {
    for (const CellRange& range : facts.merged) {
        if (range.first.column > kMarker || range.last.column < kMarker) continue;
        long top = range.first.row - kFirstDataRow;
        if (top <= sheet.heading || top >= sheet.rows() || !sheet.filled(top, kMarker)) continue;
        for (long row = top + 1; row <= range.last.row - kFirstDataRow && row < sheet.rows();
             ++row) {
            if (sheet.filled(row, kMarker) || !same_cusip(sheet, top, row)) continue;
            py::object description = sheet.cell(top, kMarker);
            df.attr("iat")[py::make_tuple(row, kMarker)] = description;
            sheet.columns[kMarker][static_cast<size_t>(row)] = description;
            sheet.missing[kMarker][static_cast<size_t>(row)] = false;
        }
    }
}

bool holds_amount(const Sheet& sheet, long row) {
    for (long column = kFirstAmount; column <= kLastAmount; ++column) {
        if (sheet.filled(row, column)) return true;
    }
    return false;
}

bool holds_cusip_or_amount(const Sheet& sheet, long row) {
    return (sheet.cusip >= 0 && sheet.filled(row, sheet.cusip)) || holds_amount(sheet, row);
}

// A custodian's totals line ("Total", "Grand Total", "TOTALS") has column C
// filled and no CUSIP; it is told apart so the review can say what it is.
bool reads_like_totals(const py::object& marker) {
    if (!PyUnicode_Check(marker.ptr())) return false;
    std::string lower = py::str(marker.attr("lower")());
    return lower.find("total") != std::string::npos;
}

// Error values by cell, as (sheet row, column).
using ErrorCells = std::map<std::pair<long, long>, std::string>;

ErrorCells error_cells(const SheetFacts& facts) {
    ErrorCells errors;
    for (const auto& [at, shown] : facts.errors) errors[{at.row, at.column}] = shown;
    return errors;
}

// "is empty", or what an error value shows where the reader saw nothing.
std::string emptiness(const Sheet& sheet, const ErrorCells& errors, long row, long column) {
    auto found = errors.find({sheet.sheet_row(row), column});
    return found == errors.end() ? "is empty" : "holds the error value " + found->second;
}

// Why a row below the second heading row is no holding although it holds
// a CUSIP or an amount, or an empty text when it is read as one.
std::string why_not_read(const Sheet& sheet, const ErrorCells& errors, long row) {
    if (!sheet.filled(row, kMarker)) {
        if (!holds_cusip_or_amount(sheet, row)) return "";
        return "column C " + emptiness(sheet, errors, row, kMarker) +
               ": the row is read as a holding only when column C is filled";
    }
    if (sheet.cusip < 0 || sheet.filled(row, sheet.cusip) || !holds_amount(sheet, row)) return "";
    std::string cusip = "column " + column_name(sheet, sheet.cusip) + " " +
                        emptiness(sheet, errors, row, sheet.cusip);
    py::object marker = sheet.cell(row, kMarker);
    if (reads_like_totals(marker)) {
        return "a totals row: column C reads " + repr_text(py::str(marker)) + " and " + cusip +
               ", so its amounts are not a holding";
    }
    return cusip + ": a holding is read only with its CUSIP there";
}

// Rows below the second heading row that hold a CUSIP or an amount but
// have column C or the CUSIP empty are not read; the run's review lists
// them, each with its reason, so no amount of the sheet goes unseen.
void record_unread_rows(const Sheet& sheet, const SheetFacts& facts) {
    RunRecord* record = RunRecord::current();
    if (record == nullptr) return;
    record->portfolio_headings = py::list();
    record->unread_rows.clear();
    for (size_t i = 0; i < sheet.labels.size(); ++i) {
        py::object label = sheet.labels[i];
        std::string letter = column_letter(i);
        record->portfolio_headings.append(PyUnicode_Check(label.ptr()) ? letter + ": " + text(label)
                                                                       : letter);
    }
    ErrorCells errors = error_cells(facts);
    for (long row = sheet.heading + 1; row < sheet.rows(); ++row) {
        std::string why = why_not_read(sheet, errors, row);
        if (why.empty()) continue;
        py::list cells;
        for (size_t column = 0; column < sheet.columns.size(); ++column) {
            bool missing = sheet.missing[column][static_cast<size_t>(row)];
            cells.append(missing ? py::none() : sheet.cell(row, static_cast<long>(column)));
        }
        record->unread_rows.push_back({py::int_(sheet.sheet_row(row)), why, cells});
    }
}

// An amount cell the reader cannot give as a number: a formula whose result
// was never saved reads as empty and a logical value as 0 or 1, so either
// would silently change what is reported.
struct AmountProblem {
    long row;
    long column;
    std::string what;
    std::string advice;
};

constexpr const char* kSaveInExcel =
    "Open the workbook in Excel and save it, so that the results are stored, or enter the "
    "number itself.";
constexpr const char* kSaveTextInExcel =
    "Open the workbook in Excel and save it, so that the results are stored, or enter the "
    "text itself.";
constexpr const char* kEnterNumber =
    "Enter the amount as a number; where a formula gives it, correct the formula, then open "
    "and save the workbook in Excel.";

constexpr const char* kUnsaved =
    "holds a formula whose result was never saved, so it reads as empty";

std::vector<AmountProblem> amount_problems(const Sheet& sheet,
                                           const std::set<std::pair<long, long>>& unsaved,
                                           const ErrorCells& errors) {
    std::vector<AmountProblem> problems;
    for (long row = sheet.heading + 1; row < sheet.rows(); ++row) {
        if (!sheet.filled(row, kMarker) || !sheet.filled(row, sheet.cusip)) continue;
        for (long column = kFirstAmount; column <= kLastAmount; ++column) {
            py::object value = sheet.cell(row, column);
            auto error = errors.find({sheet.sheet_row(row), column});
            if (error != errors.end()) {
                problems.push_back({row, column,
                                    "holds the error value " + error->second +
                                        ", which is not a number (it would read as empty)",
                                    kEnterNumber});
                continue;
            }
            if (PyBool_Check(value.ptr())) {
                problems.push_back({row, column,
                                    "holds the logical value " +
                                        std::string(truthy(value) ? "TRUE" : "FALSE") +
                                        ", which is not a number",
                                    kEnterNumber});
            } else if (unsaved.count({sheet.sheet_row(row), column})) {
                problems.push_back({row, column, kUnsaved, kSaveInExcel});
            }
        }
    }
    return problems;
}

// Column C and the CUSIP decide whether a row is a holding at all; read as
// empty, a formula there would drop the row or send it to "Rows not read".
std::vector<AmountProblem> marker_problems(const Sheet& sheet,
                                           const std::set<std::pair<long, long>>& unsaved) {
    std::vector<AmountProblem> problems;
    for (long row = sheet.heading + 1; row < sheet.rows(); ++row) {
        for (long column : {kMarker, sheet.cusip}) {
            if (unsaved.count({sheet.sheet_row(row), column})) {
                problems.push_back({row, column, kUnsaved, kSaveTextInExcel});
            }
        }
    }
    return problems;
}

std::string problem_place(const Sheet& sheet, const AmountProblem& problem) {
    std::string place = "Portfolio workbook " + text(sheet.path) + ", row " +
                        std::to_string(sheet.sheet_row(problem.row));
    if (problem.column != sheet.cusip && sheet.filled(problem.row, sheet.cusip)) {
        place += ", CUSIP " + text(clean_identifier(sheet.cell(problem.row, sheet.cusip)));
    }
    return place + ", column " + column_name(sheet, problem.column);
}

void check_amount_cells(const Sheet& sheet, const SheetFacts& facts) {
    if (sheet.cusip < 0) return;  // the missing heading is named where the CUSIPs are read
    std::set<std::pair<long, long>> unsaved;
    for (const CellAddress& at : facts.unsaved_formulas) unsaved.insert({at.row, at.column});
    std::vector<AmountProblem> problems = marker_problems(sheet, unsaved);
    for (AmountProblem& problem : amount_problems(sheet, unsaved, error_cells(facts))) {
        problems.push_back(problem);
    }
    if (problems.empty()) return;
    const AmountProblem& first = problems.front();
    std::string message =
        problem_place(sheet, first) + ": the cell " + first.what + ". " + first.advice;
    if (problems.size() > 1) {
        message += " " + std::to_string(problems.size() - 1) + " more cell(s) are like it.";
    }
    raise_error(PyExc_TypeError, message);
}

}  // namespace

py::object storeraw(py::handle module) {
    print_trace(module);
    py::object path = global(module, "raw_path");
    py::object df = read_portfolio(module, path);
    check_portfolio_columns(module, df, path);

    Sheet sheet = read_sheet(df, path);
    if (sheet.heading >= 0) {
        find_cusip_column(sheet);
        SheetFacts facts = first_sheet_facts(path);
        attribute_merged_lots(df, sheet, facts);
        record_unread_rows(sheet, facts);
        check_amount_cells(sheet, facts);
    }

    py::list marker;
    marker.append("Unnamed: 2");
    df = df.attr("dropna")("subset"_a = marker, "how"_a = "all");
    check_rows_left(module, df, path, "second heading row (no row below row 2 has column C filled)");

    df = complete_headings(df);
    df = df.attr("iloc")[py::slice(py::int_(1), py::none(), py::none())];
    check_rows_left(module, df, path, "holding rows below the second heading row");

    return global(module, "cleancusip")(df, "CUSIPID", global(module, "rawc_path"));
}

py::object storerem(py::handle module) {
    print_trace(module);
    py::object df = read_workbook(
        module, global(module, "rem_path"), "Removal workbook",
        "The removal workbook does not exist; save the securities to leave out here as "
        "Removal.xlsx: one heading row with CUSIP, Quantity and Value, and no further row when "
        "nothing is left out",
        py::kwargs());
    check_removal_amounts(df, global(module, "rem_path"));
    return global(module, "cleancusip")(df, "CUSIP", global(module, "remc_path"));
}

}  // namespace tavrin
