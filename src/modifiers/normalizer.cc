#include "shredder/normalizer.h"
#include "shredder/error.h"

#include <algorithm>
#include <stdexcept>
#include <variant>

#include "shredder/short_bytes.h"

namespace shredder {

Normalizer::~Normalizer() = default;

void Normalizer::modify(Object& document) {
  ++document_;
  document_undo_ = undo_.size();
  decided_by_earlier_ = false;
  learn_(root_, Shape::Object);
  normalize_object_(root_, document, Path{});
}

void Normalizer::begin_batch() {
  undo_.clear();
  logging_ = true;
}

void Normalizer::commit_batch() {
  logging_ = false;
  // A batch that taught much leaves a large log; its memory is not kept for the next one.
  if (undo_.capacity() > 4096) {
    std::vector<Undo>().swap(undo_);
  } else {
    undo_.clear();
  }
}

void Normalizer::rollback_batch() noexcept {
  undo_to_(0);
  logging_ = false;
}

void Normalizer::rollback_document() noexcept {
  undo_to_(std::min(document_undo_, undo_.size()));
}

void Normalizer::undo_to_(std::size_t mark) noexcept {
  // Newest first: a node's changes are undone before the node itself is removed.
  while (undo_.size() > mark) {
    const Undo& undo = undo_.back();
    switch (undo.type) {
      case Undo::Type::Shape:
        undo.node->known = undo.known;
        undo.node->shape = undo.shape;
        break;
      case Undo::Type::Child: {
        // The guesses may point at the child; they are only guesses, and start afresh.
        undo.node->last_members.clear();
        auto child = undo.node->children.find(*undo.key);
        if (child != undo.node->children.end()) undo.node->children.erase(child);
        break;
      }
      case Undo::Type::Elem:
        undo.node->elem.reset();
        break;
    }
    undo_.pop_back();
  }
}

void Normalizer::learn_(Node& node, Shape shape) {
  if (node.known && node.shape == shape) return;
  if (logging_) undo_.push_back(Undo{Undo::Type::Shape, node.known, node.shape, &node, nullptr});
  node.known = true;
  node.shape = shape;
}

void Normalizer::normalize_object_(Node& node, Object& object, const Path& path) {
  if (node.known && node.shape != Shape::Object) {
    throw_shape_mismatch_(path, Shape::Object, node.shape);
  }
  learn_(node, Shape::Object);
  std::size_t cursor = 0;
  std::size_t written = 0;
  for (auto& [key, value] : object) {
    Node& child = child_for_(node, key, cursor, written);
    normalize_value_(child, value, Path{&path, &key});
  }
  // Only now, after a complete walk, does the guess list describe this object exactly; a walk
  // cut short by an exception leaves stale but harmless guesses behind.
  node.last_members.resize(written);
}

Normalizer::Node& Normalizer::child_for_(Node& node, const std::string& key, std::size_t& cursor,
                                         std::size_t& written) {
  // Invariant: last_members[0, written) lists this object's members met so far, and
  // last_members[cursor, size) the previous object's members not yet matched; written <= cursor.
  auto& seen = node.last_members;
  for (std::size_t probe = cursor; probe < seen.size() && probe <= cursor + 1; ++probe) {
    // The expected member, or the one after it when this object lacks the expected one.
    if (SameText(*seen[probe].first, key)) {
      const auto entry = seen[probe];
      cursor = probe + 1;
      seen[written++] = entry;
      return *entry.second;
    }
  }
  const auto [it, created] = node.children.try_emplace(key);
  if (created && logging_) {
    try {
      undo_.push_back(Undo{Undo::Type::Child, false, Shape::Leaf, &node, &it->first});
    } catch (...) {
      node.children.erase(it);
      throw;
    }
  }
  const std::pair<const std::string*, Node*> entry{&it->first, &it->second};
  if (written < cursor) {
    seen[written] = entry;
  } else {
    seen.insert(seen.begin() + static_cast<std::ptrdiff_t>(written), entry);
    ++cursor;
  }
  ++written;
  return it->second;
}

void Normalizer::normalize_array_(Node& node, Array& array, const Path& path) {
  if (node.known && node.shape != Shape::Array) {
    throw_shape_mismatch_(path, Shape::Array, node.shape);
  }
  learn_(node, Shape::Array);
  Node& elem = ensure_elem_(node);
  for (Value& element : array) normalize_value_(elem, element, path);
}

void Normalizer::normalize_value_(Node& node, Value& value, const Path& path) {
  // Null neither records nor checks a shape and is never wrapped.
  if (is_empty_(value)) return;
  const Shape have = shape_of_(value);
  // A fresh instance knows a shape here only if this document showed a value here before,
  // and then the same shape: a wrap or a refusal against a shape it did not show was decided
  // by earlier documents.
  const bool shown_before = node.last_document == document_;
  if (!node.known) {
    learn_(node, have);
  } else if (have == Shape::Array) {
    // An array turns any path into an array path for good.
    learn_(node, Shape::Array);
  } else if (node.shape == Shape::Array) {
    decided_by_earlier_ = decided_by_earlier_ || !shown_before;
    node.last_document = document_;
    promote_singular_to_array_(value);
    normalize_array_(node, std::get<Array>(value.data), path);
    return;
  } else if (have != node.shape) {
    decided_by_earlier_ = decided_by_earlier_ || !shown_before;
    throw_shape_mismatch_(path, have, node.shape);
  }
  node.last_document = document_;
  if (have == Shape::Array) {
    normalize_array_(node, std::get<Array>(value.data), path);
  } else if (have == Shape::Object) {
    normalize_object_(node, std::get<Object>(value.data), path);
  }
}

void Normalizer::throw_shape_mismatch_(const Path& path, Shape have, Shape want) const {
  const std::string text = path_text_(path);
  std::string message = "Normalizer shape mismatch at ";
  message.append(text.empty() ? std::string_view("/") : std::string_view(text))
      .append(" (have ")
      .append(shape_name_(have))
      .append(", want ")
      .append(shape_name_(want))
      .append(")");
  throw Error(ErrorCode::Shape, std::move(message), text.empty() ? "/" : text);
}

bool Normalizer::is_empty_(const Value& value) noexcept {
  return std::holds_alternative<std::monostate>(value.data);
}

Normalizer::Shape Normalizer::shape_of_(const Value& value) noexcept {
  if (std::holds_alternative<Object>(value.data)) return Shape::Object;
  if (std::holds_alternative<Array>(value.data)) return Shape::Array;
  return Shape::Leaf;
}

const char* Normalizer::shape_name_(Shape shape) noexcept {
  switch (shape) {
    case Shape::Leaf:
      return "leaf";
    case Shape::Array:
      return "array";
    case Shape::Object:
      return "object";
  }
  return "unknown";
}

void Normalizer::promote_singular_to_array_(Value& value) {
  Array wrapped;
  wrapped.reserve(1);
  wrapped.push_back(std::move(value));
  value.data = std::move(wrapped);
}

std::string Normalizer::join_path_(std::string base, std::string_view key) {
  base.push_back('/');
  base.append(key);
  return base;
}

std::string Normalizer::path_text_(const Path& path) {
  std::vector<const std::string*> keys;
  for (const Path* link = &path; link != nullptr && link->key != nullptr; link = link->parent) {
    keys.push_back(link->key);
  }
  std::string text;
  for (auto it = keys.rbegin(); it != keys.rend(); ++it) text = join_path_(std::move(text), **it);
  return text;
}

Normalizer::Node& Normalizer::ensure_elem_(Node& node) {
  if (!node.elem) {
    if (logging_) undo_.push_back(Undo{Undo::Type::Elem, false, Shape::Leaf, &node, nullptr});
    node.elem = std::make_unique<Node>();
  }
  return *node.elem;
}

}  // namespace shredder
