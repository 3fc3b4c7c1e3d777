"""A re-run in the same working folder: the list asked for conditionally, its
tables and the FIGIs of the quarter reused while they are the same, and
TAVRIN_FRESH=1 for a run that does everything again.

One working folder goes through a sequence of imports against one pair of
stand-ins, as a manager runs, fixes a workbook and runs again.
"""
from __future__ import annotations

from types import SimpleNamespace

import pytest

from report_inputs import schema_errors
from scenario import BASE_LIST, base_list_rows, host_environment, make_workdir, run_host, stand_in_sites
from standins.seclist_pdf import ListRow, list_pdf_bytes
from standins.workbooks import Holding, write_portfolio, write_removal

REUSE_LINE = "List unchanged since "
PORTFOLIO = [Holding("037833100", "APPLE INC COM", 100, 25000.0),
             Holding("594918104", "MICROSOFT CORP", 40, 16000.0)]
# The fix between the runs: AT&T added to the portfolio.
FIXED = PORTFOLIO + [Holding("00206R102", "AT&T INC COM", 300, 6000.0)]

REPORT = """
import Tavrin
emit({"extraction": Tavrin._list_extraction.get("reused", False)})
"""


def asked_cusips(figi, since):
    return sorted(job["idValue"] for record in figi.records[since:] for job in record.jobs or [])


@pytest.fixture(scope="module")
def runs(tmp_path_factory):
    folder = make_workdir(tmp_path_factory.mktemp("reuse") / "work")
    write_portfolio(folder / "Data" / "Portfolio.xlsx", PORTFOLIO)
    write_removal(folder / "Data" / "Removal.xlsx", [])
    store = folder / "Store"
    steps = {}
    with stand_in_sites() as (sec, figi):
        env = host_environment(TAVRIN_SEC_BASE_URL=sec.base_url,
                               TAVRIN_OPENFIGI_BASE_URL=figi.base_url, TAVRIN_PERIOD="2026Q2")

        def step(name, **extra):
            sent, asked = len(sec.requests), len(figi.records)
            run = run_host(folder, REPORT, env=env | extra).check()
            steps[name] = SimpleNamespace(
                printed=run.stdout.splitlines(), result=run.result(),
                requests=sec.requests[sent:], asked=asked_cusips(figi, asked),
                document=folder / "Results" / "F13Results.xml",
                pdf=(store / "F13SEC.pdf").read_bytes())

        step("first")
        write_portfolio(folder / "Data" / "Portfolio.xlsx", FIXED)
        step("re-run")

        (store / "F13X.tables.pkl").write_bytes(b"\x80\x05 damaged")
        step("damaged store")

        changed = list_pdf_bytes(base_list_rows() + [ListRow("G0R21F105", False, "APEX TECH", "ORD")],
                                 2026, 2)
        sec.add_list(2026, 2, changed)
        step("changed list")
        steps["changed list"].served = changed

        step("fresh", TAVRIN_FRESH="1")

        # FIGIs that could not be had are asked for again the next run.
        (store / "F13FIGI.json").unlink()
        figi.fail_with(400, "refused")
        step("figis failing")
        figi.answer_normally()
        step("figis answering")
    return steps


def reuse_lines(step):
    return [line for line in step.printed if "reused" in line or line.startswith(REUSE_LINE)]


def test_the_first_run_asks_unconditionally_and_reuses_nothing(runs):
    (request,) = runs["first"].requests
    assert request.header("If-None-Match") is None and request.header("If-Modified-Since") is None
    assert reuse_lines(runs["first"]) == []
    assert runs["first"].asked == ["037833100", "594918104"]


def test_a_re_run_gets_a_304_and_reuses_the_tables_and_figis(runs, information_table_schema):
    rerun = runs["re-run"]
    (request,) = rerun.requests
    assert request.header("If-None-Match").startswith('"')
    assert rerun.result["extraction"] is True
    # only the CUSIP added between the runs is asked about
    assert rerun.asked == ["00206R102"]
    (line,) = reuse_lines(rerun)
    assert line.startswith(REUSE_LINE) and line.endswith(" (304); tables and 2 FIGIs reused")
    assert schema_errors(information_table_schema, rerun.document) == []


def test_a_damaged_store_is_ignored_and_the_list_read_afresh(runs):
    damaged = runs["damaged store"]
    assert damaged.result["extraction"] is False
    (line,) = reuse_lines(damaged)
    assert line.endswith(" (304); 3 FIGIs reused")


def test_a_changed_list_is_downloaded_and_read_afresh(runs):
    changed = runs["changed list"]
    assert changed.pdf == changed.served
    assert changed.result["extraction"] is False
    assert reuse_lines(changed) == ["3 FIGIs reused"]


def test_tavrin_fresh_does_everything_again(runs):
    fresh = runs["fresh"]
    (request,) = fresh.requests
    assert request.header("If-None-Match") is None
    assert fresh.result["extraction"] is False
    assert fresh.asked == ["00206R102", "037833100", "594918104"]
    assert reuse_lines(fresh) == []


def test_failed_look_ups_are_never_stored(runs):
    assert runs["figis failing"].asked != []
    # every CUSIP the failing service could not answer is asked again
    assert runs["figis answering"].asked == ["00206R102", "037833100", "594918104"]
