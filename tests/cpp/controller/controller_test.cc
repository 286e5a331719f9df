#include "shredder/controller.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "arrow/util/key_value_metadata.h"
#include "arrow/array/array_base.h"
#include "arrow/array/array_binary.h"
#include "arrow/array/builder_binary.h"
#include "arrow/array/builder_dict.h"
#include "arrow/array/builder_primitive.h"
#include "arrow/record_batch.h"
#include "arrow/type.h"
#include "arrow_support.h"
#include "controller/atoms_reader.h"
#include "controller/pipeline_support.h"
#include "controller/vector_column.h"
#include "test_support.h"
#include "value_support.h"

// The Controller's own mechanics, with a codec that hands out prepared documents and
// policies and modifiers that record how they are called.

namespace shredder {
namespace {

using testing::ColumnAtoms;
using testing::D;
using testing::FieldNames;
using testing::Finish;
using testing::I;
using testing::kNull;
using testing::MessageOf;
using testing::ModulePipeline;
using testing::S;

using Log = std::vector<std::string>;

std::shared_ptr<arrow::RecordBatch> RowsOnly(std::int64_t rows) {
  return arrow::RecordBatch::Make(arrow::schema({arrow::field("doc", arrow::null())}), rows,
                                  {std::make_shared<arrow::NullArray>(rows)});
}

// Hands out prepared documents; records every call.
class ListCodec final : public DocumentCodec {
 public:
  ListCodec(std::vector<Object> documents, Log* log)
      : documents_(std::move(documents)), log_(log) {}

  void ValidateInput(const std::shared_ptr<arrow::RecordBatch>& batch) const override {
    log_->push_back("validate " + std::to_string(batch ? batch->num_rows() : -1));
  }
  Object ToDom(const std::shared_ptr<arrow::RecordBatch>&, std::int64_t row) const override {
    log_->push_back("to_dom " + std::to_string(row));
    if (row == throw_at_row) throw std::domain_error("codec says no");
    return documents_.at(static_cast<std::size_t>(row));
  }
  std::shared_ptr<arrow::RecordBatch> FromDom(const std::vector<Object>&) const override {
    return nullptr;
  }

  std::int64_t throw_at_row = -1;

 private:
  std::vector<Object> documents_;
  Log* log_;
};

class MarkModifier final : public DomModifier {
 public:
  MarkModifier(std::string mark, Log* log) : mark_(std::move(mark)), log_(log) {}
  void modify(Object& document) override {
    log_->push_back("modify " + mark_);
    if (mark_ == "throw") throw std::length_error("modifier says no");
    document["m_" + mark_] = Value(static_cast<std::int64_t>(log_->size()));
  }

 private:
  std::string mark_;
  Log* log_;
};

// The resolver rules of the shipped policy and a converter that keeps the value when it has
// the target's alternative, widens int64 to double and writes anything else as "<kind>".
CoercePolicy RecordingPolicy(Log* log) {
  CoercePolicy policy;
  policy.kind_resolver = [log](Kind current, Kind incoming, const std::string& name)
      -> std::optional<Kind> {
    log->push_back("resolve " + name + " " + kind_name(current) + " " + kind_name(incoming));
    if (incoming == Kind::Null) return current;
    if (current == Kind::Null) return incoming;
    if ((current == Kind::Int64 && incoming == Kind::Double) ||
        (current == Kind::Double && incoming == Kind::Int64)) {
      return Kind::Double;
    }
    return current == incoming ? current : Kind::String;
  };
  policy.value_converter = [log](Kind target, const Value& value,
                                 const std::string& name) -> std::variant<Atom, std::string> {
    log->push_back("convert " + name + " " + kind_name(target) + " " +
                   kind_name(kind_of(value)));
    switch (value.data.index()) {
      case 0: return Atom{};
      case 1: if (target == Kind::Bool) return Atom{std::get<bool>(value.data)}; break;
      case 2:
        if (target == Kind::Int64) return Atom{std::get<std::int64_t>(value.data)};
        if (target == Kind::Double) {
          return Atom{static_cast<double>(std::get<std::int64_t>(value.data))};
        }
        break;
      case 3: if (target == Kind::Double) return Atom{std::get<double>(value.data)}; break;
      case 4: return Atom{std::get<std::string>(value.data)};
    }
    return Atom{std::string("<") + kind_name(kind_of(value)) + ">"};
  };
  return policy;
}

struct Pipeline {
  Log log;
  std::vector<std::unique_ptr<MarkModifier>> modifiers;
  std::unique_ptr<Controller> controller;
  ListCodec* codec = nullptr;

  explicit Pipeline(std::vector<Object> documents, std::vector<std::string> marks = {},
                    CoercePolicy policy = {}) {
    auto owned = std::make_unique<ListCodec>(std::move(documents), &log);
    codec = owned.get();
    std::vector<std::reference_wrapper<DomModifier>> refs;
    for (const std::string& mark : marks) {
      modifiers.push_back(std::make_unique<MarkModifier>(mark, &log));
      refs.push_back(*modifiers.back());
    }
    if (!policy.kind_resolver) policy = RecordingPolicy(&log);
    controller = std::make_unique<Controller>(std::move(owned), std::move(refs),
                                              std::move(policy));
  }

  std::shared_ptr<arrow::RecordBatch> Shred(std::int64_t rows) {
    return controller->shred(RowsOnly(rows));
  }
};

std::vector<std::string> Filter(const Log& log, const std::string& prefix) {
  std::vector<std::string> out;
  for (const std::string& line : log) {
    if (line.rfind(prefix, 0) == 0) out.push_back(line);
  }
  return out;
}

// The txn id the module's modifiers stamp on a document on its own.
std::string TxnIdOf(const std::string& json) {
  Object document = testing::Parse(json);
  Normalizer().modify(document);
  Tagger().modify(document);
  return std::get<std::string>(document.at("__txn_id").data);
}

// ---------------------------------------------------------------------------------------------
// Shred.

TEST(ControllerShred, NoRowsValidatesAndGivesAnEmptyBatch) {
  Pipeline p({}, {"m"});
  const auto batch = p.Shred(0);
  ASSERT_NE(batch, nullptr);
  EXPECT_EQ(batch->num_columns(), 0);
  EXPECT_EQ(batch->num_rows(), 0);
  EXPECT_EQ(p.log, Log{"validate 0"});
  // The module's codec still refuses a column it cannot read.
  ModulePipeline module;
  const auto not_text = arrow::RecordBatch::Make(
      arrow::schema({arrow::field("doc", arrow::int64())}), 0,
      {std::make_shared<arrow::Int64Array>(0, nullptr)});
  const std::string message = MessageOf([&] { module.controller.shred(not_text); });
  EXPECT_EQ(message.rfind("JsonTextCodec: ", 0), 0u) << message;
}

TEST(ControllerShred, CallsCodecAndModifiersRowByRowInListOrder) {
  Pipeline p({Object{{"a", Value(1)}}, Object{{"a", Value(2)}}}, {"first", "second"});
  const auto batch = p.Shred(2);
  const Log expected = {"validate 2",    "to_dom 0",      "modify first", "modify second",
                        "to_dom 1",      "modify first",  "modify second"};
  Log calls;
  for (const std::string& line : p.log) {
    if (line.rfind("resolve", 0) != 0 && line.rfind("convert", 0) != 0) calls.push_back(line);
  }
  EXPECT_EQ(calls, expected);
  // Each modifier saw the document after the one before it.
  EXPECT_EQ(FieldNames(*batch),
            (std::vector<std::string>{"root_a", "root_m_first", "root_m_second"}));
  EXPECT_EQ(ColumnAtoms(*batch, "root_m_first"), (std::vector<Atom>{I(3), I(6)}));
  EXPECT_EQ(ColumnAtoms(*batch, "root_m_second"), (std::vector<Atom>{I(4), I(7)}));
}

TEST(ControllerShred, ColumnsFollowFirstRegistrationAndArePadded) {
  Pipeline p({Object{{"b", Value(1)}},
              Object{{"a", Value("x")}},
              Object{},
              Object{{"a", Value("y")}, {"b", Value(2)}, {"c", Value(Array{Value(true),
                                                                              Value(false)})}}});
  const auto batch = p.Shred(4);
  EXPECT_EQ(FieldNames(*batch),
            (std::vector<std::string>{"root_b", "root_a", "root_c", "root_c__idx"}));
  EXPECT_EQ(batch->num_rows(), 4);
  EXPECT_EQ(ColumnAtoms(*batch, "root_b"), (std::vector<Atom>{I(1), kNull, I(2), I(2)}));
  EXPECT_EQ(ColumnAtoms(*batch, "root_a"), (std::vector<Atom>{kNull, S("x"), S("y"), S("y")}));
  EXPECT_EQ(ColumnAtoms(*batch, "root_c"),
            (std::vector<Atom>{kNull, kNull, Atom{true}, Atom{false}}));
  EXPECT_EQ(ColumnAtoms(*batch, "root_c__idx"), (std::vector<Atom>{kNull, kNull, I(0), I(1)}));
  EXPECT_TRUE(batch->ValidateFull().ok());
  // The Tagger's stamps are padded like any column; each document has its own.
  ModulePipeline module;
  const auto stamped = module.Shred({R"({"a": 1})", R"({"b": "x"})"});
  EXPECT_EQ(FieldNames(*stamped),
            (std::vector<std::string>{"root___obj_id", "root___txn_id", "root_a", "root_b"}));
  const std::string first = "88a5996139fb335d6540ecafadd5a92c60b9c77a964821820edb9bab972953cd";
  const std::string second = TxnIdOf(R"({"b": "x"})");
  EXPECT_EQ(ColumnAtoms(*stamped, "root___txn_id"), (std::vector<Atom>{S(first), S(second)}));
  EXPECT_EQ(ColumnAtoms(*stamped, "root___obj_id"), (std::vector<Atom>{S(first), S(second)}));
  EXPECT_EQ(ColumnAtoms(*stamped, "root_a"), (std::vector<Atom>{I(1), kNull}));
  EXPECT_EQ(ColumnAtoms(*stamped, "root_b"), (std::vector<Atom>{kNull, S("x")}));
}

TEST(ControllerShred, DocumentsWithoutRowsRegisterNothing) {
  Pipeline p({Object{}, Object{{"e", Value(Object{})}, {"f", Value(Array{})}},
              Object{{"a", Value(1)}}, Object{{"g", Value(Object{})}}});
  const auto batch = p.Shred(4);
  EXPECT_EQ(FieldNames(*batch), std::vector<std::string>{"root_a"});
  EXPECT_EQ(ColumnAtoms(*batch, "root_a"), std::vector<Atom>{I(1)});
  // With the Tagger every document has at least its identity columns; without it, JSON text
  // without leaves adds nothing either.
  ModulePipeline untagged(/*tag=*/false);
  const auto text = untagged.Shred({"{}", R"({"a": []})", R"({"b": 2})", R"({"c": {}})"});
  EXPECT_EQ(FieldNames(*text), std::vector<std::string>{"root_b"});
  EXPECT_EQ(ColumnAtoms(*text, "root_b"), std::vector<Atom>{I(2)});
}

TEST(ControllerShred, OnlyEmptyDocumentsGiveNoFieldsAndNoRows) {
  Pipeline p({Object{}, Object{{"e", Value(Array{})}}});
  const auto batch = p.Shred(2);
  EXPECT_EQ(batch->num_columns(), 0);
  EXPECT_EQ(batch->num_rows(), 0);
}

TEST(ControllerShred, ResolverSeesEveryValueAfterTheFirstButNoFiller) {
  Pipeline p({Object{{"a", Value(1)}}, Object{{"b", Value(true)}},
              Object{{"a", Value(Array{Value(2), Value(3)})}}});
  p.Shred(3);
  EXPECT_EQ(Filter(p.log, "resolve"),
            (Log{"resolve root_a int64 int64", "resolve root_a int64 int64",
                 "resolve root_a__idx int64 int64"}));
}

TEST(ControllerShred, ConverterSeesEveryCellFillersIncludedColumnByColumn) {
  Pipeline p({Object{{"a", Value(1)}}, Object{{"b", Value(true)}}, Object{{"a", Value(2.5)}}});
  const auto batch = p.Shred(3);
  EXPECT_EQ(Filter(p.log, "convert"),
            (Log{"convert root_a double int64", "convert root_a double null",
                 "convert root_a double double", "convert root_b bool null",
                 "convert root_b bool bool", "convert root_b bool null"}));
  EXPECT_EQ(ColumnAtoms(*batch, "root_a"), (std::vector<Atom>{D(1.0), kNull, D(2.5)}));
}

TEST(ControllerShred, TypesByFinalKindAllNullableWithKeyLists) {
  Pipeline p({Object{{"n", Value()}, {"b", Value(false)}, {"i", Value(1)}, {"d", Value(0.5)},
                     {"s", Value("t")}, {"x", Value(1)}},
              Object{{"n", Value()}, {"x", Value("boxed")}}});
  const auto batch = p.Shred(2);
  const auto expected = arrow::schema({arrow::field("root_b", arrow::boolean()),
                                       arrow::field("root_d", arrow::float64()),
                                       arrow::field("root_i", arrow::int64()),
                                       arrow::field("root_n", arrow::null()),
                                       arrow::field("root_s", arrow::utf8()),
                                       arrow::field("root_x", arrow::utf8())});
  EXPECT_TRUE(batch->schema()->Equals(*expected, /*check_metadata=*/false))
      << batch->schema()->ToString();
  EXPECT_EQ(batch->schema()->metadata(), nullptr);
  for (const auto& field : batch->schema()->fields()) {
    EXPECT_TRUE(field->nullable());
    // Each column names the one key its path is made of.
    ASSERT_NE(field->metadata(), nullptr) << field->name();
    EXPECT_EQ(field->metadata()->Get("shredder.keys").ValueOr(""),
              "[\"" + field->name().substr(5) + "\"]");
  }
  EXPECT_EQ(batch->column(3)->length(), 2);
  EXPECT_EQ(batch->column(3)->null_count(), 2);
  EXPECT_EQ(ColumnAtoms(*batch, "root_x"), (std::vector<Atom>{S("<int64>"), S("boxed")}));
  EXPECT_TRUE(batch->ValidateFull().ok());
}

TEST(ControllerShred, ArrayAndObjectKindsBuildUtf8Columns) {
  Log log;
  for (Kind kind : {Kind::Array, Kind::Object}) {
    CoercePolicy policy = RecordingPolicy(&log);
    policy.kind_resolver = [kind](Kind, Kind, const std::string&) { return kind; };
    Pipeline p({Object{{"a", Value(1)}}, Object{{"a", Value(2)}}}, {}, policy);
    const auto batch = p.Shred(2);
    EXPECT_TRUE(batch->schema()->field(0)->type()->Equals(arrow::utf8()));
    EXPECT_EQ(ColumnAtoms(*batch, "root_a"), (std::vector<Atom>{S("<int64>"), S("<int64>")}));
  }
}

TEST(ControllerShred, ResolverRefusalIsASchemaConflict) {
  Log log;
  CoercePolicy policy = RecordingPolicy(&log);
  policy.kind_resolver = [](Kind, Kind, const std::string&) { return std::nullopt; };
  Pipeline p({Object{{"a", Value(1)}, {"b", Value(1)}}, Object{{"b", Value(1)}}}, {}, policy);
  // One value per column is fine; the second value of root_b meets the refusal, also for
  // equal kinds.
  EXPECT_EQ(MessageOf([&] { p.Shred(1); }), "<no exception>");
  EXPECT_EQ(MessageOf([&] { p.Shred(2); }), "Controller: schema conflict at root_b");
  // With the module's parts the first column to meet a second value is the Tagger's stamp.
  CoercePolicy refusing = BoxToStringPolicy();
  refusing.kind_resolver = policy.kind_resolver;
  ModulePipeline module(std::move(refusing));
  EXPECT_EQ(MessageOf([&] { module.Shred({R"({"a": [1, 2]})"}); }),
            "Controller: schema conflict at root___obj_id");
}

TEST(ControllerShred, ConverterErrorIsThrownVerbatim) {
  Log log;
  CoercePolicy policy = RecordingPolicy(&log);
  policy.value_converter = [](Kind, const Value& value,
                              const std::string& name) -> std::variant<Atom, std::string> {
    if (kind_of(value) == Kind::Null) return std::string("filler at ") + name;
    return Atom{};
  };
  Pipeline p({Object{{"a", Value(1)}}, Object{{"b", Value(1)}}}, {}, policy);
  EXPECT_EQ(MessageOf([&] { p.Shred(2); }), "Controller: filler at root_a");
  // The shipped converter's own text, when the resolver keeps a column's first kind.
  CoercePolicy first_kind = BoxToStringPolicy();
  first_kind.kind_resolver = [](Kind current, Kind incoming, const std::string&) {
    return std::optional<Kind>(current == Kind::Null ? incoming : current);
  };
  ModulePipeline module(std::move(first_kind));
  EXPECT_EQ(MessageOf([&] { module.Shred({R"({"x": 1})", R"({"x": "s"})"}); }),
            "Controller: coerce mismatch at root_x: expected int64");
}

struct MisfitCase {
  Kind kind;
  Atom converted;
  std::string message;
};

TEST(ControllerShred, ConvertedAtomsMustFitTheBuilder) {
  const std::vector<MisfitCase> cases = {
      {Kind::Bool, I(1), "Controller: arrow build: non-bool in bool column"},
      {Kind::Int64, D(1), "Controller: arrow build: non-int64 in int64 column"},
      {Kind::Double, I(1), "Controller: arrow build: non-double in double column"},
      {Kind::String, Atom{true}, "Controller: arrow build: non-string in string column"},
      {Kind::Object, D(2), "Controller: arrow build: non-string in string column"},
      {static_cast<Kind>(7), kNull, "Controller: arrow build: unknown target kind"},
      {static_cast<Kind>(200), kNull, "Controller: arrow build: unknown target kind"}};
  for (const MisfitCase& c : cases) {
    CoercePolicy policy;
    policy.kind_resolver = [&c](Kind, Kind, const std::string&) { return c.kind; };
    policy.value_converter = [&c](Kind, const Value&, const std::string&)
        -> std::variant<Atom, std::string> { return c.converted; };
    Pipeline p({Object{{"a", Value(1)}}, Object{{"a", Value(2)}}}, {}, policy);
    EXPECT_EQ(MessageOf([&] { p.Shred(2); }), c.message) << static_cast<int>(c.kind);
  }
}

TEST(ControllerShred, ConversionErrorsComeBeforeBuildErrorsOfTheSameColumn) {
  for (Kind kind : {Kind::Bool, Kind::Int64, Kind::String}) {
    CoercePolicy policy;
    policy.kind_resolver = [kind](Kind, Kind, const std::string&) { return kind; };
    policy.value_converter = [](Kind, const Value& value,
                                const std::string&) -> std::variant<Atom, std::string> {
      if (std::get<std::int64_t>(value.data) == 1) return Atom{2.5};
      return std::string("second value refused");
    };
    Pipeline p({Object{{"a", Value(1)}}, Object{{"a", Value(2)}}}, {}, policy);
    EXPECT_EQ(MessageOf([&] { p.Shred(2); }), "Controller: second value refused")
        << kind_name(kind);
  }
}

TEST(ControllerShred, ExceptionsOfTheOtherPartsKeepTheirText) {
  {
    Pipeline p({Object{{"a", Value(1)}}, Object{{"a", Value(2)}}});
    p.codec->throw_at_row = 1;
    EXPECT_THROW(p.Shred(2), Error);
    EXPECT_EQ(MessageOf([&] { p.Shred(2); }), "codec says no");
  }
  {
    Pipeline p({Object{{"a", Value(1)}}}, {"ok", "throw"});
    EXPECT_THROW(p.Shred(1), Error);
  }
  {
    Pipeline p({Object{{"a", Value(Array{Value(1), Value()})}}});
    EXPECT_EQ(MessageOf([&] { p.Shred(1); }),
              "Shredder::Shred: array elements are not homogeneous at /a");
  }
  {
    Object document{{"a", Value(Array{Value(Object{{"b", Value("x")}}),
                                      Value(Object{{"b", Value(1)}})})}};
    Pipeline p({document});
    EXPECT_THROW(p.Shred(1), Error);
    EXPECT_EQ(MessageOf([&] { p.Shred(1); }), "StringColumn::push: only null or string allowed");
  }
  {
    ModulePipeline p;
    EXPECT_THROW(p.Shred({R"({"a": )"}), JsonParseError);
    EXPECT_EQ(MessageOf([&] { p.Shred({R"({"a": )"}); }).rfind("JSON parse failure: ", 0), 0u);
    EXPECT_EQ(MessageOf([&] { p.Shred({R"({"k": {"b": 1}})", R"({"k": 5})"}); }),
              "Normalizer shape mismatch at /k (have leaf, want object)");
    // The pipeline works again afterwards; the Normalizer kept what it learned.
    const auto batch = p.Shred({R"({"k": {"b": 2}})"});
    EXPECT_EQ(ColumnAtoms(*batch, "root_k_b"), std::vector<Atom>{I(2)});
  }
}

TEST(ControllerShred, UsableAgainAfterAFailure) {
  Pipeline p({Object{{"a", Value(1)}}, Object{{"a", Value(2)}}});
  p.codec->throw_at_row = 1;
  EXPECT_THROW(p.Shred(2), Error);
  const auto batch = p.Shred(1);
  EXPECT_EQ(FieldNames(*batch), std::vector<std::string>{"root_a"});
  EXPECT_EQ(ColumnAtoms(*batch, "root_a"), std::vector<Atom>{I(1)});
}

TEST(ControllerShred, NullInputThatTheCodecLetsThroughIsRefused) {
  Pipeline p({});
  EXPECT_EQ(MessageOf([&] { p.controller->shred(nullptr); }), "Controller: null RecordBatch");
  EXPECT_EQ(p.log, Log{"validate -1"});
}

// ---------------------------------------------------------------------------------------------
// Shred with the parts the extension module assembles: JSON text, the Normalizer, the Tagger.

TEST(ControllerShred, WorkedExampleAfterTagging) {
  ModulePipeline p;
  const auto batch = p.Shred({R"({"id": 7, "tags": ["x", "y"], "items": [{"n": 1}, {"n": 2}]})"});
  const auto expected = arrow::schema({
      arrow::field("root___obj_id", arrow::utf8()),
      arrow::field("root___txn_id", arrow::utf8()),
      arrow::field("root_id", arrow::int64()),
      arrow::field("root_items", arrow::null()),
      arrow::field("root_items__idx", arrow::int64()),
      arrow::field("root_items___obj_id", arrow::utf8()),
      arrow::field("root_items___txn_id", arrow::utf8()),
      arrow::field("root_items_n", arrow::int64()),
      arrow::field("root_tags", arrow::utf8()),
      arrow::field("root_tags__idx", arrow::int64()),
  });
  ASSERT_TRUE(batch->schema()->Equals(*expected, /*check_metadata=*/false))
      << batch->schema()->ToString();
  // The key lists: an index column holds its array's keys, a stamp its object's and its own.
  const auto keys = [&](const char* name) {
    const auto metadata = batch->schema()->GetFieldByName(name)->metadata();
    return metadata->Get("shredder.keys").ValueOr("") + " " +
           metadata->Get("shredder.role").ValueOr("");
  };
  EXPECT_EQ(keys("root_items__idx"), "[\"items\"] index");
  EXPECT_EQ(keys("root_items___obj_id"), "[\"items\",\"__obj_id\"] ");
  EXPECT_EQ(keys("root_items_n"), "[\"items\",\"n\"] ");
  ASSERT_EQ(batch->num_rows(), 3);
  ASSERT_TRUE(batch->ValidateFull().ok());

  const Atom t = S("2f92fafca801783c41da3f6475829dd211969dcf5d968b704afd4394331fcd63");
  const Atom o1 = S("5c5189dda37017b9c89ff659d72e5a91c556cc5f261eee3387bcf529bb2d6094");
  const Atom o2 = S("fb2d7dc7684e5b60e40d47a14abfbba6d4e07ca1c114f7da9705bed058712112");
  const std::vector<std::vector<Atom>> rows = {
      {t, t, I(7), kNull, I(0), o1, t, I(1), S("x"), I(0)},
      {t, t, I(7), kNull, I(1), o2, t, I(2), kNull, kNull},
      {t, t, I(7), kNull, I(0), o1, t, I(1), S("y"), I(1)},
  };
  for (int c = 0; c < batch->num_columns(); ++c) {
    const std::vector<Atom> cells = ColumnAtoms(*batch, batch->schema()->field(c)->name());
    for (int r = 0; r < 3; ++r) {
      EXPECT_EQ(cells[r], rows[r][c]) << batch->schema()->field(c)->name() << " row " << r;
    }
  }
}

TEST(ControllerShred, KindsAreUnifiedAndBoxedAcrossDocuments) {
  ModulePipeline p;
  const auto batch = p.Shred({R"({"v": 1, "w": 1, "u": 0.1, "z": null})",
                              R"({"v": 2.5, "w": "s", "u": "t", "z": null})",
                              R"({"v": null, "w": true})"});
  const auto schema = batch->schema();
  EXPECT_TRUE(schema->GetFieldByName("root_v")->type()->Equals(arrow::float64()));
  EXPECT_TRUE(schema->GetFieldByName("root_w")->type()->Equals(arrow::utf8()));
  EXPECT_TRUE(schema->GetFieldByName("root_u")->type()->Equals(arrow::utf8()));
  EXPECT_TRUE(schema->GetFieldByName("root_z")->type()->Equals(arrow::null()));
  EXPECT_EQ(ColumnAtoms(*batch, "root_v"), (std::vector<Atom>{D(1.0), D(2.5), kNull}));
  EXPECT_EQ(ColumnAtoms(*batch, "root_w"), (std::vector<Atom>{S("1"), S("s"), S("true")}));
  EXPECT_EQ(ColumnAtoms(*batch, "root_u"),
            (std::vector<Atom>{S("0.10000000000000001"), S("t"), kNull}));
  EXPECT_EQ(batch->GetColumnByName("root_z")->length(), 3);
  EXPECT_EQ(batch->GetColumnByName("root_z")->null_count(), 3);
}

TEST(ControllerShred, NormalizerStateCarriesAcrossBatches) {
  ModulePipeline p;
  p.Shred({R"({"t": [1, 2]})"});
  const auto batch = p.Shred({R"({"t": 3})"});
  EXPECT_EQ(ColumnAtoms(*batch, "root_t__idx"), std::vector<Atom>{I(0)});
  EXPECT_EQ(ColumnAtoms(*batch, "root_t"), std::vector<Atom>{I(3)});
}

TEST(ControllerShred, TaggerDebugLinesGoToStandardError) {
  ModulePipeline p;
  p.tagger.set_debug(true);
  ::testing::internal::CaptureStderr();
  p.Shred({R"({"a": 1})"});
  const std::string log = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(log,
            "[Tagger] begin modify: hash_bytes=32 ignore_paths=0\n"
            "[Tagger] computed root txn_id="
            "88a5996139fb335d6540ecafadd5a92c60b9c77a964821820edb9bab972953cd"
            " objects_seen=1 obj_digests=1\n"
            "[Tagger] stamped object #1 __obj_id="
            "88a5996139fb335d6540ecafadd5a92c60b9c77a964821820edb9bab972953cd\n"
            "[Tagger] end modify: stamped=1 txn_id_key=__txn_id obj_id_key=__obj_id\n");
}

// The Controller skips the `modify` of a Tagger it is told of, so being told of one that
// does not run last would leave the modifiers after it uncalled.
TEST(ControllerShred, KnownTaggerMustRunLast) {
  Normalizer normalizer;
  Tagger tagger;
  auto build = [&](std::vector<std::reference_wrapper<DomModifier>> modifiers) {
    Controller(std::make_unique<JsonTextCodec>(MakeSerialization(SerializationFormat::Json)),
               std::move(modifiers), BoxToStringPolicy(), Controller::KnownParts{&tagger, true});
  };
  for (const auto& modifiers : {std::vector<std::reference_wrapper<DomModifier>>{},
                                {tagger, normalizer}}) {
    EXPECT_EQ(MessageOf([&] { build(modifiers); }),
              "Controller: the known Tagger must be the last modifier");
  }
  EXPECT_EQ(MessageOf([&] { build({normalizer, tagger}); }), "<no exception>");
}

// ---------------------------------------------------------------------------------------------
// Reading an atoms batch back.

TEST(ControllerReadAtoms, EveryAcceptedTypeWithNullsAndOffsets) {
  arrow::BooleanBuilder bools;
  ASSERT_TRUE(bools.AppendValues(std::vector<bool>{true, false, true}).ok());
  ASSERT_TRUE(bools.AppendNull().ok());
  arrow::Int64Builder ints;
  ASSERT_TRUE(ints.AppendValues({7, -1}).ok());
  ASSERT_TRUE(ints.AppendNull().ok());
  ASSERT_TRUE(ints.Append(9).ok());
  arrow::DoubleBuilder doubles;
  ASSERT_TRUE(doubles.AppendNull().ok());
  ASSERT_TRUE(doubles.AppendValues({0.5, -0.0, 3.0}).ok());
  arrow::StringBuilder strings;
  ASSERT_TRUE(strings.AppendValues({"skip", ""}).ok());
  ASSERT_TRUE(strings.Append(std::string_view("a\0b", 3)).ok());
  ASSERT_TRUE(strings.AppendNull().ok());
  arrow::LargeStringBuilder large;
  ASSERT_TRUE(large.AppendValues({"x", "long text", "z"}).ok());
  ASSERT_TRUE(large.AppendNull().ok());

  const auto sliced_bools = Finish(bools)->Slice(1);
  EXPECT_EQ(ReadAtomColumn(*sliced_bools, 3), (std::vector<Atom>{Atom{false}, Atom{true}, kNull}));
  EXPECT_EQ(ReadAtomColumn(*Finish(ints), 4), (std::vector<Atom>{I(7), I(-1), kNull, I(9)}));
  EXPECT_EQ(ReadAtomColumn(*Finish(doubles)->Slice(1, 2), 2),
            (std::vector<Atom>{D(0.5), D(-0.0)}));
  EXPECT_EQ(ReadAtomColumn(*Finish(strings)->Slice(1), 3),
            (std::vector<Atom>{S(""), S(std::string("a\0b", 3)), kNull}));
  EXPECT_EQ(ReadAtomColumn(*Finish(large)->Slice(1), 3),
            (std::vector<Atom>{S("long text"), S("z"), kNull}));
  EXPECT_EQ(ReadAtomColumn(arrow::NullArray(3), 3), (std::vector<Atom>{kNull, kNull, kNull}));
}

TEST(ControllerReadAtoms, NegativeZeroKeepsItsSign) {
  arrow::DoubleBuilder doubles;
  ASSERT_TRUE(doubles.Append(-0.0).ok());
  const std::vector<Atom> atoms = ReadAtomColumn(*Finish(doubles), 1);
  EXPECT_TRUE(std::signbit(std::get<double>(atoms[0])));
}

TEST(ControllerReadAtoms, OtherTypesFailAtTheirFirstValidCellOnly) {
  arrow::Int32Builder int32;
  ASSERT_TRUE(int32.AppendNulls(2).ok());
  const auto all_null = Finish(int32);
  EXPECT_EQ(ReadAtomColumn(*all_null, 2), (std::vector<Atom>{kNull, kNull}));
  ASSERT_TRUE(int32.AppendNull().ok());
  ASSERT_TRUE(int32.Append(4).ok());
  const auto one_valid = Finish(int32);
  EXPECT_EQ(MessageOf([&] { ReadAtomColumn(*one_valid, 2); }),
            "Controller: unshred: unsupported atom column type: int32");
  // Only the rows read count.
  EXPECT_EQ(ReadAtomColumn(*one_valid, 1), std::vector<Atom>{kNull});

  arrow::StringDictionaryBuilder dictionary;
  ASSERT_TRUE(dictionary.Append("a").ok());
  const auto encoded = Finish(dictionary);
  EXPECT_EQ(MessageOf([&] { ReadAtomColumn(*encoded, 1); }),
            "Controller: unshred: unsupported atom column type: "
            "dictionary<values=string, indices=int8, ordered=0>");

  arrow::BinaryBuilder binary;
  ASSERT_TRUE(binary.Append("b").ok());
  const auto bytes = Finish(binary);
  EXPECT_EQ(MessageOf([&] { ReadAtomColumn(*bytes, 1); }),
            "Controller: unshred: unsupported atom column type: binary");
}

TEST(ControllerVectorColumn, ReadOnlyScalarColumn) {
  VectorColumn column({I(1), S("x")});
  EXPECT_EQ(column.kind(), IColumn::Kind::Scalar);
  EXPECT_EQ(column.size(), 2u);
  EXPECT_EQ(column.at(1), S("x"));
  EXPECT_EQ(MessageOf([&] { column.at(2); }), "VectorColumn::at");
  EXPECT_THROW(column.at(2), Error);
  EXPECT_THROW(column.push(I(3)), Error);
  EXPECT_EQ(MessageOf([&] { column.push(I(3)); }), "VectorColumn is read-only");
  EXPECT_EQ(column.size(), 2u);
  EXPECT_EQ(column.storage().size(), 2u);
}

TEST(ControllerUnshred, RefusesMissingAndEmptyBatches) {
  Pipeline p({});
  EXPECT_EQ(MessageOf([&] { p.controller->unshred(nullptr); }), "Controller: null RecordBatch");
  const auto no_columns = arrow::RecordBatch::Make(
      arrow::schema(arrow::FieldVector{}), 3, std::vector<std::shared_ptr<arrow::Array>>{});
  EXPECT_EQ(MessageOf([&] { p.controller->unshred(no_columns); }),
            "Controller: atoms batch has no columns");
}

TEST(ControllerUnshred, FirstUnsupportedColumnInSchemaOrderDecides) {
  arrow::Int32Builder int32;
  ASSERT_TRUE(int32.AppendValues({1, 2}).ok());
  arrow::FloatBuilder float32;
  ASSERT_TRUE(float32.AppendValues({1, 2}).ok());
  const auto batch = arrow::RecordBatch::Make(
      arrow::schema({arrow::field("root___txn_id", arrow::null()),
                     arrow::field("root_f", arrow::float32()),
                     arrow::field("root_i", arrow::int32())}),
      2, {std::make_shared<arrow::NullArray>(2), Finish(float32), Finish(int32)});
  Pipeline p({});
  EXPECT_EQ(MessageOf([&] { p.controller->unshred(batch); }),
            "Controller: unshred: unsupported atom column type: float");
}

TEST(ControllerUnshred, ColumnsShorterThanTheBatchAreRefusedBeforeReading) {
  // Such a batch cannot come from pyarrow, but nothing may be read past a column's end.
  arrow::Int64Builder ints;
  ASSERT_TRUE(ints.Append(1).ok());
  const auto batch = arrow::RecordBatch::Make(
      arrow::schema({arrow::field("root___txn_id", arrow::int64())}), 1000, {Finish(ints)});
  Pipeline p({});
  const std::string message = MessageOf([&] { p.controller->unshred(batch); });
  EXPECT_EQ(message.rfind("Controller: Invalid: ", 0), 0u) << message;
}

}  // namespace
}  // namespace shredder
