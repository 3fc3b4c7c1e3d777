"""The rehearsal command: a saved list and known FIGIs, served for a real import."""
import json
import signal
from contextlib import contextmanager
import subprocess
import sys

import pytest

from report_inputs import schema_errors
from scenario import ROOT, base_list_rows, host_environment, run_host

NS = "{http://www.sec.gov/edgar/document/thirteenf/informationtable}"
APPLE_FIGI = "BBG000B9XRY4"
MICROSOFT_FIGI = "BBG000BPH459"
FIGIS = {
    "037833100": APPLE_FIGI,
    "594918104": [{"figi": MICROSOFT_FIGI, "name": "MICROSOFT CORP", "exchCode": "US"}],
    "00206R102": None,
}


@contextmanager
def rehearsing(tmp_path, *options, printed_for=(2026, 2)):
    """`python -m standins.rehearse` running, and the lines it printed first;
    the saved list is printed for the quarter `printed_for`."""
    from standins.seclist_pdf import list_pdf_bytes

    saved = tmp_path / "13flist-saved.pdf"
    saved.write_bytes(list_pdf_bytes(base_list_rows(), *printed_for))
    figis = tmp_path / "figis.json"
    figis.write_text(json.dumps(FIGIS))
    process = subprocess.Popen(
        [sys.executable, "-m", "standins.rehearse", "--list", str(saved), "--figis", str(figis),
         *options],
        cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    printed = []
    for line in process.stdout:
        printed.append(line.rstrip("\n"))
        if line.startswith("Ctrl-C"):
            break
    try:
        yield process, printed
    finally:
        if process.poll() is None:
            process.kill()
            process.communicate()


@pytest.fixture
def rehearsal(tmp_path):
    with rehearsing(tmp_path) as running:
        yield running


def exported(printed):
    return dict(line.removeprefix("export ").split("=", 1)
                for line in printed if line.startswith("export "))


def test_one_import_runs_on_the_rehearsed_list_and_figis(rehearsal, base_workdir,
                                                        information_table_schema):
    process, printed = rehearsal
    exports = exported(printed)
    assert sorted(exports) == ["TAVRIN_OPENFIGI_BASE_URL", "TAVRIN_SEC_BASE_URL"]
    # The quarter the saved list is for, and whatever key the run sends.
    run_host(base_workdir, "import Tavrin", env=host_environment(
        **exports, TAVRIN_PERIOD="2026Q2",
        OPENFIGI_APIKEY="0123abcd-4567-89ef-0123-456789abcdef")).check()

    document = base_workdir / "Results" / "F13Results.xml"
    assert schema_errors(information_table_schema, document) == []
    from lxml import etree
    entries = etree.parse(str(document)).getroot().findall(f"{NS}infoTable")
    assert {e.findtext(f"{NS}cusip"): e.findtext(f"{NS}figi") for e in entries} == {
        "037833100": APPLE_FIGI, "594918104": MICROSOFT_FIGI, "00206R102": None}

    process.send_signal(signal.SIGINT)
    out, err = process.communicate()
    assert process.returncode == 0, err
    assert out.splitlines() == ["SEC:      GET /files/investment/13flist2026q2.pdf",
                                "OpenFIGI: 3 CUSIPs asked, answered 200",
                                "Stopped."]


def test_a_previous_filing_is_served_for_the_cik_and_compared(tmp_path, base_workdir):
    from information_tables import ns1_table, write_filer

    previous = tmp_path / "last-quarter.xml"
    previous.write_bytes(ns1_table([("APPLE INC", "037833100", 20000, 100)]))
    write_filer(base_workdir / "Data" / "Filer.xlsx", 1234567)
    with rehearsing(tmp_path, "--previous", str(previous), "--cik", "1234567",
                    "--previous-period", "2026Q2", printed_for=(2026, 3)) as (process, printed):
        assert "EDGAR stand-in:    the previous table as the 13F-HR 0001234567-26-000001 for " \
               "2026-06-30" in printed
        run = run_host(base_workdir, "import Tavrin", env=host_environment(
            **exported(printed), TAVRIN_PERIOD="2026Q3",
            TAVRIN_USER_AGENT="Tavrin Tests tests@example.com")).check()
        assert run.stdout.splitlines()[-2] == (
            "Against the 2026 Q2 table (EDGAR 13F-HR 0001234567-26-000001, kept as "
            "Store/Previous.xml): 2 new, 0 closed, 0 increased, 0 decreased, 1 unchanged; "
            "0 to look at twice")
        process.send_signal(signal.SIGINT)
        out, err = process.communicate()
    assert process.returncode == 0, err
    assert "SEC data: GET /submissions/CIK0001234567.json" in out.splitlines()


@pytest.mark.parametrize("pdf, figis, message", [
    (b"<html>", {}, "is not a PDF"),
    (b"%PDF-1.4", {"037833100": "BBG-B9XRY4"}, "CUSIP 037833100: 'BBG-B9XRY4' is not a FIGI"),
    (b"%PDF-1.4", ["037833100"], "must hold one JSON object keyed by CUSIP"),
    (b"%PDF-1.4", {"037833100": [{"name": "APPLE INC"}]}, "a list of matches with \"figi\""),
])
def test_a_list_or_figis_file_it_cannot_serve_is_refused(tmp_path, pdf, figis, message):
    from standins.rehearse import main

    (tmp_path / "list.pdf").write_bytes(pdf)
    (tmp_path / "figis.json").write_text(json.dumps(figis))
    with pytest.raises(SystemExit) as refused:
        main(["--list", str(tmp_path / "list.pdf"), "--figis", str(tmp_path / "figis.json")])
    assert message in str(refused.value.code)


@pytest.mark.parametrize("allow, refused", [(False, True), (True, False)])
def test_the_rehearsal_refuses_an_undeclared_agent_as_the_sec_does(tmp_path, allow, refused):
    from standins.seclist_pdf import list_pdf_bytes

    saved = tmp_path / "13flist-saved.pdf"
    saved.write_bytes(list_pdf_bytes(base_list_rows(), 2026, 2))
    command = [sys.executable, "-m", "standins.rehearse", "--list", str(saved)]
    process = subprocess.Popen(command + (["--allow-undeclared-agent"] if allow else []),
                               cwd=ROOT, stdout=subprocess.PIPE, text=True)
    try:
        printed = []
        for line in process.stdout:
            printed.append(line)
            if line.startswith("Ctrl-C"):
                break
        base = next(line.split("=", 1)[1].strip() for line in printed
                    if line.startswith("export TAVRIN_SEC_BASE_URL="))
        import requests
        answer = requests.get(base + "/files/investment/13flist2026q2.pdf",
                              headers={"User-Agent": "Mozilla/5.0"}, timeout=10)
    finally:
        process.kill()
        process.communicate()
    assert (answer.status_code == 403) is refused
    assert ("as the SEC does" in printed[0]) is refused
