import pytest

from tessaryne import _tessaryne_core


@pytest.fixture(scope="session")
def core():
    return _tessaryne_core
