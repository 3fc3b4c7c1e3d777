// Downloads from the SEC's servers with the rules every download keeps: a
// connection error told in words that name the address and the setting
// behind it, the body read against one deadline for the whole download
// (a server that trickles or stalls meets it too), and a body shorter than
// its announced length refused as cut short.
#pragma once

#include "common/python.hpp"

#include <chrono>
#include <string>

namespace tavrin {

using DownloadClock = std::chrono::steady_clock;

struct Download {
    py::object url;
    std::string noun;     // what is fetched, for messages: "list", "submissions index"
    std::string kept;     // what a failure leaves: "the stored list was left as it was"
    std::string setting;  // the variable naming the host, "TAVRIN_SEC_BASE_URL"
    std::string example;  // a right value of it, "https://www.sec.gov"
    int read_seconds;     // the longest wait for any one read
    double allowed;       // seconds from the request to the last byte
    DownloadClock::time_point deadline;
    // The request's headers; None: the module's `headers`.
    py::object headers = py::none();
};

// The seconds a download may take, from its request to its last byte; tests
// shorten it through the module global _sec_deadline_seconds.
double download_deadline_seconds(py::handle module);

// Sends the streamed GET with the module's headers through the module's
// `requests`; a connection that cannot be made, endless redirects and an
// address without a scheme end in the library's own class with the reason.
py::object request_download(py::handle module, const Download& download);

// The User-Agent the request went out with, for a 403 message.
std::string sent_user_agent(const py::object& response);

// The whole body, read as it arrives and decoded, against the deadline.
py::bytes read_download(py::handle module, const py::object& response, const Download& download);

// ValueError when fewer bytes came than the answer's Content-Length announced.
void check_announced_length(const py::object& response, const Download& download);

// ValueError: the download was cut short, `how`, with `cause` as its cause.
[[noreturn]] void raise_cut_short(const Download& download, const std::string& how,
                                  const py::object& cause = py::none());

}  // namespace tavrin
