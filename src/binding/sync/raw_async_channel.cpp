// RawAsyncChannel: a channel whose waiters are coroutines on several event loops.

#include <cstdint>

#include "binding/classes.hpp"
#include "binding/common/args.hpp"
#include "binding/common/native_class.hpp"
#include "binding/common/values.hpp"

namespace tessaryne::binding {
namespace {

struct AsyncChannel {
  std::uint64_t maxsize;  // 0: unbounded
};

constexpr Parameters<3> kNew{"RawAsyncChannel.__new__()", {"maxsize", "wake_fn", "select_wake_fn"}, 0};

PyObject* channel_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard([&] {
    const auto bound = kNew.bind(args, kwargs);
    const std::uint64_t maxsize = bound[0] != nullptr ? to_u64(bound[0], "maxsize") : 0;
    return new_native<AsyncChannel>(type, AsyncChannel{maxsize});
  });
}

PyObject* channel_maxsize(PyObject* self, void*) {
  return guard([&] { return new_int(native<AsyncChannel>(self).maxsize).release(); });
}

PyGetSetDef channel_getset[] = {
    {"maxsize", channel_maxsize, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot channel_slots[] = {
    {Py_tp_doc, const_cast<char*>("RawAsyncChannel(maxsize=0, wake_fn=None, select_wake_fn=None)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(channel_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_native<AsyncChannel>)},
    {Py_tp_getset, channel_getset},
    {0, nullptr},
};

PyType_Spec channel_spec = {"tessaryne._tessaryne_core.RawAsyncChannel", sizeof(NativeObject<AsyncChannel>), 0,
                            kClassFlags, channel_slots};

}  // namespace

PyTypeObject* raw_async_channel_type() noexcept {
  static ProcessOnce<PyObject> type;
  return reinterpret_cast<PyTypeObject*>(type.get([] { return create_class(&channel_spec, ClassDoc::none); }));
}

}  // namespace tessaryne::binding
