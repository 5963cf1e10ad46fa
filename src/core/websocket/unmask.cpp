#include "core/websocket/unmask.hpp"

#include <cstring>

namespace tessaryne::websocket {

void unmask(const char* in, char* out, std::size_t length, MaskKey key) noexcept {
  // The key repeated in memory order, so a whole word XORs in one step.
  std::uint64_t key_word;
  std::uint8_t repeated[8];
  for (std::size_t i = 0; i < 8; ++i) repeated[i] = key[i % 4];
  std::memcpy(&key_word, repeated, 8);
  std::size_t i = 0;
  for (; i + 8 <= length; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, in + i, 8);
    word ^= key_word;
    std::memcpy(out + i, &word, 8);
  }
  for (; i < length; ++i) out[i] = static_cast<char>(static_cast<std::uint8_t>(in[i]) ^ key[i % 4]);
}

}  // namespace tessaryne::websocket
