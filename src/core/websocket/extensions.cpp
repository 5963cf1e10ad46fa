#include "core/websocket/extensions.hpp"

#include <algorithm>
#include <utility>

#include "core/common/header_value.hpp"

namespace tessaryne::websocket {

namespace {

using common::equals_lowercase;
using common::HeaderValueCursor;

constexpr std::string_view kExtensionName = "permessage-deflate";

// What one offer asks for; nullopt members were not named.
struct Offer {
  bool server_no_context_takeover = false;
  bool client_no_context_takeover = false;
  std::optional<std::uint8_t> server_max_window_bits;
  bool client_max_window_bits = false;              // named, with or without a value
  std::optional<std::uint8_t> client_window_value;  // its value, if any
};

// 8..15 written without leading zeros, as the window parameters must be.
std::optional<std::uint8_t> window_bits(std::string_view text) {
  if (text.size() == 1 && text[0] >= '8' && text[0] <= '9') return static_cast<std::uint8_t>(text[0] - '0');
  if (text.size() == 2 && text[0] == '1' && text[1] >= '0' && text[1] <= '5')
    return static_cast<std::uint8_t>(10 + text[1] - '0');
  return std::nullopt;
}

// One parameter into `offer`; false when it makes the offer unusable.
bool take_parameter(std::string_view name, const std::optional<std::string>& value, Offer& offer, unsigned& seen) {
  const auto once = [&seen](unsigned bit) { return (std::exchange(seen, seen | bit) & bit) == 0; };
  if (equals_lowercase(name, "server_no_context_takeover")) {
    offer.server_no_context_takeover = true;
    return !value && once(1);
  }
  if (equals_lowercase(name, "client_no_context_takeover")) {
    offer.client_no_context_takeover = true;
    return !value && once(2);
  }
  if (equals_lowercase(name, "server_max_window_bits")) {
    if (!value) return false;
    offer.server_max_window_bits = window_bits(*value);
    return offer.server_max_window_bits.has_value() && once(4);
  }
  if (equals_lowercase(name, "client_max_window_bits")) {
    offer.client_max_window_bits = true;
    if (value) {
      offer.client_window_value = window_bits(*value);
      if (!offer.client_window_value) return false;
    }
    return once(8);
  }
  return false;  // a parameter this extension does not define
}

// Reads one list element at the cursor, which it leaves past the element's
// comma. nullopt: not a permessage-deflate offer, or not a usable one.
std::optional<Offer> read_offer(HeaderValueCursor& cursor) {
  cursor.skip_space();
  const std::string_view name = cursor.token();
  Offer offer;
  unsigned seen = 0;
  bool usable = equals_lowercase(name, kExtensionName);
  cursor.skip_space();
  while (usable && cursor.take(';')) {
    cursor.skip_space();
    const std::string_view parameter = cursor.token();
    cursor.skip_space();
    std::optional<std::string> value;
    if (cursor.take('=')) {
      cursor.skip_space();
      value.emplace();
      usable = cursor.token_or_quoted(*value);
      cursor.skip_space();
    }
    usable = usable && !parameter.empty() && take_parameter(parameter, value, offer, seen);
  }
  // Anything but the element's end leaves the offer malformed.
  usable = usable && (cursor.at_end() || cursor.peek() == ',');
  cursor.skip_element();
  if (!usable) return std::nullopt;
  return offer;
}

// The answer to a usable offer, or nullopt when the server cannot serve it
// (a server window of 8 bits, which zlib cannot write).
std::optional<DeflateAgreement> answer(const Offer& offer, const DeflateParameters& preferences) {
  DeflateAgreement agreed;
  DeflateParameters& p = agreed.parameters;
  p.server_no_context_takeover = offer.server_no_context_takeover || preferences.server_no_context_takeover;
  p.client_no_context_takeover = offer.client_no_context_takeover || preferences.client_no_context_takeover;
  p.server_max_window_bits = preferences.server_max_window_bits;
  if (offer.server_max_window_bits) {
    if (*offer.server_max_window_bits < 9) return std::nullopt;
    p.server_max_window_bits = std::min(p.server_max_window_bits, *offer.server_max_window_bits);
  }
  // A client that did not offer client_max_window_bits may use the full window.
  p.client_max_window_bits = 15;
  if (offer.client_max_window_bits) {
    p.client_max_window_bits =
        std::min(preferences.client_max_window_bits, offer.client_window_value.value_or(std::uint8_t{15}));
  }
  std::string& out = agreed.response;
  out = kExtensionName;
  if (p.server_no_context_takeover) out += "; server_no_context_takeover";
  if (p.client_no_context_takeover) out += "; client_no_context_takeover";
  if (offer.server_max_window_bits || p.server_max_window_bits < 15)
    out += "; server_max_window_bits=" + std::to_string(p.server_max_window_bits);
  if (offer.client_max_window_bits) out += "; client_max_window_bits=" + std::to_string(p.client_max_window_bits);
  return agreed;
}

}  // namespace

std::optional<DeflateAgreement> agree_permessage_deflate(std::span<const std::string_view> headers,
                                                         const DeflateParameters& preferences) {
  for (const std::string_view header : headers) {
    HeaderValueCursor cursor(header);
    while (!cursor.at_end()) {
      if (const std::optional<Offer> offer = read_offer(cursor)) {
        if (std::optional<DeflateAgreement> agreed = answer(*offer, preferences)) return agreed;
      }
    }
  }
  return std::nullopt;
}

}  // namespace tessaryne::websocket
