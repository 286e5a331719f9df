#pragma once

// The one writer of compact JSON text. Two dialects share it: the serializer's JSON (the
// library's dump, byte for byte) and the boxing text of the coercion policy (numbers as
// printf "%.17g", string bytes passed through unchecked). Any tree can be written: a tree
// is read through a small node type (see `ValueNode` for the shape it must have).

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "shredder/error.h"
#include "shredder/integer_literals.h"
#include "shredder/value.h"

namespace shredder::json_writer {

enum class Dialect : std::uint8_t {
  // Doubles in the shortest text that reads back, always with a fraction or an exponent,
  // and null for NaN and the infinities; strings must be well-formed UTF-8; a valueless
  // value is an error.
  Json,
  // Doubles as "%.17g" (nan, inf, -inf included); string bytes unchecked; a valueless value
  // writes nothing.
  Boxing,
};

/// Appends `"bytes"` with JSON's escapes. In the Json dialect ill-formed UTF-8 throws the
/// library's own error text.
void AppendQuoted(std::string& out, std::string_view bytes, Dialect dialect);
void AppendInteger(std::string& out, std::int64_t number);
void AppendDouble(std::string& out, double number, Dialect dialect);

/// A member key with its written form (quoted, and the colon after it), made once for a key
/// that many objects share. `text` is empty when the key cannot be written: it is then
/// written, and fails, where an object holds it.
struct PreparedKey {
  std::string_view key;
  std::string_view text;
};

/// The written form of `key` for a PreparedKey, or an empty text when it cannot be written.
std::string PrepareKey(std::string_view key, Dialect dialect);

/// A `Value` seen as a node of a tree to write. Another tree is written through a type with
/// the same members: `valueless()` (the node holds no alternative, and so has no kind),
/// `kind()`, the scalar payloads, and `members(f)` / `elements(f)` calling `f(key, node)` /
/// `f(node)` in order.
class ValueNode {
 public:
  explicit ValueNode(const Value& value) : value_(&value) {}
  bool valueless() const { return value_->data.valueless_by_exception(); }
  // The alternatives of `ValueData` are in the order of `Kind`, as `kind_of` reads them;
  // read here without the call, since every value written asks.
  Kind kind() const { return static_cast<Kind>(value_->data.index()); }
  bool boolean() const { return *std::get_if<bool>(&value_->data); }
  std::int64_t integer() const { return *std::get_if<std::int64_t>(&value_->data); }
  double real() const { return *std::get_if<double>(&value_->data); }
  std::string_view text() const { return *std::get_if<std::string>(&value_->data); }
  const Value& value() const { return *value_; }
  template <typename F>
  void members(F&& f) const {
    for (const auto& [key, member] : *std::get_if<Object>(&value_->data)) {
      f(std::string_view(key), ValueNode(member));
    }
  }
  template <typename F>
  void elements(F&& f) const {
    for (const Value& element : *std::get_if<Array>(&value_->data)) f(ValueNode(element));
  }

 private:
  const Value* value_;
};

/// A `Value` with the texts of its integers beyond the int64 range (null when none): where
/// one is recorded, the writer writes that text instead of the double the value holds. The
/// text is written only over a double, so a tree that no longer matches writes its values.
class LiteralNode {
 public:
  LiteralNode(const Value& value, const IntegerLiterals* literals)
      : value_(value), literals_(literals != nullptr && !literals->empty() ? literals : nullptr) {}
  bool valueless() const { return value_.valueless(); }
  Kind kind() const { return value_.kind(); }
  bool boolean() const { return value_.boolean(); }
  std::int64_t integer() const { return value_.integer(); }
  double real() const { return value_.real(); }
  std::string_view text() const { return value_.text(); }
  /// The integer's text to write for this double, or an empty view.
  std::string_view literal() const {
    return literals_ != nullptr ? literals_->text() : std::string_view();
  }
  template <typename F>
  void members(F&& f) const {
    for (const auto& [key, member] : *std::get_if<Object>(&value_.value().data)) {
      f(std::string_view(key),
        LiteralNode(member, literals_ != nullptr ? literals_->member(key) : nullptr));
    }
  }
  template <typename F>
  void elements(F&& f) const {
    std::size_t index = 0;
    for (const Value& element : *std::get_if<Array>(&value_.value().data)) {
      f(LiteralNode(element, literals_ != nullptr ? literals_->element(index) : nullptr));
      ++index;
    }
  }

 private:
  ValueNode value_;
  const IntegerLiterals* literals_;
};

/// The members of an `Object` seen as an object node (it has only `members(f)`): each member
/// is made a node by `make_node(key, value)`.
template <typename MakeNode>
class ObjectMembers {
 public:
  ObjectMembers(const Object& object, MakeNode make_node)
      : object_(object), make_node_(std::move(make_node)) {}
  template <typename F>
  void members(F&& f) const {
    for (const auto& [key, member] : object_) {
      f(std::string_view(key), make_node_(std::string_view(key), member));
    }
  }

 private:
  const Object& object_;
  MakeNode make_node_;
};

/// Writes trees into `out`. Recursion is one small frame per level of nesting.
template <Dialect kDialect>
class Writer {
 public:
  explicit Writer(std::string& out) : out_(out) {}

  template <typename Node>
  void Write(const Node& node) {
    if (node.valueless()) {
      if constexpr (kDialect == Dialect::Json) {
        throw Error(ErrorCode::Internal, "Unsupported DOM value type for JSON emit");
      }
      return;
    }
    switch (node.kind()) {
      case Kind::Null: out_.append("null"); return;
      case Kind::Bool: out_.append(node.boolean() ? "true" : "false"); return;
      case Kind::Int64: AppendInteger(out_, node.integer()); return;
      case Kind::Double:
        if constexpr (requires { node.literal(); }) {
          if (const std::string_view literal = node.literal(); !literal.empty()) {
            out_.append(literal);
            return;
          }
        }
        AppendDouble(out_, node.real(), kDialect);
        return;
      case Kind::String: AppendQuoted(out_, node.text(), kDialect); return;
      case Kind::Array: {
        out_.push_back('[');
        bool first = true;
        node.elements([&](const auto& element) {
          if (!first) out_.push_back(',');
          first = false;
          Write(element);
        });
        out_.push_back(']');
        return;
      }
      case Kind::Object: WriteMembers(node); return;
    }
  }

  /// The members of an object node between braces.
  template <typename Node>
  void WriteMembers(const Node& node) {
    out_.push_back('{');
    bool first = true;
    node.members([&](const auto& key, const auto& member) {
      if (!first) out_.push_back(',');
      first = false;
      Key(key);
      Write(member);
    });
    out_.push_back('}');
  }

  /// The members of `object` between braces.
  void WriteObject(const Object& object) {
    WriteMembers(ObjectMembers(
        object, [](std::string_view, const Value& member) { return ValueNode(member); }));
  }

  /// An object whose integers recorded in `literals` are written as their texts.
  void WriteObject(const Object& object, const IntegerLiterals& literals) {
    WriteMembers(ObjectMembers(object, [&literals](std::string_view key, const Value& member) {
      return LiteralNode(member, literals.member(key));
    }));
  }

 private:
  void Key(std::string_view key) {
    AppendQuoted(out_, key, kDialect);
    out_.push_back(':');
  }
  void Key(const PreparedKey& key) {
    if (key.text.empty()) {
      Key(key.key);
    } else {
      out_.append(key.text);
    }
  }

  std::string& out_;
};

}  // namespace shredder::json_writer
