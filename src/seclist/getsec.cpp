// Download of the quarter's list of 13(f) securities.
//
// The SEC answers refused or unknown requests with an HTML page, and a
// connection can break off part way, so the answer is checked before
// anything is written, and it is written through a temporary file: an
// earlier list stays as it was unless a whole new one arrives.
#include "common/download.hpp"
#include "common/files.hpp"
#include "seclist/seclist.hpp"

#include <chrono>
#include <string>

namespace tavrin {
namespace {

// The read limit in seconds: a server that never answers ends the run with
// an error instead of holding the import forever.
constexpr int kReadSeconds = 300;

// A PDF ends with its trailer; the format allows some bytes after "%%EOF",
// so it is looked for in the last kilobyte.
constexpr Py_ssize_t kTrailerWindow = 1024;

constexpr const char* kKept = "the stored list was left as it was";

Download list_download(py::handle module, const py::object& url) {
    double allowed = download_deadline_seconds(module);
    return {url, "list", kKept, "TAVRIN_SEC_BASE_URL", "https://www.sec.gov", kReadSeconds,
            allowed,
            DownloadClock::now() + std::chrono::duration_cast<DownloadClock::duration>(
                                       std::chrono::duration<double>(allowed))};
}

void check_status(py::handle module, const py::object& response, const py::object& url) {
    int status = response.attr("status_code").cast<int>();
    if (status == 200) return;
    std::string message = "The SEC answered " + std::to_string(status) + " for " + text(url) +
                          " instead of the list PDF.";
    if (status == 403) {
        message += " The request was sent with the User-Agent \"" + sent_user_agent(response) +
                   "\"; the SEC asks automated clients for a declared User-Agent such as "
                   "\"Company Name admin@company.com\": set it with TAVRIN_USER_AGENT.";
    } else if (status == 404) {
        message += " The list for this quarter may not be published yet: run again once the "
                   "SEC has published it, and check TAVRIN_SEC_BASE_URL if it has.";
    } else if (status >= 500 && status < 600) {
        message += " The SEC's server failed; try again later.";
    }
    raise_instance(global(module, "requests").attr("HTTPError")(message, "response"_a = response));
}

void check_whole(const py::object& response, const py::bytes& body, const Download& download) {
    const py::object& url = download.url;
    Py_ssize_t size = static_cast<Py_ssize_t>(py::len(body));
    if (!truthy(body.attr("startswith")(py::bytes("%PDF-")))) {
        raise_error(PyExc_ValueError, "The SEC answered 200 for " + text(url) + " with " +
                                          std::to_string(size) +
                                          " bytes that are not a PDF (an HTML page or an empty "
                                          "answer); " + kKept + ". Check TAVRIN_SEC_BASE_URL "
                                          "and any proxy, and run again.");
    }
    check_announced_length(response, download);
    py::bytes tail = body[py::slice(py::int_(-kTrailerWindow), py::none(), py::none())];
    if (!tail.contains(py::bytes("%%EOF"))) {
        raise_cut_short(download, "its " + std::to_string(size) +
                                 " bytes end without the PDF trailer \"%%EOF\"");
    }
}

}  // namespace

py::object getsec(py::handle module) {
    py::object filename = global(module, "Path")(global(module, "sec_pdf_path"));
    require_folder_of(filename, "The Store folder for the list does not exist; create it in "
                                "the working folder beside Data and Results");
    py::object url = global(module, "pdf_url");
    Download download = list_download(module, url);
    py::object response = request_download(module, download);
    py::bytes body;
    try {
        check_status(module, response, url);
        body = read_download(module, response, download);
        check_whole(response, body, download);
    } catch (py::error_already_set&) {
        response.attr("close")();  // the connection goes back, whatever came of it
        throw;
    }
    response.attr("close")();
    replace_whole(filename, ".download", [&](const py::object& partial) {
        py::module_::import("pathlib").attr("Path")(partial).attr("write_bytes")(body);
    });
    return py::none();
}

}  // namespace tavrin
