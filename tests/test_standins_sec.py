"""Checks of the SEC stand-ins: the list-PDF printer and the local SEC site."""

import http.client
import re
import shutil
import socket
import sys
import zlib
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

from standins.sec_server import MODES, SecServer, list_path  # noqa: E402
from standins.seclist_pdf import (  # noqa: E402
    ROWS_PER_PAGE,
    ListRow,
    cusip_check_digit,
    list_pdf_bytes,
    make_rows,
    option_rows,
    page_count,
    sort_key,
    write_list_pdf,
)


# --------------------------------------------------------------------------
# CUSIPs and rows
# --------------------------------------------------------------------------

@pytest.mark.parametrize("cusip", ["037833100", "594918104", "38259P508", "B38564108",
                                   "G0R38M119", "D18190898"])
def test_check_digit_of_known_cusips(cusip):
    assert cusip_check_digit(cusip[:8]) == cusip[8]
    assert cusip_check_digit(cusip) == cusip[8]


def test_check_digit_rejects_characters_outside_cusips():
    with pytest.raises(ValueError):
        cusip_check_digit("03783-10")


def test_option_rows_keep_the_underlyings_check_digit():
    # As printed by the SEC: D18190 89 8, then D18190 90 8 and D18190 95 8.
    call, put = option_rows(ListRow("D18190898", True, "DEUTSCHE BK AG", "NAMEN AKT"))
    assert (call.cusip, call.description) == ("D18190908", "CALL")
    assert (put.cusip, put.description) == ("D18190958", "PUT")
    assert not call.has_options and call.issuer == "DEUTSCHE BK AG"


def test_sort_puts_letters_before_digits():
    order = ["G0R91M105", "G00350119", "G0069D110", "B5950S113"]
    assert sorted(order, key=sort_key) == ["B5950S113", "G0R91M105", "G00350119", "G0069D110"]


@pytest.mark.parametrize("n_rows, pages", [(0, 3), (1, 3), (34, 3), (35, 4), (68, 4), (69, 5),
                                           (25_333, 748)])
def test_page_count_is_two_front_pages_plus_34_rows_a_page(n_rows, pages):
    assert page_count(n_rows) == pages


@pytest.mark.parametrize("n_rows", [0, 34, 35, 101])
@pytest.mark.parametrize("joined", [False, True])
def test_written_pdf_has_the_expected_pages(tmp_path, n_rows, joined):
    rows = make_rows(n_rows, seed=n_rows)
    path = tmp_path / "list.pdf"
    returned = write_list_pdf(path, rows, 2026, 2, asterisk_joined=joined)
    data = path.read_bytes()
    assert returned == page_count(n_rows)
    assert re.search(rb"/Type /Pages /Count (\d+)", data).group(1) == str(returned).encode()
    assert data == list_pdf_bytes(rows, 2026, 2, asterisk_joined=joined)


def _page_texts(pdf: bytes) -> list[str]:
    """Decompressed content streams, in page order."""
    streams = re.findall(rb"stream\n(.*?)\nendstream", pdf, re.S)
    return [zlib.decompress(s).decode("latin-1") for s in streams]


def test_pages_carry_header_band_and_count():
    rows = make_rows(40, seed=2)
    texts = _page_texts(list_pdf_bytes(rows, 2025, 4))
    assert len(texts) == 4
    assert "(Page 1)" in texts[2] and "(Page 2)" in texts[3]
    assert "(12/31/2025)" in texts[2] and "(Total Count: 40)" in texts[3]
    assert "/HB 8.99 Tf\n1 0 0 1 423.90 " in texts[3]  # bold, at the right
    assert "Total Count" not in texts[2]
    # The front pages are plain text with nothing shaped like a CUSIP row.
    for front in texts[:2]:
        assert not re.search(r"\([0-9A-Z]{6}\)", front)


def test_make_rows_is_deterministic_and_realistic():
    rows = make_rows(2000, seed=42)
    assert rows == make_rows(2000, seed=42)
    assert rows != make_rows(2000, seed=43)
    assert len(rows) == 2000
    assert len({r.cusip for r in rows}) == 2000

    options = [r for r in rows if r.description in ("CALL", "PUT")]
    assert 0.2 <= len(options) / len(rows) <= 0.3
    for i, row in enumerate(rows):
        assert len(row.description) <= 16
        if row.description in ("CALL", "PUT"):
            continue
        assert cusip_check_digit(row.cusip) == row.cusip[8]
        if row.has_options:
            assert rows[i + 1:i + 3] == option_rows(row)

    underlyings = [r.cusip for r in rows if r.description not in ("CALL", "PUT")]
    assert underlyings == sorted(underlyings, key=sort_key)
    assert underlyings[0][0].isalpha() and underlyings[-1][0].isdigit()
    assert {r.status for r in rows} == {"", "ADDED", "DELETED"}
    assert any("&" in r.issuer for r in rows)
    assert any(r.description.startswith("*W EXP") and len(r.description) == 16 for r in rows)


@pytest.mark.parametrize("share", [0.0, 0.5])
def test_make_rows_follows_the_option_share(share):
    rows = make_rows(300, seed=1, option_share=share)
    options = sum(r.description in ("CALL", "PUT") for r in rows)
    assert options == 2 * sum(r.has_options for r in rows)
    assert abs(options / 300 - share) < 0.02


# --------------------------------------------------------------------------
# What tabula reads from a printed list (the list stage's own call)
# --------------------------------------------------------------------------

@pytest.fixture(scope="module")
def tabula_io():
    tabula = pytest.importorskip("tabula")
    if shutil.which("java") is None:
        pytest.skip("java is not installed")
    return tabula.io


@pytest.mark.parametrize("joined", [False, True])
def test_tabula_reads_every_cusip_of_a_three_page_list(tmp_path, tabula_io, joined):
    rows = make_rows(3 * ROWS_PER_PAGE - 10, seed=5)
    path = tmp_path / "13flist2026q2.pdf"
    write_list_pdf(path, rows, 2026, 2, asterisk_joined=joined)

    # Exactly the list stage's call.
    tables = tabula_io.read_pdf(str(path), pages="all", area=[[100, 50, 900, 900]])

    # One table per page; the front pages give one-column text tables.
    assert len(tables) == 5
    assert [list(t.columns) for t in tables[:2]] == [["List of Section 13F Securities"], ["General"]]
    labels = (["CUSIP NO", "ISSUER NAME", "ISSUER DESCRIPTION", "STATUS"] if joined else
              ["CUSIP NO", "Unnamed: 0", "ISSUER NAME", "ISSUER DESCRIPTION", "STATUS"])
    data = tables[2:]
    # As on the real last page, "Total Count" reaches from the description
    # column into the status column, and tabula merges the two.
    merged = labels[:-2] + ["ISSUER DESCRIPTION STATUS"]
    assert [list(t.columns) for t in data] == [labels] * (len(data) - 1) + [merged]
    last = data[-1].iloc[-1]
    assert last["ISSUER DESCRIPTION STATUS"] == f"Total Count: {len(rows)}"
    assert last.drop("ISSUER DESCRIPTION STATUS").isna().all()

    cells = [str(c) for t in data for c in t["CUSIP NO"]]
    read = [c.replace(" ", "").rstrip("*") for c in cells[:-1]]
    assert read == [r.cusip for r in rows]

    if joined:
        marked = [c.endswith(" *") for c in cells[:-1]]
    else:
        marked = [m == "*" for t in data for m in t["Unnamed: 0"]][:-1]
    assert marked == [r.has_options for r in rows]


# --------------------------------------------------------------------------
# The stand-in SEC site
# --------------------------------------------------------------------------

PDF = b"%PDF-1.4\n% stand-in list\n%%EOF\n"


DECLARED = (("User-Agent", "Tavrin Tests tests@example.com"),)


def _get(server, path, headers=DECLARED, timeout=5.0):
    conn = http.client.HTTPConnection("127.0.0.1", server.port, timeout=timeout)
    try:
        conn.putrequest("GET", path, skip_accept_encoding=True)
        for name, value in headers:
            conn.putheader(name, value)
        conn.endheaders()
        resp = conn.getresponse()
        return resp.status, resp.getheader("Content-Type"), resp.read()
    finally:
        conn.close()


@pytest.fixture
def sec():
    with SecServer({(2026, 2): PDF}) as server:
        yield server


def test_serves_registered_list_and_records_headers_in_order(sec):
    assert re.fullmatch(r"http://127\.0\.0\.1:\d+", sec.base_url)
    assert sec.list_url(2026, 2) == sec.base_url + "/files/investment/13flist2026q2.pdf"
    sent = [("User-Agent", "Tavrin admin@example.com"), ("Accept", "application/pdf"),
            ("X-Trace", "1")]
    status, ctype, body = _get(sec, list_path(2026, 2), sent)
    assert (status, ctype, body) == (200, "application/pdf", PDF)

    (req,) = sec.requests
    assert (req.method, req.path) == ("GET", "/files/investment/13flist2026q2.pdf")
    assert list(req.headers) == [("Host", f"127.0.0.1:{sec.port}")] + sent
    assert req.header("user-agent") == "Tavrin admin@example.com"


@pytest.mark.parametrize("path", ["/files/investment/13flist2026q1.pdf", "/", "/files/x.pdf"])
def test_unknown_paths_get_an_html_404(sec, path):
    status, ctype, body = _get(sec, path)
    assert status == 404 and ctype.startswith("text/html")
    assert b"<html" in body and b"%PDF" not in body


def test_files_can_be_added_while_running(sec):
    sec.add_list(2025, 4, b"%PDF-q4")
    sec.add_file("/files/investment/13flist2026q2-txt.txt", b"rows", "text/plain")
    assert _get(sec, "/files/investment/13flist2025q4.pdf")[::2] == (200, b"%PDF-q4")
    assert _get(sec, "/files/investment/13flist2026q2-txt.txt?x=1")[::2] == (200, b"rows")


@pytest.mark.parametrize("mode, status, ctype, marker", [
    ("forbidden", 403, "text/html", b"Undeclared Automated Tool"),
    ("not_found", 404, "text/html", b"Page Not Found"),
    ("html", 200, "text/html", b"<html"),
    ("empty", 200, "application/pdf", b""),
])
def test_failure_modes(sec, mode, status, ctype, marker):
    sec.mode = mode
    got_status, got_ctype, body = _get(sec, list_path(2026, 2))
    assert got_status == status and got_ctype.startswith(ctype)
    assert marker in body and b"%PDF" not in body
    if mode == "empty":
        assert body == b""
    assert len(sec.requests) == 1
    sec.mode = "normal"
    assert _get(sec, list_path(2026, 2))[2] == PDF


@pytest.mark.parametrize("agent, required, status", [
    ("python-urllib/3.12", True, 403),
    ("Example Capital", True, 403),
    (None, True, 403),
    ("Example Capital ops@example.com", True, 200),
    ("python-urllib/3.12", False, 200),
    (None, False, 200),
])
def test_a_declared_user_agent_is_required_unless_told_otherwise(agent, required, status):
    headers = [] if agent is None else [("User-Agent", agent)]
    with SecServer({(2026, 2): PDF}, require_declared_agent=required) as server:
        got, _, body = _get(server, list_path(2026, 2), headers)
    assert got == status
    assert (b"Undeclared Automated Tool" in body) is (status == 403)


def _get_with_validators(server, path, headers=()):
    conn = http.client.HTTPConnection("127.0.0.1", server.port, timeout=5.0)
    try:
        conn.request("GET", path, headers=dict(DECLARED + tuple(headers)))
        resp = conn.getresponse()
        return resp.status, resp.getheader("ETag"), resp.getheader("Last-Modified"), resp.read()
    finally:
        conn.close()


def test_conditional_requests_are_answered_as_a_static_server_does(sec):
    status, etag, modified, body = _get_with_validators(sec, list_path(2026, 2))
    assert (status, body) == (200, PDF) and etag.startswith('"') and modified.endswith(" GMT")
    assert _get_with_validators(sec, list_path(2026, 2), [("If-None-Match", etag)])[::3] == (
        304, b"")
    assert _get_with_validators(sec, list_path(2026, 2), [("If-Modified-Since", modified)])[0] == 304
    assert _get_with_validators(sec, list_path(2026, 2),
                                [("If-Modified-Since", "Tue, 30 Jun 2026 00:00:00 GMT")])[0] == 200
    # a list registered anew is a new file: the old tag no longer matches
    sec.add_list(2026, 2, PDF + b"\n")
    status, new_etag, _, body = _get_with_validators(sec, list_path(2026, 2),
                                                     [("If-None-Match", etag)])
    assert (status, body) == (200, PDF + b"\n") and new_etag != etag


def test_every_quarter_may_be_printed_for_the_quarter_asked():
    with SecServer(every_quarter=lambda year, quarter: b"%%PDF-%d-%d" % (year, quarter)) as server:
        assert _get(server, list_path(2019, 3))[2] == b"%PDF-2019-3"
        assert _get(server, "/files/x.pdf")[0] == 404


def test_unknown_mode_is_refused(sec):
    with pytest.raises(ValueError):
        sec.mode = "slow"
    assert set(MODES) >= {"normal", "forbidden", "not_found", "html", "empty", "hang"}


def test_hang_mode_holds_the_request_and_still_stops():
    server = SecServer({(2026, 2): PDF}, mode="hang").start()
    try:
        with pytest.raises((socket.timeout, TimeoutError)):
            _get(server, list_path(2026, 2), timeout=0.3)
        assert [r.path for r in server.requests] == [list_path(2026, 2)]
        # A second client that connects and holds a request open as well.
        idle = socket.create_connection(("127.0.0.1", server.port))
        idle.sendall(b"GET / HTTP/1.1\r\nHost: x\r\n\r\n")
        idle.settimeout(0.2)
        with pytest.raises((socket.timeout, TimeoutError)):
            idle.recv(1)
        thread = server._thread
    finally:
        server.stop()
    assert server.open_connections == 0
    assert not thread.is_alive()
    idle.settimeout(5.0)
    assert idle.recv(1) == b""  # closed by the server, without an answer
    idle.close()
