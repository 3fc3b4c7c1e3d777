// The list's rows for this run: the extraction of the stored list (made this
// run, kept from an earlier one, or made afresh), its stated count compared,
// its CUSIPs cleaned.
#include "seclist/extraction.hpp"
#include "seclist/last_page.hpp"
#include "seclist/seclist.hpp"

#include <string>

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

void strip_option_markers(py::handle module, py::object& df) {
    py::list labels = df.attr("columns").attr("tolist")();
    if (!labels.contains("CUSIP NO")) return;
    py::object cells = df[py::str("CUSIP NO")];
    py::list stripped;
    for (const py::handle& cell : py::list(cells.attr("tolist")())) {
        if (py::isinstance<py::str>(cell)) stripped.append(without_option_marker(cell.cast<std::string>()));
        else stripped.append(cell);
    }
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
