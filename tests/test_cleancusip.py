"""The table normaliser: what counts as the same CUSIP everywhere."""
import openpyxl
import pandas as pd

from scenario import run_host

CLEANING_CASES = """
import math, Tavrin, pandas as pd
out = {}
def clean(df, cusip):
    returned = Tavrin.cleancusip(df, cusip, "unused.xlsx")
    return returned

df = pd.DataFrame({"CUSIP NO": ["037833 10 0", None, " ", "ab\\tc", "x\\u00a0y", "00206r102\\u2003\\n",
                                "z\\ud800", "037833\\u200b100", "\\ufeff594918104\\u00ad",
                                "\\uff10\\uff13\\uff17\\uff18\\uff13\\uff13\\uff11\\uff10\\uff10",
                                "00206\\u0420102"],
                   "Total Settlement Quantity": list(range(11)), "Value:": list(range(11)),
                   "Cusip": list("abcdefghijk")})
returned = clean(df, "CUSIPNO")
out["labels"] = list(df.columns)
out["identifiers"] = list(df["CUSIPNO"])
out["index"] = list(df.index)
out["same object"] = returned is df
out["same content"] = returned.equals(df)

numbers = pd.DataFrame({"CUSIP": [37833100, 594918104, 1234567890, -5, True]})
clean(numbers, "CUSIP")
out["integers"] = list(numbers["CUSIP"])
floats = pd.DataFrame({"CUSIP": [37833100.0, float("nan"), 1.5]})
clean(floats, "CUSIP")
out["floats"] = list(floats["CUSIP"])

wrong_case = pd.DataFrame({"Cusip ": ["1 2"]})
clean(wrong_case, "CUSIP")
out["no identifier column"] = [list(wrong_case.columns), list(wrong_case["Cusip"])]
unnamed = pd.DataFrame([[1, 2]])
clean(unnamed, "CUSIP")
out["integer labels"] = list(unnamed.columns)
emit(out)
"""


def test_cleaning_rules(services, base_workdir):
    out = run_host(base_workdir, CLEANING_CASES, env=services.env).check().result()
    assert out["labels"] == ["CUSIPNO", "TotalSettlementQuantity", "Value", "Cusip"]
    # every Unicode whitespace character goes and letters are upper-cased; the
    # blank identifier stays as empty text; a lone surrogate is no obstacle
    # NFKC makes fullwidth digits plain; zero-width spaces, the byte-order mark
    # and soft hyphens (format characters) go; a Cyrillic letter stays itself
    assert out["identifiers"] == ["037833100", "", "ABC", "XY", "00206R102", "Z\ud800",
                                  "037833100", "594918104", "037833100", "00206\u0420102"]
    assert out["index"] == [0, 2, 3, 4, 5, 6, 7, 8, 9, 10]
    assert out["same object"] is False and out["same content"] is True
    # whole numbers get the leading zeros Excel stripped; other values keep str()
    assert out["integers"] == ["037833100", "594918104", "1234567890", "-5", "TRUE"]
    assert out["floats"] == ["037833100", "1.5"]
    assert out["no identifier column"] == [["Cusip"], ["1 2"]]
    assert out["integer labels"] == [0, 1]


def test_debug_workbook_layout_and_switch(services, base_workdir):
    run = run_host(base_workdir, """
        import os, Tavrin, pandas as pd
        df = pd.DataFrame({"CUSIP ID": ["1 2", None, "3"], "n": [1, 2, 3],
                           "note": ['=HYPERLINK("http://x.test","x")', "", "http://x.test"]})
        Tavrin.cleancusip(df.copy(), "CUSIPID", "Store/off.xlsx")
        Tavrin.mydebug = 1  # compares equal to True
        Tavrin.cleancusip(df.copy(), "CUSIPID", "Store/on.xlsx")
        Tavrin.mydebug = "True"  # text never switches it on
        Tavrin.cleancusip(df.copy(), "CUSIPID", "Store/text.xlsx")
        Tavrin.mydebug = True
        Tavrin.cleancusip(pd.DataFrame({"Other": [1]}), "CUSIPID", "Store/partial.xlsx")
        emit(sorted(os.listdir("Store")))
    """, env=services.env).check()
    written = set(run.result())
    assert {"on.xlsx", "partial.xlsx"} <= written and not {"off.xlsx", "text.xlsx"} & written
    sheets = pd.read_excel(base_workdir / "Store" / "on.xlsx", sheet_name=None, header=None,
                           engine="openpyxl")
    assert list(sheets) == ["Sheet1"]
    rows = sheets["Sheet1"].values.tolist()
    assert pd.isna(rows[0][0]) and rows[0][1:] == ["CUSIPID", "n", "note"]
    # row labels keep the gap of the dropped row
    assert rows[1:] == [[0, "12", 1, '=HYPERLINK("http://x.test","x")'], [2, "3", 3, "http://x.test"]]
    # text stays text: no formula, no link
    sheet = openpyxl.load_workbook(base_workdir / "Store" / "on.xlsx").active
    assert [sheet.cell(row, 4).data_type for row in (2, 3)] == ["s", "s"]
    assert sheet.cell(3, 4).hyperlink is None


def test_interrupts_pass_through_the_guarded_block(services, base_workdir):
    run = run_host(base_workdir, """
        import Tavrin, pandas as pd
        class Stack:
            def __init__(self, error): self.error = error
            def stack(self): raise self.error
        outcome = []
        for error in (ValueError("swallowed"), KeyboardInterrupt()):
            Tavrin.inspect = Stack(error)
            try:
                Tavrin.cleancusip(pd.DataFrame({"C": ["1 2"]}), "C", "x.xlsx")
                outcome.append("returned")
            except BaseException as caught:
                outcome.append(type(caught).__name__)
        emit(outcome)
    """, env=services.env).check()
    assert run.result() == ["returned", "KeyboardInterrupt"]
