#include "shred/rebuilt_document.h"
#include "shredder/error.h"

#include <limits>
#include <stdexcept>

#include "shredder/json_text.h"

namespace shredder::unshredding {

void RebuiltDocument::SetKeys(std::vector<std::string_view> keys) {
  keys_ = std::move(keys);
  key_texts_.clear();
  prepared_keys_.clear();
}

void RebuiltDocument::Clear() {
  nodes_.resize(2);  // node 0 stands for no node; node 1 is the root
  objects_used_ = 0;
  arrays_used_ = 0;
  owned_texts_.clear();
  nodes_[kRoot] = Node{};
  MakeContainer(kRoot, Kind::Object);
}

NodeId RebuiltDocument::NewNode() {
  if (nodes_.size() >= std::numeric_limits<NodeId>::max()) {
    // The budget refuses such documents before they are built.
    throw Error(ErrorCode::Internal, "Shredder::Unshred: document too large to rebuild");
  }
  nodes_.emplace_back();
  return static_cast<NodeId>(nodes_.size() - 1);
}

void RebuiltDocument::MakeContainer(NodeId node, Kind kind) {
  Node& n = nodes_[node];
  n.kind = kind;
  n.text = {};
  if (kind == Kind::Object) {
    if (objects_used_ == objects_.size()) objects_.emplace_back();
    objects_[objects_used_].clear();
    n.list = objects_used_++;
  } else {
    if (arrays_used_ == arrays_.size()) arrays_.emplace_back();
    arrays_[arrays_used_].clear();
    n.list = arrays_used_++;
  }
}

void RebuiltDocument::Assign(NodeId node, const CellView& cell, bool stable) {
  Node& n = nodes_[node];
  n.kind = cell.kind;
  n.bits = cell.bits;
  n.text = stable || cell.kind != Kind::String
               ? cell.text
               : std::string_view(owned_texts_.emplace_back(cell.text));
}

// A node seen as the JSON writer reads a tree.
class RebuiltNode {
 public:
  RebuiltNode(const RebuiltDocument& document, NodeId node) : document_(document), node_(node) {}
  bool valueless() const { return false; }
  Kind kind() const { return node_ == kNoNode ? Kind::Null : document_.nodes_[node_].kind; }
  bool boolean() const { return document_.nodes_[node_].bits != 0; }
  std::int64_t integer() const { return static_cast<std::int64_t>(document_.nodes_[node_].bits); }
  double real() const { return std::bit_cast<double>(document_.nodes_[node_].bits); }
  std::string_view text() const { return document_.nodes_[node_].text; }
  template <typename F>
  void members(F&& f) const {
    const std::vector<bool>& skipped = document_.skipped_in_json_;
    for (const RebuiltDocument::Member& m : document_.members(node_)) {
      if (m.rank < skipped.size() && skipped[m.rank]) continue;
      f(document_.prepared_keys_[m.rank], RebuiltNode(document_, m.node));
    }
  }
  template <typename F>
  void elements(F&& f) const {
    for (NodeId element : document_.elements(node_)) f(RebuiltNode(document_, element));
  }

 private:
  const RebuiltDocument& document_;
  NodeId node_;
};

void RebuiltDocument::AppendJson(std::string& out) {
  if (prepared_keys_.size() != keys_.size()) {
    key_texts_.reserve(keys_.size());
    for (std::string_view key : keys_) {
      key_texts_.push_back(json_writer::PrepareKey(key, json_writer::Dialect::Json));
    }
    for (std::size_t i = 0; i < keys_.size(); ++i) {
      prepared_keys_.push_back(json_writer::PreparedKey{keys_[i], key_texts_[i]});
    }
  }
  json_text::AppendJsonMembers(RebuiltNode(*this, kRoot), out);
}

Value RebuiltDocument::ToValue(NodeId node) const {
  if (node == kNoNode) return Value();
  const Node& n = nodes_[node];
  switch (n.kind) {
    case Kind::Bool: return Value(n.bits != 0);
    case Kind::Int64: return Value(static_cast<std::int64_t>(n.bits));
    case Kind::Double: return Value(std::bit_cast<double>(n.bits));
    case Kind::String: return Value(std::string(n.text));
    case Kind::Array: {
      Array array;
      array.reserve(elements(node).size());
      for (NodeId element : elements(node)) array.push_back(ToValue(element));
      return Value(std::move(array));
    }
    case Kind::Object: {
      Object object;
      // Members are held in key order, so each goes at the end.
      for (const Member& m : members(node)) {
        object.emplace_hint(object.end(), std::string(key(m.rank)), ToValue(m.node));
      }
      return Value(std::move(object));
    }
    default: return Value();
  }
}

Object RebuiltDocument::ToObject() const {
  Value root = ToValue(kRoot);
  return std::move(*std::get_if<Object>(&root.data));
}

}  // namespace shredder::unshredding
