"""A real browser against the server: headless Chromium loads the demo's
page, which opens a WebSocket to the server, sends a few messages and shows
the echoes, echoes what is typed into its box, and shows every loop thread's
figures in its panel. The page's text is read through the DevTools protocol once it
changes to show them; the server side records what it received, so the
exchange is known to have gone through it."""

from __future__ import annotations

import contextlib
import json
import re
import shutil
import subprocess
import tempfile
import threading
import urllib.request
from collections.abc import Iterator
from typing import Any

import pytest
from websockets.sync.client import ClientConnection, connect

from server_support import serving
from tessaryne import demo
from tessaryne.server.asgi import Message, Receive, Scope, Send

CHROMIUM = shutil.which("chromium")
DEADLINE = 60.0

pytestmark = pytest.mark.skipif(CHROMIUM is None, reason="Debian's chromium is not installed")


@contextlib.contextmanager
def chromium(url: str) -> Iterator[ClientConnection]:
    """A DevTools session on a page of headless Chromium, once it has loaded url."""
    assert CHROMIUM is not None
    # Chromium's helper processes may still write to the profile as it is removed.
    with tempfile.TemporaryDirectory(ignore_cleanup_errors=True) as profile:
        process = subprocess.Popen(
            [
                CHROMIUM,
                "--headless",
                "--no-sandbox",
                "--no-first-run",
                "--disable-gpu",
                f"--user-data-dir={profile}",
                "--remote-debugging-port=0",
                "about:blank",
            ],
            stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL,
            stderr=subprocess.PIPE,
            text=True,
        )
        try:
            port = devtools_port(process)
            with urllib.request.urlopen(f"http://127.0.0.1:{port}/json/list", timeout=DEADLINE) as listing:
                page = next(target for target in json.load(listing) if target["type"] == "page")
            with connect(page["webSocketDebuggerUrl"], max_size=None) as session:
                # Navigated from here, so nothing is evaluated in a page about to be replaced.
                command(session, "Page.enable")
                command(session, "Page.navigate", url=url)
                while json.loads(session.recv(timeout=DEADLINE)).get("method") != "Page.loadEventFired":
                    pass
                yield session
        finally:
            process.terminate()
            process.wait(timeout=DEADLINE)


def devtools_port(process: subprocess.Popen[str]) -> int:
    """Reads the browser's log until it names its DevTools port, then keeps
    draining the log so that the browser never blocks on it."""
    assert process.stderr is not None
    watchdog = threading.Timer(DEADLINE, process.kill)  # a browser that neither starts nor exits
    watchdog.start()
    try:
        for line in process.stderr:
            if found := re.search(r"DevTools listening on ws://[^:]+:(\d+)/", line):
                threading.Thread(target=process.stderr.read, daemon=True).start()
                return int(found.group(1))
    finally:
        watchdog.cancel()
    raise AssertionError(f"chromium exited with status {process.wait()} before listening")


def command(session: ClientConnection, method: str, **params: Any) -> Any:
    """Sends a DevTools command and returns its result; events arriving
    meanwhile are skipped."""
    session.send(json.dumps({"id": 1, "method": method, "params": params}))
    while (reply := json.loads(session.recv(timeout=DEADLINE))).get("id") != 1:
        pass
    assert "error" not in reply, reply["error"]
    return reply["result"]


def evaluate(session: ClientConnection, expression: str) -> Any:
    """The value of a JavaScript expression in the page (a promise's, once it settles)."""
    return command(session, "Runtime.evaluate", expression=expression, awaitPromise=True, returnByValue=True)[
        "result"
    ].get("value")


def text_once_showing(session: ClientConnection, wanted: list[str]) -> str:
    """The page's text as soon as it contains every wanted string: a mutation
    observer in the page resolves the promise, no polling."""
    return str(
        evaluate(
            session,
            f"""new Promise(resolve => {{
        const wanted = {json.dumps(wanted)};
        const text = () => document.body ? document.body.innerText : "";
        const check = observer => {{
            if (!wanted.every(part => text().includes(part))) return;
            if (observer) observer.disconnect();
            resolve(text());
        }};
        new MutationObserver((_, observer) => check(observer))
            .observe(document, {{subtree: true, childList: true, characterData: true}});
        check(null);
    }})""",
        )
    )


def test_demo_page_shows_the_echoes_of_its_websocket_messages() -> None:
    received: list[str] = []

    async def recording(scope: Scope, receive: Receive, send: Send) -> None:
        """The demo, noting every WebSocket message the server hands it."""

        async def noted() -> Message:
            message = await receive()
            if message["type"] == "websocket.receive":
                received.append(message["text"])
            return message

        await demo.app(scope, noted if scope["type"] == "websocket" else receive, send)

    with serving(recording, threads=2) as server, chromium(f"http://127.0.0.1:{server.port}/app") as page:
        text_once_showing(page, ["all echoes received"])
        echoes = evaluate(page, 'Array.from(document.querySelectorAll("#echoes li"), item => item.textContent)')
        # The browser offered compression and took the server's answer.
        extensions = evaluate(page, "socket.extensions")
        # Typed into the box, echoed back; the panel lists both loop threads.
        evaluate(
            page,
            """document.getElementById("message").value = "typed by hand";
                          document.getElementById("say").requestSubmit();""",
        )
        shown = text_once_showing(page, ["typed by hand", "loop 0", "loop 1"])
    sent = ["hello", "from", "the browser"]
    assert echoes == sent
    assert extensions.startswith("permessage-deflate; server_no_context_takeover")
    assert received == [*sent, "typed by hand"]
    assert re.search(r"loop 0\t\d+\t\d+", shown) and re.search(r"loop 1\t\d+\t\d+", shown)
