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

#include "common/tables.hpp"

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

constexpr size_t kLongestText = 32767;  // Excel's limit; xlsxwriter cuts longer texts

constexpr const char* kMainNamespace =
    "http://schemas.openxmlformats.org/spreadsheetml/2006/main";
constexpr const char* kXmlHeader =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n";

// Texts in a shared table, each once, as Excel and xlsxwriter store them.
class SharedTexts {
  public:
    size_t index_of(std::string_view text) {
        auto [entry, added] = indices_.try_emplace(std::string(text), order_.size());
        if (added) order_.push_back(&entry->first);
        ++uses_;
        return entry->second;
    }
    std::string part() const;

  private:
    std::unordered_map<std::string, size_t> indices_;
    std::vector<const std::string*> order_;
    size_t uses_ = 0;
};

void append_escaped(std::string& out, std::string_view text) {
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            default: out += c;
        }
    }
}

std::string SharedTexts::part() const {
    std::string out = kXmlHeader;
    out += "<sst xmlns=\"" + std::string(kMainNamespace) + "\" count=\"" +
           std::to_string(uses_) + "\" uniqueCount=\"" + std::to_string(order_.size()) + "\">";
    for (const std::string* text : order_) {
        // Kept as written: a reader may trim unmarked leading or trailing blanks.
        out += "<si><t xml:space=\"preserve\">";
        append_escaped(out, *text);
        out += "</t></si>";
    }
    out += "</sst>";
    return out;
}

std::string cell_reference(size_t column, size_t row) {
    return column_letter(column) + std::to_string(row + 1);
}

// xlsxwriter writes every number with Python's "{:.16G}"; C's "%.16G" gives
// the same digits, so the reader gets the very same value back.
std::string number_text(double value) {
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "%.16G", value);
    return buffer;
}

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
    }
    return true;
}

// What the workbook reader (calamine, through pandas) gives back for a
// number cell: the double its text parses to, as an int when it is whole.
py::object number_read_back(double written) {
    double read = std::strtod(number_text(written).c_str(), nullptr);
    if (std::isfinite(read) && read == std::floor(read)) {
        return py::reinterpret_steal<py::object>(PyLong_FromDouble(read));
    }
    return py::float_(read);
}

// One sheet's XML, or false when a value needs the pandas writer; beside it,
// the sheet's cells as the reader gives them back.
class SheetWriter {
  public:
    explicit SheetWriter(SharedTexts& texts) : texts_(texts) {}

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
            record(column, row, number_read_back(number));
            open_cell(column, row, "");
            cells_ += number_text(number);
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
        cells_ += std::to_string(row) + "</v></c>";
    }

    void end_row() {
        if (row_open_) rows_ += cells_ + "</row>";
        cells_.clear();
        row_open_ = false;
    }

    std::string part() {
        end_row();
        return std::string(kXmlHeader) + "<worksheet xmlns=\"" + kMainNamespace +
               "\"><sheetData>" + rows_ + "</sheetData></worksheet>";
    }

  private:
    void record(size_t column, size_t row, py::object value) {
        rows_used_ = std::max(rows_used_, row + 1);
        columns_used_ = std::max(columns_used_, column + 1);
        read_back_.emplace_back(row, column, std::move(value));
    }

    void open_cell(size_t column, size_t row, const char* type) {
        if (!row_open_) {
            cells_ = "<row r=\"" + std::to_string(row + 1) + "\">";
            row_open_ = true;
        }
        cells_ += "<c r=\"" + cell_reference(column, row) + "\"" + type + "><v>";
    }

    SharedTexts& texts_;
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
    // Column by column in order, repeated labels included; items() costs
    // far less per column than positional indexing, on 750 tables a list.
    std::vector<py::list> columns;
    for (const py::handle& item : table.attr("items")()) {
        columns.push_back(item.cast<py::tuple>()[1].attr("tolist")());
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

std::string content_types(size_t sheets) {
    std::string out = kXmlHeader;
    out += "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
           "<Default Extension=\"rels\" "
           "ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>"
           "<Default Extension=\"xml\" ContentType=\"application/xml\"/>"
           "<Override PartName=\"/xl/workbook.xml\" ContentType=\"application/"
           "vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml\"/>"
           "<Override PartName=\"/xl/styles.xml\" ContentType=\"application/"
           "vnd.openxmlformats-officedocument.spreadsheetml.styles+xml\"/>"
           "<Override PartName=\"/xl/sharedStrings.xml\" ContentType=\"application/"
           "vnd.openxmlformats-officedocument.spreadsheetml.sharedStrings+xml\"/>";
    for (size_t n = 1; n <= sheets; ++n) {
        out += "<Override PartName=\"/xl/worksheets/sheet" + std::to_string(n) +
               ".xml\" ContentType=\"application/"
               "vnd.openxmlformats-officedocument.spreadsheetml.worksheet+xml\"/>";
    }
    return out + "</Types>";
}

constexpr const char* kRelationships =
    "http://schemas.openxmlformats.org/officeDocument/2006/relationships";

std::string package_relationships() {
    return std::string(kXmlHeader) +
           "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/"
           "relationships\"><Relationship Id=\"rId1\" Type=\"" + kRelationships +
           "/officeDocument\" Target=\"xl/workbook.xml\"/></Relationships>";
}

std::string workbook(size_t sheets) {
    std::string out = std::string(kXmlHeader) + "<workbook xmlns=\"" + kMainNamespace +
                      "\" xmlns:r=\"" + kRelationships + "\"><sheets>";
    for (size_t n = 1; n <= sheets; ++n) {
        std::string number = std::to_string(n);
        out += "<sheet name=\"Sheet" + number + "\" sheetId=\"" + number + "\" r:id=\"rId" +
               number + "\"/>";
    }
    return out + "</sheets></workbook>";
}

std::string workbook_relationships(size_t sheets) {
    std::string out = std::string(kXmlHeader) +
                      "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/"
                      "relationships\">";
    for (size_t n = 1; n <= sheets; ++n) {
        std::string number = std::to_string(n);
        out += "<Relationship Id=\"rId" + number + "\" Type=\"" + kRelationships +
               "/worksheet\" Target=\"worksheets/sheet" + number + ".xml\"/>";
    }
    out += "<Relationship Id=\"rId" + std::to_string(sheets + 1) + "\" Type=\"" +
           kRelationships + "/styles\" Target=\"styles.xml\"/>";
    out += "<Relationship Id=\"rId" + std::to_string(sheets + 2) + "\" Type=\"" +
           kRelationships + "/sharedStrings\" Target=\"sharedStrings.xml\"/>";
    return out + "</Relationships>";
}

// The one style every cell uses; Excel wants the style part present.
std::string styles() {
    return std::string(kXmlHeader) + "<styleSheet xmlns=\"" + kMainNamespace +
           "\"><fonts count=\"1\"><font><sz val=\"11\"/><name val=\"Calibri\"/></font></fonts>"
           "<fills count=\"2\"><fill><patternFill patternType=\"none\"/></fill>"
           "<fill><patternFill patternType=\"gray125\"/></fill></fills>"
           "<borders count=\"1\"><border><left/><right/><top/><bottom/><diagonal/></border>"
           "</borders><cellStyleXfs count=\"1\"><xf numFmtId=\"0\" fontId=\"0\" fillId=\"0\" "
           "borderId=\"0\"/></cellStyleXfs><cellXfs count=\"1\"><xf numFmtId=\"0\" "
           "fontId=\"0\" fillId=\"0\" borderId=\"0\" xfId=\"0\"/></cellXfs><cellStyles "
           "count=\"1\"><cellStyle name=\"Normal\" xfId=\"0\" builtinId=\"0\"/></cellStyles>"
           "</styleSheet>";
}

void write_package(const py::object& path, const std::vector<std::string>& sheets,
                   const SharedTexts& texts) {
    py::module_ zipfile = py::module_::import("zipfile");
    py::object package = zipfile.attr("ZipFile")(path, "w", zipfile.attr("ZIP_DEFLATED"));
    with_context(package, [&](const py::object& zip) {
        auto add = [&zip](const std::string& name, const std::string& content) {
            zip.attr("writestr")(name, py::bytes(content));
        };
        add("[Content_Types].xml", content_types(sheets.size()));
        add("_rels/.rels", package_relationships());
        add("xl/workbook.xml", workbook(sheets.size()));
        add("xl/_rels/workbook.xml.rels", workbook_relationships(sheets.size()));
        add("xl/styles.xml", styles());
        add("xl/sharedStrings.xml", texts.part());
        for (size_t n = 0; n < sheets.size(); ++n) {
            add("xl/worksheets/sheet" + std::to_string(n + 1) + ".xml", sheets[n]);
        }
    });
}

}  // namespace

bool write_plain_workbook(py::handle module, const py::object& tables, const py::object& path,
                          py::list* grids) {
    SharedTexts texts;
    std::vector<std::string> sheets;
    py::list read_back;
    for (const py::handle& item : tables) {
        py::object table = py::reinterpret_borrow<py::object>(item);
        if (!py::isinstance(table, global(module, "pd").attr("DataFrame"))) return false;
        if (!plain_frame(module, table)) return false;
        SheetWriter sheet(texts);
        if (!write_sheet(table, sheet)) return false;
        sheets.push_back(sheet.part());
        if (grids != nullptr) read_back.append(sheet.read_back_grid());
    }
    // A workbook needs a sheet; with no table the pandas writer decides.
    if (sheets.empty()) return false;
    write_package(path, sheets, texts);
    if (grids != nullptr) *grids = read_back;
    return true;
}

}  // namespace tavrin
