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


@pytest.fixture
def services():
    """Stand-in SEC and OpenFIGI servers; `.env` points a host at them."""
    from scenario import host_environment, stand_in_sites

    with stand_in_sites() as (sec, figi):
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
