"""The review workbook: a whole run over a custodian-style portfolio with one
holding for each way of not being reported, CUSIPs as custodians type them
(blanks, zero-width spaces, fullwidth digits, a Cyrillic look-alike letter),
lots whose column C is merged, a listed option, a stray lot with column C
empty, a row without its CUSIP, the totals row, a blank removal amount on a
holding that goes anyway, and removals that take a holding off in full or
leave its quantity and value disagreeing."""
from __future__ import annotations

import openpyxl
import pytest

from report_inputs import LIST_STAND_INS, prepare_inputs, schema_errors
from scenario import host_environment, make_workdir, run_host
from standins.openfigi_server import OpenFigiServer, matches_for
from standins.seclist_pdf import cusip_check_digit
from standins.workbooks import ROW2_HEADINGS, SECOND_HEADINGS, Holding, totals_row

NAMESPACE = "{http://www.sec.gov/edgar/document/thirteenf/informationtable}"
OPTION_NOTE = "option row of the list: filed as shares under the list's number; check before filing"
SCIENTIFIC = 7.8462e111  # what Excel made of "78462E107"
NOT_LISTED = "17275R10" + cusip_check_digit("17275R10")
WRONG_CHECK_DIGIT = NOT_LISTED[:8] + str((int(NOT_LISTED[8]) + 1) % 10)


def with_check_digit(first_eight):
    return first_eight + cusip_check_digit(first_eight)


WALMART, IBM = with_check_digit("93114210"), with_check_digit("45920010")
PFIZER, COCA_COLA = with_check_digit("71708110"), with_check_digit("19121610")
FULLWIDTH_IBM = "".join(chr(ord(c) + 0xFEE0) for c in IBM)  # "４５９..."
CYRILLIC_ATT = "00206\u0420102"  # Р (U+0420) where the R belongs

LISTED = [
    ("037833100", "APPLE INC", "COM"),
    ("037833900", "APPLE INC", "CALL"),
    ("00206R102", "AT&T INC", "COM"),
    ("594918104", "MICROSOFT CORP", "COM"),
    ("88160R101", "TESLA INC", "COM"),
    ("023135106", "AMAZON COM INC", "COM"),
    ("30303M102", "META PLATFORMS INC", "CL A"),
    ("46625H100", "JPMORGAN CHASE & CO", "COM"),
    (WALMART, "WALMART INC", "COM"),
    (IBM, "INTERNATIONAL BUSINESS MACHS", "COM"),
    (PFIZER, "PFIZER INC", "COM"),
    (COCA_COLA, "COCA COLA CO", "COM"),
]

# Sheet rows from 5 on; rows 6 and 7 are further lots of row 5, column C
# merged over the three.
HOLDINGS = [
    Holding("037833100", "APPLE INC COM", 60, 6000.0),
    Holding("037833100", None, 30, 3000.0),
    Holding("037833100", None, 10, 1000.0),
    Holding("037833900", "APPLE INC CALL", 5, 500.0),
    Holding("\u00a000206R102", "AT&T INC COM", 300, 6000.0),
    Holding("594918\t104", "MICROSOFT CORP COM", 40, 16000.0),
    Holding("594918104", None, 7, 2800.0),  # column C empty, not merged: not read
    Holding("88160r101", "TESLA INC COM", 10, 2000.0),
    Holding("023135106", "AMAZON COM INC", 20, 3000.0),
    Holding("30303M102", "META PLATFORMS CL A", 0.4, 100.0),
    Holding("46625H100", "ADR", 10, 1000.0),  # sheet row 15
    Holding(NOT_LISTED, "CISCO SYSTEMS INC", 3, 150.0),
    Holding(WRONG_CHECK_DIGIT, "CISCO MISTYPED", 2, 100.0),
    Holding(SCIENTIFIC, "SPDR S&P 500 ETF", 1, 500.0),
    Holding(WALMART[:6] + "\u200b" + WALMART[6:], "WALMART INC COM", 8, 800.0),
    Holding(FULLWIDTH_IBM, "IBM CORP COM", 4, 400.0),
    Holding(CYRILLIC_ATT, "AT&T INC LOOKALIKE", 9, 90.0),
    Holding(PFIZER, "PFIZER INC COM", 50, 2000.0),
    Holding(COCA_COLA, "COCA COLA CO COM", 100, 25000.0),
    Holding(None, "UNLISTED BOND", 5, 500.0),  # sheet row 24: no CUSIP
    Holding("#N/A", "LOOKUP FAILED", 6, 600.0),  # sheet row 25: an error value for the CUSIP
]  # then a blank line (row 26) and the totals row (row 27)
REMOVALS = [
    ("023135106", "AMAZON COM INC", 20, None),  # the whole quantity, value left blank
    (PFIZER, "PFIZER INC", 50, 2000.0),  # the whole holding
    (COCA_COLA, "COCA COLA CO", 10, 30000.0),  # 90 shares left, the value gone
]

FIGIS = {c: matches_for(c) for c in ("037833100", "00206R102", "594918104", "88160R101")}


def figi(cusip):
    return FIGIS[cusip][0]["figi"] if cusip in FIGIS else None


REPORTED = [
    ("037833100", "APPLE INC", "COM", figi("037833100"), 10000, 100, None),
    ("037833900", "APPLE INC", "CALL", None, 500, 5, OPTION_NOTE),
    ("00206R102", "AT&T INC", "COM", figi("00206R102"), 6000, 300, None),
    (IBM, "INTERNATIONAL BUSINESS MACHS", "COM", None, 400, 4, None),
    ("594918104", "MICROSOFT CORP", "COM", figi("594918104"), 16000, 40, None),
    ("88160R101", "TESLA INC", "COM", figi("88160R101"), 2000, 10, None),
    (WALMART, "WALMART INC", "COM", None, 800, 8, None),
]  # the document's order: by issuer name
SHORT_ENOUGH = ("column C of row 15 reads 'ADR': the row is read as a holding only when "
                "column C has more than five characters")
NOT_REPORTED = [
    ("023135106", "AMAZON COM INC", 20, 3000, "removed in full"),
    ("30303M102", "META PLATFORMS CL A", 0.4, 100, "quantity or value not above zero"),
    ("46625H100", "ADR", 10, 1000, SHORT_ENOUGH),
    (NOT_LISTED, "CISCO SYSTEMS INC", 3, 150, "not on the 13(f) list"),
    (WRONG_CHECK_DIGIT, "CISCO MISTYPED", 2, 100,
     "not on the 13(f) list: check digit does not match"),
    (str(int(SCIENTIFIC)), "SPDR S&P 500 ETF", 1, 500,
     f"not on the 13(f) list: not nine letters and digits: it has {len(str(int(SCIENTIFIC)))} "
     "characters; Excel may have read the CUSIP as a number: format the CUSIP column as Text "
     "and type it again"),
    (CYRILLIC_ATT, "AT&T INC LOOKALIKE", 9, 90,
     "not on the 13(f) list: not nine letters and digits: character 6 is U+0420 CYRILLIC "
     "CAPITAL LETTER ER, not one of A to Z and 0 to 9; type the CUSIP again in plain letters "
     "and digits"),
    # as held, before the removal list took them off
    (PFIZER, "PFIZER INC COM", 50, 2000, "removed in full"),
    (COCA_COLA, "COCA COLA CO COM", 100, 25000,
     "quantity and value disagree after removal: quantity 90 and value -5000 are left, one "
     "above zero and one not; correct the removal's Quantity or Value"),
]


def headings() -> list[str]:
    names = [row2 if row2 is not None else second
             for row2, second in zip(ROW2_HEADINGS, SECOND_HEADINGS)]
    names[15] = "Unnamed: 15"  # past O no name comes from the second heading row
    return ["Row in the portfolio workbook", "Why not read"] + [
        f"{chr(ord('A') + n)}: {name}" for n, name in enumerate(names)]


NOT_READ = [
    [11, "column C is empty: the row is read as a holding only when column C is filled",
     *Holding("594918104", None, 7, 2800.0).cells()],
    [24, 'column D ("CUSIP ID") is empty: a holding is read only with its CUSIP there',
     *Holding(None, "UNLISTED BOND", 5, 500.0).cells()],
    [25, 'column D ("CUSIP ID") holds the error value #N/A: a holding is read only with its '
     'CUSIP there', *Holding(None, "LOOKUP FAILED", 6, 600.0).cells()],
    [27, "a totals row: column C reads 'Total' and column D (\"CUSIP ID\") is empty, so its "
     "amounts are not a holding", *totals_row(HOLDINGS)],
]


@pytest.fixture(scope="module")
def review(tmp_path_factory):
    workdir = make_workdir(tmp_path_factory.mktemp("review") / "work")
    prepare_inputs(workdir, HOLDINGS, LISTED, REMOVALS)
    portfolio = workdir / "Data" / "Portfolio.xlsx"
    book = openpyxl.load_workbook(portfolio)
    book.active.merge_cells("C5:C7")
    book.save(portfolio)
    (workdir / "Results" / "F13Review.xlsx").write_bytes(b"last quarter's review")
    with OpenFigiServer(FIGIS) as server:
        run = run_host(workdir, LIST_STAND_INS + "import Tavrin\n",
                       env=host_environment(TAVRIN_OPENFIGI_BASE_URL=server.base_url))
    return run.check(), workdir / "Results"


def sheet_rows(results, name) -> list[tuple]:
    book = openpyxl.load_workbook(results / "F13Review.xlsx")
    return [tuple(row) for row in book[name].iter_rows(values_only=True)]


def test_the_document_holds_what_is_reported(review, information_table_schema):
    _, results = review
    document = results / "F13Results.xml"
    assert schema_errors(information_table_schema, document) == []
    from lxml import etree
    entries = [(e.findtext(f"{NAMESPACE}cusip"), e.findtext(f"{NAMESPACE}nameOfIssuer"),
                int(e.findtext(f"{NAMESPACE}value")),
                int(e.findtext(f"{NAMESPACE}shrsOrPrnAmt/{NAMESPACE}sshPrnamt")))
               for e in etree.parse(str(document)).getroot()]
    assert entries == [(c, name, value, shares) for c, name, _, _, value, shares, _ in REPORTED]


def test_reported_is_the_document_in_its_order(review):
    _, results = review
    # Without Data/Filer.xlsx every entry is shares, SOLE, no other manager,
    # every share under voting authority None.
    assert sheet_rows(results, "Reported") == [
        ("CUSIP", "Issuer", "Title of class", "FIGI", "Value", "Shares or principal", "Type",
         "Put/Call", "Investment discretion", "Other managers", "Sole", "Shared", "None", "Note"),
        *[(*row[:6], "SH", None, "SOLE", 0, 0, 0, row[5], row[6]) for row in REPORTED]]


def test_every_other_portfolio_cusip_is_not_reported_with_its_reason(review):
    _, results = review
    assert sheet_rows(results, "Not reported") == [
        ("CUSIP", "Description (column C)", "Quantity (column M, added up)",
         "Value (column N, added up)", "Reason not reported"), *NOT_REPORTED]


def test_rows_with_column_c_or_the_cusip_empty_are_not_read_with_the_reason(review):
    _, results = review
    rows = sheet_rows(results, "Rows not read")
    assert rows[0] == tuple(headings())
    assert [list(row) for row in rows[1:]] == NOT_READ


def test_quantity_and_value_left_disagreeing_are_warned_of(review):
    run, results = review
    removal = results.parent / "Data" / "Removal.xlsx"
    assert (f"Warning: CUSIP {COCA_COLA} is held as quantity 100 and value 25000; after the "
            "removal list it has quantity 90 and value -5000, which disagree, so it is not "
            f"reported. Correct its Quantity or Value in {removal}.") in run.stdout.splitlines()


def test_the_run_ends_with_the_review_line(review):
    run, results = review
    # the line about the previous quarter comes last
    assert run.stdout.splitlines()[-1].startswith("No previous quarter to compare with: ")
    assert run.stdout.splitlines()[-3:-1] == [
        "Rows not read: 4 portfolio row(s) below the second heading row hold a CUSIP or an "
        "amount but have column C or the CUSIP empty (the totals row among them); see the "
        "sheet \"Rows not read\" for each row and why.",
        "Review: 7 reported, 9 not reported (4 not on the list, 2 removed in full, 1 quantity "
        "or value not above zero, 1 quantity and value disagree after removal, 1 description "
        f"of five characters or fewer), 4 rows not read in {results / 'F13Review.xlsx'}",
    ]
    assert sorted(p.name for p in results.iterdir()) == ["F13Results.xml", "F13Review.xlsx"]


@pytest.mark.parametrize("name", ["Reported", "Not reported", "Rows not read"])
def test_each_sheet_has_bold_headings_that_stay_in_view(review, name):
    _, results = review
    book = openpyxl.load_workbook(results / "F13Review.xlsx")
    assert book.sheetnames == ["Reported", "Not reported", "Rows not read"]
    sheet = book[name]
    assert sheet.freeze_panes == "A2"
    assert [cell.font.b for cell in sheet[1]] == [True] * sheet.max_column
    assert not any(cell.font.b for row in sheet.iter_rows(min_row=2) for cell in row)


# Texts a portfolio may hold, each the description of a holding off the list:
# the review shows each as xlsxwriter would have, read back the same way. A
# literal "_x0041_" is stored in a workbook as Excel stores it, its
# underscore escaped, or every reader takes it for the letter A.
ODD_DESCRIPTIONS = {
    "a formula": "=1+1 HOLDINGS INC",
    "an escape lookalike": "_x0041_ HOLDINGS INC",
    "markup": "<B> & <C> HOLDINGS",
    "beyond ASCII": "ÜNÏCÖDÉ € HOLDINGS",
    "longer than a cell holds": "LONG HOLDINGS " + "X" * 33000,
}
OFF_THE_LIST = {name: with_check_digit(f"9999{n:02d}AA")
                for n, name in enumerate(ODD_DESCRIPTIONS)}


def as_xlsxwriter_keeps(texts: list[str], path) -> list[str]:
    import xlsxwriter

    book = xlsxwriter.Workbook(str(path), {"strings_to_formulas": False,
                                           "strings_to_urls": False,
                                           "strings_to_numbers": False})
    sheet = book.add_worksheet()
    for row, value in enumerate(texts):
        sheet.write_string(row, 0, value)
    book.close()
    return [row[0] for row in openpyxl.load_workbook(path).active.iter_rows(values_only=True)]


@pytest.fixture(scope="module")
def odd_texts_review(tmp_path_factory):
    workdir = make_workdir(tmp_path_factory.mktemp("review-texts") / "work")
    holdings = [Holding("037833100", "APPLE INC COM", 10, 1000.0)] + [
        Holding(OFF_THE_LIST[name], text.replace("_x0041_", "_x005F_x0041_"), 1, 10.0)
        for name, text in ODD_DESCRIPTIONS.items()]
    prepare_inputs(workdir, holdings, [("037833100", "APPLE INC", "COM")])
    portfolio = workdir / "Data" / "Portfolio.xlsx"
    book = openpyxl.load_workbook(portfolio)
    for row in book.active.iter_rows():
        if isinstance(row[2].value, str) and row[2].value.startswith("="):
            row[2].data_type = "s"  # a text, not a formula
    book.save(portfolio)
    with OpenFigiServer({}) as server:
        run_host(workdir, LIST_STAND_INS + "import Tavrin\n",
                 env=host_environment(TAVRIN_OPENFIGI_BASE_URL=server.base_url)).check()
    shown = {row[0]: row[1] for row in sheet_rows(workdir / "Results", "Not reported")[1:]}
    expected = as_xlsxwriter_keeps(list(ODD_DESCRIPTIONS.values()), workdir / "oracle.xlsx")
    return shown, dict(zip(ODD_DESCRIPTIONS, expected))


@pytest.mark.parametrize("case", list(ODD_DESCRIPTIONS))
def test_review_texts_read_back_as_xlsxwriter_wrote_them(odd_texts_review, case):
    shown, expected = odd_texts_review
    assert shown[OFF_THE_LIST[case]] == expected[case]
    assert len(shown[OFF_THE_LIST[case]]) <= 32767
