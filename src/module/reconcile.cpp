// Reconciliation of the portfolio against the quarter's list.
//
// The portfolio and the removal list are grouped by CUSIP once; then the
// list is walked, so the work grows with the sizes of the tables added up,
// not multiplied. For each list CUSIP the portfolio holds, the amounts in
// columns J to N are added up over its rows, the removal list's "Quantity"
// and "Value" are taken off, and the first row with those totals is kept
// when column C reads like a security (more than five characters) and the
// quantity and value still round above zero.
#include "common/tables.hpp"
#include "module/module.hpp"

#include <array>
#include <string>
#include <vector>

namespace tavrin {
namespace {

constexpr size_t kMarker = 2;                       // column C
constexpr std::array<size_t, 5> kAmounts = {9, 10, 11, 12, 13};  // columns J to N
constexpr size_t kQuantities[] = {10, 12};          // reduced by the removals' "Quantity"
constexpr size_t kValues[] = {11, 13};              // reduced by the removals' "Value"

// Row positions per CUSIP, in table order, with a dict so that CUSIPs
// compare exactly as Python values do.
class RowsByCusip {
  public:
    explicit RowsByCusip(const py::list& cusips) {
        for (size_t row = 0; row < cusips.size(); ++row) {
            py::object cusip = cusips[row];
            if (!groups_.contains(cusip)) {
                groups_[cusip] = py::int_(rows_.size());
                rows_.emplace_back();
            }
            rows_[groups_[cusip].cast<size_t>()].push_back(row);
        }
    }
    const std::vector<size_t>* find(const py::handle& cusip) const {
        if (!groups_.contains(cusip)) return nullptr;
        return &rows_[py::reinterpret_borrow<py::object>(groups_[cusip]).cast<size_t>()];
    }

  private:
    py::dict groups_;
    std::vector<std::vector<size_t>> rows_;
};

// One column as Python values, with its missing cells marked.
struct Column {
    py::list values;
    std::vector<bool> missing;
    py::object label;
};

Column read_column(const py::object& table, size_t position) {
    py::object series = table.attr("iloc")[py::make_tuple(py::slice(0, py::len(table), 1), position)];
    Column column{series.attr("tolist")(), {}, table.attr("columns")[py::int_(position)]};
    py::list missing = series.attr("isna")().attr("tolist")();
    for (auto flag : missing) column.missing.push_back(flag.cast<bool>());
    return column;
}

// A missing cell of the portfolio reads as 0, as 0.0 in a column of floats.
py::object filled(const Column& column, size_t row, const py::object& zero) {
    return column.missing[row] ? zero : py::reinterpret_borrow<py::object>(column.values[row]);
}

struct Portfolio {
    py::object path;
    RowsByCusip rows;
    Column marker;
    std::vector<Column> amounts;  // columns J to N
    std::vector<py::object> zeros;  // what a missing cell becomes, per amount column
};

bool is_float_column(const py::object& table, size_t position) {
    return text(table.attr("dtypes").attr("iloc")[py::int_(position)].attr("kind")) == "f";
}

Portfolio read_portfolio(py::handle module, const py::object& raw) {
    py::object path = global(module, "raw_path");
    py::list cusips =
        key_column(raw, "CUSIPID", "Portfolio workbook " + text(path) + " (heading CUSIP ID)",
                   "Head the CUSIP column \"CUSIP ID\" in row 2 or in the second heading row; "
                   "blanks and colons in headings do not count.")
            .attr("tolist")();
    size_t width = py::len(raw.attr("columns"));
    if (width <= kAmounts.back() && !cusips.empty()) {
        raise_error(PyExc_IndexError, "Portfolio workbook " + text(path) + " has " +
                                          std::to_string(width) +
                                          " columns; quantities and values are read from "
                                          "columns J to N.");
    }
    Portfolio portfolio{path, RowsByCusip(cusips), Column(), {}, {}};
    if (cusips.empty()) return portfolio;
    portfolio.marker = read_column(raw, kMarker);
    for (size_t position : kAmounts) {
        portfolio.amounts.push_back(read_column(raw, position));
        portfolio.zeros.push_back(is_float_column(raw, position) ? py::object(py::float_(0.0))
                                                                 : py::object(py::int_(0)));
    }
    return portfolio;
}

// The total as Python's sum() gives it (compensated for floats since 3.12);
// a cell that is not a number gets a message naming where it is.
py::object add_up(const py::list& values, const std::string& where) {
    try {
        return builtin("sum")(values);
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_TypeError)) throw;
    }
    for (const py::handle& value : values) {
        if (!PyNumber_Check(value.ptr()) || PyUnicode_Check(value.ptr())) {
            raise_error(PyExc_TypeError,
                        where + " holds " + repr_text(value) +
                            ", which is not a number. Enter the amount as a number.");
        }
    }
    raise_error(PyExc_TypeError, where + " holds values that cannot be added up.");
}

std::string portfolio_cell(const Portfolio& portfolio, const py::handle& cusip, const Column& column,
                           size_t position) {
    return "Portfolio workbook " + text(portfolio.path) + ": CUSIP " + text(cusip) +
           ", column " + column_letter(position) + " (\"" + text(column.label) + "\")";
}

struct Holding {
    size_t first_row;
    std::array<py::object, 5> totals;  // columns J to N
};

Holding add_up_holding(const Portfolio& portfolio, const std::vector<size_t>& rows,
                       const py::handle& cusip) {
    Holding holding{rows.front(), {}};
    for (size_t k = 0; k < kAmounts.size(); ++k) {
        const Column& column = portfolio.amounts[k];
        std::string where = portfolio_cell(portfolio, cusip, column, kAmounts[k]);
        py::list values;
        for (size_t row : rows) values.append(filled(column, row, portfolio.zeros[k]));
        holding.totals[k] = add_up(values, where);
    }
    return holding;
}

// The removal list's "Quantity" and "Value" per CUSIP, read on first use: a
// removal list whose rows match no holding needs neither column.
class Removals {
  public:
    Removals(py::handle module, const py::object& rem)
        : path_(global(module, "rem_path")),
          table_(rem),
          rows_(key_column(rem, "CUSIP", "Removal workbook " + text(path_) + " (heading CUSIP)",
                           "Head the CUSIP column \"CUSIP\" in row 1.")
                    .attr("tolist")()) {}

    // The total of `label` over the removal rows of `cusip`, or none.
    py::object total(const char* label, const py::handle& cusip) {
        const std::vector<size_t>* rows = rows_.find(cusip);
        if (!rows) return py::none();
        const Column& column = amounts(label);
        std::string where = "Removal workbook " + text(path_) + ": the row for CUSIP " +
                            text(cusip) + ", column \"" + label + "\"";
        py::list values;
        for (size_t row : *rows) {
            if (column.missing[row]) {
                raise_error(PyExc_ValueError, where + " is blank; enter the amount to take off "
                                                      "(0 for none).");
            }
            values.append(column.values[row]);
        }
        return add_up(values, where);
    }

  private:
    const Column& amounts(const char* label) {
        Column& column = label == std::string("Quantity") ? quantity_ : value_;
        if (!column.label) {
            py::object series =
                key_column(table_, label, "Removal workbook " + text(path_),
                           "Row 1 must head the columns CUSIP, Quantity and Value.");
            column.values = series.attr("tolist")();
            py::list missing = series.attr("isna")().attr("tolist")();
            for (auto flag : missing) column.missing.push_back(flag.cast<bool>());
            column.label = py::str(label);
        }
        return column;
    }

    py::object path_;
    py::object table_;
    RowsByCusip rows_;
    Column quantity_, value_;
};

void take_off_removals(Holding& holding, Removals& removals, const py::handle& cusip) {
    py::object quantity = removals.total("Quantity", cusip);
    if (quantity.is_none()) return;
    py::object value = removals.total("Value", cusip);
    for (size_t position : kQuantities) {
        py::object& cell = holding.totals[position - kAmounts.front()];
        cell = cell - quantity;
    }
    for (size_t position : kValues) {
        py::object& cell = holding.totals[position - kAmounts.front()];
        cell = cell - value;
    }
}

bool rounds_above_zero(const py::object& amount) {
    py::object rounded = builtin("round")(builtin("float")(amount));
    return rounded > py::int_(0);
}

bool is_kept(const Portfolio& portfolio, const Holding& holding) {
    py::object marker = filled(portfolio.marker, holding.first_row, py::int_(0));
    return py::len(py::str(marker)) > 5 && rounds_above_zero(holding.totals[12 - 9]) &&
           rounds_above_zero(holding.totals[13 - 9]);
}

// Missing cells become 0; columns of text are widened to objects first, as
// pandas will not put a number into a column of strings.
void fill_missing_cells(py::object& table) {
    size_t width = py::len(table.attr("columns"));
    for (size_t position = 0; position < width; ++position) {
        py::object column = table.attr("iloc")[py::make_tuple(py::slice(0, py::len(table), 1), position)];
        if (!truthy(column.attr("isna")().attr("any")())) continue;
        std::string kind = py::str(column.attr("dtype").attr("kind"));
        if (kind != "f" && kind != "c") column = column.attr("astype")("object");
        table.attr("isetitem")(position, column.attr("fillna")(0));
    }
}

py::object holdings_table(const py::object& raw, const std::vector<Holding>& kept) {
    if (kept.empty()) {
        return raw.attr("iloc")[py::slice(0, 0, 1)].attr("reset_index")("drop"_a = true);
    }
    py::list first_rows;
    for (const Holding& holding : kept) first_rows.append(holding.first_row);
    py::object table = raw.attr("iloc")[first_rows].attr("reset_index")("drop"_a = true);
    fill_missing_cells(table);
    for (size_t k = 0; k < kAmounts.size(); ++k) {
        py::list totals;
        for (const Holding& holding : kept) totals.append(holding.totals[k]);
        table.attr("isetitem")(kAmounts[k], totals);
    }
    return table;
}

}  // namespace

py::object reconcile(py::handle module, const py::list& list_cusips, const py::object& raw,
                     const py::object& rem) {
    Portfolio portfolio = read_portfolio(module, raw);
    Removals removals(module, rem);
    std::vector<Holding> kept;
    for (const py::handle& cusip : list_cusips) {
        const std::vector<size_t>* rows = portfolio.rows.find(cusip);
        if (!rows) continue;  // not held: the removal list is not consulted
        Holding holding = add_up_holding(portfolio, *rows, cusip);
        take_off_removals(holding, removals, cusip);
        if (is_kept(portfolio, holding)) kept.push_back(std::move(holding));
    }
    return holdings_table(raw, kept);
}

}  // namespace tavrin
