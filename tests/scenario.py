"""Running `import Tavrin` the way a manager's host script does.

Importing runs the whole pipeline, and a process holds one module object, so
every scenario runs in a fresh interpreter with its own working folder
(Data, Store, Results) and environment. A scenario is a host script: a
preamble that may stand in later stages through builtins (the module looks a
stage up in its globals first, then in builtins), then whatever the test
wants to run.
"""
from __future__ import annotations

import json
from contextlib import contextmanager
import os
import subprocess
import sys
import textwrap
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
SHARED = ROOT.parent / "shared"
EDGAR = SHARED / "edgar"

# The SEC and its stand-in refuse a User-Agent without a contact address.
DECLARED_USER_AGENT = "Tavrin Tests tests@example.com"

# Nothing listens on the discard port: a scenario that forgets to point the
# module at a stand-in fails at once instead of reaching the internet.
NOWHERE = "http://127.0.0.1:9"


@dataclass
class Run:
    returncode: int
    stdout: str
    stderr: str
    folder: Path

    def check(self) -> "Run":
        assert self.returncode == 0, f"host failed:\n{self.stdout}\n{self.stderr}"
        return self

    def result(self, name: str = "result"):
        """The JSON the host script left with `emit()` under `name`."""
        return json.loads((self.folder / f"{name}.json").read_text())


def make_workdir(base: Path) -> Path:
    for name in ("Data", "Store", "Results"):
        (base / name).mkdir(parents=True, exist_ok=True)
    return base


PREAMBLE = f"""
import builtins, json, sys
sys.path.insert(0, {str(ROOT)!r})

def emit(value, name="result"):
    with open(name + ".json", "w") as f:
        json.dump(value, f, default=str)
"""

# Excel holds an open workbook locked; reading it then fails as here.
PORTFOLIO_LOCKED = """
_open = builtins.open
def _locked(file, *args, **kwargs):
    if str(file).endswith("Portfolio.xlsx"):
        raise PermissionError(13, "Permission denied", str(file))
    return _open(file, *args, **kwargs)
builtins.open = _locked
"""


# Stand-ins for the stages around the reconciliation: the list comes from a
# pickled table, and the report stage keeps what it was handed.
STAND_IN_LIST_AND_REPORT = """
import pandas as _pd
builtins.getsec = lambda: None
builtins.storesec = lambda: _pd.read_pickle("Store/sec.pkl")
def _keep_report_input(sec, bswout):
    bswout.to_pickle("Results/bswout.pkl")
builtins.f13excel = _keep_report_input
"""


def host_environment(**overrides: str | None) -> dict:
    env = dict(os.environ)
    env.update(
        TAVRIN_SEC_BASE_URL=NOWHERE,
        TAVRIN_OPENFIGI_BASE_URL=NOWHERE,
        TAVRIN_SEC_DATA_URL=NOWHERE,
        PYTHONDONTWRITEBYTECODE="1",
    )
    env.pop("OPENFIGI_APIKEY", None)
    env.pop("TAVRIN_FRESH", None)
    env.pop("TAVRIN_PERIOD", None)
    env["TAVRIN_USER_AGENT"] = DECLARED_USER_AGENT
    for name, value in overrides.items():
        if value is None:
            env.pop(name, None)
        else:
            env[name] = value
    return env


def run_host(folder: Path, body: str, *, env: dict | None = None, timeout: float = 300) -> Run:
    """Runs PREAMBLE + body as host.py in `folder` with a fresh interpreter."""
    script = folder / "host.py"
    script.write_text(PREAMBLE + textwrap.dedent(body))
    done = subprocess.run(
        [sys.executable, "-W", "ignore::DeprecationWarning", str(script)],
        cwd=folder,
        env=env if env is not None else host_environment(),
        capture_output=True,
        text=True,
        timeout=timeout,
    )
    return Run(done.returncode, done.stdout, done.stderr, folder)


def snapshot(folder: Path) -> dict[str, bytes]:
    """Every file under the working folder's outputs, to show nothing changed."""
    files = {}
    for sub in ("Store", "Results"):
        for path in sorted((folder / sub).rglob("*")):
            if path.is_file():
                files[str(path.relative_to(folder))] = path.read_bytes()
    return files


# A small list, portfolio and removal list that the whole pipeline can run on
# in a few seconds; tests that are about something else start from these.
BASE_LIST = [
    ("037833100", True, "APPLE INC", "COM"),
    ("037833900", False, "APPLE INC", "CALL"),
    ("037833950", False, "APPLE INC", "PUT"),
    ("594918104", False, "MICROSOFT CORP", "COM"),
    ("00206R102", False, "AT&T INC", "COM"),
]


def base_list_rows():
    from standins.seclist_pdf import ListRow

    return [ListRow(c, options, name, description) for c, options, name, description in BASE_LIST]


def write_base_inputs(folder: Path) -> None:
    from standins.workbooks import Holding, write_portfolio, write_removal

    write_portfolio(folder / "Data" / "Portfolio.xlsx", [
        Holding("037833100", "APPLE INC COM", 100, 25000.0),
        Holding("594918104", "MICROSOFT CORP", 40, 16000.0),
        Holding("00206R102", "AT&T INC COM", 300, 6000.0),
    ])
    write_removal(folder / "Data" / "Removal.xlsx", [("00206R102", "AT&T INC", 100, 2000.0)])


@contextmanager
def stand_in_sites():
    """SEC and OpenFIGI stand-ins serving the small list, printed for each
    quarter of 2023 to 2027, so runs under any faked clock find their list."""
    from standins.openfigi_server import OpenFigiServer, matches_for
    from standins.sec_server import SecServer
    from standins.seclist_pdf import list_pdf_bytes

    figis = {cusip: matches_for(cusip, name=name) for cusip, _, name, _ in BASE_LIST}
    rows = base_list_rows()
    with SecServer() as sec, OpenFigiServer(figis) as figi:
        for year in range(2023, 2028):
            for quarter in range(1, 5):
                sec.add_list(year, quarter, list_pdf_bytes(rows, year, quarter))
        yield sec, figi
