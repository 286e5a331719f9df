#pragma once

// The two sources unshredding reads cells from, behind one set of member functions so that
// the rebuilding code is compiled once for each: the buffers of an atoms batch, and the atom
// columns of a `ShredResult`.
//
// Both offer: `get(row)` (the cell; its text stays valid for the whole call when
// `stable(row)`, otherwise until the next `get` on this reader), `KnownNull(row)` (a cheap
// test for the many empty cells of a sparse table), `touch(row)` (reads the row only for the
// failure it may raise), `HoldsValue(rows)`, `materialize(rows)` (makes the first rows
// readable in place, so that sort comparisons never copy), `in_place()` and `size()`.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <span>
#include <string_view>
#include <variant>
#include <vector>

#include "shred/unshred_cells.h"
#include "shredder/atom_column.h"
#include "shredder/unshredding.h"

namespace shredder::unshredding {

inline bool GetBit(const std::uint8_t* bits, std::int64_t i) {
  return (bits[i >> 3] >> (i & 7)) & 1;
}

/// A column of an atoms batch, read in its buffers.
class RawColumnReader {
 public:
  RawColumnReader(const RawColumn& raw, std::uint64_t rows) : raw_(&raw), size_(rows) {}

  CellView get(std::uint64_t row) const {
    using Type = RawColumn::Type;
    const RawColumn& raw = *raw_;
    const std::int64_t i = raw.offset + static_cast<std::int64_t>(row);
    if (raw.validity != nullptr ? !GetBit(raw.validity, i) : raw.all_null) return CellView{};
    switch (raw.type) {
      case Type::Bool: return CellView{Kind::Bool, GetBit(raw.values, i) ? 1u : 0u, {}};
      case Type::Int64:
      case Type::Double: {
        std::uint64_t bits;
        std::memcpy(&bits, raw.values + 8 * i, sizeof bits);
        return CellView{raw.type == Type::Int64 ? Kind::Int64 : Kind::Double, bits, {}};
      }
      case Type::Utf8: return Text(static_cast<const std::int32_t*>(raw.offsets), i);
      case Type::LargeUtf8: return Text(static_cast<const std::int64_t*>(raw.offsets), i);
      default: return CellView{};
    }
  }

  [[gnu::always_inline]] bool KnownNull(std::uint64_t row) const {
    if (raw_->validity != nullptr) {
      return !GetBit(raw_->validity, raw_->offset + static_cast<std::int64_t>(row));
    }
    return raw_->all_null || raw_->type == RawColumn::Type::Null;
  }

  bool stable(std::uint64_t) const { return true; }
  void touch(std::uint64_t) const {}
  void materialize(std::uint64_t) {}
  bool in_place() const { return true; }
  std::uint64_t size() const { return size_; }

  bool HoldsValue(std::uint64_t rows) const {
    const std::uint64_t n = std::min(size_, rows);
    if (raw_->type == RawColumn::Type::Null || raw_->all_null) return false;
    if (raw_->validity == nullptr) return n > 0;
    for (std::uint64_t i = 0; i < n; ++i) {
      if (GetBit(raw_->validity, raw_->offset + static_cast<std::int64_t>(i))) return true;
    }
    return false;
  }

 private:
  template <typename Offset>
  CellView Text(const Offset* offsets, std::int64_t i) const {
    return CellView{Kind::String, 0,
                    std::string_view(raw_->data + offsets[i],
                                     static_cast<std::size_t>(offsets[i + 1] - offsets[i]))};
  }

  const RawColumn* raw_;
  std::uint64_t size_;
};

/// An atom column, read in place when it exposes its atoms, otherwise through `at`. A row
/// beyond the exposed atoms always goes through `at`, so a short column fails with its own
/// out-of-range text.
class AtomColumnReader {
 public:
  explicit AtomColumnReader(IColumn& column) : column_(&column), size_(column.size()) {
    std::span<Atom> atoms;
    try {
      atoms = column.storage();
    } catch (const std::exception&) {
      // A read-only view may refuse to expose storage; it is then read through `at`.
    }
    if (atoms.size() == size_) data_ = atoms.data();
  }

  CellView get(std::uint64_t row) {
    if (data_ != nullptr && row < size_) return ViewOf(data_[row]);
    Copies& copies = this->copies();
    copies.scratch = column_->at(row);
    return ViewOf(copies.scratch);
  }

  [[gnu::always_inline]] bool KnownNull(std::uint64_t row) const {
    return data_ != nullptr && row < size_ && std::holds_alternative<std::monostate>(data_[row]);
  }

  bool stable(std::uint64_t row) const { return data_ != nullptr && row < size_; }

  void touch(std::uint64_t row) const {
    if (row >= size_) (void)column_->at(row);
  }

  bool HoldsValue(std::uint64_t rows) const {
    const std::uint64_t n = std::min(size_, rows);
    for (std::uint64_t i = 0; i < n; ++i) {
      const bool null = data_ != nullptr ? std::holds_alternative<std::monostate>(data_[i])
                                         : std::holds_alternative<std::monostate>(column_->at(i));
      if (!null) return true;
    }
    return false;
  }

  void materialize(std::uint64_t rows) {
    if (in_place()) return;
    const std::uint64_t n = std::min(size_, rows);
    std::vector<Atom>& owned = copies().owned;
    owned.reserve(n);
    for (std::uint64_t i = 0; i < n; ++i) owned.push_back(column_->at(i));
    data_ = owned.data();
    size_ = n;
  }

  bool in_place() const { return data_ != nullptr; }
  std::uint64_t size() const { return size_; }

 private:
  IColumn* column_;
  const Atom* data_ = nullptr;
  std::uint64_t size_;
  // Atoms copied out of a column read through `at`; made on first use, so that a reader of
  // a column read in place (tables may have millions of columns) stays small.
  struct Copies {
    std::vector<Atom> owned;
    Atom scratch;
  };
  Copies& copies() {
    if (!copies_) copies_ = std::make_unique<Copies>();
    return *copies_;
  }
  std::unique_ptr<Copies> copies_;
};

}  // namespace shredder::unshredding
