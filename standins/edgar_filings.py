"""A manager's own 13F filings, as EDGAR serves them to a client that reads them back.

Two hosts take part, as on EDGAR itself:

* the data host (``TAVRIN_SEC_DATA_URL``, data.sec.gov on EDGAR) answers
  ``/submissions/CIK##########.json``: the filer's submissions index, the
  filings newest first in parallel lists (``accessionNumber``, ``form``,
  ``filingDate``, ``reportDate``, ``primaryDocument`` ...);
* the web host (``TAVRIN_SEC_BASE_URL``, www.sec.gov) holds each filing's
  folder ``/Archives/edgar/data/{cik}/{accession without hyphens}/`` with
  its ``index.json``, the primary document ``primary_doc.xml`` (cover page,
  amendment type) and the information table under the name the filer gave
  it.

Both are ``SecServer`` stand-ins, so every other path gets the SEC's HTML
404 page and every ``mode`` of that server (403, 503, hang, cut-short
bodies ...) applies to these files too.

Typical use::

    with SecServer() as www, SecServer() as data:
        edgar = EdgarFilings(www, data, cik=1234567, name="EXAMPLE CAPITAL LLC")
        edgar.add(Filing("0001234567-26-000012", "13F-HR", "2026-06-30", "2026-08-10", table))
        edgar.add(Filing("0001234567-26-000020", "13F-HR/A", "2026-06-30", "2026-09-01",
                         restated, amendment_type="RESTATEMENT"))
        env = {"TAVRIN_SEC_BASE_URL": www.base_url, "TAVRIN_SEC_DATA_URL": data.base_url}

Only the standard library is used.
"""
from __future__ import annotations

import json
from dataclasses import dataclass
from typing import Optional
from xml.sax.saxutils import escape

from standins.sec_server import SecServer

__all__ = ["Filing", "EdgarFilings", "primary_document", "submissions_path", "folder_path"]

AMENDMENT_TYPES = ("RESTATEMENT", "NEW HOLDINGS")


@dataclass(frozen=True)
class Filing:
    """One filing: its accession number, form, period (YYYY-MM-DD), filing
    date, information table, and for a 13F-HR/A what kind of amendment."""

    accession: str
    form: str
    period: str
    filed: str
    table: bytes
    amendment_type: Optional[str] = None
    table_name: str = "infotable.xml"

    def __post_init__(self) -> None:
        if self.form not in ("13F-HR", "13F-HR/A"):
            raise ValueError(f"form must be 13F-HR or 13F-HR/A, got {self.form!r}")
        if (self.form == "13F-HR/A") != (self.amendment_type in AMENDMENT_TYPES):
            raise ValueError("a 13F-HR/A needs amendment_type RESTATEMENT or NEW HOLDINGS, "
                             "and a 13F-HR none")


def submissions_path(cik: int | str) -> str:
    return f"/submissions/CIK{int(cik):010d}.json"


def folder_path(cik: int | str, accession: str) -> str:
    return f"/Archives/edgar/data/{int(cik)}/{accession.replace('-', '')}/"


def _cover_date(period: str) -> str:
    year, month, day = period.split("-")
    return f"{month}-{day}-{year}"


def primary_document(cik: int | str, name: str, filing: Filing) -> bytes:
    """The filing's primary_doc.xml in the form EDGAR disseminates it: the
    13F filer schema's edgarSubmission, the CCC masked."""
    amendment = ""
    if filing.amendment_type:
        amendment = ("      <isAmendment>true</isAmendment>\n"
                     "      <amendmentNo>1</amendmentNo>\n"
                     "      <amendmentInfo>\n"
                     f"        <amendmentType>{filing.amendment_type}</amendmentType>\n"
                     "      </amendmentInfo>\n")
    cover = _cover_date(filing.period)
    signed = _cover_date(filing.filed)
    text = f"""<?xml version="1.0" encoding="UTF-8"?>
<edgarSubmission xmlns="http://www.sec.gov/edgar/thirteenffiler" xmlns:com="http://www.sec.gov/edgar/common">
  <headerData>
    <submissionType>{filing.form}</submissionType>
    <filerInfo>
      <liveTestFlag>LIVE</liveTestFlag>
      <filer>
        <credentials>
          <cik>{int(cik):010d}</cik>
          <ccc>XXXXXXXX</ccc>
        </credentials>
      </filer>
      <periodOfReport>{cover}</periodOfReport>
    </filerInfo>
  </headerData>
  <formData>
    <coverPage>
      <reportCalendarOrQuarter>{cover}</reportCalendarOrQuarter>
{amendment}      <filingManager>
        <name>{escape(name)}</name>
        <address>
          <com:street1>1 MAIN STREET</com:street1>
          <com:city>NEW YORK</com:city>
          <com:stateOrCountry>NY</com:stateOrCountry>
          <com:zipCode>10001</com:zipCode>
        </address>
      </filingManager>
      <reportType>13F HOLDINGS REPORT</reportType>
      <provideInfoForInstruction5>N</provideInfoForInstruction5>
    </coverPage>
    <signatureBlock>
      <name>JANE DOE</name>
      <title>CHIEF COMPLIANCE OFFICER</title>
      <phone>212-555-0100</phone>
      <signature>JANE DOE</signature>
      <city>NEW YORK</city>
      <stateOrCountry>NY</stateOrCountry>
      <signatureDate>{signed}</signatureDate>
    </signatureBlock>
  </formData>
</edgarSubmission>
"""
    return text.encode("utf-8")


class EdgarFilings:
    """The filings of one CIK, published on the stand-in hosts as they are added."""

    def __init__(self, www: SecServer, data: SecServer, cik: int | str,
                 name: str = "EXAMPLE CAPITAL LLC") -> None:
        self.www, self.data = www, data
        self.cik, self.name = int(cik), name
        self.filings: list[Filing] = []
        self._publish_index()

    def add(self, filing: Filing) -> None:
        self.filings.append(filing)
        folder = folder_path(self.cik, filing.accession)
        files = {
            "primary_doc.xml": primary_document(self.cik, self.name, filing),
            filing.table_name: filing.table,
        }
        for file_name, body in files.items():
            self.www.add_file(folder + file_name, body, "text/xml")
        self.www.add_file(folder + "index.json", self._folder_index(folder, filing, files),
                          "application/json")
        self._publish_index()

    def _folder_index(self, folder: str, filing: Filing, files: dict[str, bytes]) -> bytes:
        items = [{"last-modified": f"{filing.filed} 16:05:12", "name": file_name,
                  "type": "text.gif", "size": f"{max(1, len(body) // 1024)} KB"}
                 for file_name, body in files.items()]
        items.append({"last-modified": f"{filing.filed} 16:05:12",
                      "name": f"{filing.accession}.txt", "type": "text.gif", "size": ""})
        items.append({"last-modified": f"{filing.filed} 16:05:12", "name": "xslForm13F_X02",
                      "type": "folder.gif", "size": ""})
        return json.dumps({"directory": {"item": items, "name": folder.rstrip("/"),
                                         "parent-dir": folder.rsplit("/", 2)[0]}}).encode()

    def _publish_index(self) -> None:
        newest_first = sorted(self.filings, key=lambda f: (f.filed, f.accession), reverse=True)
        recent = {
            "accessionNumber": [f.accession for f in newest_first],
            "filingDate": [f.filed for f in newest_first],
            "reportDate": [f.period for f in newest_first],
            "acceptanceDateTime": [f"{f.filed}T16:05:12.000Z" for f in newest_first],
            "act": ["" for _ in newest_first],
            "form": [f.form for f in newest_first],
            "fileNumber": ["028-99999" for _ in newest_first],
            "filmNumber": ["26999999" for _ in newest_first],
            "items": ["" for _ in newest_first],
            "size": [len(f.table) for f in newest_first],
            "isXBRL": [0 for _ in newest_first],
            "isInlineXBRL": [0 for _ in newest_first],
            "primaryDocument": ["xslForm13F_X02/primary_doc.xml" for _ in newest_first],
            "primaryDocDescription": ["" for _ in newest_first],
        }
        index = {"cik": str(self.cik), "entityType": "other", "sic": "", "name": self.name,
                 "tickers": [], "exchanges": [],
                 "filings": {"recent": recent, "files": []}}
        self.data.add_file(submissions_path(self.cik), json.dumps(index).encode(),
                           "application/json")
