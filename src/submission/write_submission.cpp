// The submission stage. The access code is read from the environment at the
// moment it is needed and goes into one file only, the submission, which
// only its owner may read; the form page, the console and every message
// are made without it.
#include "submission/submission.hpp"

#include "common/files.hpp"
#include "inputs/filer.hpp"
#include "submission/cover_page.hpp"
#include "submission/form_page.hpp"
#include "submission/original_table.hpp"
#include "submission/primary_document.hpp"
#include "submission/submission_checks.hpp"

namespace tavrin {
namespace {

constexpr const char* kSubmissionName = "F13Submission.xml";
constexpr const char* kFormName = "F13Form.html";
constexpr const char* kCccVariable = "TAVRIN_EDGAR_CCC";
constexpr const char* kModeVariable = "TAVRIN_EDGAR_SUBMISSION";
constexpr int kOwnerOnly = 0600;

std::string environment(const char* name) {
    py::object value = py::module_::import("os").attr("environ").attr("get")(name, "");
    return value.cast<std::string>();
}

// TEST unless LIVE is asked for in so many words: a TEST submission is
// checked by EDGAR like a live one and files nothing.
std::string submission_mode() {
    std::string mode = py::str(py::str(environment(kModeVariable)).attr("strip")()).cast<std::string>();
    if (mode.empty() || mode == "TEST") return "TEST";
    if (mode == "LIVE") return "LIVE";
    raise_error(PyExc_ValueError,
                std::string(kModeVariable) + " must be LIVE to file the submission, or TEST or unset "
                "to have EDGAR check it without filing (got \"" + mode + "\"). No submission was written.");
}

py::object beside(const py::object& document, const char* name) {
    return py::str(py::module_::import("pathlib").attr("Path")(document).attr("with_name")(name));
}

std::string read_bytes(const py::object& path) {
    return py::module_::import("pathlib").attr("Path")(path).attr("read_bytes")().cast<std::string>();
}

// A submission or form page left from an earlier run carries an earlier
// table; once this run's table is in place it would be filed by mistake.
// It goes when this run's results take their place, not before.
std::string remove_earlier(const py::object& path) {
    return remove_with_results(path) ? text(path) : "";
}

void write_owner_only(const py::object& target, const std::string& bytes) {
    py::object os = py::module_::import("os");
    replace_with_results(target, ".tmp", [&](const py::object& temporary) {
        int flags = os.attr("O_WRONLY").cast<int>() | os.attr("O_CREAT").cast<int>() |
                    os.attr("O_EXCL").cast<int>() |
                    py::getattr(os, "O_BINARY", py::int_(0)).cast<int>();
        py::object descriptor = os.attr("open")(temporary, flags, kOwnerOnly);
        py::object file = os.attr("fdopen")(descriptor, "wb");
        with_context(file, [&](const py::object& opened) { opened.attr("write")(py::bytes(bytes)); });
        os.attr("chmod")(temporary, kOwnerOnly);  // whatever the umask left
    });
}

void write_text(const py::object& target, const std::string& page) {
    replace_with_results(target, ".tmp", [&](const py::object& temporary) {
        py::module_::import("pathlib").attr("Path")(temporary).attr("write_bytes")(py::bytes(page));
    });
}

// The table the submission attaches: the run's own, or for a NEW HOLDINGS
// amendment only its entries the original filing lacks.
InformationTable attached_table(py::handle module, const CoverPage& cover, const py::object& document) {
    std::string bytes = read_bytes(delivered_path(document));
    if (cover.amendment_type.value != "NEW HOLDINGS") return read_table(bytes);
    return read_table(without_entries(bytes, original_entries(module)));
}

std::string signature_date(py::handle module) {
    return global(module, "datetime").attr("now")().attr("strftime")("%m-%d-%Y").cast<std::string>();
}

std::string figures(const Submission& submission) {
    if (!submission.attaches_table) return submission.submission_type;
    std::string total = py::str("{:,}").attr("format")(submission.table.value_total).cast<std::string>();
    return submission.submission_type + ", " + std::to_string(submission.table.entries.size()) +
           " entries, value total $" + total;
}

std::string mode_note(const Submission& submission) {
    if (submission.live_test == "LIVE") return "LIVE: EDGAR files it once it accepts it";
    return "TEST: EDGAR checks a TEST submission as it would a live filing and files nothing; "
           "set TAVRIN_EDGAR_SUBMISSION=LIVE to file it";
}

void say(const std::string& line) { builtin("print")(line); }

}  // namespace

void write_submission(py::handle module, const py::object& document) {
    py::object target = beside(document, kSubmissionName);
    py::object form_target = beside(document, kFormName);
    FilerWorkbook filer = read_filer(module);
    if (!holds_cover_page(filer)) {
        for (const py::object& earlier : {target, form_target}) {
            std::string removed = remove_earlier(earlier);
            if (!removed.empty()) {
                say("Removed " + removed + ": it held an earlier run's table, and " + text(filer.path) +
                    " holds no \"Report type\" for a new one.");
            }
        }
        return;
    }
    CoverPage cover = read_cover_page(filer);
    std::string mode = submission_mode();
    std::string ccc = environment(kCccVariable);
    if (!ccc.empty()) check_access_code(ccc);

    InformationTable table = attached_table(module, cover, document);
    if (cover.has_table() && table.entries.empty()) {
        remove_earlier(target);
        remove_earlier(form_target);
        say("No EDGAR submission written: every entry of this run's table is already in the "
            "original filing (Data/Original.xml), and a NEW HOLDINGS amendment without new "
            "entries is not filed.");
        return;
    }
    int year = global(module, "myYear").cast<int>();
    int quarter = global(module, "myQuarter").cast<int>();
    Submission submission = primary_document(
        cover, table, text(py::module_::import("os").attr("path").attr("basename")(document)),
        mode, quarter_end(year, quarter), signature_date(module));
    std::string page = form_page(cover, submission);

    if (ccc.empty()) {
        // Checked all the same, with EDGAR's mask in the code's place, so the
        // cover page is known good before the code is at hand.
        check_submission(module, serialised(submission, "XXXXXXXX"), submission, "", target);
        write_text(form_target, page);
        std::string removed = remove_earlier(target);
        say("No EDGAR submission written: " + std::string(kCccVariable) + " (the EDGAR access "
            "code, CCC) is not set; set it in the shell that runs the quarter and run again." +
            (removed.empty() ? "" : " The earlier " + removed + ", which held an earlier table, was removed."));
        say("Form 13F for signing: " + text(form_target));
        return;
    }
    std::string bytes = serialised(submission, ccc);
    check_submission(module, bytes, submission, ccc, target);
    write_owner_only(target, bytes);
    write_text(form_target, page);
    say("EDGAR submission written: " + text(target) + " (" + figures(submission) + "; " +
        mode_note(submission) + ")");
    say("Form 13F for signing: " + text(form_target));
}

}  // namespace tavrin
