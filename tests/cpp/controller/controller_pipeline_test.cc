#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "arrow/util/key_value_metadata.h"
#include "arrow/array/array_primitive.h"
#include "controller/pipeline_support.h"
#include "test_support.h"
#include "value_support.h"

// JSON text batches through a Controller built as the extension module builds it.

namespace shredder {
namespace {

using testing::ColumnAtoms;
using testing::D;
using testing::I;
using testing::kNull;
using testing::S;
using testing::FieldNames;
using testing::MessageOf;
using testing::ModulePipeline;


std::string TxnIdOf(const std::string& json) {
  Object document = testing::Parse(json);
  Normalizer().modify(document);
  Tagger().modify(document);
  return std::get<std::string>(document.at("__txn_id").data);
}

TEST(ControllerPipeline, WorkedExampleAfterTagging) {
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

TEST(ControllerPipeline, ColumnsMissingFromSomeDocumentsArePadded) {
  ModulePipeline p;
  const auto batch = p.Shred({R"({"a": 1})", R"({"b": "x"})"});
  EXPECT_EQ(FieldNames(*batch),
            (std::vector<std::string>{"root___obj_id", "root___txn_id", "root_a", "root_b"}));
  const std::string first = "88a5996139fb335d6540ecafadd5a92c60b9c77a964821820edb9bab972953cd";
  const std::string second = TxnIdOf(R"({"b": "x"})");
  EXPECT_EQ(ColumnAtoms(*batch, "root___txn_id"), (std::vector<Atom>{S(first), S(second)}));
  EXPECT_EQ(ColumnAtoms(*batch, "root___obj_id"), (std::vector<Atom>{S(first), S(second)}));
  EXPECT_EQ(ColumnAtoms(*batch, "root_a"), (std::vector<Atom>{I(1), kNull}));
  EXPECT_EQ(ColumnAtoms(*batch, "root_b"), (std::vector<Atom>{kNull, S("x")}));
}

TEST(ControllerPipeline, UntaggedDocumentsWithoutLeavesContributeNoRows) {
  // With the Tagger every document has at least its identity columns; without it, a
  // document without leaves adds nothing.
  ModulePipeline p(/*tag=*/false);
  const auto batch = p.Shred({"{}", R"({"a": []})", R"({"b": 2})", R"({"c": {}})"});
  EXPECT_EQ(FieldNames(*batch), std::vector<std::string>{"root_b"});
  EXPECT_EQ(ColumnAtoms(*batch, "root_b"), std::vector<Atom>{I(2)});
}

TEST(ControllerPipeline, KindsAreUnifiedAndBoxedAcrossDocuments) {
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

TEST(ControllerPipeline, InputWithoutRowsStillValidated) {
  ModulePipeline p;
  const auto empty = p.Shred({});
  EXPECT_EQ(empty->num_columns(), 0);
  EXPECT_EQ(empty->num_rows(), 0);
  const auto not_text = arrow::RecordBatch::Make(
      arrow::schema({arrow::field("doc", arrow::int64())}), 0,
      {std::make_shared<arrow::Int64Array>(0, nullptr)});
  const std::string message = MessageOf([&] { p.controller.shred(not_text); });
  EXPECT_EQ(message.rfind("JsonTextCodec: ", 0), 0u) << message;
}

TEST(ControllerPipeline, RefusingResolverGivesTheSchemaConflict) {
  CoercePolicy policy = BoxToStringPolicy();
  policy.kind_resolver = [](Kind, Kind, const std::string&) { return std::nullopt; };
  ModulePipeline p(std::move(policy));
  EXPECT_EQ(MessageOf([&] { p.Shred({R"({"a": [1, 2]})"}); }),
            "Controller: schema conflict at root___obj_id");
}

TEST(ControllerPipeline, ConverterErrorTextIsPassedThrough) {
  CoercePolicy policy = BoxToStringPolicy();
  policy.kind_resolver = [](Kind current, Kind incoming, const std::string&) {
    return std::optional<Kind>(current == Kind::Null ? incoming : current);
  };
  ModulePipeline p(std::move(policy));
  EXPECT_EQ(MessageOf([&] { p.Shred({R"({"x": 1})", R"({"x": "s"})"}); }),
            "Controller: coerce mismatch at root_x: expected int64");
}

TEST(ControllerPipeline, ErrorsOfCodecModifiersAndShredderPassThrough) {
  ModulePipeline p;
  EXPECT_THROW(p.Shred({R"({"a": )"}), JsonParseError);
  EXPECT_EQ(MessageOf([&] { p.Shred({R"({"a": )"}); }).rfind("JSON parse failure: ", 0), 0u);
  EXPECT_EQ(MessageOf([&] { p.Shred({R"({"k": {"b": 1}})", R"({"k": 5})"}); }),
            "Normalizer shape mismatch at /k (have leaf, want object)");
  EXPECT_EQ(MessageOf([&] { p.Shred({R"({"h": [1, null]})"}); }),
            "Shredder::Shred: array elements are not homogeneous at /h");
  EXPECT_THROW(p.Shred({R"({"s": [{"b": "x"}, {"b": 1}]})"}), std::invalid_argument);
  // The pipeline works again afterwards; the Normalizer kept what it learned.
  const auto batch = p.Shred({R"({"k": {"b": 2}})"});
  EXPECT_EQ(ColumnAtoms(*batch, "root_k_b"), std::vector<Atom>{I(2)});
}

TEST(ControllerPipeline, NormalizerStateCarriesAcrossBatches) {
  ModulePipeline p;
  p.Shred({R"({"t": [1, 2]})"});
  const auto batch = p.Shred({R"({"t": 3})"});
  EXPECT_EQ(ColumnAtoms(*batch, "root_t__idx"), std::vector<Atom>{I(0)});
  EXPECT_EQ(ColumnAtoms(*batch, "root_t"), std::vector<Atom>{I(3)});
}

TEST(ControllerPipeline, TaggerDebugLinesGoToStandardError) {
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
TEST(ControllerPipeline, KnownTaggerMustRunLast) {
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

}  // namespace
}  // namespace shredder
