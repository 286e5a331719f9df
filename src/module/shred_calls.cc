#include "module/shred_calls.h"

#include <cstdint>
#include <cstdio>
#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <arrow/array/array_binary.h>
#include <arrow/python/pyarrow.h>
#include <arrow/record_batch.h>
#include <arrow/status.h>
#include <arrow/type.h>

#include "module/arrow_bridge.h"
#include "module/python_errors.h"

namespace py = pybind11;

namespace shredder {
namespace {

// A str is looked up by its UTF-8 bytes. A str that has no UTF-8 form (lone surrogates) can
// name no field, since field names coming from pyarrow are UTF-8, so it is reported as not
// found, with its unencodable code points escaped.
arrow::Result<int> select_by_name(const arrow::Schema& schema, py::handle column) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(column.ptr(), &size);
  if (utf8 == nullptr) {
    PyErr_Clear();
    py::object escaped = py::reinterpret_steal<py::object>(
        PyUnicode_AsEncodedString(column.ptr(), "utf-8", "backslashreplace"));
    if (!escaped) throw py::error_already_set();
    return arrow::Status::KeyError("column name not found: ",
                                   py::bytes(escaped).cast<std::string>());
  }
  const std::string name(utf8, static_cast<std::size_t>(size));
  const int index = schema.GetFieldIndex(name);
  if (index < 0) return arrow::Status::KeyError("column name not found: ", name);
  return index;
}

arrow::Result<int> select_column(const arrow::Schema& schema, py::handle column) {
  if (column.is_none()) return 0;
  if (PyLong_Check(column.ptr())) {
    std::int32_t index = 0;
    try {
      index = py::cast<std::int32_t>(column);
    } catch (const py::cast_error& error) {
      // Out of the 32-bit range: the binding library's cast error, as RuntimeError.
      raise_runtime_error(error.what());
    }
    if (index < 0 || index >= schema.num_fields()) {
      return arrow::Status::IndexError("column index out of range: ", index);
    }
    return index;
  }
  if (PyUnicode_Check(column.ptr())) return select_by_name(schema, column);
  return arrow::Status::TypeError("column must be None, int, or str");
}

// The pipeline input: the selected column alone, under the caller's own field, sharing the
// caller's buffers.
arrow::Result<std::shared_ptr<arrow::RecordBatch>> select_input(py::handle rb,
                                                                py::handle column) {
  ARROW_ASSIGN_OR_RAISE(std::shared_ptr<arrow::RecordBatch> batch,
                        unwrap_record_batch(rb, "rb"));
  if (batch->num_columns() < 1) return arrow::Status::Invalid("RecordBatch has no columns");
  ARROW_ASSIGN_OR_RAISE(const int index, select_column(*batch->schema(), column));
  return arrow::RecordBatch::Make(arrow::schema({batch->schema()->field(index)}),
                                  batch->num_rows(), {batch->column(index)});
}

py::list refusal_list(const std::vector<Error>& refused, std::string_view prefix) {
  py::list errors;
  for (const Error& error : refused) errors.append(engine_error(error, prefix));
  return errors;
}

void write_schema(const arrow::RecordBatch& atoms) {
  std::string text = "[shredder_ext] shred output schema:\n";
  text += atoms.schema()->ToString(/*show_metadata=*/false);
  text += '\n';
  // The process's own standard error, not Python's sys.stderr.
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

}  // namespace

py::object shred_arrow(ControllerHandle& handle, const py::object& rb, const py::object& column,
                       bool debug, bool skip) {
  arrow::Result<std::shared_ptr<arrow::RecordBatch>> input = select_input(rb, column);
  if (!input.ok()) raise_value_error(input.status().ToString(), ErrorCode::BadBatch);
  handle.tagger->set_debug(debug);
  constexpr std::string_view kPrefix = "shred failed: ";
  try {
    std::vector<Error> refused;
    std::shared_ptr<arrow::RecordBatch> atoms = skip ? handle.controller->shred(*input, refused)
                                                     : handle.controller->shred(*input);
    if (debug && atoms != nullptr) write_schema(*atoms);
    py::object batch = to_pyarrow_batch(atoms);
    if (!skip) return batch;
    return py::make_tuple(batch, refusal_list(refused, kPrefix));
  } catch (py::error_already_set& error) {
    raise_value_error_from(error, kPrefix);
  } catch (const std::exception& error) {
    raise_engine_error(error, kPrefix);
  }
}

py::object digest_arrow(ControllerHandle& handle, const py::object& rb,
                        const py::object& column) {
  arrow::Result<std::shared_ptr<arrow::RecordBatch>> input = select_input(rb, column);
  if (!input.ok()) raise_value_error(input.status().ToString(), ErrorCode::BadBatch);
  // A refused document is a row of the result; what is raised concerns the batch itself.
  constexpr std::string_view kPrefix = "digest failed: ";
  try {
    return to_pyarrow_batch(handle.controller->digest(*input));
  } catch (py::error_already_set& error) {
    raise_value_error_from(error, kPrefix);
  } catch (const std::exception& error) {
    raise_engine_error(error, kPrefix);
  }
}

py::object unshred_arrow(ControllerHandle& handle, const py::object& atoms_rb, bool stamps,
                         bool skip) {
  arrow::Result<std::shared_ptr<arrow::RecordBatch>> atoms =
      unwrap_record_batch(atoms_rb, "atoms_rb");
  if (!atoms.ok()) raise_value_error(atoms.status().ToString(), ErrorCode::BadBatch);
  constexpr std::string_view kPrefix = "unshred failed: ";
  try {
    std::vector<Error> refused;
    py::object batch = to_pyarrow_batch(handle.controller->unshred(
        *atoms, Controller::UnshredOptions{stamps}, skip ? &refused : nullptr));
    if (!skip) return batch;
    return py::make_tuple(batch, refusal_list(refused, kPrefix));
  } catch (py::error_already_set& error) {
    raise_value_error_from(error, kPrefix);
  } catch (const std::exception& error) {
    raise_engine_error(error, kPrefix);
  }
}

}  // namespace shredder
