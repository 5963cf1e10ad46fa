#pragma once
// The process-wide class objects of the module and its two functions. Each
// getter creates its class on first use and returns it borrowed, or null with
// an exception set.

#include "binding/common/python.hpp"

namespace tessaryne::binding {

PyObject* thread_pool_closed_error_type() noexcept;
PyTypeObject* atomic_metrics_type() noexcept;
PyTypeObject* native_worker_pool_type() noexcept;
PyTypeObject* channel_type() noexcept;
PyTypeObject* raw_async_channel_type() noexcept;
PyTypeObject* raw_async_wait_group_type() noexcept;
PyTypeObject* raw_async_rw_mutex_type() noexcept;
PyTypeObject* raw_async_semaphore_type() noexcept;
PyTypeObject* raw_async_queue_type() noexcept;
PyTypeObject* fast_http_parser_type() noexcept;
PyTypeObject* fast_http_connection_type() noexcept;
PyTypeObject* fast_websocket_parser_type() noexcept;
PyTypeObject* connection_driver_type() noexcept;
PyTypeObject* server_counters_type() noexcept;
PyTypeObject* access_log_format_type() noexcept;

extern PyMethodDef fast_websocket_unmask_def;
extern PyMethodDef fast_websocket_unmask_slice_def;
extern PyMethodDef negotiate_permessage_deflate_def;

}  // namespace tessaryne::binding
