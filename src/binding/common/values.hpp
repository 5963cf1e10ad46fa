#pragma once
// Python values built from native ones: the one place result objects of the
// binding are made. Each function returns an owned reference or throws
// PythonError with the interpreter's error set.

#include <climits>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "binding/common/errors.hpp"

namespace tessaryne::binding {

PyRef new_bytes(std::string_view data);

// A bytes object of `size` bytes, not yet initialised, and where to write them.
struct BytesToFill {
  PyRef object;
  char* data;
};
BytesToFill new_bytes_to_fill(std::size_t size);

inline PyRef new_bool(bool value) noexcept { return PyRef::borrow(value ? Py_True : Py_False); }

// Small values (kinds, opcodes, codes, lengths) take the interpreter's signed
// path, which hands out its cached small integers without allocating.
inline PyRef new_int(std::uint64_t value) {
  return checked_ref(value <= static_cast<std::uint64_t>(LONG_MAX) ? PyLong_FromLong(static_cast<long>(value))
                                                                   : PyLong_FromUnsignedLongLong(value));
}

// A tuple that takes over the given references (all non-null); an owned
// reference held in a variable is handed over with std::move.
PyRef new_tuple(std::same_as<PyRef> auto... items) {
  PyRef tuple = checked_ref(PyTuple_New(sizeof...(items)));
  Py_ssize_t index = 0;
  (PyTuple_SET_ITEM(tuple.get(), index++, items.release()), ...);
  return tuple;
}

// Appends `item` to `list`, which keeps its own reference.
inline void append_to_list(PyObject* list, const PyRef& item) {
  if (PyList_Append(list, item.get()) != 0) throw PythonError{};
}

}  // namespace tessaryne::binding
