// Channel: a thread-safe queue with non-blocking send and receive.

#include <cstdint>

#include "binding/classes.hpp"
#include "binding/common/args.hpp"
#include "binding/common/native_class.hpp"

namespace tessaryne::binding {
namespace {

struct Queue {
  std::uint64_t capacity;  // 0: unbounded
};

constexpr Parameters<1> kNew{"Channel.__new__()", {"maxsize"}};

PyObject* channel_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard([&] {
    const auto bound = kNew.bind(args, kwargs);
    return new_native<Queue>(type, Queue{to_u64(bound[0], "maxsize")});
  });
}

PyType_Slot channel_slots[] = {
    {Py_tp_doc, const_cast<char*>("Channel(maxsize)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(channel_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_native<Queue>)},
    {0, nullptr},
};

PyType_Spec channel_spec = {"tessaryne._tessaryne_core.Channel", sizeof(NativeObject<Queue>), 0, kClassFlags,
                            channel_slots};

}  // namespace

PyTypeObject* channel_type() noexcept {
  static ProcessOnce<PyObject> type;
  return reinterpret_cast<PyTypeObject*>(type.get([] { return create_class(&channel_spec, ClassDoc::none); }));
}

}  // namespace tessaryne::binding
