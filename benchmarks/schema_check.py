"""Time of the schema check the XML writer makes before it writes a document.

    .venv/bin/python benchmarks/schema_check.py [--entries N]

The writer loads the EDGAR information-table schema that ships beside the
module, parses the document it built and validates it; a valid document
costs exactly that. This script does the same three steps with the same
files on a document of N entries (3,000 by default, a large manager's
filing) laid out as the writer lays it out, and prints the best of five.
"""
from __future__ import annotations

import argparse
import importlib.util
import time
from pathlib import Path

from lxml import etree

NAMESPACE = "http://www.sec.gov/edgar/document/thirteenf/informationtable"


def shipped_schema() -> Path:
    module = Path(importlib.util.find_spec("Tavrin").origin)
    return module.parent / "Tavrin-xsd" / "eis_13FDocument.xsd"


def document(entries: int) -> bytes:
    lines = ['<?xml version="1.0" encoding="UTF-8" standalone="yes"?>',
             f'<informationTable xmlns="{NAMESPACE}">']
    for n in range(entries):
        lines += [
            "\t<infoTable>",
            f"\t\t<nameOfIssuer>ISSUER NUMBER {n} INC</nameOfIssuer>",
            "\t\t<titleOfClass>COM</titleOfClass>",
            f"\t\t<cusip>{n:09d}</cusip>",
            f"\t\t<figi>BBG{n:09d}</figi>",
            f"\t\t<value>{1000 + n}</value>",
            "\t\t<shrsOrPrnAmt>",
            f"\t\t\t<sshPrnamt>{10 + n}</sshPrnamt>",
            "\t\t\t<sshPrnamtType>SH</sshPrnamtType>",
            "\t\t</shrsOrPrnAmt>",
            "\t\t<investmentDiscretion>SOLE</investmentDiscretion>",
            "\t\t<otherManager>0</otherManager>",
            "\t\t<votingAuthority>",
            "\t\t\t<Sole>0</Sole>",
            "\t\t\t<Shared>0</Shared>",
            f"\t\t\t<None>{10 + n}</None>",
            "\t\t</votingAuthority>",
            "\t</infoTable>",
        ]
    lines.append("</informationTable>")
    return "\n".join(lines).encode("utf-8")


def check(schema_path: Path, data: bytes) -> bool:
    schema = etree.XMLSchema(etree.parse(str(schema_path)))
    return schema.validate(etree.fromstring(data))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--entries", type=int, default=3000)
    args = parser.parse_args()
    schema_path, data = shipped_schema(), document(args.entries)
    times = []
    for _ in range(5):
        start = time.perf_counter()
        valid = check(schema_path, data)
        times.append(time.perf_counter() - start)
    assert valid, "the benchmark's document should be valid"
    print(f"schema check of {args.entries:,} entries ({len(data):,} bytes): "
          f"best {min(times):.3f} s, worst {max(times):.3f} s of 5")


if __name__ == "__main__":
    main()
