"""Inputs of the tests that read tables filed before: information tables in
the shapes other filers' software gives them, and the filer workbook that
names the manager's CIK."""

import openpyxl

NS1 = "http://www.sec.gov/edgar/document/thirteenf/informationtable"


def ns1_table(entries: list[tuple]) -> bytes:
    """An information table as filers' software writes it: "ns1:" prefix,
    tabs, standalone="yes". Entries are (issuer, cusip, value, shares) or
    (issuer, cusip, value, shares, discretion, other manager)."""
    rows = []
    for issuer, cusip, value, shares, *split in entries:
        discretion, manager = split or ("SOLE", None)
        other = f"\t\t<ns1:otherManager>{manager}</ns1:otherManager>\n" if manager else ""
        rows.append(
            f"\t<ns1:infoTable>\n\t\t<ns1:nameOfIssuer>{issuer}</ns1:nameOfIssuer>\n"
            f"\t\t<ns1:titleOfClass>COM</ns1:titleOfClass>\n\t\t<ns1:cusip>{cusip}</ns1:cusip>\n"
            f"\t\t<ns1:value>{value}</ns1:value>\n\t\t<ns1:shrsOrPrnAmt>\n"
            f"\t\t\t<ns1:sshPrnamt>{shares}</ns1:sshPrnamt>\n"
            f"\t\t\t<ns1:sshPrnamtType>SH</ns1:sshPrnamtType>\n\t\t</ns1:shrsOrPrnAmt>\n"
            f"\t\t<ns1:investmentDiscretion>{discretion}</ns1:investmentDiscretion>\n{other}"
            f"\t\t<ns1:votingAuthority>\n\t\t\t<ns1:Sole>{shares}</ns1:Sole>\n"
            f"\t\t\t<ns1:Shared>0</ns1:Shared>\n\t\t\t<ns1:None>0</ns1:None>\n"
            f"\t\t</ns1:votingAuthority>\n\t</ns1:infoTable>\n")
    return ('<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
            f'<ns1:informationTable xmlns:ns1="{NS1}">\n' + "".join(rows) +
            "</ns1:informationTable>\n").encode()


def write_filer(path, cik) -> None:
    book = openpyxl.Workbook()
    sheet = book.active
    sheet.title = "Manager"
    sheet.append(["Field", "Value"])
    sheet.append(["Name", "EXAMPLE CAPITAL LLC"])
    sheet.append(["CIK", cik])  # typed as a number, as Excel keeps it
    book.save(path)
