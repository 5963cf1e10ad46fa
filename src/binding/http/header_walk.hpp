#pragma once
// Walks the headers an application gives for a response (a list or tuple of
// (name, value) pairs of bytes, or any iterable of such pairs) and hands each
// pair to a target with `bool add_header(std::string_view, std::string_view)`,
// which refuses CR and LF. The views stay valid while the walk lives.

#include <string_view>

#include "binding/common/values.hpp"
#include "core/common/small_vector.hpp"
#include "core/http/response_serializer.hpp"

namespace tessaryne::binding {
namespace header_walk_detail {

// References that keep header bytes alive until the output is built, whatever
// the caller's containers do meanwhile; released when the walk ends.
class OwnedRefs {
 public:
  OwnedRefs() = default;
  OwnedRefs(const OwnedRefs&) = delete;
  OwnedRefs& operator=(const OwnedRefs&) = delete;
  ~OwnedRefs() {
    for (PyObject* object : refs_.view()) Py_DECREF(object);
  }
  PyObject* adopt(PyRef reference) {
    refs_.push_back(reference.get());
    return reference.release();
  }

 private:
  // Two references per header (name and value) stay inline as long as the serializer's pairs do.
  common::SmallVector<PyObject*, 2 * http::ResponseSerializer::kInlineHeaders> refs_;
};

inline std::string_view header_bytes(PyObject* object) {
  if (!PyBytes_Check(object)) raise_type_mismatch(object, "bytes");
  return {PyBytes_AS_STRING(object), static_cast<std::size_t>(PyBytes_GET_SIZE(object))};
}

inline PyObject* subscript(PyObject* item, long index, OwnedRefs& owned) {
  PyRef key = checked_ref(PyLong_FromLong(index));
  return owned.adopt(checked_ref(PyObject_GetItem(item, key.get())));
}

// Holds an object's per-object lock for as long as it lives (once begun).
class CriticalSection {
 public:
  CriticalSection() = default;
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;
  ~CriticalSection() { end(); }
  void begin(PyObject* object) noexcept {
    PyCriticalSection_Begin(&section_, object);
    held_ = true;
  }
  void end() noexcept {
    if (held_) PyCriticalSection_End(&section_);
    held_ = false;
  }

 private:
  PyCriticalSection section_{};
  bool held_ = false;
};

}  // namespace header_walk_detail

using header_walk_detail::CriticalSection;
using header_walk_detail::header_bytes;
using header_walk_detail::OwnedRefs;
using header_walk_detail::subscript;

template <class Target>
class HeaderWalk {
 public:
  explicit HeaderWalk(Target& serializer) : serializer_(serializer) {}

  // `item` must stay alive until the output is built.
  void take(PyObject* item) {
    PyObject* name = nullptr;
    PyObject* value = nullptr;
    if (PyTuple_CheckExact(item) && PyTuple_GET_SIZE(item) >= 2) {
      name = PyTuple_GET_ITEM(item, 0);  // a tuple keeps its items
      value = PyTuple_GET_ITEM(item, 1);
    } else {
      name = subscript(item, 0, owned_);
      value = subscript(item, 1, owned_);
    }
    const std::string_view name_bytes = header_bytes(name);
    if (!serializer_.add_header(name_bytes, header_bytes(value)))
      raise(PyExc_ValueError, "Illegal CRLF control characters detected in HTTP response header");
  }

  void walk(PyObject* headers) {
    if (PyTuple_CheckExact(headers)) {  // the caller's tuple keeps every item alive
      for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(headers); ++i) take(PyTuple_GET_ITEM(headers, i));
    } else if (PyList_CheckExact(headers)) {
      if (lend_list_of_tuples(headers)) return;
      // Another thread may shrink the list meanwhile: take a reference to each item.
      for (Py_ssize_t i = 0; i < PyList_GET_SIZE(headers); ++i) {
        PyObject* item = PyList_GetItemRef(headers, i);
        if (item == nullptr) {
          if (!PyErr_ExceptionMatches(PyExc_IndexError)) throw PythonError{};
          PyErr_Clear();
          break;
        }
        take(owned_.adopt(PyRef::steal(item)));
      }
    } else {
      PyRef iterator = checked_ref(PyObject_GetIter(headers));
      while (PyObject* item = PyIter_Next(iterator.get())) take(owned_.adopt(PyRef::steal(item)));
      if (PyErr_Occurred()) throw PythonError{};
    }
  }

 private:
  // The usual shape, a list of (name, value) tuples, is read under the list's
  // lock, held until the walk ends (after the output is built): no other thread
  // can drop an item meanwhile, so the items lend their bytes without new
  // references. Nothing here runs Python code. Returns false, holding nothing,
  // when some item is not such a tuple.
  bool lend_list_of_tuples(PyObject* list) {
    list_section_.begin(list);
    const Py_ssize_t count = PyList_GET_SIZE(list);
    for (Py_ssize_t i = 0; i < count; ++i) {
      PyObject* item = PyList_GET_ITEM(list, i);
      if (!PyTuple_CheckExact(item) || PyTuple_GET_SIZE(item) < 2) {
        list_section_.end();
        return false;
      }
    }
    for (Py_ssize_t i = 0; i < count; ++i) take(PyList_GET_ITEM(list, i));
    return true;
  }

  Target& serializer_;
  OwnedRefs owned_;
  // Declared last, so the list's lock is released before any reference is dropped.
  CriticalSection list_section_;
};

// A target that keeps the pairs for a serializer made later.
class HeaderList {
 public:
  bool add_header(std::string_view name, std::string_view value) {
    fields_.push_back({name, value});
    return true;
  }
  [[nodiscard]] std::span<const http::HeaderField> view() const noexcept { return fields_.view(); }

 private:
  common::SmallVector<http::HeaderField, http::ResponseSerializer::kInlineHeaders> fields_;
};

}  // namespace tessaryne::binding
