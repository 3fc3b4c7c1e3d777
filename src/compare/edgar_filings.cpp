// A manager's information table for a quarter, as it stands on EDGAR.
//
// The SEC's submissions index for the CIK lists every filing with its form,
// filing date and period; the quarter's 13F-HR and each 13F-HR/A for it are
// then read from their folders under /Archives/edgar/data/, where the
// filing's primary document says what kind of amendment it is and one
// other XML file is the information table. Applied in filing order, a
// restatement replaces the table and a new-holdings amendment adds to it.
#include "common/files.hpp"
#include "compare/edgar_download.hpp"
#include "compare/table_document.hpp"

#include <algorithm>
#include <cctype>
#include <regex>
#include <string>
#include <vector>

namespace tavrin {
namespace {

constexpr const char* kDataSetting = "TAVRIN_SEC_DATA_URL";
constexpr const char* kBaseSetting = "TAVRIN_SEC_BASE_URL";
constexpr const char* kOriginal = "13F-HR";
constexpr const char* kAmendment = "13F-HR/A";
constexpr const char* kRestatement = "RESTATEMENT";
constexpr const char* kNewHoldings = "NEW HOLDINGS";
// Values became whole dollars for filings made from this day on.
constexpr const char* kWholeDollarsFrom = "2023-01-03";

struct Listed {
    std::string accession;
    std::string form;
    std::string filed;
};

std::string ten_digits(const std::string& cik) {
    bool digits = !cik.empty() && cik.size() <= 10 &&
                  std::all_of(cik.begin(), cik.end(),
                              [](unsigned char c) { return std::isdigit(c) != 0; });
    if (!digits) {
        raise_error(PyExc_ValueError, "A CIK is a number of up to ten digits (got \"" + cik +
                                          "\"); write the manager's CIK as EDGAR shows it, "
                                          "such as 0001234567.");
    }
    return std::string(10 - cik.size(), '0') + cik;
}

std::string period_end(int year, int quarter) {
    static const char* const ends[] = {"03-31", "06-30", "09-30", "12-31"};
    return std::to_string(year) + "-" + ends[quarter - 1];
}

py::object parsed_json(const py::bytes& body, const py::object& url, const std::string& noun) {
    try {
        return py::module_::import("json").attr("loads")(body);
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_ValueError)) throw;
        raise_error(PyExc_ValueError,
                    "The SEC answered 200 for " + text(url) + " with " +
                        std::to_string(py::len(body)) + " bytes that are not the " + noun +
                        " (not JSON: an HTML page or an empty answer); the previous quarter is "
                        "not compared. Check " + kDataSetting + " and any proxy, and run again.");
    }
}

[[noreturn]] void raise_unexpected(const py::object& url, const std::string& what) {
    raise_error(PyExc_ValueError, "The submissions index " + text(url) +
                                      " is not in the form the SEC gives it (" + what +
                                      "); the previous quarter is not compared.");
}

// The addresses are built from what the index says, so only an accession
// number of EDGAR's form is let into them.
void require_accession_form(const std::string& accession, const py::object& url) {
    static const std::regex form("[0-9]{10}-[0-9]{2}-[0-9]{6}");
    if (!std::regex_match(accession, form)) {
        raise_unexpected(url, "the accession number \"" + accession +
                                  "\" is not ten digits, two and six joined by hyphens");
    }
}

// A file of the folder, by a name that stays inside it.
bool plain_file_name(const std::string& name) {
    return !name.empty() && name.front() != '.' && name.find('/') == std::string::npos &&
           name.find('\\') == std::string::npos;
}

// One page of the index: parallel lists, one entry a filing.
std::vector<Listed> quarter_filings(const py::object& columns, const std::string& period,
                                    const py::object& url) {
    const char* names[] = {"accessionNumber", "form", "filingDate", "reportDate"};
    std::vector<py::list> lists;
    for (const char* name : names) {
        if (!py::isinstance<py::dict>(columns) || !columns.contains(name) ||
            !py::isinstance<py::list>(columns[name])) {
            raise_unexpected(url, std::string("no list \"") + name + "\" of its filings");
        }
        lists.push_back(columns[name]);
    }
    std::vector<Listed> found;
    for (size_t i = 0; i < py::len(lists[0]); ++i) {
        auto cell = [&](size_t column) {
            return i < py::len(lists[column]) ? text(lists[column][i]) : std::string();
        };
        std::string form = cell(1);
        if ((form == kOriginal || form == kAmendment) && cell(3) == period) {
            require_accession_form(cell(0), url);
            found.push_back({cell(0), form, cell(2)});
        }
    }
    return found;
}

bool has_original(const std::vector<Listed>& filings) {
    return std::any_of(filings.begin(), filings.end(),
                       [](const Listed& f) { return f.form == kOriginal; });
}

// The index lists a filer's recent filings in full and older ones in
// further pages, fetched only when the quarter is not among the recent.
std::vector<Listed> listed_filings(py::handle module, EdgarSession& session,
                                   const std::string& cik, const std::string& period) {
    std::string data = text(global(module, "sec_data_url"));
    py::str url(data + "/submissions/CIK" + cik + ".json");
    py::object index = parsed_json(
        session.get(url, "submissions index", kDataSetting,
                    "EDGAR knows no filer with the CIK " + cik + ": correct the CIK in "
                    "Data/Filer.xlsx (sheet \"Manager\", field \"CIK\"), or check " +
                        kDataSetting + "."),
        url, "submissions index");
    if (!py::isinstance<py::dict>(index) || !index.contains("filings")) {
        raise_unexpected(url, "no \"filings\"");
    }
    py::object filings = index["filings"];
    if (!py::isinstance<py::dict>(filings) || !filings.contains("recent")) {
        raise_unexpected(url, "no \"filings\" \"recent\"");
    }
    std::vector<Listed> found = quarter_filings(filings["recent"], period, url);
    py::object pages = filings.attr("get")("files", py::list());
    if (has_original(found) || !py::isinstance<py::list>(pages)) return found;
    for (py::handle page : pages) {
        if (!py::isinstance<py::dict>(page) || !page.contains("name")) continue;
        py::str page_url(data + "/submissions/" + text(page["name"]));
        py::object older = parsed_json(
            session.get(page_url, "submissions index", kDataSetting,
                        "The index names a page that is not there; run again later."),
            page_url, "submissions index");
        for (Listed& filing : quarter_filings(older, period, page_url)) found.push_back(filing);
    }
    return found;
}

std::string folder_of(py::handle module, const std::string& cik, const std::string& accession) {
    std::string number = accession;
    number.erase(std::remove(number.begin(), number.end(), '-'), number.end());
    std::string plain = cik.substr(std::min(cik.find_first_not_of('0'), cik.size() - 1));
    return text(global(module, "sec_base_url")) + "/Archives/edgar/data/" + plain + "/" + number +
           "/";
}

// The XML files of the folder, from its index.json.
std::vector<std::string> folder_xml_files(EdgarSession& session, const std::string& folder,
                                          const std::string& accession) {
    py::str url(folder + "index.json");
    py::object listing = parsed_json(
        session.get(url, "filing's folder index", kBaseSetting,
                    "EDGAR has no folder for the filing " + accession + " it lists; run again "
                    "later."),
        url, "filing's folder index");
    std::vector<std::string> names;
    try {
        for (py::handle item : listing["directory"]["item"]) {
            std::string name = text(item["name"]);
            std::string lower = name;
            for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            bool xml = lower.size() > 4 && lower.substr(lower.size() - 4) == ".xml";
            if (xml && plain_file_name(name)) names.push_back(name);
        }
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_LookupError) && !error.matches(PyExc_TypeError)) throw;
        raise_error(PyExc_ValueError, "The folder index " + text(url) +
                                          " is not in the form the SEC gives it (no "
                                          "\"directory\" \"item\" names); the previous quarter "
                                          "is not compared.");
    }
    return names;
}

// What the amendment does, from its primary document's amendmentType.
std::string amendment_type(EdgarSession& session, const std::string& folder,
                           const Listed& filing) {
    py::str url(folder + "primary_doc.xml");
    py::bytes body = session.get(url, "filing's primary document", kBaseSetting,
                                 "The filing " + filing.accession + " has no primary_doc.xml; "
                                 "run again later.");
    py::object root = parse_document(body, text(url));
    py::list types = root.attr("xpath")("//*[local-name()='amendmentType']/text()");
    std::string type = types.empty() ? "" : text(py::str(types[0]).attr("strip")());
    if (type != kRestatement && type != kNewHoldings) {
        raise_error(PyExc_ValueError,
                    "The 13F-HR/A " + filing.accession + " does not say whether it restates the "
                    "table or adds new holdings (its primary document " + text(url) + " has " +
                        (type.empty() ? std::string("no amendmentType") :
                                        "the amendmentType \"" + type + "\"") +
                        "); the previous quarter is not compared. Put the quarter's table as "
                        "it stands in Data/Previous.xml.");
    }
    return type;
}

// The folder's information table: the XML file whose root is one.
py::object filing_table(EdgarSession& session, const std::string& folder, const Listed& filing,
                        py::handle module) {
    for (const std::string& name : folder_xml_files(session, folder, filing.accession)) {
        if (name == "primary_doc.xml") continue;
        py::str url(folder + text(py::module_::import("urllib.parse").attr("quote")(name)));
        py::bytes body = session.get(url, "information table", kBaseSetting,
                                     "The folder index names it, but it is not there; run "
                                     "again later.");
        py::object root = parse_document(body, text(url));
        if (!is_information_table(root)) continue;
        check_table(module, root, text(url));
        return root;
    }
    raise_error(PyExc_ValueError, "The folder " + folder + " of the " + filing.form + " " +
                                      filing.accession + " holds no information table; the "
                                      "previous quarter is not compared.");
}

std::string without_double_hyphens(std::string comment) {
    for (size_t at; (at = comment.find("--")) != std::string::npos;) comment.replace(at, 2, "-");
    return comment;
}

void store_table(const py::object& table, const EdgarFiling& filing, const std::string& period,
                 const py::object& store_as) {
    py::object etree = py::module_::import("lxml.etree");
    std::string applied;
    for (size_t i = 0; i < filing.accessions.size(); ++i) {
        applied += (i ? ", then " : "") + filing.forms[i] + " " + filing.accessions[i];
    }
    table.attr("addprevious")(etree.attr("Comment")(without_double_hyphens(
        " The information table of CIK " + filing.cik + " for the quarter ended " + period +
        " as it stands on EDGAR: " + applied + " ")));
    py::bytes document = etree.attr("tostring")(table.attr("getroottree")(),
                                                "xml_declaration"_a = true,
                                                "encoding"_a = "UTF-8", "standalone"_a = true);
    replace_whole(store_as, ".download", [&](const py::object& partial) {
        py::module_::import("pathlib").attr("Path")(partial).attr("write_bytes")(document);
    });
}

}  // namespace

EdgarFiling fetch_filing(py::handle module, const std::string& cik, int year, int quarter,
                         const py::object& store_as) {
    EdgarFiling filing;
    filing.cik = ten_digits(cik);
    std::string period = period_end(year, quarter);
    EdgarSession session(module);
    std::vector<Listed> listed = listed_filings(module, session, filing.cik, period);
    if (!has_original(listed)) {
        raise_error(PyExc_ValueError,
                    "EDGAR lists no 13F-HR of the CIK " + filing.cik + " for the quarter ended " +
                        period + "; the previous quarter is not compared. If the manager filed "
                        "under another CIK, correct it in Data/Filer.xlsx; otherwise put last "
                        "quarter's information table in Data/Previous.xml.");
    }
    std::stable_sort(listed.begin(), listed.end(), [](const Listed& a, const Listed& b) {
        return a.filed != b.filed ? a.filed < b.filed : a.accession < b.accession;
    });
    py::object table = py::none();
    for (const Listed& entry : listed) {
        // Anything filed for the quarter before its 13F-HR amends nothing.
        if (table.is_none() && entry.form != kOriginal) continue;
        std::string folder = folder_of(module, filing.cik, entry.accession);
        std::string type = entry.form == kOriginal ? "" : amendment_type(session, folder, entry);
        py::object found = filing_table(session, folder, entry, module);
        if (type == kNewHoldings) {
            for (py::handle added : py::list(found)) table.attr("append")(added);
        } else {
            table = found;  // the 13F-HR itself, or a restatement
            filing.filed = entry.filed;
        }
        filing.accessions.push_back(entry.accession);
        filing.forms.push_back(type.empty() ? entry.form : entry.form + " " + type);
    }
    filing.in_thousands = filing.filed < kWholeDollarsFrom;
    if (!store_as.is_none()) store_table(table, filing, period, store_as);
    filing.entries = table_entries(table);
    return filing;
}

}  // namespace tavrin
