#include "controller/vector_column.h"

#include <stdexcept>
#include <string>
#include <utility>

#include "arrow/array/array_binary.h"
#include "arrow/array/array_primitive.h"
#include "arrow/type.h"

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

namespace {

// Appends one atom per cell; `valid_atom` makes the atom of a valid cell.
template <typename ArrayType, typename MakeAtom>
void read_cells(const arrow::Array& array, std::int64_t rows, std::vector<Atom>& atoms,
                MakeAtom&& valid_atom) {
  const auto& typed = static_cast<const ArrayType&>(array);
  for (std::int64_t i = 0; i < rows; ++i) {
    if (typed.IsNull(i)) {
      atoms.emplace_back();
    } else {
      atoms.push_back(valid_atom(typed, i));
    }
  }
}

template <typename ArrayType>
void read_strings(const arrow::Array& array, std::int64_t rows, std::vector<Atom>& atoms) {
  read_cells<ArrayType>(array, rows, atoms, [](const ArrayType& a, std::int64_t i) {
    return Atom(std::in_place_index<4>, a.GetView(i));
  });
}

}  // namespace

std::vector<Atom> ReadAtomColumn(const arrow::Array& array, std::int64_t rows) {
  std::vector<Atom> atoms;
  atoms.reserve(static_cast<std::size_t>(rows));
  switch (array.type_id()) {
    case arrow::Type::NA:
      atoms.resize(static_cast<std::size_t>(rows));
      break;
    case arrow::Type::BOOL:
      read_cells<arrow::BooleanArray>(
          array, rows, atoms, [](const arrow::BooleanArray& a, std::int64_t i) {
            return Atom(std::in_place_index<1>, a.Value(i));
          });
      break;
    case arrow::Type::INT64:
      read_cells<arrow::Int64Array>(array, rows, atoms,
                                    [](const arrow::Int64Array& a, std::int64_t i) {
                                      return Atom(std::in_place_index<2>, a.Value(i));
                                    });
      break;
    case arrow::Type::DOUBLE:
      read_cells<arrow::DoubleArray>(array, rows, atoms,
                                     [](const arrow::DoubleArray& a, std::int64_t i) {
                                       return Atom(std::in_place_index<3>, a.Value(i));
                                     });
      break;
    case arrow::Type::STRING:
      read_strings<arrow::StringArray>(array, rows, atoms);
      break;
    case arrow::Type::LARGE_STRING:
      read_strings<arrow::LargeStringArray>(array, rows, atoms);
      break;
    default:
      // Any other type is refused at its first valid cell; all-null columns read as nulls.
      for (std::int64_t i = 0; i < rows; ++i) {
        if (array.IsValid(i)) {
          throw std::runtime_error("Controller: unshred: unsupported atom column type: " +
                                   array.type()->ToString());
        }
        atoms.emplace_back();
      }
  }
  return atoms;
}

}  // namespace shredder
