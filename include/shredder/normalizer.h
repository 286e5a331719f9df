#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "shredder/error.h"
#include "shredder/dom_modifier.h"
#include "shredder/exact_plan.h"
#include "shredder/integer_literals.h"

namespace shredder {

/// Keeps the shape (leaf, array, object) of every path consistent across all documents it
/// sees: a lone value at a path that has held an array is wrapped into a one-element array;
/// a scalar where an object was seen, or the reverse, is refused with `Error`
/// "Normalizer shape mismatch at <path> (have <shape>, want <shape>)".
/// Learned shapes persist for the life of the instance. Wrapping is the only change ever made
/// to a document. Between `begin_batch` and `rollback_batch` every change to the learned shapes
/// is logged and undone, so that a refused batch teaches nothing; outside such a bracket
/// shapes learned before a refusal stay. Calls must not overlap.
class Normalizer : public DomModifier {
 public:
  /// The shape recorded for a path.
  enum class Shape : std::uint8_t { Leaf = 0, Array = 1, Object = 2 };

  /// A fresh instance that has learned nothing.
  Normalizer() = default;
  ~Normalizer() override;

  /// Makes `document` consistent with every earlier document, wrapping single values at array
  /// paths in place. Throws `Error` (code Shape) on a shape mismatch; wrappings already made in
  /// the document and shapes already learned stay (until `rollback_batch`).
  void modify(Object& document) override;

  /// Starts logging how to undo what later calls of `modify` learn.
  void begin_batch() override;
  /// Keeps what was learned since `begin_batch` and drops the log.
  void commit_batch() override;
  /// Forgets everything learned since `begin_batch`: the shapes are exactly as they were.
  void rollback_batch() noexcept override;
  /// Forgets what the last `modify` or `modify_exact` learned.
  void rollback_document() noexcept override;

  /// Exact mode's pass over a document as it came in. Members the columns can hold are
  /// normalised as `modify` does (wrapping a lone value at an array path); the others are
  /// taken out of the document, and members whose cells would not give them back (a null, an
  /// empty array, an array of nulls, a wrapped value, a cell `plan` converts) stay and are
  /// rescued too. What the columns cannot hold: a shape against what is learned, nested
  /// arrays and arrays mixing kinds, keys read back as something else (the empty key,
  /// "__txn_id", "__obj_id", "__rest", and for a leaf or an array a key ending in "__idx",
  /// "__rest", "__txn_id" or "__obj_id"), and a name `plan` gives another key list.
  /// Only what stays teaches shapes. Never throws for the document's content.
  struct ExactView {
    /// The objects the document is left with, in the order a depth-first walk in key order
    /// enters them.
    std::vector<Object*> objects;
    /// For each of `objects`, its number in that order among the objects of the document as
    /// it came in, where members "__txn_id" and "__obj_id" are not entered (as the Tagger
    /// digests).
    std::vector<std::uint32_t> origins;
    /// The rescued members of an object, with their values as they came in, and the texts
    /// of the integers beyond the int64 range among them.
    struct Rest {
      Object* object;
      Object members;
      IntegerLiterals literals;
    };
    /// The rescued members of each object that has some.
    std::vector<Rest> rests;
    /// A member set aside only because a name of `ExactPlan::guessed` has another owner.
    struct Guessed {
      std::string name;  // the name its value would make
      std::string code;  // its key list code, with the value role (as `KeyListCode`)
      Kind kind;
      // A scalar or null at a path that held nothing but leaves so far: kept, it would have
      // made one cell of `name` and taught nothing but a leaf there.
      bool plain;
    };
    /// Every such member since the caller last cleared it: kept across documents.
    std::vector<Guessed> guessed;
  };
  /// `null_members_kept` false: a null member needs no rescue, as where documents come back
  /// as struct rows, whose fields stand for every member and are null where one is absent.
  /// `literals`, when given, holds the texts of the document's integers beyond the int64
  /// range: a leaf or an array of scalars holding one is rescued, with its text, since its
  /// cell holds only the nearest double.
  void modify_exact(Object& document, const ExactPlan& plan, ExactView& view,
                    bool null_members_kept = true, const IntegerLiterals* literals = nullptr);

  /// Whether the last `modify` wrapped a value, or refused one for its shape, at a path that
  /// the document had not shown a value at before: what it met there was learned from earlier
  /// documents. Every other decision (learning a shape, confirming one, wrapping or refusing
  /// against what the document itself showed earlier) is the one a fresh instance makes.
  bool decided_by_earlier_documents() const noexcept override { return decided_by_earlier_; }

 private:
  friend class NormalizerPeer;  // Reaches the guards that `modify` cannot trigger, in tests.

  /// What has been learned about one path.
  struct Node {
    bool known = false;
    Shape shape = Shape::Leaf;
    /// One node per member key ever seen in an object at this path.
    std::unordered_map<std::string, Node> children;
    /// The node standing for every element of every array at this path.
    std::unique_ptr<Node> elem;
    /// The children met by the last object at this path, in its key order (keys point into
    /// `children`, whose entries never move). Objects of one stream mostly repeat the same
    /// members, so a member is first compared with its expected neighbour here and hashed
    /// only when that guess fails.
    std::vector<std::pair<const std::string*, Node*>> last_members;
    /// The number of the last document that showed a value here (null aside) and was not
    /// refused for it. Never undone: numbers are not reused, so one left by a rolled-back
    /// document only ever names an earlier document.
    std::uint64_t last_document = 0;
  };

  /// The path of a value as a chain of member keys held on the stack of the walk. The text
  /// ("/a/b") is assembled only for an error message. The root has no key and no parent.
  struct Path {
    const Path* parent = nullptr;
    const std::string* key = nullptr;
  };

  /// One change to the shape tree, as the way to undo it.
  struct Undo {
    enum class Type : std::uint8_t { Shape, Child, Elem };
    Type type;
    bool known;  // Shape: the state before
    Shape shape;
    Node* node;
    const std::string* key;  // Child: the key of the child created in `node->children`
  };

  struct ExactWalk;
  void exact_object_(Node& node, Object& object, ExactWalk& walk,
                     const IntegerLiterals* literals);
  void exact_array_(Node& node, Array& array, ExactWalk& walk, const IntegerLiterals* literals);
  /// Whether `array` can stand in the columns at a path whose element node is `elem` (null
  /// when none is known yet): one kind of element throughout, no arrays, and a shape the
  /// element node accepts.
  static bool holdable_(const Array& array, const Node* elem);

  void normalize_object_(Node& node, Object& object, const Path& path);
  void normalize_array_(Node& node, Array& array, const Path& path);
  void normalize_value_(Node& node, Value& value, const Path& path);
  [[noreturn]] void throw_shape_mismatch_(const Path& path, Shape have, Shape want) const;

  /// The child node of `node` for `key`, created fresh when absent. `cursor` and `written`
  /// track the walk of one object against `node.last_members`.
  Node& child_for_(Node& node, const std::string& key, std::size_t& cursor,
                   std::size_t& written);
  /// Notes in `view.guessed` the member `key` of an object at `node`, about to be set aside
  /// for a guessed owner alone; `name` and `code` are its value column's name and key list.
  static void note_guessed_(const Node& node, const std::string& key, const Value& value,
                            ExactView& view, const std::string& name, const std::string& code);
  /// Records `shape` as the known shape of `node`.
  void learn_(Node& node, Shape shape);

  static bool is_empty_(const Value& value) noexcept;
  static Shape shape_of_(const Value& value) noexcept;
  static const char* shape_name_(Shape shape) noexcept;
  static void promote_singular_to_array_(Value& value);
  static std::string join_path_(std::string base, std::string_view key);
  static std::string path_text_(const Path& path);
  Node& ensure_elem_(Node& node);
  // Undoes the logged changes from `mark` on, newest first.
  void undo_to_(std::size_t mark) noexcept;

  Node root_;
  std::uint64_t document_ = 0;  // the number of the document being modified, from 1
  bool decided_by_earlier_ = false;
  bool logging_ = false;
  std::vector<Undo> undo_;  // changes since `begin_batch`, oldest first
  std::size_t document_undo_ = 0;  // where the current document's changes start in `undo_`
};

}  // namespace shredder
