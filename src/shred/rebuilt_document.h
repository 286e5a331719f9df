#pragma once

// The document being rebuilt, held as flat node records that are reused from one document
// to the next instead of a tree of heap nodes: members refer to their keys by rank (the
// position of the key in byte order among all keys of the call), and strings are views into
// the cells they came from. It is written as JSON text or turned into an `Object`.

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "shredder/json_writer.h"
#include "shred/unshred_cells.h"
#include "shredder/value.h"

namespace shredder::unshredding {

using NodeId = std::uint32_t;
/// An array slot that holds no node: a null filler.
inline constexpr NodeId kNoNode = 0;

class RebuiltDocument {
 public:
  struct Member {
    std::uint32_t rank;
    NodeId node;
  };

  /// The keys of the call by rank; the views must outlive the document.
  void SetKeys(std::vector<std::string_view> keys);

  /// Members whose key rank is set here are left out of the JSON text (`AppendJson`), not of
  /// the `Object` (`ToObject`).
  void SkipInJson(std::vector<bool> ranks) { skipped_in_json_ = std::move(ranks); }

  /// Starts a new, empty document, keeping the storage of the last one.
  void Clear();

  NodeId root() const { return kRoot; }
  /// A new null node.
  NodeId NewNode();

  Kind kind(NodeId node) const { return nodes_[node].kind; }
  bool IsContainer(NodeId node) const {
    return node != kNoNode &&
           (nodes_[node].kind == Kind::Array || nodes_[node].kind == Kind::Object);
  }
  /// Makes `node` an empty array or object, dropping what it held.
  void MakeContainer(NodeId node, Kind kind);
  /// Makes `node` the scalar `cell`; its text is copied unless `stable` (valid for the call).
  void Assign(NodeId node, const CellView& cell, bool stable);

  std::vector<Member>& members(NodeId object) { return objects_[nodes_[object].list]; }
  const std::vector<Member>& members(NodeId object) const { return objects_[nodes_[object].list]; }
  std::vector<NodeId>& elements(NodeId array) { return arrays_[nodes_[array].list]; }
  const std::vector<NodeId>& elements(NodeId array) const { return arrays_[nodes_[array].list]; }
  std::string_view key(std::uint32_t rank) const { return keys_[rank]; }

  /// Appends the document's compact JSON text, exactly as `JsonSerialization::FromDom`
  /// writes its `Object`. Throws its "JSON emit failure: ..." texts.
  void AppendJson(std::string& out);
  /// The document as an `Object`.
  Object ToObject() const;

 private:
  static constexpr NodeId kRoot = 1;

  struct Node {
    Kind kind = Kind::Null;
    std::uint32_t list = 0;  // the member or element list of a container
    std::uint64_t bits = 0;
    std::string_view text;
  };

  friend class RebuiltNode;
  Value ToValue(NodeId node) const;

  std::vector<std::string_view> keys_;
  // Each key as the JSON text of a member writes it, made on the first text written.
  std::vector<std::string> key_texts_;
  std::vector<json_writer::PreparedKey> prepared_keys_;
  std::vector<bool> skipped_in_json_;  // by key rank
  std::vector<Node> nodes_;
  std::vector<std::vector<Member>> objects_;  // lists in use: the first `objects_used_`
  std::vector<std::vector<NodeId>> arrays_;
  std::uint32_t objects_used_ = 0;
  std::uint32_t arrays_used_ = 0;
  std::deque<std::string> owned_texts_;  // texts of cells read through a scratch copy
};

}  // namespace shredder::unshredding
