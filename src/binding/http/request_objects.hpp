#pragma once
// Python values built straight from views of a parsed request head, shared by
// the connection's event tuples and the stateless parser's result.

#include <span>
#include <string_view>
#include <utility>

#include "binding/common/errors.hpp"
#include "core/http/head_tokenizer.hpp"

namespace tessaryne::binding {

PyRef new_bytes(std::string_view data);
// ASCII-lowercased copy as bytes.
PyRef new_lowered_bytes(std::string_view data);
// Text from bytes that should be UTF-8: invalid sequences become U+FFFD, so a
// client's bytes never make the call fail.
PyRef new_text(std::string_view data);
PyRef new_bool(bool value);
// (lowercased name, value) pairs, one per header line, in order.
PyRef new_header_list(std::span<const http::HeaderLine> headers);

// A tuple that takes over the given references (all non-null).
template <class... Items>
PyRef new_tuple(Items&&... items) {
  PyRef tuple = checked_ref(PyTuple_New(sizeof...(Items)));
  Py_ssize_t index = 0;
  (PyTuple_SET_ITEM(tuple.get(), index++, std::forward<Items>(items).release()), ...);
  return tuple;
}

}  // namespace tessaryne::binding
