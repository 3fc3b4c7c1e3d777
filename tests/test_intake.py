"""Reading the manager's portfolio and removal workbooks."""
import pytest

from scenario import PORTFOLIO_LOCKED, run_host
from standins.workbooks import CLEAN_HEADINGS, Holding, portfolio_rows, write_portfolio, write_rows

READ_PORTFOLIO = """
import Tavrin
Tavrin.raw_path = {path!r}
try:
    table = Tavrin.storeraw()
    emit({{"columns": list(table.columns), "rows": table.astype(str).values.tolist(),
          "index": list(table.index)}})
except Exception as error:
    emit({{"error": type(error).__name__, "message": str(error)}})
"""


def read_portfolio(services, folder, path):
    return run_host(folder, READ_PORTFOLIO.format(path=str(path)), env=services.env).check().result()


def test_two_row_headings_are_completed(services, base_workdir):
    path = write_portfolio(base_workdir / "p.xlsx", [
        Holding("037833 10 0", "APPLE INC", 10, 100.0),
        Holding(594918104, "MICROSOFT CORP", 5, 50.0),
    ], blank_every=1)
    table = read_portfolio(services, base_workdir, path)
    assert table["columns"] == CLEAN_HEADINGS
    assert [row[3] for row in table["rows"]] == ["037833100", "594918104"]
    assert [row[2] for row in table["rows"]] == ["APPLE INC", "MICROSOFT CORP"]
    # labels count every sheet row below the headings; the totals row has no CUSIP
    assert table["index"] == [2, 4]


def test_headings_with_nothing_in_either_row(services, base_workdir):
    rows = portfolio_rows([Holding("037833100")])
    rows[1][4] = None  # E2 empty ...
    rows[3][4] = None  # ... and the second heading row empty there too
    table = read_portfolio(services, base_workdir, write_rows(base_workdir / "p.xlsx", rows))
    assert table["columns"][4] != table["columns"][4]  # NaN: the missing value is the name


def shape_cases():
    good = portfolio_rows([Holding("037833100")])
    c2_filled = [list(r) for r in good]
    c2_filled[1][2] = "Description"
    narrow = [r[:12] for r in good]
    headings_only = good[:4]
    note = ["Notes:"] + [None] * 14 + ["see appendix"]  # column C empty
    nothing_in_c = [list(r) for r in good[:2]] + [note]
    return [
        ("C2 filled", c2_filled, "KeyError", "cell C2 is not empty"),
        ("narrow", narrow, "IndexError", "has only 12 columns"),
        ("no holdings", headings_only, "IndexError", "no holding rows"),
        ("no second heading row", nothing_in_c, "IndexError", "no second heading row"),
    ]


@pytest.mark.parametrize("name, rows, error, words", shape_cases(), ids=[c[0] for c in shape_cases()])
def test_a_badly_shaped_portfolio_is_explained(services, base_workdir, name, rows, error, words):
    path = write_rows(base_workdir / "p.xlsx", rows)
    result = read_portfolio(services, base_workdir, path)
    assert result["error"] == error
    assert str(path) in result["message"] and words in result["message"]
    assert "headings in row 2 with cell C2 empty" in result["message"]


def test_missing_portfolio_names_the_file(services, base_workdir):
    result = read_portfolio(services, base_workdir, base_workdir / "Data" / "Missing.xlsx")
    assert result["error"] == "FileNotFoundError" and "Missing.xlsx" in result["message"]


def test_removal_list_with_headings_only(services, base_workdir):
    write_rows(base_workdir / "r.xlsx", [["CUSIP", "Security Name", "Quantity", "Value"]])
    run = run_host(base_workdir, """
        import Tavrin
        Tavrin.rem_path = "r.xlsx"
        table = Tavrin.storerem()
        emit([list(table.columns), len(table)])
    """, env=services.env).check()
    assert run.result() == [["CUSIP", "SecurityName", "Quantity", "Value"], 0]




def csv_saved_as_workbook(folder):
    (folder / "Data" / "Portfolio.xlsx").write_text("Account,CUSIP\nACCT-001,037833100\n")
    return ""


@pytest.mark.parametrize("prepare, words", [
    (lambda folder: PORTFOLIO_LOCKED, "cannot be opened"),
    (csv_saved_as_workbook, "cannot be read as an Excel workbook"),
], ids=["locked", "CSV saved as .xlsx"])
def test_a_message_that_says_everything_comes_without_the_readers_traceback(
        services, base_workdir, prepare, words):
    run = run_host(base_workdir, prepare(base_workdir) + "import Tavrin\n", env=services.env)
    assert run.returncode != 0 and words in run.stderr
    for chained in ("The above exception was the direct cause", "During handling", "site-packages/pandas"):
        assert chained not in run.stderr
    assert services.sec.requests == []  # told before the list is asked for
