// The files one run delivers to Results (the information table, its review,
// the submission) are put in place together at the run's end, or none is:
// nobody finds this run's table beside the last run's review.
//
// During a run each writer fills a temporary beside its target and stages
// it here; deliver() checks every target, moves the previous files aside,
// puts the new ones in place and only then drops the previous ones. A
// failure on the way puts every previous file back. A journal in Store
// lists the files moved aside while a delivery is under way, so a run
// killed in the middle is undone by the next one (undo_interrupted_delivery).
#pragma once

#include "common/python.hpp"

#include <vector>

namespace tavrin {

class Delivery {
  public:
    // `journal`: the file that records a delivery under way.
    explicit Delivery(py::object journal);
    // Removes the temporaries of files that were never delivered.
    ~Delivery();
    Delivery(const Delivery&) = delete;
    Delivery& operator=(const Delivery&) = delete;

    // The innermost live delivery, or nullptr outside a driver's run.
    static Delivery* current();

    // `temporary` is to become `target`; a target staged again takes the
    // newer temporary.
    void stage(const py::object& target, const py::object& temporary);

    // `target` is to go: a file of an earlier run that this run's results
    // would contradict.
    void stage_removal(const py::object& target);

    // The temporary staged for `target`, or None (also for a removal).
    py::object staged(const py::object& target) const;

    // Replaces every staged target, or none of them.
    void deliver();

  private:
    struct Staged {
        py::object target;
        py::object temporary;  // None: the target is removed
        py::object previous;  // where the target was moved aside, or None
    };
    void check_targets() const;
    void move_previous_aside();
    void put_in_place();
    void undo(size_t placed);

    py::object journal_;
    std::vector<Staged> files_;
    Delivery* outer_;
};

// Puts back the previous files of a delivery that a killed run left under
// way, as its journal lists them; nothing to do when there is no journal.
void undo_interrupted_delivery(const py::object& journal);

}  // namespace tavrin
