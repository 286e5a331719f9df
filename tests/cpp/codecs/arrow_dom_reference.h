#pragma once

// The Arrow codec's first reader, kept as the reference its readers compiled per column are
// compared with: it reads every cell through Arrow's own array accessors (the field accessor
// of a struct, the offsets and values of a list, each typed array's Value and GetView), one
// cell at a time, dispatching on the type at every cell.

#include <arrow/array.h>
#include <arrow/type.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>

#include "shredder/value.h"

namespace shredder::reference_arrow {

[[noreturn]] inline void ThrowUnsupported(const arrow::Array& array) {
  throw std::runtime_error("ArrowDomCodec: unsupported Arrow type: " +
                           array.type()->ToString());
}

[[noreturn]] inline void ThrowTooDeep() {
  throw std::runtime_error("ArrowDomCodec: nesting depth exceeds " +
                           std::to_string(kMaxNestingDepth));
}

inline void ReadCell(const arrow::Array& array, std::int64_t i, int depth, Value& out);

inline void ReadScalar(const arrow::Array& array, std::int64_t i, Value& out) {
  switch (array.type_id()) {
    case arrow::Type::BOOL:
      out.data.emplace<bool>(static_cast<const arrow::BooleanArray&>(array).Value(i));
      return;
    case arrow::Type::INT8:
      out.data.emplace<std::int64_t>(static_cast<const arrow::Int8Array&>(array).Value(i));
      return;
    case arrow::Type::INT16:
      out.data.emplace<std::int64_t>(static_cast<const arrow::Int16Array&>(array).Value(i));
      return;
    case arrow::Type::INT32:
      out.data.emplace<std::int64_t>(static_cast<const arrow::Int32Array&>(array).Value(i));
      return;
    case arrow::Type::INT64:
      out.data.emplace<std::int64_t>(static_cast<const arrow::Int64Array&>(array).Value(i));
      return;
    case arrow::Type::UINT8:
      out.data.emplace<std::int64_t>(static_cast<const arrow::UInt8Array&>(array).Value(i));
      return;
    case arrow::Type::UINT16:
      out.data.emplace<std::int64_t>(static_cast<const arrow::UInt16Array&>(array).Value(i));
      return;
    case arrow::Type::UINT32:
      out.data.emplace<std::int64_t>(static_cast<const arrow::UInt32Array&>(array).Value(i));
      return;
    case arrow::Type::UINT64: {
      const std::uint64_t value = static_cast<const arrow::UInt64Array&>(array).Value(i);
      if (value > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        out.data.emplace<double>(static_cast<double>(value));
      } else {
        out.data.emplace<std::int64_t>(static_cast<std::int64_t>(value));
      }
      return;
    }
    case arrow::Type::FLOAT:
      out.data.emplace<double>(static_cast<const arrow::FloatArray&>(array).Value(i));
      return;
    case arrow::Type::DOUBLE:
      out.data.emplace<double>(static_cast<const arrow::DoubleArray&>(array).Value(i));
      return;
    case arrow::Type::STRING:
      out.data.emplace<std::string>(static_cast<const arrow::StringArray&>(array).GetView(i));
      return;
    case arrow::Type::LARGE_STRING:
      out.data.emplace<std::string>(
          static_cast<const arrow::LargeStringArray&>(array).GetView(i));
      return;
    default:
      ThrowUnsupported(array);
  }
}

template <typename ListArrayType>
void ReadList(const arrow::Array& array, std::int64_t i, int depth, Value& out) {
  if (depth > kMaxNestingDepth) ThrowTooDeep();
  const auto& list = static_cast<const ListArrayType&>(array);
  const std::int64_t begin = list.value_offset(i);
  const std::int64_t end = list.value_offset(i + 1);
  const arrow::Array& values = *list.values();
  Array& elements = out.data.emplace<Array>(static_cast<std::size_t>(end - begin));
  for (std::int64_t k = begin; k < end; ++k) {
    ReadCell(values, k, depth + 1, elements[static_cast<std::size_t>(k - begin)]);
  }
}

inline void ReadStruct(const arrow::Array& array, std::int64_t i, int depth, Value& out) {
  if (depth > kMaxNestingDepth) ThrowTooDeep();
  const auto& structs = static_cast<const arrow::StructArray&>(array);
  const arrow::StructType& type = *structs.struct_type();
  Object& members = out.data.emplace<Object>();
  for (int k = 0; k < type.num_fields(); ++k) {
    const std::shared_ptr<arrow::Array> child = structs.field(k);
    auto [member, inserted] = members.try_emplace(type.field(k)->name());
    if (inserted) {
      ReadCell(*child, i, depth + 1, member->second);
    } else {
      Value dropped;  // a later field of a taken name is read, so that it fails alike
      ReadCell(*child, i, depth + 1, dropped);
    }
  }
}

inline void ReadCell(const arrow::Array& array, std::int64_t i, int depth, Value& out) {
  if (array.IsNull(i)) return;
  switch (array.type_id()) {
    case arrow::Type::LIST:
      ReadList<arrow::ListArray>(array, i, depth, out);
      return;
    case arrow::Type::LARGE_LIST:
      ReadList<arrow::LargeListArray>(array, i, depth, out);
      return;
    case arrow::Type::STRUCT:
      ReadStruct(array, i, depth, out);
      return;
    case arrow::Type::NA:
      return;
    default:
      ReadScalar(array, i, out);
  }
}

/// The document of row `row` of a one-struct-column batch, or the codec's failure.
inline Object ToDom(const arrow::RecordBatch& batch, std::int64_t row) {
  const std::shared_ptr<arrow::Array> column = batch.column(0);
  if (column->type_id() != arrow::Type::STRUCT || column->IsNull(row)) {
    throw std::runtime_error("ArrowDomCodec: root value must be an Object (Struct in Arrow)");
  }
  Value root;
  ReadCell(*column, row, 1, root);
  return std::move(std::get<Object>(root.data));
}

}  // namespace shredder::reference_arrow
