// The whole engine against the plain reference pipeline beside this test: random documents
// fed through one handle batch after batch, and every document of the shared real-world data,
// must give the same atoms batch (names, order, types, cells) or the same failure text.

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "arrow/array/array_binary.h"
#include "arrow/array/array_primitive.h"
#include "arrow/record_batch.h"
#include "arrow/type.h"
#include "controller/pipeline_support.h"
#include "random_documents.h"
#include "reference/reference_pipeline.h"
#include "test_support.h"

namespace shredder {
namespace {

using testing::Json;

// What either side made of one batch: a table, or the text of the failure.
struct ShredOutcome {
  bool failed = false;
  std::string error;
  std::int64_t row = -1;  // the row a failure names; -1 for none
  reference::Table table;
};

Kind KindOfType(const arrow::DataType& type) {
  switch (type.id()) {
    case arrow::Type::NA: return Kind::Null;
    case arrow::Type::BOOL: return Kind::Bool;
    case arrow::Type::INT64: return Kind::Int64;
    case arrow::Type::DOUBLE: return Kind::Double;
    case arrow::Type::STRING: return Kind::String;
    default: throw std::runtime_error("unexpected atom column type " + type.ToString());
  }
}

// The cells of one engine column, read with Arrow's typed arrays.
std::vector<Atom> CellsOf(const arrow::Array& array) {
  std::vector<Atom> cells;
  for (std::int64_t i = 0; i < array.length(); ++i) {
    if (array.IsNull(i)) {
      cells.emplace_back();
      continue;
    }
    switch (array.type_id()) {
      case arrow::Type::BOOL:
        cells.emplace_back(static_cast<const arrow::BooleanArray&>(array).Value(i));
        break;
      case arrow::Type::INT64:
        cells.emplace_back(static_cast<const arrow::Int64Array&>(array).Value(i));
        break;
      case arrow::Type::DOUBLE:
        cells.emplace_back(static_cast<const arrow::DoubleArray&>(array).Value(i));
        break;
      case arrow::Type::STRING:
        cells.emplace_back(std::string(static_cast<const arrow::StringArray&>(array).GetView(i)));
        break;
      default: throw std::runtime_error("unexpected cell type " + array.type()->ToString());
    }
  }
  return cells;
}

ShredOutcome EngineShred(testing::ModulePipeline& pipeline, const std::vector<std::string>& texts) {
  ShredOutcome outcome;
  try {
    const auto batch = pipeline.Shred(texts);
    outcome.table.rows = batch->num_rows();
    for (int c = 0; c < batch->num_columns(); ++c) {
      outcome.table.names.push_back(batch->schema()->field(c)->name());
      outcome.table.kinds.push_back(KindOfType(*batch->column(c)->type()));
      outcome.table.columns.push_back(CellsOf(*batch->column(c)));
    }
  } catch (const std::exception& error) {
    outcome.failed = true;
    outcome.error = error.what();
    if (const auto* at = dynamic_cast<const Error*>(&error)) outcome.row = at->row().value_or(-1);
  }
  return outcome;
}

ShredOutcome ReferenceShred(reference::Pipeline& pipeline, const std::vector<std::string>& texts) {
  ShredOutcome outcome;
  try {
    outcome.table = pipeline.Shred(texts);
  } catch (const std::exception& error) {
    outcome.failed = true;
    outcome.error = error.what();
    outcome.row = pipeline.failed_row();
  }
  return outcome;
}

// Doubles compare by bit pattern, so -0.0 and 0.0 differ.
bool SameAtom(const Atom& a, const Atom& b) {
  if (a.index() != b.index()) return false;
  if (a.index() == 3) {
    return std::bit_cast<std::uint64_t>(std::get<double>(a)) ==
           std::bit_cast<std::uint64_t>(std::get<double>(b));
  }
  return a == b;
}

std::string Show(const Atom& atom) {
  return reference::Text(atom) + " (kind " + std::to_string(atom.index()) + ")";
}

// Empty when both agree; otherwise the first difference.
std::string Difference(const ShredOutcome& engine, const ShredOutcome& expected) {
  if (engine.failed || expected.failed) {
    if (engine.failed == expected.failed && engine.error == expected.error &&
        engine.row == expected.row) {
      return "";
    }
    auto show = [](const ShredOutcome& o) {
      return o.failed ? "failed at row " + std::to_string(o.row) + ": " + o.error
                      : std::string("succeeded");
    };
    return "engine " + show(engine) + "; reference " + show(expected);
  }
  const reference::Table& e = engine.table;
  const reference::Table& r = expected.table;
  if (e.names != r.names) {
    std::ostringstream out;
    out << "column names differ:";
    for (std::size_t i = 0; i < std::max(e.names.size(), r.names.size()); ++i) {
      const std::string a = i < e.names.size() ? e.names[i] : "<none>";
      const std::string b = i < r.names.size() ? r.names[i] : "<none>";
      if (a != b) {
        out << " first at " << i << ": engine " << a << ", reference " << b;
        break;
      }
    }
    return out.str();
  }
  if (e.rows != r.rows) {
    return "rows: engine " + std::to_string(e.rows) + ", reference " + std::to_string(r.rows);
  }
  for (std::size_t c = 0; c < e.names.size(); ++c) {
    if (e.kinds[c] != r.kinds[c]) {
      return "kind of " + e.names[c] + ": engine " + kind_name(e.kinds[c]) + ", reference " +
             kind_name(r.kinds[c]);
    }
    for (std::size_t i = 0; i < e.columns[c].size(); ++i) {
      if (!SameAtom(e.columns[c][i], r.columns[c][i])) {
        return "cell " + e.names[c] + "[" + std::to_string(i) + "]: engine " +
               Show(e.columns[c][i]) + ", reference " + Show(r.columns[c][i]);
      }
    }
  }
  return "";
}

// ---- Random documents ------------------------------------------------------------------

// Keys chosen so that paths meet: plain names (unicode among them) and, less often, names
// with "_" that join like nested ones or that the shredder refuses (a name ending like an
// index column or a stamp, the empty key), leading underscores that split differently, the
// Tagger's own keys and one that sorts between them. Each case keeps a plan: the kind each
// path shows, chosen at first use and only sometimes broken, so that documents of a case
// mostly agree and sometimes conflict.
testing::DocumentKnobs CaseKnobs() {
  testing::DocumentKnobs knobs;
  knobs.keys = {"a", "b", "c", "id", "tags", "items", "x_", "ü", "名前", "k~/",
                "B", "Z9", "__q", "a_b", "b_c", "_x", "__y", "", "__txn_id", "__obj_id",
                "n__idx"};
  knobs.rare_keys = 8;
  knobs.rare_key_chance = 0.008;
  knobs.members_at_root = 6;
  knobs.members = 4;
  knobs.members_deep = 4;
  knobs.weights = {{testing::Pick::Null, 1},   {testing::Pick::Bool, 1},
                   {testing::Pick::Int, 2},    {testing::Pick::Double, 1},
                   {testing::Pick::String, 1}, {testing::Pick::Object, 4},
                   {testing::Pick::Array, 6}};
  knobs.scalars_from = 5;
  knobs.agreeing_arrays = 1;
  knobs.stray_element = 0.01;
  knobs.nulls = 0.06;
  knobs.small_ints = 100000;
  knobs.plain_doubles = true;
  knobs.edge_numbers = 0.2;
  knobs.texts = {"", "x", "hello world", "ünïcødé", "東京",
                 "line\nbreak", "quote\"back\\slash", "\x01\x1f ctl",
                 "emoji \xF0\x9F\x98\x80", "a_b"};
  knobs.stable_paths = true;
  knobs.path_breaks = 0.02;
  knobs.shape_breaks = 0.005;
  knobs.deep_chance = 0.05;
  knobs.deep_max = 120;
  return knobs;
}

// One case: batches through one handle on each side. A failed batch leaves each handle as it
// was before it, so the batches after it are compared too.
void ExpectSameAcrossBatches(const std::vector<std::vector<std::string>>& batches,
                             const std::string& label) {
  testing::ModulePipeline engine;
  reference::Pipeline expected;
  for (std::size_t b = 0; b < batches.size(); ++b) {
    const ShredOutcome got = EngineShred(engine, batches[b]);
    const ShredOutcome want = ReferenceShred(expected, batches[b]);
    const std::string difference = Difference(got, want);
    ASSERT_EQ(difference, "") << label << ", batch " << b;
  }
}

TEST(EngineDifferential, RandomDocumentsThroughOneHandle) {
  int failed_cases = 0;
  int rows = 0;
  for (std::uint64_t seed = 1; seed <= 300; ++seed) {
    testing::RandomDocuments random(seed, CaseKnobs());
    std::vector<std::vector<std::string>> batches(random.Uniform(1, 3));
    for (auto& batch : batches) {
      for (int n = random.Uniform(0, 8); n > 0; --n) batch.push_back(random.Document().dump());
    }
    ExpectSameAcrossBatches(batches, "seed " + std::to_string(seed));
    if (::testing::Test::HasFatalFailure()) return;
    testing::ModulePipeline engine;
    for (const auto& batch : batches) {
      const ShredOutcome got = EngineShred(engine, batch);
      if (got.failed) {
        ++failed_cases;
        break;
      }
      rows += static_cast<int>(got.table.rows);
    }
  }
  // The plans must produce both outcomes in numbers, or the comparison proves little.
  std::printf("random cases: %d of 300 refused, %d rows compared\n", failed_cases, rows);
  EXPECT_GT(failed_cases, 20);
  EXPECT_LT(failed_cases, 250);
  EXPECT_GT(rows, 2000);
}

// Known texts whose outcome the random plans reach only by chance.
TEST(EngineDifferential, HandPickedBatches) {
  const std::vector<std::vector<std::vector<std::string>>> cases = {
      {{R"({"a":1})", R"({"a":[2,3]})"}, {R"({"a":4})"}},
      {{R"({"a":{"b":1}})", R"({"a":5})"}},
      {{R"({"a":1.5,"b":true})", R"({"a":2,"b":"x"})", R"({"b":3})"}},
      {{R"({"a_b":1,"a":{"b":2}})"}},
      {{R"({"id":7,"items":[{"n":1},{"n":2,"m":"x"}],"tags":["x","y"]})"}},
      {{R"({"a":[{"b":"x"},{"b":1}]})"}},
      {{R"({"a":[1,null]})"}},
      {{R"({"a":[[1]]})"}},
      {{R"({"x":18446744073709551615,"y":18446744073709551616,"z":-0})"}},
      {{R"({"__txn_id":{"q":1},"A":[1,2]})"}},
      {{"{}", R"({"":5})", R"({"e":[],"o":{}})"}},
      {{R"([1])"}},
      {{R"({"a":1)"}},
      {{""}},
      {{R"({"labels_url":"A","labels":[{"url":"B1"},{"url":"B2"}]})"}},
      {{R"({"x":[{"a_b":1},{"a":{"b":2}}]})"}},
      {{R"({"tags__idx":1})"}, {R"({"k":{"___obj_id":1}})"}, {R"({"a":{"":1}})"}},
      {{R"({"big":12345678901234567890,"top":9223372036854775807})"}},
      // A refused batch leaves no shape behind: "a" stays a plain member afterwards.
      {{R"({"z":5})"}, {R"({"a":[1]})", R"({"a":[1],"z":{"y":1}})"}, {R"({"a":2})"}},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    ExpectSameAcrossBatches(cases[i], "case " + std::to_string(i));
  }
}

#ifdef SHREDDER_SHARED_DATA_DIR
using testing::kSharedData;

// Documents whose atoms batch is larger than this are left to the engine's own tests: the
// reference keeps a map per row and would need gigabytes for them.
constexpr std::int64_t kMaxReferenceCells = 400'000;

// Every real document, in batches of up to 32 through one handle per file; after a batch too
// large for the reference, both sides go on with fresh handles.
TEST(EngineDifferential, EveryRealDocument) {
  std::size_t compared = 0;
  std::size_t too_large = 0;
  for (const auto& path : testing::DataFilesUnder(kSharedData / "real")) {
    const std::vector<std::string> documents =
        testing::DocumentsOf(path, testing::ArrayRoot::AlsoEachElement);
    auto engine = std::make_unique<testing::ModulePipeline>();
    auto expected = std::make_unique<reference::Pipeline>();
    for (std::size_t start = 0; start < documents.size(); start += 32) {
      const std::vector<std::string> batch(
          documents.begin() + static_cast<std::ptrdiff_t>(start),
          documents.begin() + static_cast<std::ptrdiff_t>(std::min(documents.size(), start + 32)));
      const ShredOutcome got = EngineShred(*engine, batch);
      if (!got.failed && got.table.rows * static_cast<std::int64_t>(got.table.names.size()) >
                             kMaxReferenceCells) {
        // Both sides start afresh after it, as after a failure.
        ++too_large;
        engine = std::make_unique<testing::ModulePipeline>();
        expected = std::make_unique<reference::Pipeline>();
        continue;
      }
      const ShredOutcome want = ReferenceShred(*expected, batch);
      ASSERT_EQ(Difference(got, want), "") << path << " documents from " << start;
      compared += batch.size();
    }
  }
  std::printf("real documents: %zu compared, %zu batches too large for the reference\n",
              compared, too_large);
  EXPECT_GT(compared, 1000u);
  EXPECT_LT(too_large, 10u);
}

// Every JSONTestSuite file as one document on fresh handles: accepted texts, refused ones and
// their parse errors.
TEST(EngineDifferential, EveryTestSuiteFile) {
  std::size_t shredded = 0;
  for (const auto& path : testing::DataFilesUnder(kSharedData / "jsontestsuite")) {
    testing::ModulePipeline engine;
    reference::Pipeline expected;
    const std::vector<std::string> batch = {testing::ReadWhole(path)};
    const ShredOutcome got = EngineShred(engine, batch);
    ASSERT_EQ(Difference(got, ReferenceShred(expected, batch)), "") << path;
    shredded += !got.failed;
  }
  EXPECT_GT(shredded, 10u);
}
#endif

}  // namespace
}  // namespace shredder
