// Download of the quarter's list of 13(f) securities.
//
// The SEC answers refused or unknown requests with an HTML page, so the
// answer is checked before anything is written, and it is written through a
// temporary file: an earlier list stays as it was unless a whole new one
// arrives.
#include "common/files.hpp"
#include "seclist/seclist.hpp"

#include <string>

namespace tavrin {
namespace {

// Connect and read limits in seconds: a server that never answers ends the
// run with an error instead of holding the import forever.
constexpr int kConnectSeconds = 30;
constexpr int kReadSeconds = 300;

// The library's message names the address but not what to do; the class
// stays the library's, so callers that catch it keep working.
[[noreturn]] void explain_no_answer(py::error_already_set& error, const py::object& url) {
    py::object type = error.type();
    py::object explained;
    try {
        explained = type("The SEC server did not answer the request for " + text(url) + " (" +
                         text(error.value()) +
                         "). Check the internet connection and any proxy, or "
                         "TAVRIN_SEC_BASE_URL, and run again; the stored list was left as it was.");
    } catch (py::error_already_set&) {
        throw error;  // a class that takes no message keeps its own
    }
    explained.attr("__cause__") = error.value();
    raise_instance(explained);
}

py::object download(py::handle module, const py::object& url) {
    py::object requests = global(module, "requests");
    try {
        return requests.attr("get")(url, "headers"_a = global(module, "headers"),
                                    "timeout"_a = py::make_tuple(kConnectSeconds, kReadSeconds));
    } catch (py::error_already_set& error) {
        if (!error.matches(requests.attr("ConnectionError")) &&
            !error.matches(requests.attr("Timeout"))) {
            throw;
        }
        explain_no_answer(error, url);
    }
}

void check_answer(py::handle module, const py::object& response, const py::object& url) {
    int status = response.attr("status_code").cast<int>();
    if (status != 200) {
        std::string message = "The SEC answered " + std::to_string(status) + " for " + text(url) +
                              " instead of the list PDF.";
        if (status == 403) {
            message += " The SEC asks automated clients for a declared User-Agent such as "
                       "\"Company Name admin@company.com\"; set it with TAVRIN_USER_AGENT.";
        } else if (status == 404) {
            message += " The list for this quarter may not be published yet: run again once the "
                       "SEC has published it, and check TAVRIN_SEC_BASE_URL if it has.";
        }
        raise_instance(
            global(module, "requests").attr("HTTPError")(message, "response"_a = response));
    }
    py::bytes body = response.attr("content");
    if (!truthy(body.attr("startswith")(py::bytes("%PDF-")))) {
        raise_error(PyExc_ValueError, "The SEC answered " + std::to_string(status) + " for " +
                                          text(url) + " with " + std::to_string(py::len(body)) +
                                          " bytes that are not a PDF (an HTML page or an empty "
                                          "answer); the stored list was left as it was. Check "
                                          "TAVRIN_SEC_BASE_URL and any proxy, and run again.");
    }
}

void write_atomically(const py::object& target, const py::bytes& content) {
    py::object partial = target.attr("with_name")(text(target.attr("name")) + ".download");
    try {
        partial.attr("write_bytes")(content);
        py::module_::import("os").attr("replace")(partial, target);
    } catch (py::error_already_set&) {
        partial.attr("unlink")("missing_ok"_a = true);
        throw;
    }
}

}  // namespace

py::object getsec(py::handle module) {
    py::object filename = global(module, "Path")(global(module, "sec_pdf_path"));
    require_folder_of(filename, "The Store folder for the list does not exist; create it in "
                                "the working folder beside Data and Results");
    py::object url = global(module, "pdf_url");
    py::object response = download(module, url);
    check_answer(module, response, url);
    write_atomically(filename, response.attr("content"));
    return py::none();
}

}  // namespace tavrin
