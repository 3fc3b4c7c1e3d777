"""The manager's Data/Filer.xlsx for tests and the examples, as a manager
fills it in Excel: the sheet "Manager" (one field a row, "Field" and
"Value") and the tables "Other managers", "Holdings" and "Reporting
managers" (headings in row 1).

Cells are written as given, so a test can put in what Excel would keep: a
number (a CIK or CRD number typed as a number loses its leading zeros, as
in Excel), text, a logical value, a date, or a formula (openpyxl saves no
result for it, as a program that does not calculate would).
"""
from __future__ import annotations

from pathlib import Path

import openpyxl

# A fictitious manager: every name, number and address is made up.
EXAMPLE_MANAGER = {
    "Name": "Harbor Growth Advisers LLC",
    "Street 1": "100 Example Street",
    "Street 2": "Suite 500",
    "City": "New York",
    "State or country": "NY",
    "ZIP code": "10017",
    "CIK": 1234567,
    "Form 13F file number": "028-12345",
    "CRD number": 123456,
    "SEC file number": "801-12345",
    "Report type": "13F HOLDINGS REPORT",
    "Amendment number": None,
    "Amendment type": None,
    "Confidential information omitted": "No",
    "Provide information for Instruction 5": "N",
    "Additional information": None,
    "Contact name": "Jane Example",
    "Contact phone": "212-555-0100",
    "Contact e-mail": "compliance@example.com",
    "Notification e-mail": "compliance@example.com",
    "Signature name": "Jane Example",
    "Signature title": "Chief Compliance Officer",
    "Signature phone": "212-555-0100",
    "Signature city": "New York",
    "Signature state or country": "NY",
}

OTHER_MANAGERS_HEADINGS = ["Number", "Name", "CIK", "Form 13F file number", "CRD number",
                           "SEC file number"]
OTHER_MANAGER_HEADINGS = OTHER_MANAGERS_HEADINGS
REPORTING_MANAGER_HEADINGS = ["Form 13F file number", "CIK", "CRD number", "SEC file number",
                              "Name"]
HOLDINGS_HEADINGS = ["CUSIP", "Investment discretion", "Other managers", "Shares or principal",
                     "Value", "Sole", "Shared", "None", "Type", "Put/Call"]


def _append_table(book, title, headings, rows):
    sheet = book.create_sheet(title)
    sheet.append(headings)
    for row in rows:
        # A row is given by heading (absent keys stay blank) or in column order.
        sheet.append([row.get(h) for h in headings] if isinstance(row, dict) else list(row))


def write_filer(path: Path | str, manager: dict | None = None,
                other_managers: list | None = None, holdings: list[dict] | None = None,
                *, reporting_managers: list | None = None,
                holdings_headings: list[str] = HOLDINGS_HEADINGS,
                holdings_sheet: str = "Holdings") -> Path:
    """`manager` maps field to value; the tables' rows are dicts by heading
    or lists in the sheet's column order. A sheet given as None is left out
    of the workbook; `holdings_sheet` names the holdings' sheet otherwise
    than "Holdings"."""
    book = openpyxl.Workbook()
    book.remove(book.active)
    if manager is not None:
        sheet = book.create_sheet("Manager")
        sheet.append(["Field", "Value"])
        for field, value in manager.items():
            sheet.append([field, value])
    if other_managers is not None:
        _append_table(book, "Other managers", OTHER_MANAGERS_HEADINGS, other_managers)
    if holdings is not None:
        _append_table(book, holdings_sheet, holdings_headings, holdings)
    if reporting_managers is not None:
        _append_table(book, "Reporting managers", REPORTING_MANAGER_HEADINGS, reporting_managers)
    book.save(path)
    return Path(path)
