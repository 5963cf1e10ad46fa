#pragma once
#include <cstdint>

#include "binding/common/python.hpp"

namespace tessaryne::binding {

// The shared body of both format_response methods. `rest` holds the seven bound
// arguments after the status: server_header, date_header, headers, body,
// more_body, is_no_body_status, keep_alive. Returns (response_bytes, is_chunked, keep_alive).
PyObject* format_response(std::uint16_t status, PyObject* const* rest);

}  // namespace tessaryne::binding
