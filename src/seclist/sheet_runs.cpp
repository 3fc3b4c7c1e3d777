// The list's sheets stacked as pandas reads the workbook back.
//
// pandas' reader infers each sheet's column types on its own, and stacking
// then settles one type per column for all of them. Parsing 750 sheets one
// by one and stacking 750 frames costs most of a second. Yet nearly every
// sheet of a list has the same headings, and nearly every column is plainly
// of one kind: whole numbers, numbers, texts, or nothing at all. Neighbouring
// sheets like that are parsed together, as one run, and each run's columns
// are then given the type stacking gives them. A sheet holding anything the
// parser might read some other way (a text that could be a number, a missing
// marker or a truth value; a truth value itself; a sheet with no rows) is
// parsed on its own, as before. Should the stacked types still differ from
// what stacking the sheets one by one gives, the sheets are parsed one by one.
#include "seclist/sheet_runs.hpp"

#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

namespace tavrin {

py::object parsed_sheet(py::handle module, const py::list& grid) {
    if (grid.empty()) return global(module, "pd").attr("DataFrame")();
    py::object parser = py::module_::import("pandas.io.parsers").attr("TextParser")(
        grid, "header"_a = 0, "skip_blank_lines"_a = false, "keep_default_na"_a = true,
        "na_filter"_a = true);
    return parser.attr("read")();
}

namespace {

// What one sheet's column holds, as far as the parser's inference goes; the
// letters make a sheet's kinds a short text to compare.
enum Kind : unsigned {
    kWhole = 1,    // whole numbers only: int64
    kNumber = 2,   // numbers, some with a fraction or some missing: float64
    kMissing = 4,  // nothing: float64, all NaN
    kText = 8,     // texts that are surely texts: str
};
constexpr unsigned kUnsure = 0;

// The texts the parser reads as missing, as pandas lists them; the ones it
// reads as truth values, its defaults.
struct Markers {
    std::unordered_set<std::string> missing;
    std::unordered_set<std::string> truth{"True", "TRUE", "true", "False", "FALSE", "false"};
};

std::optional<Markers> parser_markers() {
    try {
        Markers markers;
        py::object defaults = py::module_::import("pandas._libs.parsers").attr("STR_NA_VALUES");
        for (const py::handle& marker : defaults) markers.missing.insert(py::str(marker));
        return markers;
    } catch (py::error_already_set&) {
        return std::nullopt;  // another pandas: every sheet parsed on its own
    }
}

bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

bool equals_ignoring_case(std::string_view text, const char* word) {
    size_t n = std::strlen(word);
    if (text.size() != n) return false;
    for (size_t i = 0; i < n; ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != word[i]) return false;
    }
    return true;
}

// Whether an ASCII text has the shape of anything a number parser reads:
// blanks, a sign, digits, points and underscores, an exponent, or one of
// the words for infinity and not-a-number.
bool shaped_like_a_number(std::string_view text) {
    size_t begin = 0, end = text.size();
    while (begin < end && is_space(text[begin])) ++begin;
    while (end > begin && is_space(text[end - 1])) --end;
    std::string_view core = text.substr(begin, end - begin);
    if (!core.empty() && (core[0] == '+' || core[0] == '-')) core.remove_prefix(1);
    for (const char* word : {"inf", "infinity", "nan", "snan", "qnan"}) {
        if (equals_ignoring_case(core, word)) return true;
    }
    size_t i = 0;
    auto digits = [&] {
        while (i < core.size() && ((core[i] >= '0' && core[i] <= '9') || core[i] == '_' ||
                                   core[i] == '.')) {
            ++i;
        }
    };
    digits();
    if (i < core.size() && (core[i] == 'e' || core[i] == 'E')) {
        ++i;
        if (i < core.size() && (core[i] == '+' || core[i] == '-')) ++i;
        digits();
    }
    return i == core.size();
}

// A text no parser could take for a number, a missing value or a truth
// value. Some letters appear in no way of writing a number; without one,
// only an ASCII text can be judged here, since number parsers also read
// digits and blanks beyond ASCII.
bool surely_text(std::string_view text, const Markers& markers) {
    std::string key(text);
    if (markers.missing.count(key) || markers.truth.count(key)) return false;
    if (text.find_first_of("bcghklmqrsuvwzBCGHKLMQRSUVWZ") != std::string_view::npos) return true;
    for (char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    }
    return !shaped_like_a_number(text);
}

unsigned cell_kind(PyObject* cell, const Markers& markers) {
    if (PyBool_Check(cell)) return kUnsure;
    if (PyLong_Check(cell)) return kWhole;
    if (PyFloat_Check(cell)) return kNumber;
    if (!PyUnicode_Check(cell)) return kUnsure;
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(cell, &size);
    if (data == nullptr) throw py::error_already_set();
    std::string_view text(data, static_cast<size_t>(size));
    if (markers.missing.count(std::string(text))) return kMissing;
    return surely_text(text, markers) ? kText : kUnsure;
}

// A column's kind from the kinds of its cells.
unsigned column_kind(unsigned cells) {
    if (cells & kText) return (cells & (kWhole | kNumber)) ? kUnsure : kText;
    if (cells == kWhole || cells == kMissing) return cells;
    return kNumber;
}

// A sheet whose rows can join a run: string headings and one kind a column.
struct SheetShape {
    std::vector<std::string> headings;
    std::vector<unsigned> kinds;
    std::string key() const {
        std::string out;
        for (const std::string& heading : headings) out += heading + '\0';
        for (unsigned kind : kinds) out += static_cast<char>('0' + kind);
        return out;
    }
};

std::optional<SheetShape> shape_of(const py::list& grid, const Markers& markers) {
    if (grid.size() < 2) return std::nullopt;  // no rows: parsed alone
    SheetShape shape;
    PyObject* headings = grid[0].ptr();
    if (!PyList_Check(headings)) return std::nullopt;
    Py_ssize_t width = PyList_GET_SIZE(headings);
    for (Py_ssize_t c = 0; c < width; ++c) {
        PyObject* heading = PyList_GET_ITEM(headings, c);
        if (!PyUnicode_Check(heading)) return std::nullopt;
        shape.headings.push_back(py::str(heading));
    }
    std::vector<unsigned> cells(static_cast<size_t>(width), 0);
    for (size_t r = 1; r < grid.size(); ++r) {
        PyObject* row = grid[r].ptr();
        if (!PyList_Check(row) || PyList_GET_SIZE(row) != width) return std::nullopt;
        for (Py_ssize_t c = 0; c < width; ++c) {
            unsigned kind = cell_kind(PyList_GET_ITEM(row, c), markers);
            if (kind == kUnsure) return std::nullopt;
            cells[static_cast<size_t>(c)] |= kind;
        }
    }
    for (unsigned column : cells) {
        unsigned kind = column_kind(column);
        if (kind == kUnsure) return std::nullopt;
        shape.kinds.push_back(kind);
    }
    return shape;
}

// A sheet of the shape's headings and one row of its kinds, parsed: it
// names the columns as the parser names them and carries their types.
py::object sample_of(py::handle module, const py::list& headings, const SheetShape& shape) {
    py::list row;
    for (unsigned kind : shape.kinds) {
        if (kind == kWhole) row.append(0);
        else if (kind == kNumber) row.append(0.5);
        else if (kind == kMissing) row.append("");
        else row.append("x");
    }
    py::list grid;
    grid.append(headings);
    grid.append(row);
    return parsed_sheet(module, grid);
}

struct Sheets {
    std::vector<std::optional<SheetShape>> shapes;  // none: parsed alone
    std::vector<py::object> alone;                  // the alone ones, parsed
    std::map<std::string, py::object> samples;      // by SheetShape::key()
};

// The type each column gets once every sheet is stacked: stacking one sample
// of each shape, and each lone sheet, in order, gives the same columns and
// types as stacking every sheet, since only which types meet decides them.
py::object stacked_types(py::handle module, const py::list& grids, Sheets& sheets) {
    py::list parts;
    for (size_t n = 0; n < grids.size(); ++n) {
        const auto& shape = sheets.shapes[n];
        if (!shape) {
            sheets.alone[n] = parsed_sheet(module, py::reinterpret_borrow<py::list>(grids[n]));
            parts.append(sheets.alone[n]);
            continue;
        }
        auto [sample, added] = sheets.samples.try_emplace(shape->key());
        if (!added) continue;
        sample->second = sample_of(module, grids[n].cast<py::list>()[0], *shape);
        parts.append(sample->second);
    }
    return global(module, "pd").attr("concat")(parts, "ignore_index"_a = true).attr("dtypes");
}

// Neighbouring sheets with the same headings, parsed as one.
struct Run {
    size_t first = 0;
    std::vector<unsigned> kinds;     // the kinds its sheets have, a column
    std::vector<bool> ends_float64;  // whether stacking makes a column float64
    py::list names;                  // the columns as the parser names them
    py::list grid;
};

// Whether a column whose sheets hold `kinds` can be parsed as one: texts
// never meet numbers, and whole numbers meet others only in a column that
// ends up float64 anyway, since a run reads them all as floats.
bool joinable(unsigned kinds, bool ends_float64) {
    if ((kinds & kText) && (kinds & (kWhole | kNumber))) return false;
    if ((kinds & kWhole) && kinds != kWhole) return ends_float64;
    return true;
}

bool joins(const Run& run, const SheetShape& shape) {
    for (size_t c = 0; c < shape.kinds.size(); ++c) {
        if (!joinable(run.kinds[c] | shape.kinds[c], run.ends_float64[c])) return false;
    }
    return true;
}

Run run_from(size_t first, const py::list& grid, const SheetShape& shape,
             const py::object& sample, const py::object& types) {
    py::object float64 = py::module_::import("numpy").attr("dtype")("float64");
    Run run;
    run.first = first;
    run.kinds = shape.kinds;
    run.names = sample.attr("columns").attr("tolist")();
    for (const py::handle& name : run.names) {
        run.ends_float64.push_back(py::object(types[name]).equal(float64));
    }
    run.grid.append(grid[0]);
    return run;
}

// The type the parser gives a column of each kind, as this pandas has it.
struct KindTypes {
    py::object whole, number, text;

    explicit KindTypes(py::handle module) {
        py::list headings, row, grid;
        for (const char* label : {"whole", "number", "text"}) headings.append(label);
        row.append(0);
        row.append(0.5);
        row.append("x");
        grid.append(headings);
        grid.append(row);
        py::list types = parsed_sheet(module, grid).attr("dtypes").attr("tolist")();
        whole = types[0];
        number = types[1];
        text = types[2];
    }

    // A run's column holding `kinds`: whole numbers alone stay whole, texts
    // (with gaps) stay texts, and everything else is a float.
    const py::object& of(unsigned kinds) const {
        if (kinds == kWhole) return whole;
        return (kinds & kText) ? text : number;
    }
};

// The run parsed, its columns given their stacked types; none when the
// parser read a column otherwise than its kinds say.
std::optional<py::object> parsed_run(py::handle module, const Run& run, const py::object& types,
                                     const KindTypes& kind_types) {
    py::object frame = parsed_sheet(module, run.grid);
    py::list names = frame.attr("columns").attr("tolist")();
    if (!names.equal(run.names)) return std::nullopt;
    py::dict casts;
    for (size_t c = 0; c < names.size(); ++c) {
        py::object type = frame[names[c]].attr("dtype");
        if (!type.equal(kind_types.of(run.kinds[c]))) return std::nullopt;
        py::object stacked = types[names[c]];
        if (!type.equal(stacked)) casts[names[c]] = stacked;
    }
    return casts.empty() ? frame : frame.attr("astype")(casts);
}

void extend(py::list& grid, const py::list& sheet) {
    for (size_t r = 1; r < sheet.size(); ++r) grid.append(sheet[r]);
}

// The sheets in order, each run or lone sheet one frame; none when a run
// did not parse as its kinds say.
std::optional<py::list> frames_in_runs(py::handle module, const py::list& grids,
                                       Sheets& sheets, const py::object& types) {
    KindTypes kind_types(module);
    py::list frames;
    std::optional<Run> run;
    auto close = [&]() -> bool {
        if (!run) return true;
        auto frame = parsed_run(module, *run, types, kind_types);
        run.reset();
        if (!frame) return false;
        frames.append(*frame);
        return true;
    };
    for (size_t n = 0; n < grids.size(); ++n) {
        py::list grid = grids[n].cast<py::list>();
        const auto& shape = sheets.shapes[n];
        if (!shape) {
            if (!close()) return std::nullopt;
            frames.append(sheets.alone[n]);
            continue;
        }
        if (run && sheets.shapes[run->first]->headings == shape->headings && joins(*run, *shape)) {
            for (size_t c = 0; c < shape->kinds.size(); ++c) run->kinds[c] |= shape->kinds[c];
            extend(run->grid, grid);
            continue;
        }
        if (!close()) return std::nullopt;
        run = run_from(n, grid, *shape, sheets.samples.at(shape->key()), types);
        extend(run->grid, grid);
    }
    if (!close()) return std::nullopt;
    return frames;
}

py::object stacked_one_by_one(py::handle module, const py::list& grids) {
    py::list sheets;
    for (const py::handle& grid : grids) {
        sheets.append(parsed_sheet(module, py::reinterpret_borrow<py::list>(grid)));
    }
    return global(module, "pd").attr("concat")(sheets, "ignore_index"_a = true);
}

}  // namespace

py::object stack_parsed_sheets(py::handle module, const py::list& grids) {
    std::optional<Markers> markers = parser_markers();
    if (!markers || grids.empty()) return stacked_one_by_one(module, grids);
    Sheets sheets;
    sheets.alone.resize(grids.size());
    for (const py::handle& grid : grids) {
        sheets.shapes.push_back(shape_of(py::reinterpret_borrow<py::list>(grid), *markers));
    }
    py::object types = stacked_types(module, grids, sheets);
    std::optional<py::list> frames = frames_in_runs(module, grids, sheets, types);
    if (!frames) return stacked_one_by_one(module, grids);
    py::object stacked = global(module, "pd").attr("concat")(*frames, "ignore_index"_a = true);
    if (!truthy(stacked.attr("dtypes").attr("equals")(types))) {
        return stacked_one_by_one(module, grids);
    }
    return stacked;
}

}  // namespace tavrin
