#include "binding/http/response.hpp"

#include <array>
#include <cstddef>
#include <memory_resource>
#include <vector>

#include "binding/common/args.hpp"
#include "core/http/response_serializer.hpp"

namespace tessaryne::binding {
namespace {

// Typical responses carry a handful of headers; their bookkeeping lives on the
// stack and only spills to the heap for long header lists.
constexpr std::size_t kInlineHeaderBytes = 2048;

PyRef subscript(PyObject* item, Py_ssize_t index) {
  if (PyTuple_CheckExact(item) && PyTuple_GET_SIZE(item) > index)
    return PyRef::borrow(PyTuple_GET_ITEM(item, index));
  PyRef key = checked_ref(PyLong_FromSsize_t(index));
  return checked_ref(PyObject_GetItem(item, key.get()));
}

std::string_view header_bytes(PyObject* object) {
  if (!PyBytes_Check(object)) raise_type_mismatch(object, "bytes");
  return {PyBytes_AS_STRING(object), static_cast<std::size_t>(PyBytes_GET_SIZE(object))};
}

}  // namespace

PyObject* format_response(std::uint16_t status, PyObject* const* rest) {
  http::ResponseParts parts;
  parts.status = status;
  parts.server_line = to_bytes(rest[0], "server_header");
  parts.date_line = to_bytes(rest[1], "date_header");
  PyObject* headers = rest[2];
  parts.body = to_bytes(rest[3], "body");
  parts.more_body = to_bool(rest[4], "more_body");
  parts.no_body_status = to_bool(rest[5], "is_no_body_status");
  parts.keep_alive = to_bool(rest[6], "keep_alive");

  std::array<std::byte, kInlineHeaderBytes> inline_storage;
  std::pmr::monotonic_buffer_resource arena(inline_storage.data(), inline_storage.size());
  // The name and value objects stay referenced until the output is built, so the
  // views below stay valid whatever the caller's containers do meanwhile.
  std::pmr::vector<PyRef> owners(&arena);
  std::pmr::vector<http::HeaderField> fields(&arena);
  http::ResponseSerializer serializer(parts);

  PyRef iterator = checked_ref(PyObject_GetIter(headers));
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    PyRef name = subscript(item.get(), 0);
    PyRef value = subscript(item.get(), 1);
    const http::HeaderField field{header_bytes(name.get()), header_bytes(value.get())};
    if (!serializer.add_header(field.name, field.value))
      raise(PyExc_ValueError, "Illegal CRLF control characters detected in HTTP response header");
    owners.push_back(std::move(name));
    owners.push_back(std::move(value));
    fields.push_back(field);
  }
  if (PyErr_Occurred()) throw PythonError{};

  const std::size_t size = serializer.size();
  PyRef output = checked_ref(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
  serializer.write(fields, PyBytes_AS_STRING(output.get()));
  return checked(PyTuple_Pack(3, output.get(), serializer.chunked() ? Py_True : Py_False,
                              serializer.keep_alive() ? Py_True : Py_False));
}

}  // namespace tessaryne::binding
