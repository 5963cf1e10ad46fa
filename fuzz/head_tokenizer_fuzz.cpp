// Tokenizes arbitrary bytes with every kernel and checks that they agree, and
// that a complete head is found again when only its own bytes are given.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "core/http/head_tokenizer.hpp"

using namespace tessaryne::http;
using tessaryne::common::KernelFamily;

namespace {

struct Run {
  HeadResult result;
  RequestHead head;
  std::array<HeaderLine, 64> slots;
};

void tokenize(std::string_view input, KernelFamily family, Run& run) {
  run.result = tokenize_head(input, run.slots, run.head, family);
}

// The process's own choice of family.
void tokenize(std::string_view input, Run& run) { run.result = tokenize_head(input, run.slots, run.head); }

void check_same(const Run& a, const Run& b) {
  if (a.result.status != b.result.status || a.result.error != b.result.error) std::abort();
  if (a.result.status != HeadStatus::complete) return;
  if (a.head.method != b.head.method || a.head.target != b.head.target || a.head.length != b.head.length ||
      a.head.minor_version != b.head.minor_version || a.head.header_count != b.head.header_count)
    std::abort();
  for (std::size_t i = 0; i < a.head.header_count; ++i)
    if (a.slots[i].name != b.slots[i].name || a.slots[i].value != b.slots[i].value) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  static Run reference, other;
  tokenize(input, KernelFamily::scalar, reference);
  for (const KernelFamily family : {KernelFamily::sse, KernelFamily::avx2}) {
    tokenize(input, family, other);
    check_same(reference, other);
  }
  tokenize(input, other);
  check_same(reference, other);
  if (reference.result.status == HeadStatus::complete) {
    tokenize(input.substr(0, reference.head.length), other);
    check_same(reference, other);
    // One byte less is never an error: heads are judged byte by byte.
    tokenize(input.substr(0, reference.head.length - 1), other);
    if (other.result.status != HeadStatus::partial) std::abort();
  }
  return 0;
}
