#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "shredder/node_allocator.h"

namespace shredder {

/// The kind of a document value; the number equals the index of the alternative in `Value`.
enum class Kind : std::uint8_t { Null = 0, Bool = 1, Int64 = 2, Double = 3, String = 4, Array = 5, Object = 6 };

struct Value;

/// An ordered sequence of values; element order is kept.
using Array = std::vector<Value>;

/// std::string's own order (unsigned bytes, a prefix first). The members of one object mostly
/// start with different bytes, so most comparisons end at the first byte, without a call.
struct KeyLess {
  bool operator()(const std::string& a, const std::string& b) const noexcept {
    // c_str() ends in a NUL: an empty key reads 0 and goes on to the full comparison.
    const auto a0 = static_cast<unsigned char>(*a.c_str());
    const auto b0 = static_cast<unsigned char>(*b.c_str());
    if (a0 != b0) return a0 < b0;
    return a < b;
  }
};

/// Members ordered by key under unsigned byte-wise comparison (std::string's own order).
/// Keys are unique; insertion order is not kept. Every document is an `Object`.
using Object = std::map<std::string, Value, KeyLess,
                        NodeAllocator<std::pair<const std::string, Value>>>;

/// The alternatives of a value, in the fixed order of `Kind`.
using ValueData = std::variant<std::monostate, bool, std::int64_t, double, std::string, Array, Object>;

/// Deepest nesting of arrays and objects that the system accepts. The root object of a
/// document is at depth 1 and every array or object inside adds one level. Deeper input is
/// refused where it enters (JSON text, Arrow data, atom column names), so every recursive
/// walk of a document stays well within a 1 MiB stack.
inline constexpr int kMaxNestingDepth = 512;

/// One node of a document tree. Owns its whole subtree by value: copying copies deeply,
/// moving transfers. No parent links, no sharing, no cycles.
struct Value {
  ValueData data;

  Value() = default;
  Value(std::nullptr_t) {}
  Value(bool b) : data(b) {}
  Value(std::int64_t i) : data(i) {}
  Value(int i) : data(std::int64_t{i}) {}
  Value(double d) : data(d) {}
  Value(std::string s) : data(std::move(s)) {}
  Value(const char* s) : data(std::string(s)) {}
  Value(Array a) : data(std::move(a)) {}
  Value(Object o) : data(std::move(o)) {}

  friend bool operator==(const Value&, const Value&) = default;
};

/// The `Kind` of the alternative `value` holds; a valueless variant reports `Kind::Object`.
Kind kind_of(const Value& value) noexcept;

/// Static NUL-terminated name of a kind ("null", "bool", ...); "unknown" outside 0 to 6.
const char* kind_name(Kind kind) noexcept;

}  // namespace shredder
