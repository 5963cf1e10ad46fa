#include "binding/http/response.hpp"

#include <cstddef>
#include <utility>

#include "binding/common/args.hpp"
#include "binding/common/values.hpp"
#include "binding/http/header_walk.hpp"
#include "core/common/small_vector.hpp"
#include "core/http/response_serializer.hpp"

namespace tessaryne::binding {

PyObject* format_response(std::uint16_t status, PyObject* const* rest) {
  http::ResponseParts parts;
  parts.status = status;
  parts.server_line = to_bytes(rest[0], "server_header");
  parts.date_line = to_bytes(rest[1], "date_header");
  PyObject* headers = rest[2];
  parts.body = to_bytes(rest[3], "body");
  parts.more_body = to_bool(rest[4], "more_body");
  parts.no_body_status = to_bool(rest[5], "is_no_body_status");
  parts.keep_alive = to_bool(rest[6], "keep_alive");

  http::ResponseSerializer serializer(parts);
  HeaderWalk<http::ResponseSerializer> walk(serializer);
  walk.walk(headers);

  const std::size_t size = serializer.prepare();
  BytesToFill output = new_bytes_to_fill(size);
  serializer.write(output.data);
  return new_tuple(std::move(output.object), new_bool(serializer.chunked()), new_bool(serializer.keep_alive()))
      .release();
}

}  // namespace tessaryne::binding
