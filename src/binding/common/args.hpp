#pragma once
// The argument layer: binds positional and keyword arguments to a callable's
// parameter list and converts each one, with the module's own error texts.
// Every parameter of every callable is positional-or-keyword.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "binding/common/errors.hpp"

namespace tessaryne::binding {

struct Signature {
  const char* display;  // "Class.method()", "Class.__new__()" or "function()"
  std::span<const char* const> names;
  std::size_t required;
};

// Binds a fast-call argument vector. `bound` receives borrowed references in
// parameter order; an omitted optional parameter is left null.
void bind(const Signature& signature, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
          std::span<PyObject*> bound);
// Binds an argument tuple and keyword dict (the constructor calling convention).
void bind(const Signature& signature, PyObject* args, PyObject* kwargs, std::span<PyObject*> bound);

template <std::size_t N>
struct Parameters {
  const char* display;
  std::array<const char*, N> names;
  std::size_t required = N;

  [[nodiscard]] Signature signature() const noexcept { return {display, names, required}; }
  std::array<PyObject*, N> bind(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) const {
    std::array<PyObject*, N> bound{};
    if (kwnames == nullptr && PyVectorcall_NARGS(nargsf) == static_cast<Py_ssize_t>(N)) {
      // Every parameter given by position, the usual call: nothing to match.
      for (std::size_t i = 0; i < N; ++i) bound[i] = args[i];
      return bound;
    }
    binding::bind(signature(), args, nargsf, kwnames, bound);
    return bound;
  }
  std::array<PyObject*, N> bind(PyObject* args, PyObject* kwargs) const {
    std::array<PyObject*, N> bound{};
    binding::bind(signature(), args, kwargs, bound);
    return bound;
  }
};

// An optional parameter that was given, and not as None.
inline bool given(PyObject* argument) noexcept { return argument != nullptr && argument != Py_None; }

// Conversions. Each failure raises (throws PythonError) with the note
// "while processing '{parameter}'" on the exception.
std::uint64_t to_u64(PyObject* argument, const char* parameter);
std::uint8_t to_u8(PyObject* argument, const char* parameter);
std::uint16_t to_u16(PyObject* argument, const char* parameter);
bool to_bool(PyObject* argument, const char* parameter);
// A `bytes` object (or subclass); the view lives as long as the object.
std::string_view to_bytes(PyObject* argument, const char* parameter);
// A `str` (or subclass), as UTF-8; the view lives as long as the object.
std::string_view to_text(PyObject* argument, const char* parameter);
// An instance of `type` (or of a subtype), returned borrowed.
PyObject* to_instance(PyObject* argument, PyTypeObject* type, const char* parameter);

// A masking key: bytes, bytearray (read under its own lock) or a sequence of four
// integers 0..255. Errors carry the note for 'mask'.
std::array<std::uint8_t, 4> to_mask(PyObject* argument);

// The bytes of any exporter of one-byte items, held for the life of this object.
// A view that is not C-contiguous (a stepped or reversed memoryview) is copied
// into a contiguous buffer first, so the bytes read are always the logical ones.
class BufferArg {
 public:
  explicit BufferArg(PyObject* exporter);
  BufferArg(const BufferArg&) = delete;
  BufferArg& operator=(const BufferArg&) = delete;
  ~BufferArg();

  [[nodiscard]] std::string_view bytes() const noexcept { return bytes_; }

 private:
  Py_buffer view_{};
  std::vector<char> contiguous_copy_;
  std::string_view bytes_;
};

}  // namespace tessaryne::binding
