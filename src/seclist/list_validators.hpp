// The stored list's HTTP validators, for asking the SEC whether it changed.
#pragma once

#include "common/python.hpp"

#include <string>

namespace tavrin {

struct ListValidators {
    std::string etag;
    std::string last_modified;
    std::string downloaded;  // the day the stored list arrived, "2026-10-03"

    bool usable() const { return !etag.empty() || !last_modified.empty(); }

    // The module's `headers` as they are, or, when there is something to ask
    // with, a copy that adds If-None-Match and If-Modified-Since.
    py::object request_headers(py::handle module) const;
};

// The validators stored with the list at `url`, or none: when TAVRIN_FRESH
// is 1, the list is missing or is not the file they were stored with, or
// their file is damaged.
ListValidators stored_validators(py::handle module, const py::object& url);

// Stores the validators of the list just taken from `response` (or removes
// stale ones when the answer gave none).
void store_validators(py::handle module, const py::object& url, const py::object& response);

// Notes for the run's closing words that the SEC answered 304.
void note_list_unchanged(py::handle module, const ListValidators& validators);

}  // namespace tavrin
