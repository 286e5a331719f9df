#include <arrow/type.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <variant>

#include "codecs/arrow_dom_internal.h"

namespace shredder::arrow_dom {

enum class NodeKind : std::uint8_t { Null, Bool, Int64, UInt64, Float64, Utf8, List, Struct };

struct MergedType::Node {
  NodeKind kind = NodeKind::Null;
  bool negative = false;              // An integer below zero was met: no uint64.
  std::unique_ptr<Node> element;      // List only.
  std::map<std::string, Node> fields;  // Struct only; ascending by name, as the output lists them.
};

namespace {

using Node = MergedType::Node;

void merge_value(Node& node, const Value& value, const IntegerLiterals* literals);

using FieldIterator = std::map<std::string, Node>::iterator;

[[gnu::noinline]] FieldIterator add_field(Node& node, FieldIterator before,
                                          const std::string& name) {
  return node.fields.emplace_hint(before, name, Node{});
}

void merge_object(Node& node, const Object& object, const IntegerLiterals* literals) {
  if (node.kind == NodeKind::Null) {
    node.kind = NodeKind::Struct;
  } else if (node.kind != NodeKind::Struct) {
    return;  // The earlier type stays.
  }
  // Members and fields share one order, so one forward walk finds or places every member.
  auto field = node.fields.begin();
  for (const auto& [key, member] : object) {
    int order = 1;  // Of the field's name against the key; 1 past the last field.
    while (field != node.fields.end() && (order = field->first.compare(key)) < 0) ++field;
    if (order != 0) field = add_field(node, field, key);
    merge_value(field->second, member, member_of(literals, key));
    ++field;
  }
}

void merge_value(Node& node, const Value& value, const IntegerLiterals* literals) {
  switch (kind_of(value)) {
    case Kind::Null:
      return;
    case Kind::Bool:
      if (node.kind == NodeKind::Null) node.kind = NodeKind::Bool;
      return;
    case Kind::Int64:
      if (node.kind == NodeKind::Null) node.kind = NodeKind::Int64;
      if (std::get<std::int64_t>(value.data) < 0) {
        node.negative = true;
        if (node.kind == NodeKind::UInt64) node.kind = NodeKind::Float64;
      }
      return;
    case Kind::Double: {
      // An integer above the int64 range, with the integers beside it, is written as uint64
      // when none is negative: as such integers came from a uint64 column.
      const bool numeric = node.kind == NodeKind::Null || node.kind == NodeKind::Int64 ||
                           node.kind == NodeKind::UInt64;
      std::uint64_t number;
      if (numeric) {
        node.kind = !node.negative && unsigned_literal(literals, number) ? NodeKind::UInt64
                                                                         : NodeKind::Float64;
      }
      return;
    }
    case Kind::String:
      if (node.kind == NodeKind::Null) node.kind = NodeKind::Utf8;
      return;
    case Kind::Array: {
      if (node.kind == NodeKind::Null) {
        node.kind = NodeKind::List;
        node.element = std::make_unique<Node>();
      } else if (node.kind != NodeKind::List) {
        return;
      }
      // Every element takes part in the element type: a member that only a later element
      // has would otherwise have no field and be dropped, and a later double, or a value
      // after a leading null, would meet a builder of the wrong type.
      std::size_t index = 0;
      for (const Value& element : std::get<Array>(value.data)) {
        merge_value(*node.element, element,
                    literals != nullptr ? literals->element(index++) : nullptr);
      }
      return;
    }
    case Kind::Object:
      merge_object(node, std::get<Object>(value.data), literals);
      return;
  }
}

std::shared_ptr<arrow::DataType> node_to_arrow(const Node& node);

// Containers get their own functions so that the recursive frames hold only their locals.
[[gnu::noinline]] std::shared_ptr<arrow::DataType> struct_to_arrow(const Node& node) {
  arrow::FieldVector fields;
  fields.reserve(node.fields.size());
  for (const auto& [name, child] : node.fields) {
    fields.push_back(arrow::field(name, node_to_arrow(child)));
  }
  return arrow::struct_(std::move(fields));
}

[[gnu::noinline]] std::shared_ptr<arrow::DataType> list_to_arrow(const Node& node) {
  return arrow::list(node_to_arrow(*node.element));
}

std::shared_ptr<arrow::DataType> node_to_arrow(const Node& node) {
  switch (node.kind) {
    case NodeKind::Null:
      return arrow::null();
    case NodeKind::Bool:
      return arrow::boolean();
    case NodeKind::Int64:
      return arrow::int64();
    case NodeKind::UInt64:
      return arrow::uint64();
    case NodeKind::Float64:
      return arrow::float64();
    case NodeKind::Utf8:
      return arrow::utf8();
    case NodeKind::List:
      return list_to_arrow(node);
    case NodeKind::Struct:
      return struct_to_arrow(node);
  }
  return arrow::null();
}

}  // namespace

MergedType::MergedType() : root_(std::make_unique<Node>()) {}
MergedType::~MergedType() = default;
MergedType::MergedType(MergedType&&) noexcept = default;
MergedType& MergedType::operator=(MergedType&&) noexcept = default;

void MergedType::merge(const Value& value) { merge_value(*root_, value, nullptr); }

void MergedType::merge(const Object& document, const IntegerLiterals* literals) {
  merge_object(*root_, document, literals);
}

std::shared_ptr<arrow::DataType> MergedType::to_arrow() const { return node_to_arrow(*root_); }

std::shared_ptr<arrow::DataType> infer_arrow_type(const Value& value) {
  MergedType type;
  type.merge(value);
  return type.to_arrow();
}

}  // namespace shredder::arrow_dom
