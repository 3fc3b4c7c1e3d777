"""Checking the quarter against the last filing: the previous table from
Data/Previous.xml in the "ns1:" shape saved from EDGAR, or from the manager's
own filings on EDGAR by CIK, the sheet "Changes" with its statuses and
"look twice" notes, the console lines, and a previous table that cannot be
read."""
from __future__ import annotations

import openpyxl
import pytest

from information_tables import NS1, ns1_table, write_filer
from report_inputs import (LIST_STAND_INS, QUIET_CUSIP, prepare_inputs, prepare_quiet_import,
                           schema_errors)
from scenario import EDGAR, host_environment, make_workdir, run_host
from standins.edgar_filings import EdgarFilings, Filing
from standins.openfigi_server import OpenFigiServer
from standins.sec_server import SecServer
from standins.workbooks import Holding

HEADINGS = ("CUSIP", "Put/Call", "Issuer", "Title of class", "Previous shares", "Current shares",
            "Shares change (%)", "Previous value", "Current value", "Value change (%)", "Status",
            "Look twice")


def changes_sheet(workdir) -> list[tuple]:
    book = openpyxl.load_workbook(workdir / "Results" / "F13Review.xlsx")
    return [tuple(row) for row in book["Changes"].iter_rows(values_only=True)]


def table_rows(sheet: list[tuple]) -> dict[str, tuple]:
    """The sheet's rows above the blank line, keyed by CUSIP."""
    rows = {}
    for row in sheet[1:]:
        if row[0] is None:
            break
        rows[row[0]] = row[1:]
    return rows


# -- Data/Previous.xml, saved from EDGAR -------------------------------------

LISTED = [
    ("037833100", "APPLE INC", "COM"),
    ("594918104", "MICROSOFT CORP", "COM"),
    ("00206R102", "AT&T INC", "COM"),
    ("88160R101", "TESLA INC", "COM"),
    ("023135106", "AMAZON COM INC", "COM"),
    ("46625H100", "JPMORGAN CHASE & CO", "COM"),
    ("17275R102", "CISCO SYS INC", "COM"),
    ("92826C839", "VISA INC", "COM CL A"),
    ("30231G102", "EXXON MOBIL CORP", "COM"),
]
HOLDINGS = [
    Holding("037833100", "APPLE INC COM", 150, 30000.0),
    Holding("594918104", "MICROSOFT CORP COM", 40, 16000.0),
    Holding("00206R102", "AT&T INC COM", 300, 6300.0),
    Holding("88160R101", "TESLA INC COM", 10, 2000.0),
    Holding("023135106", "AMAZON COM INC", 20, 3000.0),
    Holding("46625H100", "JPMORGAN CHASE COM", 100, 20000.0),
    Holding("17275R102", "CISCO SYSTEMS COM", 500, 500.0),
    Holding("92826C839", "VISA INC CL A", 1000, 30.0),
    Holding("30231G102", "EXXON MOBIL CORP", 10, 1100.0),
]
REMOVALS = [("023135106", "AMAZON COM INC", 20, 3000.0)]
PREVIOUS = [
    ("APPLE INC", "037833100", 20000, 100),
    ("MICROSOFT CORP", "594918104", 12000, 30, "SOLE", None),  # one holding over two rows
    ("MICROSOFT CORP", "594918104", 8000, 20, "OTR", "1"),
    ("AT&amp;T INC", "00206R102", 6000, 300),
    ("AMAZON COM INC", "023135106", 3000, 20),
    ("META PLATFORMS INC", "30303M102", 5000, 10),
    ("JPMORGAN CHASE &amp; CO", "46625h100", 20, 100),  # lower case, as EDGAR has some
    ("CISCO SYS INC", "17275R102", 20000, 400),
    ("EXXON CORP", "30231G102", 1000, 10),
]
EXPECTED = {
    "037833100": (None, "APPLE INC", "COM", 100, 150, 50.0, 20000, 30000, 50.0, "INCREASED", None),
    "594918104": (None, "MICROSOFT CORP", "COM", 50, 40, -20.0, 20000, 16000, -20.0, "DECREASED",
                  None),
    "00206R102": (None, "AT&T INC", "COM", 300, 300, 0.0, 6000, 6300, 5.0, "UNCHANGED", None),
    "88160R101": (None, "TESLA INC", "COM", None, 10, None, None, 2000, None, "NEW", None),
    "023135106": (None, "AMAZON COM INC", "COM", 20, None, None, 3000, None, None, "CLOSED",
                  "still in the portfolio, not reported: removed in full"),
    "30303M102": (None, "META PLATFORMS INC", "COM", 10, None, None, 5000, None, None, "CLOSED",
                  None),
    "46625H100": (None, "JPMORGAN CHASE & CO", "COM", 100, 100, 0.0, 20, 20000, 99900.0,
                  "UNCHANGED", "value per share $0.2000 last quarter, $200.00 now (a factor of "
                  "1,000): units, a split, or a principal amount filed as shares?"),
    "17275R102": (None, "CISCO SYS INC", "COM", 400, 500, 25.0, 20000, 500, -97.5, "INCREASED",
                  "value per share $50.00 last quarter, $1.00 now (a factor of 50): units, a "
                  "split, or a principal amount filed as shares?; value equals shares (500): the "
                  "value copied into the share count, or the shares into the value?"),
    "92826C839": (None, "VISA INC", "COM CL A", None, 1000, None, None, 30, None, "NEW",
                  "$0.0300 a share (value $30 for 1,000 shares): a value still in thousands?"),
    "30231G102": (None, "EXXON MOBIL CORP", "COM", 10, 10, 0.0, 1000, 1100, 10.0, "UNCHANGED",
                  "issuer \"EXXON CORP\" last quarter, \"EXXON MOBIL CORP\" now: the same CUSIP "
                  "for another security?"),
}


def run_quarter(workdir, **env):
    with OpenFigiServer({}) as figi:
        return run_host(workdir, LIST_STAND_INS + "import Tavrin\n", env=host_environment(
            TAVRIN_OPENFIGI_BASE_URL=figi.base_url, TAVRIN_PERIOD="2026Q3", **env))


@pytest.fixture(scope="module")
def compared(tmp_path_factory):
    workdir = make_workdir(tmp_path_factory.mktemp("previous") / "work")
    prepare_inputs(workdir, HOLDINGS, LISTED, REMOVALS)
    (workdir / "Data" / "Previous.xml").write_bytes(ns1_table(PREVIOUS))
    return run_quarter(workdir).check(), workdir


def test_the_saved_table_is_one_edgar_accepts(compared, information_table_schema):
    _, workdir = compared
    for document in (workdir / "Data" / "Previous.xml", workdir / "Results" / "F13Results.xml"):
        assert schema_errors(information_table_schema, document) == []


def test_every_cusip_of_either_quarter_has_its_status_figures_and_notes(compared):
    _, workdir = compared
    sheet = changes_sheet(workdir)
    assert sheet[0] == HEADINGS
    assert table_rows(sheet) == EXPECTED
    # by issuer name, as the information table is
    issuers = [row[2] for row in sheet[1:len(EXPECTED) + 1]]
    assert issuers == sorted(issuers)


def test_the_sheet_says_what_it_was_compared_with(compared):
    _, workdir = compared
    sheet = changes_sheet(workdir)
    assert sheet[len(EXPECTED) + 1:] == [
        (None,) * len(HEADINGS),
        ("Previous table: 2026 Q2, from Data/Previous.xml.",) + (None,) * (len(HEADINGS) - 1)]


def test_the_console_counts_the_changes_after_the_review_line(compared):
    run, workdir = compared
    lines = run.stdout.splitlines()
    assert lines[-3].startswith("Review: 8 reported, 1 not reported (1 removed in full)")
    assert lines[-2:] == [
        "Against the 2026 Q2 table (Data/Previous.xml): 2 new, 2 closed, 2 increased, "
        "1 decreased, 3 unchanged; 5 to look at twice",
        "Value totals: $75,020 in the 2026 Q2 table, $75,930 in this quarter's",
    ]


def test_a_table_filed_in_thousands_is_compared_in_dollars(tmp_path):
    workdir = make_workdir(tmp_path / "work")
    prepare_inputs(workdir, HOLDINGS[:1], LISTED[:1])
    (workdir / "Data" / "Previous.xml").write_bytes(
        ns1_table([("APPLE INC", "037833100", 20, 100)]))
    with OpenFigiServer({}) as figi:
        run = run_host(workdir, LIST_STAND_INS + "import Tavrin\n",
                       env=host_environment(TAVRIN_OPENFIGI_BASE_URL=figi.base_url,
                                            TAVRIN_PERIOD="2022Q4")).check()
    sheet = changes_sheet(workdir)
    assert sheet[0][7] == "Previous value (filed in thousands, here in dollars)"
    assert table_rows(sheet) == {"037833100": (
        None, "APPLE INC", "COM", 100, 150, 50.0, 20000, 30000, 50.0, "INCREASED", None)}
    assert sheet[-1][0] == (
        "The 2022 Q3 table gives its values in thousands of dollars, as filings made before "
        "3 January 2023 did; they are shown and compared here in dollars (times 1,000).")
    assert run.stdout.splitlines()[-1] == (
        "Value totals: $20,000 in the 2022 Q3 table (filed in thousands, here in dollars), "
        "$30,000 in this quarter's")


SAMPLES = ["13F-HRA_0001908612-26-000004_infotable.xml",  # ns1:, tabs, a lower-case CUSIP
           "13F-HR_0001214659-26-011275_infotable.xml",   # default namespace, no encoding
           "13F-HR_0001951757-25-000093_infotable.xml"]   # ns1:, deep indentation


def sample_holdings(path) -> dict[tuple, list[int]]:
    """The sample's holdings by CUSIP and put/call, its rows added up."""
    from lxml import etree

    ns = f"{{{NS1}}}"
    held: dict[tuple, list[int]] = {}
    for entry in etree.parse(str(path)).getroot().iter(f"{ns}infoTable"):
        key = (entry.findtext(f"{ns}cusip").upper(), entry.findtext(f"{ns}putCall"))
        amounts = held.setdefault(key, [0, 0])
        amounts[0] += int(entry.findtext(f"{ns}shrsOrPrnAmt/{ns}sshPrnamt"))
        amounts[1] += int(entry.findtext(f"{ns}value"))
    return held


@pytest.mark.parametrize("sample", SAMPLES)
def test_real_tables_of_every_shape_are_read_whole(tmp_path, sample):
    path = EDGAR / "samples" / sample
    if not path.exists():
        pytest.skip("the EDGAR reference files are not beside the repository")
    workdir = make_workdir(tmp_path / "work")
    prepare_quiet_import(workdir)
    (workdir / "Data" / "Previous.xml").write_bytes(path.read_bytes())
    run_quarter(workdir).check()
    rows = changes_sheet(workdir)[1:]
    rows = rows[:rows.index((None,) * len(HEADINGS))]
    closed = {(row[0], row[1]): [row[4], row[7]] for row in rows if row[10] == "CLOSED"}
    assert closed == sample_holdings(path)
    assert [row[0] for row in rows if row[10] == "NEW"] == [QUIET_CUSIP]


# -- the manager's filings on EDGAR -----------------------------------------

CIK = 1234567
ORIGINAL = Filing("0001234567-26-000012", "13F-HR", "2026-06-30", "2026-08-10", ns1_table([
    ("APPLE INC", "037833100", 20000, 100),
    ("MICROSOFT CORP", "594918104", 20000, 50),
    ("AT&amp;T INC", "00206R102", 4000, 200),
]))
RESTATED = Filing("0001234567-26-000020", "13F-HR/A", "2026-06-30", "2026-09-01", ns1_table([
    ("APPLE INC", "037833100", 18000, 90),
    ("MICROSOFT CORP", "594918104", 15000, 40),
    ("AT&amp;T INC", "00206R102", 3800, 200),
    ("TESLA INC", "88160R101", 2000, 10),
]), amendment_type="RESTATEMENT", table_name="form13fInfoTable.xml")
ADDED = Filing("0001234567-26-000031", "13F-HR/A", "2026-06-30", "2026-11-14", ns1_table([
    ("META PLATFORMS INC", "30303M102", 2500, 5),
]), amendment_type="NEW HOLDINGS", table_name="52311.xml")
# A quarter before, which the run must leave alone.
EARLIER = Filing("0001234567-26-000004", "13F-HR", "2026-03-31", "2026-05-12", ns1_table([
    ("APPLE INC", "037833100", 1, 1),
]))


@pytest.fixture
def fetched(services, base_workdir):
    with SecServer() as data:
        edgar = EdgarFilings(services.sec, data, CIK)
        for filing in (EARLIER, ORIGINAL, RESTATED, ADDED):
            edgar.add(filing)
        write_filer(base_workdir / "Data" / "Filer.xlsx", CIK)
        services.sec.clear_requests()
        run = run_host(base_workdir, "import Tavrin\n", env=dict(
            services.env, TAVRIN_SEC_DATA_URL=data.base_url, TAVRIN_PERIOD="2026Q3"))
        yield run.check(), base_workdir, services.sec.requests, data.requests


def test_the_filing_is_found_by_cik_and_its_amendments_applied(fetched):
    run, _, _, _ = fetched
    assert run.stdout.splitlines()[-2:] == [
        "Against the 2026 Q2 table (EDGAR 13F-HR 0001234567-26-000012 with 13F-HR/A RESTATEMENT "
        "0001234567-26-000020, 13F-HR/A NEW HOLDINGS 0001234567-26-000031, kept as "
        "Store/Previous.xml): 0 new, 2 closed, 1 increased, 0 decreased, 2 unchanged; "
        "0 to look at twice",
        "Value totals: $41,300 in the 2026 Q2 table, $45,000 in this quarter's",
    ]


def test_what_was_fetched_is_stored_with_its_accession_numbers(fetched, information_table_schema):
    _, workdir, _, _ = fetched
    stored = workdir / "Store" / "Previous.xml"
    assert schema_errors(information_table_schema, stored) == []
    from lxml import etree
    tree = etree.parse(str(stored))
    comment = tree.getroot().getprevious()
    assert all(filing.accession in comment.text for filing in (ORIGINAL, RESTATED, ADDED))
    assert EARLIER.accession not in comment.text
    cusips = [e.findtext(f"{{{NS1}}}cusip") for e in tree.getroot()]
    assert cusips == ["037833100", "594918104", "00206R102", "88160R101", "30303M102"]


def test_the_sec_is_asked_for_the_index_and_the_quarters_folders_only(fetched):
    _, _, www, data = fetched
    assert [r.path for r in data] == [f"/submissions/CIK{CIK:010d}.json"]
    folders = [f"/Archives/edgar/data/{CIK}/{f.accession.replace('-', '')}/"
               for f in (ORIGINAL, RESTATED, ADDED)]
    assert [r.path for r in www if r.path.startswith("/Archives")] == [
        folders[0] + "index.json", folders[0] + "infotable.xml",
        folders[1] + "primary_doc.xml", folders[1] + "index.json",
        folders[1] + "form13fInfoTable.xml",
        folders[2] + "primary_doc.xml", folders[2] + "index.json", folders[2] + "52311.xml"]
    assert {r.header("User-Agent") for r in [*data, *www]} == {"Tavrin Tests tests@example.com"}


def test_the_stand_ins_primary_documents_are_ones_edgar_accepts():
    from lxml import etree
    from scenario import EDGAR
    from standins.edgar_filings import primary_document

    xsd = EDGAR / "xsd" / "eis_13F_Filer.xsd"
    if not xsd.exists():
        pytest.skip("the EDGAR reference files are not beside the repository")
    schema = etree.XMLSchema(etree.parse(str(xsd)))
    for filing in (ORIGINAL, RESTATED, ADDED):
        assert schema.validate(etree.fromstring(primary_document(CIK, "A&B LLC", filing))), \
            schema.error_log


# -- a previous table that cannot be read -----------------------------------

@pytest.mark.parametrize("content, problem", [
    (b"<html><body>13F-HR filing detail", "is not XML ("),
    (b'<?xml version="1.0"?><edgarSubmission xmlns="http://www.sec.gov/edgar/thirteenffiler"/>',
     "is another document: its root element is edgarSubmission (namespace "
     "http://www.sec.gov/edgar/thirteenffiler)"),
    (ns1_table([("APPLE INC", "037833100", "20,000", 100)]),
     "breaks EDGAR's information-table schema in 1 place; the first, at line 7: Element "
     f"'{{{NS1}}}value': '20,000' is not a valid value"),
], ids=["not XML", "another document", "schema error"])
def test_an_unreadable_previous_table_is_a_warning_and_the_quarter_is_written(
        tmp_path, content, problem):
    workdir = make_workdir(tmp_path / "work")
    prepare_inputs(workdir, HOLDINGS[:2], LISTED[:2])
    previous = workdir / "Data" / "Previous.xml"
    previous.write_bytes(content)
    run = run_quarter(workdir).check()
    warning = run.stdout.splitlines()[-1]
    assert warning.startswith(f"Not compared with the 2026 Q2 table: The information-table "
                              f"document {previous} ")
    assert problem in warning
    assert warning.endswith("This quarter's table and review are written all the same.")
    assert (workdir / "Results" / "F13Results.xml").exists()
    book = openpyxl.load_workbook(workdir / "Results" / "F13Review.xlsx")
    assert book.sheetnames == ["Reported", "Not reported", "Rows not read"]


def test_without_a_previous_table_or_cik_one_line_says_how_to_give_it(tmp_path):
    workdir = make_workdir(tmp_path / "work")
    prepare_inputs(workdir, HOLDINGS[:1], LISTED[:1])
    run = run_quarter(workdir).check()
    assert run.stdout.splitlines()[-1] == (
        "No previous quarter to compare with: put the 2026 Q2 information table in "
        "Data/Previous.xml, or the manager's CIK in Data/Filer.xlsx (sheet \"Manager\", field "
        "\"CIK\") to have it fetched from EDGAR.")


@pytest.mark.parametrize("index, problem", [
    ("missing", "The SEC answered 404 for {data}/submissions/CIK0001234567.json instead of the "
                "submissions index. EDGAR knows no filer with the CIK 0001234567: correct the CIK "
                "in Data/Filer.xlsx"),
    ("server_error", "The SEC answered 503 for {data}/submissions/CIK0001234567.json instead of "
                     "the submissions index. The SEC's server failed; try again later."),
])
def test_a_failed_fetch_is_a_warning_and_the_quarter_is_written(services, base_workdir, index,
                                                                problem):
    write_filer(base_workdir / "Data" / "Filer.xlsx", "0001234567")
    with SecServer() as data:
        if index == "server_error":
            EdgarFilings(services.sec, data, CIK).add(ORIGINAL)
            data.mode = "server_error"
        run = run_host(base_workdir, "import Tavrin\n", env=dict(
            services.env, TAVRIN_SEC_DATA_URL=data.base_url, TAVRIN_PERIOD="2026Q3")).check()
        expected = problem.format(data=data.base_url)
    assert run.stdout.splitlines()[-1].startswith(
        "Not compared with the 2026 Q2 table: " + expected)
    assert (base_workdir / "Results" / "F13Review.xlsx").exists()
    assert not (base_workdir / "Store" / "Previous.xml").exists()
