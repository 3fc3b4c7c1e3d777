// The package around directly written sheets: the parts every workbook
// needs (content types, relationships, the workbook, its styles), the shared
// texts, and the sheets, zipped as Excel reads them.
#include "common/xlsx_package.hpp"

#include "common/tables.hpp"

#include <cstdio>

namespace tavrin::xlsx {

const char* const kXmlHeader = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n";
const char* const kMainNamespace = "http://schemas.openxmlformats.org/spreadsheetml/2006/main";

namespace {

constexpr const char* kRelationships =
    "http://schemas.openxmlformats.org/officeDocument/2006/relationships";

bool is_hex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// A text as a shared-table entry holds it, escaped as xlsxwriter escapes it:
// control characters other than tab and line feed become _xHHHH_, a literal
// _xHHHH_ has its underscore escaped so it reads back as written, the two
// non-characters U+FFFE and U+FFFF become _xFFFE_ and _xFFFF_, and & < >
// their entities.
void append_text(std::string& out, std::string_view text) {
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        auto byte = static_cast<unsigned char>(c);
        if (c == '_' && i + 6 < text.size() && text[i + 1] == 'x' && is_hex(text[i + 2]) &&
            is_hex(text[i + 3]) && is_hex(text[i + 4]) && is_hex(text[i + 5]) &&
            text[i + 6] == '_') {
            out += "_x005F_";
        } else if (byte < 0x20 && c != '\t' && c != '\n') {
            char escape[8];
            std::snprintf(escape, sizeof escape, "_x%04X_", byte);
            out += escape;
        } else if (byte == 0xEF && i + 2 < text.size() &&
                   static_cast<unsigned char>(text[i + 1]) == 0xBF &&
                   (static_cast<unsigned char>(text[i + 2]) & 0xFE) == 0xBE) {
            out += static_cast<unsigned char>(text[i + 2]) == 0xBE ? "_xFFFE_" : "_xFFFF_";
            i += 2;
        } else if (c == '&') {
            out += "&amp;";
        } else if (c == '<') {
            out += "&lt;";
        } else if (c == '>') {
            out += "&gt;";
        } else {
            out += c;
        }
    }
}

std::string escaped_attribute(std::string_view text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            default: out += c;
        }
    }
    return out;
}

std::string content_types(size_t sheets) {
    std::string out = kXmlHeader;
    out += "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
           "<Default Extension=\"rels\" "
           "ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>"
           "<Default Extension=\"xml\" ContentType=\"application/xml\"/>"
           "<Override PartName=\"/xl/workbook.xml\" ContentType=\"application/"
           "vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml\"/>"
           "<Override PartName=\"/xl/styles.xml\" ContentType=\"application/"
           "vnd.openxmlformats-officedocument.spreadsheetml.styles+xml\"/>"
           "<Override PartName=\"/xl/sharedStrings.xml\" ContentType=\"application/"
           "vnd.openxmlformats-officedocument.spreadsheetml.sharedStrings+xml\"/>";
    for (size_t n = 1; n <= sheets; ++n) {
        out += "<Override PartName=\"/xl/worksheets/sheet" + std::to_string(n) +
               ".xml\" ContentType=\"application/"
               "vnd.openxmlformats-officedocument.spreadsheetml.worksheet+xml\"/>";
    }
    return out + "</Types>";
}

std::string package_relationships() {
    return std::string(kXmlHeader) +
           "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/"
           "relationships\"><Relationship Id=\"rId1\" Type=\"" + kRelationships +
           "/officeDocument\" Target=\"xl/workbook.xml\"/></Relationships>";
}

std::string workbook(const std::vector<SheetPart>& sheets) {
    std::string out = std::string(kXmlHeader) + "<workbook xmlns=\"" + kMainNamespace +
                      "\" xmlns:r=\"" + kRelationships +
                      "\"><bookViews><workbookView activeTab=\"0\"/></bookViews><sheets>";
    for (size_t n = 1; n <= sheets.size(); ++n) {
        std::string number = std::to_string(n);
        out += "<sheet name=\"" + escaped_attribute(sheets[n - 1].name) + "\" sheetId=\"" +
               number + "\" r:id=\"rId" + number + "\"/>";
    }
    return out + "</sheets></workbook>";
}

std::string workbook_relationships(size_t sheets) {
    std::string out = std::string(kXmlHeader) +
                      "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/"
                      "relationships\">";
    for (size_t n = 1; n <= sheets; ++n) {
        std::string number = std::to_string(n);
        out += "<Relationship Id=\"rId" + number + "\" Type=\"" + kRelationships +
               "/worksheet\" Target=\"worksheets/sheet" + number + ".xml\"/>";
    }
    out += "<Relationship Id=\"rId" + std::to_string(sheets + 1) + "\" Type=\"" +
           kRelationships + "/styles\" Target=\"styles.xml\"/>";
    out += "<Relationship Id=\"rId" + std::to_string(sheets + 2) + "\" Type=\"" +
           kRelationships + "/sharedStrings\" Target=\"sharedStrings.xml\"/>";
    return out + "</Relationships>";
}

// The default style, and with `bold_style` a bold one beside it (kBold);
// Excel wants the style part present either way.
std::string styles(bool bold_style) {
    const char* font = "<font><sz val=\"11\"/><name val=\"Calibri\"/></font>";
    const char* bold = "<font><b/><sz val=\"11\"/><name val=\"Calibri\"/></font>";
    const char* plain_xf = "<xf numFmtId=\"0\" fontId=\"0\" fillId=\"0\" borderId=\"0\" xfId=\"0\"/>";
    const char* bold_xf =
        "<xf numFmtId=\"0\" fontId=\"1\" fillId=\"0\" borderId=\"0\" xfId=\"0\" applyFont=\"1\"/>";
    std::string count = bold_style ? "2" : "1";
    return std::string(kXmlHeader) + "<styleSheet xmlns=\"" + kMainNamespace +
           "\"><fonts count=\"" + count + "\">" + font + (bold_style ? bold : "") +
           "</fonts><fills count=\"2\"><fill><patternFill patternType=\"none\"/></fill>"
           "<fill><patternFill patternType=\"gray125\"/></fill></fills>"
           "<borders count=\"1\"><border><left/><right/><top/><bottom/><diagonal/></border>"
           "</borders><cellStyleXfs count=\"1\"><xf numFmtId=\"0\" fontId=\"0\" fillId=\"0\" "
           "borderId=\"0\"/></cellStyleXfs><cellXfs count=\"" + count + "\">" + plain_xf +
           (bold_style ? bold_xf : "") +
           "</cellXfs><cellStyles count=\"1\"><cellStyle name=\"Normal\" xfId=\"0\" "
           "builtinId=\"0\"/></cellStyles></styleSheet>";
}

// Row 1 kept in view: the pane below it frozen, as Excel's Freeze Top Row.
std::string sheet_view(bool selected, bool frozen_headings) {
    std::string out = "<sheetViews><sheetView";
    if (selected) out += " tabSelected=\"1\"";
    out += " workbookViewId=\"0\">";
    if (frozen_headings) {
        out += "<pane ySplit=\"1\" topLeftCell=\"A2\" activePane=\"bottomLeft\" "
               "state=\"frozen\"/><selection pane=\"bottomLeft\"/>";
    }
    return out + "</sheetView></sheetViews>";
}

std::string worksheet(const SheetPart& sheet, bool selected) {
    return std::string(kXmlHeader) + "<worksheet xmlns=\"" + kMainNamespace + "\">" +
           sheet_view(selected, sheet.frozen_headings) + "<sheetData>" + sheet.rows +
           "</sheetData></worksheet>";
}

}  // namespace

size_t SharedTexts::index_of(std::string_view text) {
    auto [entry, added] = indices_.try_emplace(std::string(text), order_.size());
    if (added) order_.push_back(&entry->first);
    ++uses_;
    return entry->second;
}

std::string SharedTexts::part() const {
    std::string out = kXmlHeader;
    out += "<sst xmlns=\"" + std::string(kMainNamespace) + "\" count=\"" +
           std::to_string(uses_) + "\" uniqueCount=\"" + std::to_string(order_.size()) + "\">";
    for (const std::string* text : order_) {
        // Kept as written: a reader may trim unmarked leading or trailing blanks.
        out += "<si><t xml:space=\"preserve\">";
        append_text(out, *text);
        out += "</t></si>";
    }
    out += "</sst>";
    return out;
}

std::string cell_reference(size_t column, size_t row) {
    return column_letter(column) + std::to_string(row + 1);
}

std::string number_text(double value) {
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "%.16G", value);
    return buffer;
}

void write_package(const py::object& path, const std::vector<SheetPart>& sheets,
                   const SharedTexts& texts, bool bold_style) {
    py::module_ zipfile = py::module_::import("zipfile");
    // The fastest deflate: these workbooks are read once or twice and kept
    // a quarter, and level 1 compresses their repetitive XML nearly as well.
    py::object package = zipfile.attr("ZipFile")(path, "w", zipfile.attr("ZIP_DEFLATED"),
                                                 "compresslevel"_a = 1);
    with_context(package, [&](const py::object& zip) {
        auto add = [&zip](const std::string& name, const std::string& content) {
            zip.attr("writestr")(name, py::bytes(content));
        };
        add("[Content_Types].xml", content_types(sheets.size()));
        add("_rels/.rels", package_relationships());
        add("xl/workbook.xml", workbook(sheets));
        add("xl/_rels/workbook.xml.rels", workbook_relationships(sheets.size()));
        add("xl/styles.xml", styles(bold_style));
        add("xl/sharedStrings.xml", texts.part());
        for (size_t n = 0; n < sheets.size(); ++n) {
            add("xl/worksheets/sheet" + std::to_string(n + 1) + ".xml", worksheet(sheets[n], n == 0));
        }
    });
}

}  // namespace tavrin::xlsx
