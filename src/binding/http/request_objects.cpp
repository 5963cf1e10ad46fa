#include "binding/http/request_objects.hpp"

#include <array>
#include <string>
#include <utility>

#include "binding/common/event_kind.hpp"
#include "binding/common/process_once.hpp"
#include "core/http/head_rules.hpp"

namespace tessaryne::binding {

PyRef new_lowered_bytes(std::string_view data) {
  BytesToFill bytes = new_bytes_to_fill(data.size());
  http::copy_lowercase(data, bytes.data);
  return std::move(bytes.object);
}

namespace {

// Texts that nearly every request carries, kept as interned strings (immortal
// in this interpreter), so handing them out costs no allocation and no
// reference-count traffic between threads.
constexpr std::string_view kCommonTexts[] = {"GET",     "POST",  "PUT", "DELETE", "HEAD",
                                             "OPTIONS", "PATCH", "1.1", "1.0",    "/"};

PyObject* common_text(std::string_view data) noexcept {
  static std::array<ProcessOnce<PyObject>, std::size(kCommonTexts)> interned;
  for (std::size_t i = 0; i < std::size(kCommonTexts); ++i)
    if (kCommonTexts[i] == data)
      return interned[i].get([&] { return PyUnicode_InternFromString(std::string(kCommonTexts[i]).c_str()); });
  return nullptr;
}

}  // namespace

PyRef new_text(std::string_view data) {
  if (data.size() <= 7) {
    if (PyObject* text = common_text(data)) return PyRef::borrow(text);
    if (PyErr_Occurred()) throw PythonError{};
  }
  // One pass: the decoder copies ASCII a word at a time and replaces what is not UTF-8.
  return checked_ref(PyUnicode_DecodeUTF8(data.data(), static_cast<Py_ssize_t>(data.size()), "replace"));
}

PyRef new_header_list(std::span<const http::HeaderLine> headers) {
  PyRef list = checked_ref(PyList_New(static_cast<Py_ssize_t>(headers.size())));
  Py_ssize_t index = 0;
  for (const http::HeaderLine& header : headers) {
    PyRef pair = new_tuple(new_lowered_bytes(header.name), new_bytes(header.value));
    PyList_SET_ITEM(list.get(), index++, pair.release());
  }
  return list;
}

PyRef new_request_event(const http::RequestEvent& e) {
  return new_tuple(new_int(EventKind::request), new_text(e.method), new_text(e.target_parts.path),
                   new_bytes(e.target_parts.path), new_bytes(e.target_parts.query),
                   new_text(http::version_text(e.minor_version, e.major_version)), new_header_list(e.headers),
                   new_bool(e.keep_alive), new_bool(e.facts.connection_upgrade),
                   new_lowered_bytes(e.facts.upgrade_value), new_bool(e.has_body));
}

}  // namespace tessaryne::binding
