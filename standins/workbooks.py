"""Custodian-style input workbooks for tests, the demo and benchmarks.

The portfolio looks like a custodian's position report: a title in row 1,
headings split over row 2 (cell C2 empty) and a second heading row further
down, blank lines, holdings with column C filled, and a totals row whose
column C reads "Total". The removal list is a plain table.
"""
from __future__ import annotations

from dataclasses import dataclass, field
from pathlib import Path

import openpyxl

# Row 2 names some columns; the second heading row names the rest (None in
# one list means the other supplies the name). Column C (position 2) must be
# empty in row 2: it marks the heading and holding rows.
ROW2_HEADINGS = [
    "Account", None, None, "CUSIP ID", None, "Asset Class", None, None,
    "Settlement Date", None, None, None, "Total Settlement Quantity",
    "Total Settlement Market Value:", None, None,
]
SECOND_HEADINGS = [
    "ignored", "Account Name", "Security Description", "ignored", "Ticker", "ignored",
    "Currency", "Price", "ignored", "Original Cost", "Trade Date Quantity",
    "Trade Date Market Value", "ignored", "ignored", "Unrealized Gain/Loss", "ignored",
]
# The labels the system sees after removing blanks and colons.
CLEAN_HEADINGS = [
    "Account", "AccountName", "SecurityDescription", "CUSIPID", "Ticker", "AssetClass",
    "Currency", "Price", "SettlementDate", "OriginalCost", "TradeDateQuantity",
    "TradeDateMarketValue", "TotalSettlementQuantity", "TotalSettlementMarketValue",
    "UnrealizedGain/Loss", "Unnamed15",
]


@dataclass
class Holding:
    """One portfolio row. Quantity and value fill columns K to N; cost fills J."""

    cusip: object
    description: str = "COMMON STOCK"
    quantity: object = 100
    value: object = 1000.0
    cost: object = None
    account: str = "ACCT-001"
    extra: dict = field(default_factory=dict)  # position -> value, overrides

    def cells(self) -> list:
        cost = self.cost if self.cost is not None else self.value
        row = [
            self.account, "Growth Fund", self.description, self.cusip, "TICK", "Equity",
            "USD", 10.0, "2026-06-30", cost, self.quantity, self.value, self.quantity,
            self.value, 0.0, None,
        ]
        for position, value in self.extra.items():
            row[position] = value
        return row


def write_rows(path: Path | str, rows: list[list]) -> Path:
    """Writes rows as they stand (None is an empty cell) to the first sheet."""
    book = openpyxl.Workbook()
    sheet = book.active
    sheet.title = "Positions"
    for row in rows:
        sheet.append(list(row))
    book.save(path)
    return Path(path)


def portfolio_rows(holdings: list[Holding], *, blank_every: int = 0, title: str | None = None) -> list[list]:
    """The sheet's rows: title, headings, a blank line, holdings, totals."""
    rows: list[list] = [[title or "Position Report as of 06/30/2026"]]
    rows.append(list(ROW2_HEADINGS))
    rows.append([None] * len(ROW2_HEADINGS))  # a blank line before the second heading row
    rows.append(list(SECOND_HEADINGS))
    for n, holding in enumerate(holdings, start=1):
        rows.append(holding.cells())
        if blank_every and n % blank_every == 0:
            rows.append([None] * len(ROW2_HEADINGS))
    rows.append([None] * len(ROW2_HEADINGS))
    rows.append(totals_row(holdings))
    return rows


def totals_row(holdings: list[Holding]) -> list:
    def total(position: int):
        values = [h.cells()[position] for h in holdings]
        return sum(v for v in values if isinstance(v, (int, float)))

    row = [None] * len(ROW2_HEADINGS)
    row[2] = "Total"
    for position in range(9, 14):
        row[position] = total(position)
    return row


def write_portfolio(path: Path | str, holdings: list[Holding], **layout) -> Path:
    return write_rows(path, portfolio_rows(holdings, **layout))


REMOVAL_HEADINGS = ["CUSIP", "Security Name", "Quantity", "Value"]


def write_removal(path: Path | str, rows: list[tuple]) -> Path:
    """Rows of (cusip, name, quantity, value); None leaves a cell empty."""
    return write_rows(path, [REMOVAL_HEADINGS, *[list(r) for r in rows]])
