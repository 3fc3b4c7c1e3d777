// Checks on the working folder, made before a stage reads or writes there.
#pragma once

#include "common/python.hpp"

#include <string>

namespace tavrin {

// FileNotFoundError (errno 2) with `advice` and the folder that holds `file`
// when that folder does not exist; the same shape Python gives a missing
// file, so callers catching OSError keep working.
void require_folder_of(const py::object& file, const std::string& advice);

// The same for `file` itself.
void require_file(const py::object& file, const std::string& advice);

}  // namespace tavrin
