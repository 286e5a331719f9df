// Regression: columns of nulls only (the null type costs no memory in Arrow) were read into one
// 40-byte atom per cell before unshredding, and null index columns were copied once more to
// be sorted by, so a batch of a few kilobytes asked for gigabytes.
#include <sys/resource.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "arrow/array/array_base.h"
#include "arrow/array/builder_binary.h"
#include "arrow/array/builder_primitive.h"
#include "arrow/array/util.h"
#include "arrow/record_batch.h"
#include "controller/pipeline_support.h"

namespace shredder {
namespace {

constexpr std::int64_t kRows = 1 << 14;
constexpr int kNullColumns = (1 << 12) - 1;

// Distinct transaction ids t0, t1, ... and columns of the null type, every other one named
// as an index column: 2^26 cells, of which 2^26 - 2^14 are null.
std::shared_ptr<arrow::RecordBatch> NullHeavyBatch() {
  arrow::StringBuilder txn;
  for (std::int64_t r = 0; r < kRows; ++r) {
    if (!txn.Append("t" + std::to_string(r)).ok()) std::abort();
  }
  arrow::FieldVector fields{arrow::field("root___txn_id", arrow::utf8())};
  std::vector<std::shared_ptr<arrow::Array>> columns{txn.Finish().ValueOrDie()};
  for (int c = 0; c < kNullColumns; ++c) {
    fields.push_back(arrow::field("root_c" + std::to_string(c) + (c % 2 == 0 ? "__idx" : ""),
                                  arrow::null()));
    columns.push_back(std::make_shared<arrow::NullArray>(kRows));
  }
  return arrow::RecordBatch::Make(arrow::schema(fields), kRows, columns);
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;  // the sanitizer's shadow memory counts as data
#else
constexpr bool kSanitized = false;
#endif

// The data segment size of this process so far (VmData, which counts the address space
// that Arrow's allocator has reserved), in bytes.
rlim_t DataSize() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmData:", 0) == 0) return std::stoull(line.substr(7)) * 1024;
  }
  std::exit(4);
}

// Runs in a child process allowed 1 GiB of data beyond what it holds; the atoms of the null
// columns alone would take 2.7 GB.
[[noreturn]] void UnshredWithinOneGiB() {
  rlimit limit;
  limit.rlim_cur = limit.rlim_max = DataSize() + (rlim_t{1} << 30);
  if (setrlimit(RLIMIT_DATA, &limit) != 0) std::exit(2);
  testing::ModulePipeline p;
  const auto documents = p.controller.unshred(NullHeavyBatch());
  std::exit(documents->num_rows() == kRows ? 0 : 3);
}

TEST(UnshredNullColumnsMemoryBlowUp, NullOnlyColumnsStoreNoAtoms) {
  if (kSanitized) GTEST_SKIP() << "a data size limit cannot be set under AddressSanitizer";
  EXPECT_EXIT(UnshredWithinOneGiB(), ::testing::ExitedWithCode(0), "");
}

// What the null columns mean is unchanged: null index columns leave the order alone and
// null value columns place nothing.
TEST(UnshredNullColumnsMemoryBlowUp, NullOnlyColumnsPlaceNothing) {
  arrow::StringBuilder txn;
  ASSERT_TRUE(txn.AppendValues({"t2", "t1", "t2"}).ok());
  arrow::Int64Builder values;
  ASSERT_TRUE(values.AppendValues({5, 6, 7}).ok());
  arrow::Int64Builder index;
  ASSERT_TRUE(index.AppendValues({1, 0, 0}).ok());
  const auto batch = arrow::RecordBatch::Make(
      arrow::schema({arrow::field("root___txn_id", arrow::utf8()),
                     arrow::field("root_n__idx", arrow::null()),
                     arrow::field("root_a", arrow::int64()),
                     arrow::field("root_a__idx", arrow::int64()),
                     arrow::field("root_z", arrow::utf8())}),
      3,
      {txn.Finish().ValueOrDie(), std::make_shared<arrow::NullArray>(3),
       values.Finish().ValueOrDie(), index.Finish().ValueOrDie(),
       arrow::MakeArrayOfNull(arrow::utf8(), 3).ValueOrDie()});
  testing::ModulePipeline p;
  const std::vector<Object> documents = testing::Documents(*p.controller.unshred(batch));
  EXPECT_EQ(documents, (std::vector<Object>{testing::Parse(R"({"__txn_id": "t1", "a": [6]})"),
                                            testing::Parse(R"({"__txn_id": "t2", "a": [7, 5]})")}));
}

TEST(UnshredNullColumnsMemoryBlowUp, NullColumnReadsNullsAndRefusesWrites) {
  NullColumn column(2);
  EXPECT_EQ(column.kind(), IColumn::Kind::Scalar);
  EXPECT_EQ(column.size(), 2u);
  EXPECT_EQ(column.at(1), Atom{});
  EXPECT_TRUE(column.storage().empty());
  EXPECT_EQ(testing::MessageOf([&] { column.at(2); }), "NullColumn::at");
  EXPECT_THROW(column.at(2), Error);
  EXPECT_EQ(testing::MessageOf([&] { column.push(Atom{}); }), "NullColumn is read-only");
  EXPECT_THROW(column.push(Atom{}), Error);
}

}  // namespace
}  // namespace shredder
