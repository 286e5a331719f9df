// The texts of the uint64 cells above the int64 range, which the reader gives as the nearest
// double. Walked apart from the reader, and only for types that hold uint64, so that other
// columns read as fast as ever.

#include <arrow/array.h>
#include <arrow/type.h>

#include <charconv>
#include <cstdint>
#include <limits>
#include <string_view>
#include <system_error>
#include <unordered_set>
#include <utility>

#include "codecs/arrow_dom_internal.h"

namespace shredder::arrow_dom {
namespace {

bool HoldsUInt64(const arrow::DataType& type, int depth) {
  if (type.id() == arrow::Type::UINT64) return true;
  // Deeper types are refused by the reader wherever a cell is present.
  if (depth > kMaxNestingDepth) return false;
  for (const auto& field : type.fields()) {
    if (HoldsUInt64(*field->type(), depth + 1)) return true;
  }
  return false;
}

void Walk(const arrow::Array& array, std::int64_t i, IntegerLiterals& out);

template <typename ListArray>
void WalkList(const ListArray& list, std::int64_t i, IntegerLiterals& out) {
  const arrow::Array& values = *list.values();
  if (!HoldsUInt64(*values.type(), 0)) return;
  const std::int64_t begin = list.value_offset(i);
  const std::int64_t end = list.value_offset(i + 1);
  for (std::int64_t k = begin; k < end; ++k) {
    IntegerLiterals element;
    Walk(values, k, element);
    if (!element.empty()) out.add_element(static_cast<std::size_t>(k - begin)) = std::move(element);
  }
}

// The literals of cell `i` of `array`, into `out` (empty on entry).
void Walk(const arrow::Array& array, std::int64_t i, IntegerLiterals& out) {
  if (array.IsNull(i)) return;
  switch (array.type_id()) {
    case arrow::Type::UINT64: {
      const std::uint64_t value = static_cast<const arrow::UInt64Array&>(array).Value(i);
      if (value <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return;
      char digits[24];
      const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
      out.set_text(std::string_view(digits, static_cast<std::size_t>(end - digits)));
      return;
    }
    case arrow::Type::LIST:
      WalkList(static_cast<const arrow::ListArray&>(array), i, out);
      return;
    case arrow::Type::LARGE_LIST:
      WalkList(static_cast<const arrow::LargeListArray&>(array), i, out);
      return;
    case arrow::Type::STRUCT: {
      const auto& structs = static_cast<const arrow::StructArray&>(array);
      std::unordered_set<std::string_view> seen;  // the first field of a name is the member
      for (int k = 0; k < structs.num_fields(); ++k) {
        const std::string& name = structs.type()->field(k)->name();
        if (!seen.insert(name).second) continue;
        if (!HoldsUInt64(*structs.type()->field(k)->type(), 0)) continue;
        IntegerLiterals member;
        Walk(*structs.field(k), i, member);
        if (!member.empty()) out.add_member(name) = std::move(member);
      }
      return;
    }
    default:
      return;
  }
}

}  // namespace

bool unsigned_literal(const IntegerLiterals* literals, std::uint64_t& number) {
  if (literals == nullptr) return false;
  const std::string_view text = literals->text();
  const char* const last = text.data() + text.size();
  const auto [end, error] = std::from_chars(text.data(), last, number);
  return !text.empty() && error == std::errc() && end == last;
}

IntegerLiterals read_literals(const arrow::Array& column, std::int64_t row) {
  IntegerLiterals literals;
  if (HoldsUInt64(*column.type(), 1)) Walk(column, row, literals);
  return literals;
}

}  // namespace shredder::arrow_dom
