"""The demo: a whole quarterly run on stand-in SEC and OpenFIGI servers.

It starts both stand-ins on 127.0.0.1 with a small list printed in the SEC's
layout and FIGIs for its securities, points the module at them through the
deployment variables, runs `import Tavrin` in this folder (as a manager's
host script would), and summarises the information table it wrote.
"""
from __future__ import annotations

import os
import subprocess
import sys
import xml.etree.ElementTree as ET
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parents[1]))

from standins.openfigi_server import OpenFigiServer, matches_for  # noqa: E402
from standins.sec_server import SecServer  # noqa: E402
from standins.seclist_pdf import ListRow, list_pdf_bytes, make_rows  # noqa: E402
from standins.workbooks import Holding, write_portfolio, write_removal  # noqa: E402

NS = "{http://www.sec.gov/edgar/document/thirteenf/informationtable}"


def sample_list() -> list[ListRow]:
    """A few pages of the list: generated rows plus the securities held."""
    rows = make_rows(200, seed=13)
    return rows


def write_inputs(rows: list[ListRow]) -> None:
    securities = [r for r in rows if r.description not in ("CALL", "PUT")][:12]
    holdings = [Holding(r.cusip, r.issuer, 100 * (n + 1), 2500.0 * (n + 1))
                for n, r in enumerate(securities)]
    holdings.append(Holding(securities[0].cusip, securities[0].issuer, 50, 1250.0))
    holdings.append(Holding("999999999", "NOT ON THE LIST INC", 10, 100.0))
    write_portfolio(HERE / "Data" / "Portfolio.xlsx", holdings, blank_every=5)
    write_removal(HERE / "Data" / "Removal.xlsx",
                  [(securities[1].cusip, securities[1].issuer, 200, 5000.0)])


def current_period() -> tuple[int, int]:
    from datetime import datetime
    now = datetime.now()
    quarter = (now.month - 1) // 3
    return (now.year, quarter) if quarter else (now.year - 1, 4)


def run_import(env: dict) -> None:
    subprocess.run([sys.executable, "-c", "import Tavrin"], cwd=HERE, env=env, check=True)


def summarise(xml_path: Path) -> None:
    root = ET.parse(xml_path).getroot()
    entries = root.findall(f"{NS}infoTable")
    total = sum(int(e.findtext(f"{NS}value")) for e in entries)
    problems = check_entries(entries)
    print(f"\nInformation table: {xml_path}")
    print(f"entries: {len(entries)}, total value: {total:,}")
    print("EDGAR element order and value formats:", "ok" if not problems else "; ".join(problems))


ORDER = ["nameOfIssuer", "titleOfClass", "cusip", "figi", "value", "shrsOrPrnAmt",
         "investmentDiscretion", "otherManager", "votingAuthority"]


def check_entries(entries) -> list[str]:
    problems = []
    for n, entry in enumerate(entries, start=1):
        names = [child.tag.replace(NS, "") for child in entry]
        expected = [name for name in ORDER if name in names]
        if names != expected:
            problems.append(f"entry {n}: elements out of order {names}")
        cusip = entry.findtext(f"{NS}cusip") or ""
        if len(cusip) != 9 or not cusip.isalnum():
            problems.append(f"entry {n}: CUSIP {cusip!r} is not nine letters and digits")
        figi = entry.findtext(f"{NS}figi")
        if figi is not None and (len(figi) != 12 or not figi.isalnum()):
            problems.append(f"entry {n}: FIGI {figi!r} is not twelve letters and digits")
        if not (entry.findtext(f"{NS}value") or "").isdigit():
            problems.append(f"entry {n}: value is not a whole number")
    return problems


def main() -> None:
    rows = sample_list()
    write_inputs(rows)
    year, quarter = current_period()
    figis = {r.cusip: matches_for(r.cusip, name=r.issuer) for r in rows}
    with SecServer({(year, quarter): list_pdf_bytes(rows, year, quarter)}) as sec, \
            OpenFigiServer(figis) as figi:
        env = dict(os.environ, TAVRIN_SEC_BASE_URL=sec.base_url,
                   TAVRIN_OPENFIGI_BASE_URL=figi.base_url,
                   TAVRIN_USER_AGENT="Tavrin Demo demo@example.com")
        run_import(env)
    summarise(HERE / "Results" / "F13Results.xml")


if __name__ == "__main__":
    main()
