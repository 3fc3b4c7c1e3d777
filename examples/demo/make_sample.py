"""Rebuilds the demo's bundled inputs; the files it writes are committed.

    .venv/bin/python examples/demo/make_sample.py

- sample/13flist-sample.pdf: a short list of 13(f) securities in the SEC's
  layout (cover, information page, a few pages of rows), served by the
  stand-in SEC server for whatever quarter the demo runs in;
- Data/Portfolio.xlsx: a custodian's position report over a dozen of its
  securities, with a title row, headings over two rows, blank lines, a
  second lot of one holding, a position that is not on the list, and a
  totals row;
- Data/Removal.xlsx: the securities to leave out of the report, one heading
  row then one row each.
"""
from __future__ import annotations

import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parents[1]))

from standins.seclist_pdf import ListRow, make_rows, write_list_pdf  # noqa: E402
from standins.workbooks import Holding, write_portfolio, write_removal  # noqa: E402

SAMPLE_LIST = HERE / "sample" / "13flist-sample.pdf"
# The quarter printed on the sample's pages; the module does not read it.
PRINTED_QUARTER = (2026, 3)


def sample_rows() -> list[ListRow]:
    return make_rows(200, seed=13)


def holdings(rows: list[ListRow]) -> tuple[list[Holding], list[tuple]]:
    securities = [r for r in rows if r.description not in ("CALL", "PUT")][:12]
    held = [Holding(r.cusip, f"{r.issuer} {r.description}", 100 * (n + 1), 2500.0 * (n + 1),
                    account="ACCT-001")
            for n, r in enumerate(securities)]
    first = securities[0]
    held.append(Holding(first.cusip, f"{first.issuer} {first.description}", 50, 1250.0,
                        account="ACCT-002"))
    held.append(Holding("99999A109", "PRIVATE PLACEMENT NOT ON THE LIST", 10, 100.0))
    removed = [(securities[1].cusip, securities[1].issuer, 200, 5000.0)]
    return held, removed


def main() -> None:
    rows = sample_rows()
    SAMPLE_LIST.parent.mkdir(exist_ok=True)
    write_list_pdf(SAMPLE_LIST, rows, *PRINTED_QUARTER)
    held, removed = holdings(rows)
    write_portfolio(HERE / "Data" / "Portfolio.xlsx", held, blank_every=5,
                    title="Growth Fund - Position Report as of 09/30/2026")
    write_removal(HERE / "Data" / "Removal.xlsx", removed)
    print(f"wrote {SAMPLE_LIST.name}, Portfolio.xlsx ({len(held)} rows) and "
          f"Removal.xlsx ({len(removed)} row)")


if __name__ == "__main__":
    main()
