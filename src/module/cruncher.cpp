// The pipeline driver. Every stage is looked up by name when it is due, so a
// host (or a test) that rebinds one changes what the next run calls.
#include "common/tables.hpp"
#include "module/module.hpp"

namespace tavrin {

py::object cruncher(py::handle module) {
    print_trace(module);
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
    py::object raw = global(module, "storeraw")();
    py::object rem = global(module, "storerem")();

    py::object bswout = reconcile(module, list_cusips, raw, rem);

    global(module, "cleancusip")(bswout, "CUSIPID", global(module, "res_path"));
    global(module, "f13excel")(sec, bswout);
    return py::none();
}

}  // namespace tavrin
