"""The demo a newcomer runs first: a copy of examples/demo, so the test
writes nothing into the repository, run exactly as the README says."""
from __future__ import annotations

import os
import shutil
import subprocess
import sys

from report_inputs import schema_errors
from scenario import ROOT


def test_the_demo_reports_a_valid_information_table(tmp_path, information_table_schema):
    demo = tmp_path / "demo"
    shutil.copytree(ROOT / "examples" / "demo", demo,
                    ignore=shutil.ignore_patterns("F13*", "*.xlsx.*", "__pycache__"))
    before = {p.name: p.read_bytes() for p in (demo / "Data").iterdir()}
    env = dict(os.environ, PYTHONPATH=str(ROOT))
    env.pop("OPENFIGI_APIKEY", None)
    done = subprocess.run([sys.executable, str(demo / "run_demo.py")], cwd=tmp_path, env=env,
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    xml = demo / "Results" / "F13Results.xml"
    printed = done.stdout.splitlines()
    written = printed.index(f"Information table written: {xml}")
    assert printed[written + 1:written + 3] == ["Information table entries: 11",
                                                 "Information table value total: $191,250"]
    assert schema_errors(information_table_schema, xml) == []
    # The bundled workbooks are inputs: a run reads them and leaves them be.
    assert {p.name: p.read_bytes() for p in (demo / "Data").iterdir()} == before
