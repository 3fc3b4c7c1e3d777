// Reconciliation of the portfolio against the quarter's list.
//
// The portfolio and the removal list are grouped by CUSIP once; then the
// list is walked, so the work grows with the sizes of the tables added up,
// not multiplied. For each list CUSIP the portfolio holds, the amounts in
// columns J to N are added up over its rows, the removal list's "Quantity"
// and "Value" are taken off, and the first row with those totals is kept
// when column C reads like a security (more than five characters) and the
// quantity and value still round above zero. What becomes of every
// portfolio CUSIP, reported or not and why, goes to the run's record.
#include "common/run_record.hpp"
#include "common/tables.hpp"
#include "module/left_out.hpp"
#include "module/module.hpp"

#include <array>
#include <cctype>
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
                order_.append(cusip);
            }
            rows_[groups_[cusip].cast<size_t>()].push_back(row);
        }
    }
    const std::vector<size_t>* find(const py::handle& cusip) const {
        if (!groups_.contains(cusip)) return nullptr;
        return &rows_[group(cusip)];
    }
    size_t group(const py::handle& cusip) const {
        return py::reinterpret_borrow<py::object>(groups_[cusip]).cast<size_t>();
    }
    // The distinct CUSIPs in order of first appearance, and their rows.
    const py::list& cusips() const { return order_; }
    const std::vector<size_t>& rows(size_t group) const { return rows_[group]; }

  private:
    py::dict groups_;
    py::list order_;
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
    py::list index;  // the reader's row labels: 0 is the sheet's row 3
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
    Portfolio portfolio{path, RowsByCusip(cusips), raw.attr("index").attr("tolist")(), Column(),
                        {}, {}};
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

// What the removal list takes off one holding in one of its columns: the
// total of the amounts given, and whether a row left the amount blank
// (which matters only where the holding would otherwise be reported).
struct Removal {
    bool any = false;
    bool blank = false;
    py::object amount;
    std::string where;
};

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

    bool has(const py::handle& cusip) const { return rows_.find(cusip) != nullptr; }
    const py::object& path() const { return path_; }

    Removal total(const char* label, const py::handle& cusip) {
        Removal removal;
        const std::vector<size_t>* rows = rows_.find(cusip);
        if (!rows) return removal;
        removal.any = true;
        const Column& column = amounts(label);
        removal.where = "Removal workbook " + text(path_) + ": the row for CUSIP " +
                        text(cusip) + ", column \"" + label + "\"";
        py::list values;
        for (size_t row : *rows) {
            if (column.missing[row]) {
                removal.blank = true;
            } else {
                values.append(column.values[row]);
            }
        }
        removal.amount = add_up(values, removal.where);
        return removal;
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

struct RemovalPair {
    Removal quantity;
    Removal value;
};

RemovalPair removals_of(Removals& removals, const py::handle& cusip) {
    if (!removals.has(cusip)) return {};
    return {removals.total("Quantity", cusip), removals.total("Value", cusip)};
}

// A blank amount takes nothing off here; whether the holding is left out
// anyway is decided with it unknown.
void take_off_removals(Holding& holding, const RemovalPair& removal) {
    if (removal.quantity.any && !removal.quantity.blank) {
        for (size_t position : kQuantities) {
            py::object& cell = holding.totals[position - kAmounts.front()];
            cell = cell - removal.quantity.amount;
        }
    }
    if (removal.value.any && !removal.value.blank) {
        for (size_t position : kValues) {
            py::object& cell = holding.totals[position - kAmounts.front()];
            cell = cell - removal.value.amount;
        }
    }
}

bool rounds_above_zero(const py::object& amount) {
    py::object rounded = builtin("round")(builtin("float")(amount));
    return rounded > py::int_(0);
}

constexpr size_t kQuantity = 12 - 9;  // column M among the totals
constexpr size_t kValue = 13 - 9;     // column N

enum class Test { kFails, kPasses, kUnknown };

// A blank removal amount leaves the total unknown, except that taking
// something off cannot lift a holding that is not above zero already.
Test amount_test(const Holding& holding, size_t total, const Removal& removal) {
    bool above_zero = rounds_above_zero(holding.totals[total]);
    if (!above_zero) return Test::kFails;
    return removal.blank ? Test::kUnknown : Test::kPasses;
}

[[noreturn]] void raise_blank(const Removal& removal) {
    raise_error(PyExc_ValueError,
                removal.where + " is blank; enter the amount to take off (0 for none).");
}

py::object description_of(const Portfolio& portfolio, size_t first_row) {
    return filled(portfolio.marker, first_row, py::none());
}

// The portfolio row a table row came from: the reader's labels count from
// the sheet's row 3 (headings in row 2). None for a table that was not read
// from the sheet.
py::object sheet_row(const Portfolio& portfolio, size_t row) {
    if (row >= portfolio.index.size()) return py::none();
    py::object label = portfolio.index[row];
    if (!PyLong_Check(label.ptr())) return py::none();
    return label + py::int_(3);
}

// Why a holding is left out: the kind, which the review counts, and where
// there is more to say, the words that say what to fix.
struct Verdict {
    const char* reason = nullptr;
    std::string explanation;
};

// After removals the quantity and the value must be gone or left together;
// shares left with the value gone (or the reverse) is a slip in the list.
bool disagree(Test quantity, Test value) {
    return (quantity == Test::kFails && value == Test::kPasses) ||
           (quantity == Test::kPasses && value == Test::kFails);
}

// The keep test in its order (description, quantity, value), with the
// reason a holding is left out, or none when it is kept. A blank removal
// amount stops the run only where the holding would otherwise be reported.
Verdict left_out_reason(const Portfolio& portfolio, const Holding& holding,
                        const std::array<py::object, 5>& held, const RemovalPair& removal) {
    py::object marker = filled(portfolio.marker, holding.first_row, py::int_(0));
    if (py::len(py::str(marker)) <= 5) {
        return {left_out::kShortDescription,
                short_description_reason(description_of(portfolio, holding.first_row),
                                         sheet_row(portfolio, holding.first_row))};
    }
    Test quantity = amount_test(holding, kQuantity, removal.quantity);
    Test value = amount_test(holding, kValue, removal.value);
    if (quantity == Test::kFails || value == Test::kFails) {
        bool held_above_zero = rounds_above_zero(held[kQuantity]) && rounds_above_zero(held[kValue]);
        if (!held_above_zero) return {left_out::kNotAboveZero, ""};
        if (disagree(quantity, value)) {
            return {left_out::kAmountsDisagree,
                    disagreement_reason(holding.totals[kQuantity], holding.totals[kValue])};
        }
        return {left_out::kRemovedInFull, ""};
    }
    if (quantity == Test::kUnknown) raise_blank(removal.quantity);
    if (value == Test::kUnknown) raise_blank(removal.value);
    return {};
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

// CUSIP characters' values for the check digit: digits as themselves,
// letters from 10 (A) on.
int character_value(char c) {
    return std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : c - 'A' + 10;
}

// The ninth character of a CUSIP checks the first eight: modulus 10,
// double-add-double (every second value doubled, digits of the results
// added up).
bool check_digit_matches(const std::string& cusip) {
    int total = 0;
    for (size_t i = 0; i < 8; ++i) {
        int value = character_value(cusip[i]);
        if (i % 2 == 1) value *= 2;
        total += value / 10 + value % 10;
    }
    return cusip[8] - '0' == (10 - total % 10) % 10;
}

bool nine_letters_and_digits(const py::handle& cusip) {
    if (!PyUnicode_Check(cusip.ptr()) || !PyUnicode_IS_ASCII(cusip.ptr())) return false;
    std::string characters = py::str(cusip);
    if (characters.size() != 9) return false;
    for (char c : characters) {
        if (!std::isdigit(static_cast<unsigned char>(c)) &&
            !(c >= 'A' && c <= 'Z')) {
            return false;
        }
    }
    return true;
}

// Why a CUSIP that is not on the list cannot be: malformed identifiers
// (a CUSIP Excel turned into a number, a typing slip, a look-alike letter
// from another alphabet) are told apart from real CUSIPs of securities the
// list does not carry.
Verdict not_listed_reason(const py::handle& cusip) {
    if (!nine_letters_and_digits(cusip)) {
        return {left_out::kNotNineCharacters, malformed_cusip_reason(cusip)};
    }
    std::string characters = py::str(cusip);
    if (!std::isdigit(static_cast<unsigned char>(characters[8])) ||
        !check_digit_matches(characters)) {
        return {left_out::kCheckDigit, ""};
    }
    return {left_out::kNotListed, ""};
}

// A total for the review only: a column that cannot be added up (text in
// a holding nobody reports) shows no total rather than stopping the run.
py::object total_if_possible(const Portfolio& portfolio, size_t amount,
                             const std::vector<size_t>& rows) {
    py::list values;
    for (size_t row : rows) {
        values.append(filled(portfolio.amounts[amount], row, portfolio.zeros[amount]));
    }
    try {
        return builtin("sum")(values);
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_TypeError)) throw;
        return py::none();
    }
}

// Every portfolio CUSIP once, in order of first appearance: those the list
// walk decided, then the ones it never met, which are not on the list.
void record_outcomes(RunRecord& record, const Portfolio& portfolio,
                     std::vector<HoldingOutcome>& decided, std::vector<bool>& met) {
    record.outcomes.clear();
    const py::list& cusips = portfolio.rows.cusips();
    for (size_t group = 0; group < cusips.size(); ++group) {
        if (met[group]) {
            record.outcomes.push_back(decided[group]);
            continue;
        }
        py::object cusip = cusips[group];
        const std::vector<size_t>& rows = portfolio.rows.rows(group);
        Verdict verdict = not_listed_reason(cusip);
        record.outcomes.push_back({cusip, description_of(portfolio, rows.front()),
                                   total_if_possible(portfolio, kQuantity, rows),
                                   total_if_possible(portfolio, kValue, rows), verdict.reason,
                                   verdict.explanation});
    }
    record.reconciled = true;
}

}  // namespace

py::object reconcile(py::handle module, const py::list& list_cusips, const py::object& raw,
                     const py::object& rem, RunRecord* record) {
    Portfolio portfolio = read_portfolio(module, raw);
    Removals removals(module, rem);
    std::vector<Holding> kept;
    size_t groups = py::len(portfolio.rows.cusips());
    std::vector<HoldingOutcome> decided(groups);
    std::vector<bool> met(groups, false);
    for (const py::handle& cusip : list_cusips) {
        const std::vector<size_t>* rows = portfolio.rows.find(cusip);
        if (!rows) continue;  // not held: the removal list is not consulted
        Holding holding = add_up_holding(portfolio, *rows, cusip);
        std::array<py::object, 5> held = holding.totals;
        RemovalPair removal = removals_of(removals, cusip);
        take_off_removals(holding, removal);
        Verdict verdict = left_out_reason(portfolio, holding, held, removal);
        size_t group = portfolio.rows.group(cusip);
        if (!met[group]) {
            met[group] = true;
            decided[group] = {py::reinterpret_borrow<py::object>(cusip),
                              description_of(portfolio, holding.first_row), held[kQuantity],
                              held[kValue], verdict.reason, verdict.explanation};
            if (verdict.reason == left_out::kAmountsDisagree) {
                warn_of_disagreement(cusip, held[kQuantity], held[kValue],
                                     holding.totals[kQuantity], holding.totals[kValue],
                                     removals.path());
            }
        }
        if (!verdict.reason) kept.push_back(std::move(holding));
    }
    if (record) record_outcomes(*record, portfolio, decided, met);
    return holdings_table(raw, kept);
}

}  // namespace tavrin
