"""The demo a newcomer runs first: a copy of examples/demo, so the test
writes nothing into the repository, run exactly as the README says."""
from __future__ import annotations

import os
import shutil
import subprocess
import sys

from report_inputs import schema_errors
from scenario import ROOT


def run_demo(tmp_path, filer=False):
    demo = tmp_path / "demo"
    shutil.copytree(ROOT / "examples" / "demo", demo,
                    ignore=shutil.ignore_patterns("F13*", "*.xlsx.*", "__pycache__"))
    if filer:
        shutil.copy(ROOT / "examples" / "filer" / "Filer.xlsx", demo / "Data")
    env = dict(os.environ, PYTHONPATH=str(ROOT))
    env.pop("OPENFIGI_APIKEY", None)
    done = subprocess.run([sys.executable, str(demo / "run_demo.py")], cwd=tmp_path, env=env,
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    return demo, done


def test_the_demo_reports_a_valid_information_table(tmp_path, information_table_schema):
    before = {p.name: p.read_bytes() for p in (ROOT / "examples" / "demo" / "Data").iterdir()}
    demo, done = run_demo(tmp_path)
    xml = demo / "Results" / "F13Results.xml"
    printed = done.stdout.splitlines()
    written = printed.index(f"Information table written: {xml}")
    assert printed[written + 1:written + 3] == ["Information table entries: 11",
                                                 "Information table value total: $191,250"]
    assert schema_errors(information_table_schema, xml) == []
    # The bundled workbooks are inputs: a run reads them and leaves them be.
    assert {p.name: p.read_bytes() for p in (demo / "Data").iterdir()} == before


def test_the_example_filer_workbook_reaches_the_demo_document(tmp_path, information_table_schema):
    from lxml import etree

    demo, done = run_demo(tmp_path, filer=True)
    xml = demo / "Results" / "F13Results.xml"
    assert schema_errors(information_table_schema, xml) == []
    assert "Information table entries: 13" in done.stdout.splitlines()
    ns = "{http://www.sec.gov/edgar/document/thirteenf/informationtable}"
    facts = {(e.findtext(f"{ns}cusip"), e.findtext(f"{ns}shrsOrPrnAmt/{ns}sshPrnamtType"),
              e.findtext(f"{ns}putCall"), e.findtext(f"{ns}investmentDiscretion"),
              e.findtext(f"{ns}otherManager"),
              tuple(int(e.findtext(f"{ns}votingAuthority/{ns}{v}")) for v in ("Sole", "Shared", "None")))
             for e in etree.parse(str(xml)).getroot()}
    assert {("M4ET7W102", "SH", None, "SOLE", "0", (500, 0, 0)),
            ("M4ET7W102", "SH", None, "OTR", "1,2", (100, 150, 50)),
            ("M4ET7W102", "SH", "Call", "SOLE", "0", (2000, 0, 0)),
            ("NRBF71507", "SH", None, "DFND", "1", (0, 1000, 0)),
            ("G44F86700", "PRN", None, "SOLE", "0", (400, 0, 0))} <= facts
