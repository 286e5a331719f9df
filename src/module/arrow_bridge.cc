#include "module/arrow_bridge.h"
#include "shredder/error.h"

#include <stdexcept>
#include <string>

#include <arrow/python/pyarrow.h>
#include <arrow/record_batch.h>
#include <arrow/type.h>

namespace py = pybind11;

namespace shredder {

arrow::Result<std::shared_ptr<arrow::RecordBatch>> unwrap_record_batch(py::handle object,
                                                                       const char* name) {
  ARROW_ASSIGN_OR_RAISE(std::shared_ptr<arrow::RecordBatch> batch,
                        arrow::py::unwrap_batch(object.ptr()));
  if (batch == nullptr) {
    return arrow::Status::TypeError(name, " must be a pyarrow.RecordBatch");
  }
  return batch;
}

arrow::Result<std::shared_ptr<arrow::Schema>> unwrap_schema(py::handle object,
                                                            const char* name) {
  if (!arrow::py::is_schema(object.ptr())) {
    return arrow::Status::TypeError(name, " must be a pyarrow.Schema");
  }
  return arrow::py::unwrap_schema(object.ptr());
}

py::object to_pyarrow_batch(const std::shared_ptr<arrow::RecordBatch>& batch) {
  if (batch == nullptr) throw Error(ErrorCode::BadBatch, "null RecordBatch");
  // Looked up on every call rather than cached: no pyarrow object lives in static storage.
  py::object record_batch = py::module_::import("pyarrow").attr("RecordBatch");
  py::list arrays;
  py::list names;
  const arrow::Schema& schema = *batch->schema();
  for (int i = 0; i < batch->num_columns(); ++i) {
    PyObject* wrapped = arrow::py::wrap_array(batch->column(i));
    if (wrapped == nullptr) throw py::error_already_set();
    arrays.append(py::reinterpret_steal<py::object>(wrapped));
    const std::string& field_name = schema.field(i)->name();
    PyObject* name = PyUnicode_DecodeUTF8(field_name.data(),
                                          static_cast<Py_ssize_t>(field_name.size()), nullptr);
    if (name == nullptr) throw py::error_already_set();
    names.append(py::reinterpret_steal<py::object>(name));
  }
  bool described = false;
  for (const auto& field : schema.fields()) described = described || field->HasMetadata();
  if (!described) return record_batch.attr("from_arrays")(arrays, py::arg("names") = names);
  // The key lists that atoms columns carry travel in the schema.
  PyObject* wrapped_schema = arrow::py::wrap_schema(batch->schema());
  if (wrapped_schema == nullptr) throw py::error_already_set();
  return record_batch.attr("from_arrays")(
      arrays, py::arg("schema") = py::reinterpret_steal<py::object>(wrapped_schema));
}

}  // namespace shredder
