"""The information-table builder: f13excel called from a host after a quiet
import, and the whole import run from the list to the XML document."""
from __future__ import annotations

import math

import pandas as pd
import pytest

from report_inputs import (
    LIST_STAND_INS,
    prepare_inputs,
    prepare_quiet_import,
    schema_errors,
    securities_list,
)
from scenario import host_environment, make_workdir, run_host
from standins.openfigi_server import OpenFigiServer, matches_for
from standins.workbooks import Holding

NAMESPACE = "http://www.sec.gov/edgar/document/thirteenf/informationtable"
COLUMNS = [
    "nameofissuer", "titleofclass", "cusip", "figi", "value", "sshPrnamt", "sshPrnamtType",
    "PutCall", "investmentDiscretion", "otherManager", "Sole", "Shared", "None",
]
KNOWN = ["00206R102", "037833100", "594918104"]

# CUSIP, issuer name, description on the list -> the escaped name and title
# and the put/call mark the table must hold.
LISTED = [
    ("00206R102", "AT&T INC", "COM", "AT&amp;T INC", "COM", ""),
    ("037833100", "APPLE INC", "PUT", "APPLE INC", "PUT", "PUT"),
    ("594918104", "MICROSOFT CORP", "CALL", "MICROSOFT CORP", "CALL", "CALL"),
    ("111111111", "A&B&C", "put", "A&amp;B&amp;C", "put", ""),
    ("222222222", "ZETA CORP", "PUT CALL", "ZETA CORP", "PUT CALL", "PUT"),
    ("333333333", "ZETA CORP", "CALLABLE", "ZETA CORP", "CALLABLE", "CALL"),
    ("444444444", "BETA INC", "COMPUTER", "BETA INC", "COMPUTER", "PUT"),
    ("555555555", "GAMMA INC", "COM & PFD <X>", "GAMMA INC", "COM &amp; PFD <X>", ""),
    ("037833100", "APPLE INC LATER ROW", "COM", None, None, None),  # a second list row: ignored
]

# Holdings in the order the table must process them (first appearance);
# the second row of a CUSIP is ignored.
HOLDINGS = [
    ("444444444", 1234.5, 100.49),
    ("333333333", 1235.5, 7),
    ("037833100", 2000.4, 20.6),
    ("00206R102", 10, 1),
    ("222222222", 11.5, 2.5),
    ("037833100", 9999, 99),
    ("594918104", 0.5, 1.5),
    ("555555555", 3, 3),
    ("111111111", 4, 4),
]
ROUNDED = {"444444444": (1234, 100), "333333333": (1236, 7), "037833100": (2000, 21),
           "00206R102": (10, 1), "222222222": (12, 2), "594918104": (0, 2),
           "555555555": (3, 3), "111111111": (4, 4)}
FIRST_APPEARANCE = list(dict.fromkeys(c for c, _, _ in HOLDINGS))


# More equal names than a quicksort leaves in place (numpy sorts up to 16
# by insertion), around two others, in a processing order that is not theirs.
TIED = [f"7{n:08d}" for n in range(20)]
TIED_LIST = [("900000000", "ZULU INC", "COM"), *((c, "TIED CORP", "COM") for c in TIED),
             ("800000000", "ALPHA INC", "COM")]


def holdings_table(rows) -> pd.DataFrame:
    labels = ["CUSIPID", "TotalSettlementMarketValue", "TotalSettlementQuantity"]
    return pd.DataFrame(rows, columns=labels)


def failing_inputs() -> dict[str, tuple[pd.DataFrame, pd.DataFrame]]:
    listed = securities_list([(c, n, d) for c, n, d, *_ in LISTED])
    odd = securities_list([("666666666", "ODD INC", math.nan)])
    return {
        "not_listed": (listed, holdings_table([("999999999", 1, 1)])),
        "missing_value": (listed, holdings_table([("00206R102", math.nan, 1)])),
        "text_quantity": (listed, holdings_table([("00206R102", 1, "many")])),
        "missing_description": (odd, holdings_table([("666666666", 1, 1)])),
    }


HOST = LIST_STAND_INS + """
import os, traceback
import pandas as pd
import Tavrin

inputs = pd.read_pickle("inputs.pkl")
passed = []
real_createxml = Tavrin.createxml
def keep_and_write(df):
    passed.append(df.copy())
    return real_createxml(df)
Tavrin.createxml = keep_and_write
looked_up = []
real_openfigi = Tavrin.openfigi
def note_and_look_up(cusip):
    looked_up.append([type(cusip).__name__, cusip])
    return real_openfigi(cusip)
Tavrin.openfigi = note_and_look_up
Tavrin.mydebug = True

def as_json(df):
    return {"columns": list(df.columns), "index": [int(i) for i in df.index],
            "rows": df.astype(object).to_dict("records"),
            "types": {c: sorted({type(v).__name__ for v in df[c]}) for c in df.columns}}

def build(target, sec, bswout):
    Tavrin.fres_path = os.path.join(os.getcwd(), "Results", target + ".xlsx")
    passed.clear()
    looked_up.clear()
    sec_before, bswout_before = sec.copy(), bswout.copy()
    try:
        result = {"returned": repr(Tavrin.f13excel(sec=sec, bswout=bswout))}
    except Exception as error:
        result = {"raised": type(error).__name__, "message": str(error),
                  "trace": "".join(traceback.format_exception(error))}
    result["passed"] = [as_json(df) for df in passed]
    result["looked_up"] = list(looked_up)
    result["unchanged"] = sec.equals(sec_before) and bswout.equals(bswout_before)
    return result

out = {name: build(name, sec, bswout) for name, (sec, bswout) in inputs.items()}
emit(out)
"""


@pytest.fixture(scope="module")
def built(tmp_path_factory):
    workdir = make_workdir(tmp_path_factory.mktemp("f13excel") / "work")
    prepare_quiet_import(workdir)
    listed = securities_list([(c, n, d) for c, n, d, *_ in LISTED])
    inputs = {
        "report": (listed, holdings_table(HOLDINGS)),
        "empty": (listed, holdings_table([])),
        **failing_inputs(),
        "tied": (securities_list(TIED_LIST),
                 holdings_table([(c, 1, 1) for c, _, _ in TIED_LIST])),
    }
    pd.to_pickle(inputs, workdir / "inputs.pkl")
    with OpenFigiServer({c: matches_for(c) for c in KNOWN}) as server:
        env = host_environment(TAVRIN_OPENFIGI_BASE_URL=server.base_url)
        run = run_host(workdir, HOST, env=env)
    return run.check().result(), server.records, workdir / "Results"


def report_rows(built) -> dict[str, dict]:
    out, _, _ = built
    return {row["cusip"]: row for row in out["report"]["passed"][0]["rows"]}


def test_thirteen_columns_in_order(built):
    out, _, _ = built
    assert out["report"]["returned"] == "None"
    assert out["report"]["passed"][0]["columns"] == COLUMNS


@pytest.mark.parametrize("cusip, name, title, putcall",
                         [(c, n, t, p) for c, _, _, n, t, p in LISTED if n is not None])
def test_name_title_and_put_call_from_the_first_list_row(built, cusip, name, title, putcall):
    row = report_rows(built)[cusip]
    assert (row["nameofissuer"], row["titleofclass"], row["PutCall"]) == (name, title, putcall)


@pytest.mark.parametrize("cusip", FIRST_APPEARANCE)
def test_value_and_shares_rounded_from_the_first_holding_row(built, cusip):
    row = report_rows(built)[cusip]
    value, shares = ROUNDED[cusip]
    assert (row["value"], row["sshPrnamt"], row["None"]) == (value, shares, shares)


FIXED = {"sshPrnamtType": "SH", "investmentDiscretion": "SOLE", "otherManager": 0, "Sole": 0,
         "Shared": 0}


@pytest.mark.parametrize("cusip", FIRST_APPEARANCE)
def test_fixed_fields(built, cusip):
    row = report_rows(built)[cusip]
    assert {column: row[column] for column in FIXED} == FIXED


@pytest.mark.parametrize("column", ["value", "sshPrnamt", "otherManager", "Sole", "Shared", "None"])
def test_whole_numbers_are_integers(built, column):
    out, _, _ = built
    assert out["report"]["passed"][0]["types"][column] == ["int"]


@pytest.mark.parametrize("cusip", FIRST_APPEARANCE)
def test_figi_from_the_service_or_a_blank(built, cusip):
    expected = matches_for(cusip)[0]["figi"] if cusip in KNOWN else " "
    assert report_rows(built)[cusip]["figi"] == expected


def test_one_lookup_per_distinct_cusip_in_processing_order(built):
    out, _, _ = built
    assert out["report"]["looked_up"] == [["str", c] for c in FIRST_APPEARANCE]


def test_a_wrapped_openfigi_asks_the_service_one_cusip_at_a_time(built):
    _, records, _ = built
    # The host's wrapper stands where openfigi stood, so the module sends no
    # batch of its own: each row's call of the real openfigi asks one CUSIP.
    # The builds that cannot be reported (an amount that cannot be rounded, a
    # list row without its description) fail before asking anything.
    expected = [[c] for c in FIRST_APPEARANCE] + [[c] for c, _, _ in TIED_LIST]
    assert [[job["idValue"] for job in r.jobs] for r in records] == expected


def test_debug_workbook_lists_rows_in_processing_order(built):
    _, _, results = built
    workbook = pd.read_excel(results / "report.xlsx", index_col=0, dtype={"cusip": str},
                             engine="openpyxl")
    assert list(workbook.columns) == COLUMNS
    assert list(workbook.index) == list(range(len(FIRST_APPEARANCE)))
    assert list(workbook["cusip"]) == FIRST_APPEARANCE


def test_the_writer_gets_the_rows_sorted_by_name_equal_names_in_processing_order(built):
    out, _, _ = built
    passed = out["report"]["passed"][0]
    names = [row["nameofissuer"] for row in passed["rows"]]
    assert names == sorted(names)
    zeta = [row["cusip"] for row in passed["rows"] if row["nameofissuer"] == "ZETA CORP"]
    assert zeta == [c for c in FIRST_APPEARANCE if c in ("222222222", "333333333")]
    assert passed["index"] == [FIRST_APPEARANCE.index(row["cusip"]) for row in passed["rows"]]


def test_many_equal_names_keep_their_processing_order(built):
    out, _, _ = built
    cusips = [row["cusip"] for row in out["tied"]["passed"][0]["rows"]]
    assert cusips == ["800000000", *TIED, "900000000"]


def test_the_document_follows_the_sorted_table(built):
    etree = pytest.importorskip("lxml.etree")
    out, _, results = built
    root = etree.parse(str(results / "report.xml")).getroot()
    cusips = [e.findtext(f"{{{NAMESPACE}}}cusip") for e in root]
    assert cusips == [row["cusip"] for row in out["report"]["passed"][0]["rows"]]
    raw = (results / "report.xml").read_bytes()
    assert b"<nameOfIssuer>AT&amp;T INC</nameOfIssuer>" in raw
    assert b"<titleOfClass>COM &amp; PFD &lt;X&gt;</titleOfClass>" in raw


def test_no_holdings_stop_before_anything_is_asked_or_written(built):
    out, _, results = built
    empty = out["empty"]
    assert empty["raised"] == "ValueError" and empty["passed"] == [] and empty["looked_up"] == []
    assert empty["message"].startswith("No holding of the portfolio is on the quarter's 13(f) "
                                       "list with quantity and value above zero")
    # Called directly, without a run's reconciliation, there are no counts to give.
    for words in ("have no rows", "at least one entry", "nothing was written",
                  str(results / "empty.xml"), "Form 13F"):
        assert words in empty["message"]
    assert not (results / "empty.xml").exists()


@pytest.mark.parametrize("case, kind", [
    ("empty", "ValueError"),
    ("not_listed", "IndexError"),
    ("missing_value", "ValueError"),
    ("text_quantity", "TypeError"),
    ("missing_description", "TypeError"),
])
def test_a_failing_row_writes_nothing(built, case, kind):
    out, _, results = built
    assert out[case]["raised"] == kind
    assert "Tavrin.f13excel" in out[case]["trace"]
    assert not (results / f"{case}.xml").exists() and not (results / f"{case}.xlsx").exists()


@pytest.mark.parametrize("case", ["report", "empty", "not_listed"])
def test_the_inputs_are_left_as_they_were(built, case):
    out, _, _ = built
    assert out[case]["unchanged"] is True


def test_report_document_validates(built, information_table_schema):
    _, _, results = built
    assert schema_errors(information_table_schema, results / "report.xml") == []


# -- the whole import ------------------------------------------------------------

PIPELINE_HOLDINGS = [
    Holding("594918104", description="MICROSOFT CORP COM", quantity=30, value=9000.5),
    Holding("037833100", description="APPLE INC COM", quantity=10.5, value=2000.4),
    Holding("88160R101", description="TESLA INC COM", quantity=5, value=1000.0),
]
PIPELINE_LIST = [
    ("037833100", "APPLE INC", "COM"),
    ("594918104", "MICROSOFT CORP", "COM"),
    ("023135106", "AMAZON COM INC", "COM"),
]


@pytest.fixture(scope="module")
def pipeline(tmp_path_factory):
    workdir = make_workdir(tmp_path_factory.mktemp("pipeline") / "work")
    prepare_inputs(workdir, PIPELINE_HOLDINGS, PIPELINE_LIST)
    with OpenFigiServer(matches_for) as server:
        run = run_host(workdir, LIST_STAND_INS + "import Tavrin\n",
                       env=host_environment(TAVRIN_OPENFIGI_BASE_URL=server.base_url))
    return run.check(), server.records, workdir / "Results"


def test_the_import_runs_from_the_list_to_the_document(pipeline, information_table_schema):
    etree = pytest.importorskip("lxml.etree")
    _, records, results = pipeline
    assert schema_errors(information_table_schema, results / "F13Results.xml") == []
    tree = etree.parse(str(results / "F13Results.xml"))
    fields = ("nameOfIssuer", "cusip", "figi", "value", "sshPrnamt")
    entries = [tuple(entry.findtext(f".//{{{NAMESPACE}}}{field}") for field in fields)
               for entry in tree.getroot()]
    assert entries == [
        ("APPLE INC", "037833100", matches_for("037833100")[0]["figi"], "2000", "10"),
        ("MICROSOFT CORP", "594918104", matches_for("594918104")[0]["figi"], "9000", "30"),
    ]
    assert [sorted(job["idValue"] for job in r.jobs) for r in records] == [
        ["037833100", "594918104"]]
    assert not (results / "F13Results.xlsx").exists()  # the debug switch is off
