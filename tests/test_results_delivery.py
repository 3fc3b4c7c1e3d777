"""The run's results put in place together, and one run a working folder.

A run that fails at the last step leaves the previous information table and
review as they were; a second run started in the same folder stops at once
and changes nothing; what a killed run left half done is cleared by the next.
"""
from __future__ import annotations

import os
import shutil
import subprocess
import sys
import time

import pytest

from scenario import make_workdir, run_host, snapshot, stand_in_sites, write_base_inputs, host_environment

RESULTS = ("Results/F13Results.xml", "Results/F13Review.xlsx")


def environment(sec, figi, **more):
    return host_environment(TAVRIN_SEC_BASE_URL=sec.base_url,
                            TAVRIN_OPENFIGI_BASE_URL=figi.base_url,
                            TAVRIN_PERIOD="2026Q2", **more)


@pytest.fixture(scope="module")
def sites():
    with stand_in_sites() as both:
        yield both


@pytest.fixture
def last_run(tmp_path, sites):
    """A working folder after one good run, and that run's two results."""
    workdir = make_workdir(tmp_path / "work")
    write_base_inputs(workdir)
    run_host(workdir, "import Tavrin\n", env=environment(*sites)).check()
    return workdir, {name: (workdir / name).read_bytes() for name in RESULTS}


def change_portfolio(workdir):
    from standins.workbooks import Holding, write_portfolio
    write_portfolio(workdir / "Data" / "Portfolio.xlsx", [
        Holding("037833100", "APPLE INC COM", 200, 50000.0),
        Holding("594918104", "MICROSOFT CORP", 40, 16000.0),
    ])


def immutable(path):
    if shutil.which("chattr") is None or subprocess.run(["chattr", "+i", str(path)]).returncode:
        pytest.skip("this file system cannot make a file immutable")
    return lambda: subprocess.run(["chattr", "-i", str(path)], check=True)


# The review's replacement fails three ways: held by another program (an
# immutable file refuses to be opened for update or renamed, as an Excel
# lock does on Windows), a folder in its place, and a failure of the rename
# itself after the table was already put in place.
FAIL_RENAMING_THE_REVIEW = """
import os as _os
_replace = _os.replace
def _failing(source, target, *a, **k):
    if str(target).endswith("F13Review.xlsx") and str(source).endswith(".tmp"):
        raise OSError(5, "Input/output error", str(target))
    return _replace(source, target, *a, **k)
_os.replace = _failing
"""


@pytest.mark.parametrize("how", ["held", "folder", "rename fails"])
def test_a_review_that_cannot_be_replaced_leaves_both_previous_files(last_run, sites, how):
    workdir, previous = last_run
    change_portfolio(workdir)
    review = workdir / "Results" / "F13Review.xlsx"
    undo = lambda: None
    preamble = ""
    if how == "held":
        undo = immutable(review)
    elif how == "folder":
        review.unlink()
        review.mkdir()
        previous.pop("Results/F13Review.xlsx")
    else:
        preamble = FAIL_RENAMING_THE_REVIEW
    try:
        run = run_host(workdir, preamble + "import Tavrin\n", env=environment(*sites))
    finally:
        undo()
    assert run.returncode != 0
    assert "F13Review.xlsx" in run.stderr
    if how != "rename fails":
        assert "Nothing was replaced" in run.stderr
    for name, data in previous.items():
        assert (workdir / name).read_bytes() == data, name
    assert sorted(p.name for p in (workdir / "Results").iterdir()) == ["F13Results.xml", "F13Review.xlsx"]
    assert not (workdir / "Store" / "Tavrin.lock").exists()
    assert not (workdir / "Store" / "Tavrin.delivery").exists()


def test_a_file_too_large_names_the_file_and_keeps_the_previous_one(last_run, sites):
    workdir, previous = last_run
    change_portfolio(workdir)
    # The limit is set as the table's file is opened, so the table is the
    # first file written under it.
    limit = """
import resource as _resource, signal as _signal
_signal.signal(_signal.SIGXFSZ, _signal.SIG_IGN)
_open = builtins.open
def _limited_open(file, mode="r", *args, **kwargs):
    if "F13Results.xml" in str(file) and "x" in mode:
        _resource.setrlimit(_resource.RLIMIT_FSIZE, (64, 64))
    return _open(file, mode, *args, **kwargs)
builtins.open = _limited_open
"""
    run = run_host(workdir, limit + "import Tavrin\n", env=environment(*sites))
    assert run.returncode != 0
    last = run.stderr.strip().splitlines()[-1]
    assert last.startswith("OSError: [Errno 27]") and "F13Results.xml" in last
    assert "would be larger than this system lets a file grow" in last
    for name, data in previous.items():
        assert (workdir / name).read_bytes() == data, name


# The first run waits, lock held, as it is about to write its table.
HOLD_THE_FOLDER = """
import pathlib as _pathlib, time as _time
_open = builtins.open
def _waiting_open(file, mode="r", *args, **kwargs):
    if "F13Results.xml" in str(file) and "x" in mode:
        _pathlib.Path("started").write_text("")
        while not _pathlib.Path("go").exists():
            _time.sleep(0.05)
    return _open(file, mode, *args, **kwargs)
builtins.open = _waiting_open
"""


def test_a_second_run_in_the_same_folder_stops_at_once_and_changes_nothing(last_run, sites):
    workdir, _ = last_run
    script = workdir / "first.py"
    from scenario import PREAMBLE
    script.write_text(PREAMBLE + HOLD_THE_FOLDER + "import Tavrin\n")
    first = subprocess.Popen([sys.executable, str(script)], cwd=workdir, env=environment(*sites),
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        deadline = time.monotonic() + 120
        while not (workdir / "started").exists():
            assert first.poll() is None and time.monotonic() < deadline, first.communicate()
            time.sleep(0.05)
        before = snapshot(workdir)
        second = run_host(workdir, "import Tavrin\n", env=environment(*sites))
        assert second.returncode != 0
        assert f"RuntimeError: Another Tavrin run (process {first.pid} " in second.stderr
        assert "this run changed nothing" in second.stderr
        assert snapshot(workdir) == before
    finally:
        (workdir / "go").write_text("")
        out, err = first.communicate(timeout=300)
    assert first.returncode == 0, err
    assert not (workdir / "Store" / "Tavrin.lock").exists()


def test_what_a_killed_run_left_is_cleared_by_the_next(last_run, sites):
    workdir, previous = last_run
    store, results = workdir / "Store", workdir / "Results"
    # A run killed while it put its results in place: its lock, its journal,
    # the previous review moved aside and a new one half in place, and a
    # temporary it never used.
    dead = subprocess.Popen([sys.executable, "-c", "pass"])
    dead.wait()
    (store / "Tavrin.lock").write_text(f"{dead.pid} {os.uname().nodename} 2026-12-09 10:00:00\n")
    moved_aside = results / "F13Review.xlsx.0123abcd.previous"
    os.replace(results / "F13Review.xlsx", moved_aside)
    (results / "F13Review.xlsx").write_bytes(b"half a new review")
    (store / "Tavrin.delivery").write_text(f"{results / 'F13Review.xlsx'}\t{moved_aside}\n")
    (results / "F13Results.xml.89abcdef.tmp").write_text("<informationTable")
    run = run_host(workdir, "import Tavrin\n", env=environment(*sites)).check()
    assert "the 1 file(s) it had replaced are back as they were" in run.stdout
    assert sorted(p.name for p in results.iterdir()) == ["F13Results.xml", "F13Review.xlsx"]
    assert sorted(p.name for p in store.iterdir() if p.name.startswith("Tavrin")) == []
    # This run's inputs are last run's, so it writes the same table again.
    assert (results / "F13Results.xml").read_bytes() == previous["Results/F13Results.xml"]


# The run holds Python's garbage collector off while it works; the host
# gets it back as it had it, whether the run ends well or not.
@pytest.mark.parametrize("collector_on", [True, False], ids=["collector on", "collector off"])
@pytest.mark.parametrize("run_fails", [False, True], ids=["run ends well", "run fails"])
def test_the_run_leaves_the_hosts_garbage_collector_as_it_found_it(tmp_path, sites, collector_on,
                                                                   run_fails):
    workdir = make_workdir(tmp_path / "work")
    write_base_inputs(workdir)
    if run_fails:
        (workdir / "Data" / "Portfolio.xlsx").unlink()
    run = run_host(workdir, f"""
        import gc
        if not {collector_on}:
            gc.disable()
        try:
            import Tavrin
            failed = None
        except Exception as error:
            failed = type(error).__name__
        emit({{"enabled": gc.isenabled(), "failed": failed}})
        """, env=environment(*sites)).check()
    assert run.result() == {"enabled": collector_on,
                            "failed": "FileNotFoundError" if run_fails else None}
