#pragma once
// AccessLogFormat: an access-log format compiled once, which the server's
// configuration checks and every loop's driver renders its lines with.

#include <memory>

#include "binding/common/python.hpp"
#include "core/server/access_log.hpp"

namespace tessaryne::binding {

// The format `object` holds; throws TypeError unless it is an AccessLogFormat.
std::shared_ptr<const server::AccessFormat> access_format_of(PyObject* object);

}  // namespace tessaryne::binding
