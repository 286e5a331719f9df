#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "shredder/error.h"

namespace shredder {

/// A scalar table cell: null, bool, int64, double or string, in this order (the first five
/// alternatives of `Value`, with the same indices and payloads).
using Atom = std::variant<std::monostate, bool, std::int64_t, double, std::string>;

/// A column of atoms. Filled by one caller, then only read.
class IColumn {
 public:
  enum class Kind : std::uint8_t { Scalar = 0, String = 1 };

  virtual ~IColumn() = default;
  /// Which family the column belongs to.
  virtual Kind kind() const = 0;
  /// Number of atoms held.
  virtual std::uint64_t size() const = 0;
  /// A copy of atom `i`. Throws `Error` (text: "<Class>::at") when i >= size().
  virtual Atom at(std::uint64_t i) const = 0;
  /// Appends `atom` (moved in). Throws `Error`, leaving the column unchanged,
  /// when the column does not accept the atom's alternative.
  virtual void push(Atom atom) = 0;
  /// The column's atoms in row order, for an owner that consumes the column (it may move
  /// the payloads out; the column is then left with moved-from atoms).
  virtual std::span<Atom> storage() = 0;

  /// An empty `ScalarColumn` (Scalar) or `StringColumn` (String) with room for `capacity`
  /// atoms. Throws `Error` "IColumn::Make: unknown kind" for any other byte.
  static std::unique_ptr<IColumn> Make(Kind kind, std::uint64_t capacity);
};

/// One table of atoms: `headers[i]` names `columns[i]`; all columns have the same size.
struct ShredResult {
  std::vector<std::string> headers;
  std::vector<std::unique_ptr<IColumn>> columns;
};

}  // namespace shredder
