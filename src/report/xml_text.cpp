#include "report/xml_text.hpp"

#include <array>
#include <cstdint>

namespace tavrin {
namespace {

constexpr char32_t kUndecodable = 0xFFFFFFFF;

bool is_xml_char(char32_t c) {
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
           (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool is_hex_digit(char c) {
    return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

int hex_value(char c) {
    if (is_digit(c)) return c - '0';
    return (c | 0x20) - 'a' + 10;
}

// A character reference "&#N;" or "&#xH;" at the start of `text`, which
// stands only when it names a character the document may hold.
bool starts_character_reference(std::string_view text) {
    if (text.size() < 4 || text[1] != '#') return false;
    bool hex = text[2] == 'x';
    size_t i = hex ? 3 : 2;
    uint64_t code = 0;
    size_t digits = 0;
    for (; i < text.size() && (hex ? is_hex_digit(text[i]) : is_digit(text[i])); ++i, ++digits) {
        int digit = hex ? hex_value(text[i]) : text[i] - '0';
        code = code * (hex ? 16 : 10) + static_cast<uint64_t>(digit);
        if (code > 0x10FFFF) return false;
    }
    return digits > 0 && i < text.size() && text[i] == ';' &&
           is_xml_char(static_cast<char32_t>(code));
}

// The document declares no DTD, so only the five predefined entities and
// character references resolve; anything else after "&" is literal text.
bool starts_reference(std::string_view text) {
    static constexpr std::array<std::string_view, 5> predefined = {"&amp;", "&lt;", "&gt;",
                                                                   "&quot;", "&apos;"};
    for (std::string_view entity : predefined) {
        if (text.substr(0, entity.size()) == entity) return true;
    }
    return starts_character_reference(text);
}

// The code point at the start of `text` and its length in bytes; a broken
// sequence gives kUndecodable for its first byte.
char32_t decode(std::string_view text, size_t& length) {
    auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    unsigned char lead = byte(0);
    length = 1;
    if (lead < 0x80) return lead;
    size_t count = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
    if (count == 0 || lead >= 0xF8 || text.size() < count) return kUndecodable;
    char32_t code = lead & (0x3F >> (count - 1));
    for (size_t i = 1; i < count; ++i) {
        if ((byte(i) & 0xC0) != 0x80) return kUndecodable;
        code = (code << 6) | (byte(i) & 0x3F);
    }
    length = count;
    return code;
}

}  // namespace

std::string xml_text(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size());
    size_t length = 0;
    for (size_t i = 0; i < utf8.size(); i += length) {
        char32_t c = decode(utf8.substr(i), length);
        if (c == '<') {
            out += "&lt;";
        } else if (c == '>') {
            out += "&gt;";
        } else if (c == '&') {
            out += starts_reference(utf8.substr(i)) ? "&" : "&amp;";
        } else if (is_xml_char(c)) {
            out.append(utf8, i, length);
        }
    }
    return out;
}

bool is_figi(std::string_view text) {
    if (text.size() != 12) return false;
    for (char c : text) {
        bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        if (!letter && !is_digit(c)) return false;
    }
    return true;
}

}  // namespace tavrin
