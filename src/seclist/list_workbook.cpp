// The list's per-page workbook, written directly as .xlsx.
//
// A full list is about 750 sheets and 150,000 cells. Through pandas and
// xlsxwriter that takes over four seconds, most of it Python code run once
// per cell, for a file the run reads straight back. Here the same cells go
// into the same package (one sheet per table, an empty A1, the labels in
// row 1, the row numbers in column A) in a few tenths of a second.
//
// "The same cells" is exact: numbers are formatted as xlsxwriter formats
// them, missing values and empty texts leave the cell out as it does, every
// text is a text cell (the pandas writer is told the same: no formulas, no
// links), and a table holding anything xlsxwriter would write another way
// (an escaped control character, an infinity, a date) is left to the
// pandas writer, so the workbook reader sees what it would have.
#include "seclist/list_workbook.hpp"

#include "common/xlsx_package.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <tuple>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tavrin {
namespace {

using xlsx::cell_reference;
using xlsx::kLongestText;
using xlsx::number_text;

// Texts that xlsxwriter, told to keep every text a text, still writes as
// something else. An issuer printed as "=SUM(A1:A9)" or an address is text
// like any other: its cell is a text cell, never a formula or a link.
bool text_is_plain(std::string_view text) {
    if (text.size() > kLongestText) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 && c != '\t' && c != '\n') return false;  // escaped as _xHHHH_
        // A literal "_xHHHH_" is escaped too.
        if (c == '_' && i + 6 < text.size() && text[i + 1] == 'x' && text[i + 6] == '_') {
            return false;
        }
        // U+FFFE and U+FFFF, which XML cannot hold, are escaped too.
        if (c == 0xEF && i + 2 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0xBF &&
            (static_cast<unsigned char>(text[i + 2]) & 0xFE) == 0xBE) {
            return false;
        }
    }
    return true;
}

// What the workbook reader (calamine, through pandas) gives back for a
// number cell: the double its text parses to, as an int when it is whole.
py::object number_read_back(const std::string& written) {
    double read = std::strtod(written.c_str(), nullptr);
    if (std::isfinite(read) && read == std::floor(read)) {
        return py::reinterpret_steal<py::object>(PyLong_FromDouble(read));
    }
    return py::float_(read);
}

// One sheet's XML, or false when a value needs the pandas writer; beside it,
// the sheet's cells as the reader gives them back.
class SheetWriter {
  public:
    explicit SheetWriter(xlsx::SharedTexts& texts) : texts_(texts) {}

    // The sheet as rows of cell values from A1 to its last row and column,
    // "" where no cell was written, as pandas' calamine reader hands them on.
    py::list read_back_grid() const {
        py::list grid;
        for (size_t r = 0; r < rows_used_; ++r) {
            py::list row;
            for (size_t c = 0; c < columns_used_; ++c) row.append(py::str(""));
            grid.append(row);
        }
        for (const auto& [row, column, value] : read_back_) {
            PyList_SetItem(grid[row].ptr(), static_cast<Py_ssize_t>(column),
                           py::object(value).release().ptr());
        }
        return grid;
    }

    bool add_value(size_t column, size_t row, const py::handle& value) {
        PyObject* object = value.ptr();
        if (object == Py_None) return true;
        if (PyBool_Check(object)) {
            record(column, row, py::reinterpret_borrow<py::object>(value));
            open_cell(column, row, " t=\"b\"");
            cells_ += object == Py_True ? "1" : "0";
            cells_ += "</v></c>";
            return true;
        }
        if (PyFloat_Check(object) || PyLong_Check(object)) {
            double number = PyFloat_Check(object) ? PyFloat_AS_DOUBLE(object)
                                                  : PyLong_AsDouble(object);
            if (number == -1.0 && PyErr_Occurred()) {
                PyErr_Clear();  // too large for a double: xlsxwriter fails on it
                return false;
            }
            if (std::isnan(number)) return true;  // missing: no cell
            if (std::isinf(number)) return false;  // pandas writes its own text
            std::string shown = number_text(number);
            record(column, row, number_read_back(shown));
            open_cell(column, row, "");
            cells_ += shown;
            cells_ += "</v></c>";
            return true;
        }
        if (PyUnicode_Check(object)) {
            Py_ssize_t size = 0;
            const char* data = PyUnicode_AsUTF8AndSize(object, &size);
            if (data == nullptr) throw py::error_already_set();
            std::string_view text(data, static_cast<size_t>(size));
            if (text.empty()) return true;  // written blank, read as missing
            if (!text_is_plain(text)) return false;
            record(column, row, py::reinterpret_borrow<py::object>(value));
            open_cell(column, row, " t=\"s\"");
            cells_ += std::to_string(texts_.index_of(text));
            cells_ += "</v></c>";
            return true;
        }
        return false;  // dates, pandas' own missing markers, anything else
    }

    // Column A: the table's own row number, always a whole number.
    void add_row_number(size_t row) {
        record(0, row + 1, py::int_(row));
        open_cell(0, row + 1, "");
        cells_ += std::to_string(row);
        cells_ += "</v></c>";
    }

    void end_row() {
        if (row_open_) {
            rows_ += cells_;
            rows_ += "</row>";
        }
        cells_.clear();
        row_open_ = false;
    }

    // The sheet's <row> elements.
    std::string rows() {
        end_row();
        return rows_;
    }

  private:
    void record(size_t column, size_t row, py::object value) {
        rows_used_ = std::max(rows_used_, row + 1);
        columns_used_ = std::max(columns_used_, column + 1);
        read_back_.emplace_back(row, column, std::move(value));
    }

    void open_cell(size_t column, size_t row, const char* type) {
        // Appended piece by piece: 150,000 cells, each without temporaries.
        if (!row_open_) {
            cells_ = "<row r=\"";
            cells_ += std::to_string(row + 1);
            cells_ += "\">";
            row_open_ = true;
        }
        cells_ += "<c r=\"";
        cells_ += cell_reference(column, row);
        cells_ += '"';
        cells_ += type;
        cells_ += "><v>";
    }

    xlsx::SharedTexts& texts_;
    std::vector<std::tuple<size_t, size_t, py::object>> read_back_;
    size_t rows_used_ = 0;
    size_t columns_used_ = 0;
    std::string rows_;
    std::string cells_;
    bool row_open_ = false;
};

// Only a table with row numbers 0, 1, 2, ... and one row of plain labels has
// the layout written here; pandas writes anything else its own way.
bool plain_frame(py::handle module, const py::object& table) {
    py::object pd = global(module, "pd");
    py::object index = table.attr("index");
    py::object columns = table.attr("columns");
    if (!py::isinstance(index, pd.attr("RangeIndex")) || !index.attr("name").is_none()) {
        return false;
    }
    if (index.attr("start").cast<long long>() != 0 || index.attr("step").cast<long long>() != 1) {
        return false;
    }
    return !py::isinstance(columns, pd.attr("MultiIndex")) && columns.attr("name").is_none();
}

bool write_sheet(const py::object& table, SheetWriter& sheet) {
    py::list labels = table.attr("columns").attr("tolist")();
    for (size_t c = 0; c < labels.size(); ++c) {
        if (!py::isinstance<py::str>(labels[c])) return false;
        if (!sheet.add_value(c + 1, 0, labels[c])) return false;
    }
    sheet.end_row();
    // Column by column in order, repeated labels included. One object array
    // of the whole table gives each cell as Series.tolist() gives it (ints,
    // floats, texts, NaN) at a fraction of the cost of a Series a column,
    // on 750 tables a list.
    std::vector<py::list> columns;
    py::list by_column =
        table.attr("to_numpy")("dtype"_a = py::module_::import("builtins").attr("object"))
            .attr("T").attr("tolist")();
    for (const py::handle& column : by_column) {
        columns.push_back(py::reinterpret_borrow<py::list>(column));
    }
    if (columns.size() != labels.size()) return false;
    size_t rows = py::len(table);
    for (size_t r = 0; r < rows; ++r) {
        sheet.add_row_number(r);
        for (size_t c = 0; c < columns.size(); ++c) {
            if (!sheet.add_value(c + 1, r + 1, columns[c][r])) return false;
        }
        sheet.end_row();
    }
    return true;
}

}  // namespace

bool write_plain_workbook(py::handle module, const py::object& tables, const py::object& path,
                          py::list* grids) {
    xlsx::SharedTexts texts;
    std::vector<xlsx::SheetPart> sheets;
    py::list read_back;
    for (const py::handle& item : tables) {
        py::object table = py::reinterpret_borrow<py::object>(item);
        if (!py::isinstance(table, global(module, "pd").attr("DataFrame"))) return false;
        if (!plain_frame(module, table)) return false;
        SheetWriter sheet(texts);
        if (!write_sheet(table, sheet)) return false;
        sheets.push_back({"Sheet" + std::to_string(sheets.size() + 1), sheet.rows()});
        if (grids != nullptr) read_back.append(sheet.read_back_grid());
    }
    // A workbook needs a sheet; with no table the pandas writer decides.
    if (sheets.empty()) return false;
    xlsx::write_package(path, sheets, texts, false);
    if (grids != nullptr) *grids = read_back;
    return true;
}

}  // namespace tavrin
