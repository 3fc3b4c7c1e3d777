// Download of the quarter's list of 13(f) securities.
//
// The SEC answers refused or unknown requests with an HTML page, and a
// connection can break off part way, so the answer is checked before
// anything is written, and it is written through a temporary file: an
// earlier list stays as it was unless a whole new one arrives.
#include "common/files.hpp"
#include "seclist/explained.hpp"
#include "seclist/list_validators.hpp"
#include "seclist/seclist.hpp"
#include "seclist/take_list.hpp"

#include <chrono>
#include <algorithm>
#include <string>

namespace tavrin {
namespace {

// Connect and read limits in seconds: a server that never answers ends the
// run with an error instead of holding the import forever.
constexpr int kConnectSeconds = 30;
constexpr int kReadSeconds = 300;

// The read limit applies to each read, so a server that trickles a byte
// every few seconds would never meet it; the whole download, from the
// request to the last byte, gets this long.
constexpr double kDeadlineSeconds = 300;

// Tests of the deadline shorten it through this module global, which the
// settings never set.
constexpr const char* kDeadlineOverride = "_sec_deadline_seconds";

constexpr Py_ssize_t kChunkBytes = 1 << 16;

// A PDF ends with its trailer, "%%EOF". Readers take a file with bytes
// after it (padding, a mail gateway's NULs); what they do not take is a file
// cut short inside a later update of it, whose remains hold an object or a
// cross-reference section.
constexpr const char* kUpdateMarks[] = {" obj", "xref", "startxref", "trailer"};

constexpr const char* kKept = kListKept;

using Clock = std::chrono::steady_clock;

double deadline_seconds(py::handle module) {
    PyObject* value = PyDict_GetItemString(PyModule_GetDict(module.ptr()), kDeadlineOverride);
    if (value == nullptr) return kDeadlineSeconds;
    return py::reinterpret_borrow<py::object>(value).cast<double>();
}

bool matches_any(py::error_already_set& error, const py::object& module,
                 std::initializer_list<const char*> names) {
    for (const char* name : names) {
        if (error.matches(module.attr(name))) return true;
    }
    return false;
}

std::string message_for_request_error(py::error_already_set& error, const py::object& exceptions,
                                      const py::object& url) {
    if (matches_any(error, exceptions, {"ConnectionError", "Timeout"})) {
        return "The SEC server did not answer the request for " + text(url) + " (" +
               text(error.value()) +
               "). Check the internet connection and any proxy, or TAVRIN_SEC_BASE_URL, and run "
               "again; " + kKept + ".";
    }
    if (matches_any(error, exceptions, {"TooManyRedirects"})) {
        return "The SEC server sent the request for " + text(url) +
               " on from address to address more than 30 times without answering with the "
               "list. Check TAVRIN_SEC_BASE_URL and any proxy; if they are right, try again "
               "later; " + kKept + ".";
    }
    if (matches_any(error, exceptions, {"MissingSchema", "InvalidSchema", "InvalidURL"})) {
        return "The list address " + text(url) +
               " cannot be fetched (" + text(error.value()) +
               "). TAVRIN_SEC_BASE_URL must hold the scheme and host, and a port if needed, "
               "such as \"https://www.sec.gov\": correct it and run again; " + kKept + ".";
    }
    return "";
}

py::object request_list(py::handle module, const py::object& url, const py::object& headers) {
    py::object requests = global(module, "requests");
    try {
        // Streamed, so the body can be read against the deadline.
        return requests.attr("get")(url, "headers"_a = headers,
                                    "timeout"_a = py::make_tuple(kConnectSeconds, kReadSeconds),
                                    "stream"_a = true);
    } catch (py::error_already_set& error) {
        std::string message =
            message_for_request_error(error, requests.attr("exceptions"), url);
        if (message.empty()) throw;
        raise_explained(error, message);
    }
}

std::string sent_user_agent(const py::object& response) {
    try {
        return text(response.attr("request").attr("headers").attr("get")("User-Agent", ""));
    } catch (py::error_already_set&) {
        return "";  // a stood-in response without its request
    }
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

[[noreturn]] void raise_cut_short(const py::object& url, const std::string& how,
                                  const py::object& cause = py::none()) {
    py::object error = builtin("ValueError")(
        "The download of the list from " + text(url) + " was cut short: " + how + "; " + kKept +
        ". Run again; if it happens again, check the internet connection and any proxy.");
    if (!cause.is_none()) error.attr("__cause__") = cause;
    raise_instance(error);
}

// urllib3 keeps its message first among the arguments.
std::string library_words(const py::object& error) {
    py::tuple args = error.attr("args");
    if (args.size() > 0 && py::isinstance<py::str>(args[0])) return text(args[0]);
    return text(error);
}

// The socket a streamed answer is read from. The SEC closes each connection
// after its answer, so http.client has already let go of it in the
// connection and only the answer's file still reaches it: urllib3's
// response, http.client's, its buffered file, the socket's raw file, the
// socket. Any link missing (another library version) gives None.
py::object body_socket(const py::object& raw) {
    py::object link = raw;
    for (const char* name : {"_fp", "fp", "raw", "_sock"}) {
        link = py::getattr(link, name, py::none());
        if (link.is_none()) return link;
    }
    return link;
}

// A server that stops sending altogether would otherwise hold each read for
// the whole read limit: the socket waits no longer than the deadline leaves.
void wait_at_most(const py::object& raw, double seconds) {
    py::object socket = body_socket(raw);
    if (!socket.is_none()) socket.attr("settimeout")(std::max(seconds, 0.001));
}

[[noreturn]] void raise_past_deadline(py::handle module, const py::object& response,
                                      const py::object& url, double allowed,
                                      Py_ssize_t received) {
    py::object timeout = global(module, "requests").attr("exceptions").attr("ReadTimeout");
    raise_instance(timeout("The SEC server did not send the whole list from " + text(url) +
                               " within " + seconds_text(allowed) + " s of the request (" +
                               std::to_string(received) + " bytes arrived). Check the "
                               "internet connection and any proxy, and run again; " +
                               kKept + ".",
                           "response"_a = response));
}

// Reads whatever has arrived, at most a chunk, so that a trickling server
// meets the deadline between its bytes.
py::bytes read_body(py::handle module, const py::object& response, const py::object& url,
                    Clock::time_point requested) {
    py::object raw = response.attr("raw");
    py::object urllib3 = py::module_::import("urllib3.exceptions");
    double allowed = deadline_seconds(module);
    auto deadline = requested + std::chrono::duration_cast<Clock::duration>(
                                    std::chrono::duration<double>(allowed));
    py::list chunks;
    Py_ssize_t received = 0;
    while (true) {
        py::bytes chunk;
        try {
            wait_at_most(raw, std::chrono::duration<double>(deadline - Clock::now()).count());
            chunk = raw.attr("read1")(kChunkBytes, "decode_content"_a = true);
        } catch (py::error_already_set& error) {
            std::string after = " after " + std::to_string(received) + " bytes";
            if (error.matches(urllib3.attr("ReadTimeoutError")) && Clock::now() >= deadline) {
                raise_past_deadline(module, response, url, allowed, received);
            }
            if (error.matches(urllib3.attr("ReadTimeoutError"))) {
                // requests' own class for a read that times out in the body
                py::object stopped =
                    global(module, "requests").attr("exceptions").attr("ConnectionError")(
                        "The SEC server stopped sending the list from " + text(url) + after +
                            ". Check the internet connection and any proxy, and run again; " +
                            kKept + ".",
                        "response"_a = response);
                stopped.attr("__cause__") = error.value();
                raise_instance(stopped);
            }
            if (error.matches(urllib3.attr("ProtocolError")) ||
                error.matches(urllib3.attr("DecodeError"))) {
                raise_cut_short(url, "the connection broke off" + after + " (" +
                                         library_words(error.value()) + ")",
                                error.value());
            }
            throw;
        }
        if (py::len(chunk) == 0) break;
        received += static_cast<Py_ssize_t>(py::len(chunk));
        chunks.append(chunk);
        if (Clock::now() > deadline) raise_past_deadline(module, response, url, allowed, received);
    }
    return py::bytes("").attr("join")(chunks);
}

void check_whole(const py::object& response, const py::bytes& body, const py::object& url) {
    Py_ssize_t size = static_cast<Py_ssize_t>(py::len(body));
    if (!truthy(body.attr("startswith")(py::bytes("%PDF-")))) {
        raise_error(PyExc_ValueError, "The SEC answered 200 for " + text(url) + " with " +
                                          std::to_string(size) +
                                          " bytes that are not a PDF (an HTML page or an empty "
                                          "answer); " + kKept + ". Check TAVRIN_SEC_BASE_URL "
                                          "and any proxy, and run again.");
    }
    // The bytes as they came over the wire, before any content encoding is
    // undone, are what Content-Length counts.
    py::object announced = response.attr("headers").attr("get")("Content-Length");
    std::string digits = announced.is_none() ? "" : text(announced);
    if (!digits.empty() && digits.find_first_not_of("0123456789") == std::string::npos) {
        long long expected = py::int_(builtin("int")(digits)).cast<long long>();
        long long arrived = response.attr("raw").attr("tell")().cast<long long>();
        if (arrived != expected) {
            raise_cut_short(url, "it ended after " + std::to_string(arrived) + " of the " +
                                     std::to_string(expected) + " bytes announced");
        }
    }
    Py_ssize_t trailer = body.attr("rfind")(py::bytes("%%EOF")).cast<Py_ssize_t>();
    bool cut_in_update = false;
    if (trailer >= 0) {
        py::bytes after = body[py::slice(py::int_(trailer + 5), py::none(), py::none())];
        for (const char* mark : kUpdateMarks) cut_in_update = cut_in_update || after.contains(py::bytes(mark));
    }
    if (trailer < 0 || cut_in_update) {
        raise_cut_short(url, "its " + std::to_string(size) +
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
    Clock::time_point requested = Clock::now();
    py::object response = request_list(module, url, stored.request_headers(module));
    py::bytes body;
    try {
        if (stored.usable() && response.attr("status_code").cast<int>() == 304) {
            response.attr("close")();
            check_kept_list(module, url);
            note_list_unchanged(module, stored);
            return py::none();
        }
        check_status(module, response, url);
        body = read_body(module, response, url, requested);
        check_whole(response, body, url);
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
