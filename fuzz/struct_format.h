#pragma once

// The byte encoding of a batch of one nested column for the Arrow codec harness:
//   flags   u8: bit 0 lets the column's type be anything (else the root is a struct),
//               bit 1 slices the batch
//   type    tag u8 (TypeTag, modulo its count), then for a struct a field count u8 (modulo
//           kMaxFields) and per field a name (varint length + bytes) and its type; for a list
//           or large list the element type. Below kMaxTypeDepth levels every type is null.
//   rows    varint (at most kMaxStructRows)
//   values  per row, per value: a validity byte (even: null), then for a valid value: ints
//           as zig-zag varints (cut to their width), floats 4 and doubles 8 bytes, strings and
//           binary varint length + bytes, bool u8, a list its length varint (modulo
//           kMaxListLength) and its elements, a struct its fields' values in order
//   slice   (bit 1) offset varint, length varint, both clamped to the batch
// The null type reads nothing per value.

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "arrow/array.h"
#include "arrow/builder.h"
#include "arrow/record_batch.h"
#include "arrow/type.h"
#include "fuzz_support.h"

namespace shredder::fuzz {

enum class TypeTag : std::uint8_t {
  Null, Bool, Int8, Int16, Int32, Int64, UInt8, UInt16, UInt32, UInt64, Float, Double,
  Utf8, LargeUtf8, Binary, Date32, List, LargeList, Struct, Struct2
};
constexpr int kTypeTags = 20;
constexpr int kMaxFields = 9;
constexpr int kMaxTypeDepth = 600;  // beyond the documents' limit, so refusals are reached
constexpr std::uint64_t kMaxStructRows = 64;
constexpr std::uint64_t kMaxListLength = 9;
// Keeps a run short: values past this many are null (lists empty).
constexpr std::int64_t kMaxStructValues = 1 << 16;

namespace struct_detail {

inline std::shared_ptr<arrow::DataType> ReadType(ByteReader& in, int depth, bool force_struct) {
  auto tag = static_cast<TypeTag>(in.u8() % kTypeTags);
  if (force_struct) tag = TypeTag::Struct;
  if (depth >= kMaxTypeDepth) return arrow::null();
  switch (tag) {
    case TypeTag::Null: return arrow::null();
    case TypeTag::Bool: return arrow::boolean();
    case TypeTag::Int8: return arrow::int8();
    case TypeTag::Int16: return arrow::int16();
    case TypeTag::Int32: return arrow::int32();
    case TypeTag::Int64: return arrow::int64();
    case TypeTag::UInt8: return arrow::uint8();
    case TypeTag::UInt16: return arrow::uint16();
    case TypeTag::UInt32: return arrow::uint32();
    case TypeTag::UInt64: return arrow::uint64();
    case TypeTag::Float: return arrow::float32();
    case TypeTag::Double: return arrow::float64();
    case TypeTag::Utf8: return arrow::utf8();
    case TypeTag::LargeUtf8: return arrow::large_utf8();
    case TypeTag::Binary: return arrow::binary();
    case TypeTag::Date32: return arrow::date32();
    case TypeTag::List: return arrow::list(ReadType(in, depth + 1, false));
    case TypeTag::LargeList: return arrow::large_list(ReadType(in, depth + 1, false));
    case TypeTag::Struct:
    case TypeTag::Struct2: {
      const int count = in.u8() % kMaxFields;
      arrow::FieldVector fields;
      for (int k = 0; k < count; ++k) {
        std::string name(in.bytes());
        fields.push_back(arrow::field(std::move(name), ReadType(in, depth + 1, false)));
      }
      return arrow::struct_(std::move(fields));
    }
  }
  return arrow::null();
}

inline void Check(const arrow::Status& status) {
  if (!status.ok()) std::abort();
}

template <typename Builder, typename T>
void AppendInt(arrow::ArrayBuilder* builder, ByteReader& in) {
  Check(static_cast<Builder*>(builder)->Append(static_cast<T>(in.svarint())));
}

// Appends one value of `type` read from `in` (or a null once the budget is spent).
inline void AppendValue(arrow::ArrayBuilder* builder, const arrow::DataType& type, ByteReader& in,
                        std::int64_t& budget) {
  if (type.id() == arrow::Type::NA) {
    Check(builder->AppendNull());
    return;
  }
  if (budget <= 0 || (in.u8() & 1) == 0) {
    Check(builder->AppendNull());
    return;
  }
  --budget;
  switch (type.id()) {
    case arrow::Type::BOOL:
      Check(static_cast<arrow::BooleanBuilder*>(builder)->Append((in.u8() & 1) != 0));
      return;
    case arrow::Type::INT8: return AppendInt<arrow::Int8Builder, std::int8_t>(builder, in);
    case arrow::Type::INT16: return AppendInt<arrow::Int16Builder, std::int16_t>(builder, in);
    case arrow::Type::INT32: return AppendInt<arrow::Int32Builder, std::int32_t>(builder, in);
    case arrow::Type::INT64: return AppendInt<arrow::Int64Builder, std::int64_t>(builder, in);
    case arrow::Type::UINT8: return AppendInt<arrow::UInt8Builder, std::uint8_t>(builder, in);
    case arrow::Type::UINT16: return AppendInt<arrow::UInt16Builder, std::uint16_t>(builder, in);
    case arrow::Type::UINT32: return AppendInt<arrow::UInt32Builder, std::uint32_t>(builder, in);
    case arrow::Type::UINT64: return AppendInt<arrow::UInt64Builder, std::uint64_t>(builder, in);
    case arrow::Type::DATE32: return AppendInt<arrow::Date32Builder, std::int32_t>(builder, in);
    case arrow::Type::FLOAT:
      Check(static_cast<arrow::FloatBuilder*>(builder)->Append(in.fixed<float>()));
      return;
    case arrow::Type::DOUBLE:
      Check(static_cast<arrow::DoubleBuilder*>(builder)->Append(in.fixed<double>()));
      return;
    case arrow::Type::STRING:
      Check(static_cast<arrow::StringBuilder*>(builder)->Append(in.bytes()));
      return;
    case arrow::Type::LARGE_STRING:
      Check(static_cast<arrow::LargeStringBuilder*>(builder)->Append(in.bytes()));
      return;
    case arrow::Type::BINARY:
      Check(static_cast<arrow::BinaryBuilder*>(builder)->Append(in.bytes()));
      return;
    case arrow::Type::LIST:
    case arrow::Type::LARGE_LIST: {
      const std::uint64_t length = in.varint() % kMaxListLength;
      arrow::ArrayBuilder* values;
      std::shared_ptr<arrow::DataType> value_type;
      if (type.id() == arrow::Type::LIST) {
        auto* lists = static_cast<arrow::ListBuilder*>(builder);
        Check(lists->Append());
        values = lists->value_builder();
        value_type = static_cast<const arrow::ListType&>(type).value_type();
      } else {
        auto* lists = static_cast<arrow::LargeListBuilder*>(builder);
        Check(lists->Append());
        values = lists->value_builder();
        value_type = static_cast<const arrow::LargeListType&>(type).value_type();
      }
      for (std::uint64_t k = 0; k < length && budget > 0; ++k) {
        AppendValue(values, *value_type, in, budget);
      }
      return;
    }
    case arrow::Type::STRUCT: {
      auto* structs = static_cast<arrow::StructBuilder*>(builder);
      Check(structs->Append());
      for (int k = 0; k < type.num_fields(); ++k) {
        AppendValue(structs->field_builder(k), *type.field(k)->type(), in, budget);
      }
      return;
    }
    default:
      std::abort();
  }
}

}  // namespace struct_detail

/// The one-column batch ("doc") that the bytes describe.
inline std::shared_ptr<arrow::RecordBatch> DecodeStructBatch(const std::uint8_t* data,
                                                             std::size_t size) {
  ByteReader in(data, size);
  const std::uint8_t flags = in.u8();
  const std::shared_ptr<arrow::DataType> type =
      struct_detail::ReadType(in, 0, (flags & 1) == 0);
  const std::uint64_t rows = std::min(in.varint(), kMaxStructRows);
  std::unique_ptr<arrow::ArrayBuilder> builder;
  struct_detail::Check(arrow::MakeBuilder(arrow::default_memory_pool(), type, &builder));
  std::int64_t budget = kMaxStructValues;
  for (std::uint64_t r = 0; r < rows; ++r) {
    struct_detail::AppendValue(builder.get(), *type, in, budget);
  }
  std::shared_ptr<arrow::Array> array;
  struct_detail::Check(builder->Finish(&array));
  auto batch = arrow::RecordBatch::Make(arrow::schema({arrow::field("doc", type)}),
                                        static_cast<std::int64_t>(rows), {array});
  if ((flags & 2) != 0) {
    const std::uint64_t offset = in.varint() % (rows + 1);
    const std::uint64_t length = in.varint() % (rows - offset + 1);
    batch = batch->Slice(static_cast<std::int64_t>(offset), static_cast<std::int64_t>(length));
  }
  return batch;
}

namespace struct_detail {

inline bool WriteType(const arrow::DataType& type, ByteWriter& w) {
  switch (type.id()) {
    case arrow::Type::NA: w.u8(static_cast<std::uint8_t>(TypeTag::Null)); return true;
    case arrow::Type::BOOL: w.u8(static_cast<std::uint8_t>(TypeTag::Bool)); return true;
    case arrow::Type::INT64: w.u8(static_cast<std::uint8_t>(TypeTag::Int64)); return true;
    case arrow::Type::DOUBLE: w.u8(static_cast<std::uint8_t>(TypeTag::Double)); return true;
    case arrow::Type::STRING: w.u8(static_cast<std::uint8_t>(TypeTag::Utf8)); return true;
    case arrow::Type::LIST:
      w.u8(static_cast<std::uint8_t>(TypeTag::List));
      return WriteType(*static_cast<const arrow::ListType&>(type).value_type(), w);
    case arrow::Type::STRUCT:
      if (type.num_fields() >= kMaxFields) return false;
      w.u8(static_cast<std::uint8_t>(TypeTag::Struct));
      w.u8(static_cast<std::uint8_t>(type.num_fields()));
      for (const auto& field : type.fields()) {
        w.bytes(field->name());
        if (!WriteType(*field->type(), w)) return false;
      }
      return true;
    default:
      return false;
  }
}

inline bool WriteValue(const arrow::Array& array, std::int64_t i, ByteWriter& w) {
  if (array.type_id() == arrow::Type::NA) return true;
  if (array.IsNull(i)) {
    w.u8(0);
    return true;
  }
  w.u8(1);
  switch (array.type_id()) {
    case arrow::Type::BOOL:
      w.u8(static_cast<const arrow::BooleanArray&>(array).Value(i) ? 1 : 0);
      return true;
    case arrow::Type::INT64:
      w.svarint(static_cast<const arrow::Int64Array&>(array).Value(i));
      return true;
    case arrow::Type::DOUBLE:
      w.fixed(static_cast<const arrow::DoubleArray&>(array).Value(i));
      return true;
    case arrow::Type::STRING:
      w.bytes(static_cast<const arrow::StringArray&>(array).GetView(i));
      return true;
    case arrow::Type::LIST: {
      const auto& list = static_cast<const arrow::ListArray&>(array);
      const std::int64_t begin = list.value_offset(i);
      const std::int64_t end = list.value_offset(i + 1);
      if (static_cast<std::uint64_t>(end - begin) >= kMaxListLength) return false;
      w.varint(static_cast<std::uint64_t>(end - begin));
      for (std::int64_t k = begin; k < end; ++k) {
        if (!WriteValue(*list.values(), k, w)) return false;
      }
      return true;
    }
    case arrow::Type::STRUCT: {
      const auto& structs = static_cast<const arrow::StructArray&>(array);
      for (int k = 0; k < structs.num_fields(); ++k) {
        if (!WriteValue(*structs.field(k), i, w)) return false;
      }
      return true;
    }
    default:
      return false;
  }
}

}  // namespace struct_detail

/// The encoding of a one-column struct batch as the Arrow codec writes it; false when the
/// batch holds what the encoding cannot say (wide structs, long lists, other types).
inline bool EncodeStructBatch(const arrow::RecordBatch& batch, std::string* out) {
  if (batch.num_columns() != 1 || static_cast<std::uint64_t>(batch.num_rows()) > kMaxStructRows) {
    return false;
  }
  ByteWriter w;
  w.u8(0);
  if (!struct_detail::WriteType(*batch.column(0)->type(), w)) return false;
  w.varint(static_cast<std::uint64_t>(batch.num_rows()));
  for (std::int64_t r = 0; r < batch.num_rows(); ++r) {
    if (!struct_detail::WriteValue(*batch.column(0), r, w)) return false;
  }
  *out = w.str();
  return true;
}

}  // namespace shredder::fuzz
