"""The list download: the request, the stored file and the failures.

Each host run imports Tavrin (which downloads the small list from the
stand-in SEC site once) and then calls getsec() again under rebound globals;
the failure cases run against a stand-in SEC site that the host script starts
itself, so that one interpreter can switch it between modes.
"""
from types import SimpleNamespace

import pytest

from scenario import (stand_in_sites, BASE_LIST, DECLARED_USER_AGENT, base_list_rows,
                      host_environment, make_workdir, run_host, write_base_inputs)
from standins.sec_server import list_path
from standins.seclist_pdf import list_pdf_bytes, make_rows

DEFAULT_USER_AGENT = ("Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 "
                      "(KHTML, like Gecko) Chrome/109.0.0.0 Safari/537.36")

def working_folder(tmp_path_factory, name):
    folder = make_workdir(tmp_path_factory.mktemp(name) / "work")
    write_base_inputs(folder)
    return folder


# --------------------------------------------------------------------------
# The request as it reaches the SEC site
# --------------------------------------------------------------------------

# The stand-in, like the SEC, refuses an agent without an e-mail address; for
# these cases it is told to let it through, to see what was sent.
USER_AGENT_CASES = {
    "declared": (DECLARED_USER_AGENT, DECLARED_USER_AGENT),
    "unset": (None, DEFAULT_USER_AGENT),
    "empty": ("", DEFAULT_USER_AGENT),
    "without an address": ("Tavrin Tests", "Tavrin Tests"),
}
AGENT_WARNINGS = {
    "declared": None,
    "unset": "TAVRIN_USER_AGENT is not set, so the list is asked for with a browser's User-Agent",
    "empty": "TAVRIN_USER_AGENT is not set, so the list is asked for with a browser's User-Agent",
    "without an address": 'TAVRIN_USER_AGENT "Tavrin Tests" holds no e-mail address',
}

# After the import's download, the same address is fetched once more with a
# plain requests.get carrying only the User-Agent: whatever the module's
# request holds beyond that came from the module.
IMPORT_THEN_PLAIN_REQUEST = """
import requests, Tavrin
requests.get(Tavrin.pdf_url, headers={"User-Agent": Tavrin.headers["User-Agent"]}, timeout=30)
emit({"year": Tavrin.myYear, "quarter": Tavrin.myQuarter})
"""


@pytest.fixture(scope="module", params=list(USER_AGENT_CASES))
def import_requests(request, tmp_path_factory):
    given, expected = USER_AGENT_CASES[request.param]
    folder = working_folder(tmp_path_factory, f"agent-{request.param}")
    with stand_in_sites() as (sec, figi):
        sec.require_declared_agent = False
        env = host_environment(TAVRIN_SEC_BASE_URL=sec.base_url,
                               TAVRIN_OPENFIGI_BASE_URL=figi.base_url,
                               TAVRIN_USER_AGENT=given)
        run = run_host(folder, IMPORT_THEN_PLAIN_REQUEST, env=env).check()
        recorded = sec.requests
    return SimpleNamespace(module=recorded[0], plain=recorded[1:], period=run.result(),
                           expected_agent=expected, count=len(recorded), case=request.param,
                           printed=run.stdout.splitlines())


def test_import_downloads_the_list_once(import_requests):
    assert import_requests.count == 2  # the module's request and the plain one


def test_request_is_a_get_of_the_quarters_list(import_requests):
    period = import_requests.period
    assert import_requests.module.method == "GET"
    assert import_requests.module.path == list_path(period["year"], period["quarter"])
    assert import_requests.module.path == (
        f"/files/investment/13flist{period['year']}q{period['quarter']}.pdf")


def test_user_agent_comes_from_the_environment_or_the_default(import_requests):
    assert import_requests.module.header("User-Agent") == import_requests.expected_agent


def test_no_header_beyond_those_of_a_plain_request(import_requests):
    (plain,) = import_requests.plain
    assert import_requests.module.headers == plain.headers


def test_the_run_names_its_period_and_list_first(import_requests):
    period = import_requests.period
    assert (f"Reporting period: {period['year']} Q{period['quarter']} "
            f"(13flist{period['year']}q{period['quarter']}.pdf)") in import_requests.printed


def test_an_agent_without_an_address_is_warned_of_once_before_the_request(import_requests):
    expected = AGENT_WARNINGS[import_requests.case]
    warnings = [line for line in import_requests.printed if line.startswith("TAVRIN_USER_AGENT")]
    if expected is None:
        assert warnings == []
    else:
        (warning,) = warnings
        assert warning.startswith(expected)
        assert warning.endswith('such as "Company Name admin@company.com".')
        assert "403" in warning


@pytest.mark.parametrize("agent", [None, "Tavrin Tests"])
def test_the_stand_in_refuses_an_undeclared_agent_as_the_sec_does(tmp_path_factory, agent):
    folder = working_folder(tmp_path_factory, "undeclared")
    with stand_in_sites() as (sec, figi):
        env = host_environment(TAVRIN_SEC_BASE_URL=sec.base_url,
                               TAVRIN_OPENFIGI_BASE_URL=figi.base_url, TAVRIN_USER_AGENT=agent)
        run = run_host(folder, "import Tavrin", env=env)
    assert run.returncode != 0
    assert "requests.exceptions.HTTPError: The SEC answered 403" in run.stderr
    assert run.stdout.index("Reporting period:") < run.stdout.index("TAVRIN_USER_AGENT")


# --------------------------------------------------------------------------
# Calls after the import, against the host's own stand-in site
# --------------------------------------------------------------------------

DOWNLOADS = """
import contextlib, hashlib, io, os, shutil, traceback
from pathlib import Path
import requests, Tavrin
from standins.sec_server import SecServer
from standins.seclist_pdf import ListRow, list_pdf_bytes, make_rows

store = Path("Store")
snapshots = Path("snapshots")
snapshots.mkdir()
results = {}

def digest(data):
    return hashlib.sha256(data).hexdigest()

def prose_pdf():
    from standins import seclist_pdf
    page = seclist_pdf._Text()
    page.show("H", 12.0, 72.0, 120.0, "Dear reader, this letter is not a list of securities.")
    out = io.BytesIO()
    seclist_pdf._write_pdf(out, [page.stream()])
    return out.getvalue()

PROSE = prose_pdf()

def store_names():
    return sorted(p.name for p in store.iterdir())

def described(error):
    response = getattr(error, "response", None)
    return {
        "type": type(error).__module__ + "." + type(error).__qualname__,
        "message": str(error),
        "filename": getattr(error, "filename", None),
        "status": None if response is None else response.status_code,
        "entries": [[f.name, f.filename] for f in traceback.extract_tb(error.__traceback__)],
        "is_timeout": isinstance(error, requests.Timeout),
    }

class Recording:
    # Stands in for the requests module: records every get() and passes it on,
    # with the read limit shrunk when asked.
    def __init__(self, real, read_limit=None):
        self.real, self.read_limit, self.calls = real, read_limit, []
    def __getattr__(self, name):
        return getattr(self.real, name)
    def get(self, *args, **kwargs):
        self.calls.append((args, dict(kwargs)))
        if self.read_limit is not None:
            kwargs["timeout"] = (kwargs["timeout"][0], self.read_limit)
        return self.real.get(*args, **kwargs)

longer = list_pdf_bytes(make_rows(80, seed=1), 2026, 2)
shorter = list_pdf_bytes([ListRow(*row) for row in BASE_LIST], 2026, 2)
real_requests = Tavrin.requests
target = Path(Tavrin.sec_pdf_path)

with SecServer() as sec:
    path = sec.add_list(2026, 2, longer)
    Tavrin.pdf_url = sec.list_url(2026, 2)

    # a first and a second download to the same file: a longer list, then a
    # shorter one, so that bytes left over from the first would show
    printed = io.StringIO()
    with contextlib.redirect_stdout(printed):
        returned = Tavrin.getsec()
    shutil.copy(target, snapshots / "first.pdf")
    sec.add_file(path, shorter)
    Tavrin.getsec()
    shutil.copy(target, snapshots / "second.pdf")
    results["download"] = {"returned": repr(returned), "printed": printed.getvalue(),
                           "store": store_names()}

    validators = store / "F13SEC.http.json"
    results["download"]["validators"] = validators.exists()

    # a conditional request for the list just stored: 304, the list kept
    sent = len(sec.requests)
    Tavrin.getsec()
    asked = sec.requests[sent]
    results["conditional"] = {
        "if-none-match": asked.header("If-None-Match"),
        "if-modified-since": asked.header("If-Modified-Since"),
        "kept": digest(target.read_bytes()) == digest(shorter),
        "unchanged since": getattr(Tavrin, "_list_unchanged_since", None)}

    # the arguments requests.get receives, nothing stored to ask with
    validators.unlink()
    recording = Recording(real_requests)
    Tavrin.requests = recording
    Tavrin.getsec()
    Tavrin.requests = real_requests
    (args, kwargs), = recording.calls
    results["call"] = {"args": list(args), "url": Tavrin.pdf_url, "keywords": sorted(kwargs),
                       "headers is the global": kwargs["headers"] is Tavrin.headers,
                       "timeout": list(kwargs["timeout"]),
                       "timeout type": type(kwargs["timeout"]).__name__}

    workbook = Path(Tavrin.sec_excel_Path)

    def failing(name, prepare):
        target.write_bytes(shorter)  # the list stored by an earlier run
        if validators.exists():
            validators.unlink()
        workbook_before = digest(workbook.read_bytes())
        before = store_names()
        sent = len(sec.requests)
        prepare()
        try:
            Tavrin.getsec()
            outcome = {"error": None}
        except Exception as error:
            outcome = {"error": described(error)}
        outcome.update(kept=digest(target.read_bytes()) == digest(shorter),
                       workbook_kept=digest(workbook.read_bytes()) == workbook_before,
                       store_before=before, store_after=store_names(),
                       requests=len(sec.requests) - sent, url=Tavrin.pdf_url)
        results[name] = outcome
        sec.mode = "normal"
        sec.add_file(path, shorter)
        Tavrin.pdf_url = sec.list_url(2026, 2)
        Tavrin.myYear, Tavrin.myQuarter = 2026, 2
        Tavrin.requests = real_requests

    def set_mode(mode):
        return lambda: setattr(sec, "mode", mode)

    failing("forbidden", set_mode("forbidden"))
    failing("not_found", set_mode("not_found"))
    failing("unpublished", lambda: setattr(Tavrin, "pdf_url", sec.list_url(2026, 3)))
    failing("html", set_mode("html"))
    failing("empty", set_mode("empty"))

    def hang():
        sec.mode = "hang"
        Tavrin.requests = Recording(real_requests, read_limit=0.5)
    failing("hang", hang)

    failing("server_error", set_mode("server_error"))
    failing("redirect_loop", set_mode("redirect_loop"))
    failing("short_body", set_mode("short_body"))
    failing("broken_chunked", set_mode("broken_chunked"))
    failing("no_trailer", set_mode("no_trailer"))

    # one byte every 0.2 s never meets the read limit; the whole download's
    # deadline, shortened here, ends it
    def trickle():
        sec.mode, sec.trickle_seconds = "trickle", 0.2
        Tavrin._sec_deadline_seconds = 1
    failing("trickle", trickle)

    # a server that sends one byte and then nothing for ten minutes: the
    # deadline ends the wait too, not the far longer limit of a single read
    def stall():
        sec.mode, sec.trickle_seconds = "trickle", 600
        Tavrin._sec_deadline_seconds = 1
    failing("stall", stall)
    del Tavrin._sec_deadline_seconds

    def address(url):
        return lambda: setattr(Tavrin, "pdf_url", url.format(port=sec.port))
    failing("no_scheme", address("127.0.0.1:{port}/files/investment/13flist2026q2.pdf"))
    failing("ftp_scheme", address("ftp://127.0.0.1:{port}/files/investment/13flist2026q2.pdf"))
    failing("no_host", address("http://"))

    # whole PDFs that are not the quarter's list
    def serve(data):
        return lambda: sec.add_file(path, data)

    def asked_for_the_next_quarter():
        # the 2026 Q2 list served at the address of 2026 Q3
        sec.add_list(2026, 3, shorter)
        Tavrin.myYear, Tavrin.myQuarter = 2026, 3
        Tavrin.pdf_url = sec.list_url(2026, 3)
    failing("other_quarter", asked_for_the_next_quarter)
    failing("prose", serve(PROSE))
    failing("garbage", serve(b"%PDF-1.4\\n" + bytes(range(256)) * 40 + b"\\n%%EOF\\n"))
    failing("no_count", serve(list_pdf_bytes([ListRow(*row) for row in BASE_LIST], 2026, 2,
                                             total_count=False)))
    failing("cut_in_update", serve(shorter + b"\\n5 0 obj\\n<< /Length 9"))

    # a valid list with padding after its trailer, as readers accept it
    padded = longer + b"\\0" * 4096
    target.write_bytes(shorter)
    sec.add_file(path, padded)
    Tavrin.getsec()
    results["padded"] = {"stored": digest(target.read_bytes()) == digest(padded)}
    sec.add_file(path, shorter)

    # a missing Store folder
    kept_path = Tavrin.sec_pdf_path
    missing = Path("Elsewhere") / "Store"
    Tavrin.sec_pdf_path = str((missing / "F13SEC.pdf").absolute())
    failing("no_store", lambda: None)
    results["no_store"]["folder"] = str(missing.absolute())
    results["no_store"]["created"] = Path("Elsewhere").exists()
    Tavrin.sec_pdf_path = kept_path

    # a target that cannot be replaced (a folder stands where the file goes)
    (store / "Blocked.pdf").mkdir()
    Tavrin.sec_pdf_path = str((store / "Blocked.pdf").absolute())
    failing("blocked", lambda: None)
    Tavrin.sec_pdf_path = kept_path

emit(results)
"""

CUT_SHORT = ["short_body", "broken_chunked", "no_trailer", "cut_in_update"]
NOT_THE_LIST = ["other_quarter", "prose", "garbage", "no_count"]
BAD_ADDRESSES = ["no_scheme", "ftp_scheme", "no_host"]
FAILURES = ["forbidden", "not_found", "unpublished", "html", "empty", "hang", "no_store",
            "blocked", "server_error", "redirect_loop", "trickle", "stall"] + CUT_SHORT + BAD_ADDRESSES + NOT_THE_LIST
ANSWERED = ["forbidden", "not_found", "unpublished", "html", "empty", "server_error"] + CUT_SHORT + NOT_THE_LIST


@pytest.fixture(scope="module")
def downloads(tmp_path_factory):
    folder = working_folder(tmp_path_factory, "downloads")
    with stand_in_sites() as (sec, figi):
        env = host_environment(TAVRIN_SEC_BASE_URL=sec.base_url,
                               TAVRIN_OPENFIGI_BASE_URL=figi.base_url,
                               TAVRIN_PERIOD="2026Q2")
        run = run_host(folder, f"BASE_LIST = {BASE_LIST!r}\n" + DOWNLOADS, env=env).check()
    return SimpleNamespace(folder=folder, results=run.result())


def test_download_stores_the_served_bytes(downloads):
    served = list_pdf_bytes(make_rows(80, seed=1), 2026, 2)
    assert (downloads.folder / "snapshots" / "first.pdf").read_bytes() == served


def test_second_download_replaces_the_whole_file(downloads):
    served = list_pdf_bytes(base_list_rows(), 2026, 2)
    first = (downloads.folder / "snapshots" / "first.pdf").read_bytes()
    assert len(served) < len(first)  # leftovers of the first file would show
    assert (downloads.folder / "snapshots" / "second.pdf").read_bytes() == served


def test_download_returns_none_and_prints_nothing(downloads):
    assert downloads.results["download"]["returned"] == "None"
    assert downloads.results["download"]["printed"] == ""


def test_download_leaves_no_partial_file(downloads):
    assert not [n for n in downloads.results["download"]["store"] if n.endswith(".download")]


def test_request_passes_the_headers_global_and_the_time_limit(downloads):
    call = downloads.results["call"]
    assert call["args"] == [call["url"]]
    assert call["keywords"] == ["headers", "stream", "timeout"]
    assert call["headers is the global"] is True
    assert call["timeout type"] == "tuple" and call["timeout"] == [30, 300]


@pytest.mark.parametrize("case, status, words", [
    ("forbidden", 403, ["TAVRIN_USER_AGENT", '"Company Name admin@company.com"',
                        f'sent with the User-Agent "{DECLARED_USER_AGENT}"']),
    ("not_found", 404, []),
    ("unpublished", 404, []),
    ("server_error", 503, ["The SEC's server failed; try again later."]),
])
def test_refused_download_is_an_http_error(downloads, case, status, words):
    outcome = downloads.results[case]
    error = outcome["error"]
    assert error["type"] == "requests.exceptions.HTTPError"
    assert error["status"] == status
    assert outcome["url"] in error["message"] and str(status) in error["message"]
    for word in words:
        assert word in error["message"]


@pytest.mark.parametrize("case", ["html", "empty"])
def test_answer_that_is_not_a_pdf_is_a_value_error(downloads, case):
    outcome = downloads.results[case]
    assert outcome["error"]["type"] == "builtins.ValueError"
    assert outcome["url"] in outcome["error"]["message"]
    assert "200" in outcome["error"]["message"]


@pytest.mark.parametrize("case, kind, words", [
    ("redirect_loop", "requests.exceptions.TooManyRedirects",
     ["more than 30 times", "Check TAVRIN_SEC_BASE_URL", "try again later"]),
    ("short_body", "builtins.ValueError", ["was cut short", "IncompleteRead", "Run again"]),
    ("broken_chunked", "builtins.ValueError", ["was cut short", "broke off", "Run again"]),
    ("no_trailer", "builtins.ValueError", ["was cut short", 'without the PDF trailer "%%EOF"']),
    ("cut_in_update", "builtins.ValueError", ["was cut short", 'without the PDF trailer "%%EOF"']),
    ("other_quarter", "builtins.ValueError",
     ["is the list of 2026 Q2", '(its cover reads "Second Quarter FY 2026")', "not of 2026 Q3",
      "the stored list was left as it was", "TAVRIN_PERIOD=2026Q2"]),
    ("prose", "builtins.ValueError",
     ["is not the list of 13(f) securities", "headings CUSIP NO", "the stored list was left"]),
    ("garbage", "subprocess.CalledProcessError",
     ["could not be read as the list of 13(f) securities", "It was not stored",
      "the stored list was left as it was"]),
    ("no_count", "builtins.ValueError",
     ['states no "Total Count: N"', "may not be the whole list", "the stored list was left"]),
    ("trickle", "requests.exceptions.ReadTimeout", ["did not send the whole list", "within 1 s"]),
    ("stall", "requests.exceptions.ReadTimeout", ["did not send the whole list", "within 1 s"]),
    ("no_scheme", "requests.exceptions.InvalidSchema",
     ['TAVRIN_SEC_BASE_URL must hold the scheme and host', '"https://www.sec.gov"']),
    ("ftp_scheme", "requests.exceptions.InvalidSchema", ['"https://www.sec.gov"']),
    ("no_host", "requests.exceptions.InvalidURL", ['"https://www.sec.gov"', "No host supplied"]),
])
def test_library_errors_keep_their_class_and_say_what_to_do(downloads, case, kind, words):
    outcome = downloads.results[case]
    error = outcome["error"]
    assert error["type"] == kind
    assert outcome["url"] in error["message"]
    assert [word for word in words if word not in error["message"]] == []


def test_hanging_server_ends_with_a_timeout(downloads):
    error = downloads.results["hang"]["error"]
    assert error["type"] == "requests.exceptions.ReadTimeout"
    assert error["is_timeout"] is True


def test_missing_store_folder_is_named_and_nothing_is_sent(downloads):
    outcome = downloads.results["no_store"]
    assert outcome["error"]["type"] == "builtins.FileNotFoundError"
    assert outcome["folder"] in outcome["error"]["message"]
    assert outcome["error"]["filename"] == outcome["folder"]
    assert outcome["requests"] == 0
    assert outcome["created"] is False


def test_unreplaceable_target_is_reported(downloads):
    assert downloads.results["blocked"]["error"]["type"] == "builtins.IsADirectoryError"


@pytest.mark.parametrize("case", ANSWERED + ["hang", "blocked", "trickle"])
def test_failing_download_sends_one_request(downloads, case):
    assert downloads.results[case]["requests"] == 1


def test_redirect_loop_is_followed_to_the_librarys_limit(downloads):
    assert downloads.results["redirect_loop"]["requests"] == 31


@pytest.mark.parametrize("case", BAD_ADDRESSES)
def test_unusable_address_sends_nothing(downloads, case):
    assert downloads.results[case]["requests"] == 0


@pytest.mark.parametrize("case", FAILURES)
def test_earlier_list_stays_as_it_was(downloads, case):
    assert downloads.results[case]["error"] is not None
    assert downloads.results[case]["kept"] is True


@pytest.mark.parametrize("case", FAILURES)
def test_failure_leaves_the_list_workbook_as_it_was(downloads, case):
    assert downloads.results[case]["workbook_kept"] is True


def test_trailing_bytes_after_the_trailer_are_accepted(downloads):
    assert downloads.results["padded"]["stored"] is True


def test_a_stored_list_is_asked_for_conditionally_and_kept_on_304(downloads):
    conditional = downloads.results["conditional"]
    assert downloads.results["download"]["validators"] is True
    assert conditional["if-none-match"].startswith('"')
    assert conditional["if-modified-since"].endswith(" GMT")
    assert conditional["kept"] is True
    assert conditional["unchanged since"] is not None


@pytest.mark.parametrize("case", FAILURES)
def test_failure_leaves_no_partial_file(downloads, case):
    outcome = downloads.results[case]
    assert outcome["store_after"] == outcome["store_before"]


@pytest.mark.parametrize("case", FAILURES)
def test_failure_has_a_getsec_traceback_entry(downloads, case):
    assert ["Tavrin.getsec", "Tavrin.pyx"] in downloads.results[case]["error"]["entries"]
