#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "arrow/array/builder_primitive.h"
#include "arrow_support.h"
#include "controller/pipeline_support.h"

// Controller::unshred reads the cells of an atoms batch where they lie. Its documents must be
// exactly those of the plain route: every column read into atoms, the atoms handed to
// Shredder::Unshred as a table, the documents written by the codec.

namespace shredder {
namespace {

using testing::Finish;
using testing::ModulePipeline;

// The plain route, or the failure text it ends with.
std::string Reference(const arrow::RecordBatch& atoms) {
  try {
    ShredResult table;
    for (int c = 0; c < atoms.num_columns(); ++c) {
      table.headers.push_back(atoms.schema()->field(c)->name());
      table.columns.push_back(
          std::make_unique<VectorColumn>(ReadAtomColumn(*atoms.column(c), atoms.num_rows())));
    }
    const auto batch =
        JsonTextCodec(MakeSerialization(SerializationFormat::Json)).FromDom(
            Shredder().Unshred(table));
    return batch->column(0)->ToString();
  } catch (const std::exception& e) {
    return e.what();
  }
}

std::string InPlace(const std::shared_ptr<arrow::RecordBatch>& atoms) {
  ModulePipeline pipeline;
  try {
    return pipeline.controller.unshred(atoms)->column(0)->ToString();
  } catch (const std::exception& e) {
    return e.what();
  }
}

std::shared_ptr<arrow::RecordBatch> Batch(
    std::vector<std::pair<std::string, std::shared_ptr<arrow::Array>>> columns) {
  arrow::FieldVector fields;
  arrow::ArrayVector arrays;
  for (auto& [name, array] : columns) {
    fields.push_back(arrow::field(name, array->type()));
    arrays.push_back(array);
  }
  const std::int64_t rows = arrays.front()->length();
  return arrow::RecordBatch::Make(arrow::schema(fields), rows, arrays);
}

TEST(ControllerUnshredInPlace, ShreddedBatchesWholeAndSliced) {
  ModulePipeline shredding;
  const auto atoms = shredding.Shred({
      R"({"id": 7, "tags": ["x", "y"], "items": [{"n": 1, "p": 2.5}, {"n": 2, "ok": true}]})",
      R"({"id": 8, "tags": [], "note": "a\"b\u0001", "items": [{"n": 3, "ok": false}]})",
      R"({"id": 9, "w": {"deep": {"er": [-0.0, 1e300]}}, "nothing": null})",
  });
  ASSERT_GT(atoms->num_rows(), 4);
  EXPECT_EQ(InPlace(atoms), Reference(*atoms));
  // Slices put every column at an offset, bitmaps included, and cut documents apart.
  for (std::int64_t offset : {1, 2, 3}) {
    const auto sliced = atoms->Slice(offset);
    EXPECT_EQ(InPlace(sliced), Reference(*sliced)) << offset;
  }
  const auto middle = atoms->Slice(1, 2);
  EXPECT_EQ(InPlace(middle), Reference(*middle));
}

TEST(ControllerUnshredInPlace, EveryAcceptedTypeAtOffsets) {
  arrow::StringBuilder txn;
  ASSERT_TRUE(txn.AppendValues({"t0", "t1", "t1", "t2", "t2", "t3", "t3", "t3", "t4"}).ok());
  arrow::LargeStringBuilder large;
  ASSERT_TRUE(large.AppendValues({"a", "", "long text here"}).ok());
  ASSERT_TRUE(large.AppendNull().ok());
  ASSERT_TRUE(large.AppendValues({"b", "c", "d", "e", "f"}).ok());
  arrow::BooleanBuilder bools;
  ASSERT_TRUE(bools.AppendValues(std::vector<bool>{true, false, true}).ok());
  ASSERT_TRUE(bools.AppendNulls(2).ok());
  ASSERT_TRUE(bools.AppendValues(std::vector<bool>{false, true, true, false}).ok());
  arrow::Int64Builder ints;
  ASSERT_TRUE(ints.AppendValues({0, 1, 0, 1, 2, 0, 1, 2, 0}).ok());
  arrow::DoubleBuilder doubles;
  ASSERT_TRUE(doubles.AppendNull().ok());
  ASSERT_TRUE(doubles
                  .AppendValues({-0.0, std::numeric_limits<double>::quiet_NaN(), 1.5, 2.0,
                                 std::numeric_limits<double>::infinity(), 3.0, 4.0, 5.0})
                  .ok());
  arrow::Int32Builder int32_nulls;
  ASSERT_TRUE(int32_nulls.AppendNulls(9).ok());
  const auto batch = Batch({{"root___txn_id", Finish(txn)},
                            {"root_s", Finish(large)},
                            {"root_b", Finish(bools)},
                            {"root_list__idx", Finish(ints)},
                            {"root_list", Finish(doubles)},
                            {"root_none", std::make_shared<arrow::NullArray>(9)},
                            {"root_int32", Finish(int32_nulls)}});
  for (std::int64_t offset = 0; offset < 9; ++offset) {
    const auto sliced = batch->Slice(offset);
    EXPECT_EQ(InPlace(sliced), Reference(*sliced)) << offset;
  }
}

TEST(ControllerUnshredInPlace, FailuresAsThePlainRoute) {
  arrow::Int64Builder ints;
  ASSERT_TRUE(ints.AppendValues({1, 2}).ok());
  arrow::Int32Builder int32;
  ASSERT_TRUE(int32.AppendNull().ok());
  ASSERT_TRUE(int32.Append(5).ok());
  arrow::StringBuilder txn;
  ASSERT_TRUE(txn.Append("t").ok());
  ASSERT_TRUE(txn.AppendNull().ok());
  const std::vector<std::shared_ptr<arrow::RecordBatch>> batches = {
      Batch({{"root_a", Finish(ints)}}),
      Batch({{"root___txn_id", Finish(txn)}, {"root_i", Finish(int32)}}),
  };
  ASSERT_TRUE(ints.AppendValues({1, 2}).ok());
  ASSERT_TRUE(txn.Append("t").ok());
  ASSERT_TRUE(txn.AppendNull().ok());
  const auto null_txn = Batch({{"root___txn_id", Finish(txn)}, {"root_a", Finish(ints)}});
  const std::vector<std::pair<std::shared_ptr<arrow::RecordBatch>, std::string>> cases = {
      {batches[0], "Shredder::Unshred: missing __txn_id column"},
      {batches[1], "Controller: unshred: unsupported atom column type: int32"},
      {null_txn, "Shredder::Unshred: null __txn_id encountered"},
  };
  for (const auto& [batch, message] : cases) {
    EXPECT_EQ(Reference(*batch), message);
    EXPECT_EQ(InPlace(batch), message);
  }
}

// Documents are written as text as soon as they are rebuilt, in table order; a failure must
// still be the one the plain route meets: a document that cannot be rebuilt before any text
// that cannot be written, and of the texts the first in document order. The two member keys
// are ill-formed UTF-8 in different ways, so the texts tell which document failed.
TEST(ControllerUnshredInPlace, FailuresWhileWritingAsThePlainRoute) {
  struct Row {
    std::string txn;
    bool k;  // holds the member with the key "k\xC3"
    bool m;  // holds the member with the key "m\xE2\x82"
    std::int64_t index;
  };
  auto make = [&](const std::vector<Row>& rows) {
    arrow::StringBuilder txn;
    arrow::StringBuilder k;
    arrow::StringBuilder m;
    arrow::Int64Builder indexes;
    arrow::Int64Builder values;
    for (const Row& row : rows) {
      EXPECT_TRUE(txn.Append(row.txn).ok());
      EXPECT_TRUE((row.k ? k.Append("x") : k.AppendNull()).ok());
      EXPECT_TRUE((row.m ? m.Append("y") : m.AppendNull()).ok());
      EXPECT_TRUE(indexes.Append(row.index).ok());
      EXPECT_TRUE(values.Append(1).ok());
    }
    return Batch({{"root___txn_id", Finish(txn)},
                  {"root_k\xC3", Finish(k)},
                  {"root_m\xE2\x82", Finish(m)},
                  {"root_list__idx", Finish(indexes)},
                  {"root_list", Finish(values)}});
  };
  const std::int64_t far = std::int64_t{1} << 40;  // more array slots than any budget
  const std::vector<std::pair<std::shared_ptr<arrow::RecordBatch>, std::string>> cases = {
      // The rows of t2 come first in the table; t1's text is the first the codec writes.
      {make({{"t2", true, false, 0}, {"t1", false, true, 0}}), "JSON emit failure: "},
      {make({{"t2", false, true, 0}, {"t1", true, false, 0}}), "JSON emit failure: "},
      {make({{"t2", true, false, 0}, {"t1", false, false, 0}}), "JSON emit failure: "},
      // A document that cannot be rebuilt wins over any text, wherever it stands.
      {make({{"t1", true, false, 0}, {"t2", false, false, far}}),
       "Shredder::Unshred: array index out of range at root_list"},
      {make({{"t2", false, false, far}, {"t1", false, true, 0}}),
       "Shredder::Unshred: array index out of range at root_list"},
  };
  std::vector<std::string> texts;
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const auto& [batch, start] = cases[i];
    const std::string want = Reference(*batch);
    EXPECT_TRUE(want.starts_with(start)) << i << ": " << want;
    EXPECT_EQ(InPlace(batch), want) << i;
    texts.push_back(want);
  }
  // The first two fail in different documents, so with different texts.
  EXPECT_NE(texts[0], texts[1]);
}

}  // namespace
}  // namespace shredder
