#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "shredder/value.h"

namespace arrow {
class RecordBatch;
}

namespace shredder {

/// Converts between a caller's record batch and documents. Immutable; owned by a Controller.
class DocumentCodec {
 public:
  virtual ~DocumentCodec() = default;
  /// Throws std::runtime_error when the batch cannot be read by this codec.
  virtual void ValidateInput(const std::shared_ptr<arrow::RecordBatch>& batch) const = 0;
  /// The document of row `row` of a validated batch.
  virtual Object ToDom(const std::shared_ptr<arrow::RecordBatch>& batch, std::int64_t row) const = 0;
  /// A new one-column batch (field "doc") holding the documents in order.
  virtual std::shared_ptr<arrow::RecordBatch> FromDom(const std::vector<Object>& documents) const = 0;
};

}  // namespace shredder
