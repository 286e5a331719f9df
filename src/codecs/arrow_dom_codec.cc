#include "shredder/arrow_dom_codec.h"
#include "shredder/error.h"

#include <arrow/array.h>
#include <arrow/builder.h>
#include <arrow/record_batch.h>
#include <arrow/type.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "codecs/arrow_dom_internal.h"
#include "codecs/arrow_dom_reader.h"

namespace shredder {
namespace arrow_dom {
namespace {

constexpr const char* kRootMessage =
    "ArrowDomCodec: root value must be an Object (Struct in Arrow)";

[[noreturn]] [[gnu::noinline]] void throw_status(const arrow::Status& status) {
  throw Error(status.IsCapacityError() ? ErrorCode::TooLarge : ErrorCode::BadBatch,
              "ArrowDomCodec: " + status.ToString());
}

}  // namespace

Value cell_to_value(const arrow::Array& array, std::int64_t i, int depth) {
  Value out;
  ArrayReader::Compile(array.data(), depth)->Read(i, out);
  return out;
}

}  // namespace arrow_dom

ArrowKindConflict::ArrowKindConflict(std::string have, std::string want)
    : Error(ErrorCode::Shape, std::string()), have_(std::move(have)), want_(std::move(want)) {
  compose();
}

void ArrowKindConflict::prepend_member(std::string_view key) {
  std::string path = "/";
  path.append(key).append(member_path_);
  member_path_ = std::move(path);
  compose();
}

void ArrowKindConflict::compose() {
  const std::string path = member_path_.empty() ? std::string("/") : member_path_;
  std::string message = "ArrowDomCodec: kind conflict at ";
  message.append(path)
      .append(": ")
      .append(have_)
      .append(" where other documents have ")
      .append(want_)
      .append("; a struct column holds one kind per member, use the JSON codec for these "
              "documents");
  set_message(std::move(message), path);
}

void ArrowDomCodec::ValidateInput(const std::shared_ptr<arrow::RecordBatch>& batch) const {
  if (!batch) throw Error(ErrorCode::BadBatch, "ArrowDomCodec: null RecordBatch");
  if (batch->num_columns() != 1) {
    throw Error(ErrorCode::BadBatch,
                "ArrowDomCodec: expected 1 column, got " + std::to_string(batch->num_columns()));
  }
  // Offsets, child lengths and UTF-8 are checked in full before any cell is read, so that a
  // malformed array is refused instead of read out of bounds.
  const arrow::Status status = batch->column(0)->ValidateFull();
  if (!status.ok()) arrow_dom::throw_status(status);
  // A column of another type fails every row alike: that is a failure of the batch, not of
  // its first row. (An empty batch of any type has no root to refuse.)
  if (batch->num_rows() > 0 && batch->column(0)->type_id() != arrow::Type::STRUCT) {
    throw Error(ErrorCode::BadBatch, arrow_dom::kRootMessage);
  }
}

ArrowDomCodec::ArrowDomCodec() = default;
ArrowDomCodec::~ArrowDomCodec() = default;

Object ArrowDomCodec::ToDom(const std::shared_ptr<arrow::RecordBatch>& batch,
                            std::int64_t row) const {
  const std::shared_ptr<arrow::ArrayData>& column = batch->column_data(0);
  if (row < 0 || row >= column->length) {
    throw Error(ErrorCode::BadArgument,
                "ArrowDomCodec::ToDom: row " + std::to_string(row) + " out of range");
  }
  if (column->type->id() != arrow::Type::STRUCT) {
    throw Error(ErrorCode::BadBatch, arrow_dom::kRootMessage);
  }
  // The rows of a batch come one call at a time: the readers are compiled for the first
  // and kept for the rest.
  std::shared_ptr<const arrow_dom::ArrayReader> reader = reader_.load();
  if (!reader || !reader->Reads(column)) {
    reader = arrow_dom::ArrayReader::Compile(column, 1);
    reader_.store(reader);
  }
  if (reader->IsNull(row)) throw Error(ErrorCode::UnsupportedInput, arrow_dom::kRootMessage);
  Value root;
  reader->Read(row, root);
  return std::move(std::get<Object>(root.data));
}

Object ArrowDomCodec::ToDomWithLiterals(const std::shared_ptr<arrow::RecordBatch>& batch,
                                        std::int64_t row, IntegerLiterals& literals) const {
  Object document = ToDom(batch, row);
  literals = arrow_dom::read_literals(*batch->column(0), row);
  return document;
}

std::shared_ptr<arrow::RecordBatch> ArrowDomCodec::FromDom(
    const std::vector<Object>& documents) const {
  return FromDomWithLiterals(documents, {});
}

std::shared_ptr<arrow::RecordBatch> ArrowDomCodec::FromDomWithLiterals(
    const std::vector<Object>& documents, const std::vector<IntegerLiterals>& literals) const {
  auto literals_of = [&](std::size_t i) -> const IntegerLiterals* {
    return literals.size() == documents.size() && !literals[i].empty() ? &literals[i] : nullptr;
  };
  if (documents.empty()) {
    return arrow::RecordBatch::Make(arrow::schema({arrow::field("doc", arrow::null())}), 0,
                                    {std::make_shared<arrow::NullArray>(0)});
  }
  arrow_dom::MergedType merged;
  for (std::size_t i = 0; i < documents.size(); ++i) merged.merge(documents[i], literals_of(i));
  const std::shared_ptr<arrow::DataType> type = merged.to_arrow();
  const auto& struct_type = static_cast<const arrow::StructType&>(*type);

  std::shared_ptr<arrow::ArrayBuilder> builder;
  arrow::Status status = arrow_dom::make_builder(type, &builder);
  if (!status.ok()) arrow_dom::throw_status(status);
  auto* structs = static_cast<arrow::StructBuilder*>(builder.get());
  status = structs->Reserve(static_cast<std::int64_t>(documents.size()));
  for (std::size_t i = 0; status.ok() && i < documents.size(); ++i) {
    try {
      status = arrow_dom::append_object(structs, struct_type, documents[i], literals_of(i));
    } catch (Error& error) {
      error.set_row(static_cast<std::int64_t>(i));  // the document the others refuse
      throw;
    }
  }
  if (!status.ok()) arrow_dom::throw_status(status);

  auto finished = builder->Finish();
  if (!finished.ok()) arrow_dom::throw_status(finished.status());
  return arrow::RecordBatch::Make(arrow::schema({arrow::field("doc", type)}),
                                  static_cast<std::int64_t>(documents.size()),
                                  {std::move(finished).ValueUnsafe()});
}

}  // namespace shredder
