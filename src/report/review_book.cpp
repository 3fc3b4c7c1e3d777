// Cells of the review as xlsxwriter wrote them, told to keep every text a
// text: numbers to 16 significant digits, texts shared, truth values as
// such, and nothing at all for an empty cell.
#include "report/review_book.hpp"

#include <cmath>
#include <string_view>
#include <utility>

namespace tavrin {
namespace {

bool is_number(const py::handle& value) {
    return !PyUnicode_Check(value.ptr()) && PyNumber_Check(value.ptr()) &&
           (PyLong_Check(value.ptr()) || PyFloat_Check(value.ptr()) || py::hasattr(value, "dtype"));
}

// Excel holds at most 32,767 characters in a cell; xlsxwriter cut longer
// texts there, and so does this.
std::string_view within_limit(std::string_view text) {
    size_t characters = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) continue;  // inside a character
        if (characters++ == xlsx::kLongestText) return text.substr(0, i);
    }
    return text;
}

}  // namespace

ReviewSheet::ReviewSheet(xlsx::SharedTexts& texts, std::string name)
    : texts_(texts), name_(std::move(name)) {}

void ReviewSheet::headings(const py::list& labels) {
    for (size_t c = 0; c < labels.size(); ++c) add_cell(c, labels[c], xlsx::kBold);
    frozen_ = true;
    if (!cells_.empty()) rows_ += "<row r=\"1\">" + cells_ + "</row>";
    cells_.clear();
    next_row_ = 1;
}

void ReviewSheet::row(const py::list& cells) {
    for (size_t c = 0; c < cells.size(); ++c) add_cell(c, cells[c], xlsx::kPlain);
    if (!cells_.empty()) {
        rows_ += "<row r=\"" + std::to_string(next_row_ + 1) + "\">" + cells_ + "</row>";
    }
    cells_.clear();
    ++next_row_;
}

void ReviewSheet::add_cell(size_t column, const py::handle& value, xlsx::Style style) {
    if (value.is_none()) return;
    std::string reference = xlsx::cell_reference(column, next_row_);
    std::string styled = style == xlsx::kBold ? " s=\"1\"" : "";
    if (PyBool_Check(value.ptr())) {
        cells_ += "<c r=\"" + reference + "\"" + styled + " t=\"b\"><v>" +
                  (value.ptr() == Py_True ? "1" : "0") + "</v></c>";
        return;
    }
    if (is_number(value)) {
        double number = PyFloat_AsDouble(value.ptr());
        if (number == -1.0 && PyErr_Occurred()) throw py::error_already_set();
        if (std::isnan(number)) return;
        if (!std::isinf(number)) {
            cells_ += "<c r=\"" + reference + "\"" + styled + "><v>" + xlsx::number_text(number) +
                      "</v></c>";
            return;
        }
    }
    add_text(column, value, style);
}

void ReviewSheet::add_text(size_t column, const py::handle& value, xlsx::Style style) {
    py::str text(value);
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (data == nullptr) throw py::error_already_set();
    if (size == 0) return;
    std::string_view kept = within_limit(std::string_view(data, static_cast<size_t>(size)));
    cells_ += "<c r=\"" + xlsx::cell_reference(column, next_row_) + "\"" +
              (style == xlsx::kBold ? " s=\"1\"" : "") + " t=\"s\"><v>" +
              std::to_string(texts_.index_of(kept)) + "</v></c>";
}

ReviewSheet& ReviewBook::add_sheet(const std::string& name) {
    return sheets_.emplace_back(texts_, name);
}

void ReviewBook::save(const py::object& path) const {
    std::vector<xlsx::SheetPart> parts;
    for (const ReviewSheet& sheet : sheets_) parts.push_back(sheet.part());
    xlsx::write_package(path, parts, texts_, true);
}

}  // namespace tavrin
