// Download of the quarter's list of 13(f) securities.
//
// The SEC answers refused or unknown requests with an HTML page, and a
// connection can break off part way, so the answer is checked before
// anything is written, and it is written through a temporary file: an
// earlier list stays as it was unless a whole new one arrives.
#include "common/download.hpp"
#include "common/files.hpp"
#include "seclist/list_validators.hpp"
#include "seclist/seclist.hpp"
#include "seclist/take_list.hpp"

#include <chrono>
#include <algorithm>
#include <string>

namespace tavrin {
namespace {

constexpr int kReadSeconds = 300;

// A PDF ends with its trailer, "%%EOF". Readers take a file with bytes
// after it (padding, a mail gateway's NULs); what they do not take is a file
// cut short inside a later update of it, whose remains hold an object or a
// cross-reference section.
constexpr const char* kUpdateMarks[] = {" obj", "xref", "startxref", "trailer"};

constexpr const char* kKept = kListKept;

// The list's download, with the conditional request's headers.
Download list_download(py::handle module, const py::object& url, const py::object& headers) {
    double allowed = download_deadline_seconds(module);
    Download download{url, "list", kKept, "TAVRIN_SEC_BASE_URL", "https://www.sec.gov",
                      kReadSeconds, allowed,
                      DownloadClock::now() + std::chrono::duration_cast<DownloadClock::duration>(
                                                 std::chrono::duration<double>(allowed))};
    download.headers = headers;
    return download;
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
    Py_ssize_t trailer = body.attr("rfind")(py::bytes("%%EOF")).cast<Py_ssize_t>();
    bool cut_in_update = false;
    if (trailer >= 0) {
        py::bytes after = body[py::slice(py::int_(trailer + 5), py::none(), py::none())];
        for (const char* mark : kUpdateMarks) cut_in_update = cut_in_update || after.contains(py::bytes(mark));
    }
    if (trailer < 0 || cut_in_update) {
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
    ListValidators stored = stored_validators(module, url);
    Download download = list_download(module, url, stored.request_headers(module));
    py::object response = request_download(module, download);
    py::bytes body;
    try {
        if (stored.usable() && response.attr("status_code").cast<int>() == 304) {
            response.attr("close")();
            check_kept_list(module, url);
            note_list_unchanged(module, stored);
            return py::none();
        }
        check_status(module, response, url);
        body = read_download(module, response, download);
        check_whole(response, body, download);
    } catch (py::error_already_set&) {
        response.attr("close")();  // the connection goes back, whatever came of it
        throw;
    }
    response.attr("close")();
    take_downloaded_list(module, body, url);
    store_validators(module, url, response);
    return py::none();
}

}  // namespace tavrin
