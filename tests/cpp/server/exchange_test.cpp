#include "core/server/exchange.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace tessaryne::server {
namespace {

// Records what an exchange asks of its protocol, as lines.
struct Recorder final : Protocol {
  std::vector<std::string> calls;
  SendResult answer = SendResult::done;

  SendResult write_head(Exchange& exchange, std::span<const http::HeaderField> headers, std::string_view body,
                        bool more_body) override {
    calls.push_back("head " + std::to_string(exchange.status()) + " " + std::to_string(headers.size()) + " " +
                    std::string(body) + (more_body ? " more" : ""));
    return answer;
  }
  SendResult write_body(Exchange&, std::string_view body, bool more_body) override {
    calls.push_back("body " + std::string(body) + (more_body ? " more" : ""));
    return answer;
  }
  SendResult write_file(Exchange& exchange, std::span<const http::HeaderField>, FileSlice file,
                        bool more_body) override {
    const bool head = exchange.phase() == ResponsePhase::head_pending;
    calls.push_back((head ? "head+file " : "file ") + std::to_string(file.count()) + (more_body ? " more" : ""));
    return answer;
  }
  SendResult write_interim(Exchange&, std::uint16_t status, std::span<const http::HeaderField> fields) override {
    calls.push_back("interim " + std::to_string(status) + " " + std::to_string(fields.size()));
    return answer;
  }
  SendResult write_trailers(Exchange&, std::span<const http::HeaderField> fields, bool more) override {
    calls.push_back("trailers " + std::to_string(fields.size()) + (more ? " more" : ""));
    return answer;
  }
  void response_complete(Exchange&) override { calls.emplace_back("complete"); }
  void answer_failure(Exchange& exchange) override {
    calls.emplace_back("failure");
    exchange.body({}, "oops", false);
  }
  void cut_short(Exchange& exchange) override {
    calls.emplace_back("cut");
    exchange.disconnect();
  }
  void want_body(Exchange&) override { calls.emplace_back("want body"); }
  void body_waiting(Exchange&, std::size_t) override {}
  [[nodiscard]] bool output_full() const noexcept override { return false; }
};

const std::array<http::HeaderField, 1> kField{{{"x", "1"}}};

// The sends an interface may try, by name.
const std::vector<std::pair<std::string, std::function<SendResult(Exchange&)>>> kSends = {
    {"start", [](Exchange& e) { return e.start(201, false); }},
    {"body more", [](Exchange& e) { return e.body(kField, "a", true); }},
    {"body last", [](Exchange& e) { return e.body(kField, "z", false); }},
    {"trailers more", [](Exchange& e) { return e.trailers(kField, true); }},
    {"trailers last", [](Exchange& e) { return e.trailers(kField, false); }},
    {"file more", [](Exchange& e) { return e.file(kField, FileSlice(-1, 0, 3), true); }},
    {"file last", [](Exchange& e) { return e.file(kField, FileSlice(-1, 0, 3), false); }},
    {"early hint", [](Exchange& e) { return e.interim(103, kField); }},
};

// Every send in every phase: allowed or refused, what it asks of the
// protocol, and the phase it leaves.
TEST(Exchange, EverySendInEveryPhase) {
  using R = SendResult;
  using P = ResponsePhase;
  struct Row {
    std::string phase;  // how it is reached
    std::function<void(Exchange&)> reach;
    std::vector<std::tuple<R, std::vector<std::string>, P>> outcomes;  // one per send, in kSends order
  };
  const auto head_pending = [](Exchange& e) { e.start(200, false); };
  const auto body = [](Exchange& e) {
    e.start(200, false);
    e.body({}, "a", true);
  };
  const auto trailers = [](Exchange& e) {
    e.start(200, true);
    e.body({}, "a", false);
  };
  const auto complete = [](Exchange& e) {
    e.start(200, false);
    e.body({}, "a", false);
  };
  const std::vector<Row> rows = {
      {"awaiting start",
       [](Exchange&) {},
       {{R::done, {}, P::head_pending},
        {R::body_before_start, {}, P::awaiting_start},
        {R::body_before_start, {}, P::awaiting_start},
        {R::trailers_unannounced, {}, P::awaiting_start},
        {R::trailers_unannounced, {}, P::awaiting_start},
        {R::body_before_start, {}, P::awaiting_start},
        {R::body_before_start, {}, P::awaiting_start},
        {R::done, {"interim 103 1"}, P::awaiting_start}}},
      {"head pending",
       head_pending,
       {{R::start_twice, {}, P::head_pending},
        {R::done, {"head 200 1 a more"}, P::body},
        {R::done, {"head 200 1 z", "complete"}, P::complete},
        {R::trailers_unannounced, {}, P::head_pending},
        {R::trailers_unannounced, {}, P::head_pending},
        {R::done, {"head+file 3 more"}, P::body},
        {R::done, {"head+file 3", "complete"}, P::complete},
        {R::interim_after_start, {}, P::head_pending}}},
      {"body",
       body,
       {{R::start_twice, {}, P::body},
        {R::done, {"body a more"}, P::body},
        {R::done, {"body z", "complete"}, P::complete},
        {R::trailers_unannounced, {}, P::body},
        {R::trailers_unannounced, {}, P::body},
        {R::done, {"file 3 more"}, P::body},
        {R::done, {"file 3", "complete"}, P::complete},
        {R::interim_after_start, {}, P::body}}},
      {"trailers",
       trailers,
       {{R::start_twice, {}, P::trailers},
        {R::body_after_end, {}, P::trailers},
        {R::body_after_end, {}, P::trailers},
        {R::done, {"trailers 1 more"}, P::trailers},
        {R::done, {"trailers 1", "complete"}, P::complete},
        {R::body_after_end, {}, P::trailers},
        {R::body_after_end, {}, P::trailers},
        {R::interim_after_start, {}, P::trailers}}},
      {"complete",
       complete,
       {{R::start_twice, {}, P::complete},
        {R::body_after_end, {}, P::complete},
        {R::body_after_end, {}, P::complete},
        {R::trailers_unannounced, {}, P::complete},
        {R::trailers_unannounced, {}, P::complete},
        {R::body_after_end, {}, P::complete},
        {R::body_after_end, {}, P::complete},
        {R::interim_after_start, {}, P::complete}}},
      {"detached mid-body",
       [&](Exchange& e) {
         body(e);
         e.detach();
       },
       {{R::start_twice, {}, P::body},
        {R::gone, {}, P::body},
        {R::gone, {}, P::body},
        {R::trailers_unannounced, {}, P::body},
        {R::trailers_unannounced, {}, P::body},
        {R::gone, {}, P::body},
        {R::gone, {}, P::body},
        {R::interim_after_start, {}, P::body}}},
  };
  for (const Row& row : rows) {
    for (std::size_t i = 0; i < kSends.size(); ++i) {
      Recorder protocol;
      Exchange exchange;
      exchange.begin(protocol, {}, Clock::now());
      row.reach(exchange);
      protocol.calls.clear();
      const auto& [result, calls, phase] = row.outcomes[i];
      EXPECT_EQ(kSends[i].second(exchange), result) << row.phase << ": " << kSends[i].first;
      EXPECT_EQ(protocol.calls, calls) << row.phase << ": " << kSends[i].first;
      EXPECT_EQ(exchange.phase(), phase) << row.phase << ": " << kSends[i].first;
    }
  }
}

// What an app leaves behind when it fails or returns, in each phase; a write
// the protocol refuses leaves the phase as it was.
TEST(Exchange, EndsOfAnApplication) {
  struct Row {
    std::string name;
    std::function<void(Exchange&)> reach;
    bool failed;  // app_failed(), else app_returned()
    bool result;
    std::vector<std::string> calls;
    ResponsePhase phase;
  };
  const std::vector<Row> rows = {
      {"raised before answering",
       [](Exchange&) {},
       true,
       true,
       {"failure", "head 500 0 oops", "complete"},
       ResponsePhase::complete},
      {"returned after start",
       [](Exchange& e) { e.start(200, false); },
       false,
       true,
       {"failure", "head 500 0 oops", "complete"},
       ResponsePhase::complete},
      {"raised mid-body",
       [](Exchange& e) { e.start(200, false), e.body({}, "a", true); },
       true,
       true,
       {"cut"},
       ResponsePhase::cut_short},
      {"returned before trailers",
       [](Exchange& e) { e.start(200, true), e.body({}, "a", false); },
       false,
       true,
       {"cut"},
       ResponsePhase::cut_short},
      {"returned complete",
       [](Exchange& e) { e.start(200, false), e.body({}, "a", false); },
       false,
       false,
       {},
       ResponsePhase::complete},
      {"raised after its client left",
       [](Exchange& e) { e.disconnect(); },
       true,
       false,
       {},
       ResponsePhase::awaiting_start},
      {"returned unanswered after the client stopped sending",
       [](Exchange& e) { e.end_of_input(); },
       false,
       false,
       {"cut"},
       ResponsePhase::cut_short},
  };
  for (const Row& row : rows) {
    Recorder protocol;
    Exchange exchange;
    exchange.begin(protocol, {}, Clock::now());
    row.reach(exchange);
    protocol.calls.clear();
    EXPECT_EQ(row.failed ? exchange.app_failed() : exchange.app_returned(), row.result) << row.name;
    EXPECT_EQ(protocol.calls, row.calls) << row.name;
    EXPECT_EQ(exchange.phase(), row.phase) << row.name;
  }
  Recorder refusing;
  refusing.answer = SendResult::bad_header;
  Exchange exchange;
  exchange.begin(refusing, {}, Clock::now());
  exchange.start(200, false);
  EXPECT_EQ(exchange.body(kField, "a", false), SendResult::bad_header);
  EXPECT_EQ(exchange.phase(), ResponsePhase::head_pending);
}

// What a receive does: the body first, as it arrives and once it is all
// there, then a disconnect once the response is over or the client stopped.
TEST(Exchange, Receives) {
  Recorder protocol;
  Exchange exchange;
  exchange.begin(protocol, {.has_body = true}, Clock::now());
  EXPECT_EQ(exchange.next_receive(false), ReceiveStep::wait);
  EXPECT_EQ(protocol.calls, std::vector<std::string>{"want body"});
  EXPECT_EQ(exchange.next_receive(true), ReceiveStep::deliver);
  EXPECT_FALSE(exchange.body_taken());
  exchange.body_read();
  EXPECT_EQ(exchange.next_receive(false), ReceiveStep::deliver);
  EXPECT_TRUE(exchange.body_taken());
  EXPECT_EQ(exchange.next_receive(false), ReceiveStep::wait);
  exchange.end_of_input();
  EXPECT_EQ(exchange.next_receive(false), ReceiveStep::disconnect);

  Exchange answered;
  answered.begin(protocol, {.has_body = true}, Clock::now());
  answered.start(200, false);
  answered.body({}, "", false);
  EXPECT_EQ(answered.next_receive(false), ReceiveStep::disconnect);  // no body is awaited once answered
}

}  // namespace
}  // namespace tessaryne::server
