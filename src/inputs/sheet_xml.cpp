// The first sheet's XML, read only as far as needed: a custodian's export
// rarely has formulas, error values or merged cells, so the sheet is
// searched for their tags first and parsed only when one is there.
#include "inputs/sheet_xml.hpp"

#include <cctype>
#include <string>
#include <vector>

namespace tavrin {
namespace {

// A formula element, with or without a namespace prefix (some writers put
// every element under "x:").
constexpr const char* kFormulaTag = R"(<(?:[A-Za-z_][\w.\-]*:)?f[\s/>])";
constexpr const char* kMergeTag = "mergeCell";
constexpr const char* kErrorType = "t=\"e\"";

// Formula cells whose value element is missing or empty, and the merged
// ranges: in the sheet's namespace (twice as fast to search), or by local
// name for a sheet that has none.
constexpr const char* kUnsavedFormulaCells =
    "//m:sheetData/m:row/m:c[m:f][not(m:v[string-length(.) > 0])]";
constexpr const char* kMergedRanges = "//m:mergeCell/@ref";
constexpr const char* kUnsavedFormulaCellsAnyNamespace =
    "//*[local-name()='row']/*[local-name()='c'][*[local-name()='f']]"
    "[not(*[local-name()='v'][string-length(.) > 0])]";
constexpr const char* kMergedRangesAnyNamespace = "//*[local-name()='mergeCell']/@ref";
constexpr const char* kErrorCells = "//m:sheetData/m:row/m:c[@t='e']";
constexpr const char* kErrorCellsAnyNamespace =
    "//*[local-name()='row']/*[local-name()='c'][@t='e']";

// "K12" as row 12, column 10.
bool parse_address(const std::string& text, CellAddress& at) {
    size_t i = 0;
    long column = 0;
    while (i < text.size() && std::isupper(static_cast<unsigned char>(text[i]))) {
        column = column * 26 + (text[i] - 'A' + 1);
        ++i;
    }
    if (i == 0 || i == text.size()) return false;
    long row = 0;
    for (; i < text.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) return false;
        row = row * 10 + (text[i] - '0');
    }
    at = {row, column - 1};
    return true;
}

py::object parse_xml(const py::bytes& data) {
    py::object etree = py::module_::import("lxml.etree");
    // No entities, no network: the file comes from outside.
    py::object parser = etree.attr("XMLParser")("resolve_entities"_a = false,
                                                "no_network"_a = true, "huge_tree"_a = true);
    return etree.attr("fromstring")(data, parser);
}

// The sheet searched with `path`, or `any_namespace` when it has none.
py::list search(const py::object& sheet, const char* path, const char* any_namespace) {
    py::object space = py::module_::import("lxml.etree").attr("QName")(sheet).attr("namespace");
    if (space.is_none()) return sheet.attr("xpath")(any_namespace);
    py::dict namespaces;
    namespaces["m"] = space;
    return sheet.attr("xpath")(path, "namespaces"_a = namespaces);
}

std::string part_beside(const std::string& part, const std::string& target) {
    if (!target.empty() && target.front() == '/') return target.substr(1);
    py::object posixpath = py::module_::import("posixpath");
    py::object folder = posixpath.attr("dirname")(part);
    return py::str(posixpath.attr("normpath")(posixpath.attr("join")(folder, target)));
}

std::string relationships_of(const std::string& part) {
    size_t slash = part.rfind('/');
    std::string folder = slash == std::string::npos ? "" : part.substr(0, slash + 1);
    std::string name = slash == std::string::npos ? part : part.substr(slash + 1);
    return folder + "_rels/" + name + ".rels";
}

struct Relationship {
    std::string id, type, target;
};

std::vector<Relationship> relationships(const py::object& zip, const std::string& rels_part) {
    py::object rels = parse_xml(zip.attr("read")(rels_part));
    std::vector<Relationship> found;
    for (auto item : rels.attr("xpath")("//*[local-name()='Relationship']")) {
        auto attribute = [&](const char* name) {
            return std::string(py::str(item.attr("get")(name, "")));
        };
        found.push_back({attribute("Id"), attribute("Type"), attribute("Target")});
    }
    return found;
}

bool ends_with(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// The package's workbook part, then its sheet called `name` (the first
// sheet, as pandas and Excel order them, when `name` is empty).
std::string sheet_part(const py::object& zip, const std::string& name) {
    std::string workbook;
    for (const Relationship& relationship : relationships(zip, "_rels/.rels")) {
        if (ends_with(relationship.type, "/officeDocument")) workbook = relationship.target;
    }
    if (workbook.empty()) return "";
    workbook = part_beside("", workbook);
    py::object book = parse_xml(zip.attr("read")(workbook));
    py::list sheets = book.attr("xpath")("//*[local-name()='sheets']/*[local-name()='sheet']");
    py::object chosen = py::none();
    for (auto sheet : sheets) {
        if (name.empty() || text(sheet.attr("get")("name", "")) == name) {
            chosen = py::reinterpret_borrow<py::object>(sheet);
            break;
        }
    }
    if (chosen.is_none()) return "";
    std::string id;
    for (auto item : chosen.attr("attrib").attr("items")()) {
        py::tuple pair = py::reinterpret_borrow<py::tuple>(item);
        if (ends_with(py::str(pair[0]), "}id")) id = py::str(pair[1]);
    }
    for (const Relationship& relationship : relationships(zip, relationships_of(workbook))) {
        if (!id.empty() && relationship.id == id) return part_beside(workbook, relationship.target);
    }
    return "";
}

long whole_number(const std::string& digits) {
    long number = 0;
    for (char c : digits) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return 0;
        number = number * 10 + (c - '0');
    }
    return number;
}

// Where a cell is when its writer left out the "r" attribute, as the
// format allows: one column after the cell before it, in the row's row.
CellAddress position_without_reference(const py::object& cell) {
    py::object row = cell.attr("getparent")();
    CellAddress at{0, 0};
    py::object row_number = row.attr("get")("r");
    if (!row_number.is_none()) {
        at.row = whole_number(py::str(row_number));
    } else {
        at.row = 1 + py::len(row.attr("xpath")("preceding-sibling::*[local-name()='row']"));
    }
    long steps = 0;
    for (auto sibling : cell.attr("itersiblings")("preceding"_a = true)) {
        ++steps;
        py::object reference = sibling.attr("get")("r");
        CellAddress before;
        if (!reference.is_none() && parse_address(py::str(reference), before)) {
            at.column = before.column + steps;
            return at;
        }
    }
    at.column = steps;
    return at;
}

CellAddress address_of(const py::object& cell) {
    py::object reference = cell.attr("get")("r");
    CellAddress at;
    if (reference.is_none() || !parse_address(py::str(reference), at)) {
        at = position_without_reference(cell);
    }
    return at;
}

void add_unsaved_formulas(const py::object& sheet, SheetFacts& facts) {
    py::list cells = search(sheet, kUnsavedFormulaCells, kUnsavedFormulaCellsAnyNamespace);
    for (auto item : cells) {
        facts.unsaved_formulas.push_back(address_of(py::reinterpret_borrow<py::object>(item)));
    }
}

void add_error_cells(const py::object& sheet, SheetFacts& facts) {
    py::list cells = search(sheet, kErrorCells, kErrorCellsAnyNamespace);
    for (auto item : cells) {
        py::object cell = py::reinterpret_borrow<py::object>(item);
        std::string shown = py::str(cell.attr("xpath")("string(*[local-name()='v'])"));
        facts.errors.push_back({address_of(cell), shown.empty() ? "#N/A" : shown});
    }
}

void add_merged_ranges(const py::object& sheet, SheetFacts& facts) {
    py::list references = search(sheet, kMergedRanges, kMergedRangesAnyNamespace);
    for (auto item : references) {
        std::string reference = py::str(item);
        size_t colon = reference.find(':');
        CellRange range;
        if (colon == std::string::npos || !parse_address(reference.substr(0, colon), range.first) ||
            !parse_address(reference.substr(colon + 1), range.last)) {
            continue;
        }
        facts.merged.push_back(range);
    }
}

SheetFacts read_facts(const py::object& zip, const std::string& name) {
    SheetFacts facts;
    std::string part = sheet_part(zip, name);
    if (part.empty()) return facts;
    py::bytes data = zip.attr("read")(part);
    bool formulas = !py::module_::import("re")
                         .attr("search")(py::bytes(kFormulaTag), data)
                         .is_none();
    bool merges = truthy(data.attr("__contains__")(py::bytes(kMergeTag)));
    bool errors = truthy(data.attr("__contains__")(py::bytes(kErrorType)));
    if (!formulas && !merges && !errors) return facts;
    py::object sheet = parse_xml(data);
    if (formulas) add_unsaved_formulas(sheet, facts);
    if (merges) add_merged_ranges(sheet, facts);
    if (errors) add_error_cells(sheet, facts);
    return facts;
}

}  // namespace

SheetFacts sheet_facts(const py::object& path, const std::string& name) {
    py::object zipfile = py::module_::import("zipfile");
    try {
        if (!truthy(zipfile.attr("is_zipfile")(path))) return {};
        SheetFacts facts;
        with_context(zipfile.attr("ZipFile")(path),
                     [&](const py::object& zip) { facts = read_facts(zip, name); });
        return facts;
    } catch (py::error_already_set& error) {
        // The reader has read the sheet already; a package whose parts are
        // laid out otherwise only goes unchecked.
        if (!error.matches(PyExc_Exception)) throw;
        return {};
    }
}

SheetFacts first_sheet_facts(const py::object& path) { return sheet_facts(path, ""); }

}  // namespace tavrin
