// Regressions: every column of an atoms batch is padded to the batch's rows, so a batch of
// documents with keys of their own asked for rows x columns cells far beyond its size, and a
// batch of null-typed columns (no memory in Arrow) for one atom per cell when unshredded.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "arrow/array/array_base.h"
#include "arrow/array/builder_binary.h"
#include "arrow/array/builder_primitive.h"
#include "arrow/record_batch.h"
#include "arrow/type.h"
#include "controller/pipeline_support.h"
#include "test_support.h"

namespace shredder {
namespace {

using testing::MessageOf;
using testing::ModulePipeline;

constexpr const char* kBatchTooLarge = "Controller: atoms batch too large: ";

// An object of `count` members with keys of their own (`prefix` + number), all holding `value`.
std::string DistinctKeys(const std::string& prefix, int count, int value = 0) {
  std::string text = "{";
  for (int i = 0; i < count; ++i) {
    if (i != 0) text.push_back(',');
    text.push_back('"');
    text.append(prefix).append(std::to_string(i)).append("\":").append(std::to_string(value));
  }
  text.push_back('}');
  return text;
}

// 1,000 documents of 1,000 keys of their own would be 1e9 cells, and a million columns of a
// few kilobytes each wherever the batch goes. The batch is refused as soon as the documents
// read so far pass 65,536 columns (66 x 1,000), before any column is padded. Documents of 400
// keys pass 2^28 cells first (820 x 328,000 columns would be past both): see below.
TEST(ControllerAtomsBatchOfBillionsOfCells, DistinctKeysPerDocumentAreRefused) {
  std::vector<std::string> lines;
  for (int d = 0; d < 1000; ++d) {
    lines.push_back(DistinctKeys(std::to_string(d).append("k"), 1000));
  }
  ModulePipeline p(/*tag=*/false);
  EXPECT_EQ(MessageOf([&] { p.Shred(lines); }),
            "Controller: atoms batch too wide: 66000 columns exceed the limit of 65536 "
            "columns; shred fewer documents per batch");
}

// Atoms written with more columns than a shred makes now are still read.
TEST(ControllerAtomsBatchOfBillionsOfCells, WiderAtomsAreStillUnshredded) {
  constexpr int kColumns = 65537;
  arrow::StringBuilder txn;
  ASSERT_TRUE(txn.Append("t").ok());
  arrow::FieldVector fields{arrow::field("root___txn_id", arrow::utf8())};
  std::vector<std::shared_ptr<arrow::Array>> columns{txn.Finish().ValueOrDie()};
  for (int c = 0; c < kColumns; ++c) {
    arrow::Int64Builder value;
    ASSERT_TRUE(value.Append(c).ok());
    fields.push_back(arrow::field("root_c" + std::to_string(c), arrow::int64()));
    columns.push_back(value.Finish().ValueOrDie());
  }
  ModulePipeline p;
  const auto documents = testing::Documents(
      *p.controller.unshred(arrow::RecordBatch::Make(arrow::schema(fields), 1, columns)));
  ASSERT_EQ(documents.size(), 1u);
  EXPECT_EQ(documents[0].size(), kColumns + 1u);  // and "__txn_id"
  EXPECT_EQ(documents[0].at("c65536"), Value(65536));
}

// A long array gives many rows, a later document many columns: 16,385 x 16,384 is the first
// product past 2^28 (16,385 x 16,383 is one cell short of it).
TEST(ControllerAtomsBatchOfBillionsOfCells, RowsOfOneDocumentTimesColumnsOfAnother) {
  std::string array = R"({"a":[0)";
  for (int i = 1; i < 16384; ++i) array += ",0";
  array += "]}";
  ModulePipeline p(/*tag=*/false);
  EXPECT_EQ(MessageOf([&] { p.Shred({array, DistinctKeys("k", 16382)}); }),
            std::string(kBatchTooLarge) +
                "16385 rows x 16384 columns exceeds 268435456 cells; "
                "shred fewer documents per batch");
}

TEST(ControllerAtomsBatchOfBillionsOfCells, OrdinaryBatchesPass) {
  std::vector<std::string> lines;
  for (int d = 0; d < 200; ++d) lines.push_back(DistinctKeys("k", 200, d));
  ModulePipeline p;
  const auto atoms = p.Shred(lines);
  EXPECT_EQ(atoms->num_rows(), 200);
  EXPECT_EQ(atoms->num_columns(), 202);  // 200 keys, __obj_id and __txn_id
  EXPECT_EQ(testing::Documents(*p.controller.unshred(atoms)).size(), 200u);
}

// Null-typed columns of 2^20 rows cost nothing in Arrow; reading them would cost 2^28 atoms.
TEST(ControllerAtomsBatchOfBillionsOfCells, NullColumnsAreRefusedBeforeReading) {
  constexpr std::int64_t kRows = std::int64_t{1} << 20;
  arrow::FieldVector fields;
  std::vector<std::shared_ptr<arrow::Array>> columns;
  for (int c = 0; c < 257; ++c) {
    fields.push_back(arrow::field(c == 0 ? "root___txn_id" : "root_c" + std::to_string(c),
                                  arrow::null()));
    columns.push_back(std::make_shared<arrow::NullArray>(kRows));
  }
  const auto atoms = arrow::RecordBatch::Make(arrow::schema(fields), kRows, columns);
  ModulePipeline p;
  EXPECT_EQ(MessageOf([&] { p.controller.unshred(atoms); }),
            std::string(kBatchTooLarge) +
                "1048576 rows x 257 columns exceeds 268435456 cells; "
                "unshred fewer documents per batch");
}

}  // namespace
}  // namespace shredder
