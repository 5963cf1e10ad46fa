"""The module's face to the interpreter: names, order, class properties."""

import shutil
import subprocess
import sys
import weakref

import pytest

from tessaryne import _tessaryne_core as core

ALL_NAMES = [
    "ThreadPoolClosedError",
    "AtomicMetrics",
    "NativeWorkerPool",
    "Channel",
    "RawAsyncChannel",
    "RawAsyncWaitGroup",
    "RawAsyncRWMutex",
    "FastHttpParser",
    "FastHttpConnection",
    "FastWebSocketParser",
    "fast_websocket_unmask",
    "fast_websocket_unmask_slice",
]
FUNCTIONS = ["fast_websocket_unmask", "fast_websocket_unmask_slice"]
CLASSES = [name for name in ALL_NAMES if name not in ("ThreadPoolClosedError", *FUNCTIONS)]

# (class, text signature or None, docstring or None)
CLASS_DOCS = [
    ("AtomicMetrics", "(num_threads)", None),
    ("NativeWorkerPool", "(num_threads)",
     "Native worker-pool core for zero-overhead task queueing and work stealing, each worker stealing batches "
     "from the one injection queue all share, never from another worker's queues."),
    ("Channel", "(maxsize)", None),
    ("RawAsyncChannel", "(maxsize=0, wake_fn=None, select_wake_fn=None)", None),
    ("RawAsyncWaitGroup", "()", None),
    ("RawAsyncRWMutex", "()",
     "High-performance asynchronous read-write lock state machine with writer-preference fairness."),
    ("RawAsyncSemaphore", "(value=1, bound=None)", None),
    ("RawAsyncQueue", "(maxsize, shut_down_error)", None),
    ("FastHttpParser", None, "Zero-copy HTTP/1.x request header parser powered by SIMD httparse."),
    ("FastHttpConnection", "(max_body_size=..., max_header_size=..., max_keepalive_requests=1000)",
     "High-performance stateful HTTP/1.1 and WebSocket protocol engine.\n\n"
     "Acts as a pure protocol state machine and wire serializer. Holds internal\n"
     "byte buffers and manages request parsing, RFC 9112 chunked transfer decoding,\n"
     "request smuggling prevention, Keep-Alive pipelining, and RFC 6455 framing."),
    ("FastWebSocketParser", None, "Zero-copy RFC 6455 WebSocket frame header parser."),
]  # fmt: skip

SAMPLE_ARGS = {
    "AtomicMetrics": (1,),
    "NativeWorkerPool": (1,),
    "Channel": (0,),
    "RawAsyncChannel": (),
    "RawAsyncWaitGroup": (),
    "RawAsyncRWMutex": (),
    "RawAsyncSemaphore": (),
    "RawAsyncQueue": (0, EOFError),
    "FastHttpConnection": (),
}


def test_all_lists_the_twelve_names_in_order():
    assert core.__all__ == ALL_NAMES
    for name in ALL_NAMES:
        assert hasattr(core, name)
    assert core.__doc__ == ""


def test_exception_type():
    error = core.ThreadPoolClosedError
    assert issubclass(error, Exception)
    assert error.__bases__ == (Exception,)
    assert error.__module__ == "_tessaryne_core"
    assert error.__doc__ is None
    assert str(error("Pool is closed and drained")) == "Pool is closed and drained"


@pytest.mark.parametrize("name", ["RawAsyncSemaphore", "RawAsyncQueue", "ConnectionDriver", "ServerCounters"])
def test_additions_are_attributes_outside_all(name):
    assert isinstance(getattr(core, name), type) and name not in core.__all__


def test_internal_error_is_an_attribute_outside_all():
    assert core.InternalError.__bases__ == (BaseException,)
    assert "InternalError" not in core.__all__
    try:
        raise core.InternalError("broken invariant")
    except Exception:  # noqa: BLE001 - what an ordinary handler catches is the point
        pytest.fail("an ordinary handler caught InternalError")
    except core.InternalError as error:
        assert str(error) == "broken invariant"


@pytest.mark.parametrize("name,signature,doc", CLASS_DOCS)
def test_class_documentation(name, signature, doc):
    cls = getattr(core, name)
    assert cls.__text_signature__ == signature
    assert cls.__doc__ == doc


@pytest.mark.parametrize("name", CLASSES)
def test_classes_are_final_and_closed(name):
    cls = getattr(core, name)
    assert cls.__module__ == "tessaryne._tessaryne_core"
    assert cls.__name__ == cls.__qualname__ == name
    assert cls.__bases__ == (object,)
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    if name not in SAMPLE_ARGS:
        with pytest.raises(TypeError, match="cannot create"):
            cls()
        return
    instance = cls(*SAMPLE_ARGS[name])
    with pytest.raises(AttributeError):
        instance.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(instance)


def test_functions_are_bound_to_the_module():
    for function in [getattr(core, name) for name in FUNCTIONS]:
        assert function.__self__ is core
        assert function.__module__ == core.__name__
    assert core.fast_websocket_unmask.__text_signature__ == "(payload, mask)"
    assert core.fast_websocket_unmask_slice.__text_signature__ == "(payload, offset, length, mask)"


def test_static_methods_have_signatures_without_self():
    assert core.FastHttpConnection.format_response.__text_signature__ == (
        "(status_code, server_header, date_header, headers, body, more_body, is_no_body_status, keep_alive)"
    )
    assert core.FastHttpConnection.format_response.__doc__ == (
        "Fast zero-alloc HTTP/1.1 response wire serializer and CRLF safety scanner.\n"
        "Returns: (response_bytes, is_chunked, keep_alive)"
    )
    assert core.FastHttpParser.format_response.__doc__ is None
    connection = core.FastHttpConnection()
    assert connection.format_response(200, b"", b"", [], b"", False, False, True)[0].startswith(b"HTTP/1.1 200")


def test_raw_async_channel_maxsize_is_read_only():
    channel = core.RawAsyncChannel(maxsize=7)
    assert channel.maxsize == 7
    with pytest.raises(AttributeError):
        channel.maxsize = 8


def test_fresh_interpreter_keeps_the_gil_disabled_and_reuses_types():
    code = (
        "import sys, importlib\n"
        "import tessaryne._tessaryne_core as m\n"
        "assert not sys._is_gil_enabled()\n"
        "t = m.FastHttpConnection\n"
        "del sys.modules['tessaryne._tessaryne_core']\n"
        "m2 = importlib.import_module('tessaryne._tessaryne_core')\n"
        "assert not sys._is_gil_enabled()\n"
        "print(m2 is not m, m2.FastHttpConnection is t, m2.ThreadPoolClosedError is m.ThreadPoolClosedError)\n"
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert result.stdout.split() == ["True", "True", "True"]


def test_concurrent_first_use_from_many_threads_in_fresh_interpreter():
    code = (
        "import threading\n"
        "barrier = threading.Barrier(8)\n"
        "seen = []\n"
        "def run():\n"
        "    barrier.wait()\n"
        "    import tessaryne._tessaryne_core as m\n"
        "    seen.append((m.FastHttpConnection, m.Channel))\n"
        "threads = [threading.Thread(target=run) for _ in range(8)]\n"
        "[t.start() for t in threads]; [t.join() for t in threads]\n"
        "print(len(set(seen)))\n"
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert result.stdout.strip() == "1"


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm is not installed")
def test_extension_exports_only_its_init_function():
    listing = subprocess.run(["nm", "-D", "--defined-only", core.__file__], capture_output=True, text=True, check=True)
    assert [line.split()[-1] for line in listing.stdout.splitlines()] == ["PyInit__tessaryne_core"]
