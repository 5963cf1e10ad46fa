#include "binding/http/chunk_writer.hpp"

#include "binding/common/args.hpp"
#include "binding/common/values.hpp"
#include "core/http/chunk_writer.hpp"

namespace tessaryne::binding {
namespace {
constexpr Parameters<2> kFormatChunk{"FastHttpConnection.format_chunk()", {"chunk", "more_body"}};
}  // namespace

PyObject* format_chunk(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guard([&] {
    const auto bound = kFormatChunk.bind(args, nargsf, kwnames);
    const std::string_view chunk = to_bytes(bound[0], "chunk");
    const bool more_body = to_bool(bound[1], "more_body");
    const std::size_t size = http::chunk_size(chunk.size(), more_body);
    BytesToFill output = new_bytes_to_fill(size);
    http::write_chunk(chunk, more_body, output.data);
    return output.object.release();
  });
}

}  // namespace tessaryne::binding
