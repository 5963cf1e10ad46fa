#pragma once
// Strict UTF-8 validation (RFC 3629): no overlong forms, no surrogates
// (U+D800..U+DFFF), nothing above U+10FFFF. Incremental, so a message that
// arrives in pieces is checked as it comes: a sequence cut between two pieces
// is fine while more may follow and invalid only at the end.

#include <cstdint>
#include <string_view>

namespace tessaryne::common {

class Utf8Validator {
 public:
  // Checks the next piece. Returns false once anything invalid has been seen;
  // from then on every call returns false until reset().
  bool feed(std::string_view piece) noexcept;
  // True when everything fed so far is valid and no sequence is left open.
  [[nodiscard]] bool complete() const noexcept { return !failed_ && need_ == 0; }
  [[nodiscard]] bool failed() const noexcept { return failed_; }
  void reset() noexcept { *this = Utf8Validator{}; }

 private:
  // Continuation bytes still owed by the open sequence, and the range the next
  // one must fall in (narrower than 80..BF right after E0, ED, F0 and F4).
  std::uint8_t need_ = 0;
  std::uint8_t low_ = 0x80;
  std::uint8_t high_ = 0xBF;
  bool failed_ = false;
};

bool is_valid_utf8(std::string_view text) noexcept;

}  // namespace tessaryne::common
