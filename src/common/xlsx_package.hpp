// The parts of an .xlsx workbook written directly, without a Python writer:
// the shared texts, the cells, and the package around the sheets.
//
// Cells are written as xlsxwriter writes them (numbers to 16 significant
// digits, texts in a shared table with its escapes), so a reader sees what
// it would have seen in a workbook written through pandas.
#pragma once

#include "common/python.hpp"

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tavrin::xlsx {

constexpr size_t kLongestText = 32767;  // Excel's limit, in characters

extern const char* const kXmlHeader;
extern const char* const kMainNamespace;

// Texts in a shared table, each once, as Excel and xlsxwriter store them.
class SharedTexts {
  public:
    size_t index_of(std::string_view text);
    std::string part() const;

  private:
    std::unordered_map<std::string, size_t> indices_;
    std::vector<const std::string*> order_;
    size_t uses_ = 0;
};

// "B7" for column 1, row 6 (both from zero).
std::string cell_reference(size_t column, size_t row);

// A number as xlsxwriter writes it: Python's "{:.16G}", which C's "%.16G"
// matches digit for digit.
std::string number_text(double value);

// Cell styles: the default, and the bold one headings use.
enum Style { kPlain = 0, kBold = 1 };

// One sheet: its name and its <row> elements.
struct SheetPart {
    std::string name;
    std::string rows;
    bool frozen_headings = false;  // row 1 stays in view when scrolling
};

// Writes the workbook of `sheets` to `path`, the first sheet the one shown.
// `bold_style` gives the package the kBold style its cells use.
void write_package(const py::object& path, const std::vector<SheetPart>& sheets,
                   const SharedTexts& texts, bool bold_style);

}  // namespace tavrin::xlsx
