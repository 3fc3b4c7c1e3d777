"""Every failure a user can cause, met the way a user meets it: `import Tavrin`
in a working folder that holds the previous quarter's outputs.

Each case breaks one thing (a folder, a workbook, a service) and checks that
the run stops with the expected class, that the message names the file, cell
or address and says what to do, and that the previous outputs are as they
were. The two OpenFIGI cases are not errors: the run finishes with blank FIGIs
and a warning that says what happened and what to check.
"""
from __future__ import annotations

import os
import shutil
from datetime import datetime
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable

import openpyxl
import pytest

from scenario import (BASE_LIST, NOWHERE, PORTFOLIO_LOCKED, make_workdir, run_host, snapshot,
                      write_base_inputs)
from standins.openfigi_server import TOO_MANY_REQUESTS_BODY
from standins.seclist_pdf import ListRow, list_pdf_bytes
from standins.workbooks import (
    ROW2_HEADINGS,
    SECOND_HEADINGS,
    Holding,
    portfolio_rows,
    write_portfolio,
    write_removal,
    write_rows,
)

PREVIOUS_REPORT = b"<?xml version='1.0'?><previous-quarter/>"
PREVIOUS_LIST = list_pdf_bytes([ListRow("037833100", False, "APPLE INC", "COM")], 2026, 1)
# A complete PDF that holds no list: tabula cannot read it.
UNREADABLE_LIST = b"%PDF-1.4\n% a list that lost its pages\n%%EOF\n"
# The base list with Apple's row printed without its description, printed
# for the quarter asked (the run checks the cover).
def UNDESCRIBED_LIST(year, quarter):
    return list_pdf_bytes([ListRow(c, options, name, "" if c == "037833100" else description)
                           for c, options, name, description in BASE_LIST], year, quarter)

HOST = """
try:
    import Tavrin
    emit({"raised": None})
except Exception as error:
    kind = type(error)
    emit({"raised": kind.__module__ + "." + kind.__qualname__, "message": str(error)})
"""


@dataclass
class Case:
    """One way to break a run. `prepare` edits the working folder and the
    stand-ins and may return environment overrides; `names` gives the file,
    cell or address the message must name; `advice` words of what to do."""

    prepare: Callable
    raised: str | None
    names: Callable[[Path, object], list[str]]
    advice: list[str]
    # Outputs the failure must leave alone: a failure after the download may
    # rightly have replaced the stored list with the new quarter's (the
    # workbooks are read before it, so their cases keep Store too).
    untouched: tuple[str, ...] = ("Results",)
    printed: list[str] = field(default_factory=list)
    # Words the message must not hold (what is there is not said to be missing).
    absent: list[str] = field(default_factory=list)
    # Host code run before the import (stands in for what a test cannot
    # arrange on disk, such as another program's lock).
    host_prefix: str = ""
    # The run stops before the SEC is asked for the list.
    before_download: bool = False


def remove(*names):
    def prepare(folder, services):
        for name in names:
            shutil.rmtree(folder / name)
    return prepare


def delete(relative):
    def prepare(folder, services):
        (folder / relative).unlink()
    return prepare


def portfolio(rows):
    def prepare(folder, services):
        write_rows(folder / "Data" / "Portfolio.xlsx", rows)
    return prepare


def holdings(*held):
    def prepare(folder, services):
        write_portfolio(folder / "Data" / "Portfolio.xlsx", list(held))
    return prepare


def removals(rows):
    def prepare(folder, services):
        write_removal(folder / "Data" / "Removal.xlsx", rows)
    return prepare


def sec_answers(mode):
    def prepare(folder, services):
        services.sec.mode = mode
    return prepare


def sec_serves(data):
    def prepare(folder, services):
        for year in range(2023, 2028):
            for quarter in range(1, 5):
                services.sec.add_list(year, quarter,
                                      data(year, quarter) if callable(data) else data)
    return prepare


def sec_base_url(value):
    return lambda folder, services: {"TAVRIN_SEC_BASE_URL": value}


def cover_sheet_first(folder, services):
    book = openpyxl.Workbook()
    book.active.title = "Cover"
    book.active.append(["Growth Fund - quarterly position report"])
    positions = book.create_sheet("Positions")
    for row in portfolio_rows([Holding("037833100")]):
        positions.append(row)
    book.save(folder / "Data" / "Portfolio.xlsx")


def renamed_portfolio(name):
    def prepare(folder, services):
        (folder / "Data" / "Portfolio.xlsx").rename(folder / "Data" / name)
    return prepare


def plain_table_portfolio(folder, services):
    """Headings in row 1, as a removal list has them: no title row."""
    headings = [row2 or second for row2, second in zip(ROW2_HEADINGS, SECOND_HEADINGS)]
    write_rows(folder / "Data" / "Portfolio.xlsx", [headings, Holding("037833100").cells()])


def unreadable_portfolio(folder, services):
    (folder / "Data" / "Portfolio.xlsx").write_text("Account,CUSIP\nACCT-001,037833100\n")


def sec_unreachable(folder, services):
    return {"TAVRIN_SEC_BASE_URL": NOWHERE}


def without_java(folder, services):
    path = os.pathsep.join(d for d in os.environ.get("PATH", "").split(os.pathsep)
                           if d and not os.access(os.path.join(d, "java"), os.X_OK))
    assert shutil.which("java", path=path) is None
    return {"PATH": path, "JAVA_HOME": None}


def openfigi_down(folder, services):
    return {"TAVRIN_OPENFIGI_BASE_URL": NOWHERE}


def openfigi_rate_limiting(folder, services):
    services.figi.fail_with(429, TOO_MANY_REQUESTS_BODY, headers=[("ratelimit-reset", "1")])


def c2_filled():
    rows = portfolio_rows([Holding("037833100")])
    rows[1][2] = "Description"
    return rows


def headings_only():
    return portfolio_rows([])[:-2]  # no holding, no blank line, no totals row


def too_few_columns():
    return [row[:12] for row in portfolio_rows([Holding("037833100")])]


def no_cusip_heading():
    rows = portfolio_rows([Holding("037833100")])
    rows[1][3] = "Security ID"
    return rows


def cusip_heading_twice():
    rows = portfolio_rows([Holding("037833100")])
    rows[3][4] = "CUSIP ID"  # E2 is empty, so E takes its name from the second heading row
    return rows


def nothing_reportable(folder, services):
    write_portfolio(folder / "Data" / "Portfolio.xlsx", [
        Holding("037833100", "Total", 100, 25000.0),     # on the list, description too short
        Holding("594918104", "MICROSOFT CORP", 0, 0.0),  # on the list, nothing held
        Holding("99999A109", "PRIVATE PLACEMENT", 10, 100.0),  # not on the list
    ])




def data_file(name):
    return lambda folder, services: [str(folder / "Data" / name)]


def folder_path(name):
    return lambda folder, services: [str(folder / name)]


def list_address(folder, services):
    return [services.sec.base_url + "/files/investment/13flist"]


def stored_list(*words):
    return lambda folder, services: [str(folder / "Store" / "F13SEC.pdf"), *words]


def portfolio_cell(*words):
    return lambda folder, services: [str(folder / "Data" / "Portfolio.xlsx"), *words]


def removal_cell(*words):
    return lambda folder, services: [str(folder / "Data" / "Removal.xlsx"), *words]


def nothing(folder, services):
    return []


def working_folder(*relatives):
    """The current folder and each missing item, by its full path."""
    return lambda folder, services: [f"the current folder is {folder}",
                                      *[str(folder / r) for r in relatives]]


RUNS_IN_THE_WORKING_FOLDER = ["Missing in the working folder",
                              "`import Tavrin` runs in the working folder"]


CASES = {
    "Data folder missing": Case(
        remove("Data"), "builtins.FileNotFoundError",
        working_folder("Data", "Data/Portfolio.xlsx", "Data/Removal.xlsx"),
        RUNS_IN_THE_WORKING_FOLDER, untouched=("Store", "Results"),
        absent=["Store folder", "Results folder"], before_download=True),
    "Store folder missing": Case(
        remove("Store"), "builtins.FileNotFoundError", working_folder("Store"),
        RUNS_IN_THE_WORKING_FOLDER, absent=["Data folder", "workbook"], before_download=True),
    "Results folder missing": Case(
        remove("Results"), "builtins.FileNotFoundError", working_folder("Results"),
        RUNS_IN_THE_WORKING_FOLDER, untouched=("Store",), before_download=True),
    "portfolio missing": Case(
        delete("Data/Portfolio.xlsx"), "builtins.FileNotFoundError",
        working_folder("Data/Portfolio.xlsx"), RUNS_IN_THE_WORKING_FOLDER,
        untouched=("Store", "Results"), absent=["removal workbook"], before_download=True),
    "removal list missing": Case(
        delete("Data/Removal.xlsx"), "builtins.FileNotFoundError",
        working_folder("Data/Removal.xlsx"), RUNS_IN_THE_WORKING_FOLDER,
        untouched=("Store", "Results"), absent=["portfolio workbook"], before_download=True),
    "run from the wrong folder": Case(
        remove("Data", "Store", "Results"), "builtins.FileNotFoundError",
        working_folder("Data", "Store", "Results", "Data/Portfolio.xlsx", "Data/Removal.xlsx"),
        RUNS_IN_THE_WORKING_FOLDER, untouched=(), before_download=True),
    **{f'portfolio saved as "{name}"': Case(
        renamed_portfolio(name), "builtins.FileNotFoundError",
        working_folder("Data/Portfolio.xlsx"),
        [f'(Data holds "{name}": rename it to Portfolio.xlsx)'],
        untouched=("Store", "Results"), before_download=True)
       for name in ("Portfolio (1).xlsx", "portfolio.xlsx", "Portfolio.xlsx.xlsx")},
    "portfolio saved as CSV": Case(
        renamed_portfolio("Portfolio.csv"), "builtins.FileNotFoundError",
        working_folder("Data/Portfolio.xlsx"),
        ['"Portfolio.csv": open it in Excel and save it as an .xlsx workbook named '
         'Portfolio.xlsx'], untouched=("Store", "Results"), before_download=True),
    "portfolio locked": Case(
        nothing, "builtins.PermissionError", data_file("Portfolio.xlsx"),
        ["cannot be opened", "Close it in Excel"], host_prefix=PORTFOLIO_LOCKED,
        untouched=("Store", "Results"), before_download=True),
    "portfolio unreadable": Case(
        unreadable_portfolio, "builtins.ValueError", data_file("Portfolio.xlsx"),
        ["cannot be read as an Excel workbook", "Save it from Excel as an .xlsx workbook"],
        untouched=("Store", "Results"), before_download=True),
    "portfolio headings in row 1": Case(
        plain_table_portfolio, "builtins.KeyError",
        portfolio_cell("its headings are in row 1 (cell D1 heads the CUSIPs)"),
        ["title in row 1, headings in row 2 with cell C2 empty"],
        untouched=("Store", "Results"), before_download=True),
    "empty first sheet": Case(
        portfolio([]), "builtins.KeyError", portfolio_cell('first sheet "Positions" is empty'),
        ["cell C2 empty"], absent=["C2 is not empty"], before_download=True),
    "cover sheet before the positions": Case(
        cover_sheet_first, "builtins.ValueError",
        portfolio_cell('first sheet "Cover"', 'sheet "Positions" looks like one'),
        ['move "Positions" to the front'], absent=["cannot be read as an Excel workbook"],
        before_download=True),
    "CUSIP heading twice": Case(
        portfolio(cusip_heading_twice()), "builtins.KeyError",
        portfolio_cell('D ("CUSIP ID" in row 2)',
                       'E ("CUSIP ID" in the second heading row, row 4)'),
        ['Head one column "CUSIP ID"'], before_download=True),
    "C2 filled": Case(
        portfolio(c2_filled()), "builtins.KeyError", portfolio_cell("C2"),
        ["cell C2 empty"], before_download=True),
    "too few columns": Case(
        portfolio(too_few_columns()), "builtins.IndexError", portfolio_cell("12 columns"),
        ["at least fifteen columns (A to O)"], before_download=True),
    "no holdings": Case(
        portfolio(headings_only()), "builtins.IndexError", portfolio_cell("holding rows"),
        ["each with column C filled"], before_download=True),
    "CUSIP heading missing": Case(
        portfolio(no_cusip_heading()), "builtins.KeyError", portfolio_cell('"CUSIPID"'),
        ['Head the CUSIP column "CUSIP ID"']),
    "text in a quantity": Case(
        holdings(Holding("037833100", quantity="100 shares")), "builtins.TypeError",
        portfolio_cell("CUSIP 037833100", "column K", "'100 shares'"),
        ["Enter the amount as a number"]),
    "formula without a saved result": Case(
        holdings(Holding("037833100", extra={12: "=K5*1"})), "builtins.TypeError",
        portfolio_cell("row 5", "CUSIP 037833100", 'column M ("Total Settlement Quantity")',
                       "formula whose result was never saved"),
        ["Open the workbook in Excel and save it", "enter the number"]),
    "TRUE in a quantity": Case(
        holdings(Holding("037833100", extra={10: True})), "builtins.TypeError",
        portfolio_cell("row 5", "CUSIP 037833100", 'column K ("Trade Date Quantity")', "TRUE"),
        ["Enter the amount as a number", "open and save the workbook in Excel"],
        before_download=True),
    "FALSE in a value": Case(
        holdings(Holding("037833100", extra={13: False})), "builtins.TypeError",
        portfolio_cell("row 5", "CUSIP 037833100",
                       'column N ("Total Settlement Market Value:")', "FALSE"),
        ["Enter the amount as a number"], before_download=True),
    "error value in a quantity": Case(
        holdings(Holding("037833100", extra={12: "#N/A"})), "builtins.TypeError",
        portfolio_cell("row 5", "CUSIP 037833100", 'column M ("Total Settlement Quantity")',
                       "error value #N/A"),
        ["Enter the amount as a number"], before_download=True),
    "formula without a saved result in column C": Case(
        holdings(Holding("037833100", description="=B5")), "builtins.TypeError",
        portfolio_cell("row 5", "CUSIP 037833100", 'column C ("Security Description")',
                       "formula whose result was never saved"),
        ["Open the workbook in Excel and save it"], before_download=True),
    "formula without a saved result in column D": Case(
        holdings(Holding('="037833100"')), "builtins.TypeError",
        portfolio_cell("row 5", 'column D ("CUSIP ID")', "formula whose result was never saved"),
        ["Open the workbook in Excel and save it"], before_download=True),
    "TRUE in a removal quantity": Case(
        removals([("00206R102", "AT&T INC", True, 2000.0)]), "builtins.TypeError",
        removal_cell("row 2", "CUSIP 00206R102", 'column C ("Quantity")', "TRUE"),
        ["Enter the amount to take off as a number"], before_download=True),
    "date in a removal value": Case(
        removals([("00206R102", "AT&T INC", 100, datetime(2026, 6, 30))]), "builtins.TypeError",
        removal_cell("row 2", "CUSIP 00206R102", 'column D ("Value")', "date"),
        ["set the cell's format to Number"], before_download=True),
    "text in a removal value": Case(
        removals([("594918104", "MICROSOFT", 0, 0), ("00206R102", "AT&T INC", 100, "all")]),
        "builtins.TypeError", removal_cell("row 3", "CUSIP 00206R102", "'all'"),
        ["Enter the amount to take off as a number"], before_download=True),
    "formula without a saved result in a removal": Case(
        removals([("00206R102", "AT&T INC", "=50*2", 2000.0)]), "builtins.TypeError",
        removal_cell("row 2", 'column C ("Quantity")', "formula whose result was never saved"),
        ["Open the workbook in Excel and save it"], absent=["is blank"], before_download=True),
    "removal row without its CUSIP": Case(
        removals([(None, "AT&T INC", 100, 2000.0)]), "builtins.ValueError",
        removal_cell("row 2", 'column A ("CUSIP")', "is empty, but the row has an amount"),
        ["Enter the CUSIP of the security, or delete the row"], before_download=True),
    "error value for a removal CUSIP": Case(
        removals([("#N/A", "AT&T INC", 100, 2000.0)]), "builtins.TypeError",
        removal_cell("row 2", 'column A ("CUSIP")', "error value #N/A"),
        ["Correct the formula"], before_download=True),
    "negative removal": Case(
        removals([("00206R102", "AT&T INC", -100, -2000.0)]), "builtins.ValueError",
        removal_cell("row 2", "CUSIP 00206R102", 'column C ("Quantity")', "-100",
                     "negative amount"),
        ["a number of 0 or more"], before_download=True),
    "removal leaving shares without their value": Case(
        removals([("00206R102", "AT&T INC", 10, 30000.0)]), None, nothing, [], untouched=(),
        printed=["Warning: CUSIP 00206R102 is held as quantity 300 and value 6000; after the "
                 "removal list it has quantity 290 and value -24000, which disagree",
                 "Review: 2 reported, 1 not reported (1 quantity and value disagree after "
                 "removal), 1 row not read"]),
    "nothing to report": Case(
        nothing_reportable, "builtins.ValueError",
        lambda folder, services: [str(folder / "Results" / "F13Results.xml")],
        ["No holding of the portfolio is on the quarter's 13(f) list with quantity and value above zero",
         "of the portfolio's 3 CUSIP(s), 2 are on the list and 2 of those were left out",
         "needs at least one entry, so nothing was written", "Form 13F"]),
    "blank removal value": Case(
        removals([("00206R102", "AT&T INC", 100, None)]), "builtins.ValueError",
        removal_cell("CUSIP 00206R102", '"Value"'),
        ["enter the amount to take off"]),
    "blank removal value on a holding left out anyway": Case(
        removals([("00206R102", "AT&T INC", 300, None)]), None, nothing, [], untouched=(),
        printed=["Review: 2 reported, 1 not reported (1 removed in full), 1 row not read"]),
    "SEC refuses (403)": Case(
        sec_answers("forbidden"), "requests.exceptions.HTTPError", list_address,
        ["TAVRIN_USER_AGENT", "Company Name admin@company.com",
         'sent with the User-Agent "Tavrin Tests tests@example.com"'],
        untouched=("Store", "Results")),
    "SEC server fails (5xx)": Case(
        sec_answers("server_error"), "requests.exceptions.HTTPError", list_address,
        ["503", "The SEC's server failed; try again later"], untouched=("Store", "Results")),
    "SEC redirects in a loop": Case(
        sec_answers("redirect_loop"), "requests.exceptions.TooManyRedirects", list_address,
        ["more than 30 times", "Check TAVRIN_SEC_BASE_URL"], untouched=("Store", "Results")),
    "SEC download cut short": Case(
        sec_answers("short_body"), "builtins.ValueError", list_address,
        ["was cut short", "Run again"], untouched=("Store", "Results")),
    "SEC address without a scheme": Case(
        sec_base_url("www.sec.gov"), "requests.exceptions.MissingSchema",
        lambda folder, services: ["www.sec.gov/files/investment/13flist"],
        ["TAVRIN_SEC_BASE_URL must hold the scheme and host", '"https://www.sec.gov"'],
        untouched=("Store", "Results")),
    "downloaded list unreadable": Case(
        # a download that cannot be read is not stored
        sec_serves(UNREADABLE_LIST), "subprocess.CalledProcessError", list_address,
        ["could not be read as the list", "It was not stored", "Run again"],
        untouched=("Store", "Results")),
    "list row without its description": Case(
        sec_serves(UNDESCRIBED_LIST), "builtins.TypeError",
        stored_list("CUSIP '037833100'", "(APPLE INC)"), ["lacks its description"]),
    "SEC has no list (404)": Case(
        sec_answers("not_found"), "requests.exceptions.HTTPError", list_address,
        ["may not be published yet", "run again"], untouched=("Store", "Results")),
    "SEC answers an HTML page": Case(
        sec_answers("html"), "builtins.ValueError", list_address,
        ["not a PDF", "Check TAVRIN_SEC_BASE_URL"], untouched=("Store", "Results")),
    "SEC answers nothing": Case(
        sec_answers("empty"), "builtins.ValueError", list_address,
        ["0 bytes", "not a PDF"], untouched=("Store", "Results")),
    "SEC unreachable": Case(
        sec_unreachable, "requests.exceptions.ConnectionError",
        lambda folder, services: [NOWHERE + "/files/investment/13flist"],
        ["Check the internet connection", "TAVRIN_SEC_BASE_URL"], untouched=("Store", "Results")),
    "no Java": Case(
        without_java, "tabula.errors.JavaNotFoundError", nothing,
        ["install a Java runtime", "default-jre-headless"]),
    "OpenFIGI down": Case(
        openfigi_down, None, nothing, [], untouched=(),
        printed=["OpenFIGI did not answer a batch of 3 CUSIPs at " + NOWHERE,
                 "ConnectionError", "check that the service is reachable"]),
    "OpenFIGI rate limiting": Case(
        openfigi_rate_limiting, None, nothing, [], untouched=(),
        printed=["OpenFIGI rate limit reached: waiting 1 s, 3 CUSIPs left",
                 "for its rate limit after 4 waits", "OPENFIGI_APIKEY"]),
}


def previous_quarter(folder: Path) -> None:
    (folder / "Results" / "F13Results.xml").write_bytes(PREVIOUS_REPORT)
    (folder / "Store" / "F13SEC.pdf").write_bytes(PREVIOUS_LIST)


def kept(folder: Path, parts: tuple[str, ...]) -> dict[str, bytes]:
    return {name: data for name, data in snapshot(folder).items()
            if name.split(os.sep)[0] in parts}


@pytest.mark.parametrize("name", list(CASES))
def test_a_user_error_is_named_and_explained(tmp_path, services, name):
    case = CASES[name]
    folder = make_workdir(tmp_path / "work")
    write_base_inputs(folder)
    previous_quarter(folder)
    before = kept(folder, case.untouched)

    overrides = case.prepare(folder, services) or {}
    env = dict(services.env)
    for variable, value in overrides.items():
        if value is None:
            env.pop(variable, None)
        else:
            env[variable] = value
    run = run_host(folder, case.host_prefix + HOST, env=env).check()
    outcome = run.result()

    assert outcome["raised"] == case.raised
    message = outcome.get("message", "")
    for words in case.names(folder, services) + case.advice:
        assert words in message
    for words in case.absent:
        assert words not in message
    for words in case.printed:
        assert words in run.stdout
    assert kept(folder, case.untouched) == before
    if case.raised:
        # Every failure comes before the FIGI look-ups: a stopped run asks nothing.
        assert services.figi.request_count == 0
    if case.before_download:
        assert services.sec.requests == []


def test_without_a_results_folder_no_figi_is_asked_for(tmp_path, services):
    folder = make_workdir(tmp_path / "work")
    write_base_inputs(folder)
    shutil.rmtree(folder / "Results")
    run_host(folder, HOST, env=services.env).check()
    assert services.figi.request_count == 0
    assert not (folder / "Results").exists()
