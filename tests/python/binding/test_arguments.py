"""The argument layer shared by every callable: binding, conversions, buffers, masks."""

import array
import ctypes

import pytest

from tessaryne import _tessaryne_core as core

Conn = core.FastHttpConnection
FR_ARGS = (200, b"", b"", [], b"", False, False, True)


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


# (callable, args, kwargs, exact TypeError message)
BINDING_CASES = [
    (core.NativeWorkerPool, (), {}, "NativeWorkerPool.__new__() missing 1 required positional argument: 'num_threads'"),
    (core.NativeWorkerPool, (1, 2), {}, "NativeWorkerPool.__new__() takes 1 positional arguments but 2 were given"),
    (core.AtomicMetrics, (), {"threads": 1}, "AtomicMetrics.__new__() got an unexpected keyword argument 'threads'"),
    (core.Channel, (1,), {"maxsize": 1}, "Channel.__new__() got multiple values for argument 'maxsize'"),
    (core.RawAsyncChannel, (1, 2, 3, 4), {}, "RawAsyncChannel.__new__() takes from 0 to 3 positional arguments but 4 were given"),
    (core.RawAsyncRWMutex, (1,), {}, "RawAsyncRWMutex.__new__() takes 0 positional arguments but 1 was given"),
    (core.RawAsyncWaitGroup, (), {"x": 1}, "RawAsyncWaitGroup.__new__() got an unexpected keyword argument 'x'"),
    (Conn, (1, 2, 3, 4), {}, "FastHttpConnection.__new__() takes from 0 to 3 positional arguments but 4 were given"),
    (Conn.format_response, (200,), {},
     "FastHttpConnection.format_response() missing 7 required positional arguments: 'server_header', "
     "'date_header', 'headers', 'body', 'more_body', 'is_no_body_status', and 'keep_alive'"),
    (Conn.format_response, FR_ARGS[:6], {},
     "FastHttpConnection.format_response() missing 2 required positional arguments: 'is_no_body_status' and 'keep_alive'"),
    (core.FastHttpParser.format_response, FR_ARGS + (1,), {},
     "FastHttpParser.format_response() takes 8 positional arguments but 9 were given"),
    (core.fast_websocket_unmask, (), {}, "fast_websocket_unmask() missing 2 required positional arguments: 'payload' and 'mask'"),
    (core.fast_websocket_unmask, (b"",), {}, "fast_websocket_unmask() missing 1 required positional argument: 'mask'"),
    (core.fast_websocket_unmask, (b"", b"abcd"), {"payload": b""}, "fast_websocket_unmask() got multiple values for argument 'payload'"),
    (core.fast_websocket_unmask_slice, (b"",), {"mask": b"abcd", "offset": 0},
     "fast_websocket_unmask_slice() missing 1 required positional argument: 'length'"),
    # keywords are checked in the order given, before missing arguments
    (core.fast_websocket_unmask, (), {"bogus": 1, "payload": 2}, "fast_websocket_unmask() got an unexpected keyword argument 'bogus'"),
]  # fmt: skip


@pytest.mark.parametrize("function,args,kwargs,message", BINDING_CASES)
def test_binding_messages(function, args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        function(*args, **kwargs)
    assert str(caught.value) == message
    assert not getattr(caught.value, "__notes__", None)


def test_every_parameter_can_be_given_by_keyword():
    names = [
        "status_code",
        "server_header",
        "date_header",
        "headers",
        "body",
        "more_body",
        "is_no_body_status",
        "keep_alive",
    ]
    assert Conn.format_response(**dict(zip(names, FR_ARGS, strict=True))) == Conn.format_response(*FR_ARGS)
    assert core.fast_websocket_unmask_slice(mask=b"\0\0\0\0", length=2, offset=1, payload=b"abc") == b"bc"
    assert core.RawAsyncChannel(select_wake_fn=None, maxsize=3).maxsize == 3


def error_of(function, *args, **kwargs):
    with pytest.raises(Exception) as caught:
        function(*args, **kwargs)
    return caught.value


# (argument for an unsigned 64-bit parameter, exception type or None for success)
U64_CASES = [
    (0, None), (2**64 - 1, None), (Index(5), None), (True, None),
    (-1, OverflowError), (2**64, OverflowError), ("0", TypeError), (1.0, TypeError), (None, TypeError),
]  # fmt: skip


@pytest.mark.parametrize("value,error", U64_CASES)
def test_unsigned_64_conversion(value, error):
    if error is None:
        core.FastHttpConnection(max_body_size=value)
        return
    caught = error_of(core.FastHttpConnection, max_body_size=value)
    assert type(caught) is error
    assert caught.__notes__ == ["while processing 'max_body_size'"]


# (status_code argument, expected exception type and message, or None for success)
U16_CASES = [
    (0, None), (65535, None), (Index(404), None),
    (65536, (OverflowError, "out of range integral type conversion attempted")),
    (-1, (OverflowError, "out of range integral type conversion attempted")),
    (2**70, (OverflowError, None)),
    ("200", (TypeError, None)),
]  # fmt: skip


@pytest.mark.parametrize("value,error", U16_CASES)
def test_small_unsigned_conversion(value, error):
    args = (value,) + FR_ARGS[1:]
    if error is None:
        Conn.format_response(*args)
        return
    caught = error_of(Conn.format_response, *args)
    assert type(caught) is error[0]
    if error[1]:
        assert str(caught) == error[1]
    assert caught.__notes__ == ["while processing 'status_code'"]


class NumpyLikeTrue:
    __module__ = "numpy"

    def __bool__(self):
        return True


NumpyLikeTrue.__name__ = "bool_"
NumpyLikeNoBool = type("bool", (), {"__module__": "numpy"})
NotNumpy = type("bool_", (), {"__module__": "elsewhere", "__bool__": lambda self: True})


@pytest.mark.parametrize(
    "value,outcome",
    [
        (True, True),
        (False, False),
        (NumpyLikeTrue(), True),
        (1, "'int' object is not an instance of 'bool'"),
        (None, "'None' is not an instance of 'bool'"),
        (NotNumpy(), "'bool_' object is not an instance of 'bool'"),
        (NumpyLikeNoBool(), "object of type 'bool' does not define a '__bool__' conversion"),
    ],
)
def test_bool_conversion(value, outcome):
    args = FR_ARGS[:7] + (value,)
    if isinstance(outcome, bool):
        assert Conn.format_response(*args)[2] is outcome
        return
    caught = error_of(Conn.format_response, *args)
    assert type(caught) is TypeError
    assert str(caught) == outcome
    assert caught.__notes__ == ["while processing 'keep_alive'"]


@pytest.mark.parametrize("position,name", [(1, "server_header"), (2, "date_header"), (4, "body")])
@pytest.mark.parametrize(
    "value,source", [(bytearray(b"x"), "bytearray"), (memoryview(b"x"), "memoryview"), ("x", "str")]
)
def test_bytes_parameters_take_only_bytes(position, name, value, source):
    args = list(FR_ARGS)
    args[position] = value
    caught = error_of(Conn.format_response, *args)
    assert str(caught) == f"'{source}' object is not an instance of 'bytes'"
    assert caught.__notes__ == [f"while processing '{name}'"]


def test_bytes_subclass_is_accepted():
    class Tagged(bytes):
        pass

    assert Conn.format_response(200, b"", b"", [], Tagged(b"hi"), False, False, True)[0].endswith(b"\r\n\r\nhi")


def test_conversion_order_reports_the_first_bad_argument():
    caught = error_of(Conn.format_response, -1, "x", "y", 5, "z", 1, 2, 3)
    assert caught.__notes__ == ["while processing 'status_code'"]
    caught = error_of(Conn.format_response, 200, b"", b"", 5, b"", 1, 2, 3)
    assert caught.__notes__ == ["while processing 'more_body'"]


# --- buffer arguments -------------------------------------------------------

KEY = b"\x01\x02\x03\x04"


def xor(data, key=KEY):
    return bytes(b ^ key[i % 4] for i, b in enumerate(data))


@pytest.mark.parametrize(
    "payload",
    [
        b"abcdefgh",
        bytearray(b"abcdefgh"),
        memoryview(b"abcdefgh"),
        memoryview(b"abcdefgh").cast("c"),
        array.array("B", b"abcdefgh"),
        memoryview(b"xxabcdefgh")[2:],
    ],
)
def test_buffer_exporters_of_single_bytes_are_accepted(payload):
    assert core.fast_websocket_unmask(payload, KEY) == xor(b"abcdefgh")


@pytest.mark.parametrize(
    "payload,logical",
    [
        (memoryview(b"a1b2c3d4e5")[::2], b"abcde"),
        (memoryview(b"abcdef")[::-1], b"fedcba"),
    ],
)
def test_non_contiguous_buffers_are_read_in_logical_order(payload, logical):
    assert core.fast_websocket_unmask(payload, KEY) == xor(logical)


@pytest.mark.parametrize(
    "payload,error,message",
    [
        (array.array("b", [1, 2]), BufferError, "buffer contents are not compatible with u8"),
        (array.array("H", [1, 2]), BufferError, "buffer contents are not compatible with u8"),
        (memoryview(b"abcd").cast("I"), BufferError, "buffer contents are not compatible with u8"),
        ("text", TypeError, None),
        (None, TypeError, None),
    ],
)
def test_unusable_buffers_raise_without_a_note(payload, error, message):
    caught = error_of(core.fast_websocket_unmask, payload, KEY)
    assert type(caught) is error
    if message:
        assert str(caught) == message
    assert not getattr(caught, "__notes__", None)


@pytest.mark.parametrize("item_type", [ctypes.c_ubyte, ctypes.c_char])
def test_byte_order_prefixed_formats_are_accepted(item_type):
    view = memoryview((item_type * 4).from_buffer_copy(b"abcd"))
    assert view.format[0] in "<>=!@"
    assert core.fast_websocket_unmask(view, KEY) == xor(b"abcd")


def test_exporter_without_strides_is_refused():
    # ctypes arrays export no strides; a memoryview over them supplies them.
    caught = error_of(core.fast_websocket_unmask, (ctypes.c_ubyte * 4)(), KEY)
    assert type(caught) is BufferError and str(caught) == "strides is null"


def test_multi_dimensional_byte_buffers_are_read_whole():
    grid = memoryview(bytearray(b"0123456789ab")).cast("B", (3, 4))
    assert core.fast_websocket_unmask(grid, KEY) == xor(b"0123456789ab")


class Exporter:
    """Builds its buffer lazily, like an exporter that runs code on acquisition."""

    def __init__(self, data):
        self.data = bytearray(data)
        self.calls = 0

    def __buffer__(self, flags):
        self.calls += 1
        return memoryview(self.data)


def test_buffer_is_held_for_the_call_and_released_after():
    exporter = Exporter(b"abcd")
    assert core.fast_websocket_unmask(exporter, KEY) == xor(b"abcd")
    assert exporter.calls == 1
    exporter.data.extend(b"more")  # resizing works again: the view was released


def test_buffer_is_released_on_error():
    data = bytearray(b"abcdef")
    with pytest.raises(ValueError, match="slice out of bounds"):
        core.fast_websocket_unmask_slice(data, 4, 7, KEY)
    data.extend(b"x")


# --- mask arguments ---------------------------------------------------------


@pytest.mark.parametrize(
    "mask", [b"\x01\x02\x03\x04", bytearray(b"\x01\x02\x03\x04"), (1, 2, 3, 4), [1, 2, 3, Index(4)]]
)
def test_accepted_masks(mask):
    assert core.fast_websocket_unmask(b"hello", mask) == xor(b"hello")


@pytest.mark.parametrize(
    "mask,error,message",
    [
        (b"abc", ValueError, "expected a sequence of length 4 (got 3)"),
        (bytearray(5), ValueError, "expected a sequence of length 4 (got 5)"),
        ([1, 2, 3], ValueError, "expected a sequence of length 4 (got 3)"),
        ([1, 2, 3, 256], OverflowError, "out of range integral type conversion attempted"),
        ([1, 2, 3, -1], OverflowError, "out of range integral type conversion attempted"),
        ([1, 2, 3, "4"], TypeError, None),
        (1234, TypeError, "'int' object is not an instance of 'Sequence'"),
        (None, TypeError, "'None' is not an instance of 'Sequence'"),
        ({0: 1, 1: 2, 2: 3, 3: 4}, TypeError, "'dict' object is not an instance of 'Sequence'"),
    ],
)
def test_refused_masks_carry_the_mask_note(mask, error, message):
    caught = error_of(core.fast_websocket_unmask, b"payload", mask)
    assert type(caught) is error
    if message:
        assert str(caught) == message
    assert caught.__notes__ == ["while processing 'mask'"]


def test_mask_is_converted_before_the_payload_is_examined():
    caught = error_of(core.fast_websocket_unmask, object(), b"abc")
    assert type(caught) is ValueError


def test_slice_bounds():
    data = bytes(range(10))
    assert core.fast_websocket_unmask_slice(data, 4, 6, KEY) == xor(data[4:])
    assert core.fast_websocket_unmask_slice(data, 10, 0, KEY) == b""
    assert core.fast_websocket_unmask_slice(data, 2, 3, KEY) == xor(data[2:5])
    for offset, length in [(4, 7), (2**64 - 1, 1), (11, 0)]:
        with pytest.raises(ValueError, match="^slice out of bounds$"):
            core.fast_websocket_unmask_slice(data, offset, length, KEY)
    caught = error_of(core.fast_websocket_unmask_slice, data, -1, 0, KEY)
    assert type(caught) is OverflowError and caught.__notes__ == ["while processing 'offset'"]
