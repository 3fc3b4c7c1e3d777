"""The whole Form 13F: Results/F13Submission.xml, the submission EDGAR takes,
and Results/F13Form.html, the page the signer reads, from Data/Filer.xlsx.

Each report kind runs the whole pipeline once, in a fresh `import Tavrin`
against the stand-in servers, with an access code made up for the test."""
from __future__ import annotations

import base64
import secrets
import stat
import string
import sys

import pytest

from standins.edgar_filings import EdgarFilings, Filing
from standins.sec_server import SecServer
from lxml import etree

from scenario import EDGAR, run_host
from standins.filer_workbook import EXAMPLE_MANAGER, write_filer

FILER = "{http://www.sec.gov/edgar/thirteenffiler}"
TABLE = "{http://www.sec.gov/edgar/document/thirteenf/informationtable}"
NAMES = {"f": FILER[1:-1]}
# The base inputs after the removal list: CUSIP -> value reported.
BASE_VALUES = {"037833100": 25000, "594918104": 16000, "00206R102": 4000}
OTHER_MANAGERS = [
    {"Number": 1, "Name": "Example Sub-Adviser LP", "CIK": 7654321, "Form 13F file number": "028-54321"},
    {"Number": 2, "Name": "Second Example Adviser Inc"},
]
REPORTING_MANAGERS = [{"Form 13F file number": "028-99999", "CIK": 5555555, "Name": "Parent Example Bank NA"}]
ORIGINAL_TABLE = f"""<?xml version="1.0" encoding="UTF-8"?>
<informationTable xmlns="{TABLE[1:-1]}">
<infoTable><nameOfIssuer>APPLE INC</nameOfIssuer><titleOfClass>COM</titleOfClass>
<cusip>037833100</cusip><value>25000</value><shrsOrPrnAmt><sshPrnamt>100</sshPrnamt>
<sshPrnamtType>SH</sshPrnamtType></shrsOrPrnAmt><investmentDiscretion>SOLE</investmentDiscretion>
<votingAuthority><Sole>0</Sole><Shared>0</Shared><None>100</None></votingAuthority></infoTable>
</informationTable>
"""


def fake_access_code() -> str:
    """Eight characters in the form EDGAR issues (a digit and one of @ # $ *),
    drawn afresh for each test so that no code is ever committed."""
    draw = secrets.SystemRandom()
    characters = [draw.choice(string.ascii_letters) for _ in range(6)]
    characters += [draw.choice(string.digits), draw.choice("@#$*")]
    draw.shuffle(characters)
    return "".join(characters)


@pytest.fixture(scope="session")
def submission_schema():
    xsd = EDGAR / "xsd" / "eis_13F_Filer.xsd"
    if not xsd.exists():
        pytest.skip("the EDGAR reference files are not beside the repository")
    return etree.XMLSchema(etree.parse(str(xsd)))


# Report kind -> the Manager fields it changes, its sheets, the submission
# type and the CUSIPs its attached table holds (None: no table).
KINDS = {
    "holdings": ({"Name": "Harbor & Growth <Advisers> LLC", "ZIP code": 2110}, {"other_managers": OTHER_MANAGERS},
                 "13F-HR", list(BASE_VALUES)),
    "notice": ({"Report type": "13F NOTICE"}, {"reporting_managers": REPORTING_MANAGERS},
               "13F-NT", None),
    "combination": ({"Report type": "13F COMBINATION REPORT"},
                    {"reporting_managers": REPORTING_MANAGERS, "other_managers": OTHER_MANAGERS[:1]},
                    "13F-HR", list(BASE_VALUES)),
    "restatement": ({"Amendment number": 1, "Amendment type": "RESTATEMENT"}, {},
                    "13F-HR/A", list(BASE_VALUES)),
    "new holdings": ({"Amendment number": 2, "Amendment type": "NEW HOLDINGS"}, {},
                     "13F-HR/A", ["594918104", "00206R102"]),
    # The same amendment without Data/Original.xml: the original is fetched
    # from EDGAR by the manager's CIK.
    "new holdings by CIK": ({"Amendment number": 2, "Amendment type": "NEW HOLDINGS"}, {},
                            "13F-HR/A", ["594918104", "00206R102"]),
}


def run_quarter(folder, services, manager, sheets=None, **variables):
    write_filer(folder / "Data" / "Filer.xlsx", manager, **(sheets or {}))
    env = dict(services.env, TAVRIN_PERIOD="2026Q2", **variables)
    env = {name: value for name, value in env.items() if value is not None}
    return run_host(folder, "import Tavrin\n", env=env).check()


def entries(table_bytes: bytes) -> dict[str, int]:
    root = etree.fromstring(table_bytes)
    return {entry.findtext(TABLE + "cusip"): int(entry.findtext(TABLE + "value"))
            for entry in root.iter(TABLE + "infoTable")}


@pytest.fixture(scope="module", params=list(KINDS))
def kind_run(request, tmp_path_factory):
    from scenario import make_workdir, stand_in_sites, host_environment, write_base_inputs
    from types import SimpleNamespace

    changes, sheets, _, _ = KINDS[request.param]
    folder = make_workdir(tmp_path_factory.mktemp("kind") / "work")
    write_base_inputs(folder)
    if request.param == "new holdings":
        (folder / "Data" / "Original.xml").write_text(ORIGINAL_TABLE)
    ccc = fake_access_code()
    with stand_in_sites() as (sec, figi), SecServer() as data:
        if request.param == "new holdings by CIK":
            EdgarFilings(sec, data, EXAMPLE_MANAGER["CIK"]).add(Filing(
                "0001234567-26-000012", "13F-HR", "2026-06-30", "2026-08-10",
                ORIGINAL_TABLE.encode()))
        services = SimpleNamespace(env=host_environment(
            TAVRIN_SEC_BASE_URL=sec.base_url, TAVRIN_OPENFIGI_BASE_URL=figi.base_url,
            TAVRIN_SEC_DATA_URL=data.base_url))
        run = run_quarter(folder, services, {**EXAMPLE_MANAGER, **changes}, sheets,
                          TAVRIN_EDGAR_CCC=ccc)
    if request.param == "new holdings by CIK":
        assert ("NEW HOLDINGS amendment: the quarter's filing on EDGAR (13F-HR "
                "0001234567-26-000012) has 1 entries; only the others are filed.") in run.stdout
    return request.param, run, ccc


def test_each_report_kind_makes_a_submission_edgar_accepts(kind_run, submission_schema,
                                                          information_table_schema):
    kind, run, ccc = kind_run
    _, sheets, submission_type, cusips = KINDS[kind]
    path = run.folder / "Results" / "F13Submission.xml"
    root = etree.parse(str(path)).getroot()
    assert submission_schema.validate(root), submission_schema.error_log
    assert root.find(FILER + "schemaVersion") is None
    assert root.findtext("f:headerData/f:submissionType", namespaces=NAMES) == submission_type
    assert root.findtext("f:headerData/f:filerInfo/f:liveTestFlag", namespaces=NAMES) == "TEST"
    assert root.findtext("f:headerData/f:filerInfo/f:periodOfReport", namespaces=NAMES) == "06-30-2026"
    assert root.findtext("f:headerData/f:filerInfo/f:filer/f:credentials/f:ccc", namespaces=NAMES) == ccc
    cover = root.find("f:formData/f:coverPage", namespaces=NAMES)
    # Numbers as Excel keeps them get their leading zeros back; text keeps its "&" and "<".
    assert cover.findtext(FILER + "crdNumber") == "000123456"
    zip_code = cover.findtext("f:filingManager/f:address/{http://www.sec.gov/edgar/common}zipCode", namespaces=NAMES)
    assert zip_code == ("02110" if kind == "holdings" else "10017")
    assert cover.findtext("f:filingManager/f:name", namespaces=NAMES) == {**EXAMPLE_MANAGER, **KINDS[kind][0]}["Name"]
    reporting = root.findall("f:formData/f:coverPage/f:otherManagersInfo/f:otherManager/f:name", namespaces=NAMES)
    assert [name.text for name in reporting] == [m["Name"] for m in sheets.get("reporting_managers", [])]
    summary = root.find("f:formData/f:summaryPage", namespaces=NAMES)
    contents = root.findtext("f:documents/f:document/f:contents", namespaces=NAMES)
    if cusips is None:
        assert summary is None and contents is None
        return
    table = base64.b64decode(contents)
    assert information_table_schema.validate(etree.fromstring(table))
    values = entries(table)
    assert list(values) == sorted(cusips, key=list(BASE_VALUES).index) or set(values) == set(cusips)
    assert values == {cusip: BASE_VALUES[cusip] for cusip in cusips}
    if not kind.startswith("new holdings"):
        assert table == (run.folder / "Results" / "F13Results.xml").read_bytes()
    assert summary.findtext(FILER + "tableEntryTotal") == str(len(cusips))
    assert summary.findtext(FILER + "tableValueTotal") == str(sum(values.values()))
    others = sheets.get("other_managers", [])
    assert summary.findtext(FILER + "otherIncludedManagersCount") == str(len(others))
    assert root.findtext("f:documents/f:document/f:conformedName", namespaces=NAMES) == "f13results.xml"


def test_the_console_says_test_and_what_it_means(kind_run):
    kind, run, _ = kind_run
    path = run.folder / "Results" / "F13Submission.xml"
    line = next(line for line in run.stdout.splitlines() if line.startswith("EDGAR submission written"))
    assert str(path) in line and KINDS[kind][2] in line
    assert "TEST: EDGAR checks a TEST submission as it would a live filing and files nothing" in line


def test_the_form_page_is_escaped_and_self_contained(kind_run):
    kind, run, _ = kind_run
    page = (run.folder / "Results" / "F13Form.html").read_text(encoding="utf-8")
    assert "<script" not in page.lower() and "src=" not in page and "href=" not in page
    assert "Signature block" in page and "Jane Example" in page
    if kind == "holdings":
        assert "Harbor &amp; Growth &lt;Advisers&gt; LLC" in page
        assert "Example Sub-Adviser LP" in page and "$45,000" in page
    assert ("Information table" in page) == (kind != "notice")


@pytest.mark.skipif(sys.platform == "win32", reason="POSIX permissions")
def test_the_access_code_is_in_the_submission_and_nowhere_else(kind_run):
    _, run, ccc = kind_run
    holding = [path for path in run.folder.rglob("*") if path.is_file() and ccc.encode() in path.read_bytes()]
    assert holding == [run.folder / "Results" / "F13Submission.xml"]
    assert ccc not in run.stdout and ccc not in run.stderr
    mode = stat.S_IMODE((run.folder / "Results" / "F13Submission.xml").stat().st_mode)
    assert mode == 0o600


def test_live_is_filed_only_when_asked_for(base_workdir, services):
    run = run_quarter(base_workdir, services, EXAMPLE_MANAGER, TAVRIN_EDGAR_CCC=fake_access_code(),
                      TAVRIN_EDGAR_SUBMISSION="LIVE")
    root = etree.parse(str(base_workdir / "Results" / "F13Submission.xml")).getroot()
    assert root.findtext("f:headerData/f:filerInfo/f:liveTestFlag", namespaces=NAMES) == "LIVE"
    assert "LIVE: EDGAR files it once it accepts it" in run.stdout


def test_without_the_access_code_no_submission_is_written(base_workdir, services):
    earlier = base_workdir / "Results" / "F13Submission.xml"
    earlier.write_text("<edgarSubmission/>")  # an earlier run's, with an earlier table
    run = run_quarter(base_workdir, services, EXAMPLE_MANAGER, TAVRIN_EDGAR_CCC=None)
    assert not earlier.exists()
    assert "No EDGAR submission written: TAVRIN_EDGAR_CCC" in run.stdout
    for name in ("F13Results.xml", "F13Review.xlsx", "F13Form.html"):
        assert (base_workdir / "Results" / name).exists()


@pytest.mark.parametrize("changes, named", [
    ({"City": None, "Signature title": None},
     ['field "City": is blank', 'field "Signature title": is blank']),
    ({"State or country": "ZZ", "CRD number": "12-34"},
     ["eis_13F_Filer.xsd refuses", 'field "State or country": holds "ZZ"; stateOrCountry must be',
      'field "CRD number": holds "12-34"; crdNumber must be 9 digits']),
    ({"Amendment number": 1}, ['field "Amendment type": is blank', "needs both"]),
    ({"Report type": "13F NOTICE"}, ['sheet "Reporting managers"']),
    ({"Contact phone": None}, ['field "Contact phone": is blank']),
    ({"Report type": "13F NOTICE", "Amendment number": 1, "Amendment type": "NEW HOLDINGS"},
     ['field "Amendment type": is NEW HOLDINGS, but a 13F NOTICE holds no entries']),
    ({"Confidential information omitted": "Maybe"},
     ['field "Confidential information omitted": holds "Maybe"; enter Yes or No']),
    ({"Report type": "13F HOLDINGS", "Amendment number": 100, "Amendment type": "RESTATE"},
     ['holds "13F HOLDINGS"', 'field "Amendment number": holds "100"', 'holds "RESTATE"']),
    ({"Notification e-mail": "a@example.com, b@example.com; c@example.com d@example.com"},
     ['field "Notification e-mail": lists 4 addresses; EDGAR takes at most 3']),
    ({"Contact e-mail": "compliance at example.com"},
     ['field "Contact e-mail": holds "compliance at example.com"; contactEmailAddress must be']),
])
def test_a_cover_page_edgar_would_refuse_is_named_cell_by_cell(base_workdir, services, changes, named):
    write_filer(base_workdir / "Data" / "Filer.xlsx", {**EXAMPLE_MANAGER, **changes})
    message = refusal(base_workdir, services, "ValueError")
    assert "Filer.xlsx" in message
    for words in named:
        assert words in message
    assert not (base_workdir / "Results" / "F13Submission.xml").exists()


def refusal(folder, services, kind, sheets=None, **variables) -> str:
    """The message of the `kind` error the run stops with."""
    variables.setdefault("TAVRIN_EDGAR_CCC", fake_access_code())
    env = dict(services.env, TAVRIN_PERIOD="2026Q2", **variables)
    run = run_host(folder, f"""
try:
    import Tavrin
    emit({{"raised": None}})
except {kind} as error:
    emit({{"raised": str(error)}})
""", env=env).check()
    message = run.result()["raised"]
    assert message, run.stdout
    return message


@pytest.mark.parametrize("sheets, named", [
    ({"reporting_managers": REPORTING_MANAGERS},
     ['is 13F HOLDINGS REPORT, but sheet "Reporting managers" lists 1 manager(s)']),
    ({"other_managers": [{"Number": 1, "Name": "A LP"}, {"Number": 1, "Name": "B LP"}]},
     ['sheet "Other managers", row 3, column "Number" repeats the number 1']),
    ({"other_managers": [{"Name": "A LP"}]},
     ['sheet "Other managers", row 2, column "Number" is blank; number the other managers']),
])
def test_a_manager_list_edgar_would_refuse_is_named_row_by_row(base_workdir, services, sheets, named):
    write_filer(base_workdir / "Data" / "Filer.xlsx", EXAMPLE_MANAGER, **sheets)
    message = refusal(base_workdir, services, "ValueError")
    for words in named:
        assert words in message


def test_a_mode_other_than_live_or_test_is_refused(base_workdir, services):
    write_filer(base_workdir / "Data" / "Filer.xlsx", EXAMPLE_MANAGER)
    message = refusal(base_workdir, services, "ValueError", TAVRIN_EDGAR_SUBMISSION="live")
    assert 'TAVRIN_EDGAR_SUBMISSION must be LIVE to file the submission' in message and '"live"' in message


def test_a_new_holdings_amendment_needs_the_original_table(base_workdir, services):
    # No Data/Original.xml, and EDGAR out of reach for the fetch by CIK.
    write_filer(base_workdir / "Data" / "Filer.xlsx",
                {**EXAMPLE_MANAGER, "Amendment number": 1, "Amendment type": "NEW HOLDINGS"})
    message = refusal(base_workdir, services, "ValueError")
    assert "could not be fetched from EDGAR by the CIK 1234567" in message
    assert "as Data/Original.xml and run again; nothing was written." in message


def test_a_new_holdings_amendment_with_nothing_new_is_not_filed(base_workdir, services):
    results = base_workdir / "Results"
    run_quarter(base_workdir, services, EXAMPLE_MANAGER, TAVRIN_EDGAR_CCC=fake_access_code())
    # The original holds every entry of this quarter's table.
    (base_workdir / "Data" / "Original.xml").write_bytes((results / "F13Results.xml").read_bytes())
    run = run_quarter(base_workdir, services,
                      {**EXAMPLE_MANAGER, "Amendment number": 1, "Amendment type": "NEW HOLDINGS"},
                      TAVRIN_EDGAR_CCC=fake_access_code())
    assert "No EDGAR submission written: every entry of this run's table is already in the original" in run.stdout
    assert not (results / "F13Submission.xml").exists() and not (results / "F13Form.html").exists()


def test_clearing_the_report_type_removes_the_earlier_submission(base_workdir, services):
    results = base_workdir / "Results"
    run_quarter(base_workdir, services, EXAMPLE_MANAGER, TAVRIN_EDGAR_CCC=fake_access_code())
    assert (results / "F13Submission.xml").exists()
    run = run_quarter(base_workdir, services, {**EXAMPLE_MANAGER, "Report type": None},
                      TAVRIN_EDGAR_CCC=fake_access_code())
    assert f"Removed {results / 'F13Submission.xml'}: it held an earlier run's table" in run.stdout
    assert not (results / "F13Submission.xml").exists() and not (results / "F13Form.html").exists()
    assert (results / "F13Results.xml").exists()


@pytest.mark.parametrize("code", ["short1#", "abcdefg#", "abcdefg1", "abc 1#fg", "abcé1#f"])
def test_an_access_code_out_of_form_is_refused_without_showing_it(base_workdir, services, code):
    write_filer(base_workdir / "Data" / "Filer.xlsx", EXAMPLE_MANAGER)
    env = dict(services.env, TAVRIN_PERIOD="2026Q2", TAVRIN_EDGAR_CCC=code)
    run = run_host(base_workdir, """
try:
    import Tavrin
except ValueError as error:
    emit({"raised": str(error)})
""", env=env).check()
    message = run.result()["raised"]
    assert "TAVRIN_EDGAR_CCC must hold the EDGAR access code" in message
    assert code not in message and code not in run.stdout
