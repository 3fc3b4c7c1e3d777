// The pieces of reading an information-table document, shared by the
// reader of a file and the fetch from EDGAR, which must tell an information
// table among the XML files of a filing's folder.
#pragma once

#include "compare/previous.hpp"

#include <string>
#include <vector>

namespace tavrin {

constexpr const char* kInformationTableNamespace =
    "http://www.sec.gov/edgar/document/thirteenf/informationtable";

// The root element of `source` (a path, or the document's bytes), parsed
// without resolving entities or reaching the network. ValueError naming
// `name` when it is not XML.
py::object parse_document(const py::object& source, const std::string& name);

// Whether `root` is an information table: the element informationTable in
// its namespace, or in none.
bool is_information_table(const py::object& root);

// `root` made ready to read: ValueError naming `name` when it is another
// document or breaks EDGAR's schema; a table without a namespace is given
// the information table's, as EDGAR would read it.
void check_table(py::handle module, const py::object& root, const std::string& name);

// The entries of a checked table, in its order.
std::vector<TableEntry> table_entries(const py::object& root);

}  // namespace tavrin
