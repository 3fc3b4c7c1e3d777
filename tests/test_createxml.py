"""The information-table XML writer, called from a host after a quiet import.

The host runs with a default text encoding that is not UTF-8 (ASCII where
the platform allows it), so every document here also shows that the writer
does not depend on it. Each case writes to its own file by rebinding
`fres_path`, which the writer reads at the moment of the call.
"""
from __future__ import annotations

import codecs
import math
import os

import pandas as pd
import pytest

from report_inputs import LIST_STAND_INS, prepare_quiet_import, schema_errors
from scenario import host_environment, make_workdir, run_host

NAMESPACE = "http://www.sec.gov/edgar/document/thirteenf/informationtable"
COLUMNS = [
    "nameofissuer", "titleofclass", "cusip", "figi", "value", "sshPrnamt", "sshPrnamtType",
    "PutCall", "investmentDiscretion", "otherManager", "Sole", "Shared", "None",
]
DECLARATION = '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>'
ROOT_START = f'<informationTable xmlns="{NAMESPACE}">'
ROOT_END = "</informationTable>"
ASCII_DEFAULT = dict(LC_ALL="C", LANG="C", PYTHONCOERCECLOCALE="0", PYTHONUTF8="0")

TWO_ROWS = [
    ["AT&amp;T INC", "COM", "00206R102", "BBG000BSJK37", 1234, 100, "SH", "CALL", "SOLE",
     0, 0, 0, 100],
    [12.0, "PUT", "037833100", " ", 1236, 7, "SH", "PUT", "SOLE", math.nan, 0, 0, 7],
]

# Title of class as the table holds it -> the bytes between the tags.
TITLES = [
    ("COM &amp; PFD", b"COM &amp; PFD"),
    ("COM & PFD", b"COM &amp; PFD"),
    ("1<2>0", b"1&lt;2&gt;0"),
    ("&lt;&gt;&quot;&apos;", b"&lt;&gt;&quot;&apos;"),
    ("&#233;&#xE9;", b"&#233;&#xE9;"),
    ("&nbsp;", b"&amp;nbsp;"),
    ("&#0;&#x110000;&#;", b"&amp;#0;&amp;#x110000;&amp;#;"),
    ("R&", b"R&amp;"),
    ("CAF\u00c9 \u20ac \U0001f600", "CAF\u00c9 \u20ac \U0001f600".encode("utf-8")),
    ("A\x00B\x01C\x0bD\x1fE", b"ABCDE"),
    ("TAB\tOK", b"TAB\tOK"),
    ("\ud800X\ufffeY\uffffZ", b"XYZ"),
]

# FIGI as the table holds it -> whether the element is written.
FIGIS = [
    ("BBG000BSJK37", True),
    ("bbg000bsjk37", True),
    (123456789012, True),
    (" ", False),
    ("", False),
    ("BBG000BSJK3", False),
    ("BBG000BSJK371", False),
    ("BBG000BSJK-7", False),
    ("BBG000BSJK\u00c97", False),
    (math.nan, False),
]


def row(n: int, title="COM", figi="BBG000BSJK37") -> list:
    value, shares = 1000 + n, 10 + n
    return [f"ISSUER {n}", title, f"{n:09d}", figi, value, shares, "SH", "", "SOLE", 0, 0, 0, shares]


NAME_RULE = ("nameOfIssuer may hold only letters, digits, blanks and "
             "! \\ # $ ( ) , . : ; ` = @ ' - { } | / &")

# A value EDGAR's schema refuses, in one entry of an otherwise good table ->
# the rule the refusal states. Names stand for every character class the
# name pattern leaves out.
REFUSED = [
    *[(("name", f"ACME {c} CORP"), f'{NAME_RULE} (it holds "{c}")') for c in '<>%+*"_[]?'],
    (("name", "CAF\u00c9 INC"), f'{NAME_RULE} (it holds "\u00c9" (U+00C9))'),
    (("name", "N" * 151), "nameOfIssuer may hold at most 150 characters (it holds 151)"),
    (("title", "T" * 151), "titleOfClass may hold at most 150 characters (it holds 151)"),
    (("name", "\x00\x01"), "nameOfIssuer is empty once the characters an XML document cannot "
                           "hold are dropped; it must hold 1 to 150 characters"),
    (("value", 10 ** 16), "value must be a whole number of dollars, not negative, of at most "
                          '16 digits (it holds "10000000000000000")'),
]


def refused_table(field: str, held) -> pd.DataFrame:
    rows = [row(1), row(2), row(3)]
    rows[1][{"name": 0, "title": 1, "value": 4}[field]] = held
    return pd.DataFrame(rows, columns=COLUMNS, dtype=object)


def tables() -> dict[str, pd.DataFrame]:
    return {
        "two_rows": pd.DataFrame(TWO_ROWS, columns=COLUMNS, dtype=object),
        "empty": pd.DataFrame(columns=COLUMNS),
        "titles": pd.DataFrame([row(n, title=t) for n, (t, _) in enumerate(TITLES)],
                               columns=COLUMNS),
        "figis": pd.DataFrame([row(n, figi=f) for n, (f, _) in enumerate(FIGIS)],
                              columns=COLUMNS, dtype=object),
        "short": pd.DataFrame([row(1)[:12]], columns=COLUMNS[:12]),
        **{f"refused{n}": refused_table(*case) for n, (case, _) in enumerate(REFUSED)},
        "surrogate": pd.DataFrame([row(1)], columns=COLUMNS).assign(
            nameofissuer="LONE\ud800 SURROGATE INC"),
    }


HOST = LIST_STAND_INS + """
import contextlib, io, locale, os, traceback
import pandas as pd
import Tavrin

tables = pd.read_pickle("tables.pkl")

def write(target, df, keyword=False):
    Tavrin.fres_path = os.path.join("Results", target + ".xlsx")
    printed = io.StringIO()
    try:
        with contextlib.redirect_stdout(printed):
            Tavrin.createxml(df=df) if keyword else Tavrin.createxml(df)
        failure = None
    except Exception as error:
        failure = {"raised": type(error).__name__,
                   "kinds": [k.__name__ for k in type(error).__mro__],
                   "trace": "".join(traceback.format_exception(error))}
    return {"printed": printed.getvalue().splitlines(), "failure": failure}

def written(target):
    with open(os.path.join("Results", target + ".xml"), "rb") as f:
        return f.read().hex()

class Unprintable:
    def __str__(self):
        raise RuntimeError("no text for this cell")

out = {"default_encoding": locale.getpreferredencoding(False)}
out["two_rows"] = write("two_rows", tables["two_rows"], keyword=True)
out["titles"] = write("titles", tables["titles"])
out["figis"] = write("figis", tables["figis"])
out["surrogate"] = write("surrogate", tables["surrogate"])

# Failures half-way, and documents EDGAR would refuse: the previous
# document must survive them whole.
unprintable = tables["titles"].copy().astype(object)
unprintable.iloc[1, 4] = Unprintable()
failing = {"unprintable": unprintable, "short": tables["short"], "empty": tables["empty"],
           **{name: table for name, table in tables.items() if name.startswith("refused")}}
for target, table in failing.items():
    write(target, tables["two_rows"])
    before = written(target)
    out[target] = dict(write(target, table), before=before)

# A disk that fills up while the document is being written.
import builtins
real_open = builtins.open

class FillsUp:
    def __init__(self, file):
        self.file = file
    def __enter__(self):
        return self
    def __exit__(self, *exc):
        return self.file.__exit__(*exc)
    def write(self, text):
        self.file.write(text[: len(text) // 2])
        self.file.flush()
        raise OSError(28, "No space left on device")

def open_that_fills_up(file, mode="r", *args, **kwargs):
    opened = real_open(file, mode, *args, **kwargs)
    return FillsUp(opened) if "x" in mode or "w" in mode else opened

write("full", tables["two_rows"])
before = written("full")
builtins.open = open_that_fills_up
try:
    out["full"] = dict(write("full", tables["titles"]), before=before)
finally:
    builtins.open = real_open
os.mkdir(os.path.join("Results", "blocked.xml"))
out["blocked"] = write("blocked", tables["two_rows"])
emit(out)
"""


def expected_document(lines: list[str]) -> bytes:
    # Text mode: each line feed reaches the file as the platform's line end.
    return os.linesep.join([DECLARATION, ROOT_START, *lines, ROOT_END]).encode("utf-8")


def entry(name, title, cusip, figi, value, shares, manager) -> list[str]:
    return [
        "\t<infoTable>",
        f"\t\t<nameOfIssuer>{name}</nameOfIssuer>",
        f"\t\t<titleOfClass>{title}</titleOfClass>",
        f"\t\t<cusip>{cusip}</cusip>",
        *([f"\t\t<figi>{figi}</figi>"] if figi else []),
        f"\t\t<value>{value}</value>",
        "\t\t<shrsOrPrnAmt>",
        f"\t\t\t<sshPrnamt>{shares}</sshPrnamt>",
        "\t\t\t<sshPrnamtType>SH</sshPrnamtType>",
        "\t\t</shrsOrPrnAmt>",
        "\t\t<investmentDiscretion>SOLE</investmentDiscretion>",
        f"\t\t<otherManager>{manager}</otherManager>",
        "\t\t<votingAuthority>",
        "\t\t\t<Sole>0</Sole>",
        "\t\t\t<Shared>0</Shared>",
        f"\t\t\t<None>{shares}</None>",
        "\t\t</votingAuthority>",
        "\t</infoTable>",
    ]


@pytest.fixture(scope="module")
def written(tmp_path_factory):
    workdir = make_workdir(tmp_path_factory.mktemp("createxml") / "work")
    prepare_quiet_import(workdir)
    pd.to_pickle(tables(), workdir / "tables.pkl")
    run = run_host(workdir, HOST, env=host_environment(**ASCII_DEFAULT)).check()
    return run.result(), workdir / "Results"


def document(results, target: str) -> bytes:
    return (results / f"{target}.xml").read_bytes()


def entries(results, target: str):
    etree = pytest.importorskip("lxml.etree")
    root = etree.fromstring(document(results, target))
    return root.findall(f"{{{NAMESPACE}}}infoTable")


# -- layout ----------------------------------------------------------------------


def test_the_import_time_run_wrote_its_document_beside_the_workbook(written):
    _, results = written
    assert document(results, "F13Results") == expected_document(
        entry("QUIET HOLDING LTD", "SHS", "G0R21F105", None, 1000, 10, 0))


def test_two_rows_give_two_entries_byte_for_byte(written):
    _, results = written
    assert document(results, "two_rows") == expected_document(
        entry("AT&amp;T INC", "COM", "00206R102", "BBG000BSJK37", 1234, 100, 0)
        + entry("12.0", "PUT", "037833100", None, 1236, 7, "nan")
    )


def test_one_progress_line_per_row_after_the_trace_line_then_the_summary(written):
    out, results = written
    printed = out["two_rows"]["printed"]
    assert printed[1:3] == [" ".join(str(row[k]) for k in (0, 2, 3, 4)) for row in TWO_ROWS]
    assert printed[3:] == [f"Information table written: {results / 'two_rows.xml'}",
                           "Information table entries: 2",
                           "Information table value total: $2,470"]


def test_progress_lines_show_the_text_the_document_holds(written):
    out, _ = written
    figis = out["figis"]["printed"]
    assert figis[1] == "ISSUER 0 000000000 BBG000BSJK37 1000"
    titles = out["titles"]["printed"]
    assert len(titles) == 1 + len(TITLES) + 3
    assert out["surrogate"]["printed"][1] == "LONE SURROGATE INC 000000001 BBG000BSJK37 1001"


def test_no_put_call_element_whatever_the_column_holds(written):
    _, results = written
    assert b"putCall" not in document(results, "two_rows")
    assert {"CALL", "PUT"} <= {row[7] for row in TWO_ROWS}


def test_utf8_whatever_the_default_text_encoding(written):
    out, _ = written
    if codecs.lookup(out["default_encoding"]).name == "utf-8":
        pytest.skip("this platform would not let the host run with another default encoding")
    assert "CAF\u00c9".encode("utf-8") in document(written[1], "titles")


# -- values ----------------------------------------------------------------------


@pytest.mark.parametrize("position, expected", [(n, e) for n, (_, e) in enumerate(TITLES)],
                         ids=[repr(t) for t, _ in TITLES])
def test_values_are_made_safe_for_xml(written, position, expected):
    _, results = written
    data = document(results, "titles")
    start = data.index(f"<cusip>{position:09d}</cusip>".encode())
    tag_start = data.rindex(b"<titleOfClass>", 0, start) + len(b"<titleOfClass>")
    assert data[tag_start:data.index(b"</titleOfClass>", tag_start)] == expected


@pytest.mark.parametrize("position, kept", [(n, k) for n, (_, k) in enumerate(FIGIS)],
                         ids=[repr(f) for f, _ in FIGIS])
def test_figi_written_only_when_it_has_the_schema_shape(written, position, kept):
    _, results = written
    figis = entries(results, "figis")[position].findall(f"{{{NAMESPACE}}}figi")
    assert [f.text for f in figis] == ([str(FIGIS[position][0])] if kept else [])


# -- failures --------------------------------------------------------------------


@pytest.mark.parametrize("target, kind", [("unprintable", "RuntimeError"), ("short", "IndexError"),
                                          ("full", "OSError"), ("empty", "ValueError")])
def test_a_failure_half_way_leaves_the_previous_document(written, target, kind):
    out, results = written
    failure = out[target]["failure"]
    assert failure["raised"] == kind
    assert "Tavrin.createxml" in failure["trace"]
    previous = bytes.fromhex(out[target]["before"])
    assert previous == document(results, "two_rows")
    assert document(results, target) == previous


def test_an_empty_table_is_refused_as_edgar_needs_an_entry(written):
    out, _ = written
    assert "a document without entries (it needs at least one infoTable)" in \
        out["empty"]["failure"]["trace"]


@pytest.mark.parametrize("number, rule", [(n, rule) for n, (_, rule) in enumerate(REFUSED)],
                         ids=[f"{field}:{str(held)[:12]!r}" for (field, held), _ in REFUSED])
def test_a_document_edgar_would_refuse_is_not_written(written, number, rule):
    out, results = written
    target = f"refused{number}"
    failure = out[target]["failure"]
    assert failure["raised"] == "ValueError"
    message = failure["trace"]
    assert "EDGAR's schema refuses 1 of its 3 entries:" in message
    assert "\n  entry 2, " in message and f"(CUSIP 000000002): {rule}\n" in message
    assert document(results, target) == bytes.fromhex(out[target]["before"])


def test_a_document_that_cannot_take_its_place_leaves_nothing_behind(written):
    out, results = written
    assert "OSError" in out["blocked"]["failure"]["kinds"]
    assert (results / "blocked.xml").is_dir()
    assert not any((results / "blocked.xml").iterdir())


def test_no_temporary_file_is_left_in_the_folder(written):
    _, results = written
    names = {p.name for p in results.iterdir()}
    assert names == {"F13Results.xml", "F13Review.xlsx", "two_rows.xml", "titles.xml", "figis.xml",
                     "surrogate.xml",
                     "unprintable.xml", "short.xml", "blocked.xml", "full.xml", "empty.xml",
                     *(f"refused{n}.xml" for n in range(len(REFUSED)))}


# -- schema ----------------------------------------------------------------------


@pytest.mark.parametrize("target", ["two_rows", "titles", "figis", "unprintable", "short", "F13Results"])
def test_documents_validate_against_the_edgar_schema(written, information_table_schema, target):
    _, results = written
    assert schema_errors(information_table_schema, results / f"{target}.xml") == []

