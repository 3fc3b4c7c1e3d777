// The module frame's own pieces: start-up imports and settings, the binding
// of the module functions, and the pipeline driver.
#pragma once

#include "common/python.hpp"

namespace tavrin {

class RunRecord;

// Binds the packages the pipeline works with, in the order a host would
// import them at the top of a script.
void import_packages(py::module_ module);

// Computes the run settings (working folder, paths, reporting period, web
// addresses, request headers, service key, debug switch) into the globals.
void compute_settings(py::module_ module);

// Binds the module functions as builtins of this module.
void bind_functions(py::module_ module);

// Prints the reporting period and the list's file name, and a warning when
// the User-Agent the list is asked with declares no e-mail address.
void announce_run(py::handle module);

// Prints, in one line, what the run reused from earlier runs (the list the
// SEC answered 304 for, its tables, FIGIs), when it reused anything.
void announce_reuse(py::handle module);

// The pipeline driver: download, extract, intake, reconcile, report.
py::object cruncher(py::handle module);

// FileNotFoundError naming everything of the working folder that is missing
// (the Data, Store and Results folders, the two workbooks), found before
// anything is downloaded.
void require_working_folder(py::handle module);

// One run per working folder: held for the length of a driver's run, in
// Store. Taking it clears what a killed run left half done; a live holder
// stops the run with a RuntimeError before anything is changed.
class FolderLock {
  public:
    explicit FolderLock(py::handle module);
    ~FolderLock();
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

  private:
    void clear_what_a_killed_run_left(py::handle module);
    void release() noexcept;
    py::object path_;
};

// The journal of a delivery of results under way (see common/delivery.hpp).
py::object delivery_journal(py::handle module);

// The reconciled holdings: one row per list CUSIP that the portfolio holds,
// its amounts added up and reduced by the removal list, kept when positive.
// When `record` is given, what became of every portfolio CUSIP goes there.
py::object reconcile(py::handle module, const py::list& list_cusips,
                     const py::object& raw, const py::object& rem, RunRecord* record = nullptr);

}  // namespace tavrin
