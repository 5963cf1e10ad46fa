// RawAsyncChannel: a channel whose waiters are coroutines on several event
// loops. The state machine is core/sync/async_channel.hpp; this file converts
// arguments before its lock is taken, and after the lock is let go wakes what
// an operation collected, by scheduling wake_fn (getters and putters) or
// select_wake_fn (select watchers) on each waiter's own loop through the
// loop's call_soon_threadsafe. A wake-up that raises is dropped silently,
// except that an item it carried goes back to the channel: nothing sent is
// lost. Every method takes shared access only: the core guards itself.

#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>

#include "binding/classes.hpp"
#include "binding/common/args.hpp"
#include "binding/common/native_class.hpp"
#include "binding/common/values.hpp"
#include "binding/sync/waiter.hpp"
#include "core/sync/async_channel.hpp"

namespace tessaryne::binding {
namespace {

// A select watcher: matched, like a waiter, by its (arbiter) future.
struct Notifier {
  PyRef loop;
  PyRef arbiter;
  PyRef token;
};

struct SameArbiter {
  PyObject* future;
  bool operator()(const Notifier& notifier) const noexcept { return notifier.arbiter.get() == future; }
};

using Core = sync::AsyncChannel<PyRef, Waiter, Notifier>;
using Wakeups = Core::Wakeups;

struct AsyncChannelValue {
  AsyncChannelValue(std::uint64_t maxsize, PyRef wake, PyRef select_wake) noexcept
      : channel(maxsize), wake_fn(std::move(wake)), select_wake_fn(std::move(select_wake)) {}

  Core channel;
  // Fixed at construction and read without the lock; null when absent. Only
  // the collector's clear() takes them, when no method can be running.
  PyRef wake_fn;
  PyRef select_wake_fn;

  struct Visitor {
    visitproc visit;
    void* arg;
    int operator()(const PyRef& item) const {
      Py_VISIT(item.get());
      return 0;
    }
    int operator()(const Waiter& waiter) const { return visit_waiter(waiter, visit, arg); }
    int operator()(const Notifier& notifier) const {
      Py_VISIT(notifier.loop.get());
      Py_VISIT(notifier.arbiter.get());
      Py_VISIT(notifier.token.get());
      return 0;
    }
  };
  int traverse(visitproc visit, void* arg) const {
    Py_VISIT(wake_fn.get());
    Py_VISIT(select_wake_fn.get());
    return channel.visit_unlocked(Visitor{visit, arg});
  }

  struct Cleared {
    Core::Contents contents;
    PyRef wake_fn;
    PyRef select_wake_fn;
  };
  Cleared clear() noexcept { return {channel.take_all(), std::move(wake_fn), std::move(select_wake_fn)}; }
};

AsyncChannelValue& value_of(PyObject* self) noexcept { return native<AsyncChannelValue>(self); }
Core& channel_of(PyObject* self) noexcept { return value_of(self).channel; }

[[noreturn]] void raise_closed() { raise(PyExc_RuntimeError, "Channel is closed"); }

PyObject* call_soon_threadsafe_name() noexcept {
  static ProcessOnce<PyObject> name;
  return name.get([] { return PyUnicode_InternFromString("call_soon_threadsafe"); });
}

// loop.call_soon_threadsafe(*arguments), its handle released at once. False
// when it raised: the exception is cleared and discarded.
template <std::same_as<PyObject*>... Arguments>
bool call_soon_threadsafe(PyObject* loop, Arguments... arguments) noexcept {
  // One slot in front of the loop, which the offset flag lets the call use.
  std::array<PyObject*, sizeof...(Arguments) + 2> stack{nullptr, loop, arguments...};
  const PyRef handle =
      PyRef::steal(PyObject_VectorcallMethod(call_soon_threadsafe_name(), stack.data() + 1,
                                             (sizeof...(Arguments) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  if (handle) return true;
  PyErr_Clear();
  return false;
}

PyObject* py_bool(bool value) noexcept { return value ? Py_True : Py_False; }

// Schedules wake_fn(future, value, is_error, has_value); false when it was not scheduled.
bool wake_waiter(const AsyncChannelValue& value, const Waiter& waiter, PyObject* passed, bool is_error) noexcept {
  if (!value.wake_fn) return false;
  return call_soon_threadsafe(waiter.loop.get(), value.wake_fn.get(), waiter.future.get(),
                              passed != nullptr ? passed : Py_None, py_bool(is_error), py_bool(passed != nullptr));
}

void wake_notifier(const AsyncChannelValue& value, const Notifier& notifier) noexcept {
  if (value.select_wake_fn)
    call_soon_threadsafe(notifier.loop.get(), value.select_wake_fn.get(), notifier.arbiter.get(), notifier.token.get());
}

void wake_all(const AsyncChannelValue& value, WaiterQueue& waiters, PyObject* passed, bool is_error) {
  while (!waiters.empty()) wake_waiter(value, waiters.pop_front(), passed, is_error);
}

// Delivers an item to its getter. An item that cannot be delivered (the call
// raised, or there is no wake_fn) is taken back by the channel, which hands it
// to the next getter or puts it back in front of its buffer. False only when
// the buffer could not grow to take it back (the item is then dropped).
bool hand_over(AsyncChannelValue& value, Core::Handover handover) noexcept {
  while (!wake_waiter(value, handover.getter, handover.item.get(), false)) {
    Wakeups next;
    try {
      value.channel.requeue(std::move(handover.item), next);
    } catch (const std::bad_alloc&) {
      return false;
    }
    if (!next.handover) {
      if (next.notifier) wake_notifier(value, *next.notifier);
      return true;
    }
    handover = std::move(*next.handover);  // the failed getter is released here, outside the lock
  }
  return true;
}

// Wakes what one operation collected, in collection order; each record's
// references are released after its call. Call it with no lock held. Throws
// std::bad_alloc, once everything else is delivered, when an undelivered item
// could not be taken back.
void deliver(AsyncChannelValue& value, Wakeups& wakeups, PyObject* closing_error = nullptr) {
  wake_all(value, wakeups.getters, closing_error, true);
  bool item_dropped = false;
  if (wakeups.handover) item_dropped = !hand_over(value, std::move(*wakeups.handover));
  wakeups.handover.reset();
  if (wakeups.putter) wake_waiter(value, *wakeups.putter, nullptr, false);
  wakeups.putter.reset();
  wake_all(value, wakeups.putters, wakeups.closing ? closing_error : nullptr, wakeups.closing);
  if (wakeups.notifier) wake_notifier(value, *wakeups.notifier);
  wakeups.notifier.reset();
  while (!wakeups.notifiers.empty()) wake_notifier(value, wakeups.notifiers.pop_front());
  if (item_dropped) throw std::bad_alloc();
}

// The (has_item, item) pair of the receiving methods.
PyObject* received_pair(sync::Received<PyRef>&& received) {
  switch (received.status) {
    case sync::RecvStatus::taken:
      return new_tuple(new_bool(true), std::move(received.item)).release();
    case sync::RecvStatus::empty:
      return new_tuple(new_bool(false), PyRef::borrow(Py_None)).release();
    case sync::RecvStatus::closed:
      break;
  }
  raise_closed();
}

PyObject* none_or_absent(PyObject* argument) noexcept { return argument == Py_None ? nullptr : argument; }

constexpr Parameters<3> kNew{"RawAsyncChannel.__new__()", {"maxsize", "wake_fn", "select_wake_fn"}, 0};
constexpr Parameters<1> kTrySend{"RawAsyncChannel.try_send()", {"item"}};
constexpr Parameters<2> kRegisterGetter{"RawAsyncChannel.register_getter()", {"loop_obj", "fut"}};
constexpr Parameters<1> kUnregisterGetter{"RawAsyncChannel.unregister_getter()", {"fut"}};
constexpr Parameters<2> kRegisterPutter{"RawAsyncChannel.register_putter()", {"loop_obj", "fut"}};
constexpr Parameters<1> kUnregisterPutter{"RawAsyncChannel.unregister_putter()", {"fut"}};
constexpr Parameters<3> kRegisterSelectWatcher{"RawAsyncChannel.register_select_watcher()",
                                               {"loop_obj", "arbiter_fut", "channel_token"}};
constexpr Parameters<1> kUnregisterSelectWatcher{"RawAsyncChannel.unregister_select_watcher()", {"fut"}};

PyObject* channel_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard([&] {
    const auto bound = kNew.bind(args, kwargs);
    const std::uint64_t maxsize = bound[0] != nullptr ? to_u64(bound[0], "maxsize") : 0;
    // Made now, so that waking never has to fail for want of it.
    checked(call_soon_threadsafe_name());
    return new_native<AsyncChannelValue>(type, maxsize, PyRef::borrow(none_or_absent(bound[1])),
                                         PyRef::borrow(none_or_absent(bound[2])));
  });
}

PyObject* channel_maxsize(PyObject* self, void*) {
  return guard([&] { return new_int(channel_of(self).maxsize()).release(); });
}

PyObject* channel_close(PyObject* self, PyObject*) {
  return guard([&] {
    // Made before the lock is taken, shared by every waiter it fails.
    const PyRef message = checked_ref(PyUnicode_FromString("Channel is closed"));
    const PyRef error = checked_ref(PyObject_CallOneArg(PyExc_RuntimeError, message.get()));
    Wakeups wakeups;
    if (channel_of(self).close(wakeups)) deliver(value_of(self), wakeups, error.get());
    Py_RETURN_NONE;
  });
}

PyObject* channel_is_closed(PyObject* self, PyObject*) {
  return guard([&] { return new_bool(channel_of(self).is_closed()).release(); });
}

PyObject* channel_qsize(PyObject* self, PyObject*) {
  return guard([&] { return new_int(channel_of(self).qsize()).release(); });
}

PyObject* channel_empty(PyObject* self, PyObject*) {
  return guard([&] { return new_bool(channel_of(self).empty()).release(); });
}

PyObject* channel_full(PyObject* self, PyObject*) {
  return guard([&] { return new_bool(channel_of(self).full()).release(); });
}

PyObject* channel_try_send(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guard([&] {
    const auto bound = kTrySend.bind(args, nargsf, kwnames);
    // Not sent (full or closed): the reference stays here and is dropped on
    // return, after the lock is let go.
    PyRef item = PyRef::borrow(bound[0]);
    Wakeups wakeups;
    const sync::SendResult result = channel_of(self).try_send(item, wakeups);
    deliver(value_of(self), wakeups);
    if (result == sync::SendResult::closed) raise_closed();
    return new_bool(result == sync::SendResult::sent).release();
  });
}

PyObject* channel_try_recv(PyObject* self, PyObject*) {
  return guard([&] {
    Wakeups wakeups;
    sync::Received<PyRef> received = channel_of(self).try_recv(wakeups);
    deliver(value_of(self), wakeups);
    return received_pair(std::move(received));
  });
}

PyObject* channel_register_getter(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guard([&] {
    const auto bound = kRegisterGetter.bind(args, nargsf, kwnames);
    Waiter getter{PyRef::borrow(bound[0]), PyRef::borrow(bound[1])};
    Wakeups wakeups;
    sync::Received<PyRef> received = channel_of(self).register_getter(getter, wakeups);
    deliver(value_of(self), wakeups);
    return received_pair(std::move(received));
  });
}

PyObject* channel_unregister_getter(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guard([&] {
    const auto bound = kUnregisterGetter.bind(args, nargsf, kwnames);
    Wakeups wakeups;
    const WaiterQueue removed = channel_of(self).unregister_getter(SameFuture{bound[0]}, wakeups);
    deliver(value_of(self), wakeups);
    return new_bool(!removed.empty()).release();
  });
}

PyObject* channel_register_putter(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guard([&] {
    const auto bound = kRegisterPutter.bind(args, nargsf, kwnames);
    Waiter putter{PyRef::borrow(bound[0]), PyRef::borrow(bound[1])};
    const sync::PutterResult result = channel_of(self).register_putter(putter);
    if (result == sync::PutterResult::closed) raise_closed();
    return new_bool(result == sync::PutterResult::room).release();
  });
}

PyObject* channel_unregister_putter(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guard([&] {
    const auto bound = kUnregisterPutter.bind(args, nargsf, kwnames);
    Wakeups wakeups;
    const WaiterQueue removed = channel_of(self).unregister_putter(SameFuture{bound[0]}, wakeups);
    deliver(value_of(self), wakeups);
    return new_bool(!removed.empty()).release();
  });
}

PyObject* channel_register_select_watcher(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guard([&] {
    const auto bound = kRegisterSelectWatcher.bind(args, nargsf, kwnames);
    Notifier notifier{PyRef::borrow(bound[0]), PyRef::borrow(bound[1]), PyRef::borrow(bound[2])};
    return new_bool(channel_of(self).register_select_watcher(notifier)).release();
  });
}

PyObject* channel_unregister_select_watcher(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                            PyObject* kwnames) {
  return guard([&] {
    const auto bound = kUnregisterSelectWatcher.bind(args, nargsf, kwnames);
    const common::Ring<Notifier> removed = channel_of(self).unregister_select_watcher(SameArbiter{bound[0]});
    return new_bool(!removed.empty()).release();
  });
}

PyObject* channel_forward_select_wakeup(PyObject* self, PyObject*) {
  return guard([&] {
    Wakeups wakeups;
    channel_of(self).forward_select_wakeup(wakeups);
    deliver(value_of(self), wakeups);
    Py_RETURN_NONE;
  });
}

PyObject* channel_getters_len(PyObject* self, PyObject*) {
  return guard([&] { return new_int(channel_of(self).getters_len()).release(); });
}

PyObject* channel_putters_len(PyObject* self, PyObject*) {
  return guard([&] { return new_int(channel_of(self).putters_len()).release(); });
}

PyObject* channel_notifiers_len(PyObject* self, PyObject*) {
  return guard([&] { return new_int(channel_of(self).notifiers_len()).release(); });
}

constexpr int kFastKeywords = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef channel_methods[] = {
    {"close", method_cast(channel_close), METH_NOARGS, "close($self)\n--\n\n"},
    {"is_closed", method_cast(channel_is_closed), METH_NOARGS, "is_closed($self)\n--\n\n"},
    {"qsize", method_cast(channel_qsize), METH_NOARGS, "qsize($self)\n--\n\n"},
    {"empty", method_cast(channel_empty), METH_NOARGS, "empty($self)\n--\n\n"},
    {"full", method_cast(channel_full), METH_NOARGS, "full($self)\n--\n\n"},
    {"try_send", method_cast(channel_try_send), kFastKeywords, "try_send($self, item)\n--\n\n"},
    {"try_recv", method_cast(channel_try_recv), METH_NOARGS, "try_recv($self)\n--\n\n"},
    {"register_getter", method_cast(channel_register_getter), kFastKeywords,
     "register_getter($self, loop_obj, fut)\n--\n\n"},
    {"unregister_getter", method_cast(channel_unregister_getter), kFastKeywords,
     "unregister_getter($self, fut)\n--\n\n"},
    {"register_putter", method_cast(channel_register_putter), kFastKeywords,
     "register_putter($self, loop_obj, fut)\n--\n\n"},
    {"unregister_putter", method_cast(channel_unregister_putter), kFastKeywords,
     "unregister_putter($self, fut)\n--\n\n"},
    {"register_select_watcher", method_cast(channel_register_select_watcher), kFastKeywords,
     "register_select_watcher($self, loop_obj, arbiter_fut, channel_token)\n--\n\n"},
    {"unregister_select_watcher", method_cast(channel_unregister_select_watcher), kFastKeywords,
     "unregister_select_watcher($self, fut)\n--\n\n"},
    {"forward_select_wakeup", method_cast(channel_forward_select_wakeup), METH_NOARGS,
     "forward_select_wakeup($self)\n--\n\n"},
    {"getters_len", method_cast(channel_getters_len), METH_NOARGS, "getters_len($self)\n--\n\n"},
    {"putters_len", method_cast(channel_putters_len), METH_NOARGS, "putters_len($self)\n--\n\n"},
    {"notifiers_len", method_cast(channel_notifiers_len), METH_NOARGS, "notifiers_len($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef channel_getset[] = {
    {"maxsize", channel_maxsize, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot channel_slots[] = {
    {Py_tp_doc, const_cast<char*>("RawAsyncChannel(maxsize=0, wake_fn=None, select_wake_fn=None)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(channel_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_native<AsyncChannelValue>)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse_native<AsyncChannelValue>)},
    {Py_tp_clear, reinterpret_cast<void*>(clear_native<AsyncChannelValue>)},
    {Py_tp_methods, channel_methods},
    {Py_tp_getset, channel_getset},
    {0, nullptr},
};

PyType_Spec channel_spec = {"tessaryne._tessaryne_core.RawAsyncChannel", sizeof(NativeObject<AsyncChannelValue>), 0,
                            kGcClassFlags, channel_slots};

}  // namespace

PyTypeObject* raw_async_channel_type() noexcept {
  static ProcessOnce<PyObject> type;
  return reinterpret_cast<PyTypeObject*>(type.get([] { return create_class(&channel_spec, ClassDoc::none); }));
}

}  // namespace tessaryne::binding
