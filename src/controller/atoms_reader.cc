#include "controller/atoms_reader.h"
#include "shredder/error.h"

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "arrow/array/array_base.h"
#include "arrow/array/data.h"
#include "arrow/buffer.h"
#include "arrow/type.h"
#include "arrow/util/bit_util.h"

namespace shredder {
namespace controller_internal {

unshredding::RawColumn ReadRawColumn(const arrow::Array& array) {
  using Type = unshredding::RawColumn::Type;
  unshredding::RawColumn raw;
  const arrow::ArrayData& data = *array.data();
  auto buffer = [&](std::size_t i) -> const std::uint8_t* {
    return data.buffers.size() > i && data.buffers[i] ? data.buffers[i]->data() : nullptr;
  };
  switch (array.type_id()) {
    case arrow::Type::NA: raw.type = Type::Null; break;
    case arrow::Type::BOOL: raw.type = Type::Bool; break;
    case arrow::Type::INT64: raw.type = Type::Int64; break;
    case arrow::Type::DOUBLE: raw.type = Type::Double; break;
    case arrow::Type::STRING: raw.type = Type::Utf8; break;
    case arrow::Type::LARGE_STRING: raw.type = Type::LargeUtf8; break;
    default:
      for (std::int64_t i = 0; i < array.length(); ++i) {
        if (array.IsValid(i)) {
          throw Error(ErrorCode::BadAtoms, "Controller: unshred: unsupported atom column type: " +
                                               array.type()->ToString());
        }
      }
      raw.type = Type::Null;
      return raw;
  }
  if (raw.type == Type::Null) return raw;
  raw.offset = data.offset;
  // As Arrow's own validity test: the bitmap when there is one, otherwise all cells are
  // valid unless all are null.
  raw.validity = array.null_bitmap_data();
  raw.all_null = raw.validity == nullptr && array.null_count() == array.length();
  if (raw.type == Type::Utf8 || raw.type == Type::LargeUtf8) {
    raw.offsets = buffer(1);
    raw.data = reinterpret_cast<const char*>(buffer(2));
  } else {
    raw.values = buffer(1);
  }
  return raw;
}

}  // namespace controller_internal

namespace {

using RawColumn = unshredding::RawColumn;

bool IsValid(const RawColumn& column, std::int64_t i) {
  if (column.type == RawColumn::Type::Null || column.all_null) return false;
  return column.validity == nullptr ||
         arrow::bit_util::GetBit(column.validity, column.offset + i);
}

template <typename Offset>
std::string_view TextAt(const RawColumn& column, std::int64_t i) {
  const auto* offsets = static_cast<const Offset*>(column.offsets) + column.offset + i;
  return std::string_view(column.data + offsets[0],
                          static_cast<std::size_t>(offsets[1] - offsets[0]));
}

template <typename T>
T FixedAt(const RawColumn& column, std::int64_t i) {
  T value;
  std::memcpy(&value, column.values + (column.offset + i) * static_cast<std::int64_t>(sizeof(T)),
              sizeof(T));
  return value;
}

Atom AtomAt(const RawColumn& column, std::int64_t i) {
  if (!IsValid(column, i)) return Atom{};
  switch (column.type) {
    case RawColumn::Type::Bool:
      return Atom(std::in_place_type<bool>,
                  arrow::bit_util::GetBit(column.values, column.offset + i));
    case RawColumn::Type::Int64:
      return Atom(std::in_place_type<std::int64_t>, FixedAt<std::int64_t>(column, i));
    case RawColumn::Type::Double:
      return Atom(std::in_place_type<double>, FixedAt<double>(column, i));
    case RawColumn::Type::Utf8:
      return Atom(std::in_place_type<std::string>, TextAt<std::int32_t>(column, i));
    case RawColumn::Type::LargeUtf8:
      return Atom(std::in_place_type<std::string>, TextAt<std::int64_t>(column, i));
    case RawColumn::Type::Null:
      break;
  }
  return Atom{};
}

}  // namespace

std::vector<Atom> ReadAtomColumn(const arrow::Array& array, std::int64_t rows) {
  // Only the rows read are checked for a type that cannot be read.
  const RawColumn column = controller_internal::ReadRawColumn(*array.Slice(0, rows));
  std::vector<Atom> atoms;
  atoms.reserve(static_cast<std::size_t>(rows));
  for (std::int64_t i = 0; i < rows; ++i) atoms.push_back(AtomAt(column, i));
  return atoms;
}

}  // namespace shredder
