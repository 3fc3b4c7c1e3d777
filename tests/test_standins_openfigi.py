"""The stand-in OpenFIGI server must behave like the service, or the client tests prove nothing."""

from __future__ import annotations

import http.client
import json
import sys
import threading
import time
from pathlib import Path

import pytest
import requests

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

from standins.openfigi_server import (  # noqa: E402
    MATCH_MEMBERS,
    NO_MATCH_WARNING,
    TOO_MANY_REQUESTS_BODY,
    OpenFigiServer,
    figi_check_digit,
    figi_for,
    is_valid_figi,
    matches_for,
)

APPLE = "037833100"
MICROSOFT = "594918104"
UNKNOWN = "000000000"
KEY = "test-key"
OTHER_KEY = "second-key"


def known() -> dict[str, list[dict]]:
    return {
        APPLE: matches_for(APPLE, name="APPLE INC", ticker="AAPL"),
        MICROSOFT: matches_for(MICROSOFT, name="MICROSOFT CORP", ticker="MSFT"),
    }


@pytest.fixture
def server():
    with OpenFigiServer(known(), api_keys={KEY, OTHER_KEY}) as srv:
        yield srv


def job(cusip: str) -> dict:
    return {"idType": "ID_CUSIP", "idValue": cusip}


def post(srv, body, *, key=None, content_type="text/json", path="/v3/mapping", timeout=5):
    headers = {"Content-Type": content_type}
    if key is not None:
        headers["X-OPENFIGI-APIKEY"] = key
    data = body if isinstance(body, bytes) else json.dumps(body).encode()
    return requests.post(srv.base_url + path, data=data, headers=headers, timeout=timeout)


# -- answers ----------------------------------------------------------------


def test_match_members_keep_the_service_order_on_the_wire():
    scrambled = [dict(reversed(list(m.items()))) for m in matches_for(APPLE)]
    with OpenFigiServer({APPLE: scrambled}) as srv:
        response = post(srv, [job(APPLE)])
    assert response.status_code == 200
    decoded = json.loads(response.text, object_pairs_hook=lambda pairs: pairs)
    matches = dict(decoded[0])["data"]
    assert len(matches) == len(scrambled)
    for match in matches:
        assert tuple(name for name, _ in match) == MATCH_MEMBERS


def test_results_follow_job_order_with_a_warning_for_unknown(server):
    response = post(server, [job(MICROSOFT), job(UNKNOWN), job(APPLE)], key=KEY)
    assert response.status_code == 200
    assert response.headers["Content-Type"].startswith("application/json")
    first, second, third = response.json()
    assert {m["compositeFIGI"] for m in first["data"]} == {figi_for(MICROSOFT)}
    assert second == {"warning": NO_MATCH_WARNING}
    assert [m["ticker"] for m in third["data"]] == ["AAPL"] * len(third["data"])


def test_empty_batch_answers_an_empty_array(server):
    response = post(server, [])
    assert (response.status_code, response.json()) == (200, [])


@pytest.mark.parametrize("content_type", ["text/json", "application/json", "application/json; charset=utf-8"])
def test_json_content_types_are_accepted(server, content_type):
    response = post(server, [job(APPLE)], content_type=content_type)
    assert response.status_code == 200
    assert "data" in response.json()[0]


def test_job_filter_narrows_matches_and_fixture_dicts_pass_through():
    mapping = {APPLE: matches_for(APPLE), ("ID_ISIN", "XS0000000009"): {"error": "Invalid idValue format."}}
    with OpenFigiServer(mapping) as srv:
        body = [dict(job(APPLE), exchCode="UN"), {"idType": "ID_ISIN", "idValue": "XS0000000009"}]
        narrowed, passed = post(srv, body).json()
    assert [m["exchCode"] for m in narrowed["data"]] == ["UN"]
    assert passed == {"error": "Invalid idValue format."}


def test_callable_mapping_and_its_failures_are_surfaced():
    def lookup(cusip):
        if cusip == "BROKEN":
            raise KeyError(cusip)
        return matches_for(cusip, exchanges=("US",))

    with OpenFigiServer(lookup) as srv:
        ok = post(srv, [job("123456789")])
        broken = post(srv, [job("BROKEN")])
        assert ok.json()[0]["data"][0]["figi"] == figi_for("123456789")
        assert broken.status_code == 500
        assert [type(e) for e in srv.errors] == [KeyError]


# -- refusals ---------------------------------------------------------------


@pytest.mark.parametrize(
    "body, content_type",
    [
        (b"not json", "text/json"),
        (b'{"idType": "ID_CUSIP", "idValue": "037833100"}', "text/json"),
        (b"[1, 2]", "text/json"),
        (b'[{"idType": "ID_CUSIP"}]', "text/json"),
        (b'[{"idValue": "037833100"}]', "text/json"),
        (b'[{"idType": "ID_CUSIP", "idValue": "037833100"}]', "text/plain"),
    ],
    ids=["not-json", "object", "not-objects", "no-idValue", "no-idType", "wrong-content-type"],
)
def test_malformed_requests_are_400_with_a_text_body(server, body, content_type):
    response = post(server, body, content_type=content_type)
    assert response.status_code == 400
    assert response.headers["Content-Type"].startswith("text/plain")
    assert response.text.strip()


@pytest.mark.parametrize(
    "configured, sent, status",
    [
        ({KEY}, KEY, 200),
        ({KEY}, "wrong", 401),
        ({KEY}, "", 401),
        (set(), KEY, 401),
        (set(), None, 200),
    ],
)
def test_api_key_validation(configured, sent, status):
    with OpenFigiServer(known(), api_keys=configured) as srv:
        assert post(srv, [job(APPLE)], key=sent).status_code == status


@pytest.mark.parametrize(
    "key, jobs, status",
    [(None, 10, 200), (None, 11, 413), (KEY, 100, 200), (KEY, 101, 413)],
)
def test_batch_size_limits(server, key, jobs, status):
    response = post(server, [job(APPLE)] * jobs, key=key)
    assert response.status_code == status
    if status == 200:
        assert len(response.json()) == jobs


@pytest.mark.parametrize("path", ["/v2/mapping", "/v3/search", "/", "/v3/mapping/extra"])
def test_only_v3_mapping_maps(server, path):
    assert post(server, [job(APPLE)], path=path).status_code == 404


def test_other_methods_on_mapping_are_refused(server):
    response = requests.get(server.mapping_url, timeout=5)
    assert response.status_code == 405


# -- rate limiting ----------------------------------------------------------


@pytest.mark.parametrize("key, window", [(None, 60), (KEY, 6)])
def test_the_26th_request_in_a_window_is_429(server, key, window):
    remaining = [int(post(server, [], key=key).headers["ratelimit-remaining"]) for _ in range(25)]
    assert remaining == list(range(24, -1, -1))

    refused = post(server, [], key=key)
    assert refused.status_code == 429
    assert refused.text == TOO_MANY_REQUESTS_BODY
    assert refused.headers["Content-Type"].startswith("text/html")
    assert refused.headers["ratelimit-remaining"] == "0"
    reset = int(refused.headers["ratelimit-reset"])
    assert 1 <= reset <= window
    assert refused.headers["retry-after"] == str(reset)
    assert server.too_many_requests_count == 1


def test_successful_answers_carry_rate_limit_headers(server):
    headers = post(server, [job(APPLE)], key=KEY).headers
    assert headers["ratelimit-limit"] == "25"
    assert headers["ratelimit-remaining"] == "24"
    assert 1 <= int(headers["ratelimit-reset"]) <= 6


def test_windows_are_kept_per_key(server):
    for _ in range(25):
        post(server, [], key=KEY)
    assert post(server, [], key=KEY).status_code == 429
    assert post(server, [], key=OTHER_KEY).status_code == 200
    assert post(server, []).status_code == 200


def test_window_resets_after_it_ends():
    with OpenFigiServer(known(), window_seconds=0.2) as srv:
        for _ in range(25):
            assert post(srv, []).status_code == 200
        refused = post(srv, [])
        assert refused.status_code == 429
        assert refused.headers["ratelimit-reset"] == "1"  # never rounded down to 0

        # Poll until the window has passed; the deadline only guards a hang.
        deadline = time.monotonic() + 30
        response = post(srv, [])
        while response.status_code == 429 and time.monotonic() < deadline:
            time.sleep(0.02)
            response = post(srv, [])
        assert response.status_code == 200
        assert response.headers["ratelimit-remaining"] == "24"


# -- FIGIs ------------------------------------------------------------------


@pytest.mark.parametrize("figi", ["BBG000B9XRY4", "BBG000BPH459", "BBG001S5N8V8", "BBG001S5TD05"])
def test_check_digit_of_real_figis(figi):
    assert figi_check_digit(figi[:11]) == figi[-1]
    assert is_valid_figi(figi)


@pytest.mark.parametrize(
    "figi",
    ["BBG000B9XRY5", "BBG000B9XRY", "BAG000B9XRY4", "BBH000B9XRY4", "BSG000B9XRY4", "BBG000A9XRY4"],
    ids=["check-digit", "short", "vowel-prefix", "third-not-G", "excluded-prefix", "vowel-body"],
)
def test_malformed_figis_are_rejected(figi):
    assert not is_valid_figi(figi)


def test_derived_figis_are_valid_stable_and_distinct():
    cusips = [f"{n:08d}" + "0" for n in range(200)]
    figis = [figi_for(c) for c in cusips]
    assert all(is_valid_figi(f) and f.startswith("BBG") for f in figis)
    assert figis == [figi_for(c) for c in cusips]
    assert len(set(figis)) == len(figis)


def test_matches_share_composite_and_share_class():
    matches = matches_for(APPLE, name="APPLE INC", ticker="AAPL")
    composite = figi_for(APPLE)
    assert matches[0]["exchCode"] == "US" and matches[0]["figi"] == composite
    assert {m["compositeFIGI"] for m in matches} == {composite}
    assert len({m["shareClassFIGI"] for m in matches}) == 1
    assert len({m["figi"] for m in matches}) == len(matches) > 1
    assert all(is_valid_figi(m[k]) for m in matches for k in ("figi", "compositeFIGI", "shareClassFIGI"))
    assert {(m["name"], m["ticker"]) for m in matches} == {("APPLE INC", "AAPL")}


# -- failure modes ----------------------------------------------------------


@pytest.mark.parametrize("status, body", [(500, "Internal Server Error"), (503, "Service Unavailable")])
def test_fail_with_answers_every_request_until_recovered(server, status, body):
    server.fail_with(status, body)
    for _ in range(2):
        response = post(server, [job(APPLE)], key=KEY)
        assert (response.status_code, response.text) == (status, body)
    server.recover()
    assert post(server, [job(APPLE)], key=KEY).status_code == 200


@pytest.mark.parametrize("times, after, expected", [
    (2, 0, [503, 503, 200, 200]),
    (None, 1, [200, 503, 503, 503]),
    (1, 2, [200, 200, 503, 200]),
])
def test_failure_after_normal_answers_and_for_a_number_of_requests(server, times, after,
                                                                   expected):
    server.fail_with(503, "busy", headers=[("Retry-After", "1")], times=times, after=after)
    statuses = [post(server, [job(APPLE)]).status_code for _ in range(4)]
    assert statuses == expected
    assert (server.failure is None) == (times is not None)


def test_redirect_names_the_other_host_and_sends_nothing_there(server):
    with OpenFigiServer(known(), api_keys={KEY}) as other:
        server.redirect_to(other.mapping_url, after=1)
        assert post(server, [job(APPLE)], key=KEY).status_code == 200
        response = requests.post(server.mapping_url, json=[job(APPLE)], timeout=5,
                                  headers={"X-OPENFIGI-APIKEY": KEY}, allow_redirects=False)
        assert (response.status_code, response.headers["Location"]) == (307, other.mapping_url)
        assert other.records == []


def test_non_json_answer(server):
    server.answer_non_json()
    response = post(server, [job(APPLE)])
    assert response.status_code == 200
    with pytest.raises(ValueError):
        response.json()


@pytest.mark.parametrize("mode", ["hang", "delay"])
def test_held_requests_time_out_and_stop_still_returns(mode):
    srv = OpenFigiServer(known()).start()
    if mode == "hang":
        srv.hang()
    else:
        srv.delay = 600
    with pytest.raises(requests.exceptions.Timeout):
        post(srv, [job(APPLE)], timeout=0.3)
    assert srv.records[0].status is None

    stopper = threading.Thread(target=srv.stop)
    stopper.start()
    stopper.join(30)  # guards against a hang; not a measure of speed
    assert not stopper.is_alive()
    assert srv.active_connections == 0


def test_stop_releases_idle_keep_alive_connections():
    srv = OpenFigiServer(known()).start()
    with requests.Session() as session:
        for _ in range(3):
            assert session.post(srv.mapping_url, data=b"[]", headers={"Content-Type": "text/json"}, timeout=5).ok
        stopper = threading.Thread(target=srv.stop)
        stopper.start()
        stopper.join(30)
        assert not stopper.is_alive()
        assert srv.active_connections == 0


# -- the record -------------------------------------------------------------


def test_record_keeps_headers_as_sent_body_and_jobs(server):
    body = json.dumps([job(APPLE), job(UNKNOWN)]).encode()
    sent = [
        ("Host", f"127.0.0.1:{server.port}"),
        ("X-OpenFIGI-ApiKey", KEY),
        ("content-type", "text/json"),
        ("Content-Length", str(len(body))),
    ]
    conn = http.client.HTTPConnection("127.0.0.1", server.port, timeout=5)
    conn.putrequest("POST", "/v3/mapping", skip_host=True, skip_accept_encoding=True)
    for name, value in sent:
        conn.putheader(name, value)
    conn.endheaders(body)
    assert conn.getresponse().status == 200
    conn.close()

    (record,) = server.records
    assert (record.method, record.path, record.status) == ("POST", "/v3/mapping", 200)
    assert record.headers == sent
    assert record.header("x-openfigi-apikey") == KEY
    assert record.body == body
    assert record.jobs == [job(APPLE), job(UNKNOWN)]


def test_counters_and_chunked_bodies(server):
    chunks = iter([b'[{"idType": "ID_CUSIP", ', b'"idValue": "037833100"}]'])
    response = requests.post(server.mapping_url, data=chunks, headers={"Content-Type": "text/json"}, timeout=5)
    assert response.status_code == 200
    post(server, [], path="/v2/mapping")
    assert server.request_count == 2
    assert server.status_counts() == {200: 1, 404: 1}
    assert server.records[0].jobs == [job(APPLE)]
    server.clear_records()
    assert (server.request_count, server.records) == (0, [])
