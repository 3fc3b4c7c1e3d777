"""The demo with the example filer workbook and an access code: the whole
submission, accepted by EDGAR's schema, carrying the run's table as it is."""
from __future__ import annotations

import base64
import os
import shutil
import subprocess
import sys

from lxml import etree

from scenario import EDGAR, ROOT
from test_submission import NAMES, fake_access_code


def test_the_demo_with_the_example_filer_workbook_writes_the_submission(tmp_path):
    demo = tmp_path / "demo"
    shutil.copytree(ROOT / "examples" / "demo", demo,
                    ignore=shutil.ignore_patterns("F13*", "*.xlsx.*", "__pycache__"))
    shutil.copy(ROOT / "examples" / "filer" / "Filer.xlsx", demo / "Data" / "Filer.xlsx")
    env = dict(os.environ, PYTHONPATH=str(ROOT), TAVRIN_EDGAR_CCC=fake_access_code())
    for name in ("OPENFIGI_APIKEY", "TAVRIN_EDGAR_SUBMISSION"):
        env.pop(name, None)
    done = subprocess.run([sys.executable, str(demo / "run_demo.py")], cwd=tmp_path, env=env,
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    submission = demo / "Results" / "F13Submission.xml"
    assert (f"EDGAR submission written: {submission} (13F-HR, 13 entries, value total $194,250; "
            "TEST:") in done.stdout
    schema = etree.XMLSchema(etree.parse(str(EDGAR / "xsd" / "eis_13F_Filer.xsd")))
    root = etree.parse(str(submission)).getroot()
    assert schema.validate(root), schema.error_log
    contents = root.findtext("f:documents/f:document/f:contents", namespaces=NAMES)
    assert base64.b64decode(contents) == (demo / "Results" / "F13Results.xml").read_bytes()
