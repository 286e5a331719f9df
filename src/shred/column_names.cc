#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "shred/document_walk.h"

namespace shredder::shred_internal {

// Registers the current name (first registration fixes the column order); returns its
// column number in this document.
std::size_t DocumentWalk::Register(ColumnRole role) {
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
std::vector<std::string> DocumentWalk::CurrentKeys() const {
  std::vector<std::string> keys;
  for (const Frame& frame : frames_) {
    if (frame.object != nullptr) keys.push_back(*frame.key);
  }
  return keys;
}

bool DocumentWalk::SameKeys(const std::vector<std::string>& keys) const {
  std::size_t i = 0;
  for (const Frame& frame : frames_) {
    if (frame.object == nullptr) continue;
    if (i == keys.size() || keys[i] != *frame.key) return false;
    ++i;
  }
  return i == keys.size();
}

void DocumentWalk::NoteAnotherKeyList(NameInfo& info, ColumnRole role) {
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
std::uint32_t DocumentWalk::FindName(std::size_t call) {
  if (call >= registered_.size()) registered_.resize(call + 1, kNoName);
  std::uint32_t& guess = registered_[call];
  if (guess != kNoName && *names_[guess] == path_) return guess;
  const auto found = ids_.find(std::string_view(path_));
  guess = found == ids_.end() ? kNoName : found->second;
  return guess;
}

}  // namespace shredder::shred_internal
