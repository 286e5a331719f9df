// Exact mode's pass of the Normalizer: the same shapes as `modify` learns, but a member the
// columns cannot hold is set aside with its value as it came in instead of refusing the
// document.

#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "shredder/column_names.h"
#include "shredder/normalizer.h"

namespace shredder {
namespace {

bool IsStampKey(std::string_view key) { return key == kTxnIdKey || key == kObjIdKey; }

// Keys whose columns read back as something other than the member: the empty key (its
// parent's own name) and the members the stamps and the rescue member replace, whatever they
// hold; and where the member has a column of its own (a leaf or an array), a name that ends
// as an index, rescue or stamp column does. An object's own name is no column: the names
// below it are read by their keys.
bool MisreadKey(std::string_view key, const Value& value) {
  if (key.empty() || IsStampKey(key) || key == kRestKey) return true;
  if (kind_of(value) == Kind::Object) return false;
  return key.ends_with(kIndexSuffix) || key.ends_with(kRestKey) || key.ends_with(kTxnIdKey) ||
         key.ends_with(kObjIdKey);
}

// The objects the Tagger enters in `value` (it never enters the stamp members), so that the
// objects left after a member is set aside keep their numbers in its walk.
std::uint32_t CountObjects(const Value& value) {
  std::uint32_t count = 0;
  if (const auto* object = std::get_if<Object>(&value.data)) {
    ++count;
    for (const auto& [key, member] : *object) {
      if (!IsStampKey(key)) count += CountObjects(member);
    }
  } else if (const auto* array = std::get_if<Array>(&value.data)) {
    for (const Value& element : *array) count += CountObjects(element);
  }
  return count;
}

// What `literals` records under `key`, or null when nothing.
const IntegerLiterals* Held(const IntegerLiterals* literals, std::string_view key) {
  if (literals == nullptr) return nullptr;
  const IntegerLiterals* held = literals->member(key);
  return held != nullptr && !held->empty() ? held : nullptr;
}

bool AllNull(const Array& array) {
  for (const Value& element : array) {
    if (kind_of(element) != Kind::Null) return false;
  }
  return true;
}

}  // namespace

struct Normalizer::ExactWalk {
  const ExactPlan& plan;
  ExactView& view;
  std::uint32_t next_origin = 0;
  // Only with a plan: the column name and the key list code of the member being decided.
  bool naming = false;
  std::string name;
  std::string code;
  bool rescue_nulls = true;
  // Which of the suffixes of `kColumnSuffixes` some owned name ends with: the names the
  // member would make with the others are looked up in vain.
  std::uint8_t owned_suffixes = 0;
  mutable std::string column;  // the name looked up, its buffer reused member after member

  // The names besides its own that a member may make, with the key its column adds and the
  // column's role.
  struct Suffix {
    std::string_view suffix;
    std::string_view extra_key;
    ColumnRole role;
  };
  static constexpr Suffix kColumnSuffixes[] = {
      {kIndexSuffix, {}, ColumnRole::Index},
      {kTxnIdSuffix, kTxnIdKey, ColumnRole::Value},
      {kObjIdSuffix, kObjIdKey, ColumnRole::Value},
      {kRestSuffix, kRestKey, ColumnRole::Rest},
  };

  void note_owned_suffixes() {
    for (const auto& [owned, code] : plan.owners) {
      for (std::size_t i = 0; i < std::size(kColumnSuffixes); ++i) {
        if (owned.ends_with(kColumnSuffixes[i].suffix)) owned_suffixes |= 1u << i;
      }
    }
  }

  // Whether the plan leaves every column the member makes to its key list; without
  // `guesses`, as if the plan's guessed names had no owner.
  bool owns(bool guesses = true) const {
    if (plan.owners.empty()) return true;
    auto owned = [&](std::string_view suffix, std::string_view extra_key, ColumnRole role) {
      column.assign(name).append(suffix);
      const auto it = plan.owners.find(column);
      if (it == plan.owners.end() || (!guesses && plan.guessed.contains(column))) return true;
      std::string mine = code;
      if (!extra_key.empty()) AppendKeyCode(mine, extra_key);
      mine.push_back(static_cast<char>(role));
      return it->second == mine;
    };
    if (!owned({}, {}, ColumnRole::Value)) return false;
    for (std::size_t i = 0; i < std::size(kColumnSuffixes); ++i) {
      const Suffix& made = kColumnSuffixes[i];
      if ((owned_suffixes >> i & 1u) != 0 && !owned(made.suffix, made.extra_key, made.role)) {
        return false;
      }
    }
    return true;
  }

  // Whether a cell of `kind` in the member's column is converted by the plan.
  bool converted(Kind kind) const {
    if (!naming || kind == Kind::Null) return false;
    const auto it = plan.kinds.find(name);
    return it != plan.kinds.end() && it->second != kind;
  }
};

void Normalizer::modify_exact(Object& document, const ExactPlan& plan, ExactView& view,
                              bool null_members_kept, const IntegerLiterals* literals) {
  ++document_;
  document_undo_ = undo_.size();
  decided_by_earlier_ = false;
  view.objects.clear();
  view.origins.clear();
  view.rests.clear();
  ExactWalk walk{plan, view, 0, !plan.empty(), {}, {}, null_members_kept, 0, {}};
  if (walk.naming) walk.name = kRootSegment;
  walk.note_owned_suffixes();
  exact_object_(root_, document, walk,
                literals != nullptr && !literals->empty() ? literals : nullptr);
}

void Normalizer::exact_object_(Node& node, Object& object, ExactWalk& walk,
                               const IntegerLiterals* literals) {
  learn_(node, Shape::Object);
  walk.view.objects.push_back(&object);
  walk.view.origins.push_back(walk.next_origin++);
  Object rest;
  IntegerLiterals rest_literals;
  std::size_t cursor = 0;
  std::size_t written = 0;
  const std::size_t name_length = walk.name.size();
  const std::size_t code_length = walk.code.size();
  // The rest holds each member as it came in, so what `literals` records under its key holds.
  const IntegerLiterals* held = nullptr;
  auto rescue = [&](const std::string& key, const Value& value) {
    rest.insert_or_assign(key, value);
    if (literals != nullptr) rest_literals.set_member(key, held);
  };
  auto set_aside = [&](Object::iterator it) {
    if (!IsStampKey(it->first)) walk.next_origin += CountObjects(it->second);
    if (literals != nullptr) rest_literals.set_member(it->first, held);
    rest.insert_or_assign(it->first, std::move(it->second));
    return object.erase(it);
  };
  for (auto it = object.begin(); it != object.end();) {
    const std::string& key = it->first;
    Value& value = it->second;
    held = Held(literals, key);
    if (MisreadKey(key, value)) {
      it = set_aside(it);
      continue;
    }
    if (walk.naming) {
      walk.name.resize(name_length);
      walk.name.push_back('_');
      walk.name.append(key);
      walk.code.resize(code_length);
      AppendKeyCode(walk.code, key);
      if (!walk.owns()) {
        if (!walk.plan.guessed.empty() && walk.owns(/*guesses=*/false)) {
          note_guessed_(node, key, value, walk.view, walk.name, walk.code);
        }
        it = set_aside(it);
        continue;
      }
    }
    // A null has no cell that says so (nor a shape to learn): it stays, and is rescued
    // unless the codec gives a null member back for any member it lacks.
    if (kind_of(value) == Kind::Null) {
      if (walk.rescue_nulls) rest.insert_or_assign(key, Value());
      ++it;
      continue;
    }
    Node& child = child_for_(node, key, cursor, written);
    const Shape have = shape_of_(value);
    if (have == Shape::Array) {
      Array& array = std::get<Array>(value.data);
      // An array turns any path into an array path, as in `modify`, if it can be held.
      if (!holdable_(array, child.known && child.shape == Shape::Array ? child.elem.get()
                                                                         : nullptr)) {
        it = set_aside(it);
        continue;
      }
      learn_(child, Shape::Array);
      // An integer's text is kept in the rest where the array's cells hold scalars; objects
      // keep theirs in their own rests.
      const bool lost = array.empty() || AllNull(array) ||
                        walk.converted(kind_of(array.front())) ||
                        (held != nullptr && kind_of(array.front()) != Kind::Object);
      if (lost) rescue(key, value);
      exact_array_(child, array, walk, held);
    } else if (child.known && child.shape == Shape::Array) {
      // A lone value at an array path: wrapped, so that queries of the path see it, and
      // given back alone.
      const Node* elem = child.elem.get();
      if (elem != nullptr && elem->known && elem->shape != have) {
        it = set_aside(it);
        continue;
      }
      rescue(key, value);
      promote_singular_to_array_(value);
      exact_array_(child, std::get<Array>(value.data), walk, nullptr);
    } else if (child.known && child.shape != have) {
      it = set_aside(it);
      continue;
    } else if (have == Shape::Object) {
      exact_object_(child, std::get<Object>(value.data), walk, held);
    } else {
      learn_(child, Shape::Leaf);
      if (walk.converted(kind_of(value)) || held != nullptr) rescue(key, value);
    }
    ++it;
  }
  node.last_members.resize(written);
  walk.name.resize(name_length);
  walk.code.resize(code_length);
  if (!rest.empty()) {
    walk.view.rests.push_back({&object, std::move(rest), std::move(rest_literals)});
  }
}

void Normalizer::exact_array_(Node& node, Array& array, ExactWalk& walk,
                              const IntegerLiterals* literals) {
  Node& elem = ensure_elem_(node);
  for (std::size_t i = 0; i < array.size(); ++i) {
    Value& element = array[i];
    if (auto* object = std::get_if<Object>(&element.data)) {
      const IntegerLiterals* held = literals != nullptr ? literals->element(i) : nullptr;
      exact_object_(elem, *object, walk, held != nullptr && !held->empty() ? held : nullptr);
    } else if (kind_of(element) != Kind::Null) {
      learn_(elem, Shape::Leaf);
    }
  }
}

bool Normalizer::holdable_(const Array& array, const Node* elem) {
  if (array.empty()) return true;
  const Kind first = kind_of(array.front());
  if (first == Kind::Array) return false;
  for (const Value& element : array) {
    if (kind_of(element) != first) return false;
  }
  if (first == Kind::Null || elem == nullptr || !elem->known) return true;
  return elem->shape == (first == Kind::Object ? Shape::Object : Shape::Leaf);
}

void Normalizer::note_guessed_(const Node& node, const std::string& key, const Value& value,
                               ExactView& view, const std::string& name,
                               const std::string& code) {
  const Kind kind = kind_of(value);
  const auto child = node.children.find(key);
  const bool leaves_only = child == node.children.end() || !child->second.known ||
                           child->second.shape == Shape::Leaf;
  std::string role_code = code;
  role_code.push_back(static_cast<char>(ColumnRole::Value));
  view.guessed.push_back(ExactView::Guessed{
      name, std::move(role_code), kind,
      kind != Kind::Array && kind != Kind::Object && leaves_only});
}

}  // namespace shredder
