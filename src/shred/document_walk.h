#pragma once

// The walk of one document into its table, shared by the units that each carry one of its
// jobs: the walk itself (document_walk.cc), the rows of exploded arrays (array_rows.cc), the
// numbering of column names (column_names.cc), the size bounds (document_bounds.cc), the
// refusals that name member paths (walk_refusals.cc) and the owned result (shred.cc).

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "shredder/column_names.h"
#include "shredder/short_bytes.h"
#include "shredder/shredder.h"
#include "shredder/shredding.h"

namespace shredder::shredding {

// Cells become owned atoms only when a result is built, so the document is never copied and
// rows stay cheap to copy.
static_assert(alignof(Value) >= 2, "leaf cells rely on even value addresses");

inline Cell LeafCell(const Value& leaf) { return reinterpret_cast<Cell>(&leaf); }
inline Cell IndexCell(std::size_t position) { return (static_cast<Cell>(position) << 1) | 1; }

// A row is indexed by header number. It is only as long as the highest header written into
// it (or into the row it was copied from); positions past its end hold no entry.
using Row = std::vector<Cell>;


// What the bounds measure of a document: its values, the root included, and its key bytes.
struct DocumentSize {
  std::uint64_t values = 1;
  std::uint64_t key_bytes = 0;
};

struct NameHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view name) const noexcept {
    return std::hash<std::string_view>{}(name);
  }
};

// The walk of one document. Objects and arrays of objects are visited through an explicit
// frame stack; leaves, empty containers and arrays of scalars are settled in the step that
// meets them. The current column name is kept in one string that grows by a segment on the
// way down and is cut back to a saved length on the way up. A walk may be run on many
// documents in turn: its buffers keep their capacity and the names it has met keep their
// numbers, so a repeated document shape costs no allocation.
class DocumentWalk {
 public:
  explicit DocumentWalk(bool exact = false) : exact_(exact) {}

  const DocumentTable& Run(const Object& document, const Stamps* stamps = nullptr);

  const std::string& name(std::uint32_t id) const { return *names_[id]; }
  const NameInfo& info(std::uint32_t id) const { return infos_[id]; }
  std::size_t name_count() const { return names_.size(); }

  ShredResult BuildResult();

 private:
  static constexpr std::uint32_t kNoHeader = UINT32_MAX;
  static constexpr std::uint32_t kNoName = UINT32_MAX;

  // An object whose members are being visited (`object` set), or an array of objects whose
  // elements are (`elements` set). `row` is where the frame writes; for an array it is the
  // row of the element being visited.
  struct Frame {
    const Object* object;
    Object::const_iterator next_member;
    const Array* elements;
    std::size_t next_element;
    std::size_t row;
    std::size_t path_length;  // length of the name before this frame's segment
    std::size_t index_header;
    bool has_snapshot;
    const std::string* key = nullptr;  // the member being visited
    std::uint8_t pending_stamps = 0;    // kObjStamp and kTxnStamp not yet visited
    std::size_t stamp = 0;              // the object's number in the stamps, when stamped
    bool underscored = false;           // a key on the path to this frame holds "_"
  };

  static constexpr std::uint8_t kObjStamp = 1;
  static constexpr std::uint8_t kTxnStamp = 2;

  // The walk (document_walk.cc), with its small steps here.
  void Reset();

  // Whether `object`, about to be entered, is the next stamped object. The walk enters
  // objects in the order the Tagger's digest walk does (depth first, members in key order),
  // and skips only objects the Tagger does not stamp, so the stamped ones come in turn.
  bool IsStamped(const Object& object) const {
    return stamps_ != nullptr && next_stamped_ < stamps_->objects.size() &&
           stamps_->objects[next_stamped_] == &object;
  }

  void Step();
  void Visit(const std::string& key, const Value& value, std::size_t row, bool root_member);

  // An object frame's path holds "_" when its parent's does or, for a member (not an element
  // of an array), when the member's key does.
  void PushObject(const Object& object, std::size_t row, std::size_t path_length) {
    const bool underscored =
        frames_.empty() ? false
                        : (frames_.back().object != nullptr ? member_underscored_
                                                            : frames_.back().underscored);
    Frame& frame = frames_.emplace_back(
        Frame{&object, object.begin(), nullptr, 0, row, path_length, 0, false});
    frame.underscored = underscored;
    if (IsStamped(object)) {
      frame.pending_stamps = kObjStamp | kTxnStamp;
      frame.stamp = next_stamped_++;
    }
  }

  void Pop() {
    path_.resize(frames_.back().path_length);
    if (frames_.back().has_snapshot) --snapshot_depth_;
    frames_.pop_back();
  }

  // Writes a cell of the current member. Only another member can have filled it before:
  // the rows a path fills again (those of later array elements) are copies made before it.
  void Put(std::size_t row, std::size_t header, Cell cell) {
    Row& cells = table_.rows[row];
    if (cells.size() == header) {
      // Most cells extend their row by one: no run of empty cells to fill first.
      cells.push_back(cell);
      if (!exact_) NoteKind(header, cell);
      return;
    }
    if (cells.size() < header) {
      cells.resize(header + 1, kNoCell);
    } else if (cells[header] != kNoCell && !exact_) {
      // Two key lists met in one cell: `Register` noted the name as ambiguous already.
      ThrowCollision(header, cells[header], CurrentMemberPath());
    }
    cells[header] = cell;
    if (!exact_) NoteKind(header, cell);
  }

  // Plain mode refuses a column of strings and other scalars once the walk is done. Every
  // cell the table ends with was put here or copied from one that was (a put never replaces
  // a cell in plain mode), so the kinds of the cells put are the column's kinds.
  static constexpr std::uint8_t kHoldsString = 1;
  static constexpr std::uint8_t kHoldsOther = 2;
  void NoteKind(std::size_t header, Cell cell) {
    const Kind kind = AtomKindOf(cell);
    if (kind == Kind::Null) return;
    if (column_kinds_.size() <= header) column_kinds_.resize(header + 1, 0);
    column_kinds_[header] |= kind == Kind::String ? kHoldsString : kHoldsOther;
  }

  void BackFillTxnId();

  // Appends an empty row and returns its number.
  std::size_t NewRow() {
    if (table_.row_count == table_.rows.size()) table_.rows.emplace_back();
    table_.rows[table_.row_count].clear();
    return table_.row_count++;
  }

  // Appends a copy of `source` (a row of this table or a snapshot) and returns its number.
  // The copy reuses the buffer of a spare row.
  std::size_t CopyRow(const Row& source) {
    const std::size_t r = NewRow();
    table_.rows[r] = source;
    DropRests(table_.rows[r]);
    return r;
  }

  // An object's rescued members are needed once, in the object's own row: a copy of that row
  // for a later array element leaves them out, so that a large rescue is not repeated in
  // every row beneath it.
  void DropRests(Row& row) const {
    for (const std::size_t header : rest_headers_) {
      if (header < row.size()) row[header] = kNoCell;
    }
  }

  // Arrays and the rows they add (array_rows.cc).
  bool VisitArray(const std::string& key, const Array& array, std::size_t row,
                  std::size_t base);
  void PushSnapshot(const Row& row);

  // Column names (column_names.cc), with the lookups `Register` makes for every leaf here.
  std::size_t Register(ColumnRole role);

  // The keys of the member being visited, from the root.
  std::vector<std::string> CurrentKeys() const {
    std::vector<std::string> keys;
    for (const Frame& frame : frames_) {
      if (frame.object != nullptr) keys.push_back(*frame.key);
    }
    return keys;
  }

  // Whether the current member's keys are `keys`, the keys of a registration of the same
  // name and role. A name is the root segment and "_" + key for every key, with the same
  // suffix for the same role, so two equal names hold the same keys exactly when their keys
  // have the same lengths: only the lengths are compared.
  bool SameKeys(const std::vector<std::string>& keys) const {
    std::size_t i = 0;
    for (const Frame& frame : frames_) {
      if (frame.object == nullptr) continue;
      if (i == keys.size() || keys[i].size() != frame.key->size()) return false;
      ++i;
    }
    return i == keys.size();
  }

  void NoteAnotherKeyList(NameInfo& info, ColumnRole role);

  // The number of the current name, or kNoName for a name never met. Names mostly follow
  // each other as they did the last time: the name registered after the previous one then is
  // compared first, and the name table (hashing the whole name) is searched only when it
  // differs. Following the previous name, not the registration's position in the document,
  // keeps the guesses right past an array of another length or a part of another shape.
  std::uint32_t FindName() {
    std::uint32_t& guess = next_name_[previous_name_];
    if (guess != kNoName && SameText(*names_[guess], path_)) return guess;
    const auto found = ids_.find(std::string_view(path_));
    guess = found == ids_.end() ? kNoName : found->second;
    return guess;
  }

  // Bounds (document_bounds.cc). Tables and names within the free allowances pass without a
  // call: a product of two numbers below 2^32 cannot overflow.
  void CheckCells(std::uint64_t rows, std::uint64_t columns) {
    if (columns > kMaxShredColumns) ThrowTooManyColumns(columns);
    if ((rows | columns) >> 32 == 0 && rows * columns <= kFreeDocumentCells) return;
    CheckCellsPastAllowance(rows, columns);
  }
  void CheckNameBytes(std::uint64_t bytes) {
    if (bytes <= kFreeDocumentNameBytes) return;
    CheckNameBytesPastAllowance(bytes);
  }
  void CheckCellsPastAllowance(std::uint64_t rows, std::uint64_t columns);
  [[noreturn]] static void ThrowTooManyColumns(std::uint64_t columns);
  void CheckNameBytesPastAllowance(std::uint64_t bytes);
  const DocumentSize& Size();

  // Refusals that name member paths (walk_refusals.cc).
  void CheckReadBack(const std::string& key);
  std::string CurrentMemberPath() const;
  [[noreturn]] void ThrowCollision(std::size_t header, Cell occupant,
                                   const std::string& writer) const;

  // Column types of the table (shred.cc).
  void CheckStringColumns() const;

  const bool exact_;
  bool member_underscored_ = false;  // the path of the member being visited holds "_"
  DocumentTable table_;
  std::vector<NameInfo> infos_;  // by name number
  std::vector<std::size_t> rest_headers_;  // the rescue columns of this document
  // Every name met so far, by number; the strings are the keys of `ids_`, which never move.
  std::unordered_map<std::string, std::uint32_t, NameHash, std::equal_to<>> ids_;
  std::vector<const std::string*> names_;
  std::vector<std::uint32_t> header_of_;  // by name number: column in this document, or none
  // By name number + 1 (0: a document's start), the name registered after it the last time:
  // the guesses of `FindName`. `previous_name_` indexes the last registration's.
  std::vector<std::uint32_t> next_name_ = {kNoName};
  std::size_t previous_name_ = 0;
  std::vector<std::uint8_t> column_kinds_;  // by header, plain mode: kHoldsString, kHoldsOther
  std::string path_;
  std::vector<Frame> frames_;
  std::vector<Row> snapshots_;
  std::size_t snapshot_depth_ = 0;
  const Value* txn_leaf_ = nullptr;
  std::size_t txn_header_ = 0;
  const Object* document_ = nullptr;
  const Stamps* stamps_ = nullptr;
  std::size_t next_stamped_ = 0;  // the number of the next stamped object to enter
  std::optional<DocumentSize> size_;
  std::uint64_t name_bytes_ = 0;
};

}  // namespace shredder::shredding
