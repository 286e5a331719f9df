#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "shred/document_walk.h"
#include "shredder/column_names.h"
#include "shredder/error.h"

namespace shredder::shredding {
namespace {

// Why unshredding would read the column `name` of the member `key` as something other than
// that member's value, or null when it reads it back as the value. The Tagger's own stamps
// (the keys "__obj_id" and "__txn_id") are read back as what they are.
const char* MisreadAs(std::string_view name, std::string_view key) {
  if (name.ends_with(kIndexSuffix)) return "an array index";
  if (!name.ends_with("_id")) return nullptr;
  if (name.ends_with(kObjIdSuffix) && key != kObjIdKey) return "an object id stamp";
  if (name.ends_with(kTxnIdSuffix) && key != kTxnIdKey) return "a transaction id stamp";
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

}  // namespace

// Refuses the member `key` when unshredding would read its name (the current one) as
// something other than its value.
void DocumentWalk::CheckReadBack(const std::string& key) {
  if (const char* misread = MisreadAs(path_, key)) {
    const std::string member = CurrentMemberPath();
    throw Error(ErrorCode::Shape,
                "Shredder::Shred: member " + member + " maps to column " + path_ +
                    ", which is read back as " + misread,
                member);
  }
}

// The path of the member being visited, as the Normalizer writes it: the key of every object
// on the way down; array elements add nothing.
std::string DocumentWalk::CurrentMemberPath() const {
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
void DocumentWalk::ThrowCollision(std::size_t header, Cell occupant,
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
  throw Error(ErrorCode::Shape,
              "Shredder::Shred: members " + first.value_or("?") + " and " + writer +
                  " both map to column " + column,
              writer);
}

}  // namespace shredder::shredding
