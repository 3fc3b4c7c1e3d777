// The library's class is kept because callers catch it; only the words
// change. Most classes take their text as the first argument. Some build
// their own (subprocess.CalledProcessError prints the command line it ran);
// those get a subclass of the same name whose text is the argument, so the
// traceback shows the same class name with the new words.
#include "common/explained.hpp"

namespace tavrin {
namespace {

py::object built_with(const py::object& type, const std::string& message) {
    try {
        py::object built = type(message);
        if (text(built) == message) return built;
    } catch (py::error_already_set&) {
        // a class that needs other arguments: see below
    }
    return py::object();
}

py::object showing_its_argument(const py::object& type, const py::object& original,
                                const std::string& message) {
    py::dict namespace_;
    namespace_["__module__"] = type.attr("__module__");
    namespace_["__qualname__"] = type.attr("__qualname__");
    namespace_["__str__"] = builtin("BaseException").attr("__str__");
    py::object subclass = builtin("type")(type.attr("__name__"), py::make_tuple(type), namespace_);
    py::object copy = py::module_::import("copy").attr("copy")(original);
    copy.attr("__class__") = subclass;
    copy.attr("args") = py::make_tuple(message);
    return copy;
}

void carry_attributes(const py::object& original, const py::object& explained) {
    if (!py::hasattr(original, "__dict__") || !py::hasattr(explained, "__dict__")) return;
    explained.attr("__dict__").attr("update")(original.attr("__dict__"));
}

}  // namespace

void raise_explained(py::error_already_set& error, const std::string& message) {
    py::object type = error.type();
    py::object original = error.value();
    py::object explained = built_with(type, message);
    if (explained) {
        carry_attributes(original, explained);
    } else {
        explained = showing_its_argument(type, original, message);
    }
    explained.attr("__cause__") = original;
    raise_instance(explained);
}

}  // namespace tavrin
