import sys
from types import SimpleNamespace
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))
sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

from scenario import EDGAR, make_workdir  # noqa: E402


@pytest.fixture
def workdir(tmp_path):
    """A manager's working folder with empty Data, Store and Results."""
    return make_workdir(tmp_path / "work")


@pytest.fixture(scope="session")
def information_table_schema():
    """The EDGAR information-table schema, where the reference files are at hand."""
    etree = pytest.importorskip("lxml.etree")
    xsd = EDGAR / "xsd" / "eis_13FDocument.xsd"
    if not xsd.exists():
        pytest.skip("the EDGAR reference files are not beside the repository")
    return etree.XMLSchema(etree.parse(str(xsd)))


@pytest.fixture(scope="session")
def list_pdf():
    """The small list in the SEC's layout, as PDF bytes."""
    from scenario import base_list_rows
    from standins.seclist_pdf import list_pdf_bytes

    return list_pdf_bytes(base_list_rows(), 2026, 2)


@pytest.fixture
def services(list_pdf):
    """Stand-in SEC and OpenFIGI servers; `.env` points a host at them.

    The SEC stand-in serves the small list for every quarter of 2023 to 2027,
    so runs under any faked clock find their list.
    """
    from scenario import BASE_LIST, host_environment
    from standins.openfigi_server import OpenFigiServer, matches_for
    from standins.sec_server import SecServer

    figis = {cusip: matches_for(cusip, name=name) for cusip, _, name, _ in BASE_LIST}
    with SecServer() as sec, OpenFigiServer(figis) as figi:
        for year in range(2023, 2028):
            for quarter in range(1, 5):
                sec.add_list(year, quarter, list_pdf)
        yield SimpleNamespace(sec=sec, figi=figi, env=host_environment(
            TAVRIN_SEC_BASE_URL=sec.base_url,
            TAVRIN_OPENFIGI_BASE_URL=figi.base_url,
            TAVRIN_USER_AGENT="Tavrin Tests tests@example.com",
        ))


@pytest.fixture
def base_workdir(workdir):
    """A working folder holding the small portfolio and removal list."""
    from scenario import write_base_inputs

    write_base_inputs(workdir)
    return workdir
