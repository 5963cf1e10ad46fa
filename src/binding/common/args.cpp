#include "binding/common/args.hpp"

#include <cstring>
#include <limits>
#include <string>

namespace tessaryne::binding {

namespace {

[[noreturn]] void raise_too_many(const Signature& signature, std::size_t given) {
  const std::size_t count = signature.names.size();
  const char* verb = given == 1 ? "was" : "were";
  if (signature.required == count)
    PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zu %s given", signature.display, count, given,
                 verb);
  else
    PyErr_Format(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %zu %s given", signature.display,
                 signature.required, count, given, verb);
  throw PythonError{};
}

void bind_keyword(const Signature& signature, PyObject* name, PyObject* value, std::span<PyObject*> bound) {
  for (std::size_t i = 0; i < signature.names.size(); ++i) {
    if (!PyUnicode_Check(name) || !PyUnicode_EqualToUTF8(name, signature.names[i])) continue;
    if (bound[i] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", signature.display, signature.names[i]);
      throw PythonError{};
    }
    bound[i] = value;
    return;
  }
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", signature.display, name);
  throw PythonError{};
}

void check_required(const Signature& signature, std::span<PyObject*> bound) {
  std::size_t missing = 0;
  for (std::size_t i = 0; i < signature.required; ++i) missing += bound[i] == nullptr;
  if (missing == 0) return;
  // 'a'; 'a' and 'b'; 'a', 'b', and 'c'
  std::string list;
  std::size_t listed = 0;
  for (std::size_t i = 0; i < signature.required; ++i) {
    if (bound[i] != nullptr) continue;
    ++listed;
    if (listed > 1) {
      if (missing > 2) list += ",";
      list += listed == missing ? " and " : " ";
    }
    list += '\'';
    list += signature.names[i];
    list += '\'';
  }
  PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s", signature.display, missing,
               missing == 1 ? "argument" : "arguments", list.c_str());
  throw PythonError{};
}

void bind_positional(const Signature& signature, PyObject* const* args, std::size_t count, std::span<PyObject*> bound) {
  if (count > signature.names.size()) raise_too_many(signature, count);
  for (std::size_t i = 0; i < count; ++i) bound[i] = args[i];
}

template <class Convert>
auto with_note(const char* parameter, Convert&& convert) {
  try {
    return convert();
  } catch (const PythonError&) {
    add_parameter_note(parameter);
    throw;
  }
}

[[noreturn]] void raise_out_of_range() {
  raise(PyExc_OverflowError, "out of range integral type conversion attempted");
}

template <class Small>
Small to_small_unsigned(PyObject* argument) {
  const long value = PyLong_AsLong(argument);
  if (value == -1 && PyErr_Occurred()) throw PythonError{};
  if (value < 0 || static_cast<unsigned long>(value) > std::numeric_limits<Small>::max()) raise_out_of_range();
  return static_cast<Small>(value);
}

// True for the struct formats whose items are single unsigned bytes:
// absent, "B" or "c", optionally after one byte-order prefix.
bool is_u8_format(const char* format) noexcept {
  if (format == nullptr) return true;
  if (std::strchr("@=<>!", format[0]) != nullptr && format[0] != '\0') ++format;
  return (format[0] == 'B' || format[0] == 'c') && format[1] == '\0';
}

bool is_numpy_bool_type(PyTypeObject* type) {
  PyRef module = PyRef::steal(PyType_GetModuleName(type));
  if (!module) {
    PyErr_Clear();
    return false;
  }
  if (!PyUnicode_Check(module.get()) || !PyUnicode_EqualToUTF8(module.get(), "numpy")) return false;
  PyRef name = checked_ref(PyType_GetName(type));
  return PyUnicode_EqualToUTF8(name.get(), "bool_") || PyUnicode_EqualToUTF8(name.get(), "bool");
}

}  // namespace

void bind(const Signature& signature, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
          std::span<PyObject*> bound) {
  const auto count = static_cast<std::size_t>(PyVectorcall_NARGS(nargsf));
  bind_positional(signature, args, count, bound);
  if (kwnames != nullptr) {
    const Py_ssize_t keywords = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < keywords; ++k)
      bind_keyword(signature, PyTuple_GET_ITEM(kwnames, k), args[count + static_cast<std::size_t>(k)], bound);
  }
  check_required(signature, bound);
}

void bind(const Signature& signature, PyObject* args, PyObject* kwargs, std::span<PyObject*> bound) {
  bind_positional(signature, &PyTuple_GET_ITEM(args, 0), static_cast<std::size_t>(PyTuple_GET_SIZE(args)), bound);
  if (kwargs != nullptr) {
    // The dict is the caller's own fresh copy; nothing else can change it.
    Py_ssize_t position = 0;
    PyObject* name = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &name, &value)) bind_keyword(signature, name, value, bound);
  }
  check_required(signature, bound);
}

std::uint64_t to_u64(PyObject* argument, const char* parameter) {
  return with_note(parameter, [&] {
    PyRef index = checked_ref(PyNumber_Index(argument));
    const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PythonError{};
    return static_cast<std::uint64_t>(value);
  });
}

std::uint8_t to_u8(PyObject* argument, const char* parameter) {
  return with_note(parameter, [&] { return to_small_unsigned<std::uint8_t>(argument); });
}

std::uint16_t to_u16(PyObject* argument, const char* parameter) {
  return with_note(parameter, [&] { return to_small_unsigned<std::uint16_t>(argument); });
}

std::string_view to_text(PyObject* argument, const char* parameter) {
  return with_note(parameter, [&] {
    if (!PyUnicode_Check(argument)) raise_type_mismatch(argument, "str");
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(argument, &size);
    if (text == nullptr) throw PythonError{};
    return std::string_view(text, static_cast<std::size_t>(size));
  });
}

bool to_bool(PyObject* argument, const char* parameter) {
  return with_note(parameter, [&] {
    if (PyBool_Check(argument)) return argument == Py_True;
    PyTypeObject* type = Py_TYPE(argument);
    if (!is_numpy_bool_type(type)) raise_type_mismatch(argument, "bool");
    auto truth = reinterpret_cast<inquiry>(PyType_GetSlot(type, Py_nb_bool));
    if (truth == nullptr) {
      PyRef name = checked_ref(PyType_GetQualName(type));
      PyErr_Format(PyExc_TypeError, "object of type '%U' does not define a '__bool__' conversion", name.get());
      throw PythonError{};
    }
    const int value = truth(argument);
    if (value < 0) throw PythonError{};
    return value != 0;
  });
}

std::string_view to_bytes(PyObject* argument, const char* parameter) {
  if (!PyBytes_Check(argument)) with_note(parameter, [&] { raise_type_mismatch(argument, "bytes"); });
  return {PyBytes_AS_STRING(argument), static_cast<std::size_t>(PyBytes_GET_SIZE(argument))};
}

PyObject* to_instance(PyObject* argument, PyTypeObject* type, const char* parameter) {
  if (PyObject_TypeCheck(argument, type)) return argument;
  return with_note(parameter, [&]() -> PyObject* {
    PyRef target = checked_ref(PyType_GetQualName(type));
    PyRef target_utf8 = checked_ref(PyUnicode_AsUTF8String(target.get()));
    raise_type_mismatch(argument, PyBytes_AS_STRING(target_utf8.get()));
  });
}

std::array<std::uint8_t, 4> to_mask(PyObject* argument) {
  return with_note("mask", [&] {
    std::array<std::uint8_t, 4> key{};
    auto raise_length = [](Py_ssize_t length) {
      PyErr_Format(PyExc_ValueError, "expected a sequence of length 4 (got %zd)", length);
      throw PythonError{};
    };
    if (PyBytes_Check(argument)) {
      if (PyBytes_GET_SIZE(argument) != 4) raise_length(PyBytes_GET_SIZE(argument));
      std::memcpy(key.data(), PyBytes_AS_STRING(argument), 4);
    } else if (PyByteArray_Check(argument)) {
      Py_ssize_t length = 0;
      Py_BEGIN_CRITICAL_SECTION(argument);
      length = PyByteArray_GET_SIZE(argument);
      if (length == 4) std::memcpy(key.data(), PyByteArray_AS_STRING(argument), 4);
      Py_END_CRITICAL_SECTION();
      if (length != 4) raise_length(length);
    } else if (PySequence_Check(argument)) {
      const Py_ssize_t length = PySequence_Size(argument);
      if (length < 0) throw PythonError{};
      if (length != 4) raise_length(length);
      for (Py_ssize_t i = 0; i < 4; ++i) {
        PyRef item = checked_ref(PySequence_GetItem(argument, i));
        key[static_cast<std::size_t>(i)] = to_small_unsigned<std::uint8_t>(item.get());
      }
    } else {
      raise_type_mismatch(argument, "Sequence");
    }
    return key;
  });
}

BufferArg::BufferArg(PyObject* exporter) {
  if (PyBytes_CheckExact(exporter)) {
    // The common case: immutable, contiguous single bytes, kept alive by the
    // caller for the call. The view stays empty, so releasing it does nothing.
    bytes_ = {PyBytes_AS_STRING(exporter), static_cast<std::size_t>(PyBytes_GET_SIZE(exporter))};
    return;
  }
  if (PyObject_GetBuffer(exporter, &view_, PyBUF_FULL_RO) != 0) throw PythonError{};
  try {
    if (view_.shape == nullptr) raise(PyExc_BufferError, "shape is null");
    if (view_.strides == nullptr) raise(PyExc_BufferError, "strides is null");
    if (view_.itemsize != 1 || !is_u8_format(view_.format))
      raise(PyExc_BufferError, "buffer contents are not compatible with u8");
    const auto length = static_cast<std::size_t>(view_.len);
    if (PyBuffer_IsContiguous(&view_, 'C')) {
      bytes_ = {static_cast<const char*>(view_.buf), length};
    } else {
      contiguous_copy_.resize(length);
      if (PyBuffer_ToContiguous(contiguous_copy_.data(), &view_, view_.len, 'C') != 0) throw PythonError{};
      bytes_ = {contiguous_copy_.data(), length};
    }
  } catch (...) {
    PyBuffer_Release(&view_);
    throw;
  }
}

BufferArg::~BufferArg() { PyBuffer_Release(&view_); }

}  // namespace tessaryne::binding
