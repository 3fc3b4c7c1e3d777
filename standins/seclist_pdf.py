"""Print the SEC's "Official List of Section 13(f) Securities" as the SEC lays it out.

Tavrin's list stage downloads that PDF and reads it with tabula, so tests, the
demo and the benchmarks need lists that tabula reads the way it reads the
SEC's own: same page size, fonts, column positions and row pitch, same header
band, same two text pages in front. Every position below was measured from
real lists (the 2026 Q2 list and, for ``asterisk_joined=True``, the
2025 Q4 list, which draws each CUSIP and its option asterisk as one string).

Layout of a data page, as the SEC prints it:

* a header band ("Run Date", "Run Time", "Page N") above 100 pt from the top,
  which the list stage's reading area leaves out;
* the headings CUSIP NO / ISSUER NAME / ISSUER DESCRIPTION / STATUS;
* 34 rows in Courier, about 17.3 pt apart. The CUSIP is printed in its three
  groups ("037833 10 0"); a security with listed options gets an asterisk
  after its CUSIP and is followed by its CALL and PUT rows (issue 90 and 95,
  keeping the underlying's check digit);
* after the last row, "Total Count: N" (N with thousands separators) in a
  bold sans-serif at the right, reaching from the ISSUER DESCRIPTION column
  into the STATUS column, as on the real last page.

Typical use::

    rows = make_rows(200, seed=7)
    pages = write_list_pdf("13flist2026q2.pdf", rows, 2026, 2)
    data = list_pdf_bytes(rows, 2026, 2, asterisk_joined=True)

The module writes PDF directly (standard fonts, no embedding), so it needs
only the standard library and its output is byte-for-byte deterministic.
"""

from __future__ import annotations

import io
import math
import os
import random
import zlib
from dataclasses import dataclass
from typing import BinaryIO, Iterable, Sequence, Union

__all__ = [
    "ListRow",
    "ROWS_PER_PAGE",
    "FRONT_PAGES",
    "cusip_check_digit",
    "option_rows",
    "sort_key",
    "page_count",
    "write_list_pdf",
    "list_pdf_bytes",
    "make_rows",
]

ROWS_PER_PAGE = 34
FRONT_PAGES = 2  # cover and user information sheet
NAME_WIDTH = 28  # the SEC cuts issuer names at 28 characters
DESCRIPTION_WIDTH = 16  # ... and descriptions at 16 ("*W EXP 05/21/203")
STATUSES = ("", "ADDED", "DELETED")

PAGE_WIDTH = 612.0
PAGE_HEIGHT = 792.0


# --------------------------------------------------------------------------
# CUSIPs and rows
# --------------------------------------------------------------------------

def _cusip_char_value(ch: str) -> int:
    if ch.isdigit():
        return ord(ch) - 48
    if "A" <= ch <= "Z":
        return ord(ch) - 55  # A=10 ... Z=35
    try:
        return {"*": 36, "@": 37, "#": 38}[ch]
    except KeyError:
        raise ValueError(f"character {ch!r} cannot appear in a CUSIP") from None


def cusip_check_digit(base: str) -> str:
    """The check digit for the first eight characters of a CUSIP.

    ``base`` may be 8 or 9 characters; only the first eight count.
    ``cusip_check_digit("03783310") == "0"`` (Apple).
    """
    base = base.upper()
    if len(base) not in (8, 9):
        raise ValueError(f"need 8 or 9 CUSIP characters, got {base!r}")
    total = 0
    for i, ch in enumerate(base[:8]):
        v = _cusip_char_value(ch)
        if i % 2 == 1:
            v *= 2
        total += v // 10 + v % 10
    return str((10 - total % 10) % 10)


@dataclass(frozen=True)
class ListRow:
    """One printed line of the list.

    ``cusip`` is the 9-character CUSIP as the SEC prints it, without blanks.
    ``has_options`` puts the option asterisk after the CUSIP; the CALL and PUT
    rows that follow such a security are ordinary rows of their own (see
    ``option_rows``). ``status`` is "", "ADDED" or "DELETED". Names longer
    than 28 characters and descriptions longer than 16 are cut when printed,
    as the SEC does.
    """

    cusip: str
    has_options: bool
    issuer: str
    description: str
    status: str = ""

    def __post_init__(self) -> None:
        if len(self.cusip) != 9 or not self.cusip.isalnum() or self.cusip != self.cusip.upper():
            raise ValueError(f"CUSIP must be 9 upper-case letters or digits: {self.cusip!r}")
        if self.status not in STATUSES:
            raise ValueError(f"status must be one of {STATUSES}: {self.status!r}")

    @property
    def printed_cusip(self) -> str:
        """The CUSIP in its three printed groups: ``"037833 10 0"``."""
        return f"{self.cusip[:6]} {self.cusip[6:8]} {self.cusip[8]}"


def option_rows(underlying: ListRow) -> list[ListRow]:
    """The CALL and PUT rows the SEC prints below a security with options.

    Their issue numbers are 90 and 95; the check digit is the underlying's,
    not one computed for the option CUSIP.
    """
    issuer6, check = underlying.cusip[:6], underlying.cusip[8]
    return [
        ListRow(f"{issuer6}90{check}", False, underlying.issuer, "CALL", underlying.status),
        ListRow(f"{issuer6}95{check}", False, underlying.issuer, "PUT", underlying.status),
    ]


# The list is produced on a mainframe and sorted in EBCDIC order: blanks and
# punctuation first, then letters, then digits ("G0R38G" comes before "G00350").
_EBCDIC_RANK = {ch: (0, ch) for ch in " *@#"}
_EBCDIC_RANK.update({ch: (1, ch) for ch in "ABCDEFGHIJKLMNOPQRSTUVWXYZ"})
_EBCDIC_RANK.update({ch: (2, ch) for ch in "0123456789"})


def sort_key(cusip: str) -> tuple:
    """Sort key putting CUSIPs in the list's order (letters before digits)."""
    return tuple(_EBCDIC_RANK.get(ch, (0, ch)) for ch in cusip)


def page_count(n_rows: int) -> int:
    """Pages of a list with ``n_rows`` rows: two front pages plus 34 rows a page.

    The "Total Count" line goes below the last row on the last page, even a
    full one, so it never adds a page. An empty list still has one data page.
    """
    return FRONT_PAGES + max(1, math.ceil(n_rows / ROWS_PER_PAGE))


# --------------------------------------------------------------------------
# Page geometry, measured from the real lists. Vertical positions are kept as
# distances from the top of the page (baselines), the way the reading area
# is given to tabula.
# --------------------------------------------------------------------------

@dataclass(frozen=True)
class _Layout:
    cusip_size: float
    star_size: float
    cusip_x: float
    group2_x: float  # used when the groups are drawn apart
    group3_x: float
    star_x: float
    name_x: float
    description_x: float
    status_x: float
    first_row_top: float
    row_pitch: float
    first_pitch: float  # the gap between the first two rows is slightly off
    headings: tuple  # (x, text) pairs
    heading_size: float
    heading_top: float
    joined: bool


# 2026 Q2: the CUSIP groups are placed one by one and the asterisk is a
# separate string at x=149.95, so tabula sees it as a column of its own.
_LAYOUT_SPLIT = _Layout(
    cusip_size=9.998, star_size=10.022,
    cusip_x=72.84, group2_x=115.52, group3_x=134.99, star_x=149.95,
    name_x=167.16, description_x=349.84, status_x=465.79,
    first_row_top=144.38, row_pitch=17.32, first_pitch=17.32,
    headings=((72.74, "CUSIP NO"), (167.07, "ISSUER NAME"),
              (349.74, "ISSUER DESCRIPTION"), (465.79, "STATUS")),
    heading_size=9.998, heading_top=127.05, joined=False,
)

# 2025 Q4: "B38564 10 8 *" (or "B38564 90 8  ") is one 13-character string,
# the columns sit a point further right and the rows are a touch tighter.
_LAYOUT_JOINED = _Layout(
    cusip_size=10.2, star_size=10.2,
    cusip_x=74.0, group2_x=0.0, group3_x=0.0, star_x=0.0,
    name_x=169.0, description_x=349.0, status_x=469.0,
    first_row_top=141.45, row_pitch=17.25, first_pitch=17.2,
    headings=((74.0, "CUSIP NO"), (169.0, "ISSUER NAME"),
              (349.0, "ISSUER DESCRIPTION"), (469.0, "STATUS")),
    heading_size=10.0, heading_top=124.25, joined=True,
)

# Resource names of the standard fonts every page shares.
_FONTS = {
    "H": "Helvetica",
    "HB": "Helvetica-Bold",
    "HO": "Helvetica-Oblique",
    "C": "Courier",
    "S": "Symbol",
}

_COURIER_ADVANCE = 0.6  # Courier glyphs are 600/1000 em wide

# "Total Count: N" as the real last page sets it (2020 Q3, page 541): Arial
# Bold 8.99 pt (Helvetica-Bold among the standard fonts) at x 423.9, its
# baseline 25.24 pt below the last row's. It reaches from the ISSUER
# DESCRIPTION column into the STATUS column, and tabula then merges the two.
_TOTAL_FONT = ("HB", 8.99)
_TOTAL_X = 423.9
_TOTAL_BELOW_LAST_ROW = 25.24

_QUARTER_END = {1: ("March 31", "3/31"), 2: ("June 30", "6/30"),
                3: ("September 30", "9/30"), 4: ("December 31", "12/31")}
_QUARTER_WORD = {1: "First", 2: "Second", 3: "Third", 4: "Fourth"}


def _pdf_string(text: str) -> str:
    """A PDF literal string for ``text`` in WinAnsi encoding."""
    out = []
    for b in text.encode("cp1252", errors="replace"):
        if b in (0x28, 0x29, 0x5C):  # ( ) \
            out.append("\\" + chr(b))
        elif 32 <= b < 127:
            out.append(chr(b))
        else:
            out.append("\\%03o" % b)
    return "(" + "".join(out) + ")"


class _Text:
    """Collects text-drawing operators for one page."""

    def __init__(self) -> None:
        self.ops: list[str] = []
        self._font: tuple | None = None

    def font(self, name: str, size: float) -> None:
        if self._font != (name, size):
            self.ops.append(f"/{name} {size:g} Tf")
            self._font = (name, size)

    def at(self, x: float, top: float, operand: str, op: str = "Tj") -> None:
        self.ops.append(f"1 0 0 1 {x:.2f} {PAGE_HEIGHT - top:.2f} Tm {operand}{op}")

    def show(self, name: str, size: float, x: float, top: float, text: str) -> None:
        self.font(name, size)
        self.at(x, top, _pdf_string(text))

    def stream(self, graphics: str = "") -> bytes:
        return (graphics + "BT\n" + "\n".join(self.ops) + "\nET\n").encode("latin-1")


# --------------------------------------------------------------------------
# Front pages (text only)
# --------------------------------------------------------------------------

_COVER_NOTICE = (
    "Copyright (c) 2025 American Bankers Association (ABA). All rights",
    "reserved.  CUSIP Numbers and descriptions are used with permission by",
    "CUSIP Global Services (CGS), which is operated by FactSet Research",
    "Systems Inc., on behalf of the ABA.  No redistribution without permission",
    "of CGS.",
    None,
    "CGS does not guarantee the accuracy or completeness of the CUSIP",
    "Numbers and standard descriptions included herein and none of CGS, ABA",
    "or FactSet shall be responsible for any errors, omissions or damages",
    "arising out of the use of such information.",
)


def _cover_page(year: int, quarter: int) -> bytes:
    t = _Text()
    t.show("HB", 22.02, 126.66, 121.85, "List of Section 13F Securities")
    quarter_x = 201.26 if quarter != 4 else 204.43
    t.show("H", 16.02, quarter_x, 156.42, f"{_QUARTER_WORD[quarter]} Quarter")
    # The SEC prints a diamond between the quarter and the year.
    t.font("S", 12.0)
    t.at(quarter_x + 120.0, 155.4, "(\\250)")  # diamond in the Symbol encoding
    t.show("H", 16.02, quarter_x + 136.0, 156.42, f"FY {year}")
    top = 234.85
    for line in _COVER_NOTICE:
        if line is None:
            top += 13.9
            continue
        t.show("H", 10.98, 97.2, top, line)
        top += 13.395
    t.show("HO", 10.98, 189.18, 501.73, "U.S. Securities and Exchange Commission")
    return t.stream()


def _information_page(year: int, quarter: int) -> bytes:
    long_date = f"{_QUARTER_END[quarter][0]}, {year}"
    x0, x1, x2 = 90.0, 126.0, 162.0
    lines = [
        (90.96, 83.33, "OFFICIAL LIST OF SECTION 13(f) SECURITIES USER INFORMATION SHEET"),
        (x0, 124.73, "General"),
        (x1, 152.33, "This list of \u201cSection 13(f) securities\u201d as defined by Rule 13f-1(c)  [17 CFR"),
        (x0, 166.13, "240.13f-1(c)] is made available to the public pursuant to Section13 (f) (3) of the"),
        (x0, 179.93, "Securities Exchange Act of 1934 [15 USC 78m(f) (3)]. It is made available for"),
        (x0, 193.73, "use in the preparation of reports filed with the Securities and Exchange"),
        (x0, 207.53, "Commission pursuant to Rule 13f-1 [17 CFR 240.13f-1] under Section 13(f) of"),
        (x0, 221.33, "the Securities Exchange Act of 1934. An updated list is published on a quarterly"),
        (x0, 235.13, "basis."),
        (x1, 262.73, f"This list is current as of {long_date}, and may be relied on by"),
        (x0, 276.53, "institutional investment managers filing Form 13F reports for the calendar"),
        (x0, 290.33, f"quarter ending {long_date}. Institutional investment managers should report"),
        (x0, 304.13, "holdings--number of shares and fair market value--as of the last day of the"),
        (x0, 317.93, "calendar quarter as required by [ Section 13(f)(1) and Rule 13f-1] thereunder."),
        (x0, 359.76, "Features"),
        (x1, 387.35, "(1)"),
        (x2, 387.35, "Additions and Deletions: Revisions made to the list of Section 13(f)"),
        (x2, 401.15, "securities are indicated in a column titled \u201cSTATUS.\u201d  The word"),
        (x2, 414.96, "\u201cADDED\u201d in the status column opposite the name of a security"),
        (x2, 428.70, "indicates that the security has become a Section 13(f) security."),
        (x2, 442.50, "The word \u201cDELETED\u201d in the status column opposite the name of a"),
        (x2, 456.29, "security indicates that the security ceases to be a 13(f) security"),
        (x2, 470.09, "since the date of the last list."),
        (x1, 511.50, "(2)"),
        (x2, 511.50, "List of options: An asterisk is placed next to the name of any"),
        (x2, 525.29, "security having a listed option and each option is individually listed"),
        (x2, 539.10, "with its own CUSIP number immediately below the name of the"),
        (x2, 552.90, "security having the option. A manager reporting holdings of options"),
        (x2, 566.69, "on its Form13F should use the CUSIP number of the underlying"),
        (x2, 580.50, "securities to which the option relates."),
        (x0, 635.69, "CUSIP descriptions and numerical identification date"),
        (x0, 649.50, f"(copyright 1969 through {year}, American Bankers Association)"),
        (x0, 663.29, "are used with permission. All rights are reserved."),
    ]
    t = _Text()
    for x, top, text in lines:
        t.show("H", 12.0, x, top, text)
    return t.stream()


# --------------------------------------------------------------------------
# Data pages
# --------------------------------------------------------------------------

def _header_band(t: _Text, lay: _Layout, year: int, quarter: int, page_no: int,
                 run_time: str) -> None:
    run_date = f"{_QUARTER_END[quarter][1]}/{year}"
    if lay.joined:
        # 2025 Q4 draws label and value as one padded string.
        t.show("H", 11.0, 73.0, 82.0, f"Run Date:   {run_date}   ")
        t.show("HB", 11.0, 225.0, 82.0, "** List of Section 13F Securities **")
        t.show("H", 10.0, 470.0, 82.0, f" Page {page_no} ")
        t.show("H", 11.0, 73.0, 102.0, f"Run Time:   {run_time}   ")
        t.show("HB", 11.0, 250.0, 102.0, f"    Year:  {year}  Qtr: {quarter}   ")
        t.show("H", 11.0, 470.0, 102.0, " IVM001")
    else:
        t.show("H", 11.005, 72.74, 84.05, "Run Date:")
        t.show("H", 9.998, 134.24, 83.25, run_date)
        t.show("HB", 11.005, 226.22, 84.41, "** List of Section 13F Securities **")
        t.show("H", 9.998, 473.39, 84.00, f"Page {page_no}")
        t.show("H", 11.005, 72.74, 103.60, "Run Time:")
        t.show("H", 9.998, 135.73, 102.81, run_time)
        t.show("HB", 11.005, 261.41, 101.71, " Year: ")
        t.show("HB", 11.005, 300.45, 101.80, str(year))
        t.show("HB", 11.005, 334.01, 101.71, " Qtr:")
        t.show("HB", 11.005, 356.58, 101.80, str(quarter))
        t.show("H", 11.005, 473.27, 103.60, "IVM001")


def _split_cusip_tj(cusip: str, lay: _Layout) -> str:
    """The three CUSIP groups as one TJ array, spaced by kerning like the SEC's."""
    fs = lay.cusip_size
    adv = _COURIER_ADVANCE * fs
    k1 = -((lay.group2_x - lay.cusip_x) - 6 * adv) * 1000.0 / fs
    k2 = -((lay.group3_x - lay.group2_x) - 2 * adv) * 1000.0 / fs
    return (f"[{_pdf_string(cusip[:6])}{k1:.3f} {_pdf_string(cusip[6:8])}"
            f"{k2:.3f} {_pdf_string(cusip[8])}]")


def _data_page(rows: Sequence[ListRow], lay: _Layout, year: int, quarter: int,
               page_no: int, run_time: str, total: int | None) -> bytes:
    t = _Text()
    graphics = ""
    if lay.joined:
        # White boxes behind the headings; tabula still reads the page as a
        # plain text table.
        graphics = ("1 1 1 rg\n73 663 95 17 re\nf\n168 663 180 17 re\nf\n"
                    "348 663 120 17 re\nf\n468 663 80 17 re\nf\n0 0 0 rg\n")
    else:
        _header_band(t, lay, year, quarter, page_no, run_time)

    for x, text in lay.headings:
        t.show("HB", lay.heading_size, x, lay.heading_top, text)

    top = lay.first_row_top
    for i, row in enumerate(rows):
        if i == 1:
            top += lay.first_pitch
        elif i > 1:
            top += lay.row_pitch
        t.font("C", lay.cusip_size)
        if lay.joined:
            mark = "*" if row.has_options else " "
            t.at(lay.cusip_x, top, _pdf_string(f"{row.printed_cusip} {mark}"))
        else:
            t.at(lay.cusip_x, top, _split_cusip_tj(row.cusip, lay), "TJ")
            if row.has_options:
                t.show("C", lay.star_size, lay.star_x, top, "*")
                t.font("C", lay.cusip_size)
        t.at(lay.name_x, top, _pdf_string(row.issuer[:NAME_WIDTH].rstrip()))
        description = row.description[:DESCRIPTION_WIDTH].rstrip()
        if description:
            t.at(lay.description_x, top, _pdf_string(description))
        if row.status:
            t.at(lay.status_x, top, _pdf_string(row.status))

    if total is not None:
        t.show(_TOTAL_FONT[0], _TOTAL_FONT[1], _TOTAL_X, top + _TOTAL_BELOW_LAST_ROW,
               f"Total Count: {total:,}")

    if lay.joined:
        # 2025 Q4 puts the header band after the rows in the content stream.
        _header_band(t, lay, year, quarter, page_no, run_time)
    return t.stream(graphics)


# --------------------------------------------------------------------------
# PDF file structure
# --------------------------------------------------------------------------

def _write_pdf(out: BinaryIO, contents: Iterable[bytes]) -> int:
    """Write pages (raw content streams) as a letter-size PDF; returns pages."""
    offsets: list[int] = []
    pos = 0

    def emit(data: bytes) -> None:
        nonlocal pos
        out.write(data)
        pos += len(data)

    def obj(num: int, body: bytes) -> None:
        while len(offsets) < num:
            offsets.append(0)
        offsets[num - 1] = pos
        emit(b"%d 0 obj\n" % num + body + b"\nendobj\n")

    emit(b"%PDF-1.4\n%\xe2\xe3\xcf\xd3\n")
    # 1: catalog, 2: page tree (written last), 3: resources, 4..: fonts
    obj(1, b"<< /Type /Catalog /Pages 2 0 R >>")
    font_refs = []
    num = 4
    for key, base in _FONTS.items():
        enc = b"" if base == "Symbol" else b" /Encoding /WinAnsiEncoding"
        obj(num, b"<< /Type /Font /Subtype /Type1 /BaseFont /%s%s >>" % (base.encode(), enc))
        font_refs.append(b"/%s %d 0 R" % (key.encode(), num))
        num += 1
    obj(3, b"<< /Font << " + b" ".join(font_refs) + b" >> /ProcSet [/PDF /Text] >>")

    page_nums = []
    for content in contents:
        data = zlib.compress(content, 6)
        obj(num, b"<< /Length %d /Filter /FlateDecode >>\nstream\n" % len(data)
            + data + b"\nendstream")
        obj(num + 1, b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] "
            b"/Resources 3 0 R /Contents %d 0 R >>" % num)
        page_nums.append(num + 1)
        num += 2
    kids = b" ".join(b"%d 0 R" % n for n in page_nums)
    obj(2, b"<< /Type /Pages /Count %d /Kids [%s] >>" % (len(page_nums), kids))

    xref = pos
    lines = [b"xref\n0 %d\n" % (len(offsets) + 1), b"0000000000 65535 f \n"]
    lines += [b"%010d 00000 n \n" % off for off in offsets]
    emit(b"".join(lines))
    emit(b"trailer\n<< /Size %d /Root 1 0 R >>\nstartxref\n%d\n%%%%EOF\n"
         % (len(offsets) + 1, xref))
    return len(page_nums)


def _pages(rows: Sequence[ListRow], year: int, quarter: int, asterisk_joined: bool,
           run_time: str, total_count: bool = True) -> Iterable[bytes]:
    lay = _LAYOUT_JOINED if asterisk_joined else _LAYOUT_SPLIT
    yield _cover_page(year, quarter)
    yield _information_page(year, quarter)
    n_data = page_count(len(rows)) - FRONT_PAGES
    for p in range(n_data):
        chunk = rows[p * ROWS_PER_PAGE:(p + 1) * ROWS_PER_PAGE]
        last = p == n_data - 1
        yield _data_page(chunk, lay, year, quarter, p + 1, run_time,
                         len(rows) if last and total_count else None)


def write_list_pdf(path_or_file: Union[str, os.PathLike, BinaryIO], rows: Sequence[ListRow],
                   year: int, quarter: int, asterisk_joined: bool = False, *,
                   run_time: str = "20:37", total_count: bool = True) -> int:
    """Write the list for ``year``/``quarter`` and return its page count.

    ``rows`` are printed in the order given, 34 to a page, after a cover and
    an information page. ``asterisk_joined`` selects the 2025 Q4 drawing,
    where each CUSIP and its option asterisk are one string. ``path_or_file``
    is a path or a binary file opened for writing. ``total_count=False``
    leaves out the closing "Total Count: N", as a list cut short would lack it.
    """
    if quarter not in _QUARTER_END:
        raise ValueError(f"quarter must be 1-4, got {quarter!r}")
    rows = list(rows)
    pages = _pages(rows, int(year), quarter, asterisk_joined, run_time, total_count)
    if hasattr(path_or_file, "write"):
        return _write_pdf(path_or_file, pages)  # type: ignore[arg-type]
    with open(path_or_file, "wb") as fh:
        return _write_pdf(fh, pages)


def list_pdf_bytes(rows: Sequence[ListRow], year: int, quarter: int,
                   asterisk_joined: bool = False, *, run_time: str = "20:37",
                   total_count: bool = True) -> bytes:
    """The list as PDF bytes; see ``write_list_pdf``."""
    buf = io.BytesIO()
    write_list_pdf(buf, rows, year, quarter, asterisk_joined, run_time=run_time,
                   total_count=total_count)
    return buf.getvalue()


# --------------------------------------------------------------------------
# Realistic rows
# --------------------------------------------------------------------------

_WORDS = (
    "ALPINE", "AMBER", "APEX", "ARBOR", "ATLAS", "AURORA", "BEACON", "BLUE", "BRIDGE",
    "CANYON", "CEDAR", "CITADEL", "COASTAL", "COMET", "CORE", "CREST", "DELTA",
    "EAGLE", "ECHO", "ELM", "EMPIRE", "FALCON", "FRONTIER", "GOLDEN", "GRANITE",
    "HARBOR", "HERITAGE", "HORIZON", "IRON", "KEYSTONE", "LAKE", "LIBERTY", "MAPLE",
    "MERIDIAN", "MESA", "NORTHERN", "OAK", "OCEAN", "ORION", "PACIFIC", "PEAK",
    "PINE", "PIONEER", "PRAIRIE", "QUANTUM", "RIDGE", "RIVER", "SILVER", "SOLAR",
    "SUMMIT", "TIDAL", "TITAN", "TRINITY", "UNION", "VALLEY", "VECTOR", "VISTA",
    "WESTERN", "ZENITH",
)
_TRADES = (
    "BANCORP", "BIOSCIENCES", "CAP", "CAPITAL", "COMMUNICATIONS", "ENERGY", "FINL",
    "FOODS", "GROUP", "HEALTHCARE", "HLDGS", "INDS", "LABS", "MED", "MINERALS",
    "NETWORKS", "PHARMACEUTICALS", "PPTYS", "RES", "SEMICONDUCTOR", "SOFTWARE",
    "SYS", "TECH", "THERAPEUTICS", "TR", "UTILS",
)
_SUFFIXES = ("INC", "INC", "INC", "CORP", "CORP", "CO", "LTD", "PLC", "N V", "SA", "SE",
             "AG", "LP", "TR", "")
# Names with an ampersand, which must survive every stage unescaped.
_AMPERSAND_NAMES = (
    "AT&T INC", "JOHNSON & JOHNSON", "M&T BK CORP", "S&P GLOBAL INC", "H&R BLOCK INC",
    "A&D HLDGS CORP", "B&G FOODS INC NEW", "P&F INDS INC", "T&W FINL CORP",
)
_COMMON = ("COM", "COM", "COM", "COM NEW", "CL A", "CL A COM", "SHS", "ORD SHS",
           "SPONSORED ADR", "SPON ADS", "COM PAR $0.01", "SHS BEN INT", "COMMON SHARES",
           "ORD SHS CL A", "NAMEN AKT", "UNIT LTD PARTN")
_FOREIGN_LEADS = "BDFGHLMNPY"


def _random_issuer_code(rng: random.Random) -> str:
    """Six characters: mostly numeric US issuers, some foreign ones with a
    leading letter, some with a letter in the last places ("38259P")."""
    kind = rng.random()
    digits = "0123456789"
    letters = "ABCDEFGHJKLMNPQRSTUVWXYZ"
    if kind < 0.12:
        return (rng.choice(_FOREIGN_LEADS) + rng.choice(digits + "R")
                + "".join(rng.choice(digits + letters) for _ in range(4)))
    code = "".join(rng.choice(digits) for _ in range(5))
    return code + (rng.choice(letters) if kind < 0.45 else rng.choice(digits))


def _random_name(rng: random.Random) -> str:
    r = rng.random()
    if r < 0.04:
        return rng.choice(_AMPERSAND_NAMES)
    if r < 0.08:
        a, b = rng.sample(_WORDS, 2)
        name = f"{a} & {b} {rng.choice(_SUFFIXES)}"
    elif r < 0.55:
        name = f"{rng.choice(_WORDS)} {rng.choice(_TRADES)} {rng.choice(_SUFFIXES)}"
    else:
        name = f"{rng.choice(_WORDS)} {rng.choice(_WORDS)} {rng.choice(_TRADES)} {rng.choice(_SUFFIXES)}"
    return name.strip()[:NAME_WIDTH].rstrip()


def _date(rng: random.Random) -> str:
    return f"{rng.randint(1, 12):02d}/{rng.randint(1, 28):02d}/{rng.randint(2026, 2032)}"


def _issues(rng: random.Random) -> list[tuple[str, str]]:
    """(issue number, description) pairs for one issuer."""
    r = rng.random()
    if r < 0.10:  # blank-cheque company: shares, warrants, units
        issues = [("10", rng.choice(("ORD SHS CL A", "COM CL A", "CL A ORD SHS"))),
                  ("11", f"*W EXP {_date(rng)}"[:DESCRIPTION_WIDTH]),
                  ("12", rng.choice((f"UNIT {_date(rng)}", "UNIT 99/99/9999")))]
        if rng.random() < 0.3:
            issues.append(("13", f"RIGHT {_date(rng)}"))
        return issues
    if r < 0.18:  # two share classes
        return [("10", "CL A"), ("20", "CL B")]
    if r < 0.22:  # convertible note
        return [(rng.choice(("10", "88", "89")), rng.choice(_COMMON)),
                (rng.choice(("AA", "AB", "AC", "AD")),
                 f"NOTE {rng.randint(0, 6)}.{rng.choice(('000', '250', '500', '750'))}% "
                 f"{rng.randint(1, 12)}/{rng.randint(1, 28)}"[:DESCRIPTION_WIDTH])]
    return [(rng.choice(("10", "10", "10", "20", "30", "40", "50", "60", "70", "80", "88", "89")),
             rng.choice(_COMMON))]


def make_rows(n: int, seed: int = 0, option_share: float = 0.25) -> list[ListRow]:
    """``n`` realistic list rows, the same for the same arguments.

    Every CUSIP is valid (check digits computed; CALL and PUT rows keep their
    underlying's), rows are in the list's order (letters before digits, each
    security's CALL and PUT right below it), about ``option_share`` of the
    rows are CALL/PUT rows, a few securities are ADDED or DELETED, some names
    contain "&", and descriptions are at most 16 characters.
    """
    if n < 0:
        raise ValueError("n must be >= 0")
    if not 0.0 <= option_share < 1.0:
        raise ValueError("option_share must be in [0, 1)")
    rng = random.Random(seed)
    # Each security with options brings two more rows (CALL, PUT).
    n_optioned = min(int(round(option_share * n / 2.0)), n // 3)
    n_plain = n - 3 * n_optioned
    n_underlying = n_plain + n_optioned

    underlyings: dict[str, tuple[str, str]] = {}
    used_codes: set[str] = set()
    while len(underlyings) < n_underlying:
        code = _random_issuer_code(rng)
        if code in used_codes:
            continue
        used_codes.add(code)
        name = _random_name(rng)
        for issue, description in _issues(rng):
            if len(underlyings) == n_underlying:
                break
            base = code + issue
            underlyings[base + cusip_check_digit(base)] = (name, description)

    ordered = sorted(underlyings, key=sort_key)
    # Only ordinary shares get listed options (never warrants, units or notes).
    eligible = [c for c in ordered if c[6:8] in ("10", "20", "30", "40", "50", "60", "70",
                                                 "80", "88", "89")]
    if len(eligible) < n_optioned:
        eligible = ordered
    optioned = set(rng.sample(eligible, n_optioned))

    rows: list[ListRow] = []
    for cusip in ordered:
        name, description = underlyings[cusip]
        s = rng.random()
        status = "ADDED" if s < 0.03 else "DELETED" if s < 0.045 else ""
        row = ListRow(cusip, cusip in optioned, name, description, status)
        rows.append(row)
        if row.has_options:
            rows.extend(option_rows(row))
    return rows
