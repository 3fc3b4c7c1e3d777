"""A local stand-in for the OpenFIGI mapping service.

Tavrin's FIGI look-ups talk to ``POST /v3/mapping``. Tests, the demo and the
benchmarks cannot reach the real service, so this module answers the same way
from a table of known CUSIPs: the same batch limits, key handling, rate-limit
headers and 429 answer, and the same member order inside each match. It also
lets a test break the service on purpose (error statuses, a body that is not
JSON, a connection that never gets an answer, a redirect to another host),
at once or after some normal answers, and records every request so a test can
see exactly what the client put on the wire.

Typical use::

    with OpenFigiServer({"037833100": matches_for("037833100", name="APPLE INC",
                                                  ticker="AAPL")},
                        api_keys={"secret"}, window_seconds=0.2) as server:
        client.map(url=server.mapping_url, ...)
        assert server.request_count == 1

Only the standard library is used, so the module runs anywhere the tests do.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import math
import socket
import socketserver
import sys
import threading
import time
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any, Callable, Iterable, Mapping, Sequence
from urllib.parse import urlsplit

MAPPING_PATH = "/v3/mapping"
API_KEY_HEADER = "X-OPENFIGI-APIKEY"

# The service allows 25 requests per fixed window: 6 s for a caller with a key,
# a minute for anonymous callers; batches are capped at 100 and 10 jobs.
RATE_LIMIT = 25
KEYED_WINDOW_SECONDS = 6.0
ANONYMOUS_WINDOW_SECONDS = 60.0
MAX_JOBS_WITH_KEY = 100
MAX_JOBS_ANONYMOUS = 10

NO_MATCH_WARNING = "No identifier found."
TOO_MANY_REQUESTS_BODY = "Too many requests, please try again later."

# Members of one match, in the order the service writes them. Clients are not
# supposed to depend on it, but a parser that accidentally does should fail
# here rather than in production, so the order is kept on the wire.
MATCH_MEMBERS = (
    "figi",
    "name",
    "ticker",
    "exchCode",
    "compositeFIGI",
    "securityType",
    "marketSector",
    "shareClassFIGI",
    "securityType2",
    "securityDescription",
)

# Job members that narrow the matches of an identifier, and the match member
# each one is compared with.
_JOB_FILTERS = {
    "exchCode": "exchCode",
    "securityType": "securityType",
    "securityType2": "securityType2",
    "marketSecDes": "marketSector",
}

_JSON_CONTENT_TYPES = frozenset({"text/json", "application/json"})
_TEXT = "text/plain; charset=utf-8"
_JSON = "application/json; charset=utf-8"
_HTML = "text/html; charset=utf-8"


# ---------------------------------------------------------------------------
# FIGIs


# FIGIs never contain vowels, so characters 4 to 11 come from consonants and
# digits only.
FIGI_BODY_ALPHABET = "BCDFGHJKLMNPQRSTVWXYZ0123456789"
# Two-letter prefixes that are never issued, because they would read like an
# ISIN country code.
_EXCLUDED_FIGI_PREFIXES = frozenset({"BS", "BM", "GG", "GB", "GH", "KY", "VG"})


def _figi_char_value(ch: str) -> int:
    if "0" <= ch <= "9":
        return ord(ch) - ord("0")
    if "A" <= ch <= "Z":
        return ord(ch) - ord("A") + 10
    raise ValueError(f"character {ch!r} cannot appear in a FIGI")


def figi_check_digit(first_eleven: str) -> str:
    """Return the check digit for the first 11 characters of a FIGI.

    Each character counts as its value (digits 0-9, letters A=10 .. Z=35);
    every second character, counting from the first, is doubled; the decimal
    digits of all those numbers are summed, and the check digit brings the sum
    up to a multiple of ten.
    """
    if len(first_eleven) != 11:
        raise ValueError(f"need 11 characters, got {len(first_eleven)}")
    total = 0
    for position, ch in enumerate(first_eleven.upper(), start=1):
        value = _figi_char_value(ch)
        if position % 2 == 0:
            value *= 2
        total += value // 10 + value % 10
    return str((10 - total % 10) % 10)


def is_valid_figi(figi: str) -> bool:
    """True when ``figi`` has the shape of an issued FIGI and its check digit matches."""
    if not isinstance(figi, str) or len(figi) != 12:
        return False
    prefix, third, body, check = figi[:2], figi[2], figi[3:11], figi[11]
    if any(ch not in FIGI_BODY_ALPHABET or ch.isdigit() for ch in prefix):
        return False
    if prefix in _EXCLUDED_FIGI_PREFIXES or third != "G":
        return False
    if any(ch not in FIGI_BODY_ALPHABET for ch in body):
        return False
    return figi_check_digit(figi[:11]) == check


def figi_for(cusip: str, variant: str = "") -> str:
    """A deterministic, well-formed FIGI for ``cusip``.

    ``variant`` gives further FIGIs tied to the same CUSIP (one per exchange,
    the share class). Issued FIGIs mostly start ``BBG00``; the next six
    characters come from a hash so every run of the tests sees the same values.
    """
    digest = hashlib.sha256(f"{variant}|{cusip.strip().upper()}".encode()).digest()
    body = "".join(FIGI_BODY_ALPHABET[b % len(FIGI_BODY_ALPHABET)] for b in digest[:6])
    first_eleven = "BBG00" + body
    return first_eleven + figi_check_digit(first_eleven)


def _default_name(cusip: str) -> str:
    return f"ISSUER {cusip.strip().upper()[:6]} INC"


def _default_ticker(cusip: str) -> str:
    digest = hashlib.sha256(f"ticker|{cusip.strip().upper()}".encode()).digest()
    length = 3 + digest[0] % 2
    return "".join(chr(ord("A") + b % 26) for b in digest[1 : 1 + length])


def matches_for(
    cusip: str,
    name: str | None = None,
    ticker: str | None = None,
    *,
    exchanges: Sequence[str] = ("US", "UN", "UP", "UW"),
    security_type: str = "Common Stock",
    security_type2: str | None = None,
    market_sector: str = "Equity",
    security_description: str | None = None,
) -> list[dict[str, Any]]:
    """A realistic list of matches for one CUSIP.

    A US equity maps to one composite listing (exchange code ``US``, whose FIGI
    is the composite FIGI itself) plus one listing per venue, all sharing the
    composite FIGI and the share-class FIGI. Name and ticker default to values
    derived from the CUSIP.
    """
    name = name if name is not None else _default_name(cusip)
    ticker = ticker if ticker is not None else _default_ticker(cusip)
    composite = figi_for(cusip)
    share_class = figi_for(cusip, "share class")
    type2 = security_type2 if security_type2 is not None else security_type
    description = security_description if security_description is not None else ticker
    matches = []
    for exch in exchanges:
        matches.append(
            {
                "figi": composite if exch == "US" else figi_for(cusip, f"exch {exch}"),
                "name": name,
                "ticker": ticker,
                "exchCode": exch,
                "compositeFIGI": composite,
                "securityType": security_type,
                "marketSector": market_sector,
                "shareClassFIGI": share_class,
                "securityType2": type2,
                "securityDescription": description,
            }
        )
    return matches


def _ordered_match(match: Mapping[str, Any]) -> dict[str, Any]:
    # Every member the service knows is present (null when the service has no
    # value), in its order; anything extra a test supplied follows unchanged.
    ordered = {member: match.get(member) for member in MATCH_MEMBERS}
    for member, value in match.items():
        if member not in ordered:
            ordered[member] = value
    return ordered


# ---------------------------------------------------------------------------
# Records


@dataclass
class RecordedRequest:
    """One request as it arrived.

    ``headers`` keeps the (name, value) pairs in the order received with the
    names spelled as the client sent them; ``jobs`` is the decoded body when it
    was a JSON array, else None. ``status`` is the status answered, or None
    while unanswered (and for ever when the server was told to hang).
    """

    method: str
    path: str
    headers: list[tuple[str, str]]
    body: bytes
    jobs: list[Any] | None
    received_at: float
    status: int | None = None

    def header(self, name: str, default: str | None = None) -> str | None:
        """The first value of header ``name``, compared without regard to case."""
        wanted = name.lower()
        for key, value in self.headers:
            if key.lower() == wanted:
                return value
        return default


@dataclass(frozen=True)
class Failure:
    """What the server does instead of its normal work, while set."""

    kind: str  # "status", "non_json" or "hang"
    status: int = 200
    body: bytes = b""
    content_type: str = _TEXT
    headers: tuple[tuple[str, str], ...] = ()


@dataclass
class _Bucket:
    started: float
    hits: int = 0


@dataclass
class _Reply:
    status: int
    body: bytes
    content_type: str
    headers: list[tuple[str, str]] = field(default_factory=list)


MappingSource = Mapping[Any, Any] | Callable[[str], Any]


# ---------------------------------------------------------------------------
# Server


class OpenFigiServer:
    """Stand-in mapping service on 127.0.0.1, serving from a background thread.

    ``mapping`` answers a job: either a dict keyed by identifier value (or by an
    ``(idType, idValue)`` pair, which wins) or a callable taking the identifier
    value. Its answer is a list of matches (reordered into the service's member
    order), a dict sent as that job's result unchanged (e.g. ``{"error": ...}``),
    or None / an empty list for "No identifier found.".

    ``api_keys`` are the keys accepted in ``X-OPENFIGI-APIKEY``. The rate-limit
    windows are the real ones unless ``window_seconds`` (both windows) or
    ``anonymous_window_seconds`` (the anonymous one) shorten them for tests.
    """

    def __init__(
        self,
        mapping: MappingSource | None = None,
        *,
        api_keys: Iterable[str] = (),
        window_seconds: float | None = None,
        anonymous_window_seconds: float | None = None,
        rate_limit: int = RATE_LIMIT,
        delay: float = 0.0,
        host: str = "127.0.0.1",
        port: int = 0,
    ) -> None:
        self.mapping: MappingSource = mapping if mapping is not None else {}
        self.api_keys: frozenset[str] = frozenset(api_keys)
        self.keyed_window_seconds = float(
            window_seconds if window_seconds is not None else KEYED_WINDOW_SECONDS
        )
        if anonymous_window_seconds is not None:
            self.anonymous_window_seconds = float(anonymous_window_seconds)
        elif window_seconds is not None:
            self.anonymous_window_seconds = float(window_seconds)
        else:
            self.anonymous_window_seconds = ANONYMOUS_WINDOW_SECONDS
        self.rate_limit = rate_limit
        self.delay = float(delay)
        self.host = host
        self._requested_port = port

        self._lock = threading.Lock()
        self._stopping = threading.Event()
        self._records: list[RecordedRequest] = []
        self._request_count = 0
        self._too_many_count = 0
        self._status_counts: dict[int, int] = {}
        self._errors: list[BaseException] = []
        self._buckets: dict[str | None, _Bucket] = {}
        self._failure: Failure | None = None
        self._failure_left: int | None = None
        self._normal_before_failure = 0
        self._connections: set[socket.socket] = set()
        self._handler_threads: set[threading.Thread] = set()
        self._httpd: _HttpServer | None = None
        self._thread: threading.Thread | None = None

    # -- lifecycle ---------------------------------------------------------

    def start(self) -> "OpenFigiServer":
        if self._httpd is not None:
            raise RuntimeError("server already started")
        httpd = _HttpServer((self.host, self._requested_port), _Handler)
        httpd.owner = self
        self._httpd = httpd
        self._thread = threading.Thread(
            target=httpd.serve_forever,
            kwargs={"poll_interval": 0.05},
            name=f"openfigi-standin:{self.port}",
            daemon=True,
        )
        self._thread.start()
        return self

    def stop(self, timeout: float = 5.0) -> None:
        """Stop serving and release every connection, including held ones.

        Held (hanging or delayed) requests are woken by the stop event; idle
        keep-alive connections are shut down so their handler threads stop
        waiting for a next request.
        """
        httpd = self._httpd
        if httpd is None or self._stopping.is_set():
            return
        self._stopping.set()
        httpd.shutdown()
        with self._lock:
            connections = list(self._connections)
            threads = list(self._handler_threads)
        for conn in connections:
            try:
                conn.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        httpd.server_close()
        deadline = time.monotonic() + timeout
        if self._thread is not None:
            self._thread.join(max(0.0, deadline - time.monotonic()))
        for thread in threads:
            thread.join(max(0.0, deadline - time.monotonic()))

    def __enter__(self) -> "OpenFigiServer":
        if self._httpd is None:
            self.start()
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.stop()

    @property
    def port(self) -> int:
        if self._httpd is None:
            raise RuntimeError("server not started")
        return self._httpd.server_address[1]

    @property
    def base_url(self) -> str:
        return f"http://{self.host}:{self.port}"

    @property
    def mapping_url(self) -> str:
        return self.base_url + MAPPING_PATH

    # -- failure modes -----------------------------------------------------

    def fail_with(
        self,
        status: int,
        body: str | bytes = "",
        *,
        content_type: str = _TEXT,
        headers: Iterable[tuple[str, str]] = (),
        times: int | None = None,
        after: int = 0,
    ) -> None:
        """Answer every request with ``status`` and ``body`` (the next ``times`` only, if given).

        Every failure mode takes ``after``: that many requests are answered
        normally first, so a client can get part of its work done.
        """
        self._set_failure(
            Failure("status", status, _as_bytes(body), content_type, tuple(headers)), times, after
        )

    def answer_non_json(
        self,
        body: str | bytes = "<html><body>Service temporarily unavailable</body></html>",
        *,
        content_type: str = _HTML,
        times: int | None = None,
        after: int = 0,
    ) -> None:
        """Answer 200 with a body that is not JSON, as a misbehaving proxy might."""
        self._set_failure(Failure("non_json", 200, _as_bytes(body), content_type), times, after)

    def hang(self, *, times: int | None = None, after: int = 0) -> None:
        """Never answer: hold each connection until the server stops."""
        self._set_failure(Failure("hang"), times, after)

    def redirect_to(
        self, url: str, status: int = 307, *, times: int | None = None, after: int = 0
    ) -> None:
        """Send every request on to ``url``, as a hijacked or moved service might."""
        self.fail_with(status, "", headers=[("Location", url)], times=times, after=after)

    def recover(self) -> None:
        """Back to normal answers."""
        self._set_failure(None, None, 0)

    def answer_normally(self) -> None:
        """Stop failing: every request is answered from the FIGIs again."""
        self._set_failure(None, None, 0)

    @property
    def failure(self) -> Failure | None:
        with self._lock:
            return self._failure

    def _set_failure(self, failure: Failure | None, times: int | None, after: int) -> None:
        if times is not None and times < 1:
            raise ValueError("times must be at least 1")
        if after < 0:
            raise ValueError("after must not be negative")
        with self._lock:
            self._failure = failure
            self._failure_left = times
            self._normal_before_failure = after

    def _take_failure(self) -> Failure | None:
        with self._lock:
            if self._failure is not None and self._normal_before_failure > 0:
                self._normal_before_failure -= 1
                return None
            failure = self._failure
            if failure is not None and self._failure_left is not None:
                self._failure_left -= 1
                if self._failure_left == 0:
                    self._failure = None
                    self._failure_left = None
            return failure

    # -- records -----------------------------------------------------------

    @property
    def records(self) -> list[RecordedRequest]:
        """A copy of the requests received so far, oldest first."""
        with self._lock:
            return list(self._records)

    @property
    def request_count(self) -> int:
        with self._lock:
            return self._request_count

    @property
    def too_many_requests_count(self) -> int:
        """How many 429 answers have been sent."""
        with self._lock:
            return self._too_many_count

    def status_counts(self) -> dict[int, int]:
        """Answers sent so far, by status."""
        with self._lock:
            return dict(self._status_counts)

    @property
    def active_connections(self) -> int:
        """Connections whose handler thread has not finished yet."""
        with self._lock:
            return len(self._connections)

    @property
    def errors(self) -> list[BaseException]:
        """Exceptions raised by the mapping callable (each answered with a 500)."""
        with self._lock:
            return list(self._errors)

    def clear_records(self) -> None:
        with self._lock:
            self._records.clear()
            self._request_count = 0
            self._too_many_count = 0
            self._status_counts.clear()
            self._errors.clear()

    def reset_rate_limits(self) -> None:
        """Forget every window, as if no request had been made."""
        with self._lock:
            self._buckets.clear()

    # -- request handling --------------------------------------------------

    def _handle(self, handler: "_Handler") -> None:
        try:
            body = _read_body(handler)
        except ValueError as exc:
            handler.close_connection = True
            self._send(handler, None, _Reply(400, str(exc).encode(), _TEXT))
            return
        record = RecordedRequest(
            method=handler.command,
            path=handler.path,
            headers=[(name, value) for name, value in handler.headers.items()],
            body=body,
            jobs=_decode_jobs(body),
            received_at=time.monotonic(),
        )
        with self._lock:
            self._records.append(record)
            self._request_count += 1

        if self.delay > 0:
            self._stopping.wait(self.delay)

        failure = self._take_failure()
        if failure is not None and failure.kind == "hang":
            self._stopping.wait()
            handler.close_connection = True
            return
        if self._stopping.is_set():
            handler.close_connection = True
            return
        if failure is not None:
            reply = _Reply(failure.status, failure.body, failure.content_type, list(failure.headers))
        else:
            reply = self._answer(handler, record)
        self._send(handler, record, reply)

    def _answer(self, handler: "_Handler", record: RecordedRequest) -> _Reply:
        path = urlsplit(handler.path).path
        if path != MAPPING_PATH:
            return _Reply(404, f"Cannot {handler.command} {path}".encode(), _TEXT)
        if handler.command != "POST":
            return _Reply(405, b"Method Not Allowed", _TEXT, [("Allow", "POST")])

        api_key = handler.headers.get(API_KEY_HEADER)
        if api_key is not None and api_key not in self.api_keys:
            return _Reply(401, b"Invalid API key.", _TEXT)

        # Every request with an acceptable key counts against its window,
        # refused ones included; in a fixed window that only matters for the
        # counter, never for when the window ends.
        allowed, remaining, reset = self._hit(api_key)
        if not allowed:
            return _Reply(
                429,
                TOO_MANY_REQUESTS_BODY.encode(),
                _HTML,
                [
                    ("ratelimit-limit", str(self.rate_limit)),
                    ("ratelimit-remaining", "0"),
                    ("ratelimit-reset", str(reset)),
                    ("retry-after", str(reset)),
                ],
            )
        limit_headers = [
            ("ratelimit-limit", str(self.rate_limit)),
            ("ratelimit-remaining", str(remaining)),
            ("ratelimit-reset", str(reset)),
        ]

        content_type = handler.headers.get("Content-Type", "")
        if content_type.split(";", 1)[0].strip().lower() not in _JSON_CONTENT_TYPES:
            return _Reply(400, b"Request body must be JSON (Content-Type text/json).", _TEXT, limit_headers)
        jobs = record.jobs
        if jobs is None:
            return _Reply(400, b"Request body must be a JSON array of mapping jobs.", _TEXT, limit_headers)
        max_jobs = MAX_JOBS_WITH_KEY if api_key is not None else MAX_JOBS_ANONYMOUS
        if len(jobs) > max_jobs:
            message = f"Too many mapping jobs: {len(jobs)}, at most {max_jobs} allowed."
            return _Reply(413, message.encode(), _TEXT, limit_headers)
        for index, job in enumerate(jobs):
            if not isinstance(job, dict):
                message = f"Mapping job {index} is not a JSON object."
                return _Reply(400, message.encode(), _TEXT, limit_headers)
            if not isinstance(job.get("idType"), str) or job.get("idValue") in (None, ""):
                message = f"Mapping job {index} needs idType and idValue."
                return _Reply(400, message.encode(), _TEXT, limit_headers)

        try:
            results = [self._map_job(job) for job in jobs]
        except Exception as exc:  # a broken test fixture, surfaced through .errors
            with self._lock:
                self._errors.append(exc)
            return _Reply(500, b"Internal Server Error", _TEXT)
        payload = json.dumps(results, ensure_ascii=False, separators=(",", ":"))
        return _Reply(200, payload.encode("utf-8"), _JSON, limit_headers)

    def _hit(self, api_key: str | None) -> tuple[bool, int, int]:
        window = self.keyed_window_seconds if api_key is not None else self.anonymous_window_seconds
        now = time.monotonic()
        with self._lock:
            bucket = self._buckets.get(api_key)
            # A window opens with the first request after the previous one ended.
            if bucket is None or now >= bucket.started + window:
                bucket = _Bucket(started=now)
                self._buckets[api_key] = bucket
            bucket.hits += 1
            allowed = bucket.hits <= self.rate_limit
            remaining = max(0, self.rate_limit - bucket.hits)
            reset = max(1, math.ceil(bucket.started + window - now))
        return allowed, remaining, reset

    def _map_job(self, job: dict[str, Any]) -> dict[str, Any]:
        id_type, id_value = job["idType"], str(job["idValue"])
        source = self.mapping
        if callable(source):
            found = source(id_value)
        else:
            found = source.get((id_type, id_value))
            if found is None:
                found = source.get(id_value)
        if isinstance(found, Mapping):
            return dict(found)
        matches = [m for m in (found or ()) if _passes_filters(job, m)]
        if not matches:
            return {"warning": NO_MATCH_WARNING}
        return {"data": [_ordered_match(m) for m in matches]}

    def _send(self, handler: "_Handler", record: RecordedRequest | None, reply: _Reply) -> None:
        with self._lock:
            self._status_counts[reply.status] = self._status_counts.get(reply.status, 0) + 1
            if reply.status == 429:
                self._too_many_count += 1
            if record is not None:
                record.status = reply.status
        try:
            handler.send_response(reply.status)
            handler.send_header("Content-Type", reply.content_type)
            for name, value in reply.headers:
                handler.send_header(name, value)
            handler.send_header("Content-Length", str(len(reply.body)))
            handler.end_headers()
            if handler.command != "HEAD":
                handler.wfile.write(reply.body)
            handler.wfile.flush()
        except OSError:
            # The client gave up (timed out, closed); nothing to tell it.
            handler.close_connection = True

    # -- connection bookkeeping (so stop() can release every connection) ---

    def _opened(self, conn: socket.socket) -> None:
        with self._lock:
            self._connections.add(conn)
            self._handler_threads.add(threading.current_thread())
        if self._stopping.is_set():
            # Accepted while stop() was already releasing connections.
            try:
                conn.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def _closed(self, conn: socket.socket) -> None:
        with self._lock:
            self._connections.discard(conn)
            self._handler_threads.discard(threading.current_thread())


def _as_bytes(body: str | bytes) -> bytes:
    return body.encode("utf-8") if isinstance(body, str) else bytes(body)


def _passes_filters(job: Mapping[str, Any], match: Mapping[str, Any]) -> bool:
    for job_member, match_member in _JOB_FILTERS.items():
        wanted = job.get(job_member)
        if wanted is not None and match.get(match_member) != wanted:
            return False
    return True


def _decode_jobs(body: bytes) -> list[Any] | None:
    try:
        decoded = json.loads(body.decode("utf-8"))
    except (UnicodeDecodeError, ValueError):
        return None
    return decoded if isinstance(decoded, list) else None


def _read_body(handler: BaseHTTPRequestHandler) -> bytes:
    if "chunked" in handler.headers.get("Transfer-Encoding", "").lower():
        chunks = []
        while True:
            size_line = handler.rfile.readline(1024)
            try:
                size = int(size_line.split(b";", 1)[0].strip(), 16)
            except ValueError:
                raise ValueError("Malformed chunked body.") from None
            if size == 0:
                # Trailers, if any, end with an empty line.
                while handler.rfile.readline(1024) not in (b"\r\n", b"\n", b""):
                    pass
                return b"".join(chunks)
            chunks.append(handler.rfile.read(size))
            handler.rfile.readline(1024)
    length = handler.headers.get("Content-Length")
    if length is None:
        return b""
    try:
        count = int(length)
    except ValueError:
        raise ValueError("Malformed Content-Length.") from None
    if count < 0:
        raise ValueError("Malformed Content-Length.")
    return handler.rfile.read(count)


class _HttpServer(ThreadingHTTPServer):
    daemon_threads = True
    # stop() releases connections and joins handler threads itself, with a
    # bound, so a handler stuck on a connection cannot make stopping hang.
    block_on_close = False
    request_queue_size = 128
    owner: OpenFigiServer

    def server_bind(self) -> None:
        # HTTPServer.server_bind resolves the host name, which can stall for
        # seconds where no resolver answers; the name is not needed here.
        socketserver.TCPServer.server_bind(self)
        host, port = self.server_address[:2]
        self.server_name = str(host)
        self.server_port = port

    def handle_error(self, request: Any, client_address: Any) -> None:
        # Connections cut by stop() or by a client that gave up are expected.
        exc = sys.exc_info()[1]
        if isinstance(exc, OSError) or self.owner._stopping.is_set():
            return
        super().handle_error(request, client_address)


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server: _HttpServer

    def version_string(self) -> str:
        return "openfigi-standin"

    def setup(self) -> None:
        super().setup()
        self.server.owner._opened(self.connection)

    def finish(self) -> None:
        try:
            super().finish()
        finally:
            self.server.owner._closed(self.connection)

    def log_message(self, format: str, *args: Any) -> None:  # noqa: A002
        pass

    def _dispatch(self) -> None:
        self.server.owner._handle(self)

    do_POST = do_GET = do_PUT = do_DELETE = do_PATCH = do_OPTIONS = do_HEAD = _dispatch


# ---------------------------------------------------------------------------
# Running by hand (the demo)


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="Serve a stand-in OpenFIGI mapping API locally.")
    parser.add_argument("--port", type=int, default=0, help="port on 127.0.0.1 (default: any free one)")
    parser.add_argument("--key", action="append", default=[], help="an accepted API key (repeatable)")
    parser.add_argument("--window-seconds", type=float, default=None, help="shorten both rate-limit windows")
    parser.add_argument("--delay", type=float, default=0.0, help="seconds to wait before each answer")
    parser.add_argument(
        "cusips",
        nargs="*",
        help="CUSIPs to know; with none given, every identifier is answered with derived matches",
    )
    args = parser.parse_args(argv)
    if args.cusips:
        mapping: MappingSource = {c.upper(): matches_for(c) for c in args.cusips}
    else:
        mapping = matches_for
    server = OpenFigiServer(
        mapping, api_keys=args.key, window_seconds=args.window_seconds, delay=args.delay, port=args.port
    )
    with server:
        print(server.mapping_url, flush=True)
        try:
            while True:
                time.sleep(3600)
        except KeyboardInterrupt:
            pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
