// The list's rows for this run: the extraction of the stored list (made this
// run, kept from an earlier one, or made afresh), its stated count compared,
// its CUSIPs cleaned.
#include "common/run_record.hpp"
#include "inputs/inputs.hpp"
#include "seclist/extraction.hpp"
#include "seclist/last_page.hpp"
#include "seclist/seclist.hpp"

#include <string>
#include <vector>

namespace tavrin {
namespace {

// Lists drawn with each CUSIP and its option asterisk as one string give
// cells such as "B38564 10 8 *"; the marker would keep every security with
// listed options from matching its holding.
std::string without_option_marker(std::string cell) {
    auto drop_trailing_blanks = [&cell] {
        while (!cell.empty() && cell.back() == ' ') cell.pop_back();
    };
    drop_trailing_blanks();
    if (!cell.empty() && cell.back() == '*') cell.pop_back();
    drop_trailing_blanks();
    return cell;
}

bool ends_with_option_marker(const std::string& cell) {
    size_t last = cell.find_last_not_of(' ');
    return last != std::string::npos && cell[last] == '*';
}

// A cell of the row that reads "*" once blanks around it are dropped.
bool row_has_lone_marker(const py::list& row) {
    for (const py::handle& cell : row) {
        if (!PyUnicode_Check(cell.ptr())) continue;
        if (PyUnicode_FindChar(cell.ptr(), '*', 0, PyUnicode_GET_LENGTH(cell.ptr()), 1) < 0) {
            continue;
        }
        if (text(cell.attr("strip")()) == "*") return true;
    }
    return false;
}

// The run keeps which CUSIPs have listed options, for the filer's put and
// call entries: the asterisk joined to the CUSIP, or alone in a cell of the
// row (the column tabula gives it on pages where it is drawn apart).
void record_listed_options(const py::object& df, const py::list& cusips,
                           const std::vector<bool>& joined) {
    RunRecord* record = RunRecord::current();
    if (record == nullptr) return;
    record->options_read = true;
    // Row by row over one object array of the table: a full list has some
    // 25,000 rows, and few cells hold an asterisk at all.
    py::list rows = df.attr("to_numpy")("dtype"_a = builtin("object")).attr("tolist")();
    for (size_t i = 0; i < joined.size(); ++i) {
        if (joined[i] || row_has_lone_marker(rows[i].cast<py::list>())) {
            record->listed_options.add(clean_identifier(cusips[i]));
        }
    }
}

void strip_option_markers(py::handle module, py::object& df) {
    py::list labels = df.attr("columns").attr("tolist")();
    if (!labels.contains("CUSIP NO")) return;
    py::object cells = df[py::str("CUSIP NO")];
    py::list stripped;
    std::vector<bool> joined;
    for (const py::handle& cell : py::list(cells.attr("tolist")())) {
        bool is_text = py::isinstance<py::str>(cell);
        joined.push_back(is_text && ends_with_option_marker(cell.cast<std::string>()));
        if (is_text) stripped.append(without_option_marker(cell.cast<std::string>()));
        else stripped.append(cell);
    }
    record_listed_options(df, stripped, joined);
    df[py::str("CUSIP NO")] = global(module, "pd").attr("Series")(
        stripped, "index"_a = df.attr("index"), "dtype"_a = cells.attr("dtype"));
}

}  // namespace

py::object storesec(py::handle module) {
    print_trace(module);
    py::dict extraction = extraction_of_stored_list(module);
    check_total_count(module, extraction);
    // The kept table stays as extracted; the run works on its own copy.
    py::object df = extraction["stacked"].attr("copy")();
    strip_option_markers(module, df);
    return global(module, "cleancusip")(df, "CUSIPNO", global(module, "sec_cons_path"));
}

}  // namespace tavrin
