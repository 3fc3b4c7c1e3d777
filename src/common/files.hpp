// Checks on the working folder, made before a stage reads or writes there.
#pragma once

#include "common/python.hpp"

#include <functional>
#include <string>

namespace tavrin {

// FileNotFoundError (errno 2) with `advice` and the folder that holds `file`
// when that folder does not exist; the same shape Python gives a missing
// file, so callers catching OSError keep working.
void require_folder_of(const py::object& file, const std::string& advice);

// The same for `file` itself.
void require_file(const py::object& file, const std::string& advice);

// Replaces `target` whole or not at all: `write` fills a new file beside it
// (its name, a random part and `ending`), which then takes the target's
// place. On any failure that file is removed, the target is left as it was
// and the failure goes on to the caller.
void replace_whole(const py::object& target, const char* ending,
                   const std::function<void(const py::object& temporary)>& write);

// The same for a file the run delivers to Results (the information table, the
// review, the submission): during a run these are replaced together at its
// end, or none of them is; outside a run, at once.
void replace_with_results(const py::object& target, const char* ending,
                          const std::function<void(const py::object& temporary)>& write);

// Removes `target`, a Results file of an earlier run that this run's results
// would contradict, together with the run's other results (at once outside
// a run). True when there was such a file.
bool remove_with_results(const py::object& target);

// The file that holds what `target` will be once this run's results are in
// place: the temporary a writer filled for it during a run, else `target`.
py::object delivered_path(const py::object& target);

}  // namespace tavrin
