"""Import behaviour: settings, guards, function objects, tracebacks."""
import os

import pytest

from scenario import run_host, snapshot

FUNCTIONS = ["map_jobs", "openfigi", "cleancusip", "getsec", "storesec", "storeraw",
             "storerem", "createxml", "f13excel", "cruncher"]
# What help() shows as each function's signature: the parameters it parses.
PARAMETERS = {"map_jobs": "(jobs)", "openfigi": "(cusip)", "cleancusip": "(df, cusip, mpath)",
              "createxml": "(df)", "f13excel": "(sec, bswout)"}


def test_settings_after_import(services, base_workdir):
    run = run_host(base_workdir, """
        import os, Tavrin
        emit({name: getattr(Tavrin, name) for name in [
            "mydir", "mydebug", "mydpages", "sec_pdf_path", "sec_excel_Path", "sec_cons_path",
            "raw_path", "rawc_path", "rem_path", "remc_path", "res_path", "fres_path",
            "subject", "body", "recipients", "headers", "openfigi_apikey", "openfigi_url",
            "openfigi_headers", "pdf_url"]} | {"cwd": os.getcwd()})
    """, env=services.env).check()
    settings = run.result()
    mydir = settings["cwd"]
    assert settings["mydir"] == mydir
    assert settings["mydebug"] is False and settings["mydpages"] == "all"
    sep = os.sep
    assert settings["sec_pdf_path"] == f"{mydir}{sep}Store{sep}F13SEC.pdf"
    assert settings["sec_excel_Path"] == f"{mydir}{sep}Store{sep}F13X.xlsx"
    assert settings["raw_path"] == f"{mydir}{sep}Data{sep}Portfolio.xlsx"
    assert settings["remc_path"] == f"{mydir}{sep}Store{sep}CRemoval.xlsx"
    assert settings["fres_path"] == f"{mydir}{sep}Results{sep}F13Results.xlsx"
    assert settings["recipients"] == []
    assert settings["headers"] == {"User-Agent": "Tavrin Tests tests@example.com"}
    assert settings["openfigi_apikey"] == ""
    assert settings["openfigi_url"] == services.figi.base_url + "/v3/mapping"
    assert settings["openfigi_headers"] == {"Content-Type": "text/json"}
    assert settings["pdf_url"].startswith(services.sec.base_url + "/files/investment/13flist")


@pytest.mark.parametrize("moment, period, year, quarter", [
    ("2024-05-10 12:00", None, 2024, 1),
    ("2024-12-31 23:00", None, 2024, 3),
    ("2024-10-01 00:30", None, 2024, 3),
    ("2024-07-01 09:00", None, 2024, 2),
    ("2025-02-15 10:00", None, 2024, 4),  # the quarter reported lies in the previous year
    ("2026-05-10 12:00", "2025Q4", 2025, 4),  # an amendment: the period wins over the clock
    ("2026-07-01 09:00", "2026q1", 2026, 1),  # as the list's file name spells it
])
def test_reporting_period_follows_the_clock_or_tavrin_period(services, base_workdir, moment,
                                                            period, year, quarter):
    run = run_host(base_workdir, f"""
        import time_machine
        with time_machine.travel({moment!r}, tick=False):
            import Tavrin
        emit([Tavrin.myYear, Tavrin.myQuarter, Tavrin.pdf_url])
    """, env=services.env | ({"TAVRIN_PERIOD": period} if period else {})).check()
    assert run.result() == [year, quarter,
                            f"{services.sec.base_url}/files/investment/13flist{year}q{quarter}.pdf"]
    assert services.sec.requests[0].path == f"/files/investment/13flist{year}q{quarter}.pdf"


def test_year_and_quarter_come_from_one_reading_of_the_clock(services, base_workdir):
    # The year turns between the first reading and any later one; a second
    # reading would pair 2024 with January's quarter and ask for 2023's list.
    run = run_host(base_workdir, """
        import datetime as clock
        import pandas, tabula.io
        def readings():
            yield clock.datetime(2024, 12, 31, 23, 59, 59, 999999)
            while True:
                yield clock.datetime(2025, 1, 1, 0, 0, 0)
        later = readings()
        class Turning(clock.datetime):
            @classmethod
            def now(cls, tz=None):
                return next(later)
        clock.datetime = Turning
        import Tavrin
        emit([Tavrin.myYear, Tavrin.myQuarter])
    """, env=services.env).check()
    assert run.result() == [2024, 3]


@pytest.mark.parametrize("period", ["2026Q5", "2026-Q2", "Q2 2026", "26Q2", "2026Q12", "2026Q1 "])
def test_a_malformed_period_is_refused_before_anything_is_touched(services, base_workdir, period):
    before = snapshot(base_workdir)
    run = run_host(base_workdir, """
        try:
            import Tavrin
        except ValueError as error:
            emit(str(error))
    """, env=services.env | {"TAVRIN_PERIOD": period}).check()
    assert run.result() == (
        'TAVRIN_PERIOD must name a quarter as the year, the letter Q and the quarter 1 to 4, '
        f'for example "2026Q2" (got "{period}"). Unset it to report the quarter that ended last.')
    assert services.sec.requests == [] and snapshot(base_workdir) == before


@pytest.mark.parametrize("period, why", [
    ("9999Q4", "a quarter that has not ended (the last that has is 2024Q1)"),
    ("2024Q2", "a quarter that has not ended (the last that has is 2024Q1)"),
    ("0000Q1", "a quarter before the SEC's lists begin (2004Q1)"),
    ("2003Q4", "a quarter before the SEC's lists begin (2004Q1)"),
])
def test_a_period_without_a_list_to_report_from_is_refused(services, base_workdir, period, why):
    before = snapshot(base_workdir)
    run = run_host(base_workdir, """
        import time_machine
        try:
            with time_machine.travel("2024-05-10 12:00", tick=False):
                import Tavrin
        except ValueError as error:
            emit(str(error))
    """, env=services.env | {"TAVRIN_PERIOD": period}).check()
    assert run.result() == (
        f'TAVRIN_PERIOD names {why} (got "{period}"). Name a quarter from 2004Q1 to 2024Q1, '
        'or unset it to report the quarter that ended last.')
    assert services.sec.requests == [] and snapshot(base_workdir) == before


def test_functions_are_builtins_of_the_module(services, base_workdir):
    run = run_host(base_workdir, f"""
        import inspect, Tavrin
        found = {{}}
        for name in {FUNCTIONS!r}:
            f = getattr(Tavrin, name)
            found[name] = [type(f).__name__, f.__module__, f.__qualname__,
                           str(inspect.signature(f))]
        docs = {{name: getattr(Tavrin, name).__doc__ for name in {FUNCTIONS!r}}}
        errors = []
        for call in ["Tavrin.cleancusip(1)", "Tavrin.cruncher(1)", "Tavrin.map_jobs()",
                     "Tavrin.f13excel(1, 2, 3)", "Tavrin.openfigi(cusip=1, other=2)"]:
            try:
                eval(call)
            except TypeError as error:
                errors.append(str(error))
        emit({{"functions": found, "errors": errors, "docs": docs, "module doc": Tavrin.__doc__}})
    """, env=services.env).check()
    result = run.result()
    assert result["functions"] == {
        n: ["builtin_function_or_method", "Tavrin", n, PARAMETERS.get(n, "()")] for n in FUNCTIONS}
    # help() says in a few lines what each does; the signature line is not part of it.
    assert all(0 < len(doc.splitlines()) <= 3 for doc in result["docs"].values())
    assert not any(doc.startswith(name) for name, doc in result["docs"].items())
    assert result["module doc"].startswith("Prepares the quarter's SEC Form 13F information table")
    assert result["errors"] == [
        "cleancusip() missing required argument 'cusip' (pos 2)",
        "Tavrin.cruncher() takes no arguments (1 given)",
        "map_jobs() missing required argument 'jobs' (pos 1)",
        "f13excel() takes at most 2 arguments (3 given)",
        "openfigi() takes at most 1 keyword argument (2 given)",
    ]


def test_globals_are_looked_up_at_the_moment_of_use(services, base_workdir):
    run = run_host(base_workdir, """
        import traceback, Tavrin
        seen = {}
        def failing_list():
            raise LookupError("list stand-in")
        Tavrin.storesec = failing_list
        try:
            Tavrin.cruncher()
        except LookupError as error:
            seen["entries"] = [(f.name, f.filename) for f in traceback.extract_tb(error.__traceback__)]
        del Tavrin.getsec
        try:
            Tavrin.cruncher()
        except NameError as error:
            seen["missing"] = str(error)
        builtins.getsec = lambda: seen.setdefault("builtin getsec", True)
        try:
            Tavrin.cruncher()
        except LookupError:
            pass
        emit(seen)
    """, env=services.env).check()
    seen = run.result()
    assert ["Tavrin.cruncher", "Tavrin.pyx"] in seen["entries"]
    assert seen["entries"][-1] == ["failing_list", str(base_workdir / "host.py")]
    assert seen["missing"] == "name 'getsec' is not defined"
    assert seen["builtin getsec"] is True


def test_second_import_and_reload_return_the_same_module_and_run_nothing(services, base_workdir):
    run = run_host(base_workdir, """
        import importlib, sys, Tavrin
        first = Tavrin
        del sys.modules["Tavrin"]
        import Tavrin as again
        reloaded = importlib.reload(again)
        emit([first is again, reloaded is first])
    """, env=services.env).check()
    assert run.result() == [True, True]
    assert len(services.sec.requests) == 1  # the pipeline ran once


def test_second_interpreter_is_refused(services, base_workdir):
    run = run_host(base_workdir, """
        import Tavrin, _xxsubinterpreters as interpreters
        other = interpreters.create(isolated=False)
        try:
            interpreters.run_string(other, "import Tavrin")
            emit("imported")
        except interpreters.RunFailedError as error:
            emit(str(error))
    """, env=services.env).check()
    assert "ImportError" in run.result()
    assert run.result().endswith("Interpreter change detected - this module can only "
                                 "be loaded into one interpreter per process.")


def test_version_warning_then_a_fresh_import(services, base_workdir):
    run = run_host(base_workdir, """
        import sys, traceback, warnings
        real = sys.version_info
        sys.version_info = (3, 11, 4, "final", 0)
        seen = {}
        with warnings.catch_warnings():
            warnings.simplefilter("error", RuntimeWarning)
            try:
                import Tavrin
            except RuntimeWarning as warning:
                seen["warning"] = str(warning)
                seen["entries"] = [f.name for f in traceback.extract_tb(warning.__traceback__)]
        sys.version_info = real
        seen["left behind"] = "Tavrin" in sys.modules
        import Tavrin
        seen["second run"] = Tavrin.mydebug is False
        emit(seen)
    """, env=services.env).check()
    seen = run.result()
    assert seen["warning"] == ("compile time Python version 3.12 of module 'Tavrin' "
                               "does not match runtime version 3.11")
    assert "init Tavrin" in seen["entries"]
    assert seen["left behind"] is False and seen["second run"] is True
    assert len(services.sec.requests) == 1  # only the second import ran the pipeline


@pytest.mark.parametrize("package", ["getmac", "pyodbc", "tabula"])
def test_missing_package_fails_before_any_file_or_request(services, base_workdir, package):
    before = snapshot(base_workdir)
    run = run_host(base_workdir, f"""
        import sys
        sys.modules[{package!r}] = None
        try:
            import Tavrin
        except ImportError as error:
            emit([type(error).__name__, "Tavrin" in sys.modules])
    """, env=services.env).check()
    assert run.result() == ["ModuleNotFoundError", False]
    assert services.sec.requests == [] and services.figi.records == []
    assert snapshot(base_workdir) == before


@pytest.mark.parametrize("key, accepted", [
    ("0123abcd-4567-89ef-0123-456789abcdef", True),
    ("0123ABCD-4567-89EF-0123-456789ABCDEF", False),
    ("not-a-key", False),
])
def test_openfigi_key_must_have_the_uuid_form(services, base_workdir, key, accepted):
    before = snapshot(base_workdir)
    run = run_host(base_workdir, """
        try:
            import Tavrin
            emit(Tavrin.openfigi_apikey)
        except ValueError as error:
            emit("ValueError: " + str(error))
    """, env=services.env | {"OPENFIGI_APIKEY": key}).check()
    if accepted:
        assert run.result() == key
    else:
        assert run.result().startswith("ValueError: OPENFIGI_APIKEY must be")
        assert key not in run.result()  # a key is never echoed
        assert services.sec.requests == [] and snapshot(base_workdir) == before
