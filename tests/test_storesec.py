"""The list extraction: the per-table workbook, the stacked table, the list's rows.

The host runs import Tavrin (which reads the small list once) and then call
storesec() on other lists by rebinding sec_pdf_path; a stand-in for the
module's cleancusip global keeps the stacked table exactly as storesec hands
it over. Every storesec() call starts Java, so each host run reads a list
made to show several behaviours at once.
"""
import os
import re
import shutil
from dataclasses import replace
from datetime import date
from types import SimpleNamespace

import pandas as pd
import pytest
from openpyxl import load_workbook

from report_inputs import schema_errors
from scenario import (EDGAR, BASE_LIST, host_environment, make_workdir, run_host,
                      stand_in_sites, write_base_inputs)
from standins import seclist_pdf
from standins.sec_server import list_path
from standins.seclist_pdf import ROWS_PER_PAGE, list_pdf_bytes, make_rows, page_count
from standins.workbooks import Holding, write_portfolio, write_removal

SECLIST = EDGAR / "seclist"
needs_edgar = pytest.mark.skipif(not SECLIST.is_dir(),
                                 reason="the real list excerpts are not beside the repository")


def run_after_import(folder, body, **env):
    with stand_in_sites() as (sec, figi):
        environment = host_environment(TAVRIN_SEC_BASE_URL=sec.base_url,
                                       TAVRIN_OPENFIGI_BASE_URL=figi.base_url, **env)
        return run_host(folder, body, env=environment).check()


# Helpers the host scripts share: a table as JSON (missing cells as null) and
# a stand-in for cleancusip that keeps what storesec hands it.
HOST_HELPERS = """
import contextlib, io, shutil
from pathlib import Path
import Tavrin

def as_json(df):
    return {"columns": [str(c) for c in df.columns], "index": [int(i) for i in df.index],
            "rows": df.astype(object).where(df.notna(), None).values.tolist()}

real_cleancusip = Tavrin.cleancusip
handed = {}

def keeping_cleancusip(df, cusip, mpath):
    handed["stacked"] = as_json(df)  # before cleancusip changes it in place
    handed["arguments"] = [cusip, mpath]
    handed["returned"] = real_cleancusip(df, cusip, mpath)
    return handed["returned"]

def extract(pdf):
    Tavrin.sec_pdf_path = str(pdf)
    Tavrin.cleancusip = keeping_cleancusip
    printed = io.StringIO()
    try:
        with contextlib.redirect_stdout(printed):
            returned = Tavrin.storesec()
    finally:
        Tavrin.cleancusip = real_cleancusip
    sheets = Tavrin.pd.read_excel(Tavrin.sec_excel_Path, sheet_name=None, engine="openpyxl")
    return {"stacked": handed["stacked"], "arguments": handed["arguments"],
            "is what cleancusip returned": returned is handed["returned"],
            "returned": as_json(returned),
            "checked": [line for line in printed.getvalue().splitlines()
                        if line.startswith("The list ")],
            "stored cusips": [c for sheet in sheets.values() if "CUSIP NO" in sheet
                              for c in sheet["CUSIP NO"].dropna().tolist()]}
"""


def column(table, label):
    position = table["columns"].index(label)
    return [row[position] for row in table["rows"]]


def present(values):
    return [v for v in values if v is not None]


# --------------------------------------------------------------------------
# A generated list of 20 pages
# --------------------------------------------------------------------------

ROWS = make_rows(600, seed=11)
PAGES = page_count(len(ROWS))  # the cover, the information page and 18 data pages
DATA_PAGES = [ROWS[i:i + ROWS_PER_PAGE] for i in range(0, len(ROWS), ROWS_PER_PAGE)]
NO_ASTERISK_PAGE = 4  # data page 5, Sheet7: its rows lose their asterisks
NOTES_PAGE = 6  # data page 7, Sheet9: gets text in the top band and the left margin
LEFT_MARK = "LEFTMARK"  # 6 pt Helvetica at x=10: ends well left of 50 pt
TOP_MARK = "TOPMARK"


def generated_rows():
    rows = list(ROWS)
    start = NO_ASTERISK_PAGE * ROWS_PER_PAGE
    rows[start:start + ROWS_PER_PAGE] = [replace(r, has_options=False)
                                         for r in rows[start:start + ROWS_PER_PAGE]]
    return rows


def sheet_of_data_page(page):
    return f"Sheet{page + 3}"


def write_generated_list(path):
    rows = generated_rows()
    pages = [rows[i:i + ROWS_PER_PAGE] for i in range(0, len(rows), ROWS_PER_PAGE)]
    # all the other data pages have an asterisk, so only one lacks that column
    assert [any(r.has_options for r in p) for p in pages].count(False) == 1
    contents = list(seclist_pdf._pages(rows, 2026, 2, False, "20:37"))
    notes = (f"BT\n/H 6 Tf\n1 0 0 1 10.00 {792 - 300:.2f} Tm ({LEFT_MARK}) Tj\n"
             f"/H 10 Tf\n1 0 0 1 300.00 {792 - 50:.2f} Tm ({TOP_MARK}) Tj\nET\n").encode()
    contents[NOTES_PAGE + 2] += notes
    with open(path, "wb") as out:
        assert seclist_pdf._write_pdf(out, contents) == PAGES


GENERATED = HOST_HELPERS + """
result = extract("generated.pdf")
shutil.copy(Tavrin.sec_excel_Path, "generated-F13X.xlsx")
result["consolidated"] = {"off": Path(Tavrin.sec_cons_path).exists()}

Tavrin.mydebug = True
small = extract(Path("Store") / "F13SEC.pdf")  # the small list the import fetched
result["consolidated"]["on"] = Path(Tavrin.sec_cons_path).exists()
result["small"] = small["returned"]
result["consolidated table"] = as_json(Tavrin.pd.read_excel(Tavrin.sec_cons_path, index_col=0))
result["sec_cons_path"] = Tavrin.sec_cons_path
emit(result)
"""


@pytest.fixture(scope="module")
def generated(tmp_path_factory):
    folder = make_workdir(tmp_path_factory.mktemp("generated") / "work")
    write_base_inputs(folder)
    write_generated_list(folder / "generated.pdf")
    run = run_after_import(folder, GENERATED)
    result = run.result()
    workbook = load_workbook(folder / "generated-F13X.xlsx")
    return SimpleNamespace(folder=folder, stacked=result["stacked"], returned=result["returned"],
                           result=result, workbook=workbook,
                           sheets=pd.read_excel(folder / "generated-F13X.xlsx", sheet_name=None,
                                                engine="openpyxl"))


def test_one_sheet_per_page_named_by_position(generated):
    assert generated.workbook.sheetnames == [f"Sheet{i}" for i in range(1, PAGES + 1)]


def test_pandas_reads_the_sheets_in_workbook_order(generated):
    assert list(generated.sheets) == [f"Sheet{i}" for i in range(1, PAGES + 1)]


def test_each_sheet_begins_with_its_row_numbers(generated):
    firsts = {ws.title: [row[0] for row in ws.iter_rows(values_only=True)]
              for ws in generated.workbook}
    assert all(len(values) > 1 for values in firsts.values())
    assert firsts == {name: [None, *range(len(values) - 1)] for name, values in firsts.items()}


def test_data_sheets_hold_one_row_per_printed_line(generated):
    lengths = [len(generated.sheets[sheet_of_data_page(p)]) for p in range(len(DATA_PAGES))]
    # the last page also holds the "Total Count" line
    assert lengths == [len(p) for p in DATA_PAGES[:-1]] + [len(DATA_PAGES[-1]) + 1]


def test_stacked_columns_are_the_union_in_order_of_first_appearance(generated):
    # the row numbers of a sheet whose table has tabula's "Unnamed: 0" column
    # (the option asterisks) are read back as "Unnamed: 0.1"
    assert generated.stacked["columns"] == [
        "Unnamed: 0", "List of Section 13F Securities", "General", "Unnamed: 0.1",
        "CUSIP NO", "ISSUER NAME", "ISSUER DESCRIPTION", "STATUS"]


def test_stacked_rows_are_renumbered(generated):
    assert generated.stacked["index"] == list(range(sum(len(s) for s in generated.sheets.values())))


def test_stacked_rows_follow_the_sheets_in_workbook_order(generated):
    # Sheet10 and on follow Sheet9: the CUSIPs come in the list's printed order
    assert present(column(generated.stacked, "CUSIP NO")) == [r.printed_cusip for r in ROWS]


def test_front_pages_come_first(generated):
    cover = len(generated.sheets["Sheet1"])
    information = len(generated.sheets["Sheet2"])
    assert cover > 0 and information > 0
    first_cusip = column(generated.stacked, "CUSIP NO").index(ROWS[0].printed_cusip)
    assert first_cusip == cover + information
    assert column(generated.stacked, "List of Section 13F Securities")[cover - 1] is not None
    assert column(generated.stacked, "General")[cover + information - 1] is not None


def stacked_rows_of(generated, sheet):
    names = list(generated.sheets)
    start = sum(len(generated.sheets[n]) for n in names[:names.index(sheet)])
    columns = generated.stacked["columns"]
    rows = generated.stacked["rows"][start:start + len(generated.sheets[sheet])]
    return {label: [row[i] for row in rows] for i, label in enumerate(columns)}


@pytest.mark.parametrize("sheet, row_numbers", [
    ("Sheet1", "Unnamed: 0"),
    ("Sheet2", "Unnamed: 0"),
    (sheet_of_data_page(NO_ASTERISK_PAGE), "Unnamed: 0"),
    (sheet_of_data_page(NO_ASTERISK_PAGE + 1), "Unnamed: 0.1"),
    (sheet_of_data_page(len(DATA_PAGES) - 1), "Unnamed: 0.1"),
])
def test_stacked_table_keeps_each_sheets_row_numbers(generated, sheet, row_numbers):
    # A sheet's empty first heading is read back as "Unnamed: 0", unless the
    # table itself has a column of that name (tabula's label for the asterisk
    # column): then the row numbers are read back as "Unnamed: 0.1".
    rows = stacked_rows_of(generated, sheet)
    assert rows[row_numbers] == list(range(len(generated.sheets[sheet])))


@pytest.mark.parametrize("sheet, lacking", [
    ("Sheet1", ["General", "Unnamed: 0.1", "CUSIP NO", "ISSUER NAME", "ISSUER DESCRIPTION",
                "STATUS"]),
    ("Sheet2", ["List of Section 13F Securities", "Unnamed: 0.1", "CUSIP NO", "ISSUER NAME",
                "ISSUER DESCRIPTION", "STATUS"]),
    # the page without asterisks has no asterisk column
    (sheet_of_data_page(NO_ASTERISK_PAGE), ["List of Section 13F Securities", "General",
                                            "Unnamed: 0.1"]),
    (sheet_of_data_page(NO_ASTERISK_PAGE + 1), ["List of Section 13F Securities", "General"]),
])
def test_columns_a_sheet_lacks_are_empty_in_its_rows(generated, sheet, lacking):
    rows = stacked_rows_of(generated, sheet)
    assert {label: present(rows[label]) for label in lacking} == {label: [] for label in lacking}


@pytest.mark.parametrize("page, header", [
    (NO_ASTERISK_PAGE, [None, "CUSIP NO", "ISSUER NAME", "ISSUER DESCRIPTION", "STATUS"]),
    (NO_ASTERISK_PAGE + 1, [None, "CUSIP NO", "Unnamed: 0", "ISSUER NAME", "ISSUER DESCRIPTION",
                            "STATUS"]),
])
def test_only_pages_with_asterisks_have_the_asterisk_column(generated, page, header):
    sheet = generated.workbook[sheet_of_data_page(page)]
    assert [c.value for c in next(sheet.iter_rows(max_row=1))] == header


def test_asterisks_of_a_page_arrive_in_unnamed0(generated):
    page = NO_ASTERISK_PAGE + 1
    rows = stacked_rows_of(generated, sheet_of_data_page(page))
    assert rows["Unnamed: 0"] == ["*" if r.has_options else None for r in DATA_PAGES[page]]


def test_returned_table_starts_with_unnamed0(generated):
    assert generated.returned["columns"][:4] == [
        "Unnamed0", "ListofSection13FSecurities", "General", "Unnamed0.1"]
    assert generated.returned["columns"][4:] == [
        "CUSIPNO", "ISSUERNAME", "ISSUERDESCRIPTION", "STATUS"]


def test_returned_cusips_are_the_lists(generated):
    assert column(generated.returned, "CUSIPNO") == [r.cusip for r in ROWS]


def test_stated_count_is_met_without_a_word(generated):
    # the count closes the last page, in the description cell of a row of its own
    stacked = stacked_rows_of(generated, sheet_of_data_page(len(DATA_PAGES) - 1))
    assert stacked["ISSUER DESCRIPTION"][-1] == f"Total Count: {len(ROWS)}"
    assert stacked["CUSIP NO"][-1] is None
    assert generated.result["checked"] == []


def test_names_descriptions_and_statuses_come_as_printed(generated):
    printed = [[r.issuer[:28].rstrip(), r.description[:16].rstrip(), r.status or None]
               for r in ROWS]
    arrived = zip(*(column(generated.returned, label)
                    for label in ["ISSUERNAME", "ISSUERDESCRIPTION", "STATUS"]))
    assert [list(row) for row in arrived] == printed
    assert {"ADDED", "DELETED"} <= {r.status for r in DATA_PAGES[-1]}  # the last page has both


def test_last_pages_merged_heading_is_split_back_in_the_workbook(generated):
    sheet = generated.workbook[sheet_of_data_page(len(DATA_PAGES) - 1)]
    assert [c.value for c in next(sheet.iter_rows(max_row=1))] == [
        None, "CUSIP NO", "Unnamed: 0", "ISSUER NAME", "ISSUER DESCRIPTION", "STATUS"]


@pytest.mark.parametrize("text", ["Run Date", "Run Time", "IVM001", "Page 1", "Qtr",
                                  TOP_MARK, LEFT_MARK])
def test_text_at_the_top_and_left_edges_never_arrives(generated, text):
    cells = generated.stacked["columns"] + [str(v) for row in generated.stacked["rows"] for v in row]
    assert [cell for cell in cells if text in cell] == []


def test_cleancusip_gets_the_stacked_table_and_its_table_is_returned(generated):
    result = generated.result
    assert result["arguments"] == ["CUSIPNO", result["sec_cons_path"]]
    assert result["is what cleancusip returned"] is True


@pytest.mark.parametrize("mydebug, written", [("off", False), ("on", True)])
def test_consolidated_list_is_saved_only_in_debug(generated, mydebug, written):
    assert generated.result["consolidated"][mydebug] is written


def test_consolidated_list_holds_the_returned_table(generated):
    saved = generated.result["consolidated table"]
    assert column(saved, "CUSIPNO") == column(generated.result["small"], "CUSIPNO")
    assert column(saved, "CUSIPNO")[:len(BASE_LIST)] == [c for c, *_ in BASE_LIST]


# --------------------------------------------------------------------------
# The list's stated count against what arrived
# --------------------------------------------------------------------------

ONE_PAGE = make_rows(20, seed=4)
LOST_PAGE = 4  # data page 5 (Sheet7) left out of the PDF
NO_CUSIPS, NO_DESCRIPTIONS = 2, 9  # data pages 3 and 10 (Sheet5, Sheet12)


def write_list_losing_rows(path, lose_page=None, lose_cusips=None, lose_descriptions=None):
    contents = list(seclist_pdf._pages(ROWS, 2026, 2, False, "20:37"))
    layout = seclist_pdf._LAYOUT_SPLIT
    if lose_cusips is not None:  # the CUSIPs are the page's only TJ strings
        page = contents[lose_cusips + 2].decode("latin-1")
        contents[lose_cusips + 2] = re.sub(r"^.*TJ\n", "", page, flags=re.M).encode("latin-1")
    if lose_descriptions is not None:
        page = contents[lose_descriptions + 2].decode("latin-1")
        at = f" {layout.description_x:.2f} "
        kept = [line for line in page.split("\n") if at not in line or "Tm (ISSUER" in line]
        contents[lose_descriptions + 2] = "\n".join(kept).encode("latin-1")
    if lose_page is not None:
        del contents[lose_page + 2]
    with open(path, "wb") as out:
        seclist_pdf._write_pdf(out, contents)


COUNTS = HOST_HELPERS + """
emit({name: extract(name) for name in ["one-page.pdf", "lost-page.pdf", "lost-rows.pdf"]})
"""


@pytest.fixture(scope="module")
def counted(tmp_path_factory):
    folder = make_workdir(tmp_path_factory.mktemp("counts") / "work")
    write_base_inputs(folder)
    seclist_pdf.write_list_pdf(folder / "one-page.pdf", ONE_PAGE, 2026, 2)
    write_list_losing_rows(folder / "lost-page.pdf", lose_page=LOST_PAGE)
    write_list_losing_rows(folder / "lost-rows.pdf", lose_cusips=NO_CUSIPS,
                           lose_descriptions=NO_DESCRIPTIONS)
    return run_after_import(folder, COUNTS).result()


def test_one_page_list_keeps_its_descriptions(counted):
    returned = counted["one-page.pdf"]["returned"]
    assert [column(returned, label) for label in ["CUSIPNO", "ISSUERDESCRIPTION", "STATUS"]] == [
        [r.cusip for r in ONE_PAGE], [r.description for r in ONE_PAGE],
        [r.status or None for r in ONE_PAGE]]
    assert counted["one-page.pdf"]["checked"] == []


@pytest.mark.parametrize("name, line", [
    ("lost-page.pdf", '" but 566 of its rows carry a CUSIP (34 fewer). Rows without a CUSIP: '
                      'none. Rows without a description: none. Compare '),
    ("lost-rows.pdf", '" but 566 of its rows carry a CUSIP (34 fewer). Rows without a CUSIP: '
                      'Sheet5 (34). Rows without a description: Sheet12 (34). Compare '),
])
def test_rows_short_of_the_stated_count_are_reported_in_one_line(counted, name, line):
    (checked,) = counted[name]["checked"]
    assert checked.startswith(f'The list {name} states "Total Count: 600{line}')
    assert checked.endswith("F13X.xlsx with the PDF: the SEC may have changed the list's layout.")


# --------------------------------------------------------------------------
# The real list excerpts
# --------------------------------------------------------------------------

REAL = HOST_HELPERS + """
emit({name: extract(Path({folder!r}) / name) for name in
      ["13flist2026q2-excerpt.pdf", "13flist2025q4-excerpt.pdf", "13flist2020q3-lastpage.pdf"]})
"""

# The last page of the 2020 Q3 list, as printed (EDGAR README)
REAL_LAST_PAGE = [
    ("98986T108", "*", "ZYNGA INC", "CL A"),
    ("98986T908", None, "ZYNGA INC", "CALL"),
    ("98986T958", None, "ZYNGA INC", "PUT"),
    ("98986X109", "*", "ZYNERBA PHARMACEUTICALS INC", "COM"),
    ("98986X909", None, "ZYNERBA PHARMACEUTICALS INC", "CALL"),
    ("98986X959", None, "ZYNERBA PHARMACEUTICALS INC", "PUT"),
]

# CUSIPs that the 2025 Q4 excerpt prints with the option asterisk joined on
JOINED_ASTERISKS = ["B38564108", "B9151N105", "D18190898", "F21107101", "F92124100",
                    "G0084W101", "G0085J117"]


@pytest.fixture(scope="module")
def real(tmp_path_factory):
    if not SECLIST.is_dir():
        pytest.skip("the real list excerpts are not beside the repository")
    folder = make_workdir(tmp_path_factory.mktemp("real") / "work")
    write_base_inputs(folder)
    return run_after_import(folder, REAL.replace("{folder!r}", repr(str(SECLIST)))).result()


def printed_rows():
    lines = (SECLIST / "13flist2026q2-excerpt.txt").read_text().splitlines()
    return [{"cusip": line[0:9], "asterisk": line[9] == "*", "name": line[10:40].rstrip(),
             "description": line[40:67].rstrip()} for line in lines]


@needs_edgar
def test_real_list_rows_come_as_printed(real):
    table = real["13flist2026q2-excerpt.pdf"]["returned"]
    got = list(zip(column(table, "CUSIPNO"), column(table, "ISSUERNAME"),
                   column(table, "ISSUERDESCRIPTION")))
    expected = [(r["cusip"], r["name"], r["description"]) for r in printed_rows()]
    assert len(expected) == 34
    assert got == expected


@needs_edgar
def test_real_last_page_rows_come_with_their_descriptions(real):
    table = real["13flist2020q3-lastpage.pdf"]["returned"]
    labels = ["CUSIPNO", "Unnamed0", "ISSUERNAME", "ISSUERDESCRIPTION"]
    assert list(zip(*(column(table, label) for label in labels))) == REAL_LAST_PAGE
    assert present(column(table, "STATUS")) == []


@needs_edgar
@pytest.mark.parametrize("name, line", [
    ("13flist2020q3-lastpage.pdf",
     'states "Total Count: 18,298" but 6 of its rows carry a CUSIP (18,292 fewer). '
     'Rows without a CUSIP: none. Rows without a description: none.'),
    ("13flist2026q2-excerpt.pdf",
     'states no "Total Count: N" on its last page, so whether all of its rows arrived could '
     'not be checked (34 rows carry a CUSIP).'),
])
def test_real_excerpts_are_not_the_whole_list(real, name, line):
    (checked,) = real[name]["checked"]
    assert checked.startswith(f"The list {SECLIST / name} {line}")


@needs_edgar
def test_real_list_asterisks_arrive_in_unnamed0(real):
    table = real["13flist2026q2-excerpt.pdf"]["returned"]
    assert column(table, "Unnamed0") == ["*" if r["asterisk"] else None for r in printed_rows()]


@needs_edgar
@pytest.mark.parametrize("name", ["13flist2026q2-excerpt.pdf", "13flist2025q4-excerpt.pdf"])
def test_real_front_pages_give_no_cusip_rows(real, name):
    stacked, returned = real[name]["stacked"], real[name]["returned"]
    assert len(stacked["rows"]) > len(returned["rows"])  # the front pages did arrive ...
    cusips = column(returned, "CUSIPNO")
    assert len(cusips) == 34  # ... but only the data page's rows have a CUSIP
    assert all(len(c) == 9 and c.isalnum() for c in cusips)


@needs_edgar
@pytest.mark.parametrize("name", ["13flist2026q2-excerpt.pdf", "13flist2025q4-excerpt.pdf"])
@pytest.mark.parametrize("text", ["Run Date", "Run Time", "IVM001"])
def test_real_header_band_never_arrives(real, name, text):
    stacked = real[name]["stacked"]
    cells = stacked["columns"] + [str(v) for row in stacked["rows"] for v in row]
    assert [cell for cell in cells if text in cell] == []


@needs_edgar
@pytest.mark.parametrize("cusip", JOINED_ASTERISKS)
def test_joined_asterisk_is_stripped_from_the_cusip(real, cusip):
    extracted = real["13flist2025q4-excerpt.pdf"]
    printed = f"{cusip[:6]} {cusip[6:8]} {cusip[8]} *"
    assert printed in extracted["stored cusips"]  # the workbook has it as drawn ...
    assert cusip in column(extracted["returned"], "CUSIPNO")  # ... the list without the "*"


@needs_edgar
def test_no_cusip_keeps_an_asterisk(real):
    cusips = column(real["13flist2025q4-excerpt.pdf"]["returned"], "CUSIPNO")
    assert [c for c in cusips if "*" in c] == []


# --------------------------------------------------------------------------
# A machine without Java
# --------------------------------------------------------------------------

def without_java(path):
    return os.pathsep.join(d for d in path.split(os.pathsep)
                           if d and not os.access(os.path.join(d, "java"), os.X_OK))


@pytest.fixture(scope="module")
def java_missing(tmp_path_factory):
    folder = make_workdir(tmp_path_factory.mktemp("nojava") / "work")
    write_base_inputs(folder)
    path = without_java(os.environ.get("PATH", ""))
    assert shutil.which("java", path=path) is None
    run = run_after_import(folder, """
        import traceback
        try:
            import Tavrin
            emit(None)
        except Exception as error:
            emit({"type": type(error).__module__ + "." + type(error).__qualname__,
                  "message": str(error),
                  "entries": [[f.name, f.filename] for f in traceback.extract_tb(error.__traceback__)]})
    """, PATH=path)
    return SimpleNamespace(folder=folder, error=run.result())


def test_without_java_the_error_is_tabulas(java_missing):
    assert java_missing.error["type"] == "tabula.errors.JavaNotFoundError"
    # the download is read before it is stored
    assert ["Tavrin.getsec", "Tavrin.pyx"] in java_missing.error["entries"]


def test_without_java_the_message_says_to_install_a_java_runtime(java_missing):
    assert "install a Java runtime" in java_missing.error["message"]


def test_without_java_neither_the_list_nor_a_workbook_is_stored(java_missing):
    # a download that could not be read is not stored
    assert sorted(p.name for p in (java_missing.folder / "Store").iterdir()) == []


# --------------------------------------------------------------------------
# The whole list stage inside the import
# --------------------------------------------------------------------------

def reporting_period(today):
    quarter = (today.month - 1) // 3
    return (today.year, quarter) if quarter else (today.year - 1, 4)


def titles_of_class(report):
    from lxml import etree

    return {entry.findtext("{*}cusip"): entry.findtext("{*}titleOfClass")
            for entry in etree.parse(str(report)).getroot()}


def test_served_twenty_page_list_is_downloaded_and_extracted_on_import(
        services, workdir, information_table_schema):
    rows = make_rows(600, seed=5)
    year, quarter = reporting_period(date.today())
    served = list_pdf_bytes(rows, year, quarter)
    services.sec.add_list(year, quarter, served)
    held = [rows[3], rows[300], rows[599]]  # the last: a PUT on the last page
    write_portfolio(workdir / "Data" / "Portfolio.xlsx",
                    [Holding(r.cusip, r.issuer, 100, 5000.0) for r in held])
    write_removal(workdir / "Data" / "Removal.xlsx", [(held[1].cusip, held[1].issuer, 10, 500.0)])

    run = run_host(workdir, "import Tavrin\nemit([Tavrin.myYear, Tavrin.myQuarter])",
                   env=services.env).check()
    assert run.stderr == ""  # no Java or tabula-py noise
    assert "Total Count" not in run.stdout  # the stated count was met

    assert run.result() == [year, quarter]
    assert [r.path for r in services.sec.requests] == [list_path(year, quarter)]
    assert (workdir / "Store" / "F13SEC.pdf").read_bytes() == served
    sheets = pd.read_excel(workdir / "Store" / "F13X.xlsx", sheet_name=None, engine="openpyxl")
    assert list(sheets) == [f"Sheet{i}" for i in range(1, page_count(len(rows)) + 1)] and len(sheets) == 20
    cusips = [c.replace(" ", "") for s in sheets.values() if "CUSIP NO" in s
              for c in s["CUSIP NO"].dropna()]
    assert cusips == [r.cusip for r in rows]

    # the held PUT printed on the last page gets its entry
    assert (held[2].description, rows.index(held[2]) // ROWS_PER_PAGE) == ("PUT", 17)
    report = workdir / "Results" / "F13Results.xml"
    assert schema_errors(information_table_schema, report) == []
    assert titles_of_class(report) == {r.cusip: r.description for r in held}


def names_of_issuers(report):
    from lxml import etree

    return {entry.findtext("{*}cusip"): (entry.findtext("{*}nameOfIssuer"),
                                         entry.findtext("{*}titleOfClass"))
            for entry in etree.parse(str(report)).getroot()}


def test_texts_that_look_like_formulas_reach_the_table_as_printed(
        services, workdir, information_table_schema):
    from standins.seclist_pdf import ListRow

    rows = [ListRow("037833100", False, "=SUM(A1:A9)", "=1+1"),
            ListRow("594918104", False, "MICROSOFT CORP", "COM")]
    year, quarter = reporting_period(date.today())
    services.sec.add_list(year, quarter, list_pdf_bytes(rows, year, quarter))
    write_portfolio(workdir / "Data" / "Portfolio.xlsx",
                    [Holding(r.cusip, f"HOLDING {r.cusip} SHARES", 100, 5000.0) for r in rows])
    write_removal(workdir / "Data" / "Removal.xlsx", [])
    run_host(workdir, "import Tavrin", env=services.env).check()
    report = workdir / "Results" / "F13Results.xml"
    assert schema_errors(information_table_schema, report) == []
    assert names_of_issuers(report)["037833100"] == ("=SUM(A1:A9)", "=1+1")
