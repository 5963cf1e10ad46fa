"""The Python examples of the README and of docs/native-module.md run as
written: every ```python block of a page, in order, in one namespace."""

import pathlib
import re

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[3]


def answered(namespace: dict) -> bool:
    """The connection example ends as its comments say."""
    events = namespace["events"]
    return namespace["response"].endswith(b"\r\n\r\nhello") and (events == [] or events[0][0] in (1, 5))


# Each page, and what its examples leave beyond their own asserts.
@pytest.mark.parametrize(("page", "check"), [("README.md", None), ("docs/native-module.md", answered)])
def test_examples_run(page, check):
    path = ROOT / page
    blocks = re.findall(r"```python\n(.*?)```", path.read_text(), re.S)
    assert blocks, f"{page} has no python example"
    namespace: dict = {}
    exec(compile("\n".join(blocks), str(path), "exec"), namespace)  # our own pages
    assert check is None or check(namespace)
