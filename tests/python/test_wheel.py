"""The wheel `make wheel` builds, installed where nothing can compile: a fresh
environment of the free-threaded interpreter, no compiler on PATH, away from
the checkout. `make test-wheel` (part of `make test`) names the wheel and the
interpreter; without them there is nothing to test."""

from __future__ import annotations

import http.client
import os
import re
import shutil
import signal
import subprocess

import pytest

WHEEL = os.path.abspath(os.environ["TESSARYNE_WHEEL"]) if os.environ.get("TESSARYNE_WHEEL") else ""
BASE_PYTHON = os.environ.get("TESSARYNE_BASE_PYTHON", "")
# The oldest glibc the wheel is for: Debian 11's is 2.31, Ubuntu 22.04's 2.35, RHEL 8's 2.28.
OLDEST_GLIBC = (2, 28)

pytestmark = pytest.mark.skipif(not (WHEEL and BASE_PYTHON), reason="make test-wheel builds the wheel and runs this")


def test_wheel_installs_without_a_compiler_and_serves_the_demo(tmp_path):
    # Tagged for free-threaded 3.14 and a manylinux platform, as auditwheel repaired it:
    # manylinux_2_28 or older, so that it installs on glibc 2.28 to 2.35 systems too.
    tag = re.fullmatch(r"tessaryne-[^-]+-cp314-cp314t-manylinux_(\d+)_(\d+)_x86_64\.whl", os.path.basename(WHEEL))
    assert tag, os.path.basename(WHEEL)
    assert (int(tag[1]), int(tag[2])) <= OLDEST_GLIBC

    subprocess.run([BASE_PYTHON, "-m", "venv", tmp_path / "env"], check=True)
    bin_dir = tmp_path / "env" / "bin"
    # The environment's own scripts and nothing else: no cc, c++, cmake or ninja to fall back on.
    env = {"PATH": str(bin_dir), "HOME": str(tmp_path)}
    for compiler in ("cc", "c++", "gcc", "g++", "clang", "cmake", "ninja"):
        assert shutil.which(compiler, path=env["PATH"]) is None
    subprocess.run(
        [bin_dir / "python", "-m", "pip", "install", "-q", "--no-index", "--no-deps", WHEEL],
        env=env, cwd=tmp_path, check=True,
    )  # fmt: skip

    extension = subprocess.run(
        [bin_dir / "python", "-c", "import sys, tessaryne._tessaryne_core as m; print(m.__file__); print(sys._is_gil_enabled())"],
        env=env, cwd=tmp_path, capture_output=True, text=True, check=True,
    ).stdout.split("\n")  # fmt: skip
    assert extension[0].startswith(str(tmp_path / "env")), "imported from the environment, not the checkout"
    assert extension[1] == "False", "the module keeps the interpreter free-threaded"
    # The C++ runtime is inside the extension: a machine without the build's compiler has none to lend it.
    if shutil.which("readelf"):
        dynamic = subprocess.run(["readelf", "-d", extension[0]], capture_output=True, text=True, check=True).stdout
        needed = re.findall(r"\(NEEDED\)\s+Shared library: \[(.+)\]", dynamic)
        assert needed and not [name for name in needed if name.startswith(("libstdc++", "libgcc_s"))]
        # The tag's promise, read from the binary: no glibc symbol newer than 2.28.
        versions = subprocess.run(["readelf", "-V", extension[0]], capture_output=True, text=True, check=True).stdout
        glibc = {tuple(map(int, found.split("."))) for found in re.findall(r"Name: GLIBC_([\d.]+)", versions)}
        assert glibc and max(glibc) <= OLDEST_GLIBC, sorted(glibc)

    server = subprocess.Popen(
        [bin_dir / "python", "-m", "tessaryne", "tessaryne.demo:app", "--port", "0", "--threads", "1"],
        env=env, cwd=tmp_path, stderr=subprocess.PIPE, text=True,
    )  # fmt: skip
    try:
        assert server.stderr is not None
        while line := server.stderr.readline():
            if listening := re.search(r"tessaryne listening on http://127\.0\.0\.1:(\d+) ", line):
                break
        else:
            raise AssertionError("the installed server ended before listening")
        client = http.client.HTTPConnection("127.0.0.1", int(listening[1]), timeout=30)
        client.request("GET", "/")
        answer = client.getresponse()
        assert (answer.status, answer.read()) == (200, b"Hello from tessaryne!\n")
        server.send_signal(signal.SIGTERM)
        server.stderr.read()
        assert server.wait(timeout=60) == 0
    finally:
        server.kill()
        server.wait()
