// Extraction of the list's tables.
//
// tabula gives one table per page, the cover and information pages
// included (their rows carry no CUSIP and are dropped by the normaliser).
// The tables go one sheet each into a workbook, and the workbook read back
// is the stacked list, so every value is what the workbook reader makes of
// the stored cell.
#include "seclist/list_workbook.hpp"
#include "seclist/seclist.hpp"

#include <string>

namespace tavrin {
namespace {

// Measured on a full list (752 sheets, benchmarks/engines.py): through
// pandas, xlsxwriter writes in about 4.5 s where openpyxl takes over a
// minute, and calamine reads in about 2 s where openpyxl takes 5 to 6; every
// pairing gives the same stacked table. The workbook is written directly
// when its tables allow it (list_workbook.cpp), else through pandas and
// xlsxwriter, kept in memory to save a temporary file per sheet.
constexpr const char* kWriter = "xlsxwriter";
constexpr const char* kReader = "calamine";

py::dict writer_options() {
    py::dict options;
    options["in_memory"] = true;
    py::dict engine_kwargs;
    engine_kwargs["options"] = options;
    return engine_kwargs;
}

// Top, left, bottom, right in points: leaves out the "Run Date"/"Run Time"
// band at the top and the left margin of every page.
py::list page_area() {
    py::list rectangle;
    for (int edge : {100, 50, 900, 900}) rectangle.append(edge);
    py::list area;
    area.append(rectangle);
    return area;
}

py::object read_tables(py::handle module) {
    try {
        return global(module, "read_pdf")(global(module, "sec_pdf_path"),
                                          "pages"_a = global(module, "mydpages"),
                                          "area"_a = page_area());
    } catch (py::error_already_set& error) {
        py::object java_missing = py::module_::import("tabula.errors").attr("JavaNotFoundError");
        if (!error.matches(java_missing)) throw;
        raise_error(java_missing.ptr(),
                    "The list PDF is read with tabula, which needs Java: install a Java runtime "
                    "(on Debian: apt-get install default-jre-headless) and make sure `java` is on "
                    "the PATH.");
    }
}

void write_one_sheet_per_table(py::handle module, const py::object& tables) {
    if (write_plain_workbook(module, tables, global(module, "sec_excel_Path"))) return;
    py::object writer = global(module, "pd").attr("ExcelWriter")(
        global(module, "sec_excel_Path"), "engine"_a = kWriter, "engine_kwargs"_a = writer_options());
    with_context(writer, [&](const py::object& opened) {
        size_t number = 1;
        for (const py::handle& table : tables) {
            table.attr("to_excel")(opened, "sheet_name"_a = "Sheet" + std::to_string(number++));
        }
    });
}

py::object read_back_stacked(py::handle module) {
    py::object pd = global(module, "pd");
    py::object sheets = pd.attr("read_excel")(global(module, "sec_excel_Path"),
                                              "sheet_name"_a = py::none(), "engine"_a = kReader);
    return pd.attr("concat")(sheets, "ignore_index"_a = true);
}

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
    py::object tables = read_tables(module);
    write_one_sheet_per_table(module, tables);
    py::object df = read_back_stacked(module);
    strip_option_markers(module, df);
    return global(module, "cleancusip")(df, "CUSIPNO", global(module, "sec_cons_path"));
}

}  // namespace tavrin
