#pragma once

// The byte encoding of an atoms table for the unshred harness:
//   flags     u8: bit 0 unshreds with the Arrow codec (else JSON), bit 1 slices the batch
//   columns   varint (at most kMaxAtomColumns), rows varint (at most kMaxAtomRows)
//   per column: type u8 (AtomType, modulo its count), name (varint length + bytes)
//   per column, per row (column by column): a validity byte (even: null) and, when valid,
//             the value: bool u8, int64/int32 zig-zag varint, double 8 bytes, strings and
//             binary varint length + bytes. A null-typed column reads nothing per row.
//   slice     (bit 1) offset varint, length varint, both clamped to the batch
// Names and cells are free bytes, so any name, type mix, index atom or length can appear.

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "arrow/array/array_base.h"
#include "arrow/array/array_binary.h"
#include "arrow/array/array_primitive.h"
#include "arrow/array/builder_binary.h"
#include "arrow/array/builder_primitive.h"
#include "arrow/record_batch.h"
#include "arrow/type.h"
#include "fuzz_support.h"

namespace shredder::fuzz {

enum class AtomType : std::uint8_t { Null, Bool, Int64, Double, Utf8, LargeUtf8, Int32, Binary };
constexpr int kAtomTypes = 8;
constexpr std::uint64_t kMaxAtomColumns = 4096;
constexpr std::uint64_t kMaxAtomRows = 4096;
// Keeps a run short: the table is cut to this many cells by dropping rows.
constexpr std::uint64_t kMaxAtomCells = 1 << 18;

struct AtomsInput {
  bool arrow_codec = false;
  std::shared_ptr<arrow::RecordBatch> batch;
};

namespace atoms_detail {

inline std::shared_ptr<arrow::DataType> TypeOf(AtomType type) {
  switch (type) {
    case AtomType::Null: return arrow::null();
    case AtomType::Bool: return arrow::boolean();
    case AtomType::Int64: return arrow::int64();
    case AtomType::Double: return arrow::float64();
    case AtomType::Utf8: return arrow::utf8();
    case AtomType::LargeUtf8: return arrow::large_utf8();
    case AtomType::Int32: return arrow::int32();
    case AtomType::Binary: return arrow::binary();
  }
  return arrow::null();
}

template <typename Builder, typename Read>
std::shared_ptr<arrow::Array> Build(ByteReader& in, std::int64_t rows, Read&& read) {
  Builder builder;
  for (std::int64_t r = 0; r < rows; ++r) {
    const bool valid = (in.u8() & 1) != 0;
    const arrow::Status status = valid ? builder.Append(read()) : builder.AppendNull();
    if (!status.ok()) std::abort();
  }
  std::shared_ptr<arrow::Array> array;
  if (!builder.Finish(&array).ok()) std::abort();
  return array;
}

inline std::shared_ptr<arrow::Array> ReadColumn(ByteReader& in, AtomType type,
                                                std::int64_t rows) {
  switch (type) {
    case AtomType::Null: return std::make_shared<arrow::NullArray>(rows);
    case AtomType::Bool:
      return Build<arrow::BooleanBuilder>(in, rows, [&] { return (in.u8() & 1) != 0; });
    case AtomType::Int64:
      return Build<arrow::Int64Builder>(in, rows, [&] { return in.svarint(); });
    case AtomType::Double:
      return Build<arrow::DoubleBuilder>(in, rows, [&] { return in.fixed<double>(); });
    case AtomType::Utf8:
      return Build<arrow::StringBuilder>(in, rows, [&] { return in.bytes(); });
    case AtomType::LargeUtf8:
      return Build<arrow::LargeStringBuilder>(in, rows, [&] { return in.bytes(); });
    case AtomType::Int32:
      return Build<arrow::Int32Builder>(in, rows,
                                        [&] { return static_cast<std::int32_t>(in.svarint()); });
    case AtomType::Binary:
      return Build<arrow::BinaryBuilder>(in, rows, [&] { return in.bytes(); });
  }
  return nullptr;
}

inline bool AtomTypeOf(const arrow::DataType& type, AtomType* out) {
  switch (type.id()) {
    case arrow::Type::NA: *out = AtomType::Null; return true;
    case arrow::Type::BOOL: *out = AtomType::Bool; return true;
    case arrow::Type::INT64: *out = AtomType::Int64; return true;
    case arrow::Type::DOUBLE: *out = AtomType::Double; return true;
    case arrow::Type::STRING: *out = AtomType::Utf8; return true;
    case arrow::Type::LARGE_STRING: *out = AtomType::LargeUtf8; return true;
    case arrow::Type::INT32: *out = AtomType::Int32; return true;
    case arrow::Type::BINARY: *out = AtomType::Binary; return true;
    default: return false;
  }
}

}  // namespace atoms_detail

inline AtomsInput DecodeAtoms(const std::uint8_t* data, std::size_t size) {
  ByteReader in(data, size);
  AtomsInput input;
  const std::uint8_t flags = in.u8();
  input.arrow_codec = (flags & 1) != 0;
  const std::uint64_t columns = std::min(in.varint(), kMaxAtomColumns);
  std::uint64_t rows = std::min(in.varint(), kMaxAtomRows);
  if (columns != 0) rows = std::min(rows, kMaxAtomCells / columns);
  std::vector<AtomType> types;
  arrow::FieldVector fields;
  for (std::uint64_t c = 0; c < columns; ++c) {
    const auto type = static_cast<AtomType>(in.u8() % kAtomTypes);
    types.push_back(type);
    fields.push_back(arrow::field(std::string(in.bytes()), atoms_detail::TypeOf(type)));
  }
  std::vector<std::shared_ptr<arrow::Array>> arrays;
  for (std::uint64_t c = 0; c < columns; ++c) {
    arrays.push_back(atoms_detail::ReadColumn(in, types[c], static_cast<std::int64_t>(rows)));
  }
  input.batch = arrow::RecordBatch::Make(arrow::schema(std::move(fields)),
                                         static_cast<std::int64_t>(rows), std::move(arrays));
  if ((flags & 2) != 0) {
    const std::uint64_t offset = in.varint() % (rows + 1);
    const std::uint64_t length = in.varint() % (rows - offset + 1);
    input.batch = input.batch->Slice(static_cast<std::int64_t>(offset),
                                     static_cast<std::int64_t>(length));
  }
  return input;
}

/// The encoding of an atoms batch as shred writes it (or any batch of the types above);
/// false when a column has another type.
inline bool EncodeAtoms(const arrow::RecordBatch& batch, bool arrow_codec, std::string* out) {
  ByteWriter w;
  w.u8(arrow_codec ? 1 : 0);
  w.varint(static_cast<std::uint64_t>(batch.num_columns()));
  w.varint(static_cast<std::uint64_t>(batch.num_rows()));
  std::vector<AtomType> types;
  for (const auto& field : batch.schema()->fields()) {
    AtomType type;
    if (!atoms_detail::AtomTypeOf(*field->type(), &type)) return false;
    types.push_back(type);
    w.u8(static_cast<std::uint8_t>(type));
    w.bytes(field->name());
  }
  for (int c = 0; c < batch.num_columns(); ++c) {
    const arrow::Array& array = *batch.column(c);
    if (types[static_cast<std::size_t>(c)] == AtomType::Null) continue;
    for (std::int64_t r = 0; r < batch.num_rows(); ++r) {
      if (array.IsNull(r)) {
        w.u8(0);
        continue;
      }
      w.u8(1);
      switch (types[static_cast<std::size_t>(c)]) {
        case AtomType::Bool:
          w.u8(static_cast<const arrow::BooleanArray&>(array).Value(r) ? 1 : 0);
          break;
        case AtomType::Int64:
          w.svarint(static_cast<const arrow::Int64Array&>(array).Value(r));
          break;
        case AtomType::Double:
          w.fixed(static_cast<const arrow::DoubleArray&>(array).Value(r));
          break;
        case AtomType::Utf8:
          w.bytes(static_cast<const arrow::StringArray&>(array).GetView(r));
          break;
        case AtomType::LargeUtf8:
          w.bytes(static_cast<const arrow::LargeStringArray&>(array).GetView(r));
          break;
        case AtomType::Int32:
          w.svarint(static_cast<const arrow::Int32Array&>(array).Value(r));
          break;
        case AtomType::Binary:
          w.bytes(static_cast<const arrow::BinaryArray&>(array).GetView(r));
          break;
        case AtomType::Null:
          break;
      }
    }
  }
  *out = w.str();
  return true;
}

}  // namespace shredder::fuzz
