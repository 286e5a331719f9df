#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "shredder/integer_literals.h"
#include "shredder/value.h"

namespace arrow {
class RecordBatch;
}

namespace shredder {

/// Converts between a caller's record batch and documents. Immutable; owned by a Controller.
class DocumentCodec {
 public:
  virtual ~DocumentCodec() = default;
  /// Throws `Error` when the batch cannot be read by this codec.
  virtual void ValidateInput(const std::shared_ptr<arrow::RecordBatch>& batch) const = 0;
  /// The document of row `row` of a validated batch.
  virtual Object ToDom(const std::shared_ptr<arrow::RecordBatch>& batch, std::int64_t row) const = 0;
  /// A new one-column batch (field "doc") holding the documents in order. An `Error` about
  /// one document that the others do not let in carries its index as `Error::row`.
  virtual std::shared_ptr<arrow::RecordBatch> FromDom(const std::vector<Object>& documents) const = 0;

  /// `ToDom`, and the original text of the integers of the row beyond the int64 range, which
  /// the document holds as the nearest double, in `literals` (replacing what it held). A
  /// codec that reads no such integers leaves it empty.
  virtual Object ToDomWithLiterals(const std::shared_ptr<arrow::RecordBatch>& batch,
                                   std::int64_t row, IntegerLiterals& literals) const {
    literals = IntegerLiterals();
    return ToDom(batch, row);
  }
  /// `FromDom`, writing at each place `literals[i]` names in document i the integer of that
  /// text instead of the value there. `literals` is empty or has one entry per document. A
  /// codec that cannot write such integers writes the values.
  virtual std::shared_ptr<arrow::RecordBatch> FromDomWithLiterals(
      const std::vector<Object>& documents, const std::vector<IntegerLiterals>& literals) const {
    (void)literals;
    return FromDom(documents);
  }
};

}  // namespace shredder
