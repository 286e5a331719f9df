#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "shredder/atom_column.h"

namespace shredder {

/// A read-only column over atoms it was handed whole; the columns of the table that the
/// Controller passes to `Shredder::Unshred`.
class VectorColumn final : public IColumn {
 public:
  /// Takes over `atoms` (moved, never copied).
  explicit VectorColumn(std::vector<Atom> atoms) : atoms_(std::move(atoms)) {}

  /// Always `Kind::Scalar`, whatever the atoms hold.
  Kind kind() const override { return Kind::Scalar; }
  std::uint64_t size() const override { return atoms_.size(); }
  /// A copy of atom `i`; throws `Error` "VectorColumn::at" when i >= size().
  Atom at(std::uint64_t i) const override;
  /// Never appends: throws `Error` "VectorColumn is read-only".
  void push(Atom atom) override;
  std::span<Atom> storage() override { return atoms_; }

 private:
  std::vector<Atom> atoms_;
};

/// A read-only column of `size` null atoms that stores none: an atoms batch column whose
/// every cell is null (a null-typed column costs nothing in Arrow and must not cost an atom
/// per cell here).
class NullColumn final : public IColumn {
 public:
  explicit NullColumn(std::uint64_t size) : size_(size) {}

  /// Always `Kind::Scalar`.
  Kind kind() const override { return Kind::Scalar; }
  std::uint64_t size() const override { return size_; }
  /// The null atom; throws `Error` "NullColumn::at" when i >= size().
  Atom at(std::uint64_t i) const override;
  /// Never appends: throws `Error` "NullColumn is read-only".
  void push(Atom atom) override;
  /// Nothing is stored, so the span is empty; the atoms are read through `at`.
  std::span<Atom> storage() override { return {}; }

 private:
  std::uint64_t size_;
};

}  // namespace shredder
