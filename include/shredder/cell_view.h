#pragma once

// One atom read where it lies: its kind and payload, a string's bytes viewed in the buffer
// holding them (an atoms column, or the column store while documents are merged). The one
// view of a cell that both directions read.

#include <bit>
#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "shredder/atom_column.h"
#include "shredder/value.h"

namespace shredder::shredding {

/// The bit of `kind` in a set of kinds held in one byte.
constexpr std::uint8_t KindBit(Kind kind) {
  return static_cast<std::uint8_t>(1u << static_cast<unsigned>(kind));
}

struct CellView {
  Kind kind = Kind::Null;  // Null, Bool, Int64, Double or String
  std::uint64_t bits = 0;  // the bool, the integer or the double's bits
  std::string_view text;

  bool boolean() const { return bits != 0; }
  std::int64_t integer() const { return static_cast<std::int64_t>(bits); }
  double real() const { return std::bit_cast<double>(bits); }
};

inline CellView ViewOf(const Atom& atom) {
  if (const auto* b = std::get_if<bool>(&atom)) return CellView{Kind::Bool, *b ? 1u : 0u, {}};
  if (const auto* i = std::get_if<std::int64_t>(&atom)) {
    return CellView{Kind::Int64, static_cast<std::uint64_t>(*i), {}};
  }
  if (const auto* d = std::get_if<double>(&atom)) {
    return CellView{Kind::Double, std::bit_cast<std::uint64_t>(*d), {}};
  }
  if (const auto* s = std::get_if<std::string>(&atom)) return CellView{Kind::String, 0, *s};
  return CellView{};
}

/// Three-way comparison of cells: by kind first (null < bool < integer < double < string),
/// then by value. NaN sorts after every other double and equal to itself, so the order stays
/// a strict weak ordering and equal transaction atoms always meet.
inline int CompareCells(const CellView& a, const CellView& b) {
  if (a.kind != b.kind) return a.kind < b.kind ? -1 : 1;
  switch (a.kind) {
    case Kind::Bool: return int{a.boolean()} - int{b.boolean()};
    case Kind::Int64: {
      const std::int64_t x = a.integer();
      const std::int64_t y = b.integer();
      return (x > y) - (x < y);
    }
    case Kind::Double: {
      const double x = a.real();
      const double y = b.real();
      if (x < y) return -1;
      if (y < x) return 1;
      return int{std::isnan(x)} - int{std::isnan(y)};
    }
    case Kind::String: {
      const int c = a.text.compare(b.text);
      return (c > 0) - (c < 0);
    }
    default: return 0;
  }
}

/// Whether two cells hold the same value, bit for bit: unlike the ordering above, 0.0 and
/// -0.0 differ, and NaNs are the same only with the same payload.
inline bool IdenticalCells(const CellView& a, const CellView& b) {
  if (a.kind != b.kind) return false;
  return a.kind == Kind::String ? a.text == b.text : a.bits == b.bits;
}

}  // namespace shredder::shredding
