#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "shred/document_walk.h"
#include "shredder/error.h"

namespace shredder::shredding {
namespace {

// The table of a document is dense (every row has a cell for every column), and arrays
// multiply rows while members multiply columns: a few hundred kilobytes of text (50,000 keys
// that sort before an array of 50,000 scalars) would ask for billions of cells. A document may
// therefore fill kCellAllowance cells whatever its shape, and kCellsPerValue more for each of
// its values (the root object, every member value and every array element): enough for 1022
// scalar members beside an array of any length, for any document of up to a million cells,
// and for real documents such as a large event catalog (7,273 rows x 2,244 columns from 0.5 MB
// of text), while the memory stays linear in the size of the input.
constexpr std::uint64_t kCellAllowance = kFreeDocumentCells;
constexpr std::uint64_t kCellsPerValue = 1024;
// Column names repeat the path of their parent, so names of leaves deep under long keys add up
// to far more bytes than the document holds. Their bytes are bounded the same way: a free
// allowance, then kBoundPerUnit bytes for each value and each byte of a key.
constexpr std::uint64_t kNameByteAllowance = kFreeDocumentNameBytes;
constexpr std::uint64_t kBoundPerUnit = 256;

std::uint64_t SaturatingProduct(std::uint64_t a, std::uint64_t b) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  if (a != 0 && b > kMax / a) return kMax;
  return a * b;
}

DocumentSize Measure(const Object& document) {
  DocumentSize size;
  std::vector<const Value*> containers;
  auto members = [&](const Object& object) {
    for (const auto& [key, value] : object) {
      ++size.values;
      size.key_bytes += key.size();
      if (kind_of(value) >= Kind::Array) containers.push_back(&value);
    }
  };
  members(document);
  while (!containers.empty()) {
    const Value& value = *containers.back();
    containers.pop_back();
    if (const auto* object = std::get_if<Object>(&value.data)) {
      members(*object);
    } else if (const auto* array = std::get_if<Array>(&value.data)) {
      size.values += array->size();
      for (const Value& element : *array) {
        if (kind_of(element) >= Kind::Array) containers.push_back(&element);
      }
    }
  }
  return size;
}

}  // namespace

// Refuses the document before a table of `rows` x `columns` cells is allocated when that
// exceeds its bound. The document is measured only once a table outgrows the allowance.
void DocumentWalk::CheckCellsPastAllowance(std::uint64_t rows, std::uint64_t columns) {
  const std::uint64_t cells = SaturatingProduct(rows, columns);
  if (cells <= kCellAllowance) return;
  const std::uint64_t limit = kCellAllowance + SaturatingProduct(kCellsPerValue, Size().values);
  if (cells <= limit) return;
  throw Error(ErrorCode::TooLarge, "Shredder::Shred: document too large to shred: " +
                                        std::to_string(rows) + " rows x " +
                                        std::to_string(columns) + " columns exceeds the limit of " +
                                        std::to_string(limit) + " cells");
}

void DocumentWalk::ThrowTooManyColumns(std::uint64_t columns) {
  // Thrown as the column past the limit is made: the document may have more.
  throw Error(ErrorCode::TooLarge,
              "Shredder::Shred: document too large to shred: more than the limit of " +
                  std::to_string(columns - 1) + " columns");
}

void DocumentWalk::CheckNameBytesPastAllowance(std::uint64_t bytes) {
  if (bytes <= kNameByteAllowance) return;
  const DocumentSize& size = Size();
  const std::uint64_t limit =
      kNameByteAllowance + SaturatingProduct(kBoundPerUnit, size.values + size.key_bytes);
  if (bytes <= limit) return;
  throw Error(ErrorCode::TooLarge,
              "Shredder::Shred: document too large to shred: column names take " +
                  std::to_string(bytes) + " bytes, more than the limit of " +
                  std::to_string(limit) + " bytes");
}

const DocumentSize& DocumentWalk::Size() {
  // The stamps count among the values measured.
  if (stamps_ != nullptr) throw NeedsStampedDocument{};
  if (!size_.has_value()) size_ = Measure(*document_);
  return *size_;
}

}  // namespace shredder::shredding
