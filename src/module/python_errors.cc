#include "module/python_errors.h"

namespace py = pybind11;

namespace shredder {
namespace {

py::object decode_text(std::string_view text) {
  PyObject* decoded = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()),
                                           "backslashreplace");
  if (decoded == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(decoded);
}

[[noreturn]] void raise(PyObject* type, std::string_view text) {
  py::object message = decode_text(text);
  PyErr_SetObject(type, message.ptr());
  throw py::error_already_set();
}

// Builds an exception of `type` carrying `text` and chains `cause` to it as __cause__.
[[noreturn]] void raise_chained(PyObject* type, std::string_view text, py::handle cause) {
  py::object message = decode_text(text);
  PyObject* error = PyObject_CallOneArg(type, message.ptr());
  if (error == nullptr) throw py::error_already_set();
  PyException_SetCause(error, cause.inc_ref().ptr());  // steals the new reference
  PyErr_SetObject(type, error);
  Py_DECREF(error);
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

void raise_value_error(std::string_view text) { raise(PyExc_ValueError, text); }

void raise_runtime_error(std::string_view text) { raise(PyExc_RuntimeError, text); }

void raise_value_error_from(py::error_already_set& cause, std::string_view prefix) {
  py::object original = cause.value();
  std::string text(prefix);
  text += python_error_text(original);
  raise_chained(PyExc_ValueError, text, original);
}

void raise_pyarrow_import_error(py::error_already_set& cause) {
  // Thrown as a plain ImportError: the binding library's import handling would otherwise
  // wrap a set Python error into a generic "initialization failed".
  throw py::import_error(
      "shredder_ext requires the pyarrow package, which could not be imported: " +
      python_error_text(cause.value()));
}

}  // namespace shredder
