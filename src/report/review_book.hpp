// The review workbook's writer: sheets of typed cells under a bold heading
// row that stays in view, written directly as .xlsx.
//
// Through xlsxwriter the review of a full portfolio took about a third of a
// second, nearly all of it Python code run once a cell.
#pragma once

#include "common/python.hpp"
#include "common/xlsx_package.hpp"

#include <deque>
#include <string>

namespace tavrin {

class ReviewSheet {
  public:
    ReviewSheet(xlsx::SharedTexts& texts, std::string name);

    // Row 1: the labels, bold, kept in view when scrolling.
    void headings(const py::list& labels);

    // The next row. None stays empty; a number is a number cell unless it
    // has no place in one (NaN empty, an infinity its text); anything else
    // is its text, an empty text left empty. Texts are never formulas,
    // links or numbers, whatever they look like.
    void row(const py::list& cells);

    // Leaves the next row empty.
    void skip_row() { ++next_row_; }

    xlsx::SheetPart part() const { return {name_, rows_, frozen_}; }

  private:
    void add_cell(size_t column, const py::handle& value, xlsx::Style style);
    void add_text(size_t column, const py::handle& value, xlsx::Style style);

    xlsx::SharedTexts& texts_;
    std::string name_;
    std::string rows_;
    std::string cells_;
    size_t next_row_ = 0;
    bool frozen_ = false;
};

class ReviewBook {
  public:
    ReviewSheet& add_sheet(const std::string& name);
    void save(const py::object& path) const;

  private:
    xlsx::SharedTexts texts_;
    std::deque<ReviewSheet> sheets_;  // stable addresses for the sheets handed out
};

}  // namespace tavrin
