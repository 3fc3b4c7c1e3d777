import sys
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
