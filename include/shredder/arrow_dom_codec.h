#pragma once

#include "shredder/document_codec.h"

namespace shredder {

/// Codec for a batch holding one struct column; writes documents back as one struct
/// column "doc" whose type is merged across the documents.
class ArrowDomCodec final : public DocumentCodec {
 public:
  void ValidateInput(const std::shared_ptr<arrow::RecordBatch>& batch) const override;
  Object ToDom(const std::shared_ptr<arrow::RecordBatch>& batch, std::int64_t row) const override;
  std::shared_ptr<arrow::RecordBatch> FromDom(const std::vector<Object>& documents) const override;
};

}  // namespace shredder
