#pragma once

#include <memory>

#include "shredder/error.h"
#include "shredder/document_codec.h"
#include "shredder/serialization.h"

namespace shredder {

class JsonTextCodec;
namespace json_text {
bool WritesCompactJson(const DocumentCodec& codec);
}  // namespace json_text

/// Codec for a batch holding one column of JSON text (utf8, binary, large utf8 or large
/// binary); writes documents back as a utf8 column "doc" of compact JSON.
class JsonTextCodec final : public DocumentCodec {
 public:
  /// Takes ownership of the serialization that reads and writes each document's text.
  explicit JsonTextCodec(std::unique_ptr<Serialization> serialization);

  /// Throws `Error` "JsonTextCodec: null RecordBatch", "JsonTextCodec: expected 1
  /// column, got N" or "JsonTextCodec: expected string/binary column, got TYPE".
  void ValidateInput(const std::shared_ptr<arrow::RecordBatch>& batch) const override;
  /// Parses the cell of `row` in place (no copy). Throws `Error`
  /// "JsonTextCodec: null document at row N" or "JsonTextCodec: unsupported column type TYPE",
  /// `Error` for a row outside the batch, and the serialization's JsonParseError.
  Object ToDom(const std::shared_ptr<arrow::RecordBatch>& batch, std::int64_t row) const override;
  /// One utf8 row per document. Throws the serialization's "JSON emit failure: ..." and
  /// `Error` "JsonTextCodec: " + status text when the Arrow builder fails.
  std::shared_ptr<arrow::RecordBatch> FromDom(const std::vector<Object>& documents) const override;
  /// With the JSON serialization, the integers' texts are read and written; any other
  /// serialization reads and writes the documents alone.
  Object ToDomWithLiterals(const std::shared_ptr<arrow::RecordBatch>& batch, std::int64_t row,
                           IntegerLiterals& literals) const override;
  std::shared_ptr<arrow::RecordBatch> FromDomWithLiterals(
      const std::vector<Object>& documents,
      const std::vector<IntegerLiterals>& literals) const override;

 private:
  friend bool json_text::WritesCompactJson(const DocumentCodec& codec);
  std::unique_ptr<Serialization> serialization_;
  const JsonSerialization* json_;  // the serialization when it is JSON, else null
};

}  // namespace shredder
