#include <arrow/builder.h>
#include <arrow/type.h>

#include <cstdint>
#include <iterator>
#include <string>
#include <variant>

#include "codecs/arrow_dom_internal.h"
#include "shredder/arrow_dom_codec.h"

namespace shredder::arrow_dom {

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

}  // namespace shredder::arrow_dom
