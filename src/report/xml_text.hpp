// Making cell texts fit for an XML document.
#pragma once

#include <string>
#include <string_view>

namespace tavrin {

// `utf8` as XML character data: "<" and ">" escaped, an "&" escaped unless it
// already begins a reference the document can resolve, characters XML 1.0
// forbids dropped. Lone surrogates, as Python's "surrogatepass" encodes
// them, count as forbidden.
std::string xml_text(std::string_view utf8);

// Twelve ASCII letters and digits: the only shape the schema takes for a FIGI.
bool is_figi(std::string_view text);

}  // namespace tavrin
