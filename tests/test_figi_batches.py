"""FIGIs for a whole report in few requests, within the service's limits.

Each scenario imports the module quietly, points it at a stand-in service
and builds one report with `f13excel`, recording what went on the wire and
what the run printed.
"""
from __future__ import annotations

import json
import math
from pathlib import Path

import pandas as pd
import pytest

from report_inputs import LIST_STAND_INS, prepare_quiet_import, schema_errors, securities_list
from scenario import host_environment, make_workdir, run_host
from standins.openfigi_server import (
    TOO_MANY_REQUESTS_BODY,
    OpenFigiServer,
    matches_for,
)

KEY = "0f8fad5b-d9cb-469f-a165-70867728950e"


def cusips(count: int, start: int = 100000) -> list[str]:
    return [f"{start + i:06d}10{i % 10}" for i in range(count)]


def known(cusip_list) -> dict:
    return {c: matches_for(c) for c in cusip_list}


HOST = LIST_STAND_INS + """
import contextlib, io, time
from pathlib import Path
import pandas as pd
import Tavrin

settings = json.load(open("settings.json"))
default_budget = Tavrin.openfigi_budget
Tavrin.openfigi_url = settings["url"]
Tavrin.openfigi_apikey = settings["key"]
for name in settings.get("drop", []):
    delattr(Tavrin, name)
if "budget" in settings:
    Tavrin.openfigi_budget = settings["budget"]

class ShortReadLimit:
    # The module's own limit is a minute; the host shortens it on the way.
    def __init__(self, real, seconds):
        self.real, self.seconds = real, seconds
    def post(self, *args, **kwargs):
        connect, read = kwargs["timeout"]
        return self.real.post(*args, **dict(kwargs, timeout=(connect, min(read, self.seconds))))
if settings.get("read_limit"):
    Tavrin.requests = ShortReadLimit(Tavrin.requests, settings["read_limit"])

asked = []
if settings.get("own_figis") is not None:
    def own_figis(cusip):
        asked.append(cusip)
        return settings["own_figis"].get(cusip, " ")
    Tavrin.openfigi = own_figis
sec, bswout = pd.read_pickle("inputs.pkl")
reports = []
real_createxml = Tavrin.createxml
def keep(df):
    reports.append(df.copy())
    return real_createxml(df)
Tavrin.createxml = keep

printed = io.StringIO()
started = time.monotonic()
with contextlib.redirect_stdout(printed):
    Tavrin.f13excel(sec, bswout)
out = {"figis": dict(zip(reports[0]["cusip"], reports[0]["figi"])),
       "seconds": time.monotonic() - started, "asked": asked, "default_budget": default_budget,
       "document": str(Path("Results", "F13Results.xml").absolute()),
       "printed": [line for line in printed.getvalue().splitlines()
                   if line.startswith("OpenFIGI")]}
if settings.get("ask_after"):
    out["after"] = Tavrin.openfigi(settings["ask_after"])
emit(out)
"""


def build_report(tmp_path, server: OpenFigiServer, holdings: list[str], *, key: str = "",
                 ask_after: str = "", drop: tuple[str, ...] = (), **settings):
    workdir = make_workdir(tmp_path / "work")
    prepare_quiet_import(workdir)
    sec = securities_list([(c, f"ISSUER {c}", "COM") for c in holdings])
    bswout = pd.DataFrame({"CUSIPID": holdings, "TotalSettlementMarketValue": 1.0,
                           "TotalSettlementQuantity": 1.0})
    pd.to_pickle((sec, bswout), workdir / "inputs.pkl")
    (workdir / "settings.json").write_text(json.dumps(
        {"url": server.mapping_url, "key": key, "ask_after": ask_after, "drop": list(drop),
         **settings}))
    run = run_host(workdir, HOST, env=host_environment()).check()
    return run.result()


def job_counts(server) -> list[tuple[int, int]]:
    return [(len(r.jobs or []), r.status) for r in server.records]


@pytest.mark.parametrize("count, key, per_request", [
    (250, KEY, 100),
    (25, "", 10),
])
def test_batches_of_the_size_the_key_allows_and_every_figi_found(tmp_path, count, key,
                                                                    per_request):
    holdings = cusips(count)
    with OpenFigiServer(known(holdings), api_keys={KEY}) as server:
        out = build_report(tmp_path, server, holdings, key=key)
    assert out["figis"] == {c: matches_for(c)[0]["figi"] for c in holdings}
    assert out["default_budget"] == 600
    sizes = [size for size, _ in job_counts(server)]
    assert sizes == [per_request] * (count // per_request) + ([count % per_request] if count % per_request else [])
    assert len(sizes) <= math.ceil(count / per_request) + 5


def test_a_rate_limit_is_waited_out_with_one_line_per_wait(tmp_path):
    holdings = cusips(250)
    with OpenFigiServer(known(holdings), api_keys={KEY}, rate_limit=2,
                        window_seconds=1) as server:
        out = build_report(tmp_path, server, holdings, key=KEY)
    assert " " not in out["figis"].values()
    statuses = [status for _, status in job_counts(server)]
    assert statuses.count(200) == 3 and statuses.count(429) >= 1
    waits = [line for line in out["printed"] if "waiting" in line]
    assert len(waits) == statuses.count(429)
    assert waits[0] == "OpenFIGI rate limit reached: waiting 1 s, 50 CUSIPs left"


@pytest.mark.parametrize("headers, line", [
    ([("ratelimit-reset", "2"), ("retry-after", "1")], "waiting 2 s"),
    ([("retry-after", "1")], "waiting 1 s"),
    ([("ratelimit-reset", "0.2")], "waiting 1 s"),  # never a busy loop
    ([("ratelimit-reset", "soon"), ("retry-after", "1.5")], "waiting 1.5 s"),
])
def test_the_wait_comes_from_the_rate_limit_headers(tmp_path, headers, line):
    holdings = cusips(3)
    with OpenFigiServer(known(holdings)) as server:
        server.fail_with(429, TOO_MANY_REQUESTS_BODY, headers=headers, times=1)
        out = build_report(tmp_path, server, holdings)
    assert out["printed"] == [f"OpenFIGI rate limit reached: {line}, 3 CUSIPs left"]
    assert job_counts(server) == [(3, 429), (3, 200)]


def test_a_batch_too_large_is_halved(tmp_path):
    holdings = cusips(100)
    with OpenFigiServer(known(holdings), api_keys={KEY}) as server:
        server.fail_with(413, "Too many mapping jobs", times=1)
        out = build_report(tmp_path, server, holdings, key=KEY)
    assert job_counts(server) == [(100, 413), (50, 200), (50, 200)]
    assert " " not in out["figis"].values()


@pytest.mark.parametrize("status", [503, 500])
def test_a_server_failure_is_waited_out_and_the_batch_asked_again(tmp_path, status):
    holdings = cusips(3)
    with OpenFigiServer(known(holdings)) as server:
        server.fail_with(status, "refused", headers=[("retry-after", "1")], times=1)
        out = build_report(tmp_path, server, holdings)
    assert job_counts(server) == [(3, status), (3, 200)]
    assert out["figis"] == {c: matches_for(c)[0]["figi"] for c in holdings}
    assert out["printed"] == [f"OpenFIGI server failed (Exception: Bad response code {status}): "
                              "waiting 1 s, 3 CUSIPs left"]


@pytest.mark.parametrize("status, reason", [
    (400, "Exception: Bad response code 400"),
])
def test_a_batch_answered_wrongly_falls_back_to_one_request_per_cusip(tmp_path, status, reason):
    holdings = cusips(3)
    with OpenFigiServer(known(holdings)) as server:
        server.fail_with(status, "refused", times=1)
        out = build_report(tmp_path, server, holdings)
    assert job_counts(server) == [(3, status)] + [(1, 200)] * 3
    assert [r.jobs[0]["idValue"] for r in server.records[1:]] == holdings
    assert out["figis"] == {c: matches_for(c)[0]["figi"] for c in holdings}
    (warning,) = out["printed"]
    assert reason in warning and server.mapping_url in warning and "one at a time" in warning


def document_figis(path: str) -> dict:
    from lxml import etree

    entries = etree.parse(path).getroot()
    return {entry.findtext(".//{*}cusip"): entry.findtext(".//{*}figi") for entry in entries}


def never_answers(server, other):
    server.hang(after=1)


def refuses_for_ever(server, other):
    server.fail_with(429, TOO_MANY_REQUESTS_BODY, after=1)


def refuses_with_short_waits(server, other):
    server.fail_with(429, TOO_MANY_REQUESTS_BODY, headers=[("retry-after", "1")], after=1)


def fails_with_short_waits(server, other):
    server.fail_with(503, "Service Unavailable", headers=[("retry-after", "1")], after=1)


def sends_elsewhere(server, other):
    server.redirect_to(other.mapping_url, after=1)


# Every holding after the first batch stays open; a run ends within `bound`
# seconds, where asking for each open CUSIP alone would take far longer.
@pytest.mark.parametrize("mode, key, settings, requests_sent, words, bound", [
    (never_answers, "", {"read_limit": 0.5}, 2,
     ["(ReadTimeout", "no more requests go out", "the 15 CUSIPs not answered yet go",
      "check that the service is reachable"], 5),
    (never_answers, "", {"budget": 1.5}, 2,
     ["time budget of 1.5 s (openfigi_budget)", "the 15 CUSIPs", "set OPENFIGI_APIKEY"], 5),
    (refuses_for_ever, "", {"budget": 5}, 2,
     ["asks for a wait of 60 s", "of the time budget of 5 s", "the 15 CUSIPs"], 5),
    (refuses_with_short_waits, "", {}, 6,
     ["for its rate limit after 4 waits", "the 15 CUSIPs", "OPENFIGI_APIKEY"], 9),
    (fails_with_short_waits, "", {}, 6,
     ["still failed a batch", "after 4 waits", "503", "the 15 CUSIPs", "run again later"], 9),
    (sends_elsewhere, KEY, {}, 2,
     ["Bad response code 307", "the 15 CUSIPs", "TAVRIN_OPENFIGI_BASE_URL"], 5),
])
def test_a_service_out_of_reach_costs_a_bounded_time(tmp_path, information_table_schema, mode,
                                                      key, settings, requests_sent, words,
                                                      bound):
    per_request = 100 if key else 10
    holdings = cusips(per_request + 15)
    with OpenFigiServer(known(holdings), api_keys={KEY}) as server, \
            OpenFigiServer(known(holdings), api_keys={KEY}) as other:
        mode(server, other)
        out = build_report(tmp_path, server, holdings, key=key, **settings)
    assert out["seconds"] < bound
    assert server.request_count == requests_sent
    assert other.records == []
    found = {c: matches_for(c)[0]["figi"] for c in holdings[:per_request]}
    assert out["figis"] == found | {c: " " for c in holdings[per_request:]}
    assert schema_errors(information_table_schema, Path(out["document"])) == []
    assert document_figis(out["document"]) == found | {c: None for c in holdings[per_request:]}
    lines = [line for line in out["printed"] if "waiting" not in line]
    plain = [line for line in lines if "unencrypted" in line]
    assert len(plain) == (1 if key else 0)
    assert all(server.mapping_url in line for line in plain)
    (warning,) = [line for line in lines if "unencrypted" not in line]
    assert all(word in warning for word in words)


def test_a_host_that_rebinds_openfigi_gets_one_call_a_row_and_no_request(tmp_path):
    holdings = cusips(12)
    own = {holdings[0]: matches_for(holdings[0])[0]["figi"]}
    with OpenFigiServer(known(holdings)) as server:
        out = build_report(tmp_path, server, holdings, key=KEY, own_figis=own)
    assert server.request_count == 0
    assert out["asked"] == holdings
    assert out["figis"] == {c: own.get(c, " ") for c in holdings}
    assert out["printed"] == []


@pytest.mark.parametrize("budget", ["soon", None])
def test_a_budget_that_is_not_a_number_of_seconds_gets_the_default(tmp_path, budget):
    holdings = cusips(3)
    with OpenFigiServer(known(holdings)) as server:
        out = build_report(tmp_path, server, holdings, budget=budget)
    assert out["figis"] == {c: matches_for(c)[0]["figi"] for c in holdings}
    assert out["printed"] == [
        f"OpenFIGI time budget openfigi_budget must be a number of seconds (it is {budget!r}); "
        "this report's FIGI look-ups get 600 s."]


def test_only_an_answer_that_is_not_definite_gets_a_request_of_its_own(tmp_path):
    found, unknown, invalid = cusips(3)
    mapping = {found: matches_for(found), invalid: {"error": "Invalid idValue format."}}
    with OpenFigiServer(mapping) as server:
        out = build_report(tmp_path, server, [found, unknown, invalid])
    assert out["figis"] == {found: matches_for(found)[0]["figi"], unknown: " ", invalid: " "}
    assert [[job["idValue"] for job in r.jobs] for r in server.records] == [
        [found, unknown, invalid], [invalid]]


def test_nothing_is_kept_once_the_report_is_built(tmp_path):
    holdings = cusips(2)
    with OpenFigiServer(known(holdings)) as server:
        out = build_report(tmp_path, server, holdings, ask_after=holdings[0])
    assert out["after"] == matches_for(holdings[0])[0]["figi"]
    assert job_counts(server) == [(2, 200), (1, 200)]


def test_a_missing_key_setting_leaves_blanks_but_never_stops_the_report(tmp_path):
    holdings = cusips(3)
    with OpenFigiServer(known(holdings)) as server:
        out = build_report(tmp_path, server, holdings, drop=("openfigi_apikey",))
    assert out["figis"] == {c: " " for c in holdings}
    assert server.request_count == 0  # map_jobs fails before sending
    assert "NameError" in out["printed"][0]


MAP_JOBS_HOST = LIST_STAND_INS + """
import Tavrin
Tavrin.openfigi_url = json.load(open("settings.json"))["url"]
try:
    Tavrin.map_jobs([{"idType": "ID_CUSIP", "idValue": "037833100"}])
except Exception as error:
    emit({"class": type(error).__name__, "args": list(error.args),
          "status": error.response.status_code,
          "reset": error.response.headers["ratelimit-reset"]})
"""


def test_a_refusal_carries_the_answer_and_keeps_its_class_and_message(tmp_path):
    workdir = make_workdir(tmp_path / "work")
    prepare_quiet_import(workdir)
    with OpenFigiServer() as server:
        server.fail_with(429, TOO_MANY_REQUESTS_BODY, headers=[("ratelimit-reset", "4")])
        (workdir / "settings.json").write_text(json.dumps({"url": server.mapping_url}))
        out = run_host(workdir, MAP_JOBS_HOST, env=host_environment()).check().result()
    assert out == {"class": "Exception", "args": ["Bad response code 429"], "status": 429,
                   "reset": "4"}
