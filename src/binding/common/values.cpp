#include "binding/common/values.hpp"

namespace tessaryne::binding {

PyRef new_bytes(std::string_view data) {
  return checked_ref(PyBytes_FromStringAndSize(data.data(), static_cast<Py_ssize_t>(data.size())));
}

BytesToFill new_bytes_to_fill(std::size_t size) {
  PyRef object = checked_ref(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
  char* data = PyBytes_AS_STRING(object.get());
  return {std::move(object), data};
}

}  // namespace tessaryne::binding
