"""The manager's own facts from Data/Filer.xlsx: a whole run whose filing
has SOLE and OTR parts with other managers, Sole voting, a principal
amount and a call, every field followed into the document and the review;
and the workbook's errors, each stopping the run with nothing written."""
from __future__ import annotations

import datetime

import openpyxl
import pytest

from report_inputs import schema_errors
from scenario import host_environment, make_workdir, run_host
from standins.filer_workbook import HOLDINGS_HEADINGS, write_filer
from standins.openfigi_server import OpenFigiServer, matches_for
from standins.sec_server import SecServer
from standins.seclist_pdf import ListRow, cusip_check_digit, list_pdf_bytes
from standins.workbooks import Holding, write_portfolio, write_removal

NS = "{http://www.sec.gov/edgar/document/thirteenf/informationtable}"
APPLE, MICROSOFT, TESLA, JPM = "037833100", "594918104", "88160R101", "46625H100"
NOTE = "98765F10" + cusip_check_digit("98765F10")
DBCV = "98765F20" + cusip_check_digit("98765F20")
DEBT_NOTE = "debt title filed as shares: principal amounts are PRN; say so on Filer.xlsx"

LIST = [
    ListRow(APPLE, True, "APPLE INC", "COM"),
    ListRow(MICROSOFT, False, "MICROSOFT CORP", "COM"),
    ListRow(TESLA, True, "TESLA INC", "COM"),
    ListRow(NOTE, False, "ACME CORP", "NOTE 1.250% 3/0"),
    ListRow(DBCV, False, "ACME CORP", "DBCV 2.000% 6/1"),
]
PORTFOLIO = [
    Holding(NOTE, "ACME CORP CONV NOTE", 500000, 520000.0),
    Holding(DBCV, "ACME CORP DBCV", 200000, 210000.0),
    Holding(APPLE, "APPLE INC COM", 100, 25000.0),
    Holding(MICROSOFT, "MICROSOFT CORP COM", 40, 16000.0),
    Holding(TESLA, "TESLA INC COM", 10, 2000.0),
]
REMOVALS = [(TESLA, "TESLA INC", 10, 2000.0)]
FIGIS = {row.cusip: matches_for(row.cusip, name=row.issuer) for row in LIST}

MANAGER = {"Name": "Example Capital LLC", "Investment discretion": "SOLE",
           "Voting authority": "sole", "Favourite colour": "green"}
OTHER_MANAGERS = [[1, "Alpha Advisers LLC", "0001111111", "028-11111", None, None],
                  [2, "Beta Partners LP", "0002222222", "028-22222", None, None]]
HOLDINGS = [
    {"CUSIP": APPLE, "Investment discretion": "SOLE", "Shares or principal": 60, "Value": 15000},
    {"CUSIP": APPLE, "Investment discretion": "otr", "Other managers": "2, 1", "Sole": 10,
     "Shared": 20, "None": 10},
    {"CUSIP": APPLE, "Other managers": 1, "Shares or principal": 500, "Value": 1200,
     "Put/Call": "CALL"},
    {"CUSIP": NOTE, "Type": "prn"},
    {"CUSIP": TESLA, "Investment discretion": "DFND"},
    {"CUSIP": JPM, "Type": "SH"},
]


def entry(cusip, name, title, value, amount, kind, put_call, discretion, managers, sole,
          shared, none):
    return {"cusip": cusip, "nameOfIssuer": name, "titleOfClass": title, "value": value,
            "sshPrnamt": amount, "sshPrnamtType": kind, "putCall": put_call,
            "investmentDiscretion": discretion, "otherManager": managers, "Sole": sole,
            "Shared": shared, "None": none}


ENTRIES = [
    entry(NOTE, "ACME CORP", "NOTE 1.250% 3/0", 520000, 500000, "PRN", None, "SOLE", "0",
          500000, 0, 0),
    entry(DBCV, "ACME CORP", "DBCV 2.000% 6/1", 210000, 200000, "SH", None, "SOLE", "0",
          200000, 0, 0),
    entry(APPLE, "APPLE INC", "COM", 15000, 60, "SH", None, "SOLE", "0", 60, 0, 0),
    entry(APPLE, "APPLE INC", "COM", 10000, 40, "SH", None, "OTR", "2,1", 10, 20, 10),
    entry(APPLE, "APPLE INC", "COM", 1200, 500, "SH", "Call", "SOLE", "1", 500, 0, 0),
    entry(MICROSOFT, "MICROSOFT CORP", "COM", 16000, 40, "SH", None, "SOLE", "0", 40, 0, 0),
]


def prepare(workdir, **filer):
    write_portfolio(workdir / "Data" / "Portfolio.xlsx", PORTFOLIO)
    write_removal(workdir / "Data" / "Removal.xlsx", REMOVALS)
    sheets = dict(manager=MANAGER, other_managers=OTHER_MANAGERS, holdings=HOLDINGS)
    sheets.update(filer)
    write_filer(workdir / "Data" / "Filer.xlsx", **sheets)


def serve(body, workdir, asterisk_joined=False):
    def listed(year, quarter):
        return list_pdf_bytes(LIST, year, quarter, asterisk_joined=asterisk_joined)

    with SecServer(every_quarter=listed) as sec, \
            OpenFigiServer(FIGIS) as figi:
        env = host_environment(TAVRIN_SEC_BASE_URL=sec.base_url,
                               TAVRIN_OPENFIGI_BASE_URL=figi.base_url,
                               TAVRIN_USER_AGENT="Tavrin Tests tests@example.com")
        return run_host(workdir, body, env=env)


# The list draws the option asterisk in a column of its own, or (as the 2025
# Q4 list does) joined to the CUSIP; either marks Apple for its call.
@pytest.fixture(scope="module", params=[False, True], ids=["asterisk apart", "asterisk joined"])
def filed(tmp_path_factory, request):
    workdir = make_workdir(tmp_path_factory.mktemp("filer") / "work")
    prepare(workdir)
    return serve("import Tavrin\n", workdir, asterisk_joined=request.param).check(), workdir


def document_entries(path):
    from lxml import etree

    fields = ["cusip", "nameOfIssuer", "titleOfClass", "value", "shrsOrPrnAmt/{ns}sshPrnamt",
              "shrsOrPrnAmt/{ns}sshPrnamtType", "putCall", "investmentDiscretion",
              "otherManager", "votingAuthority/{ns}Sole", "votingAuthority/{ns}Shared",
              "votingAuthority/{ns}None"]
    numbers = {"value", "sshPrnamt", "Sole", "Shared", "None"}
    found = []
    for item in etree.parse(str(path)).getroot():
        row = {}
        for field in fields:
            value = item.findtext(NS + field.format(ns=NS))
            name = field.rsplit("}", 1)[-1]
            row[name] = int(value) if name in numbers else value
        found.append(row)
    return found


def test_every_fact_of_the_workbook_reaches_the_document(filed, information_table_schema):
    _, workdir = filed
    document = workdir / "Results" / "F13Results.xml"
    assert schema_errors(information_table_schema, document) == []
    assert document_entries(document) == ENTRIES


def test_the_review_shows_each_entry_and_points_at_the_debt_title_filed_as_shares(filed):
    _, workdir = filed
    book = openpyxl.load_workbook(workdir / "Results" / "F13Review.xlsx")
    rows = list(book["Reported"].iter_rows(values_only=True))
    assert rows[0] == ("CUSIP", "Issuer", "Title of class", "FIGI", "Value",
                       "Shares or principal", "Type", "Put/Call", "Investment discretion",
                       "Other managers", "Sole", "Shared", "None", "Note")
    shown = [(r[0], r[4], r[5], r[6], r[7], r[8], str(r[9]), r[10], r[11], r[12], r[13])
             for r in rows[1:]]
    assert shown == [(e["cusip"], e["value"], e["sshPrnamt"], e["sshPrnamtType"], e["putCall"],
                      e["investmentDiscretion"], e["otherManager"], e["Sole"], e["Shared"],
                      e["None"], DEBT_NOTE if e["cusip"] == DBCV else None) for e in ENTRIES]
    not_reported = list(book["Not reported"].iter_rows(values_only=True))[1:]
    assert [(r[0], r[4]) for r in not_reported] == [
        (TESLA, "on Filer.xlsx, but removed in full"),
        (JPM, "on Filer.xlsx, but not in the portfolio")]


def test_the_console_warns_of_unused_rows_and_unknown_fields_and_counts_entries(filed):
    run, workdir = filed
    filer = workdir / "Data" / "Filer.xlsx"
    lines = run.stdout.splitlines()
    assert (f'Filer workbook {filer}, sheet "Manager", row 5: the field \'Favourite colour\' is '
            "not one Tavrin reads, so it is ignored; check its spelling against the README's "
            "list of fields.") in lines
    assert (f'Filer workbook {filer}, sheet "Holdings", row 6: CUSIP {TESLA} is on Filer.xlsx, '
            "but removed in full, so the row is not used.") in lines
    assert (f'Filer workbook {filer}, sheet "Holdings", row 7: CUSIP {JPM} is on Filer.xlsx, '
            "but not in the portfolio, so the row is not used.") in lines
    assert "Information table entries: 6" in lines
    review = [line for line in lines if line.startswith("Review: ")]
    assert len(review) == 1 and review[0].startswith(
        "Review: 6 reported, 2 not reported (1 removed in full, 1 not in the portfolio), "
        "1 row not read in ")


def test_a_misspelt_sheet_is_named_and_its_holdings_take_the_defaults(tmp_path):
    workdir = make_workdir(tmp_path / "work")
    write_portfolio(workdir / "Data" / "Portfolio.xlsx", PORTFOLIO)
    write_removal(workdir / "Data" / "Removal.xlsx", REMOVALS)
    write_filer(workdir / "Data" / "Filer.xlsx", {"Voting authority": "Shared"}, None,
                [{"CUSIP": NOTE, "Type": "PRN"}], holdings_sheet="Holding")
    run = serve("import Tavrin\n", workdir).check()
    assert (f"Filer workbook {workdir / 'Data' / 'Filer.xlsx'}: the sheet 'Holding' is not one "
            "Tavrin reads, so it is ignored; the sheets read are \"Manager\", \"Other "
            "managers\", \"Holdings\" and \"Reporting managers\".") in run.stdout.splitlines()
    entries = document_entries(workdir / "Results" / "F13Results.xml")
    assert {(e["sshPrnamtType"], e["Shared"] == e["sshPrnamt"]) for e in entries} == {("SH", True)}


# --------------------------------------------------------------------------
# Errors: each case changes one sheet of the workbook above; the run stops
# and leaves Results as it was.

def with_row(changes, at=0):
    rows = [dict(row) for row in HOLDINGS]
    rows[at].update(changes)
    return rows


ERRORS = {
    "parts above the holding": (
        dict(holdings=with_row({"Shares or principal": 120})), "ValueError",
        f"the parts of CUSIP {APPLE} give 120 in \"Shares or principal\", but the reconciled "
        "holding is 100"),
    "parts below the holding": (
        dict(holdings=with_row({"Value": 1000}, at=1)), "ValueError",
        f"the parts of CUSIP {APPLE} give 16000 in \"Value\", but the reconciled holding is "
        "25000"),
    "two rows left blank": (
        dict(holdings=with_row({"Shares or principal": None})), "ValueError",
        "has \"Shares or principal\" blank on two rows"),
    "voting off the shares": (
        dict(holdings=with_row({"None": 11}, at=1)), "ValueError",
        "\"Sole\", \"Shared\" and \"None\" of CUSIP 037833100 add up to 41, but the entry has 40"),
    "unknown other manager": (
        dict(holdings=with_row({"Other managers": "1,3"}, at=1)), "ValueError",
        "names other manager 3, who is not on the sheet \"Other managers\""),
    "call without the asterisk": (
        dict(holdings=with_row({"CUSIP": MICROSOFT}, at=2)), "ValueError",
        f"the Call row's CUSIP {MICROSOFT} is on the list without the asterisk"),
    "call off the list": (
        dict(holdings=with_row({"CUSIP": JPM}, at=2)), "ValueError",
        f"the Call row's CUSIP {JPM} is not on the quarter's 13(f) list"),
    "call without its value": (
        dict(holdings=with_row({"Value": None}, at=2)), "ValueError",
        "row 4: a Call row gives the shares underlying the options"),
    "unknown discretion": (
        dict(holdings=with_row({"Investment discretion": "SHARED"})), "ValueError",
        "row 2, column \"Investment discretion\" holds 'SHARED'; it must be one of SOLE, DFND, "
        "OTR"),
    "unknown voting authority": (
        dict(manager={"Voting authority": "Partial"}), "ValueError",
        "sheet \"Manager\", row 2, column \"Value\" (\"Voting authority\") holds 'Partial'"),
    "amount as text": (
        dict(holdings=with_row({"Shares or principal": "60 shares"})), "ValueError",
        "column \"Shares or principal\" holds '60 shares'; it must be a whole number"),
    "logical value": (
        dict(holdings=with_row({"Type": True})), "TypeError",
        "row 2, column \"Type\": the cell holds the logical value TRUE"),
    "date": (
        dict(holdings=with_row({"Value": datetime.datetime(2026, 6, 30)})), "TypeError",
        "row 2, column \"Value\": the cell holds the date or time 2026-06-30"),
    "formula without its result": (
        dict(holdings=with_row({"Value": "=100*150"})), "TypeError",
        "row 2, column E (\"Value\"): the cell holds a formula whose result was never saved"),
    "missing heading": (
        dict(holdings_headings=HOLDINGS_HEADINGS[:-1]), "KeyError",
        "sheet \"Holdings\" has no heading \"Put/Call\" in row 1"),
}


@pytest.fixture(scope="module")
def failed(tmp_path_factory):
    """One host imports Tavrin on the workbook above, then runs every case in
    turn with the case's workbook in its place."""
    base = tmp_path_factory.mktemp("filer-errors")
    workdir = make_workdir(base / "work")
    prepare(workdir)
    for name, (sheets, _, _) in ERRORS.items():
        case = base / name.replace(" ", "-")
        case.mkdir()
        write_filer(case / "Filer.xlsx", **{**dict(manager=MANAGER, other_managers=OTHER_MANAGERS,
                                                   holdings=HOLDINGS), **sheets})
    body = f"""
    import hashlib, os, shutil
    base = {str(base)!r}
    def results():
        return {{name: hashlib.sha256(open(os.path.join("Results", name), "rb").read()).hexdigest()
                for name in sorted(os.listdir("Results"))}}
    import Tavrin
    before = results()
    outcome = {{}}
    for name in {list(ERRORS)!r}:
        shutil.copy(os.path.join(base, name.replace(" ", "-"), "Filer.xlsx"), "Data/Filer.xlsx")
        try:
            Tavrin.cruncher()
            outcome[name] = ["no error", "", False]
        except Exception as error:
            outcome[name] = [type(error).__name__, str(error), results() == before]
    emit(outcome)
    """
    return serve(body, workdir).check().result()


@pytest.mark.parametrize("case", list(ERRORS))
def test_a_workbook_error_stops_the_run_and_writes_nothing(failed, case):
    _, kind, words = ERRORS[case]
    raised, message, results_kept = failed[case]
    assert raised == kind
    assert words in message
    assert message.startswith("Filer workbook ") or message.startswith("'Filer workbook ")
    assert results_kept
