#include "binding/http/request_objects.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <utility>

#include "binding/common/process_once.hpp"
#include "core/common/utf8.hpp"
#include "core/http/head_rules.hpp"
#include "core/http/white_space.hpp"

namespace tessaryne::binding {

PyRef new_lowered_bytes(std::string_view data) {
  BytesToFill bytes = new_bytes_to_fill(data.size());
  http::copy_lowercase(data, bytes.data);
  return std::move(bytes.object);
}

namespace {

bool is_ascii(std::string_view data) noexcept {
  return std::ranges::all_of(data, [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// Texts that nearly every request carries, kept as interned strings (immortal
// in this interpreter), so handing them out costs no allocation and no
// reference-count traffic between threads.
constexpr std::string_view kCommonTexts[] = {"GET", "POST", "PUT", "DELETE", "HEAD", "OPTIONS", "PATCH",
                                             "1.1", "1.0", "/"};

PyObject* common_text(std::string_view data) noexcept {
  static std::array<ProcessOnce<PyObject>, std::size(kCommonTexts)> interned;
  for (std::size_t i = 0; i < std::size(kCommonTexts); ++i)
    if (kCommonTexts[i] == data)
      return interned[i].get([&] {
        return PyUnicode_InternFromString(std::string(kCommonTexts[i]).c_str());
      });
  return nullptr;
}

}  // namespace

PyRef new_text(std::string_view data) {
  if (data.size() <= 7) {
    if (PyObject* text = common_text(data)) return PyRef::borrow(text);
    if (PyErr_Occurred()) throw PythonError{};
  }
  const auto length = static_cast<Py_ssize_t>(data.size());
  if (is_ascii(data)) {
    PyRef text = checked_ref(PyUnicode_New(length, 127));
    std::memcpy(PyUnicode_1BYTE_DATA(text.get()), data.data(), data.size());
    return text;
  }
  // Valid text takes the strict decoder; only broken text needs "replace".
  const char* errors = common::is_valid_utf8(data) ? nullptr : "replace";
  return checked_ref(PyUnicode_DecodeUTF8(data.data(), length, errors));
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

}  // namespace tessaryne::binding
