"""Every kernel family, forced with TESSARYNE_KERNEL in a fresh process, decides as the scalar one does."""

import os
import subprocess
import sys

import pytest

# Prints the repr of what the tokenizer and unmasking kernels decide for heads
# long enough for the vector kernels, with bad bytes at several positions, and
# for payloads around the vector widths.
PROGRAM = r"""
from tessaryne._tessaryne_core import FastHttpConnection, FastHttpParser, fast_websocket_unmask

base = (b"POST /a/target/long/enough/to/fill/a/vector/window?q=1 HTTP/1.1\r\nHost: example.org\r\n"
        b"X-Long: " + b"v" * 70 + b"\r\nContent-Length: 2\r\n\r\nok")
heads = [base, base[:64], base[:150]] + [
    base[:at] + bytes([byte]) + base[at + 1:]
    for at in (5, 30, 60, 70, 90, 120, 150, 170) for byte in (0x00, 0x0D, 0x20, 0x3A, 0x7F, 0xFF)]
results = []
for head in heads:
    try:
        results.append(FastHttpParser.parse_request(head))
    except (RuntimeError, ValueError) as error:
        results.append(str(error))
    results.append(FastHttpConnection().feed_data(head))
payload = bytes(range(256)) * 17
results += [fast_websocket_unmask(payload[:n], b"\x01\x80\xfe\x37") for n in (0, 5, 31, 32, 33, 100, 4099)]
print(repr(results))
"""


def run_with(kernel):
    env = {name: value for name, value in os.environ.items() if name != "TESSARYNE_KERNEL"}
    if kernel is not None:
        env["TESSARYNE_KERNEL"] = kernel
    return subprocess.run([sys.executable, "-c", PROGRAM], env=env, capture_output=True, text=True, check=True).stdout


@pytest.fixture(scope="module")
def scalar():
    return run_with("scalar")


# A family the CPU lacks runs the next narrower one; an unknown name and no
# name run the widest available one.
@pytest.mark.parametrize("kernel", ["sse", "avx2", "unknown", None])
def test_every_family_decides_as_scalar(scalar, kernel):
    assert run_with(kernel) == scalar
