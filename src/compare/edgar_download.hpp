// Requests to the SEC's servers while a filing is fetched: the declared
// User-Agent, the SEC's fair-access rate kept, and the rules of every
// download (status, one time limit for the whole fetch, completeness).
#pragma once

#include "common/download.hpp"

#include <string>

namespace tavrin {

class EdgarSession {
  public:
    explicit EdgarSession(py::handle module);

    // The whole body of a 200 answer for `url`; requests.HTTPError for any
    // other status, with `not_found` as the advice for a 404. `noun` says
    // what is fetched ("submissions index"), `setting` which variable names
    // the host.
    py::bytes get(const py::object& url, const std::string& noun, const std::string& setting,
                  const std::string& not_found);

  private:
    py::handle module_;
    double allowed_;
    DownloadClock::time_point deadline_;
};

}  // namespace tavrin
