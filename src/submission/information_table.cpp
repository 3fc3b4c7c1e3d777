#include "submission/information_table.hpp"

namespace tavrin {
namespace {

py::object parse(const std::string& bytes) {
    py::object etree = py::module_::import("lxml.etree");
    py::object parser = etree.attr("XMLParser")("resolve_entities"_a = false, "huge_tree"_a = true,
                                                "remove_blank_text"_a = false);
    return etree.attr("fromstring")(py::bytes(bytes), parser);
}

std::string local_name(const py::handle& element) {
    py::object tag = element.attr("tag");
    if (!py::isinstance<py::str>(tag)) return "";  // comments and processing instructions
    return py::module_::import("lxml.etree").attr("QName")(element).attr("localname").cast<std::string>();
}

// The text of the first descendant named `path`'s parts in turn.
std::string text_of(const py::handle& element, std::initializer_list<const char*> path) {
    py::object at = py::reinterpret_borrow<py::object>(element);
    for (const char* part : path) {
        py::object found = py::none();
        for (py::handle child : at) {
            if (local_name(child) == part) {
                found = py::reinterpret_borrow<py::object>(child);
                break;
            }
        }
        if (found.is_none()) return "";
        at = found;
    }
    py::object value = at.attr("text");
    return value.is_none() ? "" : py::str(value.attr("strip")()).cast<std::string>();
}

std::vector<py::object> info_tables(const py::object& root) {
    std::vector<py::object> entries;
    for (py::handle child : root) {
        if (local_name(child) == "infoTable") entries.push_back(py::reinterpret_borrow<py::object>(child));
    }
    return entries;
}

AttachedEntry entry_of(const py::object& element) {
    AttachedEntry entry;
    entry.issuer = text_of(element, {"nameOfIssuer"});
    entry.title = text_of(element, {"titleOfClass"});
    entry.cusip = text_of(element, {"cusip"});
    entry.figi = text_of(element, {"figi"});
    entry.value = text_of(element, {"value"});
    entry.shares = text_of(element, {"shrsOrPrnAmt", "sshPrnamt"});
    entry.shares_type = text_of(element, {"shrsOrPrnAmt", "sshPrnamtType"});
    entry.put_call = text_of(element, {"putCall"});
    entry.discretion = text_of(element, {"investmentDiscretion"});
    entry.other_manager = text_of(element, {"otherManager"});
    entry.sole = text_of(element, {"votingAuthority", "Sole"});
    entry.shared = text_of(element, {"votingAuthority", "Shared"});
    entry.none = text_of(element, {"votingAuthority", "None"});
    return entry;
}

}  // namespace

EntryKey entry_key(const std::string& cusip, const std::string& put_call) {
    py::str upper = py::str(cusip).attr("upper")();
    py::str lower = py::str(put_call).attr("lower")();
    return {upper.cast<std::string>(), lower.cast<std::string>()};
}

InformationTable read_table(const std::string& bytes) {
    InformationTable table;
    table.bytes = bytes;
    py::object total = py::int_(0);
    for (const py::object& element : info_tables(parse(bytes))) {
        AttachedEntry entry = entry_of(element);
        // The schema allows only digits here; anything else was refused before.
        if (!entry.value.empty()) total = total.attr("__add__")(py::int_(py::str(entry.value)));
        table.entries.push_back(std::move(entry));
    }
    table.value_total = total;
    return table;
}

std::string without_entries(const std::string& bytes, const std::set<EntryKey>& filed) {
    py::object root = parse(bytes);
    for (const py::object& element : info_tables(root)) {
        EntryKey key = entry_key(text_of(element, {"cusip"}), text_of(element, {"putCall"}));
        if (filed.count(key)) root.attr("remove")(element);
    }
    // The declaration the run's own table carries, in double quotes.
    return "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n" +
           py::module_::import("lxml.etree").attr("tostring")(root, "encoding"_a = "UTF-8").cast<std::string>();
}

}  // namespace tavrin
