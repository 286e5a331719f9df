// Regression: every document rebuilt by Shredder::Unshred repeats the paths of its columns, so
// a table of a few megabytes (one column named by 500 keys of 10,000 bytes over 2,000
// documents, or by 512 short keys over 50,000 documents) rebuilt gigabytes of members.
// Members are now counted against 2^28 bytes plus 512 per cell plus the names' bytes.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "shredder/atom_column.h"
#include "shredder/shredder.h"

namespace shredder {
namespace {

constexpr const char* kUnshredTooLarge =
    "Shredder::Unshred: documents too large to rebuild: members would take more than ";

std::unique_ptr<IColumn> Column(std::vector<Atom> atoms) {
  auto column = IColumn::Make(IColumn::Kind::Scalar, atoms.size());
  for (Atom& atom : atoms) column->push(std::move(atom));
  return column;
}

// `documents` rows, each its own document (integer transaction ids), with the value 1 under
// the column `name`; `null_columns` more columns of nulls only.
ShredResult OneValuePerDocument(const std::string& name, int documents, int null_columns = 0) {
  std::vector<Atom> ids, values;
  for (int d = 0; d < documents; ++d) {
    ids.emplace_back(std::int64_t{d});
    values.emplace_back(std::int64_t{1});
  }
  ShredResult table;
  table.headers = {"root___txn_id", name};
  table.columns.push_back(Column(std::move(ids)));
  table.columns.push_back(Column(std::move(values)));
  for (int c = 0; c < null_columns; ++c) {
    table.headers.push_back("root_n" + std::to_string(c));
    table.columns.push_back(Column(std::vector<Atom>(static_cast<std::size_t>(documents))));
  }
  return table;
}

std::string Path(int keys, std::size_t key_length, char key_char) {
  std::string path = "root";
  for (int k = 0; k < keys; ++k) path.append("_").append(key_length, key_char);
  return path;
}

std::string UnshredFailure(const ShredResult& table) {
  try {
    Shredder().Unshred(table);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "no failure";
}

TEST(UnshredRepeatedPathsBlowUp, LongKeysOverManyDocumentsAreRefused) {
  // Names: 13 + 5,000,504 bytes; cells: 2 x 2,000. Each document would take 5 MB.
  const std::string name = Path(500, 10000, 'k');
  EXPECT_EQ(UnshredFailure(OneValuePerDocument(name, 2000)),
            std::string(kUnshredTooLarge) + std::to_string((1 << 28) + 512 * 4000 + 13 + 5000504) + " bytes");
}

TEST(UnshredRepeatedPathsBlowUp, DeepShortKeysOverManyDocumentsAreRefused) {
  // The deepest accepted name over 50,000 documents would make 25.6 million members.
  const std::string name = Path(512, 1, 'a');
  EXPECT_EQ(UnshredFailure(OneValuePerDocument(name, 50000)),
            std::string(kUnshredTooLarge) + std::to_string((1 << 28) + 512 * 100000 + 13 + 1028) + " bytes");
}

// Columns of nulls only do not widen the budget, whatever their number.
TEST(UnshredRepeatedPathsBlowUp, NullColumnsDoNotWidenTheBudget) {
  const std::string name = Path(512, 1, 'a');
  const std::string failure = UnshredFailure(OneValuePerDocument(name, 50000, 3));
  EXPECT_EQ(failure, std::string(kUnshredTooLarge) + std::to_string((1 << 28) + 512 * 100000 + 13 +
                                                             1028 + 3 * 7) +
                         " bytes");
}

TEST(UnshredRepeatedPathsBlowUp, DeepDocumentsWithinTheBudgetAreRebuilt) {
  const std::string name = Path(512, 1, 'a');
  const std::vector<Object> documents = Shredder().Unshred(OneValuePerDocument(name, 1000));
  ASSERT_EQ(documents.size(), 1000u);
  const Object* level = &documents.back();
  for (int k = 0; k < 511; ++k) level = &std::get<Object>(level->at("a").data);
  EXPECT_EQ(level->at("a"), Value(1));
}

}  // namespace
}  // namespace shredder
