// FastWebSocketParser (static frame-header parser) and the two unmasking functions.

#include <utility>

#include "binding/classes.hpp"
#include "binding/common/args.hpp"
#include "binding/common/native_class.hpp"
#include "binding/common/values.hpp"
#include "core/websocket/frame_header.hpp"
#include "core/websocket/unmask.hpp"

namespace tessaryne::binding {
namespace {

constexpr Parameters<1> kParseFrameHeader{"FastWebSocketParser.parse_frame_header()", {"buf_obj"}};
constexpr Parameters<2> kUnmask{"fast_websocket_unmask()", {"payload", "mask"}};
constexpr Parameters<4> kUnmaskSlice{"fast_websocket_unmask_slice()", {"payload", "offset", "length", "mask"}};

PyObject* unmasked_bytes(std::string_view payload, websocket::MaskKey key) {
  BytesToFill result = new_bytes_to_fill(payload.size());
  websocket::unmask(payload.data(), result.data, payload.size(), key);
  return result.object.release();
}

PyObject* parse_frame_header(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guard([&] {
    const auto bound = kParseFrameHeader.bind(args, nargsf, kwnames);
    BufferArg buffer(bound[0]);
    const auto header = websocket::parse_frame_header(buffer.bytes());
    if (!header) return Py_NewRef(Py_None);
    PyRef key = header->masked ? new_bytes({reinterpret_cast<const char*>(header->key.data()), header->key.size()})
                               : PyRef::borrow(Py_None);
    return new_tuple(new_int(header->opcode), new_bool(header->fin), new_bool(header->masked),
                     new_int(header->payload_length), std::move(key), new_int(header->header_length))
        .release();
  });
}

PyObject* unmask_whole(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guard([&] {
    const auto bound = kUnmask.bind(args, nargsf, kwnames);
    const websocket::MaskKey key = to_mask(bound[1]);
    BufferArg payload(bound[0]);
    return unmasked_bytes(payload.bytes(), key);
  });
}

PyObject* unmask_slice(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guard([&] {
    const auto bound = kUnmaskSlice.bind(args, nargsf, kwnames);
    const std::uint64_t offset = to_u64(bound[1], "offset");
    const std::uint64_t length = to_u64(bound[2], "length");
    const websocket::MaskKey key = to_mask(bound[3]);
    BufferArg payload(bound[0]);
    const std::uint64_t end = offset + length;
    if (end < offset || end > payload.bytes().size()) raise(PyExc_ValueError, "slice out of bounds");
    return unmasked_bytes(payload.bytes().substr(offset, length), key);
  });
}

PyMethodDef parser_methods[] = {
    {"parse_frame_header", method_cast(parse_frame_header), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "parse_frame_header(buf_obj)\n--\n\n"
     "Parses the frame header from the byte slice.\n"
     "Returns: Optional[Tuple[opcode, fin, masked, payload_len, Optional[mask_key (4 bytes)], header_len]]"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot parser_slots[] = {
    {Py_tp_methods, parser_methods},
    {Py_tp_doc, const_cast<char*>("Zero-copy RFC 6455 WebSocket frame header parser.")},
    {0, nullptr},
};

PyType_Spec parser_spec = {
    "tessaryne._tessaryne_core.FastWebSocketParser", sizeof(PyObject), 0,
    kClassFlags | Py_TPFLAGS_DISALLOW_INSTANTIATION, parser_slots,
};

}  // namespace

PyMethodDef fast_websocket_unmask_def = {
    "fast_websocket_unmask", method_cast(unmask_whole), METH_FASTCALL | METH_KEYWORDS,
    "fast_websocket_unmask(payload, mask)\n--\n\n"
    "Fast SIMD/64-bit word WebSocket payload unmasking.\n\n"
    "Allocates a single new bytes object directly on the Python heap and performs vector XOR\n"
    "unmasking into it, avoiding any intermediate buffers or unsafe in-place mutation."};

PyMethodDef fast_websocket_unmask_slice_def = {
    "fast_websocket_unmask_slice", method_cast(unmask_slice), METH_FASTCALL | METH_KEYWORDS,
    "fast_websocket_unmask_slice(payload, offset, length, mask)\n--\n\n"
    "Fast SIMD/64-bit slice WebSocket payload unmasking directly from buffer offset."};

PyTypeObject* fast_websocket_parser_type() noexcept {
  static ProcessOnce<PyObject> type;
  return reinterpret_cast<PyTypeObject*>(type.get([] { return create_class(&parser_spec, ClassDoc::kept); }));
}

}  // namespace tessaryne::binding
