#include "shredder/arrow_dom_codec.h"

#include <arrow/array.h>
#include <arrow/builder.h>
#include <arrow/record_batch.h>
#include <arrow/type.h>

#include <cstdint>
#include <limits>
#include <string_view>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "codecs/arrow_dom_internal.h"
#include "codecs/arrow_dom_reader.h"

namespace shredder {
namespace arrow_dom {
namespace {

constexpr const char* kRootMessage =
    "ArrowDomCodec: root value must be an Object (Struct in Arrow)";

[[noreturn]] [[gnu::noinline]] void throw_status(const arrow::Status& status) {
  throw std::runtime_error("ArrowDomCodec: " + status.ToString());
}

}  // namespace

Value cell_to_value(const arrow::Array& array, std::int64_t i, int depth) {
  Value out;
  ArrayReader::Compile(array.data(), depth)->Read(i, out);
  return out;
}

// ----------------------------------------------------------------------------------------
// Type inference and merging

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

// What `literals` records under a member or an element, when anything.
const IntegerLiterals* member_of(const IntegerLiterals* literals, std::string_view key) {
  return literals != nullptr ? literals->member(key) : nullptr;
}

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

[[gnu::noinline]] arrow::Status make_list_builder(const std::shared_ptr<arrow::DataType>& type,
                                                  std::shared_ptr<arrow::ArrayBuilder>* out) {
  std::shared_ptr<arrow::ArrayBuilder> element;
  ARROW_RETURN_NOT_OK(
      make_builder(static_cast<const arrow::ListType&>(*type).value_type(), &element));
  *out = std::make_shared<arrow::ListBuilder>(arrow::default_memory_pool(), std::move(element),
                                              type);
  return arrow::Status::OK();
}

[[gnu::noinline]] arrow::Status make_struct_builder(
    const std::shared_ptr<arrow::DataType>& type, std::shared_ptr<arrow::ArrayBuilder>* out) {
  std::vector<std::shared_ptr<arrow::ArrayBuilder>> children(
      static_cast<std::size_t>(type->num_fields()));
  for (std::size_t k = 0; k < children.size(); ++k) {
    ARROW_RETURN_NOT_OK(make_builder(type->field(static_cast<int>(k))->type(), &children[k]));
  }
  *out = std::make_shared<arrow::StructBuilder>(type, arrow::default_memory_pool(),
                                                std::move(children));
  return arrow::Status::OK();
}

[[gnu::noinline]] arrow::Status make_scalar_builder(
    const std::shared_ptr<arrow::DataType>& type, std::shared_ptr<arrow::ArrayBuilder>* out) {
  arrow::MemoryPool* pool = arrow::default_memory_pool();
  switch (type->id()) {
    case arrow::Type::NA:
      *out = std::make_shared<arrow::NullBuilder>(pool);
      return arrow::Status::OK();
    case arrow::Type::BOOL:
      *out = std::make_shared<arrow::BooleanBuilder>(pool);
      return arrow::Status::OK();
    case arrow::Type::INT64:
      *out = std::make_shared<arrow::Int64Builder>(pool);
      return arrow::Status::OK();
    case arrow::Type::DOUBLE:
      *out = std::make_shared<arrow::DoubleBuilder>(pool);
      return arrow::Status::OK();
    case arrow::Type::STRING:
      *out = std::make_shared<arrow::StringBuilder>(pool);
      return arrow::Status::OK();
    default: {
      std::unique_ptr<arrow::ArrayBuilder> made;
      ARROW_RETURN_NOT_OK(arrow::MakeBuilder(pool, type, &made));
      *out = std::move(made);
      return arrow::Status::OK();
    }
  }
}

}  // namespace

arrow::Status make_builder(const std::shared_ptr<arrow::DataType>& type,
                           std::shared_ptr<arrow::ArrayBuilder>* out) {
  switch (type->id()) {
    case arrow::Type::LIST:
      return make_list_builder(type, out);
    case arrow::Type::STRUCT:
      return make_struct_builder(type, out);
    default:
      return make_scalar_builder(type, out);
  }
}

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

// ----------------------------------------------------------------------------------------
// Appending values to builders

namespace {

[[noreturn]] [[gnu::noinline]] void throw_kind_conflict(const Value& value,
                                                        const arrow::DataType& type) {
  throw ArrowKindConflict(kind_name(kind_of(value)), type.ToString());
}

// The payload of `value` when it holds a T; otherwise a kind conflict.
template <typename T>
const T& payload_of(const Value& value, const arrow::DataType& type) {
  const T* payload = std::get_if<T>(&value.data);
  if (payload == nullptr) throw_kind_conflict(value, type);
  return *payload;
}

[[gnu::noinline]] arrow::Status append_unsigned(arrow::ArrayBuilder* builder,
                                                const arrow::DataType& type, const Value& value,
                                                const IntegerLiterals* literals) {
  auto* unsigned_builder = static_cast<arrow::UInt64Builder*>(builder);
  if (const auto* integer = std::get_if<std::int64_t>(&value.data); integer && *integer >= 0) {
    return unsigned_builder->Append(static_cast<std::uint64_t>(*integer));
  }
  std::uint64_t number;
  if (!unsigned_literal(literals, number)) throw_kind_conflict(value, type);
  return unsigned_builder->Append(number);
}

[[gnu::noinline]] arrow::Status append_scalar(arrow::ArrayBuilder* builder,
                                              const arrow::DataType& type, const Value& value,
                                              const IntegerLiterals* literals) {
  switch (type.id()) {
    case arrow::Type::UINT64:
      return append_unsigned(builder, type, value, literals);
    case arrow::Type::BOOL:
      return static_cast<arrow::BooleanBuilder*>(builder)->Append(payload_of<bool>(value, type));
    case arrow::Type::INT64:
      return static_cast<arrow::Int64Builder*>(builder)->Append(
          payload_of<std::int64_t>(value, type));
    case arrow::Type::DOUBLE: {
      auto* doubles = static_cast<arrow::DoubleBuilder*>(builder);
      if (const auto* integer = std::get_if<std::int64_t>(&value.data)) {
        return doubles->Append(static_cast<double>(*integer));
      }
      return doubles->Append(payload_of<double>(value, type));
    }
    case arrow::Type::STRING:
      return static_cast<arrow::StringBuilder*>(builder)->Append(
          payload_of<std::string>(value, type));
    default:
      return arrow::Status::TypeError("Unsupported builder type: ", type.ToString());
  }
}

[[gnu::noinline]] arrow::Status open_list(arrow::ListBuilder* builder) {
  return builder->Append();
}

[[gnu::noinline]] arrow::Status open_struct(arrow::StructBuilder* builder) {
  return builder->Append();
}

arrow::Status append_list(arrow::ArrayBuilder* builder, const arrow::DataType& type,
                          const Value& value, const IntegerLiterals* literals) {
  auto* lists = static_cast<arrow::ListBuilder*>(builder);
  ARROW_RETURN_NOT_OK(open_list(lists));
  const auto* elements = std::get_if<Array>(&value.data);
  if (elements == nullptr) return arrow::Status::OK();  // Any other kind is an empty list.
  arrow::ArrayBuilder* element_builder = lists->value_builder();
  const arrow::DataType& element_type = *static_cast<const arrow::ListType&>(type).value_type();
  for (std::size_t k = 0; k < elements->size(); ++k) {
    ARROW_RETURN_NOT_OK(append_value(element_builder, element_type, (*elements)[k],
                                     literals != nullptr ? literals->element(k) : nullptr));
  }
  return arrow::Status::OK();
}

arrow::Status append_struct(arrow::ArrayBuilder* builder, const arrow::DataType& type,
                            const Value& value, const IntegerLiterals* literals) {
  auto* structs = static_cast<arrow::StructBuilder*>(builder);
  const auto& struct_type = static_cast<const arrow::StructType&>(type);
  if (const auto* object = std::get_if<Object>(&value.data)) {
    return append_object(structs, struct_type, *object, literals);
  }
  // Any other kind is a present struct whose every field is null.
  ARROW_RETURN_NOT_OK(open_struct(structs));
  for (int k = 0; k < struct_type.num_fields(); ++k) {
    ARROW_RETURN_NOT_OK(structs->field_builder(k)->AppendNull());
  }
  return arrow::Status::OK();
}

}  // namespace

arrow::Status append_object(arrow::StructBuilder* builder, const arrow::StructType& type,
                            const Object& document, const IntegerLiterals* literals) {
  ARROW_RETURN_NOT_OK(open_struct(builder));
  const int field_count = type.num_fields();
  // Fields normally come in the members' order, so the next member is tried first and a
  // lookup is needed only when it does not match.
  auto next = document.begin();
  for (int k = 0; k < field_count; ++k) {
    const arrow::Field& field = *type.field(k);
    arrow::ArrayBuilder* child = builder->field_builder(k);
    auto member = next;
    if (member == document.end() || member->first != field.name()) {
      member = document.find(field.name());
    }
    if (member == document.end()) {
      ARROW_RETURN_NOT_OK(child->AppendNull());
      continue;
    }
    try {
      ARROW_RETURN_NOT_OK(append_value(child, *field.type(), member->second,
                                       member_of(literals, field.name())));
    } catch (ArrowKindConflict& conflict) {
      // The path is assembled only on the way out of a conflict.
      conflict.prepend_member(field.name());
      throw;
    }
    next = std::next(member);
  }
  return arrow::Status::OK();
}

arrow::Status append_value(arrow::ArrayBuilder* builder, const arrow::DataType& type,
                           const Value& value, const IntegerLiterals* literals) {
  if (std::holds_alternative<std::monostate>(value.data)) return builder->AppendNull();
  switch (type.id()) {
    case arrow::Type::LIST:
      return append_list(builder, type, value, literals);
    case arrow::Type::STRUCT:
      return append_struct(builder, type, value, literals);
    default:
      return append_scalar(builder, type, value, literals);
  }
}

}  // namespace arrow_dom

// ----------------------------------------------------------------------------------------
// The codec

ArrowKindConflict::ArrowKindConflict(std::string have, std::string want)
    : have_(std::move(have)), want_(std::move(want)) {
  compose();
}

void ArrowKindConflict::prepend_member(std::string_view key) {
  std::string path = "/";
  path.append(key).append(path_);
  path_ = std::move(path);
  compose();
}

void ArrowKindConflict::compose() {
  message_ = "ArrowDomCodec: kind conflict at ";
  message_.append(path_.empty() ? std::string_view("/") : std::string_view(path_))
      .append(": ")
      .append(have_)
      .append(" where other documents have ")
      .append(want_)
      .append("; a struct column holds one kind per member, use the JSON codec for these "
              "documents");
}

void ArrowDomCodec::ValidateInput(const std::shared_ptr<arrow::RecordBatch>& batch) const {
  if (!batch) throw std::runtime_error("ArrowDomCodec: null RecordBatch");
  if (batch->num_columns() != 1) {
    throw std::runtime_error("ArrowDomCodec: expected 1 column, got " +
                             std::to_string(batch->num_columns()));
  }
  // Offsets, child lengths and UTF-8 are checked in full before any cell is read, so that a
  // malformed array is refused instead of read out of bounds.
  const arrow::Status status = batch->column(0)->ValidateFull();
  if (!status.ok()) arrow_dom::throw_status(status);
  // A column of another type fails every row alike: that is a failure of the batch, not of
  // its first row. (An empty batch of any type has no root to refuse.)
  if (batch->num_rows() > 0 && batch->column(0)->type_id() != arrow::Type::STRUCT) {
    throw std::runtime_error(arrow_dom::kRootMessage);
  }
}

ArrowDomCodec::ArrowDomCodec() = default;
ArrowDomCodec::~ArrowDomCodec() = default;

Object ArrowDomCodec::ToDom(const std::shared_ptr<arrow::RecordBatch>& batch,
                            std::int64_t row) const {
  const std::shared_ptr<arrow::ArrayData>& column = batch->column_data(0);
  if (row < 0 || row >= column->length) {
    throw std::out_of_range("ArrowDomCodec::ToDom: row " + std::to_string(row) +
                            " out of range");
  }
  if (column->type->id() != arrow::Type::STRUCT) {
    throw std::runtime_error(arrow_dom::kRootMessage);
  }
  // The rows of a batch come one call at a time: the readers are compiled for the first
  // and kept for the rest.
  std::shared_ptr<const arrow_dom::ArrayReader> reader = reader_.load();
  if (!reader || !reader->Reads(column)) {
    reader = arrow_dom::ArrayReader::Compile(column, 1);
    reader_.store(reader);
  }
  if (reader->IsNull(row)) throw std::runtime_error(arrow_dom::kRootMessage);
  Value root;
  reader->Read(row, root);
  return std::move(std::get<Object>(root.data));
}

Object ArrowDomCodec::ToDomWithLiterals(const std::shared_ptr<arrow::RecordBatch>& batch,
                                        std::int64_t row, IntegerLiterals& literals) const {
  Object document = ToDom(batch, row);
  literals = arrow_dom::read_literals(*batch->column(0), row);
  return document;
}

std::shared_ptr<arrow::RecordBatch> ArrowDomCodec::FromDom(
    const std::vector<Object>& documents) const {
  return FromDomWithLiterals(documents, {});
}

std::shared_ptr<arrow::RecordBatch> ArrowDomCodec::FromDomWithLiterals(
    const std::vector<Object>& documents, const std::vector<IntegerLiterals>& literals) const {
  auto literals_of = [&](std::size_t i) -> const IntegerLiterals* {
    return literals.size() == documents.size() && !literals[i].empty() ? &literals[i] : nullptr;
  };
  if (documents.empty()) {
    return arrow::RecordBatch::Make(arrow::schema({arrow::field("doc", arrow::null())}), 0,
                                    {std::make_shared<arrow::NullArray>(0)});
  }
  arrow_dom::MergedType merged;
  for (std::size_t i = 0; i < documents.size(); ++i) merged.merge(documents[i], literals_of(i));
  const std::shared_ptr<arrow::DataType> type = merged.to_arrow();
  const auto& struct_type = static_cast<const arrow::StructType&>(*type);

  std::shared_ptr<arrow::ArrayBuilder> builder;
  arrow::Status status = arrow_dom::make_builder(type, &builder);
  if (!status.ok()) arrow_dom::throw_status(status);
  auto* structs = static_cast<arrow::StructBuilder*>(builder.get());
  status = structs->Reserve(static_cast<std::int64_t>(documents.size()));
  for (std::size_t i = 0; status.ok() && i < documents.size(); ++i) {
    status = arrow_dom::append_object(structs, struct_type, documents[i], literals_of(i));
  }
  if (!status.ok()) arrow_dom::throw_status(status);

  auto finished = builder->Finish();
  if (!finished.ok()) arrow_dom::throw_status(finished.status());
  return arrow::RecordBatch::Make(arrow::schema({arrow::field("doc", type)}),
                                  static_cast<std::int64_t>(documents.size()),
                                  {std::move(finished).ValueUnsafe()});
}

}  // namespace shredder
