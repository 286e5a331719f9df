#include "shredder/json_text_codec.h"
#include "shredder/error.h"

#include <arrow/api.h>
#include <arrow/array/validate.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "shredder/json_text.h"

namespace shredder {
namespace {

[[noreturn]] void ThrowStatus(const arrow::Status& status) {
  throw Error(status.IsCapacityError() ? ErrorCode::TooLarge : ErrorCode::BadBatch,
              "JsonTextCodec: " + status.ToString());
}

bool IsTextType(arrow::Type::type id) {
  return id == arrow::Type::STRING || id == arrow::Type::BINARY ||
         id == arrow::Type::LARGE_STRING || id == arrow::Type::LARGE_BINARY;
}

}  // namespace

JsonTextCodec::JsonTextCodec(std::unique_ptr<Serialization> serialization)
    : serialization_(std::move(serialization)),
      json_(dynamic_cast<const JsonSerialization*>(serialization_.get())) {}

void JsonTextCodec::ValidateInput(const std::shared_ptr<arrow::RecordBatch>& batch) const {
  if (!batch) throw Error(ErrorCode::BadBatch, "JsonTextCodec: null RecordBatch");
  if (batch->num_columns() != 1) {
    throw Error(ErrorCode::BadBatch,
                "JsonTextCodec: expected 1 column, got " + std::to_string(batch->num_columns()));
  }
  const auto& type = batch->column(0)->type();
  if (!IsTextType(type->id())) {
    throw Error(ErrorCode::BadBatch,
                "JsonTextCodec: expected string/binary column, got " + type->ToString());
  }
  // Every offset is checked, so no row reaches past the data buffer. The column is checked as
  // bytes: invalid UTF-8 is left to the parser, whose error names the line and column.
  arrow::ArrayData as_bytes = *batch->column(0)->data();
  as_bytes.type = arrow::is_large_binary_like(type->id()) ? arrow::large_binary()
                                                          : arrow::binary();
  const arrow::Status status = arrow::internal::ValidateArrayFull(as_bytes);
  if (!status.ok()) ThrowStatus(status);
}

namespace {

std::string_view RowText(const std::shared_ptr<arrow::RecordBatch>& batch, std::int64_t row) {
  // A batch that skipped validation, or a bad row index, is an error rather than a read
  // past the column's buffers.
  if (batch->num_columns() < 1) {
    throw Error(ErrorCode::BadBatch, "JsonTextCodec: expected 1 column, got 0");
  }
  const std::shared_ptr<arrow::Array>& column = batch->column(0);
  if (row < 0 || row >= column->length()) {
    throw Error(ErrorCode::BadArgument, "JsonTextCodec: row " + std::to_string(row) +
                                            " out of range for " +
                                            std::to_string(column->length()) + " rows");
  }
  if (column->IsNull(row)) {
    throw Error(ErrorCode::UnsupportedInput,
                "JsonTextCodec: null document at row " + std::to_string(row));
  }
  // The views point into the column's data buffer (the array's offset already applied);
  // the text is parsed where it lies.
  std::string_view text;
  switch (column->type_id()) {
    case arrow::Type::STRING:
    case arrow::Type::BINARY:
      text = static_cast<const arrow::BinaryArray&>(*column).GetView(row);
      break;
    case arrow::Type::LARGE_STRING:
    case arrow::Type::LARGE_BINARY:
      text = static_cast<const arrow::LargeBinaryArray&>(*column).GetView(row);
      break;
    default:
      throw Error(ErrorCode::BadBatch,
                  "JsonTextCodec: unsupported column type " + column->type()->ToString());
  }
  return text;
}

}  // namespace

Object JsonTextCodec::ToDom(const std::shared_ptr<arrow::RecordBatch>& batch,
                            std::int64_t row) const {
  return serialization_->ToDom(RowText(batch, row));
}

Object JsonTextCodec::ToDomWithLiterals(const std::shared_ptr<arrow::RecordBatch>& batch,
                                        std::int64_t row, IntegerLiterals& literals) const {
  if (json_ == nullptr) return DocumentCodec::ToDomWithLiterals(batch, row, literals);
  return json_->ToDomWithLiterals(RowText(batch, row), &literals);
}

std::shared_ptr<arrow::RecordBatch> JsonTextCodec::FromDomWithLiterals(
    const std::vector<Object>& documents, const std::vector<IntegerLiterals>& literals) const {
  return json_text::BuildDocBatch(*serialization_, documents, arrow::default_memory_pool(),
                                      &literals);
}

std::shared_ptr<arrow::RecordBatch> JsonTextCodec::FromDom(
    const std::vector<Object>& documents) const {
  return json_text::BuildDocBatch(*serialization_, documents, arrow::default_memory_pool());
}

namespace json_text {

namespace {

std::shared_ptr<arrow::RecordBatch> Finish(arrow::StringBuilder& builder) {
  std::shared_ptr<arrow::Array> array;
  if (auto status = builder.Finish(&array); !status.ok()) ThrowStatus(status);
  auto schema = arrow::schema({arrow::field("doc", arrow::utf8(), /*nullable=*/true)});
  const std::int64_t rows = array->length();
  return arrow::RecordBatch::Make(std::move(schema), rows, {std::move(array)});
}

void Reserve(arrow::StringBuilder& builder, std::size_t rows) {
  if (auto status = builder.Reserve(static_cast<std::int64_t>(rows)); !status.ok()) {
    ThrowStatus(status);
  }
}

}  // namespace

std::shared_ptr<arrow::RecordBatch> BuildDocBatch(const Serialization& serialization,
                                                  const std::vector<Object>& documents,
                                                  arrow::MemoryPool* pool,
                                                  const std::vector<IntegerLiterals>* literals) {
  arrow::StringBuilder builder(pool);
  Reserve(builder, documents.size());
  // The JSON serialization writes every document into one reused buffer; any other
  // serialization hands back a fresh string per document.
  const bool direct = dynamic_cast<const JsonSerialization*>(&serialization) != nullptr;
  std::string text;
  if (literals != nullptr && literals->size() != documents.size()) literals = nullptr;
  for (std::size_t i = 0; i < documents.size(); ++i) {
    const Object& document = documents[i];
    if (direct) {
      text.clear();
      if (literals != nullptr && !(*literals)[i].empty()) {
        AppendJsonText(document, (*literals)[i], text);
      } else {
        AppendJsonText(document, text);
      }
    } else {
      text = serialization.FromDom(document);
    }
    if (auto status = builder.Append(text); !status.ok()) ThrowStatus(status);
  }
  return Finish(builder);
}

bool WritesCompactJson(const DocumentCodec& codec) {
  const auto* json = dynamic_cast<const JsonTextCodec*>(&codec);
  return json != nullptr &&
         dynamic_cast<const JsonSerialization*>(json->serialization_.get()) != nullptr;
}

std::shared_ptr<arrow::RecordBatch> TextBatch(
    std::string_view text, const std::vector<std::pair<std::size_t, std::size_t>>& spans) {
  arrow::StringBuilder builder(arrow::default_memory_pool());
  Reserve(builder, spans.size());
  // Room for all bytes at once when they fit; past the column's limit the appends fail as
  // they would one document at a time.
  if (text.size() <= static_cast<std::size_t>(arrow::kBinaryMemoryLimit)) {
    if (auto status = builder.ReserveData(static_cast<std::int64_t>(text.size()));
        !status.ok()) {
      ThrowStatus(status);
    }
  }
  for (const auto& [begin, end] : spans) {
    if (auto status = builder.Append(text.substr(begin, end - begin)); !status.ok()) {
      ThrowStatus(status);
    }
  }
  return Finish(builder);
}

}  // namespace json_text
}  // namespace shredder
