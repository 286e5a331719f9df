#include <arrow/builder.h>
#include <arrow/type.h>

#include <cstddef>
#include <memory>
#include <utility>
#include <vector>

#include "codecs/arrow_dom_internal.h"

namespace shredder::arrow_dom {
namespace {

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

}  // namespace shredder::arrow_dom
