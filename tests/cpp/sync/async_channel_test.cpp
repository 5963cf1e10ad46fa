#include "core/sync/async_channel.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace tessaryne::sync {
namespace {

struct Waiter {
  int future = 0;
};
struct Notifier {
  int arbiter = 0;
  int token = 0;
};
using Channel = AsyncChannel<int, Waiter, Notifier>;
using Wakeups = Channel::Wakeups;

struct SameFuture {
  int future;
  bool operator()(const Waiter& waiter) const { return waiter.future == future; }
};
struct SameArbiter {
  int arbiter;
  bool operator()(const Notifier& notifier) const { return notifier.arbiter == arbiter; }
};

// "fail getters 1 2; give 3:7; putter 4; putters 5 6; notify 8; notifiers 9", in delivery order.
std::string describe(Wakeups& wakeups) {
  std::ostringstream out;
  const auto waiters = [&](const char* label, common::Ring<Waiter>& ring) {
    if (ring.empty()) return;
    out << "; " << label;
    while (!ring.empty()) out << ' ' << ring.pop_front().future;
  };
  waiters(wakeups.closing ? "fail getters" : "getters", wakeups.getters);
  if (wakeups.handover) out << "; give " << wakeups.handover->getter.future << ':' << wakeups.handover->item;
  if (wakeups.putter) out << "; putter " << wakeups.putter->future;
  waiters(wakeups.closing ? "fail putters" : "putters", wakeups.putters);
  if (wakeups.notifier) out << "; notify " << wakeups.notifier->arbiter;
  if (!wakeups.notifiers.empty()) out << "; notifiers";
  while (!wakeups.notifiers.empty()) out << ' ' << wakeups.notifiers.pop_front().arbiter;
  return out.str();
}

std::string received(const Received<int>& result) {
  switch (result.status) {
    case RecvStatus::taken:
      return "taken " + std::to_string(result.item);
    case RecvStatus::empty:
      return "empty";
    case RecvStatus::closed:
      return "closed";
  }
  return "?";
}

// Runs one call written as "<operation> [argument]" and describes its result
// followed by what it wakes.
std::string run(Channel& channel, const std::string& call) {
  std::istringstream in(call);
  std::string op;
  int argument = 0;
  in >> op >> argument;
  Wakeups wakeups;
  std::string result;
  if (op == "send") {
    static constexpr const char* kNames[] = {"sent", "full", "closed"};
    result = kNames[static_cast<int>(channel.try_send(argument, wakeups))];
  } else if (op == "recv") {
    result = received(channel.try_recv(wakeups));
  } else if (op == "get") {
    Waiter getter{argument};
    result = received(channel.register_getter(getter, wakeups));
  } else if (op == "unget") {
    result = channel.unregister_getter(SameFuture{argument}, wakeups).empty() ? "false" : "true";
  } else if (op == "put") {
    static constexpr const char* kNames[] = {"room", "queued", "closed"};
    Waiter putter{argument};
    result = kNames[static_cast<int>(channel.register_putter(putter))];
  } else if (op == "unput") {
    result = channel.unregister_putter(SameFuture{argument}, wakeups).empty() ? "false" : "true";
  } else if (op == "watch") {
    Notifier notifier{argument, argument * 10};
    result = channel.register_select_watcher(notifier) ? "true" : "false";
  } else if (op == "unwatch") {
    result = channel.unregister_select_watcher(SameArbiter{argument}).empty() ? "false" : "true";
  } else if (op == "forward") {
    channel.forward_select_wakeup(wakeups);
  } else if (op == "close") {
    result = channel.close(wakeups) ? "true" : "false";
  } else if (op == "requeue") {
    channel.requeue(std::move(argument), wakeups);
  } else if (op == "state") {
    std::ostringstream out;
    out << "q=" << channel.qsize() << " g=" << channel.getters_len() << " p=" << channel.putters_len()
        << " n=" << channel.notifiers_len() << (channel.empty() ? " empty" : "") << (channel.full() ? " full" : "")
        << (channel.is_closed() ? " closed" : "");
    result = out.str();
  } else {
    ADD_FAILURE() << "unknown call " << call;
  }
  return result + describe(wakeups);
}

struct Case {
  const char* name;
  std::uint64_t maxsize;
  std::vector<std::pair<std::string, std::string>> steps;  // call, expected
};

TEST(AsyncChannel, EdgeCases) {
  const std::vector<Case> cases = {
      {"bounded refuses when full",
       2,
       {{"send 1", "sent"},
        {"send 2", "sent"},
        {"state", "q=2 g=0 p=0 n=0 full"},
        {"send 3", "full"},
        {"recv", "taken 1"},
        {"recv", "taken 2"},
        {"recv", "empty"},
        {"state", "q=0 g=0 p=0 n=0 empty"}}},
      {"a queued getter is handed the item; the same future twice is removed whole",
       0,
       {{"get 1", "empty"},
        {"get 1", "empty"},
        {"get 2", "empty"},
        {"unget 1", "true"},
        {"unget 1", "false"},
        {"send 5", "sent; give 2:5"},
        {"state", "q=0 g=0 p=0 n=0 empty"},
        {"send 6", "sent"},
        {"get 9", "taken 6"}}},
      {"putters: room is not stored; a receive wakes one; a hand-over with room wakes all",
       1,
       {{"put 4", "room"},
        {"send 1", "sent"},
        {"put 5", "queued"},
        {"put 6", "queued"},
        {"recv", "taken 1; putter 5"},
        {"get 1", "empty"},
        {"put 7", "queued"},
        {"send 2", "sent; give 1:2; putters 6 7"},
        {"state", "q=0 g=0 p=0 n=0 empty"}}},
      {"an unregistered putter already woken passes the wake-up on when there is room",
       1,
       {{"send 1", "sent"},
        {"put 5", "queued"},
        {"put 6", "queued"},
        {"put 7", "queued"},
        {"unput 6", "true"},
        {"recv", "taken 1; putter 5"},
        {"unput 5", "false; putter 7"},
        {"unput 5", "false"}}},
      {"with notifiers waiting, sends are buffered past the bound and notify",
       1,
       {{"watch 3", "true"},
        {"watch 4", "true"},
        {"send 1", "sent; notify 3"},
        {"send 2", "sent; notify 4"},
        {"state", "q=2 g=0 p=0 n=0 full"},
        {"send 3", "full"},
        {"watch 5", "false"}}},
      {"an unused wake-up passes on to the next notifier; unwatching wakes nobody",
       0,
       {{"watch 3", "true"},
        {"watch 4", "true"},
        {"watch 5", "true"},
        {"watch 6", "true"},
        {"unwatch 6", "true"},
        {"unwatch 6", "false"},
        {"send 1", "sent; notify 3"},
        {"forward", "; notify 4"},
        {"unget 9", "false; notify 5"},
        {"forward", ""}}},
      {"items survive close and are received in order",
       0,
       {{"send 1", "sent"},
        {"send 2", "sent"},
        {"close", "true"},
        {"send 3", "closed"},
        {"put 5", "closed"},
        {"watch 3", "false"},
        {"recv", "taken 1"},
        {"get 9", "taken 2"},
        {"recv", "closed"},
        {"get 9", "closed"}}},
      {"close fails getters, then putters, then tells notifiers; a second close wakes nobody",
       1,
       {{"send 1", "sent"},
        {"put 5", "queued"},
        {"put 6", "queued"},
        {"recv", "taken 1; putter 5"},
        {"get 1", "empty"},
        {"get 2", "empty"},
        {"watch 3", "true"},
        {"close", "true; fail getters 1 2; fail putters 6; notifiers 3"},
        {"state", "q=0 g=0 p=0 n=0 empty closed"},
        {"close", "false"}}},
      // An item whose hand-over could not be delivered goes to the next getter,
      // or else to the front of the buffer (past the bound, also when closed).
      {"undelivered: to the next getter", 0, {{"get 1", "empty"}, {"get 2", "empty"}, {"requeue 5", "; give 1:5"}}},
      {"undelivered: to the front, past the bound, after close",
       1,
       {{"send 1", "sent"},
        {"close", "true"},
        {"requeue 0", ""},
        {"state", "q=2 g=0 p=0 n=0 full closed"},
        {"recv", "taken 0"},
        {"recv", "taken 1"},
        {"recv", "closed"}}},
      {"undelivered: a waiting notifier is told", 0, {{"watch 3", "true"}, {"requeue 5", "; notify 3"}}},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    Channel channel(test.maxsize);
    for (const auto& [call, expected] : test.steps) EXPECT_EQ(run(channel, call), expected) << call;
  }
}

// Senders, receivers that wait as getters, and a delivery that fails every
// third hand-over and gives the item back: every item sent is received
// exactly once. Senders wait as putters when the channel is full.
TEST(AsyncChannel, StressNothingLostOrDuplicated) {
  constexpr int kSenders = 2;
  constexpr int kReceivers = 2;
  constexpr int kItemsPerSender = 5000;
  constexpr int kWaiting = -1;
  constexpr int kNoItem = -2;  // woken without an item: room, close, or a failed hand-over

  Channel channel(4);
  // One mailbox per waiter id (ids are not reused): what its wake-up delivered.
  constexpr int kMaxWaiters = 8 * kSenders * kItemsPerSender;
  std::vector<std::atomic<int>> mailboxes(kMaxWaiters);
  for (auto& mailbox : mailboxes) mailbox.store(kWaiting);
  std::atomic<int> next_waiter{0};
  std::atomic<unsigned> deliveries{0};

  const auto deliver = [&](Wakeups& wakeups) {
    const auto wake_all = [&](common::Ring<Waiter>& waiters) {
      while (!waiters.empty()) mailboxes[waiters.pop_front().future].store(kNoItem);
    };
    wake_all(wakeups.getters);
    while (wakeups.handover) {
      Channel::Handover handover = std::move(*wakeups.handover);
      wakeups.handover.reset();
      const bool delivered = deliveries.fetch_add(1) % 3 != 0;
      mailboxes[handover.getter.future].store(delivered ? handover.item : kNoItem);
      if (!delivered) channel.requeue(std::move(handover.item), wakeups);
    }
    if (wakeups.putter) mailboxes[wakeups.putter->future].store(kNoItem);
    wake_all(wakeups.putters);
  };
  const auto await_mailbox = [&](int id) {
    int value = kWaiting;
    while ((value = mailboxes[id].load()) == kWaiting) std::this_thread::yield();
    return value;
  };

  std::vector<std::thread> threads;
  for (int s = 0; s < kSenders; ++s) {
    threads.emplace_back([&, s] {
      Waiter putter{next_waiter.fetch_add(1)};  // a new id only once this one was queued
      for (int i = 0; i < kItemsPerSender;) {
        int item = s * kItemsPerSender + i;
        Wakeups wakeups;
        const SendResult result = channel.try_send(item, wakeups);
        deliver(wakeups);
        if (result == SendResult::sent) {
          ++i;
          continue;
        }
        if (channel.register_putter(putter) == PutterResult::queued) {
          await_mailbox(putter.future);
          putter.future = next_waiter.fetch_add(1);
        }
      }
    });
  }
  std::vector<std::vector<int>> received(kReceivers);
  for (int r = 0; r < kReceivers; ++r) {
    threads.emplace_back([&, r] {
      Waiter getter{next_waiter.fetch_add(1)};  // a new id only once this one was queued
      for (;;) {
        Wakeups wakeups;
        const Received<int> result = channel.register_getter(getter, wakeups);
        deliver(wakeups);
        if (result.status == RecvStatus::closed) return;
        if (result.status == RecvStatus::taken) {
          received[r].push_back(result.item);
          continue;
        }
        const int value = await_mailbox(getter.future);
        if (value >= 0) received[r].push_back(value);
        getter.future = next_waiter.fetch_add(1);
      }
    });
  }
  for (int s = 0; s < kSenders; ++s) threads[s].join();
  Wakeups closing;
  channel.close(closing);
  deliver(closing);
  for (std::size_t t = kSenders; t < threads.size(); ++t) threads[t].join();

  std::vector<int> all;
  for (const auto& items : received) all.insert(all.end(), items.begin(), items.end());
  std::sort(all.begin(), all.end());
  std::vector<int> expected(kSenders * kItemsPerSender);
  for (std::size_t i = 0; i < expected.size(); ++i) expected[i] = static_cast<int>(i);
  EXPECT_EQ(all, expected);
  EXPECT_LT(next_waiter.load(), kMaxWaiters);
}

}  // namespace
}  // namespace tessaryne::sync
