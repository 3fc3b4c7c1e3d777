"""The filer workbook Data/Filer.xlsx as a manager fills it, for tests and the
example under examples/.

Sheet "Manager" holds one field a row ("Field", "Value"); "Other managers"
and "Reporting managers" hold one manager a row under row-1 headings. Values
are typed as a person types them into Excel: a CIK or CRD number as a
number, which Excel keeps without leading zeros.
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

OTHER_MANAGER_HEADINGS = ["Number", "Name", "CIK", "Form 13F file number", "CRD number",
                          "SEC file number"]
REPORTING_MANAGER_HEADINGS = ["Form 13F file number", "CIK", "CRD number", "SEC file number",
                              "Name"]


def write_filer(path: Path | str, manager: dict, *, other_managers: list[dict] = (),
                reporting_managers: list[dict] = ()) -> Path:
    """Writes the workbook; a manager dict's missing headings are blank cells."""
    book = openpyxl.Workbook()
    sheet = book.active
    sheet.title = "Manager"
    sheet.append(["Field", "Value"])
    for label, value in manager.items():
        sheet.append([label, value])
    for title, headings, rows in (("Other managers", OTHER_MANAGER_HEADINGS, other_managers),
                                  ("Reporting managers", REPORTING_MANAGER_HEADINGS,
                                   reporting_managers)):
        table = book.create_sheet(title)
        table.append(headings)
        for row in rows:
            table.append([row.get(heading) for heading in headings])
    book.save(path)
    return Path(path)
