#include "binding/http/request_objects.hpp"

#include "core/common/utf8.hpp"
#include "core/http/head_rules.hpp"
#include "core/http/white_space.hpp"

namespace tessaryne::binding {

PyRef new_bytes(std::string_view data) {
  return checked_ref(PyBytes_FromStringAndSize(data.data(), static_cast<Py_ssize_t>(data.size())));
}

PyRef new_lowered_bytes(std::string_view data) {
  PyRef bytes = checked_ref(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(data.size())));
  http::copy_lowercase(data, PyBytes_AS_STRING(bytes.get()));
  return bytes;
}

PyRef new_text(std::string_view data) {
  // Valid text takes the strict decoder; only broken text needs "replace".
  const char* errors = common::is_valid_utf8(data) ? nullptr : "replace";
  return checked_ref(PyUnicode_DecodeUTF8(data.data(), static_cast<Py_ssize_t>(data.size()), errors));
}

PyRef new_bool(bool value) { return PyRef::borrow(value ? Py_True : Py_False); }

PyRef new_header_list(std::span<const http::HeaderLine> headers) {
  PyRef list = checked_ref(PyList_New(static_cast<Py_ssize_t>(headers.size())));
  Py_ssize_t index = 0;
  for (const http::HeaderLine& header : headers) {
    PyRef pair = new_tuple(new_lowered_bytes(header.name), new_bytes(header.value));
    PyList_SET_ITEM(list.get(), index++, pair.release());
  }
  return list;
}

}  // namespace tessaryne::binding
