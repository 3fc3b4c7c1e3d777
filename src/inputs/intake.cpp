// Intake of the manager's two workbooks.
//
// The portfolio is a custodian's position report: a title row, headings
// split over row 2 and a second heading row further down, column C marking
// every row that is a heading or a holding (blank lines and notes have it
// empty). The removal list is a plain table with one heading row.
#include "common/files.hpp"
#include "inputs/inputs.hpp"

#include <string>

namespace tavrin {
namespace {

// calamine reads .xlsx several times faster than openpyxl, with the same values.
constexpr const char* kReader = "calamine";
constexpr int kNamedColumns = 15;  // A to O may take their names from the second heading row

constexpr const char* kPortfolioShape =
    " The portfolio must have a title in row 1, headings in row 2 with cell C2 empty, "
    "at least fifteen columns (A to O), and below them a second heading row and the "
    "holdings, each with column C filled.";

void check_portfolio_columns(const py::object& df, const py::object& path) {
    py::list labels = df.attr("columns").attr("tolist")();
    if (!labels.contains("Unnamed: 2")) {
        raise_error(PyExc_KeyError, "Portfolio workbook " + text(path) +
                                        ": cell C2 is not empty; column C marks the heading "
                                        "and holding rows." + kPortfolioShape);
    }
    if (labels.size() < kNamedColumns) {
        raise_error(PyExc_IndexError, "Portfolio workbook " + text(path) + " has only " +
                                          std::to_string(labels.size()) + " columns." +
                                          kPortfolioShape);
    }
}

void check_rows_left(const py::object& df, const py::object& path, const char* missing) {
    if (py::len(df) == 0) {
        raise_error(PyExc_IndexError,
                    "Portfolio workbook " + text(path) + " has no " + missing + "." + kPortfolioShape);
    }
}

constexpr const char* kNoDataFolder =
    "The Data folder for the workbooks does not exist; create it in the working folder "
    "beside Store and Results, with Portfolio.xlsx and Removal.xlsx in it";

// A missing folder or workbook, or a file that is not an .xlsx workbook,
// gets a message that says which file and what it must be; the reader's own
// words follow in the message and as the cause.
py::object read_workbook(py::handle module, const py::object& path, const std::string& what,
                         const std::string& missing_advice, py::kwargs options) {
    require_folder_of(path, kNoDataFolder);
    require_file(path, missing_advice);
    options["engine"] = kReader;
    try {
        return global(module, "pd").attr("read_excel")(path, **options);
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_Exception) || error.matches(PyExc_OSError)) throw;
        py::object unreadable = py::handle(PyExc_ValueError)(
            what + " " + text(path) + " cannot be read as an Excel workbook (" +
            text(error.value()) + "). Save it from Excel as an .xlsx workbook and run again.");
        unreadable.attr("__cause__") = error.value();
        raise_instance(unreadable);
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

}  // namespace

py::object storeraw(py::handle module) {
    print_trace(module);
    py::object path = global(module, "raw_path");
    py::kwargs options;
    options["header"] = 1;
    py::object df = read_workbook(module, path, "Portfolio workbook",
                                  "The portfolio workbook does not exist; save the custodian's "
                                  "position report here as Portfolio.xlsx",
                                  options);
    check_portfolio_columns(df, path);

    py::list marker;
    marker.append("Unnamed: 2");
    df = df.attr("dropna")("subset"_a = marker, "how"_a = "all");
    check_rows_left(df, path, "second heading row (no row below row 2 has column C filled)");

    df = complete_headings(df);
    df = df.attr("iloc")[py::slice(py::int_(1), py::none(), py::none())];
    check_rows_left(df, path, "holding rows below the second heading row");

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
    return global(module, "cleancusip")(df, "CUSIP", global(module, "remc_path"));
}

}  // namespace tavrin
