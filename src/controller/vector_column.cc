#include "controller/vector_column.h"
#include "shredder/error.h"

#include <stdexcept>
#include <string>
#include <utility>

namespace shredder {

Atom VectorColumn::at(std::uint64_t i) const {
  if (i >= atoms_.size()) throw Error(ErrorCode::BadArgument, "VectorColumn::at");
  return atoms_[i];
}

void VectorColumn::push(Atom) { throw Error(ErrorCode::BadArgument, "VectorColumn is read-only"); }

Atom NullColumn::at(std::uint64_t i) const {
  if (i >= size_) throw Error(ErrorCode::BadArgument, "NullColumn::at");
  return Atom{};
}

void NullColumn::push(Atom) { throw Error(ErrorCode::BadArgument, "NullColumn is read-only"); }

}  // namespace shredder
