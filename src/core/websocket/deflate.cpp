#include "core/websocket/deflate.hpp"

#include <zlib.h>

#include <cstring>
#include <new>

#include "core/websocket/fragment_buffer.hpp"

namespace tessaryne::websocket {

namespace {

// Output made per inflate call: the bound on how far past the limit a bomb
// can get before it is stopped, and the grain of the UTF-8 check.
constexpr std::size_t kInflateStep = 16 << 10;
// Ends every deflated message under SYNC_FLUSH; the sender strips it and the
// receiver puts it back.
constexpr char kTail[4] = {0, 0, static_cast<char>(0xFF), static_cast<char>(0xFF)};

// zlib's allocator, counting what each stream holds. The size is kept in
// front of each block (16 bytes keep the block's alignment).
constexpr std::size_t kPrefix = 16;

voidpf counted_alloc(voidpf opaque, uInt items, uInt size) {
  const std::size_t bytes = std::size_t{items} * size;
  auto* block = static_cast<char*>(::operator new(bytes + kPrefix, std::nothrow));
  if (block == nullptr) return Z_NULL;
  std::memcpy(block, &bytes, sizeof bytes);
  static_cast<ZlibMemory*>(opaque)->held += bytes;
  return block + kPrefix;
}

void counted_free(voidpf opaque, voidpf address) {
  char* block = static_cast<char*>(address) - kPrefix;
  std::size_t bytes = 0;
  std::memcpy(&bytes, block, sizeof bytes);
  static_cast<ZlibMemory*>(opaque)->held -= bytes;
  ::operator delete(block);
}

}  // namespace

ZStream::ZStream() noexcept = default;
ZStream::ZStream(ZStream&& other) noexcept = default;
ZStream& ZStream::operator=(ZStream&& other) noexcept {
  if (this != &other) {
    release();
    stream_ = std::move(other.stream_);
    memory_ = std::move(other.memory_);
    deflating_ = other.deflating_;
  }
  return *this;
}
ZStream::~ZStream() { release(); }

void ZStream::release() noexcept {
  if (!stream_) return;
  if (deflating_) {
    deflateEnd(stream_.get());
  } else {
    inflateEnd(stream_.get());
  }
  stream_.reset();
}

std::unique_ptr<z_stream_s> ZStream::counted_stream() {
  if (!memory_) memory_ = std::make_unique<ZlibMemory>();
  auto stream = std::make_unique<z_stream_s>();
  stream->zalloc = counted_alloc;
  stream->zfree = counted_free;
  stream->opaque = memory_.get();
  return stream;
}

z_stream_s& ZStream::start_inflate(int window_bits) {
  if (stream_) return *stream_;
  auto stream = counted_stream();
  // A peer whose zlib was asked for 8 bits writes with 9 (zlib has no 8-bit
  // raw deflate): reading with 9 accepts both, for 256 bytes more.
  if (inflateInit2(stream.get(), -(window_bits < 9 ? 9 : window_bits)) != Z_OK) throw std::bad_alloc();
  stream_ = std::move(stream);
  deflating_ = false;
  return *stream_;
}

z_stream_s& ZStream::start_deflate(int window_bits) {
  if (stream_) return *stream_;
  auto stream = counted_stream();
  // The hash tables (2^(memLevel+9) bytes) shrink with the window: a server
  // that agrees to a small window does so to save memory.
  const int mem_level = window_bits - 7 < 1 ? 1 : window_bits - 7;
  if (deflateInit2(stream.get(), Z_DEFAULT_COMPRESSION, Z_DEFLATED, -window_bits, mem_level, Z_DEFAULT_STRATEGY) !=
      Z_OK)
    throw std::bad_alloc();
  stream_ = std::move(stream);
  deflating_ = true;
  return *stream_;
}

Inflater::Status Inflater::inflate(std::string_view payload, bool last, FragmentBuffer& out, std::size_t message_start,
                                   std::size_t limit, common::Utf8Validator* text) {
  start_inflate(window_bits_);
  Status status = run(payload, out, message_start, limit, text);
  if (status == Status::ok && last) status = run({kTail, sizeof kTail}, out, message_start, limit, text);
  return status;
}

Inflater::Status Inflater::run(std::string_view input, FragmentBuffer& out, std::size_t message_start,
                               std::size_t limit, common::Utf8Validator* text) {
  z_stream_s& stream = *stream_;
  // zlib does not write through next_in; its interface is just not const.
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data()));
  stream.avail_in = static_cast<uInt>(input.size());
  const std::size_t ceiling = message_start + limit;
  for (;;) {
    if (stream_ended_) return stream.avail_in == 0 ? Status::ok : Status::corrupt;
    const std::size_t produced = out.size() - message_start;
    // One byte more than the limit allows is enough to see it passed.
    std::size_t room = limit - produced + 1;
    if (room > kInflateStep) room = kInflateStep;
    const std::size_t before = out.size();
    char* step = out.grow_by(room, ceiling + 1);
    stream.next_out = reinterpret_cast<Bytef*>(step);
    stream.avail_out = static_cast<uInt>(room);
    const int rc = ::inflate(&stream, Z_SYNC_FLUSH);
    const std::size_t made = room - stream.avail_out;
    out.shrink_to(before + made);
    if (rc == Z_MEM_ERROR) throw std::bad_alloc();
    if (rc == Z_NEED_DICT || rc == Z_DATA_ERROR || rc == Z_STREAM_ERROR) return Status::corrupt;
    if (out.size() - message_start > limit) return Status::too_big;
    if (text != nullptr && !text->feed({step, made})) return Status::invalid_text;
    if (rc == Z_STREAM_END) stream_ended_ = true;
    // Done once the input is used up and the output had room to spare.
    if (stream.avail_in == 0 && stream.avail_out != 0) return Status::ok;
    if (rc == Z_BUF_ERROR && made == 0) return Status::ok;
  }
}

void Inflater::end_message() noexcept {
  // A sender that ended its stream (BFINAL) starts a new one with the next message.
  if (reset_each_message_) {
    release();
  } else if (stream_ended_ && stream_) {
    inflateReset(stream_.get());
  }
  stream_ended_ = false;
}

Deflater::~Deflater() = default;

std::string_view Deflater::compress(std::string_view message) {
  z_stream_s& stream = start_deflate(window_bits_);
  if (!out_) out_ = std::make_unique<FragmentBuffer>();
  FragmentBuffer& out = *out_;
  out.clear();
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(message.data()));
  stream.avail_in = static_cast<uInt>(message.size());
  // deflateBound covers the data; the flush adds its empty block.
  std::size_t room = deflateBound(&stream, static_cast<uLong>(message.size())) + 16;
  for (;;) {
    const std::size_t before = out.size();
    char* step = out.grow_by(room);
    stream.next_out = reinterpret_cast<Bytef*>(step);
    stream.avail_out = static_cast<uInt>(room);
    const int rc = deflate(&stream, Z_SYNC_FLUSH);
    out.shrink_to(before + room - stream.avail_out);
    if (rc == Z_MEM_ERROR) throw std::bad_alloc();
    if (stream.avail_in == 0 && stream.avail_out != 0) break;
    room = 4096;
  }
  if (reset_each_message_) release();
  std::string_view payload = out.view();
  // SYNC_FLUSH always ends with the empty stored block 00 00 FF FF.
  if (payload.size() >= 4) payload.remove_suffix(4);
  return payload;
}

}  // namespace tessaryne::websocket
