"""A local stand-in for the SEC web site, as far as Tavrin's list download sees it.

Tavrin fetches the quarter's "Official List of Section 13(f) Securities" from
``/files/investment/13flist{year}q{quarter}.pdf``. Tests, the demo and the
benchmarks cannot reach sec.gov, so this server answers those paths from
bytes registered in advance, and answers everything else the way the SEC
does: with an HTML 404 page.

The real site also misbehaves in ways the download must survive, and a test
can switch the whole server into any of them at any time through ``mode``:

* ``"forbidden"``  403 with the SEC's "Undeclared Automated Tool" HTML page
  (what sec.gov answers to clients without a declared User-Agent);
* ``"not_found"``  404 HTML page even for a registered list;
* ``"html"``       200 with an HTML page where the PDF should be;
* ``"empty"``      200 with an empty body;
* ``"hang"``       read the request, then never answer; the connection is
  held until the server stops;
* ``"server_error"`` 503 with an HTML page (a failing server or its proxy);
* ``"redirect_loop"`` 302 back to the very address asked for, for ever;

and, for a registered list (404 otherwise), answers that begin as the list
does but do not bring it whole:

* ``"short_body"``  announces the list's Content-Length, sends half of it and
  closes the connection;
* ``"broken_chunked"`` sends half of the list in chunks, then a chunk header
  that is not one, and closes;
* ``"no_trailer"``  sends the first half of the list as if it were all of it
  (Content-Length matching), so the PDF lacks its "%%EOF" trailer;
* ``"trickle"``     announces the whole list, then sends it one byte every
  ``trickle_seconds`` (3 s unless set) until the client gives up or the
  server stops.

``every_quarter`` (or ``serve_for_every_quarter``) serves one PDF as the list
of any quarter that has none registered, for a rehearsal in which the module
asks for whichever quarter its clock or ``TAVRIN_PERIOD`` names.

Like sec.gov proper, a request whose User-Agent carries no contact e-mail
address gets the 403 in every mode; ``require_declared_agent=False`` lets
such requests through.

Like a static web server, every list is served with an ``ETag`` (a digest
of its bytes) and a ``Last-Modified`` (``last_modified``, settable), and a
GET carrying ``If-None-Match`` with the current ETag (or, without one,
``If-Modified-Since`` not before ``last_modified``) is answered 304 with no
body. A list registered anew gets a new ETag.

Every request is recorded (method, path, headers in the order received).

Typical use::

    with SecServer({(2026, 2): list_pdf_bytes(rows, 2026, 2)}) as sec:
        url = sec.list_url(2026, 2)       # http://127.0.0.1:PORT/files/...
        ...
        sec.mode = "hang"
        assert sec.requests[-1].header("User-Agent")

Only the standard library is used.
"""

from __future__ import annotations

import hashlib
import re
import socket
import threading
from email.utils import formatdate, parsedate_to_datetime
from dataclasses import dataclass
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Callable, Mapping, Optional, Union
from urllib.parse import urlsplit

__all__ = ["SecServer", "RecordedRequest", "MODES", "list_path", "is_declared_agent"]

MODES = ("normal", "forbidden", "not_found", "html", "empty", "hang", "server_error",
         "redirect_loop", "short_body", "broken_chunked", "no_trailer", "trickle")
# Modes that answer with a damaged copy of the list asked for.
_DAMAGING = ("short_body", "broken_chunked", "no_trailer", "trickle")


_ANY_LIST_PATH = re.compile(r"/files/investment/13flist([0-9]{4})q([1-4])\.pdf")
# What the SEC takes for a declared User-Agent: one holding an e-mail address.
_DECLARED_AGENT = re.compile(r"[^\s@<>]+@[^\s@<>]+\.[^\s@<>]+")


def is_declared_agent(agent: Optional[str]) -> bool:
    """Whether a User-Agent names a contact e-mail address, as the SEC asks."""
    return bool(_DECLARED_AGENT.search(agent or ""))


def _etag(body: bytes) -> str:
    return '"' + hashlib.sha256(body).hexdigest()[:32] + '"'



def list_path(year: int, quarter: int) -> str:
    """The SEC's path of the list PDF for a quarter."""
    return f"/files/investment/13flist{int(year)}q{int(quarter)}.pdf"


@dataclass(frozen=True)
class RecordedRequest:
    """One request as it reached the server."""

    method: str
    path: str  # the request target as sent, query string included
    headers: tuple  # ((name, value), ...) in the order received

    def header(self, name: str, default: Optional[str] = None) -> Optional[str]:
        """The first value of a header, matched without regard to case."""
        lname = name.lower()
        for key, value in self.headers:
            if key.lower() == lname:
                return value
        return default


_FORBIDDEN_PAGE = """<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>SEC.gov | Request Originates from an Undeclared Automated Tool</title>
</head>
<body>
<h1>Your Request Originates from an Undeclared Automated Tool</h1>
<p>To allow for equitable access to all users, SEC reserves the right to limit
requests originating from undeclared automated tools. Your request has been
identified as part of a network of automated tools outside of the acceptable
policy and will be managed until action is taken to declare your traffic.</p>
<p>Please declare your traffic by updating your user agent to include your
company name and a contact e-mail address.</p>
<p>For best practices on efficiently downloading information from SEC.gov,
including the latest EDGAR filings, visit sec.gov/developer.</p>
<p>Reference ID: 0.8f2d3c17.1751321845.5a1e2b3</p>
</body>
</html>
"""

_NOT_FOUND_PAGE = """<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>Page Not Found | SEC.gov</title>
</head>
<body>
<header><a href="/">U.S. Securities and Exchange Commission</a></header>
<main>
<h1>Page Not Found</h1>
<p>The page you requested could not be found. It may have been moved, or the
address may be mistyped.</p>
<p><a href="/search">Search SEC.gov</a></p>
</main>
</body>
</html>
"""

_SERVER_ERROR_PAGE = """<!DOCTYPE html>
<html lang="en">
<head><title>503 Service Unavailable</title></head>
<body>
<h1>Service Unavailable</h1>
<p>The server is temporarily unable to service your request. Please try again later.</p>
</body>
</html>
"""

_HTML_PAGE = """<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>Official List of Section 13(f) Securities | SEC.gov</title>
</head>
<body>
<h1>Official List of Section 13(f) Securities</h1>
<p>The list is temporarily unavailable. Please try again later.</p>
</body>
</html>
"""


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "Apache"
    sys_version = ""
    timeout = 30  # a client that connects and never sends cannot pin a thread forever

    owner: "SecServer"  # set on the per-server subclass

    def setup(self) -> None:
        super().setup()
        self.owner._track(self.connection, add=True)

    def finish(self) -> None:
        try:
            super().finish()
        finally:
            self.owner._track(self.connection, add=False)

    def version_string(self) -> str:
        return self.server_version

    def log_message(self, format: str, *args: object) -> None:  # noqa: A002
        pass  # keep test output clean

    def do_GET(self) -> None:
        self._answer(send_body=True)

    def do_HEAD(self) -> None:
        self._answer(send_body=False)

    def _answer(self, send_body: bool) -> None:
        owner = self.owner
        owner._record(RecordedRequest(self.command, self.path, tuple(self.headers.items())))
        self.close_connection = True
        mode = owner.mode
        if mode == "hang":
            # Hold the connection without a word until the server stops.
            owner._stopping.wait()
            return
        if owner.require_declared_agent and not is_declared_agent(self.headers.get("User-Agent")):
            return self._send(403, "text/html", _FORBIDDEN_PAGE.encode(), send_body)
        if mode == "forbidden":
            return self._send(403, "text/html", _FORBIDDEN_PAGE.encode(), send_body)
        if mode == "not_found":
            return self._send(404, "text/html; charset=UTF-8", _NOT_FOUND_PAGE.encode(), send_body)
        if mode == "html":
            return self._send(200, "text/html; charset=UTF-8", _HTML_PAGE.encode(), send_body)
        if mode == "empty":
            return self._send(200, "application/pdf", b"", send_body)
        if mode == "server_error":
            return self._send(503, "text/html", _SERVER_ERROR_PAGE.encode(), send_body)
        if mode == "redirect_loop":
            return self._send(302, "text/html", b"", send_body, [("Location", self.path)])

        found = owner._lookup(urlsplit(self.path).path)
        if found is None:
            return self._send(404, "text/html; charset=UTF-8", _NOT_FOUND_PAGE.encode(), send_body)
        content_type, body = found
        if mode in _DAMAGING:
            return self._send_damaged(mode, content_type, body, send_body)
        validators = (("ETag", _etag(body)), ("Last-Modified", owner.last_modified))
        if self._not_modified(body):
            return self._send_not_modified(validators)
        self._send(200, content_type, body, send_body, validators)

    def _not_modified(self, body: bytes) -> bool:
        """A conditional GET as a static server judges it (RFC 9110, 13.2.2)."""
        if_none_match = self.headers.get("If-None-Match")
        if if_none_match is not None:
            tags = [tag.strip().removeprefix("W/") for tag in if_none_match.split(",")]
            return "*" in tags or _etag(body) in tags
        if_modified_since = self.headers.get("If-Modified-Since")
        if if_modified_since is None:
            return False
        try:
            asked = parsedate_to_datetime(if_modified_since)
        except (TypeError, ValueError):
            return False
        return asked >= parsedate_to_datetime(self.owner.last_modified)

    def _send_not_modified(self, validators: tuple) -> None:
        try:
            self.send_response(304)
            for name, value in validators:
                self.send_header(name, value)
            self.send_header("Connection", "close")
            self.end_headers()
        except (BrokenPipeError, ConnectionResetError):
            pass

    def _send(self, status: int, content_type: str, body: bytes, send_body: bool,
              extra_headers: tuple = ()) -> None:
        try:
            self.send_response(status)
            self.send_header("Content-Type", content_type)
            self.send_header("Content-Length", str(len(body)))
            for name, value in extra_headers:
                self.send_header(name, value)
            self.send_header("Connection", "close")
            self.end_headers()
            if send_body and body:
                self.wfile.write(body)
        except (BrokenPipeError, ConnectionResetError):
            pass  # the client gave up; nothing to tell it

    def _send_damaged(self, mode: str, content_type: str, body: bytes, send_body: bool) -> None:
        half = body[:len(body) // 2]
        if mode == "no_trailer":
            return self._send(200, content_type, half, send_body)
        try:
            self.send_response(200)
            self.send_header("Content-Type", content_type)
            if mode == "broken_chunked":
                self.send_header("Transfer-Encoding", "chunked")
            else:
                self.send_header("Content-Length", str(len(body)))
            self.send_header("Connection", "close")
            self.end_headers()
            if not send_body:
                return
            if mode == "short_body":
                self.wfile.write(half)
            elif mode == "broken_chunked":
                for start in range(0, len(half), 4096):
                    piece = half[start:start + 4096]
                    self.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece))
                self.wfile.write(b"not a chunk size\r\n")
            else:  # trickle
                for byte in range(len(body)):
                    self.wfile.write(body[byte:byte + 1])
                    self.wfile.flush()
                    if self.owner._stopping.wait(self.owner.trickle_seconds):
                        return
        except (BrokenPipeError, ConnectionResetError):
            pass


class SecServer:
    """The stand-in SEC site on 127.0.0.1 with an ephemeral port.

    ``lists`` maps (year, quarter) to PDF bytes. More can be registered while
    running with ``add_list`` (by quarter) or ``add_file`` (by exact path).
    ``mode`` may be changed at any time; see the module doc for the values.
    Use as a context manager, or call ``start()``/``stop()``.
    """

    def __init__(self, lists: Optional[Mapping[tuple, bytes]] = None, *,
                 mode: str = "normal", require_declared_agent: bool = True,
                 every_quarter: Union[bytes, Callable[[int, int], bytes], None] = None) -> None:
        self._lock = threading.Lock()
        self._files: dict[str, tuple[str, bytes]] = {}
        self._requests: list[RecordedRequest] = []
        self._conns: set = set()
        self._idle = threading.Condition(self._lock)
        self._stopping = threading.Event()
        self._httpd: Optional[ThreadingHTTPServer] = None
        self._thread: Optional[threading.Thread] = None
        self._every_quarter: Union[bytes, Callable[[int, int], bytes], None] = None
        self.mode = mode
        self.last_modified = formatdate(1782864000, usegmt=True)  # 2026-07-01
        self.require_declared_agent = require_declared_agent
        self.trickle_seconds = 3.0
        for (year, quarter), data in (lists or {}).items():
            self.add_list(year, quarter, data)
        if every_quarter is not None:
            self.serve_for_every_quarter(every_quarter)

    # -- settings ------------------------------------------------------------

    @property
    def mode(self) -> str:
        return self._mode

    @mode.setter
    def mode(self, value: str) -> None:
        if value not in MODES:
            raise ValueError(f"mode must be one of {MODES}, got {value!r}")
        self._mode = value

    def add_list(self, year: int, quarter: int, data: bytes) -> str:
        """Serve ``data`` as the list PDF of a quarter; returns its path."""
        path = list_path(year, quarter)
        self.add_file(path, data)
        return path

    def serve_for_every_quarter(self, data: Union[bytes, Callable[[int, int], bytes]]) -> None:
        """Serve ``data`` as the list PDF of every quarter without a list of its own;
        a function of (year, quarter) gives each quarter its own list."""
        with self._lock:
            self._every_quarter = data if callable(data) else bytes(data)

    def add_file(self, path: str, data: bytes, content_type: str = "application/pdf") -> None:
        """Serve ``data`` at an exact path (query strings are ignored)."""
        if not path.startswith("/"):
            raise ValueError("path must start with '/'")
        with self._lock:
            self._files[path] = (content_type, bytes(data))

    # -- what happened -------------------------------------------------------

    @property
    def requests(self) -> list[RecordedRequest]:
        """A copy of the requests received so far, oldest first."""
        with self._lock:
            return list(self._requests)

    def clear_requests(self) -> None:
        with self._lock:
            self._requests.clear()

    # -- addresses -----------------------------------------------------------

    @property
    def port(self) -> int:
        if self._httpd is None:
            raise RuntimeError("server is not running")
        return self._httpd.server_address[1]

    @property
    def base_url(self) -> str:
        """``http://127.0.0.1:PORT``, without a trailing slash."""
        return f"http://127.0.0.1:{self.port}"

    def list_url(self, year: int, quarter: int) -> str:
        return self.base_url + list_path(year, quarter)

    # -- life cycle ----------------------------------------------------------

    def start(self) -> "SecServer":
        if self._httpd is not None:
            raise RuntimeError("server already started")
        self._stopping.clear()
        handler = type("SecHandler", (_Handler,), {"owner": self})
        httpd = ThreadingHTTPServer(("127.0.0.1", 0), handler)
        httpd.daemon_threads = True
        self._httpd = httpd
        self._thread = threading.Thread(target=httpd.serve_forever, kwargs={"poll_interval": 0.05},
                                        name="sec-standin", daemon=True)
        self._thread.start()
        return self

    def stop(self, timeout: float = 5.0) -> None:
        """Stop serving and close every connection, held ones included."""
        httpd = self._httpd
        if httpd is None:
            return
        self._stopping.set()  # releases handlers in "hang" mode
        httpd.shutdown()
        httpd.server_close()
        with self._lock:
            conns = list(self._conns)
        for conn in conns:
            try:
                conn.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        with self._idle:
            self._idle.wait_for(lambda: not self._conns, timeout=timeout)
        if self._thread is not None:
            self._thread.join(timeout)
        self._httpd = None
        self._thread = None

    @property
    def open_connections(self) -> int:
        """Connections currently being handled (held ones in "hang" mode too)."""
        with self._lock:
            return len(self._conns)

    def __enter__(self) -> "SecServer":
        return self.start()

    def __exit__(self, *exc_info: object) -> None:
        self.stop()

    # -- used by the handler -------------------------------------------------

    def _record(self, request: RecordedRequest) -> None:
        with self._lock:
            self._requests.append(request)

    def _lookup(self, path: str) -> Optional[tuple[str, bytes]]:
        with self._lock:
            found = self._files.get(path)
            every_quarter = self._every_quarter
        quarter = _ANY_LIST_PATH.fullmatch(path)
        if found is not None or quarter is None or every_quarter is None:
            return found
        if callable(every_quarter):
            every_quarter = every_quarter(int(quarter[1]), int(quarter[2]))
        return ("application/pdf", bytes(every_quarter))

    def _track(self, conn: socket.socket, add: bool) -> None:
        with self._idle:
            if add:
                self._conns.add(conn)
            else:
                self._conns.discard(conn)
                self._idle.notify_all()
