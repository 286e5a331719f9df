// Unshredding against the plain reference beside this test: random atoms tables (names that
// meet at one place, arrays of objects, index atoms that are null, negative or not integers,
// fillers, scalars meeting containers, null transaction atoms) must give the same documents
// or the same failure, through `Shredder::Unshred` and through the Controller with either
// codec; so must the atoms batches of random and real documents shredded by the engine.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "arrow/array/array_base.h"
#include "arrow/array/builder_binary.h"
#include "arrow/array/builder_primitive.h"
#include "arrow/record_batch.h"
#include "arrow/type.h"
#include "controller/pipeline_support.h"
#include "controller/vector_column.h"
#include "reference/reference_unshred.h"
#include "shredder/arrow_dom_codec.h"
#include "shredder/controller.h"
#include "shredder/json_text_codec.h"
#include "shredder/shredder.h"
#include "test_support.h"

namespace shredder {
namespace {

// A table whose every column holds one kind of atom (or nulls), so that it is also an
// atoms batch.
struct ColumnTable {
  std::vector<std::string> names;
  std::vector<Kind> kinds;
  std::vector<std::vector<Atom>> cells;
};

ShredResult AsShredResult(const ColumnTable& table) {
  ShredResult result;
  result.headers = table.names;
  for (const auto& column : table.cells) {
    result.columns.push_back(std::make_unique<VectorColumn>(std::vector<Atom>(column)));
  }
  return result;
}

std::shared_ptr<arrow::RecordBatch> AsBatch(const ColumnTable& table, std::int64_t rows) {
  arrow::FieldVector fields;
  arrow::ArrayVector arrays;
  for (std::size_t c = 0; c < table.names.size(); ++c) {
    std::shared_ptr<arrow::Array> array;
    auto fill = [&](auto& builder, auto&& append) {
      for (const Atom& atom : table.cells[c]) {
        if (atom.index() == 0) {
          if (!builder.AppendNull().ok()) throw std::runtime_error("append");
        } else {
          append(builder, atom);
        }
      }
      if (!builder.Finish(&array).ok()) throw std::runtime_error("finish");
    };
    switch (table.kinds[c]) {
      case Kind::Bool: {
        arrow::BooleanBuilder b;
        fill(b, [](auto& b, const Atom& a) { (void)b.Append(std::get<bool>(a)); });
        break;
      }
      case Kind::Int64: {
        arrow::Int64Builder b;
        fill(b, [](auto& b, const Atom& a) { (void)b.Append(std::get<std::int64_t>(a)); });
        break;
      }
      case Kind::Double: {
        arrow::DoubleBuilder b;
        fill(b, [](auto& b, const Atom& a) { (void)b.Append(std::get<double>(a)); });
        break;
      }
      case Kind::String: {
        arrow::StringBuilder b;
        fill(b, [](auto& b, const Atom& a) { (void)b.Append(std::get<std::string>(a)); });
        break;
      }
      default: {
        arrow::NullBuilder b;
        if (!b.AppendNulls(rows).ok() || !b.Finish(&array).ok()) throw std::runtime_error("null");
      }
    }
    fields.push_back(arrow::field(table.names[c], array->type()));
    arrays.push_back(array);
  }
  return arrow::RecordBatch::Make(arrow::schema(fields), rows, arrays);
}

class TableMaker {
 public:
  explicit TableMaker(std::uint64_t seed) : random_(seed) {}

  ColumnTable Make() {
    static const std::vector<std::string> kNames = {
        "root_a", "a", "root_a_b", "root_a__idx", "root_a_b__idx", "root_a_b_c", "root_c",
        "root_a___txn_id", "root_a___obj_id", "root", "", "root__x", "root_d__idx", "root_e",
        "root_e__idx", "root_e_f", "root_e_f__idx", "root_e_g", "root_a_c", "x_y", "root_x_y",
        "root_x__idx", "root_b", "root_b_b", "root_b__idx", "root___obj_id"};
    ColumnTable table;
    const int rows = Uniform(0, 12);
    // The transaction column first, a second candidate now and then.
    AddColumn(table, Uniform(0, 9) == 0 ? "root_a___txn_id" : "root___txn_id", rows, true);
    const int columns = Uniform(1, 12);
    for (int i = 0; i < columns; ++i) {
      const std::string& name = kNames[Uniform(0, static_cast<int>(kNames.size()) - 1)];
      AddColumn(table, name, rows, false);
    }
    std::shuffle(table.names.begin() + 1, table.names.end(), random_);  // names only
    rows_ = rows;
    return table;
  }

  int rows() const { return rows_; }

 private:
  void AddColumn(ColumnTable& table, const std::string& name, int rows, bool txn) {
    const bool index = name.ends_with("__idx");
    Kind kind;
    if (txn) {
      kind = Uniform(0, 5) == 0 ? Kind::Int64 : Kind::String;
    } else if (index) {
      kind = Uniform(0, 7) == 0 ? Kind::String : (Uniform(0, 9) == 0 ? Kind::Null : Kind::Int64);
    } else {
      kind = static_cast<Kind>(Uniform(0, 4));
    }
    std::vector<Atom> cells;
    for (int r = 0; r < rows; ++r) {
      const bool null = txn ? Uniform(0, 40) == 0 : Uniform(0, 3) == 0;
      if (null || kind == Kind::Null) {
        cells.emplace_back();
        continue;
      }
      switch (kind) {
        case Kind::Bool: cells.emplace_back(Uniform(0, 1) == 1); break;
        case Kind::Int64:
          cells.emplace_back(std::int64_t{txn ? Uniform(0, 3) : (index ? Uniform(-1, 3)
                                                                        : Uniform(-5, 5))});
          break;
        case Kind::Double: cells.emplace_back(Uniform(-8, 8) / 4.0); break;
        default: {
          static const std::vector<std::string> kTexts = {"t1", "t2", "t3", "x", "", "é",
                                                          "q\"\n", "1"};
          cells.emplace_back(kTexts[Uniform(txn ? 0 : 3, txn ? 2 : 7)]);
        }
      }
    }
    table.names.push_back(name);
    table.kinds.push_back(kind);
    table.cells.push_back(std::move(cells));
  }

  int Uniform(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(random_); }

  std::mt19937_64 random_;
  int rows_ = 0;
};

// The reference's documents as the codec writes them, or its failure text.
template <typename Codec>
std::string ExpectedBatch(const ShredResult& table, const Codec& codec) {
  try {
    return codec.FromDom(reference::Unshred(table))->ToString();
  } catch (const std::exception& error) {
    return error.what();
  }
}

std::string EngineBatch(Controller& controller, const std::shared_ptr<arrow::RecordBatch>& atoms) {
  try {
    return controller.unshred(atoms)->ToString();
  } catch (const std::exception& error) {
    return error.what();
  }
}

std::string JsonTexts(const std::vector<Object>& documents) {
  std::string text;
  for (const Object& document : documents) text += JsonSerialization().FromDom(document) + "\n";
  return text;
}

template <typename Fn>
std::string TextOrFailure(Fn&& fn) {
  try {
    return fn();
  } catch (const std::exception& error) {
    return error.what();
  }
}

// Both directions of comparison for one table: `Shredder::Unshred` on atom columns, and the
// Controller on the same cells as an atoms batch, with the JSON and the Arrow codec.
void ExpectSameAsReference(const ShredResult& table,
                           const std::shared_ptr<arrow::RecordBatch>& atoms,
                           const std::string& label) {
  const std::string want = TextOrFailure([&] { return JsonTexts(reference::Unshred(table)); });
  const std::string got = TextOrFailure([&] { return JsonTexts(Shredder().Unshred(table)); });
  ASSERT_EQ(got, want) << label;

  Controller json(std::make_unique<JsonTextCodec>(MakeSerialization(SerializationFormat::Json)),
                  {}, BoxToStringPolicy(), Controller::KnownParts{nullptr, true});
  const std::string want_json =
      ExpectedBatch(table, JsonTextCodec(MakeSerialization(SerializationFormat::Json)));
  ASSERT_EQ(EngineBatch(json, atoms), want_json) << label << " (json codec)";

  Controller arrow_codec(std::make_unique<ArrowDomCodec>(), {}, BoxToStringPolicy(),
                         Controller::KnownParts{nullptr, true});
  ASSERT_EQ(EngineBatch(arrow_codec, atoms), ExpectedBatch(table, ArrowDomCodec()))
      << label << " (arrow codec)";
}

TEST(UnshredDifferential, RandomTables) {
  int failed = 0;
  int documents = 0;
  for (std::uint64_t seed = 1; seed <= 4000; ++seed) {
    TableMaker maker(seed);
    const ColumnTable table = maker.Make();
    const ShredResult result = AsShredResult(table);
    ExpectSameAsReference(result, AsBatch(table, maker.rows()), "seed " + std::to_string(seed));
    if (::testing::Test::HasFatalFailure()) return;
    try {
      documents += static_cast<int>(reference::Unshred(result).size());
    } catch (const std::exception&) {
      ++failed;
    }
  }
  std::printf("random tables: %d refused, %d documents compared\n", failed, documents);
  // Both outcomes in numbers, or the comparison proves little.
  EXPECT_GT(failed, 100);
  EXPECT_GT(documents, 5000);
}

// The atoms batch of shredded documents, read back into atoms for the reference.
void ExpectSameForShredded(const std::vector<std::string>& lines, const std::string& label) {
  testing::ModulePipeline pipeline;
  std::shared_ptr<arrow::RecordBatch> atoms;
  try {
    atoms = pipeline.Shred(lines);
  } catch (const std::exception&) {
    return;  // refused documents have no atoms to compare
  }
  // The reference copies an atom per cell and row; very large batches are left to the
  // engine's own tests.
  if (atoms->num_rows() * atoms->num_columns() > 400'000) return;
  // The reference reads columns by their names, as atoms without key lists are read.
  arrow::FieldVector fields;
  for (const auto& field : atoms->schema()->fields()) fields.push_back(field->RemoveMetadata());
  atoms = arrow::RecordBatch::Make(arrow::schema(fields), atoms->num_rows(), atoms->columns());
  ShredResult table;
  for (int c = 0; c < atoms->num_columns(); ++c) {
    table.headers.push_back(atoms->schema()->field(c)->name());
    table.columns.push_back(std::make_unique<VectorColumn>(
        ReadAtomColumn(*atoms->column(c), atoms->num_rows())));
  }
  ExpectSameAsReference(table, atoms, label);
}

TEST(UnshredDifferential, ShreddedDocuments) {
  const std::vector<std::vector<std::string>> cases = {
      {R"({"a":1,"b":[1,2,{"c":[3,[4,5]]}],"d":{"e":null,"f":[]}})", R"({"a":2.5})"},
      {R"({"items":[{"n":1,"tags":["x","y"]},{"n":2}],"tags":["p"],"c":{"d":{"e":"f"}}})",
       R"({"items":[{"n":3,"tags":[]}],"c":{"d":{"e":"g","h":[{"i":1},{"i":2,"j":[1]}]}}})"},
      {R"({"a_b":1,"_c":2,"__d":3,"___e":{"f_g":4},"a":{"b":5}})"},
      {R"({"k":"\u00e9\u6771\ud83d\ude00","l":"\u0001\"\\","m":-0.0,"n":1e300})"},
      {R"({"x":[[1,2],[3,[4,[5]]]],"y":[{"z":[{"w":1}]}]})", R"({"x":[]})", R"({})"},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    ExpectSameForShredded(cases[i], "case " + std::to_string(i));
    if (::testing::Test::HasFatalFailure()) return;
  }
}

#ifdef SHREDDER_SHARED_DATA_DIR
// Every real document, shredded by the engine in batches of 16 per file, unshredded by both.
TEST(UnshredDifferential, EveryRealDocument) {
  const std::filesystem::path data = std::filesystem::path(SHREDDER_SHARED_DATA_DIR) / "real";
  std::size_t compared = 0;
  for (const auto& path : testing::DataFilesUnder(data)) {
    const std::vector<std::string> documents =
        testing::DocumentsOf(path, testing::ArrayRoot::WholeOnly);
    for (std::size_t start = 0; start < documents.size(); start += 16) {
      const std::vector<std::string> batch(
          documents.begin() + static_cast<std::ptrdiff_t>(start),
          documents.begin() + static_cast<std::ptrdiff_t>(std::min(documents.size(), start + 16)));
      ExpectSameForShredded(batch, path.string() + " from " + std::to_string(start));
      if (::testing::Test::HasFatalFailure()) return;
      compared += batch.size();
    }
  }
  EXPECT_GT(compared, 500u);
}
#endif

}  // namespace
}  // namespace shredder
