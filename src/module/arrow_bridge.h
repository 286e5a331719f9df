#pragma once

#include <memory>

#include <arrow/result.h>
#include <arrow/type_fwd.h>
#include <pybind11/pybind11.h>

namespace shredder {

/// The native batch behind a pyarrow.RecordBatch, sharing its buffers (nothing is copied).
/// Returns the bridge's error status for any other object, and a TypeError status
/// "<name> must be a pyarrow.RecordBatch" for a RecordBatch object that holds no batch.
arrow::Result<std::shared_ptr<arrow::RecordBatch>> unwrap_record_batch(pybind11::handle object,
                                                                       const char* name);

/// The native schema behind a pyarrow.Schema; a TypeError status "<name> must be a
/// pyarrow.Schema" for any other object.
arrow::Result<std::shared_ptr<arrow::Schema>> unwrap_schema(pybind11::handle object,
                                                            const char* name);

/// A new pyarrow.RecordBatch made by pyarrow.RecordBatch.from_arrays from the columns of
/// `batch` (wrapped without copying) and its field names; field nullability and metadata are
/// not carried over. Throws pybind11::error_already_set for any Python error on the way and
/// `Error` "null RecordBatch" when `batch` is empty.
pybind11::object to_pyarrow_batch(const std::shared_ptr<arrow::RecordBatch>& batch);

}  // namespace shredder
