// Start-up imports and the run settings, computed once at import.
//
// The host may rebind any of these globals afterwards; the stages read them
// by name at each call.
#include "module/module.hpp"

#include <regex>
#include <string>

namespace tavrin {
namespace {

// The SEC turns away undeclared clients; TAVRIN_USER_AGENT lets a manager
// declare "Company Name admin@company.com" as the SEC asks.
constexpr const char* kDefaultUserAgent =
    "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
    "Chrome/109.0.0.0 Safari/537.36";
constexpr const char* kDefaultSecBase = "https://www.sec.gov";
// EDGAR's submissions index is served from a host of its own.
constexpr const char* kDefaultSecData = "https://data.sec.gov";
constexpr const char* kDefaultOpenFigiBase = "https://api.openfigi.com";

// The first quarter the SEC's list archive holds.
constexpr int kFirstListYear = 2004;

// `from package import name`, with the interpreter's ImportError when the
// package lacks the name.
py::object import_from(const char* package, const char* name) {
    py::module_ module = py::module_::import(package);
    if (!py::hasattr(module, name)) {
        raise_error(PyExc_ImportError, std::string("cannot import name '") + name +
                                           "' from '" + package + "'");
    }
    return module.attr(name);
}

void bind_imports(py::module_ m) {
    m.attr("inspect") = py::module_::import("inspect");
    m.attr("read_pdf") = import_from("tabula.io", "read_pdf");
    m.attr("pd") = py::module_::import("pandas");
    m.attr("Path") = import_from("pathlib", "Path");
    m.attr("requests") = py::module_::import("requests");
    m.attr("datetime") = import_from("datetime", "datetime");
    m.attr("np") = py::module_::import("numpy");
    m.attr("pyodbc") = py::module_::import("pyodbc");
    m.attr("smtplib") = py::module_::import("smtplib");
    m.attr("MIMEText") = import_from("email.mime.text", "MIMEText");
    m.attr("pathlib") = py::module_::import("pathlib");
    m.attr("MIMEMultipart") = import_from("email.mime.multipart", "MIMEMultipart");
    m.attr("MIMEText") = import_from("email.mime.text", "MIMEText");
    m.attr("MIMEBase") = import_from("email.mime.base", "MIMEBase");
    m.attr("encoders") = import_from("email", "encoders");
    m.attr("gma") = import_from("getmac", "get_mac_address");
}

// pandas 3 deprecates the option and makes its behaviour the default, so it
// is set only where it still changes something.
void stop_silent_downcasting(py::handle m) {
    py::object pd = global(m, "pd");
    std::string version = py::str(pd.attr("__version__"));
    int major = std::stoi(version.substr(0, version.find('.')));
    if (major < 3) pd.attr("set_option")("future.no_silent_downcasting", true);
}

std::string environment(const char* name, const char* fallback) {
    py::object value = py::module_::import("os").attr("environ").attr("get")(name);
    if (value.is_none() || py::len(value) == 0) return fallback;
    return value.cast<std::string>();
}

std::string without_trailing_slash(std::string url) {
    while (!url.empty() && url.back() == '/') url.pop_back();
    return url;
}

// The suffixes are written as on Windows; elsewhere they reach the same
// subfolders through the platform's separator.
std::string working_path(const std::string& mydir, std::string suffix) {
    std::string separator = py::str(py::module_::import("os").attr("sep"));
    std::string joined = mydir;
    for (char c : suffix) {
        if (c == '\\') joined += separator;
        else joined += c;
    }
    return joined;
}

void bind_paths(py::module_ m) {
    std::string mydir = py::str(global(m, "pathlib").attr("Path")().attr("absolute")());
    m.attr("mydir") = mydir;
    m.attr("mydebug") = false;
    m.attr("mydpages") = "all";
    m.attr("sec_pdf_path") = working_path(mydir, "\\Store\\F13SEC.pdf");
    m.attr("sec_excel_Path") = working_path(mydir, "\\Store\\F13X.xlsx");
    m.attr("sec_cons_path") = working_path(mydir, "\\Store\\F13CX.xlsx");
    m.attr("raw_path") = working_path(mydir, "\\Data\\Portfolio.xlsx");
    m.attr("rawc_path") = working_path(mydir, "\\Store\\CPortfolio.xlsx");
    m.attr("rem_path") = working_path(mydir, "\\Data\\Removal.xlsx");
    m.attr("filer_path") = working_path(mydir, "\\Data\\Filer.xlsx");
    m.attr("previous_path") = working_path(mydir, "\\Data\\Previous.xml");
    m.attr("previous_store_path") = working_path(mydir, "\\Store\\Previous.xml");
    m.attr("remc_path") = working_path(mydir, "\\Store\\CRemoval.xlsx");
    m.attr("res_path") = working_path(mydir, "\\Store\\Results.xlsx");
    m.attr("fres_path") = working_path(mydir, "\\Results\\F13Results.xlsx");
}

void bind_mail_settings(py::module_ m) {
    m.attr("subject") = "Email Subject";
    m.attr("body") = "This is the body of the text message";
    m.attr("recipients") = py::list();
}

struct Period {
    int year;
    int quarter;
};

// The quarter reported is the calendar quarter before the run's; in January
// to March that is the fourth quarter of the previous year. Year and quarter
// come from one reading of the clock: two readings either side of midnight
// on 31 December would ask for the list of a year before.
Period last_ended_quarter(py::handle m) {
    py::object now = global(m, "datetime").attr("now")();
    int year = now.attr("year").cast<int>();
    int quarter = global(m, "pd").attr("Timestamp")(now).attr("quarter").cast<int>() - 1;
    if (quarter == 0) {
        quarter = 4;
        year -= 1;
    }
    return {year, quarter};
}

// TAVRIN_PERIOD names another quarter: an amendment, a late run, a re-run
// after the quarter turned. The lower-case "q" of the list's own file name
// is taken too, so a period copied from its address works.
[[noreturn]] void refuse_malformed(const std::string& period) {
    raise_error(PyExc_ValueError,
                "TAVRIN_PERIOD must name a quarter as the year, the letter Q and the "
                "quarter 1 to 4, for example \"2026Q2\" (got \"" + period + "\"). Unset it "
                "to report the quarter that ended last.");
}

// The whole value must be the quarter: "2026Q12" is no quarter, not Q1.
Period named_period(const std::string& period) {
    static const std::regex form("([0-9]{4})[Qq]([1-4])");
    std::smatch parts;
    if (!std::regex_match(period, parts, form)) refuse_malformed(period);
    return {std::stoi(parts[1].str()), std::stoi(parts[2].str())};
}

std::string period_text(Period period) {
    return std::to_string(period.year) + "Q" + std::to_string(period.quarter);
}

// Holdings are reported as of a quarter's last day, so the quarter must have
// ended; and the SEC's lists begin with 2004.
void check_period_is_reportable(const std::string& named, Period period, Period last_ended) {
    std::string why;
    if (period.year < kFirstListYear) {
        why = "a quarter before the SEC's lists begin (" + std::to_string(kFirstListYear) + "Q1)";
    } else if (period.year > last_ended.year ||
               (period.year == last_ended.year && period.quarter > last_ended.quarter)) {
        why = "a quarter that has not ended (the last that has is " + period_text(last_ended) +
              ")";
    } else {
        return;
    }
    raise_error(PyExc_ValueError, "TAVRIN_PERIOD names " + why + " (got \"" + named +
                                      "\"). Name a quarter from " +
                                      std::to_string(kFirstListYear) + "Q1 to " +
                                      period_text(last_ended) +
                                      ", or unset it to report the quarter that ended last.");
}

void bind_reporting_period(py::module_ m) {
    std::string named = environment("TAVRIN_PERIOD", "");
    Period last_ended = last_ended_quarter(m);
    Period period = last_ended;
    if (!named.empty()) {
        period = named_period(named);
        check_period_is_reportable(named, period, last_ended);
    }
    m.attr("myYear") = period.year;
    m.attr("myQuarter") = period.quarter;
    m.attr("sec_base_url") = without_trailing_slash(environment("TAVRIN_SEC_BASE_URL", kDefaultSecBase));
    m.attr("sec_data_url") = without_trailing_slash(environment("TAVRIN_SEC_DATA_URL", kDefaultSecData));
    m.attr("pdf_url") = without_trailing_slash(environment("TAVRIN_SEC_BASE_URL", kDefaultSecBase)) +
                        "/files/investment/13flist" + std::to_string(period.year) + "q" +
                        std::to_string(period.quarter) + ".pdf";
}

std::string openfigi_key() {
    std::string key = environment("OPENFIGI_APIKEY", "");
    static const std::regex uuid("[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}");
    if (!key.empty() && !std::regex_match(key, uuid)) {
        raise_error(PyExc_ValueError,
                    "OPENFIGI_APIKEY must be an OpenFIGI API key in UUID form: 36 characters, "
                    "lower-case hexadecimal digits in groups of 8-4-4-4-12 joined by hyphens "
                    "(got " + std::to_string(key.size()) + " characters). Unset it to map "
                    "without a key.");
    }
    return key;
}

void bind_web_settings(py::module_ m) {
    py::dict headers;
    headers["User-Agent"] = environment("TAVRIN_USER_AGENT", kDefaultUserAgent);
    m.attr("headers") = headers;
    bind_reporting_period(m);

    m.attr("openfigi_apikey") = openfigi_key();
    m.attr("openfigi_url") =
        without_trailing_slash(environment("TAVRIN_OPENFIGI_BASE_URL", kDefaultOpenFigiBase)) +
        "/v3/mapping";
    py::dict openfigi_headers;
    openfigi_headers["Content-Type"] = "text/json";
    m.attr("openfigi_headers") = openfigi_headers;
    // Seconds for all FIGI look-ups of one report, waits included.
    m.attr("openfigi_budget") = 600;
}

}  // namespace

void import_packages(py::module_ module) {
    bind_imports(module);
    stop_silent_downcasting(module);
}

void compute_settings(py::module_ module) {
    bind_paths(module);
    bind_mail_settings(module);
    bind_web_settings(module);
}

}  // namespace tavrin
