import pytest
from hypothesis import settings

# Properties are about results, never about time: no per-example deadline, so a
# busy machine cannot fail a test.
settings.register_profile("tessaryne", deadline=None)
settings.load_profile("tessaryne")


@pytest.fixture(params=["asyncio", "uvloop"])
def event_loop_kind(request: pytest.FixtureRequest) -> str:
    """The event loop a test's server runs (Config.loop), for the tests that
    must hold on both."""
    if request.param == "uvloop":
        pytest.importorskip("uvloop")
    return str(request.param)
