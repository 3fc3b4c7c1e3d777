"""Rehearse a quarter offline: a saved list and known FIGIs on 127.0.0.1.

    python -m standins.rehearse --list 13flist2026q1.pdf [--figis figis.json]
                                [--previous last-quarter.xml --cik 1234567]
                                [--allow-undeclared-agent]

(or ``python path/to/standins/rehearse.py ...`` from any folder). Serves the
list PDF as the SEC's list of whichever quarter the module asks for, and
answers OpenFIGI mapping requests from the FIGIs file, with the service's
own batch and rate limits and whatever API key the run sends. Like sec.gov,
it answers 403 to a run whose User-Agent declares no contact e-mail address
(set TAVRIN_USER_AGENT), unless --allow-undeclared-agent is given. The module
checks that the list is the quarter's own (its cover), so rehearse with
TAVRIN_PERIOD set to the quarter the saved list is for. Prints the lines that
point a run at them, then one line per request, until Ctrl-C.

The FIGIs file is a JSON object keyed by CUSIP. Each value is either a FIGI,
or a list of matches in the form OpenFIGI answers them (objects with at
least "figi"; the first is the one reported), or null for a CUSIP that
OpenFIGI does not know:

    {"037833100": "BBG000B9XRY4",
     "594918104": [{"figi": "BBG000BPH459", "name": "MICROSOFT CORP"}],
     "00206R102": null}

CUSIPs not in the file, and every CUSIP without --figis, get no FIGI: the
information table leaves the element out, as it does when OpenFIGI knows
none.

With --previous and --cik, an information table (last quarter's
Results/F13Results.xml, or one saved from EDGAR) is served as that CIK's
13F-HR for the quarter before the one that ended last (--previous-period
names another, as 2026Q2): the submissions index on a stand-in data host,
the filing's folder beside the list. A run whose Data/Filer.xlsx gives that
CIK, and which has no Data/Previous.xml, fetches it and compares.
"""
from __future__ import annotations

import argparse
import contextlib
import datetime
import json
import re
import signal
import sys
import time
from pathlib import Path
from typing import Any, Sequence

if __package__ in (None, ""):
    # Run as a file from a manager's working folder.
    sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

from standins.edgar_filings import EdgarFilings, Filing  # noqa: E402
from standins.openfigi_server import OpenFigiServer  # noqa: E402
from standins.sec_server import SecServer  # noqa: E402

FIGI_FORM = re.compile(r"[A-Z0-9]{12}")
PERIOD_FORM = re.compile(r"([0-9]{4})[Qq]([1-4])")
QUARTER_ENDS = {1: "03-31", 2: "06-30", 3: "09-30", 4: "12-31"}
# How often the request records are looked at for new lines to print.
POLL_SECONDS = 0.2


class AnyKey:
    """Accepts whatever OPENFIGI_APIKEY the run sends, so the rehearsal sees
    the batch size and rate limit that go with a key."""

    def __contains__(self, key: object) -> bool:
        return True


def read_list(path: Path) -> bytes:
    try:
        data = path.read_bytes()
    except OSError as error:
        raise SystemExit(f"The list {path} cannot be read: {error.strerror}.")
    if not data.startswith(b"%PDF"):
        raise SystemExit(f"The list {path} is not a PDF; give the list of 13(f) securities "
                         "as saved from the SEC (or a run's Store/F13SEC.pdf).")
    return data


def figi_matches(path: Path, cusip: str, value: Any) -> list[dict[str, Any]]:
    """The matches the stand-in answers for one entry of the FIGIs file."""
    where = f"The FIGIs file {path}, CUSIP {cusip}"
    if value is None:
        return []
    if isinstance(value, str):
        if not FIGI_FORM.fullmatch(value):
            raise SystemExit(f"{where}: {value!r} is not a FIGI (twelve capital letters "
                             "and digits).")
        return [{"figi": value}]
    if isinstance(value, list) and all(isinstance(m, dict) and "figi" in m for m in value):
        return value
    raise SystemExit(f"{where}: give a FIGI, a list of matches with \"figi\", or null.")


def read_figis(path: Path | None) -> dict[str, list[dict[str, Any]]]:
    if path is None:
        return {}
    try:
        entries = json.loads(path.read_text(encoding="utf-8"))
    except OSError as error:
        raise SystemExit(f"The FIGIs file {path} cannot be read: {error.strerror}.")
    except ValueError as error:
        raise SystemExit(f"The FIGIs file {path} is not JSON: {error}.")
    if not isinstance(entries, dict):
        raise SystemExit(f"The FIGIs file {path} must hold one JSON object keyed by CUSIP.")
    # The module asks with the list's CUSIPs, in capitals and without blanks.
    return {cusip.replace(" ", "").upper(): figi_matches(path, cusip, value)
            for cusip, value in entries.items()}


def quarter_before(year: int, quarter: int) -> tuple[int, int]:
    return (year - 1, 4) if quarter == 1 else (year, quarter - 1)


def previous_period(named: str | None, today: datetime.date) -> tuple[int, int]:
    """The quarter the previous filing is for: as named, or the quarter
    before the one that ended last, which a run without TAVRIN_PERIOD
    compares with."""
    if named is None:
        return quarter_before(*quarter_before(today.year, (today.month - 1) // 3 + 1))
    parts = PERIOD_FORM.fullmatch(named)
    if not parts:
        raise SystemExit(f"--previous-period must name a quarter as 2026Q2 (got {named!r}).")
    return int(parts[1]), int(parts[2])


def previous_filing(path: Path, cik: str, year: int, quarter: int) -> Filing:
    try:
        table = path.read_bytes()
    except OSError as error:
        raise SystemExit(f"The previous table {path} cannot be read: {error.strerror}.")
    if b"informationTable" not in table:
        raise SystemExit(f"The previous table {path} is not an information table; give last "
                         "quarter's Results/F13Results.xml or a table saved from EDGAR.")
    if not (cik.isdigit() and len(cik) <= 10):
        raise SystemExit(f"--cik must be a CIK of up to ten digits (got {cik!r}).")
    period = f"{year}-{QUARTER_ENDS[quarter]}"
    filed = datetime.date.fromisoformat(period) + datetime.timedelta(days=40)
    accession = f"{int(cik):010d}-{filed.year % 100:02d}-000001"
    return Filing(accession, "13F-HR", period, filed.isoformat(), table)


def announce(list_path: Path, size: int, figis: dict, figis_path: Path | None,
             sec: SecServer, figi: OpenFigiServer, data: SecServer | None = None,
             previous: Filing | None = None) -> None:
    agents = ("any User-Agent" if not sec.require_declared_agent
              else "a User-Agent with a contact e-mail address, as the SEC does")
    known = sum(1 for matches in figis.values() if matches)
    source = f"{known} CUSIPs from {figis_path}" if figis_path else "no CUSIPs"
    print(f"SEC stand-in:      {list_path} ({size:,} bytes) as the list of every quarter, "
          f"for {agents}")
    print(f"OpenFIGI stand-in: FIGIs for {source}; any other CUSIP gets none")
    if previous is not None:
        print(f"EDGAR stand-in:    the previous table as the 13F-HR {previous.accession} for "
              f"{previous.period}")
    print("In the shell that runs the quarter, set:")
    print(f"export TAVRIN_SEC_BASE_URL={sec.base_url}")
    print(f"export TAVRIN_OPENFIGI_BASE_URL={figi.base_url}")
    if data is not None:
        print(f"export TAVRIN_SEC_DATA_URL={data.base_url}")
    print("Ctrl-C stops the stand-ins.", flush=True)


def report_requests(sec: SecServer, figi: OpenFigiServer, printed: list[int],
                    data: SecServer | None = None) -> None:
    """Prints the requests that arrived since the last call."""
    sec_requests, figi_records = sec.requests, figi.records
    for request in sec_requests[printed[0]:]:
        print(f"SEC:      {request.method} {request.path}", flush=True)
    printed[0] = len(sec_requests)
    data_requests = data.requests if data is not None else []
    for request in data_requests[printed[2]:]:
        print(f"SEC data: {request.method} {request.path}", flush=True)
    printed[2] = len(data_requests)
    # An OpenFIGI request is printed once it has been answered.
    answered = printed[1]
    while answered < len(figi_records) and figi_records[answered].status is not None:
        record = figi_records[answered]
        jobs = record.jobs or []
        cusips = "1 CUSIP" if len(jobs) == 1 else f"{len(jobs)} CUSIPs"
        print(f"OpenFIGI: {cusips} asked, answered {record.status}", flush=True)
        answered += 1
    printed[1] = answered


def stop_signals() -> list[int]:
    """A list that Ctrl-C, kill or kill -INT append to.

    A flag rather than KeyboardInterrupt, so a signal never cuts a line of
    the request log in half. Started with "&" from a script, the process
    inherits SIGINT ignored; setting the handler makes kill -INT work there.
    """
    received: list[int] = []
    for number in (signal.SIGINT, signal.SIGTERM):
        signal.signal(number, lambda signum, frame: received.append(signum))
    return received


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m standins.rehearse",
        description="Serve a saved list of 13(f) securities and known FIGIs on 127.0.0.1, "
                    "so that a quarter can be run offline before the deadline.",
        epilog=__doc__[__doc__.index("The FIGIs file"):],
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--list", required=True, type=Path, metavar="PDF",
                        help="the list of 13(f) securities, served for every quarter")
    parser.add_argument("--figis", type=Path, metavar="JSON",
                        help="FIGIs by CUSIP (the form is below); without it, no FIGIs")
    parser.add_argument("--previous", type=Path, metavar="XML",
                        help="an information table, served as the 13F-HR of --cik for the "
                             "quarter before")
    parser.add_argument("--cik", help="the CIK the previous table is filed under")
    parser.add_argument("--previous-period", metavar="QUARTER",
                        help="the quarter of the previous table, as 2026Q2 (default: the "
                             "quarter before the one that ended last)")
    parser.add_argument("--allow-undeclared-agent", action="store_true",
                        help="answer requests whose User-Agent names no e-mail address "
                             "(sec.gov refuses them with 403)")
    args = parser.parse_args(argv)
    if (args.previous is None) != (args.cik is None):
        parser.error("--previous and --cik go together")
    data = read_list(args.list)
    figis = read_figis(args.figis)
    previous = None
    if args.previous is not None:
        year, quarter = previous_period(args.previous_period, datetime.date.today())
        previous = previous_filing(args.previous, args.cik, year, quarter)
    stopping = stop_signals()
    with contextlib.ExitStack() as stack:
        sec = stack.enter_context(SecServer(
            every_quarter=data, require_declared_agent=not args.allow_undeclared_agent))
        figi = stack.enter_context(OpenFigiServer(figis))
        figi.api_keys = AnyKey()
        edgar_data = None
        if previous is not None:
            edgar_data = stack.enter_context(SecServer())
            EdgarFilings(sec, edgar_data, args.cik).add(previous)
        announce(args.list, len(data), figis, args.figis, sec, figi, edgar_data, previous)
        printed = [0, 0, 0]
        while not stopping:
            time.sleep(POLL_SECONDS)
            report_requests(sec, figi, printed, edgar_data)
    print("Stopped.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
