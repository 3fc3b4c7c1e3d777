// Holds Python's cyclic garbage collector off for a scope.
//
// A first run makes a few hundred thousand objects that live to its end (the
// list's 750 tables, their cells twice over, the holdings). The automatic
// collections walk them again and again and find next to nothing to free:
// at full size they cost a tenth of a second of a run. Reference counting
// still frees everything else as it goes; what is left in cycles (the rows
// pandas' workbook reader parsed, a few MB) goes at the first collection
// after the run.
#pragma once

#include <Python.h>

namespace tavrin {

class CollectorPause {
  public:
    CollectorPause() : was_enabled_(PyGC_Disable() == 1) {}
    ~CollectorPause() {
        // As the host had it: a host that keeps the collector off keeps it off.
        if (was_enabled_) PyGC_Enable();
    }
    CollectorPause(const CollectorPause&) = delete;
    CollectorPause& operator=(const CollectorPause&) = delete;

  private:
    bool was_enabled_;
};

}  // namespace tavrin
