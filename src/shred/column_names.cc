#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "shred/document_walk.h"

namespace shredder::shredding {

// Registers the current name (first registration fixes the column order); returns its
// column number in this document.
std::size_t DocumentWalk::Register(ColumnRole role) {
  std::uint32_t id = FindName();
  if (id != kNoName) {
    NameInfo& info = infos_[id];
    if ((member_underscored_ || info.underscored || info.role != role) &&
        (info.role != role || !SameKeys(info.keys))) {
      NoteAnotherKeyList(info, role);
    }
    previous_name_ = id + 1;
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
    next_name_[previous_name_] = id;
    next_name_.push_back(kNoName);
    previous_name_ = id + 1;
  }
  table_.headers.push_back(id);
  header_of_[id] = header;
  return header;
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

}  // namespace shredder::shredding
