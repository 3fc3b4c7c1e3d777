"""Inputs for scenarios whose import-time run goes through to the report.

The host serves the list in Store/sec.pkl from a stand-in SEC server of its
own, printed in the SEC's layout; the portfolio and removal workbooks are
real; so the list stages, storeraw, storerem and the reconciliation run as
they do for a manager. A "quiet" run reports one holding of its own and keeps
its one FIGI question off the wire (the host refuses it as a connection
failure would), which leaves the host free to call the report stages itself
afterwards without the import's traffic in any stand-in's records.
"""
from __future__ import annotations

import sys
from pathlib import Path

import pandas as pd

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

from standins.workbooks import Holding, write_portfolio, write_removal  # noqa: E402

# The quiet import's one holding: listed, held, and never looked up.
QUIET_CUSIP = "G0R21F105"
QUIET_ROW = (QUIET_CUSIP, "QUIET HOLDING LTD", "SHS")

LIST_STAND_INS = f"""
QUIET_CUSIP = {QUIET_CUSIP!r}
""" + """
import os as _os
import pandas as _pd
from standins.sec_server import SecServer as _SecServer
from standins.seclist_pdf import ListRow as _ListRow, list_pdf_bytes as _list_pdf

def _serve_list():
    listed = _pd.read_pickle("Store/sec.pkl")
    rows = [_ListRow(r.CUSIPNO, False, r.ISSUERNAME, r.ISSUERDESCRIPTION)
            for r in listed.itertuples()]
    # A list of nothing held still needs a row for the list's columns to exist.
    rows = rows or [_ListRow("G00350119", False, "NOT HELD LTD", "SHS")]
    server = _SecServer().start()
    # Each quarter its own list, printed for it, as the module checks the cover.
    server.serve_for_every_quarter(lambda year, quarter: _list_pdf(rows, year, quarter))
    _os.environ["TAVRIN_SEC_BASE_URL"] = server.base_url
    return server

_list_server = _serve_list()

import requests as _requests
_post = _requests.post

def _quiet_post(*args, **kwargs):
    jobs = kwargs.get("json") or []
    if jobs and all(job.get("idValue") == QUIET_CUSIP for job in jobs):
        raise _requests.ConnectionError("the quiet import asks OpenFIGI nothing")
    return _post(*args, **kwargs)

_requests.post = _quiet_post
"""

LIST_COLUMNS = ["CUSIPNO", "ISSUERNAME", "ISSUERDESCRIPTION", "STATUS"]


def securities_list(rows: list[tuple]) -> pd.DataFrame:
    """The list as storesec returns it: (cusip, issuer name, description) rows."""
    return pd.DataFrame([(*row, "") for row in rows], columns=LIST_COLUMNS)


def prepare_inputs(workdir: Path, holdings: list[Holding], listed: list[tuple],
                   removals: list[tuple] = ()) -> Path:
    write_portfolio(workdir / "Data" / "Portfolio.xlsx", holdings)
    write_removal(workdir / "Data" / "Removal.xlsx", list(removals))
    securities_list(listed).to_pickle(workdir / "Store" / "sec.pkl")
    return workdir


def prepare_quiet_import(workdir: Path) -> Path:
    """A portfolio of one listed holding, reported without a FIGI."""
    return prepare_inputs(workdir, [Holding(QUIET_CUSIP, "QUIET HOLDING LTD SHS", 10, 1000.0)],
                          [QUIET_ROW])


def schema_errors(schema, path: Path) -> list[str]:
    """What the EDGAR schema has to say about the document at `path`."""
    from lxml import etree

    schema.validate(etree.parse(str(path)))
    return [error.message for error in schema.error_log]
