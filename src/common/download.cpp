#include "common/download.hpp"

#include "common/explained.hpp"

#include <algorithm>
#include <initializer_list>

namespace tavrin {
namespace {

constexpr int kConnectSeconds = 30;

// The read limit applies to each read, so a server that trickles a byte
// every few seconds would never meet it; the whole download, from the
// request to the last byte, gets this long.
constexpr double kDeadlineSeconds = 300;

// Tests of the deadline shorten it through this module global, which the
// settings never set.
constexpr const char* kDeadlineOverride = "_sec_deadline_seconds";

constexpr Py_ssize_t kChunkBytes = 1 << 16;

bool matches_any(py::error_already_set& error, const py::object& module,
                 std::initializer_list<const char*> names) {
    for (const char* name : names) {
        if (error.matches(module.attr(name))) return true;
    }
    return false;
}

std::string message_for_request_error(py::error_already_set& error, const py::object& exceptions,
                                      const Download& download) {
    const py::object& url = download.url;
    if (matches_any(error, exceptions, {"ConnectionError", "Timeout"})) {
        return "The SEC server did not answer the request for " + text(url) + " (" +
               text(error.value()) +
               "). Check the internet connection and any proxy, or " + download.setting +
               ", and run again; " + download.kept + ".";
    }
    if (matches_any(error, exceptions, {"TooManyRedirects"})) {
        return "The SEC server sent the request for " + text(url) +
               " on from address to address more than 30 times without answering with the " +
               download.noun + ". Check " + download.setting +
               " and any proxy; if they are right, try again later; " + download.kept + ".";
    }
    if (matches_any(error, exceptions, {"MissingSchema", "InvalidSchema", "InvalidURL"})) {
        return "The " + download.noun + " address " + text(url) + " cannot be fetched (" +
               text(error.value()) + "). " + download.setting +
               " must hold the scheme and host, and a port if needed, such as \"" +
               download.example + "\": correct it and run again; " + download.kept + ".";
    }
    return "";
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
                                      const Download& download, Py_ssize_t received) {
    py::object timeout = global(module, "requests").attr("exceptions").attr("ReadTimeout");
    raise_instance(timeout("The SEC server did not send the whole " + download.noun + " from " +
                               text(download.url) + " within " +
                               seconds_text(download.allowed) + " s of the request (" +
                               std::to_string(received) + " bytes arrived). Check the "
                               "internet connection and any proxy, and run again; " +
                               download.kept + ".",
                           "response"_a = response));
}

[[noreturn]] void raise_stopped(py::handle module, const py::object& response,
                                const Download& download, const std::string& after,
                                const py::object& cause) {
    // requests' own class for a read that times out in the body
    py::object stopped = global(module, "requests").attr("exceptions").attr("ConnectionError")(
        "The SEC server stopped sending the " + download.noun + " from " + text(download.url) +
            after + ". Check the internet connection and any proxy, and run again; " +
            download.kept + ".",
        "response"_a = response);
    stopped.attr("__cause__") = cause;
    raise_instance(stopped);
}

}  // namespace

double download_deadline_seconds(py::handle module) {
    PyObject* value = PyDict_GetItemString(PyModule_GetDict(module.ptr()), kDeadlineOverride);
    if (value == nullptr) return kDeadlineSeconds;
    return py::reinterpret_borrow<py::object>(value).cast<double>();
}

py::object request_download(py::handle module, const Download& download) {
    py::object requests = global(module, "requests");
    try {
        // Streamed, so the body can be read against the deadline.
        return requests.attr("get")(
            download.url,
            "headers"_a = download.headers.is_none() ? global(module, "headers") : download.headers,
            "timeout"_a = py::make_tuple(kConnectSeconds, download.read_seconds),
            "stream"_a = true);
    } catch (py::error_already_set& error) {
        std::string message =
            message_for_request_error(error, requests.attr("exceptions"), download);
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

[[noreturn]] void raise_cut_short(const Download& download, const std::string& how,
                                  const py::object& cause) {
    py::object error = builtin("ValueError")(
        "The download of the " + download.noun + " from " + text(download.url) +
        " was cut short: " + how + "; " + download.kept +
        ". Run again; if it happens again, check the internet connection and any proxy.");
    if (!cause.is_none()) error.attr("__cause__") = cause;
    raise_instance(error);
}

// Reads whatever has arrived, at most a chunk, so that a trickling server
// meets the deadline between its bytes.
py::bytes read_download(py::handle module, const py::object& response, const Download& download) {
    py::object raw = response.attr("raw");
    py::object urllib3 = py::module_::import("urllib3.exceptions");
    py::list chunks;
    Py_ssize_t received = 0;
    while (true) {
        py::bytes chunk;
        try {
            wait_at_most(raw, std::chrono::duration<double>(download.deadline -
                                                            DownloadClock::now())
                                  .count());
            chunk = raw.attr("read1")(kChunkBytes, "decode_content"_a = true);
        } catch (py::error_already_set& error) {
            std::string after = " after " + std::to_string(received) + " bytes";
            if (error.matches(urllib3.attr("ReadTimeoutError"))) {
                if (DownloadClock::now() >= download.deadline) {
                    raise_past_deadline(module, response, download, received);
                }
                raise_stopped(module, response, download, after, error.value());
            }
            if (error.matches(urllib3.attr("ProtocolError")) ||
                error.matches(urllib3.attr("DecodeError"))) {
                raise_cut_short(download, "the connection broke off" + after + " (" +
                                              library_words(error.value()) + ")",
                                error.value());
            }
            throw;
        }
        if (py::len(chunk) == 0) break;
        received += static_cast<Py_ssize_t>(py::len(chunk));
        chunks.append(chunk);
        if (DownloadClock::now() > download.deadline) {
            raise_past_deadline(module, response, download, received);
        }
    }
    return py::bytes("").attr("join")(chunks);
}

// The bytes as they came over the wire, before any content encoding is
// undone, are what Content-Length counts.
void check_announced_length(const py::object& response, const Download& download) {
    py::object announced = response.attr("headers").attr("get")("Content-Length");
    std::string digits = announced.is_none() ? "" : text(announced);
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos) return;
    long long expected = py::int_(builtin("int")(digits)).cast<long long>();
    long long arrived = response.attr("raw").attr("tell")().cast<long long>();
    if (arrived != expected) {
        raise_cut_short(download, "it ended after " + std::to_string(arrived) + " of the " +
                                      std::to_string(expected) + " bytes announced");
    }
}

}  // namespace tavrin
