"""The demo: a whole quarterly run on stand-in SEC and OpenFIGI servers.

It starts both stand-ins on 127.0.0.1 with the bundled sample list (in the
SEC's layout, sample/13flist-sample.pdf) and FIGIs for its securities,
points the module at them through the deployment variables, and runs
`import Tavrin` in this folder on the bundled Data/Portfolio.xlsx and
Data/Removal.xlsx, as a manager's host script would. The module itself says
what it wrote: the document's path, its number of entries and their total
value, the figures of the 13F summary page.
"""
from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parents[1]))

from make_sample import SAMPLE_LIST, sample_rows  # noqa: E402
from standins.openfigi_server import OpenFigiServer, matches_for  # noqa: E402
from standins.edgar_filings import EdgarFilings  # noqa: E402
from standins.sec_server import SecServer  # noqa: E402
from standins.seclist_pdf import list_pdf_bytes  # noqa: E402


EXAMPLE_CIK = 1234567


def run_import(env: dict) -> None:
    subprocess.run([sys.executable, "-c", "import Tavrin"], cwd=HERE, env=env, check=True)


def main() -> None:
    figis = {r.cusip: matches_for(r.cusip, name=r.issuer) for r in sample_rows()}
    # Whatever quarter the module asks for, by the clock or TAVRIN_PERIOD, gets
    # the sample list printed for that quarter: the module checks the cover.
    rows = sample_rows()
    with SecServer(every_quarter=lambda year, quarter: list_pdf_bytes(rows, year, quarter)) as sec, \
            SecServer() as data, OpenFigiServer(figis) as figi:
        # The example filer workbook's made-up CIK has no filings on EDGAR;
        # its stand-in index says so, and nothing asks the real one.
        EdgarFilings(sec, data, EXAMPLE_CIK)
        env = dict(os.environ, TAVRIN_SEC_BASE_URL=sec.base_url,
                   TAVRIN_SEC_DATA_URL=data.base_url,
                   TAVRIN_OPENFIGI_BASE_URL=figi.base_url,
                   TAVRIN_USER_AGENT="Tavrin Demo demo@example.com")
        env.pop("OPENFIGI_APIKEY", None)  # the stand-in knows no key
        run_import(env)


if __name__ == "__main__":
    main()
