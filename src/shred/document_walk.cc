#include "shred/document_walk.h"
#include "shredder/error.h"
#include "shredder/column_names.h"

#include <algorithm>
#include <cstddef>
#include <stdexcept>
#include <string>
#include <variant>

namespace shredder::shredding {
namespace {

constexpr std::string_view kTxnMemberPath = "/__txn_id";
const std::string kObjIdKeyText(kObjIdKey);
const std::string kTxnIdKeyText(kTxnIdKey);

}  // namespace

const DocumentTable& DocumentWalk::Run(const Object& document, const Stamps* stamps) {
  Reset();
  document_ = &document;
  stamps_ = stamps;
  NewRow();
  path_.assign(kRootSegment);
  frames_.reserve(128);
  if (!document.empty() || IsStamped(document)) PushObject(document, 0, path_.size());
  while (!frames_.empty()) Step();
  BackFillTxnId();
  if (!exact_) CheckStringColumns();
  return table_;
}

// Empties the table of the previous document, keeping every buffer.
void DocumentWalk::Reset() {
  for (std::uint32_t id : table_.headers) header_of_[id] = kNoHeader;
  table_.headers.clear();
  table_.row_count = 0;
  frames_.clear();
  snapshot_depth_ = 0;
  txn_leaf_ = nullptr;
  txn_header_ = 0;
  size_.reset();
  name_bytes_ = 0;
  previous_name_ = 0;
  stamps_ = nullptr;
  next_stamped_ = 0;
  rest_headers_.clear();
  column_kinds_.clear();
}

void DocumentWalk::Step() {
  Frame& top = frames_.back();
  if (top.object != nullptr) {
    const bool members_left = top.next_member != top.object->end();
    if (top.pending_stamps != 0) {
      // The stamps take their places in key order, over members of the same keys.
      const bool obj = (top.pending_stamps & kObjStamp) != 0;
      const std::string& stamp_key = obj ? kObjIdKeyText : kTxnIdKeyText;
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
    throw Error(ErrorCode::Shape, "Shredder::Shred: array<object> contains non-object",
                CurrentMemberPath());
  }
  const Object& object = std::get<Object>(element.data);
  // An element adds no segment to the name.
  if (!object.empty() || IsStamped(object)) PushObject(object, top.row, path_.size());
}

void DocumentWalk::Visit(const std::string& key, const Value& value, std::size_t row,
                         bool root_member) {
  const std::size_t base = path_.size();
  // Only a key holding "_" can make a name that another key list makes too. The stamps and
  // exact mode's rescue member hold it by design; their clashes show from the other side.
  member_underscored_ =
      frames_.back().underscored ||
      (key != kTxnIdKey && key != kObjIdKey && !(exact_ && key == kRestKey) &&
       key.find('_') != std::string::npos);
  // A member with the empty key would share its parent's name: unshredding finds the parent
  // there and drops the value.
  if (key.empty()) {
    const std::string member = CurrentMemberPath();
    throw Error(ErrorCode::Shape,
                "Shredder::Shred: member " + member +
                    " has the empty key, so its value would be written under its parent's "
                    "name " + path_,
                member);
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
      if (root_member && key == kTxnIdKey) {
        txn_leaf_ = &value;
        txn_header_ = header;
      }
      break;
    }
  }
  path_.resize(base);
}

// The transaction id of the document's root belongs to every row of the document, also to
// the rows of arrays whose keys sort before it.
void DocumentWalk::BackFillTxnId() {
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

}  // namespace shredder::shredding
