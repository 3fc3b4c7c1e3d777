"""Which workbook engines and which tabula mode the list extraction should use.

    .venv/bin/python benchmarks/engines.py [--scale S] [--repeat N] [--seed N]

Builds a full-size list PDF with the shared generator, then measures:

1. tabula in subprocess mode (a `java` child per call) and in jpype mode (the
   JVM inside the Python process), each in a fresh interpreter: wall seconds,
   seconds per 100 pages, and the peak RSS of the process that ran Java;
   both must give the same tables.
2. Writing the per-page tables as one sheet each with `pd.ExcelWriter`, with
   xlsxwriter and with openpyxl, then reading every sheet back with calamine
   and with openpyxl: best-of-N seconds, and whether every combination keeps
   the layout (Sheet1..SheetN, an empty A1, the row numbers in column A, the
   labels in row 1) and gives the same stacked table.
"""
from __future__ import annotations

import argparse
import json
import pickle
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT))

FULL_LIST_ROWS = 25_500
AREA = [[100, 50, 900, 900]]

# Runs one tabula mode in a fresh interpreter, so each mode's JVM and peak
# memory are its own.
TABULA_CHILD = r"""
import json, pickle, resource, sys, time
import tabula.io
pdf, mode, out = sys.argv[1:4]
started = time.perf_counter()
tables = tabula.io.read_pdf(pdf, pages="all", area=AREA, force_subprocess=(mode == "subprocess"))
seconds = time.perf_counter() - started
pickle.dump(tables, open(out, "wb"))
own = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
children = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
print(json.dumps({"seconds": seconds, "own_mb": own / 1024, "children_mb": children / 1024}))
""".replace("AREA", repr(AREA))


def build_pdf(folder: Path, rows: int, seed: int) -> tuple[Path, int]:
    from standins.seclist_pdf import list_pdf_bytes, make_rows, page_count

    list_rows = make_rows(rows, seed=seed)
    path = folder / "list.pdf"
    path.write_bytes(list_pdf_bytes(list_rows, 2026, 2))
    return path, page_count(len(list_rows))


def jpype_installed() -> bool:
    try:
        import jpype  # noqa: F401
    except ImportError:
        return False
    return True


def run_tabula(pdf: Path, mode: str, out: Path) -> dict:
    done = subprocess.run([sys.executable, "-c", TABULA_CHILD, str(pdf), mode, str(out)],
                          capture_output=True, text=True, check=True)
    measured = json.loads(done.stdout.strip().splitlines()[-1])
    # In subprocess mode Java is the child; in jpype mode it is the process.
    measured["java_mb"] = measured["children_mb" if mode == "subprocess" else "own_mb"]
    return measured


def same_tables(a: list, b: list) -> bool:
    return len(a) == len(b) and all(x.equals(y) and list(x.columns) == list(y.columns)
                                    for x, y in zip(a, b))


def best_of(repeat: int, action) -> float:
    times = []
    for _ in range(repeat):
        started = time.perf_counter()
        action()
        times.append(time.perf_counter() - started)
    return min(times)


def write_sheets(tables: list, path: Path, engine: str) -> None:
    import pandas as pd

    with pd.ExcelWriter(path, engine=engine) as writer:
        for number, table in enumerate(tables, start=1):
            table.to_excel(writer, sheet_name=f"Sheet{number}")


def read_stacked(path: Path, engine: str):
    import pandas as pd

    return pd.concat(pd.read_excel(path, sheet_name=None, engine=engine), ignore_index=True)


def layout_problems(path: Path, tables: list) -> list[str]:
    """What differs from one sheet per table with row numbers and labels."""
    import openpyxl

    problems = []
    book = openpyxl.load_workbook(path, read_only=True)
    if book.sheetnames != [f"Sheet{n}" for n in range(1, len(tables) + 1)]:
        problems.append("sheet names or order")
    for name, table in ((f"Sheet{n}", t) for n, t in enumerate(tables, start=1)):
        rows = list(book[name].iter_rows(values_only=True))
        if rows[0][0] is not None or list(rows[0][1:]) != [str(c) for c in table.columns]:
            problems.append(f"{name}: header row")
        if [row[0] for row in rows[1:]] != list(range(len(table))):
            problems.append(f"{name}: row numbers")
        if problems:
            break
    book.close()
    return problems


def measure_engines(tables: list, folder: Path, repeat: int) -> dict:
    import pandas as pd

    results = {"write": {}, "read": {}, "layout": {}, "same_values": None}
    for engine in ("xlsxwriter", "openpyxl"):
        path = folder / f"{engine}.xlsx"
        results["write"][engine] = best_of(repeat, lambda: write_sheets(tables, path, engine))
        results["layout"][engine] = layout_problems(path, tables)
    stacked = {}
    for written in ("xlsxwriter", "openpyxl"):
        for reader in ("calamine", "openpyxl"):
            path = folder / f"{written}.xlsx"
            key = f"{written} -> {reader}"
            results["read"][key] = best_of(repeat, lambda: read_stacked(path, reader))
            stacked[key] = read_stacked(path, reader)
    reference = stacked["xlsxwriter -> openpyxl"]
    differing = []
    for key, frame in stacked.items():
        try:
            pd.testing.assert_frame_equal(frame, reference)
        except AssertionError:
            differing.append(key)
    results["same_values"] = differing
    return results


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scale", type=float, default=1.0)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--seed", type=int, default=13)
    args = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix="tavrin-engines-") as tmp:
        folder = Path(tmp)
        pdf, pages = build_pdf(folder, max(1, round(FULL_LIST_ROWS * args.scale)), args.seed)
        print(f"list: {pages} pages, {pdf.stat().st_size / 1e6:.1f} MB")

        modes = ["subprocess"] + (["jpype"] if jpype_installed() else [])
        tabula = {}
        for mode in modes:
            tabula[mode] = run_tabula(pdf, mode, folder / f"{mode}.pkl")
            t = tabula[mode]
            print(f"tabula {mode:10}: {t['seconds']:6.2f} s, "
                  f"{t['seconds'] / pages * 100:5.2f} s per 100 pages, "
                  f"Java peak RSS {t['java_mb']:,.0f} MB")
        if "jpype" not in modes:
            print("tabula jpype     : not measured (JPype1 is not installed)")
        tables = pickle.load(open(folder / "subprocess.pkl", "rb"))
        if "jpype" in modes:
            same = same_tables(tables, pickle.load(open(folder / "jpype.pkl", "rb")))
            print(f"tabula modes give the same tables: {same}")

        engines = measure_engines(tables, folder, args.repeat)
        print(f"\n{len(tables)} sheets, best of {args.repeat}:")
        for engine, seconds in engines["write"].items():
            problems = engines["layout"][engine] or "kept"
            print(f"  write {engine:22}: {seconds:6.2f} s   layout: {problems}")
        for key, seconds in engines["read"].items():
            print(f"  read  {key:22}: {seconds:6.2f} s")
        differing = engines["same_values"]
        print("  stacked tables: " + ("all the same" if not differing
                                      else "differ for " + ", ".join(differing)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
