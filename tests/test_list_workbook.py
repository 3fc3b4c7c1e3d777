"""The list's per-page workbook, written directly, against pandas' xlsxwriter
path: the same sheets and, read back by either reader, the same tables.

One host run imports quietly, then feeds storesec one set of tables per case
through a stood-in `read_pdf`, and compares its workbook with the one pandas
writes from the same tables.
"""
from __future__ import annotations

import math

import pandas as pd
import pytest

from report_inputs import LIST_STAND_INS, prepare_quiet_import
from scenario import make_workdir, run_host

ODD_TEXTS = ["x & y", " leading", "trailing ", "<tag>", "", None, "ünïcödé €", "00123", "1e5",
             "NaN", "N/A", "two\nlines", "tab\there", "B38564 10 8 *", '"quoted"']


def plain_tables() -> list[pd.DataFrame]:
    n = len(ODD_TEXTS)
    numbers = [0.1 + 0.2, 1 / 3, 1e20, -0.0, 5e-324, math.nan, 2.5, 1.0, 123456789.123456789,
               7.0, 8.0, 9.0, 10.0, 11.0, 12.0]
    first = pd.DataFrame({
        "CUSIP NO": ODD_TEXTS,
        "Unnamed: 0": ["*" if i % 3 == 0 else None for i in range(n)],
        "WHOLE": list(range(n - 1)) + [2 ** 70],
        "FRACTION": numbers,
        "FLAG": [i % 2 == 0 for i in range(n)],
    })
    second = pd.DataFrame({"CUSIP NO": ["G0R21F105"], "ISSUER NAME": ["A & B <C>"],
                           "": ["label left empty"]})
    return [first, second, pd.DataFrame({"ONLY HEADINGS": []})]


def pages_of_one_list(count_as_text_somewhere: bool) -> list[pd.DataFrame]:
    """Neighbouring pages with the same headings whose columns differ in kind
    from page to page, as tabula gives them: the stacked table must still be
    what reading every sheet back and stacking them gives."""
    def page(cusips, counts, status):
        return pd.DataFrame({"CUSIP NO": cusips, "COUNT": counts, "STATUS": status})
    other = pd.DataFrame({"ISSUER NAME": ["Other & Co"],
                          "COUNT": ["seven" if count_as_text_somewhere else 7]})
    return [
        page(["G0R21F105", "H1467J104"], [1, 2], ["DELETED", None]),
        page(["B38564108", "K00001AA1"], [3, 4], [None, None]),
        page(["C00001AA1", "M00001AA1"], [5.5, None], ["DELETED", "N/A"]),
        page(["Q00001AA1", "R00001AA1"], [6, 7], ["ADDED", "DELETED"]),
        pd.DataFrame({"CUSIP NO": []}),
        page(["W00001AA1"], [8], ["DELETED"]),
        other,
        page(["Z00001AA1"], [9], [True]),
        page(["S00001AA1", "00123"], [10, 11], ["DELETED", "1e5"]),
        page(["U00001AA1", "V00001AA1"], [12, 13], ["DELETED", "DELETED"]),
    ]


def with_value(value) -> list[pd.DataFrame]:
    return [pd.DataFrame({"CUSIP NO": ["037833100"]}),
            pd.DataFrame({"CUSIP NO": ["594918104"], "ODD": [value]})]


# Every text stays a text cell, written directly or through pandas: an issuer
# printed as "=SUM(A1:A9)" is a name, not a formula.
TEXTS_KEPT = {
    "a formula": "=1+1",
    "an issuer printed as a formula": "=SUM(A1:A9)",
    "an array formula": "{=SUM(A1:A2)}",
    "a link": "https://www.sec.gov",
    "a formula beside a control character": "=1+1",
}

CASES = {
    "plain values": (plain_tables(), True),
    "pages alike and unlike, counts all numbers": (pages_of_one_list(False), True),
    "pages alike and unlike, a count as text": (pages_of_one_list(True), True),
    "a formula": (with_value("=1+1"), True),
    "an issuer printed as a formula": (with_value("=SUM(A1:A9)"), True),
    "an array formula": (with_value("{=SUM(A1:A2)}"), True),
    "a link": (with_value("https://www.sec.gov"), True),
    "a formula beside a control character": (
        [pd.DataFrame({"CUSIP NO": ["594918104", "037833100"], "ODD": ["=1+1", "bell\x07"]})],
        False),
    "a control character": (with_value("bell\x07"), False),
    "an escape lookalike": (with_value("_x0041_"), False),
    "an infinity": (with_value(math.inf), False),
    "a date": (with_value(pd.Timestamp("2026-06-30")), False),
    "row labels other than 0, 1, 2": (
        [pd.DataFrame({"CUSIP NO": ["037833100"]}, index=[5])], False),
}

HOST = LIST_STAND_INS + """
import zipfile
import pandas as pd
import Tavrin

def stacked(path, engine):
    return pd.concat(pd.read_excel(path, sheet_name=None, engine=engine), ignore_index=True)

def cell_types(frame):
    return [[type(value).__name__ for value in frame[column].tolist()]
            for column in frame.columns if frame[column].dtype == object]

def same(a, b):
    try:
        pd.testing.assert_frame_equal(a, b, check_exact=True)
    except AssertionError as difference:
        return str(difference)
    # equal values may still differ in type where a column holds objects: 1 and 1.0
    return cell_types(a) == cell_types(b) or "cell types differ"

out = {}
for name, (tables, _) in pd.read_pickle("cases.pkl").items():
    Tavrin.read_pdf = lambda *args, tables=tables, **kwargs: tables
    Tavrin.storesec()
    keep_texts = {"options": {"strings_to_formulas": False, "strings_to_urls": False}}
    with pd.ExcelWriter("reference.xlsx", engine="xlsxwriter", engine_kwargs=keep_texts) as writer:
        for number, table in enumerate(tables, start=1):
            table.to_excel(writer, sheet_name=f"Sheet{number}")
    mine = Tavrin.sec_excel_Path
    out[name] = {
        "directly": "docProps/app.xml" not in zipfile.ZipFile(mine).namelist(),
        "sheets": pd.ExcelFile(mine, engine="openpyxl").sheet_names,
        "calamine": same(stacked(mine, "calamine"), stacked("reference.xlsx", "calamine")),
        "openpyxl": same(stacked(mine, "openpyxl"), stacked("reference.xlsx", "openpyxl")),
        # the table the run reports from, against the workbook read back
        "stacked as read back": same(Tavrin._list_extraction["stacked"], stacked(mine, "calamine")),
        "odd texts": [v for v in stacked(mine, "openpyxl").get("ODD", pd.Series()).tolist()
                      if isinstance(v, str)],
        "formulas": sum(b"<f>" in zipfile.ZipFile(mine).read(n)
                        for n in zipfile.ZipFile(mine).namelist() if n.endswith(".xml")),
    }
emit(out)
"""


@pytest.fixture(scope="module")
def written(tmp_path_factory):
    workdir = make_workdir(tmp_path_factory.mktemp("list-workbook") / "work")
    prepare_quiet_import(workdir)
    pd.to_pickle(CASES, workdir / "cases.pkl")
    return run_host(workdir, HOST).check().result()


@pytest.mark.parametrize("case", list(CASES))
def test_the_workbook_reads_back_as_pandas_would_have_written_it(written, case):
    tables, directly = CASES[case]
    result = written[case]
    assert result["directly"] is directly
    assert result["sheets"] == [f"Sheet{n}" for n in range(1, len(tables) + 1)]
    assert (result["calamine"], result["openpyxl"]) == (True, True)
    assert result["stacked as read back"] is True


@pytest.mark.parametrize("case", list(TEXTS_KEPT))
def test_every_text_is_stored_as_the_text_it_is(written, case):
    assert TEXTS_KEPT[case] in written[case]["odd texts"]
    assert written[case]["formulas"] == 0
