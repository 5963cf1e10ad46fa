#pragma once
// What one loop's connections have done, for the metrics endpoint: written by
// the loop's thread alone (a load and a store, no read-modify-write), read
// from any thread. Relaxed atomics: statistics need no ordering.

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>

namespace tessaryne::server {

struct ServerCounters {
  // Upper bounds of the request-duration buckets, in microseconds; one more
  // bucket counts everything above the last.
  static constexpr std::array<std::uint64_t, 12> kDurationBounds{
      500, 1'000, 2'500, 5'000, 10'000, 25'000, 50'000, 100'000, 250'000, 500'000, 1'000'000, 5'000'000};

  std::array<std::atomic<std::uint64_t>, 5> responses{};  // by status class: 1xx to 5xx
  std::atomic<std::uint64_t> connections_opened{0};
  std::atomic<std::uint64_t> connections_closed{0};
  std::atomic<std::uint64_t> websockets_opened{0};
  std::atomic<std::uint64_t> websockets_closed{0};
  std::atomic<std::uint64_t> bytes_in{0};
  std::atomic<std::uint64_t> bytes_out{0};
  std::array<std::atomic<std::uint64_t>, kDurationBounds.size() + 1> durations{};
  std::atomic<std::uint64_t> duration_micros{0};
  // Of the responses and connections above, those over HTTP/2.
  std::atomic<std::uint64_t> http2_responses{0};
  std::atomic<std::uint64_t> http2_connections{0};
  // Requests being served by every loop of the process, against a limit of
  // concurrency: the one cell several loops write, so it takes whole atomic
  // updates, and only when a limit is set.
  std::atomic<std::uint64_t> in_flight{0};

  static void add(std::atomic<std::uint64_t>& cell, std::uint64_t count) noexcept {
    cell.store(cell.load(std::memory_order_relaxed) + count, std::memory_order_relaxed);
  }

  void response(std::uint16_t status, std::chrono::steady_clock::duration took) noexcept {
    const std::size_t kind = status < 100 ? 0 : status >= 600 ? 4 : static_cast<std::size_t>(status / 100 - 1);
    add(responses[kind], 1);
    const auto micros = static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(took).count());
    std::size_t bucket = 0;
    while (bucket < kDurationBounds.size() && micros > kDurationBounds[bucket]) ++bucket;
    add(durations[bucket], 1);
    add(duration_micros, micros);
  }
};

}  // namespace tessaryne::server
