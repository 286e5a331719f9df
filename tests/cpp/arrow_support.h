#pragma once

// Arrow arrays and record batches for tests, from Arrow's JSON notation or from builders.

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "arrow/api.h"
#include "arrow/json/from_string.h"

namespace shredder::testing {

/// An array of `type` written in Arrow's JSON notation; a typo fails loudly.
inline std::shared_ptr<arrow::Array> FromJson(const std::shared_ptr<arrow::DataType>& type,
                                              const std::string& json) {
  return arrow::json::ArrayFromJSONString(type, json).ValueOrDie();
}

/// A batch of the single column "doc", the way a caller hands documents to a codec.
inline std::shared_ptr<arrow::RecordBatch> BatchOf(const std::shared_ptr<arrow::Array>& column) {
  return arrow::RecordBatch::Make(arrow::schema({arrow::field("doc", column->type())}),
                                  column->length(), {column});
}

/// A batch of any number of columns, named c0, c1, ...; for the checks of the column count.
inline std::shared_ptr<arrow::RecordBatch> BatchOfColumns(
    std::vector<std::shared_ptr<arrow::Array>> columns) {
  arrow::FieldVector fields;
  for (std::size_t i = 0; i < columns.size(); ++i) {
    // Appended, not `"c" + ...`: GCC 12 sees a false overflow in operator+ at -O3.
    std::string name = "c";
    name += std::to_string(i);
    fields.push_back(arrow::field(std::move(name), columns[i]->type()));
  }
  const std::int64_t rows = columns.empty() ? 0 : columns[0]->length();
  return arrow::RecordBatch::Make(arrow::schema(fields), rows, std::move(columns));
}

template <typename Builder>
std::shared_ptr<arrow::Array> Finish(Builder& builder) {
  std::shared_ptr<arrow::Array> array;
  EXPECT_TRUE(builder.Finish(&array).ok());
  return array;
}

}  // namespace shredder::testing
