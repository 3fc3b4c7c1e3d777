#include "compare/edgar_download.hpp"

#include <algorithm>
#include <cmath>
#include <optional>

namespace tavrin {
namespace {

// The SEC allows ten requests a second from one client; one every eighth of
// a second stays clear of it even when the clock jitters.
constexpr double kSecondsBetweenRequests = 0.125;
constexpr int kReadSeconds = 300;
constexpr const char* kKept = "the previous quarter is not compared";

// Shared by every session of the process, so that fetches one after
// another keep the rate too.
std::optional<DownloadClock::time_point> last_request;

void keep_fair_access_rate() {
    if (last_request) {
        double since = std::chrono::duration<double>(DownloadClock::now() - *last_request).count();
        if (since < kSecondsBetweenRequests) {
            py::module_::import("time").attr("sleep")(kSecondsBetweenRequests - since);
        }
    }
    last_request = DownloadClock::now();
}

std::string example_of(const std::string& setting) {
    return setting == "TAVRIN_SEC_DATA_URL" ? "https://data.sec.gov" : "https://www.sec.gov";
}

void check_status(py::handle module, const py::object& response, const Download& download,
                  const std::string& not_found) {
    int status = response.attr("status_code").cast<int>();
    if (status == 200) return;
    std::string message = "The SEC answered " + std::to_string(status) + " for " +
                          text(download.url) + " instead of the " + download.noun + ".";
    if (status == 403) {
        message += " The request was sent with the User-Agent \"" + sent_user_agent(response) +
                   "\"; the SEC asks automated clients for a declared User-Agent such as "
                   "\"Company Name admin@company.com\": set it with TAVRIN_USER_AGENT.";
    } else if (status == 404) {
        message += " " + not_found;
    } else if (status == 429) {
        message += " The SEC's limit of requests a second was reached; wait ten minutes and "
                   "run again.";
    } else if (status >= 500 && status < 600) {
        message += " The SEC's server failed; try again later.";
    }
    raise_instance(global(module, "requests").attr("HTTPError")(message, "response"_a = response));
}

}  // namespace

EdgarSession::EdgarSession(py::handle module)
    : module_(module),
      allowed_(download_deadline_seconds(module)),
      deadline_(DownloadClock::now() + std::chrono::duration_cast<DownloadClock::duration>(
                                           std::chrono::duration<double>(allowed_))) {}

py::bytes EdgarSession::get(const py::object& url, const std::string& noun,
                            const std::string& setting, const std::string& not_found) {
    double left = std::chrono::duration<double>(deadline_ - DownloadClock::now()).count();
    int read_seconds = std::clamp(static_cast<int>(std::ceil(left)), 1, kReadSeconds);
    Download download{url,   noun,      kKept,    setting, example_of(setting),
                      read_seconds, allowed_, deadline_};
    keep_fair_access_rate();
    py::object response = request_download(module_, download);
    py::bytes body;
    try {
        check_status(module_, response, download, not_found);
        body = read_download(module_, response, download);
        check_announced_length(response, download);
    } catch (py::error_already_set&) {
        response.attr("close")();
        throw;
    }
    response.attr("close")();
    return body;
}

}  // namespace tavrin
