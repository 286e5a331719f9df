#pragma once

// Atoms and document values written by hand, short enough for tables of expected cells.

#include <cstdint>
#include <iterator>
#include <stdexcept>
#include <string>
#include <utility>

#include "shredder/atom_column.h"
#include "shredder/value.h"

namespace shredder::testing {

inline const Atom kNull{};
inline Atom B(bool v) { return Atom{v}; }
inline Atom I(std::int64_t v) { return Atom{v}; }
inline Atom D(double v) { return Atom{v}; }
inline Atom S(std::string v) { return Atom{std::move(v)}; }

inline Value Obj(Object o) { return Value(std::move(o)); }

namespace detail {
/// An input range whose first read throws.
struct ThrowingIterator {
  using iterator_category = std::input_iterator_tag;
  using value_type = std::pair<const std::string, Value>;
  using difference_type = std::ptrdiff_t;
  using pointer = const value_type*;
  using reference = const value_type&;
  reference operator*() const { throw std::length_error("no members"); }
  pointer operator->() const { throw std::length_error("no members"); }
  ThrowingIterator& operator++() { return *this; }
  ThrowingIterator operator++(int) { return *this; }
  bool operator==(const ThrowingIterator&) const { return false; }
};
}  // namespace detail

/// A value left empty by a failed assignment: building an Object from a range whose first
/// read throws leaves the variant without an alternative, which no parser can produce.
inline Value ValuelessValue() {
  Value value(1);
  try {
    value.data.emplace<Object>(detail::ThrowingIterator{}, detail::ThrowingIterator{});
  } catch (const std::length_error&) {
  }
  return value;
}

}  // namespace shredder::testing
