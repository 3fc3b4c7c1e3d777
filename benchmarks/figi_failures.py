"""How long a report's FIGI look-ups last when OpenFIGI fails, at full size.

    .venv/bin/python benchmarks/figi_failures.py [--cusips 3000] [--time-scale 20] [--only MODE]

Each mode builds one report of --cusips holdings with `f13excel`, in a fresh
interpreter, against a stand-in OpenFIGI that fails that way from the first
request, once without a key and once with one.

The real windows, limits and budget are minutes long, so the host runs the
module on a clock that goes --time-scale times faster than the wall clock:
it replaces `time.monotonic` and `time.sleep` (the module's budget and waits
read them at each use) and divides the requests' time limits by the scale on
their way out; the stand-in's windows, answer times and rate-limit headers
are scaled to match. The seconds printed are therefore the run's seconds at
the real windows and limits ("look-ups": from the start of `f13excel` until
the table goes to the XML writer, which includes building the table, itself
stretched by the scale); "wall" is what the run took here.
"""
from __future__ import annotations

import argparse
import json
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path[:0] = [str(ROOT), str(ROOT / "tests")]

import pandas as pd  # noqa: E402

from report_inputs import LIST_STAND_INS, prepare_quiet_import, securities_list  # noqa: E402
from scenario import NOWHERE, host_environment, make_workdir, run_host  # noqa: E402
from standins.openfigi_server import TOO_MANY_REQUESTS_BODY, OpenFigiServer, matches_for  # noqa: E402

KEY = "5c0f3a9e-41d2-4b7a-9e86-0d2f7c1b8a43"
ANSWER_SECONDS = 0.2  # how long the service takes for one answer, at real scale

HOST = LIST_STAND_INS + """
import contextlib, io, time
import pandas as pd
import Tavrin

settings = json.load(open("settings.json"))
SCALE = settings["scale"]
Tavrin.openfigi_url = settings["url"]
Tavrin.openfigi_apikey = settings["key"]
sec, bswout = pd.read_pickle("inputs.pkl")

real_monotonic, real_sleep = time.monotonic, time.sleep
origin = real_monotonic()
time.monotonic = lambda: origin + (real_monotonic() - origin) * SCALE
time.sleep = lambda seconds: real_sleep(seconds / SCALE)

class ScaledRequests:
    def __init__(self, real):
        self.real, self.sent = real, 0
    def post(self, *args, **kwargs):
        kwargs["timeout"] = tuple(limit / SCALE for limit in kwargs["timeout"])
        self.sent += 1
        response = self.real.post(*args, **kwargs)
        for name in ("ratelimit-reset", "retry-after"):
            if name in response.headers:
                response.headers[name] = str(float(response.headers[name]) * SCALE)
        return response
scaled = ScaledRequests(Tavrin.requests)
Tavrin.requests = scaled

ended = []
real_createxml = Tavrin.createxml
def note_end(df):
    ended.append((time.monotonic(), real_monotonic()))
    ended.append(list(df["figi"]))
    return real_createxml(df)
Tavrin.createxml = note_end

printed = io.StringIO()
started = (time.monotonic(), real_monotonic())
with contextlib.redirect_stdout(printed):
    Tavrin.f13excel(sec, bswout)
(virtual_end, real_end), figis = ended
emit({"seconds": virtual_end - started[0], "wall": real_end - started[1],
      "requests": scaled.sent, "found": sum(f != " " for f in figis),
      "blank": sum(f == " " for f in figis),
      "printed": [line for line in printed.getvalue().splitlines()
                  if line.startswith("OpenFIGI") and "waiting" not in line],
      "waits": sum("waiting" in line for line in printed.getvalue().splitlines())})
"""


def cusips(count: int) -> list[str]:
    return [f"{100000 + i:06d}10{i % 10}" for i in range(count)]


# Each mode: how the stand-in fails, given the scale and the second stand-in.
def refused(server, other, scale):
    return NOWHERE + "/v3/mapping"


def never_answers(server, other, scale):
    server.hang()


def refuses_without_headers(server, other, scale):
    server.fail_with(429, TOO_MANY_REQUESTS_BODY)


def refuses_with_longest_wait(server, other, scale):
    server.fail_with(429, TOO_MANY_REQUESTS_BODY, headers=[("retry-after", str(300 / scale))])


def redirects(server, other, scale):
    server.redirect_to(other.mapping_url)


def unavailable(server, other, scale):
    server.fail_with(503, "Service Unavailable")


def answers_just_in_time(server, other, scale):
    server.delay = 59 / scale


def healthy(server, other, scale):
    pass


MODES = {
    "connection refused": refused,
    "never answers": never_answers,
    "429 for ever, no headers": refuses_without_headers,
    "429 for ever, wait 300 s": refuses_with_longest_wait,
    "307 to another host": redirects,
    "503 for ever": unavailable,
    "every answer after 59 s": answers_just_in_time,
    "healthy, real limits": healthy,
}


def run_mode(name: str, key: str, count: int, scale: float, base: Path) -> dict:
    holdings = cusips(count)
    workdir = make_workdir(base / f"{name}-{'key' if key else 'anonymous'}".replace(" ", "_"))
    prepare_quiet_import(workdir)
    sec = securities_list([(c, f"ISSUER {c}", "COM") for c in holdings])
    bswout = pd.DataFrame({"CUSIPID": holdings, "TotalSettlementMarketValue": 1.0,
                           "TotalSettlementQuantity": 1.0})
    pd.to_pickle((sec, bswout), workdir / "inputs.pkl")
    stand_in = dict(api_keys={KEY}, window_seconds=6 / scale,
                    anonymous_window_seconds=60 / scale, delay=ANSWER_SECONDS / scale)
    with OpenFigiServer(matches_for, **stand_in) as server, \
            OpenFigiServer(matches_for, **stand_in) as other:
        url = MODES[name](server, other, scale) or server.mapping_url
        (workdir / "settings.json").write_text(
            json.dumps({"url": url, "key": key, "scale": scale}))
        out = run_host(workdir, HOST, env=host_environment()).check().result()
        out["elsewhere"] = other.request_count
    return out


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--cusips", type=int, default=3000)
    parser.add_argument("--time-scale", type=float, default=20)
    parser.add_argument("--only", choices=list(MODES), action="append")
    args = parser.parse_args(argv)
    print(f"{args.cusips} CUSIPs, clock {args.time_scale:g}x faster than the wall clock; "
          "seconds at the real windows and limits, budget 600 s")
    print(f"{'mode':28} {'key':4} {'look-ups':>9} {'wall':>6} {'requests':>8} {'waits':>5} "
          f"{'found':>5} {'blank':>5}  last line")
    with tempfile.TemporaryDirectory() as folder:
        for name in args.only or MODES:
            for key in ("", KEY):
                out = run_mode(name, key, args.cusips, args.time_scale, Path(folder))
                last = out["printed"][-1] if out["printed"] else ""
                print(f"{name:28} {'yes' if key else 'no':4} {out['seconds']:8.1f}s "
                      f"{out['wall']:5.1f}s {out['requests']:8} {out['waits']:5} "
                      f"{out['found']:5} {out['blank']:5}  {last[:110]}", flush=True)
                assert out["elsewhere"] == 0, "a request followed the redirect"
    return 0


if __name__ == "__main__":
    sys.exit(main())
