#include "core/websocket/frame_loop.hpp"

#include "core/websocket/deflate.hpp"

#include <cstring>
#include <new>

namespace tessaryne::websocket {

namespace {
// Capacity kept across messages; anything larger is freed once a message ends.
constexpr std::size_t kKeptCapacity = std::size_t{64} << 10;
}  // namespace

char* FragmentBuffer::grow_by(std::size_t count, std::size_t ceiling) {
  if (count > capacity_ - size_) {
    if (count > SIZE_MAX / 2 - size_) throw std::bad_alloc();
    const std::size_t needed = size_ + count;
    std::size_t capacity = needed > 2 * capacity_ ? needed : 2 * capacity_;
    if (capacity > ceiling) capacity = needed > ceiling ? needed : ceiling;
    std::unique_ptr<char[]> grown(new char[capacity]);
    if (size_ != 0) std::memcpy(grown.get(), data_.get(), size_);
    data_ = std::move(grown);
    capacity_ = capacity;
  }
  char* start = data_.get() + size_;
  size_ += count;
  return start;
}

void FragmentBuffer::clear() noexcept {
  size_ = 0;
  if (capacity_ > kKeptCapacity) {
    data_.reset();
    capacity_ = 0;
  }
}

void FrameLoop::configure(const FrameOptions& options) noexcept {
  strict_ = options.strict;
  utf8_fail_fast_ = options.utf8_fail_fast;
  max_message_size_ = clamp_bound(options.max_message_size);
  deflate_ = options.deflate;
  owned_reserved_bits_ = deflate_ ? 0x40 : 0;
  // The client compresses, so its window and context rule govern inflating.
  const DeflateParameters& agreed = options.deflate_parameters;
  inflater_ = Inflater(agreed.client_max_window_bits, agreed.client_no_context_takeover);
}

std::uint16_t FrameLoop::header_violation(std::uint8_t first_byte) const noexcept {
  const std::uint8_t opcode = first_byte & 0x0F;
  // RSV1 marks a whole message compressed: only its first frame carries it.
  if (deflate_ && (first_byte & 0x40) != 0 && (opcode == 0 || opcode >= 8)) return kProtocolError;
  if (strict_ && (first_byte & 0x70 & ~owned_reserved_bits_) != 0) return kProtocolError;
  return 0;
}

std::uint16_t FrameLoop::control_violation(std::uint8_t opcode, std::string_view payload) const noexcept {
  if (opcode != 8) return strict_ ? kProtocolError : 0;
  if (strict_) {
    if (payload.size() == 1) return kProtocolError;
    if (payload.size() >= 2) {
      const unsigned code = (static_cast<std::uint8_t>(payload[0]) << 8) | static_cast<std::uint8_t>(payload[1]);
      // 1005, 1006 and 1015 only describe a closure locally; 1016-2999 are unassigned.
      const bool valid =
          (code >= 1000 && code <= 1003) || (code >= 1007 && code <= 1014) || (code >= 3000 && code <= 4999);
      if (!valid) return kProtocolError;
    }
  }
  if (utf8_fail_fast_ && payload.size() > 2 && !common::is_valid_utf8(payload.substr(2))) return kInvalidPayload;
  return 0;
}

bool FrameLoop::check_partial(std::string_view payload_so_far, MaskKey key, bool starts_message) {
  if (partial_checked_ == 0) partial_text_ = starts_message ? common::Utf8Validator{} : fragment_text_;
  // The key as it applies from byte partial_checked_ on; chunks are whole
  // multiples of 4, so it stays aligned after.
  MaskKey shifted;
  for (std::size_t i = 0; i < 4; ++i) shifted[i] = key[(i + partial_checked_) % 4];
  char chunk[1024];
  while (partial_checked_ < payload_so_far.size()) {
    std::size_t n = payload_so_far.size() - partial_checked_;
    if (n > sizeof chunk) n = sizeof chunk;
    unmask(payload_so_far.data() + partial_checked_, chunk, n, shifted);
    partial_checked_ += n;
    if (!partial_text_.feed({chunk, n})) return false;
  }
  return true;
}

std::uint16_t FrameLoop::inflate_frame(const char* payload, std::size_t length, MaskKey key, bool fin) {
  constexpr std::size_t kChunk = 8192;  // a multiple of 4: the key stays aligned
  common::Utf8Validator* text = fragment_opcode_ == 1 ? &fragment_text_ : nullptr;
  try {
    char chunk[kChunk];
    std::size_t done = 0;
    do {
      const std::size_t n = length - done < kChunk ? length - done : kChunk;
      unmask(payload + done, chunk, n, key);
      done += n;
      switch (inflater_.inflate({chunk, n}, fin && done == length, fragments_, 0,
                                static_cast<std::size_t>(max_message_size_), text)) {
        case Inflater::Status::ok:
          break;
        case Inflater::Status::too_big:
          return kMessageTooBig;
        case Inflater::Status::corrupt:
        case Inflater::Status::invalid_text:
          return kInvalidPayload;
      }
    } while (done < length);
  } catch (...) {
    // The stream has moved on and cannot be rewound: the connection is over.
    failed_ = true;
    throw;
  }
  if (fin && text != nullptr && !text->complete()) return kInvalidPayload;
  return 0;
}

bool FrameLoop::fits(std::uint8_t opcode, std::uint64_t payload_length, bool deflated) const noexcept {
  // Deflate may grow what it cannot compress, by a few bytes per stored
  // block; the bound itself applies after inflating.
  const std::uint64_t slack = deflated ? (max_message_size_ >> 10) + 64 : 0;
  if (payload_length > max_message_size_ + slack) return false;
  // A continuation adds to the message in progress; any other frame starts
  // its own (or is refused for other reasons once it is complete).
  // A compressed message is bounded after inflating instead.
  if (opcode == 0 && fragment_opcode_ != 0 && !compressed_)
    return payload_length <= max_message_size_ - fragments_.size();
  return true;
}

}  // namespace tessaryne::websocket
