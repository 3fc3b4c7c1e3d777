// Library errors re-raised with words a person can act on.
#pragma once

#include "common/python.hpp"

#include <string>

namespace tavrin {

// Raises an error of the class of `error` whose text is `message`, with
// `error` as its cause and its attributes (a response, a return code)
// carried over, so that callers catching the library's class keep working.
[[noreturn]] void raise_explained(py::error_already_set& error, const std::string& message);

}  // namespace tavrin
