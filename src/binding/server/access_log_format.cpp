// AccessLogFormat(format=None, json=False): gunicorn's notation compiled, or
// the JSON line; a format that does not compile is a ValueError of one line.

#include "binding/server/access_log_format.hpp"

#include <string>
#include <utility>

#include "binding/classes.hpp"
#include "binding/common/args.hpp"
#include "binding/common/native_class.hpp"

namespace tessaryne::binding {
namespace {

struct FormatValue {
  std::shared_ptr<const server::AccessFormat> format;
};

constexpr Parameters<2> kFormatNew{"AccessLogFormat.__new__()", {"format", "json"}, 0};

PyObject* format_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard([&] {
    const auto [format_text, json_flag] = kFormatNew.bind(args, kwargs);
    const bool has_format = given(format_text);
    const std::string_view text = has_format ? to_text(format_text, "format") : std::string_view{};
    const bool json = json_flag != nullptr && to_bool(json_flag, "json");
    if (has_format == json) raise(PyExc_ValueError, "AccessLogFormat() takes either a format or json=True");
    std::optional<server::AccessFormat> format;
    if (json) {
      format = server::AccessFormat::json();
    } else {
      std::string error;
      format = server::AccessFormat::compile(text, error);
      if (!format) raise(PyExc_ValueError, error.c_str());
    }
    PyObject* self = new_native<FormatValue>(type);
    native<FormatValue>(self).format = std::make_shared<const server::AccessFormat>(std::move(*format));
    return self;
  });
}

PyType_Slot format_slots[] = {
    {Py_tp_doc, const_cast<char*>("AccessLogFormat(format=None, json=False)\n--\n\n"
                                  "An access-log format: gunicorn's atoms such as %(h)s and %({name}i)s, or with\n"
                                  "json=True one JSON object per line. ValueError for an unknown atom.")},
    {Py_tp_new, reinterpret_cast<void*>(format_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_native<FormatValue>)},
    {0, nullptr},
};

PyType_Spec format_spec = {"tessaryne._tessaryne_core.AccessLogFormat", sizeof(NativeObject<FormatValue>), 0,
                           kClassFlags, format_slots};

}  // namespace

PyTypeObject* access_log_format_type() noexcept {
  static ProcessOnce<PyObject> type;
  return reinterpret_cast<PyTypeObject*>(type.get([] { return create_class(&format_spec, ClassDoc::kept); }));
}

std::shared_ptr<const server::AccessFormat> access_format_of(PyObject* object) {
  PyTypeObject* type = access_log_format_type();
  if (type == nullptr) throw PythonError{};
  if (Py_TYPE(object) != type) raise_type_mismatch(object, "AccessLogFormat");
  return native<FormatValue>(object).format;
}

}  // namespace tessaryne::binding
