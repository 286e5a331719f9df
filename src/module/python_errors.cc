#include "module/python_errors.h"

#include <cstdint>
#include <optional>
#include <string>

#include "shredder/controller.h"

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

// The row attribute of a failed shred: the failing row of the batch, or none for the batch.
struct RowAttribute {
  std::optional<std::int64_t> row;
};

// Builds an exception of `type` carrying `text`, chains `cause` (when given) to it as
// __cause__, sets the attribute `row` (when given) and raises it.
[[noreturn]] void raise_built(PyObject* type, std::string_view text, py::handle cause,
                              const std::optional<RowAttribute>& row) {
  py::object message = decode_text(text);
  py::object error = py::reinterpret_steal<py::object>(PyObject_CallOneArg(type, message.ptr()));
  if (!error) throw py::error_already_set();
  if (cause) PyException_SetCause(error.ptr(), cause.inc_ref().ptr());  // steals the reference
  if (row) {
    py::object value = row->row ? py::object(py::int_(*row->row)) : py::object(py::none());
    if (PyObject_SetAttrString(error.ptr(), "row", value.ptr()) != 0) {
      throw py::error_already_set();
    }
  }
  PyErr_SetObject(type, error.ptr());
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

void raise_value_error_from(py::error_already_set& cause, std::string_view prefix,
                            bool batch_failure) {
  py::object original = cause.value();
  std::string text(prefix);
  text += python_error_text(original);
  raise_built(PyExc_ValueError, text, original,
              batch_failure ? std::optional<RowAttribute>(RowAttribute{}) : std::nullopt);
}

void raise_shred_error(const std::exception& error, std::string_view prefix) {
  std::string text(prefix);
  text += error.what();
  RowAttribute row;
  if (const auto* located = dynamic_cast<const RowError*>(&error)) row.row = located->row();
  raise_built(PyExc_ValueError, text, py::handle(), row);
}

void raise_batch_value_error(std::string_view text) {
  raise_built(PyExc_ValueError, text, py::handle(), RowAttribute{});
}

void raise_pyarrow_import_error(py::error_already_set& cause) {
  // Thrown as a plain ImportError: the binding library's import handling would otherwise
  // wrap a set Python error into a generic "initialization failed".
  throw py::import_error(
      "shredder_ext requires the pyarrow package, which could not be imported: " +
      python_error_text(cause.value()));
}

}  // namespace shredder
