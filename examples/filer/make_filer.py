"""Rebuilds the example Data/Filer.xlsx for the demo's holdings; the file it
writes is committed.

    .venv/bin/python examples/filer/make_filer.py

Copied to examples/demo/Data/, it gives the demo's run every fact the
workbook can state:

- "Manager": the cover page of a made-up manager (every name, number and
  address is fictitious) and the defaults for every holding the sheet
  "Holdings" does not name (sole discretion, sole voting);
- "Other managers": two other included managers, numbered 1 and 2;
- "Holdings": BEACON ATLAS FINL INC split into a SOLE part and an OTR part
  shared with both other managers, its voting split three ways, and a call
  on it (the list marks it with the option asterisk); NORTHERN FINL PLC
  under shared-defined discretion with manager 1 and shared voting; HARBOR
  MINERALS TR filed as a principal amount (the demo's list has no notes, so
  a holding stands in to show the field); and BEACON AMBER GROUP INC, which
  the removal list takes out in full, so the run warns that its row is not
  used.
"""
from __future__ import annotations

import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parents[1]))

from standins.filer_workbook import EXAMPLE_MANAGER, write_filer  # noqa: E402

MANAGER = {
    **EXAMPLE_MANAGER,
    "Investment discretion": "SOLE",
    "Voting authority": "Sole",
}
OTHER_MANAGERS = [
    [1, "Alpha Advisers LLC", "0001111111", "028-11111", None, None],
    [2, "Beta Partners LP", "0002222222", "028-22222", None, None],
]
HOLDINGS = [
    # 800 shares worth $20,000 in the portfolio: 500 held alone, the rest shared.
    {"CUSIP": "M4ET7W102", "Investment discretion": "SOLE", "Shares or principal": 500,
     "Value": 12500},
    {"CUSIP": "M4ET7W102", "Investment discretion": "OTR", "Other managers": "1,2",
     "Sole": 100, "Shared": 150, "None": 50},
    {"CUSIP": "M4ET7W102", "Shares or principal": 2000, "Value": 3000, "Put/Call": "Call"},
    {"CUSIP": "NRBF71507", "Investment discretion": "DFND", "Other managers": 1,
     "Sole": 0, "Shared": 1000, "None": 0},
    {"CUSIP": "G44F86700", "Type": "PRN"},
    {"CUSIP": "D2QVTN104", "Investment discretion": "OTR", "Other managers": 2},
]


def main() -> None:
    path = write_filer(HERE / "Filer.xlsx", MANAGER, OTHER_MANAGERS, HOLDINGS)
    print(f"wrote {path.name}: {len(MANAGER)} fields, {len(OTHER_MANAGERS)} other managers, "
          f"{len(HOLDINGS)} holdings rows")


if __name__ == "__main__":
    main()
