#include "controller/vector_column.h"

#include <stdexcept>
#include <string>
#include <utility>

namespace shredder {

Atom VectorColumn::at(std::uint64_t i) const {
  if (i >= atoms_.size()) throw std::out_of_range("VectorColumn::at");
  return atoms_[i];
}

void VectorColumn::push(Atom) { throw std::logic_error("VectorColumn is read-only"); }

Atom NullColumn::at(std::uint64_t i) const {
  if (i >= size_) throw std::out_of_range("NullColumn::at");
  return Atom{};
}

void NullColumn::push(Atom) { throw std::logic_error("NullColumn is read-only"); }

}  // namespace shredder
