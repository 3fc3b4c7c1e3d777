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

// The run keeps which CUSIPs have listed options, for the filer's put and
// call entries: the asterisk joined to the CUSIP, or alone in a cell of the
// row (the column tabula gives it on pages where it is drawn apart).
void record_listed_options(py::handle module, const py::object& df, const py::list& cusips,
                           const std::vector<bool>& joined) {
    RunRecord* record = RunRecord::current();
    if (record == nullptr) return;
    record->options_read = true;
    py::list flags;
    for (bool flag : joined) flags.append(flag);
    // Column by column through pandas: a full list has some 25,000 rows.
    py::object marked = global(module, "pd").attr("Series")(flags, "index"_a = df.attr("index"),
                                                           "dtype"_a = "bool");
    py::object columns = df.attr("iloc");
    for (size_t i = 0; i < py::len(df.attr("columns")); ++i) {
        py::object column = columns[py::make_tuple(py::slice(py::none(), py::none(), py::none()), i)];
        marked = marked.attr("__or__")(
            column.attr("astype")(builtin("str")).attr("str").attr("strip")().attr("eq")("*"));
    }
    py::list is_marked = marked.attr("tolist")();
    for (size_t i = 0; i < joined.size(); ++i) {
        if (truthy(is_marked[i])) record->listed_options.add(clean_identifier(cusips[i]));
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
    record_listed_options(module, df, stripped, joined);
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
