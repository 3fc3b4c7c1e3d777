// The list workbook written, and the stacked table it reads back as.
//
// Reading a full list workbook back costs about a second, most of it the
// reader parsing the XML just written. Where the workbook is written
// directly, the writer knows every cell as the reader will see it (numbers
// as the double their text gives, whole ones as ints; texts and booleans as
// they are; "" where no cell is), so each sheet's rows go straight to the
// parser pandas' reader hands them to, with the reader's own arguments, and
// the result is the read-back table without the round trip (sheet_runs.cpp).
// The benchmark compares the two cell for cell on a full list.
#include "seclist/list_workbook.hpp"
#include "seclist/sheet_runs.hpp"

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

// Every text stays a text: an issuer printed as "=SUM(A1:A9)" must not
// become a formula, nor an address a link.
py::dict writer_options() {
    py::dict options;
    options["in_memory"] = true;
    options["strings_to_formulas"] = false;
    options["strings_to_urls"] = false;
    py::dict engine_kwargs;
    engine_kwargs["options"] = options;
    return engine_kwargs;
}

void write_through_pandas(py::handle module, const py::list& tables, const py::object& path) {
    py::object writer = global(module, "pd").attr("ExcelWriter")(
        path, "engine"_a = kWriter, "engine_kwargs"_a = writer_options());
    with_context(writer, [&](const py::object& opened) {
        size_t number = 1;
        for (const py::handle& table : tables) {
            table.attr("to_excel")(opened, "sheet_name"_a = "Sheet" + std::to_string(number++));
        }
    });
}

py::object read_back_stacked(py::handle module, const py::object& path) {
    py::object pd = global(module, "pd");
    py::object sheets =
        pd.attr("read_excel")(path, "sheet_name"_a = py::none(), "engine"_a = kReader);
    return pd.attr("concat")(sheets, "ignore_index"_a = true);
}

}  // namespace

py::object write_and_stack(py::handle module, const py::list& tables, const py::object& path) {
    py::list grids;
    if (write_plain_workbook(module, tables, path, &grids)) return stack_parsed_sheets(module, grids);
    write_through_pandas(module, tables, path);
    return read_back_stacked(module, path);
}

}  // namespace tavrin
