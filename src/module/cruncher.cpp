// The pipeline driver. Every stage is looked up by name when it is due, so a
// host (or a test) that rebinds one changes what the next run calls.
#include "common/collector_pause.hpp"
#include "common/delivery.hpp"
#include "common/files.hpp"
#include "common/run_record.hpp"
#include "common/tables.hpp"
#include "compare/changes.hpp"
#include "module/module.hpp"
#include "report/review.hpp"
#include "submission/submission.hpp"

namespace tavrin {
namespace {

// Enough of a file's identity to tell whether it was replaced: the writer
// puts a new file in place, so its inode changes even within one tick of
// the clock.
py::object file_identity(const py::object& path) {
    py::object os = py::module_::import("os");
    if (!truthy(os.attr("path").attr("exists")(path))) return py::none();
    py::object status = os.attr("stat")(path);
    return py::make_tuple(status.attr("st_ino"), status.attr("st_mtime_ns"),
                          status.attr("st_size"));
}

}  // namespace

py::object cruncher(py::handle module) {
    print_trace(module);
    CollectorPause collector_paused_for_the_run;
    require_working_folder(module);
    announce_run(module);
    FolderLock lock(module);
    RunRecord record;
    Delivery delivery(delivery_journal(module));
    // The workbooks are read before anything is downloaded: their faults
    // are the holder's to mend and should be told in the first second.
    py::object raw = global(module, "storeraw")();
    py::object rem = global(module, "storerem")();
    global(module, "getsec")();
    py::object sec = global(module, "storesec")();
    // The list's distinct CUSIPs in order of first appearance, so that runs
    // over the same inputs give the same order.
    py::list list_cusips = key_column(sec, "CUSIPNO",
                                      "The securities list read from " +
                                          text(global(module, "sec_pdf_path")) +
                                          " (its heading CUSIP NO)",
                                      "Check that the file is the SEC's list of 13(f) "
                                      "securities, then delete it and run again.")
                               .attr("drop_duplicates")()
                               .attr("tolist")();

    py::object bswout = reconcile(module, list_cusips, raw, rem, &record);

    global(module, "cleancusip")(bswout, "CUSIPID", global(module, "res_path"));
    // The review describes the document this run wrote, and no other.
    py::object document = global(module, "fres_path").attr("replace")(".xlsx", ".xml");
    py::object before = file_identity(document);
    global(module, "f13excel")(sec, bswout);
    py::object after = file_identity(document);
    bool written = !delivery.staged(document).is_none() || (!after.is_none() && !after.equal(before));
    if (written) {
        Comparison changes = compare_with_previous(module, record, document);
        write_review(record, sec, document, &changes);
        print_comparison(changes);
        write_submission(module, document);
    }
    delivery.deliver();
    announce_reuse(module);
    return py::none();
}

}  // namespace tavrin
