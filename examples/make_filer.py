"""Rebuilds examples/Filer.xlsx, the filled-in example of Data/Filer.xlsx.

    .venv/bin/python examples/make_filer.py
"""
from __future__ import annotations

import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent))

from standins.filer_workbook import EXAMPLE_MANAGER, write_filer  # noqa: E402

if __name__ == "__main__":
    path = write_filer(HERE / "Filer.xlsx", EXAMPLE_MANAGER, other_managers=[
        {"Number": 1, "Name": "Example Sub-Adviser LP", "CIK": 7654321,
         "Form 13F file number": "028-54321"},
    ])
    print(f"wrote {path}")
