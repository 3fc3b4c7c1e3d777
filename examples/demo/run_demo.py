"""The demo: a whole quarterly run on stand-in SEC and OpenFIGI servers.

It starts both stand-ins on 127.0.0.1 with the bundled sample list (in the
SEC's layout, sample/13flist-sample.pdf) and FIGIs for its securities,
points the module at them through the deployment variables, runs `import Tavrin` in this folder on the bundled
Data/Portfolio.xlsx and Data/Removal.xlsx (as a manager's host script
would), and summarises the information table it wrote.
"""
from __future__ import annotations

import os
import subprocess
import sys
import xml.etree.ElementTree as ET
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parents[1]))

from make_sample import SAMPLE_LIST, sample_rows  # noqa: E402
from standins.openfigi_server import OpenFigiServer, matches_for  # noqa: E402
from standins.sec_server import SecServer  # noqa: E402

NS = "{http://www.sec.gov/edgar/document/thirteenf/informationtable}"


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
    figis = {r.cusip: matches_for(r.cusip, name=r.issuer) for r in sample_rows()}
    # Whatever quarter the module asks for, by the clock or TAVRIN_PERIOD.
    with SecServer(every_quarter=SAMPLE_LIST.read_bytes()) as sec, \
            OpenFigiServer(figis) as figi:
        env = dict(os.environ, TAVRIN_SEC_BASE_URL=sec.base_url,
                   TAVRIN_OPENFIGI_BASE_URL=figi.base_url,
                   TAVRIN_USER_AGENT="Tavrin Demo demo@example.com")
        env.pop("OPENFIGI_APIKEY", None)  # the stand-in knows no key
        run_import(env)
    summarise(HERE / "Results" / "F13Results.xml")


if __name__ == "__main__":
    main()
