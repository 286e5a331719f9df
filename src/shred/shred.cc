#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "shred/document_walk.h"
#include "shredder/error.h"
#include "shredder/shredder.h"

namespace shredder {
namespace shredding {
namespace {

Atom ToAtom(Cell cell) {
  if (cell == kNoCell) return Atom{};
  if (IsIndexCell(cell)) return Atom{static_cast<std::int64_t>(cell >> 1)};
  const Value& leaf = LeafOf(cell);
  switch (kind_of(leaf)) {
    case Kind::Bool: return Atom{std::get<bool>(leaf.data)};
    case Kind::Int64: return Atom{std::get<std::int64_t>(leaf.data)};
    case Kind::Double: return Atom{std::get<double>(leaf.data)};
    case Kind::String: return Atom{std::get<std::string>(leaf.data)};
    default: return Atom{};
  }
}

}  // namespace

ShredResult DocumentWalk::BuildResult() {
  const std::size_t header_count = table_.headers.size();
  std::vector<bool> holds_string(header_count, false);
  for (std::size_t r = 0; r < table_.row_count; ++r) {
    const Row& cells = table_.rows[r];
    for (std::size_t h = 0; h < cells.size(); ++h) {
      if (AtomKindOf(cells[h]) == Kind::String) holds_string[h] = true;
    }
  }
  ShredResult result;
  result.headers.reserve(header_count);
  result.columns.reserve(header_count);
  for (std::size_t h = 0; h < header_count; ++h) {
    result.headers.push_back(name(table_.headers[h]));
    result.columns.push_back(IColumn::Make(
        holds_string[h] ? IColumn::Kind::String : IColumn::Kind::Scalar, table_.row_count));
  }
  for (std::size_t r = 0; r < table_.row_count; ++r) {
    const Row& cells = table_.rows[r];
    for (std::size_t h = 0; h < header_count; ++h) {
      result.columns[h]->push(ToAtom(h < cells.size() ? cells[h] : kNoCell));
    }
  }
  return result;
}

// A column holds strings or other scalars, never both; a name holding both fails as
// pushing its atoms into a StringColumn would.
void DocumentWalk::CheckStringColumns() const {
  for (const std::uint8_t kinds : column_kinds_) {
    if (kinds == (kHoldsString | kHoldsOther)) {
      throw Error(ErrorCode::Shape, "StringColumn::push: only null or string allowed");
    }
  }
}

class TableWalker::Impl : public DocumentWalk {
 public:
  using DocumentWalk::DocumentWalk;
};

TableWalker::TableWalker(bool exact) : impl_(std::make_unique<Impl>(exact)) {}
TableWalker::~TableWalker() = default;

const DocumentTable& TableWalker::Walk(const Object& document) { return impl_->Run(document); }

const DocumentTable& TableWalker::Walk(const Object& document, const Stamps& stamps) {
  return impl_->Run(document, &stamps);
}

const std::string& TableWalker::name(std::uint32_t id) const { return impl_->name(id); }
const NameInfo& TableWalker::info(std::uint32_t id) const { return impl_->info(id); }
std::size_t TableWalker::name_count() const { return impl_->name_count(); }

}  // namespace shredding

ShredResult Shredder::Shred(const Object& document) const {
  shredding::DocumentWalk walk;
  walk.Run(document);
  return walk.BuildResult();
}

}  // namespace shredder
