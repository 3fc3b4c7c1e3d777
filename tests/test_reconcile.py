"""The driver's reconciliation against the literal oracle, and its errors."""
import pytest

from scenario import run_host

# Random inputs with the awkward cases mixed in: missing cells, duplicate
# CUSIPs, removals that zero a holding, quantities 0.5 and 0.6, column C
# texts of five and six characters, CUSIPs off the list.
COMPARE_WITH_ORACLE = """
import random, sys, Tavrin, pandas as pd
sys.path.insert(0, {tests!r})
import oracle

LABELS = ["Account", "AccountName", "SecurityDescription", "CUSIPID", "Ticker", "AssetClass",
          "Currency", "Price", "SettlementDate", "OriginalCost", "TradeDateQuantity",
          "TradeDateMarketValue", "TotalSettlementQuantity", "TotalSettlementMarketValue",
          "Gain", "Unnamed15"]
POOL = ["037833100", "594918104", "00206R102", "G0R21F105", "88160R101", "30303M102",
        "023135106", "OFFLIST01", "OFFLIST02"]
AMOUNTS = [0, 1, 7, 100, 0.5, 0.6, 12.25, 1000.75, None]
MARKERS = ["Total", "ABCDEF", "APPLE INC COM", None, "xx"]

def amount(rng):
    return rng.choice(AMOUNTS)

def case(rng):
    sec = pd.DataFrame({{"CUSIPNO": [rng.choice(POOL[:7]) for _ in range(rng.randint(0, 10))]}})
    raw = pd.DataFrame([[rng.choice(["A1", None]), "Fund", rng.choice(MARKERS), rng.choice(POOL),
                         "T", "Eq", "USD", rng.choice([10.0, None]), "2026-06-30",
                         amount(rng), amount(rng), amount(rng), amount(rng), amount(rng),
                         rng.choice([0.0, None]), None]
                        for _ in range(rng.randint(0, 14))], columns=LABELS)
    rem = pd.DataFrame([[rng.choice(POOL), rng.choice([0, 30, 100, 0.5]), rng.choice([0, 2000, 100.5])]
                        for _ in range(rng.randint(0, 5))], columns=["CUSIP", "Quantity", "Value"])
    return sec, raw, rem

def ours(sec, raw, rem):
    got = {{}}
    Tavrin.getsec = lambda: None
    Tavrin.storesec = lambda: sec
    Tavrin.storeraw = lambda: raw.copy()
    Tavrin.storerem = lambda: rem.copy()
    Tavrin.f13excel = lambda s, b: got.setdefault("bswout", b)
    Tavrin.cruncher()
    return got["bswout"]

def plain(table):
    return [[None if (isinstance(v, float) and v != v) else v for v in row]
            for row in table.astype(object).values.tolist()]

rng = random.Random({seed})
mismatches, compared, kept = [], 0, 0
for n in range({cases}):
    sec, raw, rem = case(rng)
    expected = oracle.reconcile(sec, raw, rem)
    got = ours(sec, raw, rem)
    compared += 1
    kept += len(got)
    if len(expected) == 0:
        same = len(got) == 0 and list(got.columns) == list(raw.columns)
    else:
        same = (list(got.columns) == list(expected.columns)
                and list(got.index) == list(expected.index)
                and plain(got) == plain(expected))
    if not same:
        mismatches.append([n, plain(expected), plain(got)])
emit({{"mismatches": mismatches[:3], "compared": compared, "kept": kept}})
"""


@pytest.mark.parametrize("seed", [1, 2])
def test_matches_the_literal_reconciliation(services, base_workdir, seed):
    from pathlib import Path
    body = COMPARE_WITH_ORACLE.format(tests=str(Path(__file__).parent), seed=seed, cases=150)
    result = run_host(base_workdir, body, env=services.env).check().result()
    assert result["mismatches"] == []
    assert result["compared"] == 150 and result["kept"] > 30  # the cases do keep holdings


REMOVAL_ERRORS = """
import Tavrin, pandas as pd
from standins.workbooks import CLEAN_HEADINGS
row = ["A", "F", "APPLE INC COM", "037833100", "T", "E", "USD", 1, "d", 1, 10, 100, 10, 100, 0, None]
cases = {{
    "text quantity": ([row[:12] + ["ten"] + row[13:]], [["037833100", 1, 1]]),
    "blank removal": ([row], [["037833100", None, 5]]),
    "text removal": ([row], [["037833100", 5, "n/a"]]),
}}
out = {{}}
for name, (holdings, removals) in cases.items():
    Tavrin.getsec = lambda: None
    Tavrin.storesec = lambda: pd.DataFrame({{"CUSIPNO": ["037833100"]}})
    Tavrin.storeraw = lambda: pd.DataFrame(holdings, columns=CLEAN_HEADINGS)
    Tavrin.storerem = lambda: pd.DataFrame(removals, columns=["CUSIP", "Quantity", "Value"])
    try:
        Tavrin.cruncher()
        out[name] = "no error"
    except Exception as error:
        out[name] = [type(error).__name__, str(error)]
emit(out)
"""


def test_bad_amounts_are_named(services, base_workdir):
    out = run_host(base_workdir, REMOVAL_ERRORS.format(), env=services.env).check().result()
    portfolio = str(base_workdir / "Data" / "Portfolio.xlsx")
    removal = str(base_workdir / "Data" / "Removal.xlsx")
    assert out["text quantity"][0] == "TypeError"
    assert all(w in out["text quantity"][1] for w in
               [portfolio, "037833100", "column M", "TotalSettlementQuantity", "'ten'"])
    assert out["blank removal"][0] == "ValueError"
    assert all(w in out["blank removal"][1] for w in [removal, "037833100", '"Quantity"', "blank"])
    assert out["text removal"][0] == "TypeError"
    assert all(w in out["text removal"][1] for w in [removal, '"Value"', "'n/a'"])


def test_nothing_kept_gives_an_empty_table_with_the_portfolio_columns(services, base_workdir):
    run = run_host(base_workdir, """
        import Tavrin, pandas as pd
        from standins.workbooks import CLEAN_HEADINGS
        got = {}
        Tavrin.getsec = lambda: None
        Tavrin.storesec = lambda: pd.DataFrame({"CUSIPNO": ["G0R21F105"]})  # held by nobody
        Tavrin.f13excel = lambda s, b: got.setdefault("b", b)
        Tavrin.cruncher()
        emit([list(got["b"].columns), len(got["b"])])
    """, env=services.env).check()
    from standins.workbooks import CLEAN_HEADINGS
    assert run.result() == [CLEAN_HEADINGS, 0]


BLANK_REMOVALS = """
import Tavrin, pandas as pd
from standins.workbooks import CLEAN_HEADINGS
def holding(description, quantity, value):
    return ["A", "F", description, "037833100", "T", "E", "USD", 1, "d", value, quantity, value,
            quantity, value, 0, None]
cases = {{
    "would be reported": (holding("APPLE INC COM", 10, 100), [None, 5]),
    "short description": (holding("Total", 10, 100), [None, None]),
    "whole quantity taken, value blank": (holding("APPLE INC COM", 10, 100), [10, None]),
    "whole value taken, quantity blank": (holding("APPLE INC COM", 10, 100), [None, 100]),
    "nothing held, both blank": (holding("APPLE INC COM", 0, 0), [None, None]),
    "part taken, value blank": (holding("APPLE INC COM", 10, 100), [5, None]),
    "value gone, shares left": (holding("APPLE INC COM", 10, 100), [5, 100]),
    "shares gone, value left": (holding("APPLE INC COM", 10, 100), [10, 40]),
    "more value taken than held": (holding("APPLE INC COM", 100, 25000.0), [10, 30000.0]),
}}
out = {{}}
for name, (row, removal) in cases.items():
    got = {{}}
    Tavrin.getsec = lambda: None
    Tavrin.storesec = lambda: pd.DataFrame({{"CUSIPNO": ["037833100"]}})
    Tavrin.storeraw = lambda: pd.DataFrame([row], columns=CLEAN_HEADINGS)
    Tavrin.storerem = lambda: pd.DataFrame([["037833100", *removal]], columns=["CUSIP", "Quantity", "Value"])
    Tavrin.f13excel = lambda s, b: got.setdefault("kept", len(b))
    try:
        Tavrin.cruncher()
        out[name] = got["kept"]
    except ValueError as error:
        out[name] = str(error)
emit(out)
"""


def test_a_blank_removal_amount_stops_only_a_holding_that_would_be_reported(services, base_workdir):
    out = run_host(base_workdir, BLANK_REMOVALS.format(), env=services.env).check().result()
    removal = str(base_workdir / "Data" / "Removal.xlsx")
    for name in ("would be reported", "part taken, value blank"):
        column = '"Quantity"' if name == "would be reported" else '"Value"'
        assert all(w in out[name] for w in [removal, "037833100", column, "is blank"])
    # Left out whatever the blank amount holds: nothing is reported, nothing stops.
    for name in ("short description", "whole quantity taken, value blank",
                 "whole value taken, quantity blank", "nothing held, both blank"):
        assert out[name] == 0


def test_quantity_and_value_left_disagreeing_is_warned_of_and_not_reported(services, base_workdir):
    run = run_host(base_workdir, BLANK_REMOVALS.format(), env=services.env).check()
    warnings = [line for line in run.stdout.splitlines() if line.startswith("Warning: CUSIP")]
    for name, left in [("value gone, shares left", "quantity 5 and value 0"),
                       ("shares gone, value left", "quantity 0 and value 60"),
                       ("more value taken than held", "quantity 90 and value -5000")]:
        assert run.result()[name] == 0
        assert sum(f"after the removal list it has {left}, which disagree, so it is not "
                   "reported" in line for line in warnings) == 1
    assert len(warnings) == 3
