#include "common/run_record.hpp"

namespace tavrin {
namespace {

// Everything runs on the importing thread, so one pointer is enough; a host
// that calls cruncher from inside a stage nests records like calls.
RunRecord* innermost = nullptr;

}  // namespace

RunRecord::RunRecord() : outer_(innermost) { innermost = this; }

RunRecord::~RunRecord() { innermost = outer_; }

RunRecord* RunRecord::current() { return innermost; }

}  // namespace tavrin
