"""The README's Python examples run as written."""

import pathlib
import re

README = pathlib.Path(__file__).resolve().parents[3] / "README.md"


def test_readme_examples_run():
    blocks = re.findall(r"```python\n(.*?)```", README.read_text(), re.S)
    assert blocks
    namespace = {}
    exec(compile("\n".join(blocks), str(README), "exec"), namespace)  # our own README
    assert namespace["response"].endswith(b"\r\n\r\nhello")
    assert namespace["events"] == [] or namespace["events"][0][0] in (1, 5)
