#include "core/pool/channel.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <memory>
#include <thread>
#include <vector>

namespace tessaryne::pool {
namespace {

// One call on a channel of ints and what it must answer.
struct Step {
  enum class Op { send, recv, close, is_closed, qsize } op;
  int value = 0;  // send: the item; recv: the item expected; is_closed: 0/1; qsize: the size
  PushResult sent = PushResult::pushed;
  PopStatus received = PopStatus::popped;
};
Step send(int item, PushResult result = PushResult::pushed) { return {Step::Op::send, item, result}; }
Step recv(int item) { return {Step::Op::recv, item}; }
Step recv(PopStatus status) { return {Step::Op::recv, 0, PushResult::pushed, status}; }
Step close() { return {Step::Op::close}; }
Step is_closed(bool closed) { return {Step::Op::is_closed, closed ? 1 : 0}; }
Step qsize(int size) { return {Step::Op::qsize, size}; }

struct Case {
  const char* name;
  std::uint64_t capacity;
  std::vector<Step> steps;
};

TEST(Channel, EdgeCases) {
  const std::vector<Case> cases = {
      {"bounded: full is not an error, a receive makes room",
       2,
       {send(1), send(2), send(3, PushResult::full), qsize(2), recv(1), send(4), qsize(2), recv(2), recv(4)}},
      {"empty and open", 2, {recv(PopStatus::empty), is_closed(false), qsize(0)}},
      {"close keeps queued items receivable, in order",
       0,
       {send(1), send(2), close(), is_closed(true), send(3, PushResult::disconnected), qsize(2), recv(1), recv(2),
        recv(PopStatus::disconnected), send(4, PushResult::disconnected)}},
      {"closed wins over full", 1, {send(1), close(), send(2, PushResult::disconnected), recv(1)}},
      {"closing twice changes nothing", 0, {close(), close(), is_closed(true), recv(PopStatus::disconnected)}},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    Channel<int> channel(test.capacity);
    for (std::size_t i = 0; i < test.steps.size(); ++i) {
      SCOPED_TRACE(i);
      const Step& step = test.steps[i];
      switch (step.op) {
        case Step::Op::send: {
          int item = step.value;
          EXPECT_EQ(channel.try_send(item), step.sent);
          break;
        }
        case Step::Op::recv: {
          const Popped<int> popped = channel.try_recv();
          EXPECT_EQ(popped.status, step.received);
          if (step.received == PopStatus::popped) {
            EXPECT_EQ(popped.value, step.value);
          }
          break;
        }
        case Step::Op::close:
          channel.close();
          break;
        case Step::Op::is_closed:
          EXPECT_EQ(channel.is_closed(), step.value == 1);
          break;
        case Step::Op::qsize:
          EXPECT_EQ(channel.qsize(), static_cast<std::size_t>(step.value));
          break;
      }
    }
  }
}

// Items whose destruction calls back into their channel, receiving the next
// item (which does the same): the channel must not hold its lock while items
// are destroyed (a second lock() would never return), whether they are
// received, taken out, or left to the channel's destructor.
struct CallsBack {
  using Item = std::shared_ptr<CallsBack>;
  CallsBack(Channel<Item>* owner, int* counter) : channel(owner), destroyed(counter) {}
  CallsBack(const CallsBack&) = delete;
  CallsBack& operator=(const CallsBack&) = delete;
  Channel<Item>* channel;
  int* destroyed;
  ~CallsBack() {
    ++*destroyed;
    [[maybe_unused]] const Popped<Item> next = channel->try_recv();
  }
};

TEST(Channel, ItemsAreDestroyedOutsideTheLock) {
  int destroyed = 0;
  const auto send_items = [&](Channel<CallsBack::Item>& channel, int count) {
    for (int i = 0; i < count; ++i) {
      auto item = std::make_shared<CallsBack>(&channel, &destroyed);
      ASSERT_EQ(channel.try_send(item), PushResult::pushed);
    }
  };
  {
    Channel<CallsBack::Item> channel(0);
    send_items(channel, 3);
    {
      [[maybe_unused]] const auto first = channel.try_recv();
    }  // takes the other two with it
    EXPECT_EQ(destroyed, 3);
    send_items(channel, 2);
    {
      [[maybe_unused]] const auto taken = channel.take_all();
    }  // as the collector's clear does
    EXPECT_EQ(destroyed, 5);
    send_items(channel, 2);
  }
  EXPECT_EQ(destroyed, 7);
}

// Senders, receivers and a close racing them: every item whose send succeeded
// is received exactly once, each sender's items in the order sent, and a
// receiver hears "closed" only when nothing is left. Senders send until the
// channel refuses, so the close always lands in the middle of their sends.
TEST(Channel, CloseRacingSendersLosesNothing) {
  constexpr int kSenders = 2;
  constexpr int kReceivers = 2;
  constexpr int kSenderStride = 1 << 24;  // sender s sends s * stride + 0, 1, 2, ...
  for (const std::uint64_t capacity : {std::uint64_t{0}, std::uint64_t{8}}) {
    SCOPED_TRACE(capacity);
    Channel<int> channel(capacity);
    std::vector<int> sent_counts(kSenders);
    std::vector<std::vector<int>> received(kReceivers);
    std::atomic<int> received_total{0};
    std::vector<std::thread> threads;
    for (int s = 0; s < kSenders; ++s)
      threads.emplace_back([&, s] {
        for (int i = 0; i < kSenderStride; ++i) {
          int item = s * kSenderStride + i;
          PushResult result = PushResult::full;
          while ((result = channel.try_send(item)) == PushResult::full) std::this_thread::yield();
          if (result == PushResult::disconnected) break;
          ++sent_counts[static_cast<std::size_t>(s)];
        }
      });
    for (int r = 0; r < kReceivers; ++r)
      threads.emplace_back([&, r] {
        std::vector<int>& mine = received[static_cast<std::size_t>(r)];
        std::vector<int> last_seen(kSenders, -1);
        for (;;) {
          const Popped<int> popped = channel.try_recv();
          if (popped.status == PopStatus::disconnected) return;
          if (popped.status == PopStatus::empty) {
            std::this_thread::yield();
            continue;
          }
          int& last = last_seen[static_cast<std::size_t>(popped.value / kSenderStride)];
          EXPECT_GT(popped.value, last);
          last = popped.value;
          mine.push_back(popped.value);
          received_total.fetch_add(1);
        }
      });
    threads.emplace_back([&] {
      while (received_total.load() < 10000) std::this_thread::yield();
      channel.close();
    });
    for (std::thread& thread : threads) thread.join();

    std::vector<int> expected;
    for (int s = 0; s < kSenders; ++s)
      for (int i = 0; i < sent_counts[static_cast<std::size_t>(s)]; ++i) expected.push_back(s * kSenderStride + i);
    std::vector<int> all_received;
    for (const std::vector<int>& part : received) all_received.insert(all_received.end(), part.begin(), part.end());
    std::sort(all_received.begin(), all_received.end());
    EXPECT_EQ(all_received, expected);
    EXPECT_EQ(channel.qsize(), 0U);
  }
}

}  // namespace
}  // namespace tessaryne::pool
