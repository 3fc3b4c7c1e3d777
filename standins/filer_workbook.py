"""The manager's Data/Filer.xlsx for tests and the example, as a manager
fills it in Excel: the sheet "Manager" (one field a row) and the tables
"Other managers" and "Holdings" (headings in row 1).

Cells are written as given, so a test can put in what Excel would keep: a
number, text, a logical value, a date, or a formula (openpyxl saves no
result for it, as a program that does not calculate would).
"""
from __future__ import annotations

from pathlib import Path

import openpyxl

OTHER_MANAGERS_HEADINGS = ["Number", "Name", "CIK", "Form 13F file number", "CRD number",
                           "SEC file number"]
HOLDINGS_HEADINGS = ["CUSIP", "Investment discretion", "Other managers", "Shares or principal",
                     "Value", "Sole", "Shared", "None", "Type", "Put/Call"]


def write_filer(path: Path | str, manager: dict | None = None,
                other_managers: list[list] | None = None, holdings: list[dict] | None = None,
                *, holdings_headings: list[str] = HOLDINGS_HEADINGS,
                holdings_sheet: str = "Holdings") -> Path:
    """`manager` maps field to value; `other_managers` are rows in the
    sheet's column order; each holding is a dict by heading (absent keys
    stay blank). A sheet given as None is left out of the workbook;
    `holdings_sheet` names the holdings' sheet otherwise than "Holdings"."""
    book = openpyxl.Workbook()
    book.remove(book.active)
    if manager is not None:
        sheet = book.create_sheet("Manager")
        sheet.append(["Field", "Value"])
        for field, value in manager.items():
            sheet.append([field, value])
    if other_managers is not None:
        sheet = book.create_sheet("Other managers")
        sheet.append(OTHER_MANAGERS_HEADINGS)
        for row in other_managers:
            sheet.append(list(row))
    if holdings is not None:
        sheet = book.create_sheet(holdings_sheet)
        sheet.append(holdings_headings)
        for row in holdings:
            sheet.append([row.get(heading) for heading in holdings_headings])
    book.save(path)
    return Path(path)
