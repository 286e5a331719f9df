#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <iterator>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "shred/shred_internal.h"
#include "shredder/shredder.h"

namespace shredder {
namespace shred_internal {
namespace {

// Cells become owned atoms only when a result is built, so the document is never copied and
// rows stay cheap to copy.
static_assert(alignof(Value) >= 2, "leaf cells rely on even value addresses");

Cell LeafCell(const Value& leaf) { return reinterpret_cast<Cell>(&leaf); }
Cell IndexCell(std::size_t position) { return (static_cast<Cell>(position) << 1) | 1; }

// A row is indexed by header number. It is only as long as the highest header written into
// it (or into the row it was copied from); positions past its end hold no entry.
using Row = std::vector<Cell>;

// Element classes of the homogeneity check. A value holding no alternative has a class of
// its own; null, bool, int64, double and string keep their kind numbers.
constexpr int kClassObject = 5;
constexpr int kClassArray = 6;
constexpr int kClassNone = 7;

int ElementClass(const Value& element) {
  if (element.data.valueless_by_exception()) return kClassNone;
  switch (kind_of(element)) {
    case Kind::Array: return kClassArray;
    case Kind::Object: return kClassObject;
    default: return static_cast<int>(kind_of(element));
  }
}

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

struct NameHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view name) const noexcept {
    return std::hash<std::string_view>{}(name);
  }
};

constexpr std::string_view kRootSegment = "root";
constexpr std::string_view kIndexSuffix = "__idx";
constexpr std::string_view kTxnKey = "__txn_id";
constexpr std::string_view kObjKey = "__obj_id";
constexpr std::string_view kTxnMemberPath = "/__txn_id";
const std::string kObjKeyText(kObjKey);
const std::string kTxnKeyText(kTxnKey);

// Why unshredding would read the column `name` of the member `key` as something other than
// that member's value, or null when it reads it back as the value. The Tagger's own stamps
// (the keys "__obj_id" and "__txn_id") are read back as what they are.
const char* MisreadAs(std::string_view name, std::string_view key) {
  if (name.ends_with(kIndexSuffix)) return "an array index";
  if (!name.ends_with("_id")) return nullptr;
  if (name.ends_with("___obj_id") && key != kObjKey) return "an object id stamp";
  if (name.ends_with("___txn_id") && key != kTxnKey) return "a transaction id stamp";
  return nullptr;
}

// The member path, as the Normalizer writes paths ("/a/b"; array elements add nothing), of the
// first value in walk order that `match` accepts, given the value, that path and its column
// name. Used only to word an error, so it may walk the whole document.
template <typename Match>
std::optional<std::string> FindMemberPath(const Object& document, Match&& match) {
  struct Step {
    const Value* value;
    std::string path;
    std::string name;
  };
  std::vector<Step> pending;
  auto push_members = [&](const Object& object, const std::string& path,
                          const std::string& name) {
    // Reversed, so that members come off the stack in key order.
    for (auto it = object.rbegin(); it != object.rend(); ++it) {
      std::string member_name = name;
      if (!it->first.empty()) member_name.append("_").append(it->first);
      pending.push_back(Step{&it->second, path + "/" + it->first, std::move(member_name)});
    }
  };
  push_members(document, "", std::string(kRootSegment));
  while (!pending.empty()) {
    Step step = std::move(pending.back());
    pending.pop_back();
    if (match(*step.value, step.path, step.name)) return std::move(step.path);
    if (const auto* object = std::get_if<Object>(&step.value->data)) {
      push_members(*object, step.path, step.name);
    } else if (const auto* array = std::get_if<Array>(&step.value->data)) {
      for (auto it = array->rbegin(); it != array->rend(); ++it) {
        if (const auto* element = std::get_if<Object>(&it->data)) {
          push_members(*element, step.path, step.name);
        } else {
          pending.push_back(Step{&*it, step.path, step.name});
        }
      }
    }
  }
  return std::nullopt;
}

// The table of a document is dense (every row has a cell for every column), and arrays
// multiply rows while members multiply columns: a few hundred kilobytes of text (50,000 keys
// that sort before an array of 50,000 scalars) would ask for billions of cells. A document may
// therefore fill kCellAllowance cells whatever its shape, and kCellsPerValue more for each of
// its values (the root object, every member value and every array element): enough for 1022
// scalar members beside an array of any length, for any document of up to a million cells,
// and for real documents such as a large event catalog (7,273 rows x 2,244 columns from 0.5 MB
// of text), while the memory stays linear in the size of the input.
constexpr std::uint64_t kCellAllowance = std::uint64_t{1} << 20;
constexpr std::uint64_t kCellsPerValue = 1024;
// Column names repeat the path of their parent, so names of leaves deep under long keys add up
// to far more bytes than the document holds. Their bytes are bounded the same way: a free
// allowance, then kBoundPerUnit bytes for each value and each byte of a key.
constexpr std::uint64_t kNameByteAllowance = std::uint64_t{1} << 24;
constexpr std::uint64_t kBoundPerUnit = 256;

std::uint64_t SaturatingProduct(std::uint64_t a, std::uint64_t b) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  if (a != 0 && b > kMax / a) return kMax;
  return a * b;
}

// What the bounds measure of a document: its values, the root included, and its key bytes.
struct DocumentSize {
  std::uint64_t values = 1;
  std::uint64_t key_bytes = 0;
};

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

// The walk of one document. Objects and arrays of objects are visited through an explicit
// frame stack; leaves, empty containers and arrays of scalars are settled in the step that
// meets them. The current column name is kept in one string that grows by a segment on the
// way down and is cut back to a saved length on the way up. A walk may be run on many
// documents in turn: its buffers keep their capacity and the names it has met keep their
// numbers, so a repeated document shape costs no allocation.
class DocumentWalk {
 public:
  explicit DocumentWalk(bool exact = false) : exact_(exact) {}

  const DocumentTable& Run(const Object& document, const Stamps* stamps = nullptr) {
    Reset();
    document_ = &document;
    stamps_ = stamps;
    NewRow();
    path_.assign(kRootSegment);
    frames_.reserve(128);
    if (!document.empty() || IsStamped(document)) PushObject(document, 0, path_.size());
    while (!frames_.empty()) Step();
    BackFillTxnId();
    CheckStringColumns();
    return table_;
  }

  const std::string& name(std::uint32_t id) const { return *names_[id]; }
  const NameInfo& info(std::uint32_t id) const { return infos_[id]; }
  std::size_t name_count() const { return names_.size(); }

  ShredResult BuildResult() {
    const std::size_t header_count = table_.headers.size();
    ShredResult result;
    result.headers.reserve(header_count);
    result.columns.reserve(header_count);
    for (std::size_t h = 0; h < header_count; ++h) {
      result.headers.push_back(name(table_.headers[h]));
      result.columns.push_back(IColumn::Make(
          holds_string_[h] ? IColumn::Kind::String : IColumn::Kind::Scalar, table_.row_count));
    }
    for (std::size_t r = 0; r < table_.row_count; ++r) {
      const Row& cells = table_.rows[r];
      for (std::size_t h = 0; h < header_count; ++h) {
        result.columns[h]->push(ToAtom(h < cells.size() ? cells[h] : kNoCell));
      }
    }
    return result;
  }

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

  // Empties the table of the previous document, keeping every buffer.
  void Reset() {
    for (std::uint32_t id : table_.headers) header_of_[id] = kNoHeader;
    table_.headers.clear();
    table_.row_count = 0;
    frames_.clear();
    snapshot_depth_ = 0;
    txn_leaf_ = nullptr;
    txn_header_ = 0;
    size_.reset();
    name_bytes_ = 0;
    register_calls_ = 0;
    stamps_ = nullptr;
    next_stamped_ = 0;
    rest_headers_.clear();
  }

  // Whether `object`, about to be entered, is the next stamped object. The walk enters
  // objects in the order the Tagger's digest walk does (depth first, members in key order),
  // and skips only objects the Tagger does not stamp, so the stamped ones come in turn.
  bool IsStamped(const Object& object) const {
    return stamps_ != nullptr && next_stamped_ < stamps_->objects.size() &&
           stamps_->objects[next_stamped_] == &object;
  }

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

  void Step() {
    Frame& top = frames_.back();
    if (top.object != nullptr) {
      const bool members_left = top.next_member != top.object->end();
      if (top.pending_stamps != 0) {
        // The stamps take their places in key order, over members of the same keys.
        const bool obj = (top.pending_stamps & kObjStamp) != 0;
        const std::string& stamp_key = obj ? kObjKeyText : kTxnKeyText;
        if (!members_left || stamp_key <= top.next_member->first) {
          if (members_left && stamp_key == top.next_member->first) ++top.next_member;
          top.pending_stamps &= static_cast<std::uint8_t>(~(obj ? kObjStamp : kTxnStamp));
          top.key = &stamp_key;
          const Value& value = obj ? stamps_->obj_ids[top.stamp] : *stamps_->txn_id;
          return Visit(stamp_key, value, top.row, frames_.size() == 1);
        }
      }
      if (!members_left) return Pop();
      const auto& [key, value] = *top.next_member++;
      top.key = &key;
      // `top` may move once Visit pushes a frame; everything it needs is passed by value.
      return Visit(key, value, top.row, frames_.size() == 1);
    }
    const Array& elements = *top.elements;
    if (top.next_element == elements.size()) return Pop();
    const std::size_t k = top.next_element++;
    if (k != 0) {
      // Element k starts from the row as it stood before element 0 was shredded, so nothing
      // an earlier element wrote is carried into it.
      CheckCells(table_.row_count + 1, table_.headers.size());
      top.row = CopyRow(snapshots_[snapshot_depth_ - 1]);
    }
    Put(top.row, top.index_header, IndexCell(k));
    const Value& element = elements[k];
    if (kind_of(element) != Kind::Object) {
      throw std::runtime_error("Shredder::Shred: array<object> contains non-object");
    }
    const Object& object = std::get<Object>(element.data);
    // An element adds no segment to the name.
    if (!object.empty() || IsStamped(object)) PushObject(object, top.row, path_.size());
  }

  void Visit(const std::string& key, const Value& value, std::size_t row, bool root_member) {
    const std::size_t base = path_.size();
    // Only a key holding "_" can make a name that another key list makes too. The stamps and
    // exact mode's rescue member hold it by design; their clashes show from the other side.
    member_underscored_ =
        frames_.back().underscored ||
        (key != kTxnKey && key != kObjKey && !(exact_ && key == kRestKey) &&
         key.find('_') != std::string::npos);
    // A member with the empty key would share its parent's name: unshredding finds the parent
    // there and drops the value.
    if (key.empty()) {
      throw std::runtime_error("Shredder::Shred: member " + CurrentMemberPath() +
                               " has the empty key, so its value would be written under its "
                               "parent's name " + path_);
    }
    path_ += '_';
    path_ += key;
    switch (kind_of(value)) {
      case Kind::Object: {
        // A value holding no alternative reports Kind::Object and fails here.
        const Object& object = std::get<Object>(value.data);
        if (!object.empty() || IsStamped(object)) return PushObject(object, row, base);
        break;
      }
      case Kind::Array:
        if (VisitArray(key, std::get<Array>(value.data), row, base)) return;
        break;
      default: {
        if (!exact_) CheckReadBack(key);
        const bool rest = exact_ && key == kRestKey;
        const std::size_t header = Register(rest ? ColumnRole::Rest : ColumnRole::Value);
        if (rest && std::find(rest_headers_.begin(), rest_headers_.end(), header) ==
                        rest_headers_.end()) {
          rest_headers_.push_back(header);
        }
        Put(row, header, LeafCell(value));
        if (root_member && key == kTxnKey) {
          txn_leaf_ = &value;
          txn_header_ = header;
        }
        break;
      }
    }
    path_.resize(base);
  }

  // Returns true when a frame was pushed (it then owns the name's segment).
  bool VisitArray(const std::string& key, const Array& array, std::size_t row,
                  std::size_t base) {
    if (array.empty()) return false;
    // Every element is checked before anything of the array is registered or written.
    const int array_class = ElementClass(array.front());
    for (const Value& element : array) {
      if (ElementClass(element) != array_class) {
        throw std::runtime_error("Shredder::Shred: array elements are not homogeneous at " +
                                 CurrentMemberPath());
      }
      if (array_class == kClassArray) {
        throw std::runtime_error("Shredder::Shred: nested arrays are not supported at " +
                                 CurrentMemberPath());
      }
    }
    if (!exact_) CheckReadBack(key);
    const std::size_t name_header = Register(ColumnRole::Value);
    const std::size_t name_length = path_.size();
    path_ += kIndexSuffix;
    const std::size_t index_header = Register(ColumnRole::Index);
    path_.resize(name_length);

    if (array_class == kClassObject) {
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
    if (array_class == kClassNone) {
      throw std::runtime_error("Shredder::Shred: array element type not supported");
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

  // Snapshots are taken and dropped in frame order; their buffers are reused.
  void PushSnapshot(const Row& row) {
    if (snapshot_depth_ < snapshots_.size()) {
      snapshots_[snapshot_depth_] = row;
    } else {
      snapshots_.push_back(row);
    }
    ++snapshot_depth_;
  }

  // Registers the current name (first registration fixes the column order); returns its
  // column number in this document.
  std::size_t Register(ColumnRole role) {
    const std::size_t call = register_calls_++;
    std::uint32_t id = FindName(call);
    if (id != kNoName) {
      NameInfo& info = infos_[id];
      if ((member_underscored_ || info.underscored || info.role != role) &&
          (info.role != role || !SameKeys(info.keys))) {
        NoteAnotherKeyList(info, role);
      }
      if (header_of_[id] != kNoHeader) return header_of_[id];
    }
    const auto header = static_cast<std::uint32_t>(table_.headers.size());
    CheckCells(table_.row_count, header + 1);
    CheckNameBytes(name_bytes_ + path_.size());
    name_bytes_ += path_.size();
    if (id == kNoName) {
      id = static_cast<std::uint32_t>(names_.size());
      names_.push_back(&ids_.emplace(path_, id).first->first);
      header_of_.push_back(kNoHeader);
      infos_.push_back(NameInfo{CurrentKeys(), role, member_underscored_, false, {}});
      registered_[call] = id;
    }
    table_.headers.push_back(id);
    header_of_[id] = header;
    return header;
  }

  // The keys of the member being visited, from the root.
  std::vector<std::string> CurrentKeys() const {
    std::vector<std::string> keys;
    for (const Frame& frame : frames_) {
      if (frame.object != nullptr) keys.push_back(*frame.key);
    }
    return keys;
  }

  bool SameKeys(const std::vector<std::string>& keys) const {
    std::size_t i = 0;
    for (const Frame& frame : frames_) {
      if (frame.object == nullptr) continue;
      if (i == keys.size() || keys[i] != *frame.key) return false;
      ++i;
    }
    return i == keys.size();
  }

  void NoteAnotherKeyList(NameInfo& info, ColumnRole role) {
    info.ambiguous = true;
    // A few suffice to choose the owner of a name; hostile input could list thousands.
    if (info.others.size() >= 16) return;
    std::vector<std::string> keys = CurrentKeys();
    for (const auto& [other, other_role] : info.others) {
      if (other_role == role && other == keys) return;
    }
    info.others.emplace_back(std::move(keys), role);
  }

  // The number of the current name, or kNoName for a name never met. Documents of one batch
  // mostly register the same names in the same order as the document before, so the name of
  // the same registration in the previous document is compared first, and the name table is
  // searched only when it differs.
  std::uint32_t FindName(std::size_t call) {
    if (call >= registered_.size()) registered_.resize(call + 1, kNoName);
    std::uint32_t& guess = registered_[call];
    if (guess != kNoName && *names_[guess] == path_) return guess;
    const auto found = ids_.find(std::string_view(path_));
    guess = found == ids_.end() ? kNoName : found->second;
    return guess;
  }

  // Refuses the document before a table of `rows` x `columns` cells is allocated when that
  // exceeds its bound. The document is measured only once a table outgrows the allowance.
  void CheckCells(std::uint64_t rows, std::uint64_t columns) {
    const std::uint64_t cells = SaturatingProduct(rows, columns);
    if (cells <= kCellAllowance) return;
    const std::uint64_t limit = kCellAllowance + SaturatingProduct(kCellsPerValue, Size().values);
    if (cells <= limit) return;
    throw std::runtime_error("Shredder::Shred: document too large to shred: " +
                             std::to_string(rows) + " rows x " + std::to_string(columns) +
                             " columns exceeds the limit of " + std::to_string(limit) + " cells");
  }

  void CheckNameBytes(std::uint64_t bytes) {
    if (bytes <= kNameByteAllowance) return;
    const DocumentSize& size = Size();
    const std::uint64_t limit =
        kNameByteAllowance + SaturatingProduct(kBoundPerUnit, size.values + size.key_bytes);
    if (bytes <= limit) return;
    throw std::runtime_error("Shredder::Shred: document too large to shred: column names take " +
                             std::to_string(bytes) + " bytes, more than the limit of " +
                             std::to_string(limit) + " bytes");
  }

  const DocumentSize& Size() {
    // The stamps count among the values measured.
    if (stamps_ != nullptr) throw NeedsStampedDocument{};
    if (!size_.has_value()) size_ = Measure(*document_);
    return *size_;
  }

  // Writes a cell of the current member. Only another member can have filled it before:
  // the rows a path fills again (those of later array elements) are copies made before it.
  void Put(std::size_t row, std::size_t header, Cell cell) {
    Row& cells = table_.rows[row];
    if (cells.size() <= header) {
      cells.resize(header + 1, kNoCell);
    } else if (cells[header] != kNoCell && !exact_) {
      // Two key lists met in one cell: `Register` noted the name as ambiguous already.
      ThrowCollision(header, cells[header], CurrentMemberPath());
    }
    cells[header] = cell;
  }

  // The transaction id of the document's root belongs to every row of the document, also to
  // the rows of arrays whose keys sort before it.
  void BackFillTxnId() {
    if (txn_leaf_ == nullptr) return;
    const Cell txn = LeafCell(*txn_leaf_);
    for (std::size_t r = 0; r < table_.row_count; ++r) {
      Row& cells = table_.rows[r];
      if (cells.size() <= txn_header_) cells.resize(txn_header_ + 1, kNoCell);
      Cell& cell = cells[txn_header_];
      if (cell != kNoCell && cell != txn && !exact_) {
        ThrowCollision(txn_header_, cell, std::string(kTxnMemberPath));
      }
      cell = txn;
    }
  }

  // Refuses the member `key` when unshredding would read its name (the current one) as
  // something other than its value.
  void CheckReadBack(const std::string& key) {
    if (const char* misread = MisreadAs(path_, key)) {
      throw std::runtime_error("Shredder::Shred: member " + CurrentMemberPath() +
                               " maps to column " + path_ + ", which is read back as " +
                               misread);
    }
  }

  // The path of the member being visited, as the Normalizer writes it: the key of every object
  // on the way down; array elements add nothing.
  std::string CurrentMemberPath() const {
    std::string path;
    for (const Frame& frame : frames_) {
      if (frame.object == nullptr) continue;
      path += '/';
      path += *frame.key;
    }
    return path;
  }

  // Names the member that filled cell `occupant` of column `header` and the one that was
  // about to write over it.
  [[noreturn]] void ThrowCollision(std::size_t header, Cell occupant,
                                   const std::string& writer) const {
    // The first member may be a stamp, which only the stamped document holds.
    if (stamps_ != nullptr) throw NeedsStampedDocument{};
    const std::string& column = name(table_.headers[header]);
    std::optional<std::string> first;
    if (IsIndexCell(occupant)) {
      // An index cell belongs to another array whose index column has this name.
      first = FindMemberPath(*document_, [&](const Value& value, const std::string& path,
                                             const std::string& array_name) {
        const auto* array = std::get_if<Array>(&value.data);
        return array != nullptr && !array->empty() && path != writer &&
               array_name.size() + kIndexSuffix.size() == column.size() &&
               column.starts_with(array_name) && column.ends_with(kIndexSuffix);
      });
    } else {
      const Value* leaf = &LeafOf(occupant);
      first = FindMemberPath(*document_, [&](const Value& value, const std::string&,
                                             const std::string&) { return &value == leaf; });
    }
    throw std::runtime_error("Shredder::Shred: members " + first.value_or("?") + " and " +
                             writer + " both map to column " + column);
  }

  // A column holds strings or other scalars, never both; a name holding both fails as
  // pushing its atoms into a StringColumn would.
  void CheckStringColumns() {
    const std::size_t header_count = table_.headers.size();
    holds_string_.assign(header_count, false);
    holds_other_.assign(header_count, false);
    for (std::size_t r = 0; r < table_.row_count; ++r) {
      const Row& cells = table_.rows[r];
      for (std::size_t h = 0; h < cells.size(); ++h) {
        const Kind kind = AtomKindOf(cells[h]);
        if (kind == Kind::String) {
          holds_string_[h] = true;
        } else if (kind != Kind::Null) {
          holds_other_[h] = true;
        }
      }
    }
    for (std::size_t h = 0; h < header_count && !exact_; ++h) {
      if (holds_string_[h] && holds_other_[h]) {
        throw std::invalid_argument("StringColumn::push: only null or string allowed");
      }
    }
  }

  const bool exact_;
  bool member_underscored_ = false;  // the path of the member being visited holds "_"
  DocumentTable table_;
  std::vector<NameInfo> infos_;  // by name number
  std::vector<std::size_t> rest_headers_;  // the rescue columns of this document
  // Every name met so far, by number; the strings are the keys of `ids_`, which never move.
  std::unordered_map<std::string, std::uint32_t, NameHash, std::equal_to<>> ids_;
  std::vector<const std::string*> names_;
  std::vector<std::uint32_t> header_of_;  // by name number: column in this document, or none
  // The name of every registration of the document so far, and of the later ones of the
  // document before: the guesses of `FindName`.
  std::vector<std::uint32_t> registered_;
  std::size_t register_calls_ = 0;
  std::vector<bool> holds_string_;
  std::vector<bool> holds_other_;
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

}  // namespace shred_internal

ShredResult Shredder::Shred(const Object& document) const {
  shred_internal::DocumentWalk walk;
  walk.Run(document);
  return walk.BuildResult();
}

}  // namespace shredder
