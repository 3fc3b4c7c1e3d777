"""The OpenFIGI client against the stand-in service.

Each scenario imports the module once (a quiet run that asks the service
nothing) and then calls `openfigi` and `map_jobs` from the host, so every
request the stand-ins record is one the host made on purpose.
"""
from __future__ import annotations

import json
import math
from contextlib import ExitStack

import pytest
import requests

from report_inputs import LIST_STAND_INS, prepare_quiet_import, schema_errors
from scenario import NOWHERE, host_environment, make_workdir, run_host
from standins.openfigi_server import (
    NO_MATCH_WARNING,
    TOO_MANY_REQUESTS_BODY,
    OpenFigiServer,
    matches_for,
)

APPLE = "037833100"
MICROSOFT = "594918104"
SEVERAL = "12345X109"  # several listings, the composite one not first
UNKNOWN = "000000000"
KEY = "0f8fad5b-d9cb-469f-a165-70867728950e"


def known() -> dict:
    return {
        APPLE: matches_for(APPLE, name="APPLE INC", ticker="AAPL"),
        MICROSOFT: matches_for(MICROSOFT, name="MICROSOFT CORP", ticker="MSFT"),
        SEVERAL: matches_for(SEVERAL, exchanges=("UN", "US", "UW")),
    }


def job(cusip: str) -> dict:
    return {"idType": "ID_CUSIP", "idValue": cusip}


def run_with_urls(workdir, urls: dict, body: str, **env):
    """Runs `body` after a quiet import; the host finds `urls` in URLS."""
    prepare_quiet_import(workdir)
    (workdir / "urls.json").write_text(json.dumps(urls))
    preamble = LIST_STAND_INS + "URLS = json.load(open('urls.json'))\nimport Tavrin\n"
    return run_host(workdir, preamble + body, env=host_environment(**env)).check()


# -- what goes on the wire ----------------------------------------------------

WIRE_HOST = f"""
out = {{}}
Tavrin.openfigi_url = URLS["service"]
headers = Tavrin.openfigi_headers
out["figis"] = [Tavrin.openfigi("{APPLE}")]             # key from the environment: none
Tavrin.openfigi_apikey = None
out["figis"].append(Tavrin.openfigi(cusip="{APPLE}"))  # still none
out["headers_without_key"] = dict(Tavrin.openfigi_headers)
Tavrin.openfigi_apikey = "{KEY}"
out["figis"].append(Tavrin.openfigi("{MICROSOFT}"))
Tavrin.openfigi_apikey = ""
out["figis"].append(Tavrin.openfigi("{MICROSOFT}"))    # the entry set before stays
out["headers_after"] = dict(Tavrin.openfigi_headers)
out["same_dict"] = Tavrin.openfigi_headers is headers
out["figis"].append(Tavrin.openfigi("{SEVERAL}"))
out["types"] = [type(f).__name__ for f in out["figis"]]
out["answer"] = Tavrin.map_jobs(jobs=[{job(MICROSOFT)!r}, {job(UNKNOWN)!r}, {job(APPLE)!r}])
emit(out)
"""


@pytest.fixture(scope="module")
def wire(tmp_path_factory):
    workdir = make_workdir(tmp_path_factory.mktemp("figi") / "work")
    with OpenFigiServer(known(), api_keys={KEY}) as server:
        run = run_with_urls(workdir, {"service": server.mapping_url}, WIRE_HOST)
    return run.result(), server.records, workdir


def test_the_quiet_import_wrote_its_holding_without_a_figi(wire, information_table_schema):
    _, _, workdir = wire
    document = workdir / "Results" / "F13Results.xml"
    assert schema_errors(information_table_schema, document) == []
    assert b"<cusip>G0R21F105</cusip>" in document.read_bytes()
    assert b"<figi>" not in document.read_bytes()


@pytest.mark.parametrize("position, key", [(0, None), (1, None), (2, KEY), (3, KEY)])
def test_key_header_only_once_a_key_was_given(wire, position, key):
    _, records, _ = wire
    assert records[position].header("X-OPENFIGI-APIKEY") == key


@pytest.mark.parametrize("position", [0, 2])
def test_the_module_adds_only_its_own_headers_to_the_library_defaults(wire, position):
    _, records, _ = wire
    record = records[position]
    own = {"Content-Type"} | ({"X-OPENFIGI-APIKEY"} if position == 2 else set())
    expected = set(requests.utils.default_headers()) | {"Host", "Content-Length"} | own
    assert {name for name, _ in record.headers} == expected
    assert record.header("Content-Type") == "text/json"
    assert (record.method, record.path) == ("POST", "/v3/mapping")


def test_the_key_entry_stays_in_the_module_headers(wire):
    out, _, _ = wire
    assert out["headers_without_key"] == {"Content-Type": "text/json"}
    assert out["headers_after"] == {"Content-Type": "text/json", "X-OPENFIGI-APIKEY": KEY}
    assert out["same_dict"] is True


@pytest.mark.parametrize("position, cusip", [(0, APPLE), (1, APPLE), (2, MICROSOFT), (4, SEVERAL)])
def test_one_job_with_id_type_before_id_value(wire, position, cusip):
    _, records, _ = wire
    body = json.loads(records[position].body, object_pairs_hook=lambda pairs: pairs)
    assert body == [[("idType", "ID_CUSIP"), ("idValue", cusip)]]


@pytest.mark.parametrize("position, cusip", [(0, APPLE), (2, MICROSOFT), (4, SEVERAL)])
def test_the_figi_is_the_first_member_of_the_first_match(wire, position, cusip):
    out, _, _ = wire
    first, *others = known()[cusip]
    assert out["figis"][position] == first["figi"]
    assert all(out["figis"][position] != other["figi"] for other in others)
    assert out["types"][position] == "str"


def test_several_jobs_go_in_one_request_and_come_back_whole(wire):
    out, records, _ = wire
    assert len(records) == 6
    assert [j["idValue"] for j in records[5].jobs] == [MICROSOFT, UNKNOWN, APPLE]
    assert out["answer"] == [
        {"data": known()[MICROSOFT]},
        {"warning": NO_MATCH_WARNING},
        {"data": known()[APPLE]},
    ]


# -- failures ------------------------------------------------------------------

FAILURE_HOST = f"""
import traceback

def outcome(call):
    try:
        return {{"returned": call()}}
    except BaseException as error:
        return {{"raised": type(error).__name__, "message": str(error),
                "kinds": [k.__name__ for k in type(error).__mro__],
                "trace": "".join(traceback.format_exception(error))}}

out = {{}}
for name, url in URLS["modes"].items():
    Tavrin.openfigi_url = url
    out[name] = {{"openfigi": outcome(lambda: Tavrin.openfigi("{APPLE}")),
                 "map_jobs": outcome(lambda: Tavrin.map_jobs([{job(APPLE)!r}]))}}

# A refusal is answered at once, and the next CUSIP goes out at once.
Tavrin.openfigi_url = URLS["refuses_once"]
out["refused_then"] = [Tavrin.openfigi("{APPLE}"), Tavrin.openfigi("{APPLE}")]

# The service that never answers: the module's own limit is a minute, so the
# host shortens it on the way through, keeping what the module asked for.
class RecordingRequests:
    def __init__(self, real):
        self.real, self.calls = real, []
    def post(self, *args, **kwargs):
        self.calls.append({{"positional": len(args), "names": list(kwargs),
                           "timeout": kwargs.get("timeout")}})
        return self.real.post(*args, **dict(kwargs, timeout=(5, 0.5)))

recorder = RecordingRequests(Tavrin.requests)
Tavrin.requests = recorder
Tavrin.openfigi_url = URLS["hangs"]
out["hangs"] = {{"openfigi": outcome(lambda: Tavrin.openfigi("{APPLE}")),
                "map_jobs": outcome(lambda: Tavrin.map_jobs([{job(APPLE)!r}]))}}
out["posted"] = recorder.calls
Tavrin.requests = recorder.real

# What the guarded block lets through, with map_jobs stood in by name.
real_map_jobs = Tavrin.map_jobs
for kind in ("ValueError", "LookupError", "KeyboardInterrupt", "SystemExit"):
    def failing(jobs, kind=kind):
        raise getattr(builtins, kind)("stand-in")
    Tavrin.map_jobs = failing
    out["map_jobs raises " + kind] = outcome(lambda: Tavrin.openfigi("{APPLE}"))
Tavrin.map_jobs = real_map_jobs
emit(out)
"""

BAD_CODE = "Bad response code {}"


@pytest.fixture(scope="module")
def failures(tmp_path_factory):
    workdir = make_workdir(tmp_path_factory.mktemp("figi") / "work")
    with ExitStack() as stack:
        def server(mapping=None):
            return stack.enter_context(OpenFigiServer(known() if mapping is None else mapping))

        servers = {
            "no_match": server({}),
            "empty_data": server({APPLE: {"data": []}}),
            "job_error": server({APPLE: {"error": "Invalid idValue format."}}),
            "too_many": server(),
            "unavailable": server(),
            "server_error": server(),
            "created": server(),
            "not_json": server(),
            "redirects": server(),
        }
        elsewhere = server()
        servers["too_many"].fail_with(429, TOO_MANY_REQUESTS_BODY, content_type="text/html")
        servers["unavailable"].fail_with(503, "Service Unavailable")
        servers["server_error"].fail_with(500, "Internal Server Error")
        servers["created"].fail_with(201, json.dumps([{"data": known()[APPLE]}]),
                                     content_type="application/json")
        servers["not_json"].answer_non_json()
        servers["redirects"].redirect_to(elsewhere.mapping_url)
        refuses_once, hangs = server(), server()
        refuses_once.fail_with(429, TOO_MANY_REQUESTS_BODY, times=1)
        hangs.hang()
        urls = {name: s.mapping_url for name, s in servers.items()}
        urls["no_server"] = NOWHERE + "/v3/mapping"
        run = run_with_urls(workdir, {"modes": urls, "refuses_once": refuses_once.mapping_url,
                                      "hangs": hangs.mapping_url}, FAILURE_HOST)
        assert elsewhere.records == []  # map_jobs never followed the redirect
        return run.result(), refuses_once.records, hangs.records


@pytest.mark.parametrize("mode, answer", [
    ("no_match", [{"warning": NO_MATCH_WARNING}]),
    ("empty_data", [{"data": []}]),
    ("job_error", [{"error": "Invalid idValue format."}]),
])
def test_an_unmapped_job_gives_a_blank(failures, mode, answer):
    out, _, _ = failures
    assert out[mode]["openfigi"] == {"returned": " "}
    assert out[mode]["map_jobs"] == {"returned": answer}


@pytest.mark.parametrize("mode, status", [
    ("too_many", 429),
    ("unavailable", 503),
    ("server_error", 500),
    ("created", 201),
    ("redirects", 307),
])
def test_a_status_other_than_200_is_a_bad_response_code(failures, mode, status):
    out, _, _ = failures
    assert out[mode]["openfigi"] == {"returned": " "}
    raised = out[mode]["map_jobs"]
    assert (raised["raised"], raised["message"]) == ("Exception", BAD_CODE.format(status))
    assert 'File "Tavrin.pyx"' in raised["trace"] and "Tavrin.map_jobs" in raised["trace"]


@pytest.mark.parametrize("mode, kind", [
    ("not_json", "JSONDecodeError"),
    ("no_server", "ConnectionError"),
    ("hangs", "Timeout"),
])
def test_library_failures_pass_map_jobs_and_give_a_blank(failures, mode, kind):
    out, _, _ = failures
    assert out[mode]["openfigi"] == {"returned": " "}
    assert kind in out[mode]["map_jobs"]["kinds"]
    assert "Tavrin.map_jobs" in out[mode]["map_jobs"]["trace"]


def test_a_refusal_does_not_hold_up_the_next_cusip(failures):
    out, records, _ = failures
    assert out["refused_then"] == [" ", known()[APPLE][0]["figi"]]
    assert [r.status for r in records] == [429, 200]


def test_every_request_has_a_connect_and_a_read_limit(failures):
    out, _, hung = failures
    assert len(hung) == 2  # the requests reached the service, which never answered
    for call in out["posted"]:
        assert call["positional"] == 0
        assert call["names"] == ["url", "headers", "json", "timeout", "allow_redirects"]
        connect, read = call["timeout"]
        assert all(0 < limit and math.isfinite(limit) for limit in (connect, read))


@pytest.mark.parametrize("kind, caught", [
    ("ValueError", True),
    ("LookupError", True),
    ("KeyboardInterrupt", False),
    ("SystemExit", False),
])
def test_openfigi_catches_exceptions_but_not_interrupts(failures, kind, caught):
    out, _, _ = failures
    result = out["map_jobs raises " + kind]
    if caught:
        assert result == {"returned": " "}
    else:
        assert result["raised"] == kind
