#include "module/python_errors.h"

#include <cstdint>
#include <optional>
#include <string>

namespace py = pybind11;

namespace shredder {
namespace {

py::object decode_text(std::string_view text) {
  PyObject* decoded = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()),
                                           "backslashreplace");
  if (decoded == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(decoded);
}

void set_attribute(const py::object& error, const char* name, const py::object& value) {
  if (PyObject_SetAttrString(error.ptr(), name, value.ptr()) != 0) throw py::error_already_set();
}

// A ValueError carrying `text`, the attributes every ValueError of the module has, and
// `cause` (when given) as __cause__.
py::object value_error(std::string_view text, ErrorCode code, std::optional<std::int64_t> row,
                       std::string_view path, py::handle cause = py::handle()) {
  py::object message = decode_text(text);
  py::object error =
      py::reinterpret_steal<py::object>(PyObject_CallOneArg(PyExc_ValueError, message.ptr()));
  if (!error) throw py::error_already_set();
  if (cause) PyException_SetCause(error.ptr(), cause.inc_ref().ptr());  // steals the reference
  set_attribute(error, "code", py::str(std::string(ErrorCodeName(code))));
  set_attribute(error, "row", row ? py::object(py::int_(*row)) : py::object(py::none()));
  set_attribute(error, "path", path.empty() ? py::object(py::none()) : decode_text(path));
  return error;
}

[[noreturn]] void raise_object(const py::object& error) {
  PyErr_SetObject(PyExc_ValueError, error.ptr());
  throw py::error_already_set();
}

}  // namespace

std::string python_error_text(py::handle exception) {
  std::string text;
  try {
    text = py::str(py::type::handle_of(exception).attr("__name__")).cast<std::string>();
    std::string message = py::str(exception).cast<std::string>();
    if (!message.empty()) text += ": " + message;
  } catch (const py::error_already_set&) {
    // An exception whose text cannot be rendered is still reported by what is known.
    if (text.empty()) text = "unprintable Python exception";
  } catch (const py::cast_error&) {
    if (text.empty()) text = "unprintable Python exception";
  }
  return text;
}

py::object engine_error(const Error& error, std::string_view prefix) {
  std::string text(prefix);
  text += error.what();
  return value_error(text, error.code(), error.row(), error.path());
}

void raise_engine_error(const std::exception& error, std::string_view prefix) {
  if (const auto* known = dynamic_cast<const Error*>(&error)) {
    raise_object(engine_error(*known, prefix));
  }
  std::string text(prefix);
  text += error.what();
  raise_object(value_error(text, ErrorCode::Internal, std::nullopt, {}));
}

void raise_value_error(std::string_view text, ErrorCode code) {
  raise_object(value_error(text, code, std::nullopt, {}));
}

void raise_runtime_error(std::string_view text) {
  py::object message = decode_text(text);
  PyErr_SetObject(PyExc_RuntimeError, message.ptr());
  throw py::error_already_set();
}

void raise_value_error_from(py::error_already_set& cause, std::string_view prefix) {
  py::object original = cause.value();
  std::string text(prefix);
  text += python_error_text(original);
  raise_object(value_error(text, ErrorCode::BadBatch, std::nullopt, {}, original));
}

void raise_pyarrow_import_error(py::error_already_set& cause) {
  // Thrown as a plain ImportError: the binding library's import handling would otherwise
  // wrap a set Python error into a generic "initialization failed".
  throw py::import_error(
      "shredder_ext requires the pyarrow package, which could not be imported: " +
      python_error_text(cause.value()));
}

}  // namespace shredder
