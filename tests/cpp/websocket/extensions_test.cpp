// Agreeing permessage-deflate: which offer is taken, what is answered, and
// that malformed offers are declined without failing the handshake.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "core/websocket/extensions.hpp"

namespace tessaryne::websocket {
namespace {

const DeflateParameters kPlain{};
// The server's own choice: no takeover for its compressor, 12-bit windows.
const DeflateParameters kSmall{
    .server_no_context_takeover = true, .server_max_window_bits = 12, .client_max_window_bits = 12};

struct Case {
  std::vector<std::string_view> headers;
  DeflateParameters preferences;
  const char* response;  // nullptr: declined
  int client_window_bits = 15;
};

TEST(AgreePermessageDeflate, TakesTheFirstServableOfferAndAnswersWhatBothUse) {
  const Case cases[] = {
      // The plain offer, and what the server adds of its own accord.
      {{"permessage-deflate"}, kPlain, "permessage-deflate"},
      {{"permessage-deflate"}, kSmall, "permessage-deflate; server_no_context_takeover; server_max_window_bits=12"},
      {{"permessage-deflate; client_max_window_bits"},
       kSmall,
       "permessage-deflate; server_no_context_takeover; server_max_window_bits=12; client_max_window_bits=12",
       12},
      {{"permessage-deflate; client_max_window_bits"}, kPlain, "permessage-deflate; client_max_window_bits=15"},
      // Windows: the smaller of offer and preference; 8 bits the server cannot write.
      {{"permessage-deflate; server_max_window_bits=10; client_max_window_bits=9"},
       kSmall,
       "permessage-deflate; server_no_context_takeover; server_max_window_bits=10; client_max_window_bits=9",
       9},
      {{"permessage-deflate; server_max_window_bits=\"15\""},
       kSmall,
       "permessage-deflate; server_no_context_takeover; server_max_window_bits=12"},
      {{"permessage-deflate; server_max_window_bits=8", "permessage-deflate"}, kPlain, "permessage-deflate"},
      // Context takeover, from the client's side or the server's.
      {{"permessage-deflate; client_no_context_takeover; server_no_context_takeover"},
       kPlain,
       "permessage-deflate; server_no_context_takeover; client_no_context_takeover"},
      {{"PerMessage-Deflate ;\tClient_No_Context_Takeover"}, kPlain, "permessage-deflate; client_no_context_takeover"},
      // Other extensions, and malformed offers, are passed over for the next.
      {{"x-webkit-deflate-frame, permessage-deflate; client_max_window_bits=10"},
       kPlain,
       "permessage-deflate; client_max_window_bits=10",
       10},
      {{"permessage-deflate; mystery, permessage-deflate; server_max_window_bits=9"},
       kPlain,
       "permessage-deflate; server_max_window_bits=9"},
      {{"permessage-deflate; client_no_context_takeover; client_no_context_takeover, permessage-deflate"},
       kPlain,
       "permessage-deflate"},
      {{"foo; p=\"a,b\", permessage-deflate"}, kPlain, "permessage-deflate"},
      // Declined: nothing servable.
      {{}, kPlain, nullptr},
      {{"", " , ,"}, kPlain, nullptr},
      {{"permessage-deflate; server_max_window_bits"}, kPlain, nullptr},
      {{"permessage-deflate; server_max_window_bits=09"}, kPlain, nullptr},
      {{"permessage-deflate; client_max_window_bits=16"}, kPlain, nullptr},
      {{"permessage-deflate; client_max_window_bits=7"}, kPlain, nullptr},
      {{"permessage-deflate; server_no_context_takeover=1"}, kPlain, nullptr},
      {{"permessage-deflate; client_max_window_bits=\"10"}, kPlain, nullptr},
      {{"permessage-deflate x"}, kPlain, nullptr},
      {{"permessage-deflate;"}, kPlain, nullptr},
      {{"permessage-deflate; =10"}, kPlain, nullptr},
      {{"deflate-frame"}, kPlain, nullptr},
  };
  for (const Case& c : cases) {
    const std::string where = c.headers.empty() ? std::string("(none)") : std::string(c.headers[0]);
    const auto agreed = agree_permessage_deflate(c.headers, c.preferences);
    if (c.response == nullptr) {
      EXPECT_FALSE(agreed.has_value()) << where;
      continue;
    }
    ASSERT_TRUE(agreed.has_value()) << where;
    EXPECT_EQ(agreed->response, c.response) << where;
    EXPECT_EQ(agreed->parameters.client_max_window_bits, c.client_window_bits) << where;
    // What is answered is exactly what the server will use.
    const DeflateParameters& p = agreed->parameters;
    EXPECT_EQ(p.server_no_context_takeover, agreed->response.find("server_no_context") != std::string::npos) << where;
    EXPECT_EQ(p.client_no_context_takeover, agreed->response.find("client_no_context") != std::string::npos) << where;
    const auto server_bits = agreed->response.find("server_max_window_bits=");
    EXPECT_EQ(p.server_max_window_bits,
              server_bits == std::string::npos ? 15 : std::stoi(agreed->response.substr(server_bits + 23)))
        << where;
  }
}

}  // namespace
}  // namespace tessaryne::websocket
