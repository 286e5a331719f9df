#pragma once

#include <memory>

#include "shredder/document_codec.h"
#include "shredder/serialization.h"

namespace shredder {

/// Codec for a batch holding one column of JSON text (utf8, binary, large utf8 or large
/// binary); writes documents back as a utf8 column "doc" of compact JSON.
class JsonTextCodec final : public DocumentCodec {
 public:
  explicit JsonTextCodec(std::unique_ptr<Serialization> serialization);

  void ValidateInput(const std::shared_ptr<arrow::RecordBatch>& batch) const override;
  Object ToDom(const std::shared_ptr<arrow::RecordBatch>& batch, std::int64_t row) const override;
  std::shared_ptr<arrow::RecordBatch> FromDom(const std::vector<Object>& documents) const override;

 private:
  std::unique_ptr<Serialization> serialization_;
};

}  // namespace shredder
