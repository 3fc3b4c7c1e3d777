// Extraction of the list's tables.
//
// tabula gives one table per page, the cover and information pages
// included (their rows carry no CUSIP and are dropped by the normaliser).
// The tables go one sheet each into a workbook, and the workbook read back
// is the stacked list, so every value is what the workbook reader makes of
// the stored cell.
#include "common/run_record.hpp"
#include "inputs/inputs.hpp"
#include "seclist/explained.hpp"
#include "seclist/last_page.hpp"
#include "seclist/list_workbook.hpp"
#include "seclist/seclist.hpp"

#include <string>
#include <vector>

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

// What went wrong, in a few words: tabula-java's last line on its error
// stream when it ended badly, else the error's own text.
std::string what_tabula_said(py::error_already_set& error) {
    py::object said = py::getattr(error.value(), "stderr", py::none());
    if (py::isinstance<py::bytes>(said)) {
        said = said.attr("decode")("utf-8", "replace");
    }
    if (py::isinstance<py::str>(said)) {
        py::list lines = said.attr("strip")().attr("splitlines")();
        if (!lines.empty()) return text(lines[py::len(lines) - 1]);
    }
    return text(error.value());
}

[[noreturn]] void explain_unreadable(py::handle module, py::error_already_set& error) {
    raise_explained(error, "The stored list " + text(global(module, "sec_pdf_path")) +
                               " could not be read as the list of 13(f) securities (" +
                               what_tabula_said(error) +
                               "). Delete it and run again to download it afresh.");
}

py::object read_tables(py::handle module) {
    try {
        // tabula-java's own logging (PDFBox's font fallback warnings, a
        // few dozen lines a run) is switched off; a failure still ends it
        // badly and is reported below. Subprocess mode measured faster than
        // jpype (benchmarks/engines.py), and asking for it spares the
        // warning tabula-py prints when jpype is not installed.
        return global(module, "read_pdf")(global(module, "sec_pdf_path"),
                                          "pages"_a = global(module, "mydpages"),
                                          "area"_a = page_area(), "silent"_a = true,
                                          "force_subprocess"_a = true);
    } catch (py::error_already_set& error) {
        py::object java_missing = py::module_::import("tabula.errors").attr("JavaNotFoundError");
        if (error.matches(java_missing)) {
            raise_error(java_missing.ptr(),
                        "The list PDF is read with tabula, which needs Java: install a Java "
                        "runtime (on Debian: apt-get install default-jre-headless) and make sure "
                        "`java` is on the PATH.");
        }
        // A damaged or foreign file: tabula-java ends badly, or what it
        // gives back is not a table.
        if (error.matches(py::module_::import("subprocess").attr("CalledProcessError")) ||
            error.matches(PyExc_ValueError)) {
            explain_unreadable(module, error);
        }
        throw;
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
    py::list tables = split_merged_headings(module, read_tables(module));
    write_one_sheet_per_table(module, tables);
    py::object df = read_back_stacked(module);
    check_total_count(module, tables, df);
    strip_option_markers(module, df);
    return global(module, "cleancusip")(df, "CUSIPNO", global(module, "sec_cons_path"));
}

}  // namespace tavrin
