// Channel: a thread-safe queue of Python objects with non-blocking send and
// receive. Every method may run on many threads at once; the core channel
// guards itself, so no call takes the per-object borrow counter (nothing here
// would ever conflict on it, and sharing it would only contend).

#include <cstdint>
#include <utility>

#include "binding/classes.hpp"
#include "binding/common/args.hpp"
#include "binding/common/native_class.hpp"
#include "binding/common/values.hpp"
#include "core/pool/channel.hpp"

namespace tessaryne::binding {
namespace {

// The queued items are references the collector must see: a channel that
// holds an item referring back to it is a cycle.
struct ChannelValue {
  explicit ChannelValue(std::uint64_t capacity) noexcept : channel(capacity) {}

  pool::Channel<PyRef> channel;

  int traverse(visitproc visit, void* arg) const {
    return channel.visit_unlocked([&](const PyRef& item) {
      Py_VISIT(item.get());
      return 0;
    });
  }
  pool::Ring<PyRef> clear() noexcept { return channel.take_all(); }
};

ChannelValue& channel_of(PyObject* self) noexcept { return native<ChannelValue>(self); }

[[noreturn]] void raise_closed() { raise(PyExc_RuntimeError, "Channel is closed"); }

constexpr Parameters<1> kNew{"Channel.__new__()", {"maxsize"}};
constexpr Parameters<1> kTrySend{"Channel.try_send()", {"item"}};

PyObject* channel_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard([&] {
    const auto bound = kNew.bind(args, kwargs);
    return new_native<ChannelValue>(type, to_u64(bound[0], "maxsize"));
  });
}

PyObject* channel_close(PyObject* self, PyObject*) {
  return guard([&] {
    channel_of(self).channel.close();
    Py_RETURN_NONE;
  });
}

PyObject* channel_is_closed(PyObject* self, PyObject*) {
  return guard([&] { return new_bool(channel_of(self).channel.is_closed()).release(); });
}

PyObject* channel_try_send(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guard([&] {
    const auto bound = kTrySend.bind(args, nargsf, kwnames);
    // Not queued (full or closed): the reference stays here and is dropped on
    // return, after the queue's lock is let go.
    PyRef item = PyRef::borrow(bound[0]);
    const pool::PushResult result = channel_of(self).channel.try_send(item);
    if (result == pool::PushResult::disconnected) raise_closed();
    return new_bool(result == pool::PushResult::pushed).release();
  });
}

PyObject* channel_try_recv(PyObject* self, PyObject*) {
  return guard([&] {
    pool::Popped<PyRef> popped = channel_of(self).channel.try_recv();
    switch (popped.status) {
      case pool::PopStatus::popped:
        return new_tuple(new_bool(true), std::move(popped.value)).release();
      case pool::PopStatus::empty:
        return new_tuple(new_bool(false), PyRef::borrow(Py_None)).release();
      case pool::PopStatus::disconnected:
        break;
    }
    raise_closed();
  });
}

PyObject* channel_qsize(PyObject* self, PyObject*) {
  return guard([&] { return new_int(channel_of(self).channel.qsize()).release(); });
}

PyMethodDef channel_methods[] = {
    {"close", method_cast(channel_close), METH_NOARGS, "close($self)\n--\n\n"},
    {"is_closed", method_cast(channel_is_closed), METH_NOARGS, "is_closed($self)\n--\n\n"},
    {"try_send", method_cast(channel_try_send), METH_FASTCALL | METH_KEYWORDS, "try_send($self, item)\n--\n\n"},
    {"try_recv", method_cast(channel_try_recv), METH_NOARGS,
     "try_recv($self)\n--\n\n"
     "Non-blocking receive.\n\n"
     "Returns the pair (has_item, item): (True, item) for the front item, and\n"
     "(False, None) when the channel is empty. has_item tells an empty channel\n"
     "apart from a received None, which a bare optional result could not do."},
    {"qsize", method_cast(channel_qsize), METH_NOARGS, "qsize($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot channel_slots[] = {
    {Py_tp_doc, const_cast<char*>("Channel(maxsize)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(channel_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_native<ChannelValue>)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse_native<ChannelValue>)},
    {Py_tp_clear, reinterpret_cast<void*>(clear_native<ChannelValue>)},
    {Py_tp_methods, channel_methods},
    {0, nullptr},
};

PyType_Spec channel_spec = {"tessaryne._tessaryne_core.Channel", sizeof(NativeObject<ChannelValue>), 0, kGcClassFlags,
                            channel_slots};

}  // namespace

PyTypeObject* channel_type() noexcept {
  static ProcessOnce<PyObject> type;
  return reinterpret_cast<PyTypeObject*>(type.get([] { return create_class(&channel_spec, ClassDoc::none); }));
}

}  // namespace tessaryne::binding
