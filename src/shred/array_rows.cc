#include <optional>
#include <stdexcept>
#include <string>
#include <variant>

#include "shred/document_walk.h"
#include "shredder/column_names.h"
#include "shredder/error.h"

namespace shredder::shredding {
namespace {

// The class of an element in the homogeneity check: its kind, or none for a value holding no
// alternative, which is a class of its own.
std::optional<Kind> ElementClass(const Value& element) {
  if (element.data.valueless_by_exception()) return std::nullopt;
  return kind_of(element);
}

}  // namespace

// Returns true when a frame was pushed (it then owns the name's segment).
bool DocumentWalk::VisitArray(const std::string& key, const Array& array, std::size_t row,
                              std::size_t base) {
  if (array.empty()) return false;
  // Every element is checked before anything of the array is registered or written.
  const std::optional<Kind> array_class = ElementClass(array.front());
  for (const Value& element : array) {
    if (ElementClass(element) != array_class) {
      const std::string member = CurrentMemberPath();
      throw Error(ErrorCode::Shape,
                  "Shredder::Shred: array elements are not homogeneous at " + member, member);
    }
    if (array_class == Kind::Array) {
      const std::string member = CurrentMemberPath();
      throw Error(ErrorCode::Shape,
                  "Shredder::Shred: nested arrays are not supported at " + member, member);
    }
  }
  if (!exact_) CheckReadBack(key);
  const std::size_t name_header = Register(ColumnRole::Value);
  const std::size_t name_length = path_.size();
  path_ += kIndexSuffix;
  const std::size_t index_header = Register(ColumnRole::Index);
  path_.resize(name_length);

  if (array_class == Kind::Object) {
    const bool has_snapshot = array.size() > 1;
    // Every array that keeps a snapshot adds a row of its own later, so live snapshots never
    // outnumber the rows of the finished table.
    if (has_snapshot) CheckCells(snapshot_depth_ + 1, table_.headers.size());
    if (has_snapshot) PushSnapshot(table_.rows[row]);
    frames_.push_back(
        Frame{nullptr, {}, &array, 0, row, base, index_header, has_snapshot});
    frames_.back().underscored = member_underscored_;
    return true;
  }
  if (!array_class.has_value()) {
    throw Error(ErrorCode::Shape, "Shredder::Shred: array element type not supported",
                CurrentMemberPath());
  }
  // Element 0 goes into the enclosing row; every later element gets a copy of that row as
  // it stands with element 0 written, then overwrites the value and the index.
  Put(row, name_header, LeafCell(array[0]));
  Put(row, index_header, IndexCell(0));
  CheckCells(table_.row_count + array.size() - 1, table_.headers.size());
  if (table_.rows.size() < table_.row_count + array.size() - 1) {
    table_.rows.resize(table_.row_count + array.size() - 1);
  }
  for (std::size_t j = 1; j < array.size(); ++j) {
    const std::size_t r = NewRow();
    Row& copy = table_.rows[r];
    copy = table_.rows[row];
    DropRests(copy);
    copy[name_header] = LeafCell(array[j]);
    copy[index_header] = IndexCell(j);
  }
  return false;
}

// Snapshots are taken and dropped in frame order; their buffers are reused.
void DocumentWalk::PushSnapshot(const Row& row) {
  if (snapshot_depth_ < snapshots_.size()) {
    snapshots_[snapshot_depth_] = row;
  } else {
    snapshots_.push_back(row);
  }
  ++snapshot_depth_;
}

}  // namespace shredder::shredding
