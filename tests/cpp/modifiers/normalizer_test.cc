#include "shredder/normalizer.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "shredder/coerce_policy.h"
#include "random_documents.h"
#include "test_support.h"

namespace shredder {

// Failure output shows documents as compact JSON-like text.
static void PrintTo(const Value& value, std::ostream* out) { *out << value_to_text(value); }

// Reaches the private members whose guards `modify` never triggers.
class NormalizerPeer {
 public:
  using Shape = Normalizer::Shape;

  static std::string ObjectAtKnownLeaf() {
    Normalizer::Node node;
    node.known = true;
    node.shape = Shape::Leaf;
    Object object;
    return MessageOf([&] { Normalizer().normalize_object_(node, object, {}); });
  }

  static std::string ArrayAtKnownObject(const std::string& key) {
    Normalizer::Node node;
    node.known = true;
    node.shape = Shape::Object;
    Array array;
    const Normalizer::Path root;
    const Normalizer::Path path{&root, &key};
    return MessageOf([&] { Normalizer().normalize_array_(node, array, path); });
  }

  static std::string MismatchWithShapes(Shape have, Shape want) {
    return MessageOf([&] { Normalizer().throw_shape_mismatch_({}, have, want); });
  }

  // The whole shape tree as text, children in key order: two normalizers with the same text
  // have learned exactly the same (unknown nodes, made for null members, included).
  static std::string Dump(const Normalizer& normalizer) { return DumpNode(normalizer.root_); }

 private:
  static std::string DumpNode(const Normalizer::Node& node) {
    std::string text = node.known ? shape_name_of(node.shape) : "?";
    const std::map<std::string, const Normalizer::Node*> children = [&] {
      std::map<std::string, const Normalizer::Node*> sorted;
      for (const auto& [key, child] : node.children) sorted.emplace(key, &child);
      return sorted;
    }();
    text += "{";
    for (const auto& [key, child] : children) text += key + ":" + DumpNode(*child) + ",";
    text += "}";
    if (node.elem) text += "[" + DumpNode(*node.elem) + "]";
    return text;
  }

  static std::string shape_name_of(Shape shape) { return Normalizer::shape_name_(shape); }

  template <typename F>
  static std::string MessageOf(F&& body) {
    try {
      body();
    } catch (const std::runtime_error& error) {
      return error.what();
    }
    return "(no error)";
  }
};

namespace {

// One document handed to `modify`, the document expected afterwards (also after a refusal:
// nothing is rolled back) and the expected error text, empty when the document is accepted.
struct Step {
  Object input;
  Object expected;
  std::string error;
};

// A document accepted unchanged.
Step Same(const Object& document) { return {document, document, ""}; }

struct SequenceCase {
  std::string name;
  std::vector<Step> steps;
};

// Runs the steps in order through `normalizer`, checking each result.
void RunSequence(Normalizer& normalizer, const std::vector<Step>& steps) {
  for (std::size_t i = 0; i < steps.size(); ++i) {
    Object document = steps[i].input;
    std::string error;
    try {
      normalizer.modify(document);
    } catch (const std::runtime_error& e) {
      error = e.what();
    }
    EXPECT_EQ(error, steps[i].error) << "step " << i;
    EXPECT_EQ(Value(document), Value(steps[i].expected)) << "step " << i;
  }
}

class NormalizerSequence : public ::testing::TestWithParam<SequenceCase> {};

TEST_P(NormalizerSequence, GivesExpectedDocumentsAndMessages) {
  Normalizer normalizer;
  RunSequence(normalizer, GetParam().steps);
}

const Value kNullValue = Value(nullptr);

INSTANTIATE_TEST_SUITE_P(
    EdgeCases, NormalizerSequence,
    ::testing::Values(
        SequenceCase{"LoneValueWrappedOnceArrayWasSeen",
                     {Same({{"a", 1}}),
                      Same({{"a", Array{2, 3}}}),
                      {{{"a", 4}}, {{"a", Array{4}}}, ""}}},
        SequenceCase{"ScalarAtObjectPathRefused",
                     {Same({{"a", Object{{"b", 1}}}}),
                      {{{"a", 5}}, {{"a", 5}},
                       "Normalizer shape mismatch at /a (have leaf, want object)"}}},
        SequenceCase{"ObjectAtScalarPathRefused",
                     {Same({{"a", 5}}),
                      {{{"a", Object{{"b", 1}}}}, {{"a", Object{{"b", 1}}}},
                       "Normalizer shape mismatch at /a (have object, want leaf)"}}},
        SequenceCase{"NullRecordsNothing",
                     {Same({{"a", kNullValue}}),
                      Same({{"a", Object{{"x", 1}}}}),
                      {{{"a", 2}}, {{"a", 2}},
                       "Normalizer shape mismatch at /a (have leaf, want object)"}}},
        SequenceCase{"NullAtArrayPathNotWrapped",
                     {Same({{"a", Array{1}}}),
                      Same({{"a", kNullValue}}),
                      Same({{"a", Array{kNullValue, 2, kNullValue}}})}},
        SequenceCase{"EmptyArrayMakesArrayPath",
                     {Same({{"a", Array{}}}),
                      {{{"a", "s"}}, {{"a", Array{"s"}}}, ""}}},
        SequenceCase{"EmptyObjectMakesObjectPath",
                     {Same({{"a", Object{}}}),
                      {{{"a", 1}}, {{"a", 1}},
                       "Normalizer shape mismatch at /a (have leaf, want object)"}}},
        SequenceCase{"EveryScalarKindIsOneLeafShape",
                     {Same({{"a", 1}}), Same({{"a", "s"}}), Same({{"a", true}}),
                      Same({{"a", 1.5}}), Same({{"a", kNullValue}})}},
        SequenceCase{"ArrayUpgradesObjectPathAndElementsKeepTheirOwnShape",
                     {Same({{"a", Object{{"x", 1}}}}),
                      Same({{"a", Array{7}}}),
                      {{{"a", Object{{"x", 2}}}}, {{"a", Array{Object{{"x", 2}}}}},
                       "Normalizer shape mismatch at /a (have object, want leaf)"}}},
        SequenceCase{"ArrayUpgradesLeafPathWithFreshElementNode",
                     {Same({{"a", 1}}),
                      Same({{"a", Array{Object{{"x", 1}}}}}),
                      {{{"a", Object{{"x", 2}}}}, {{"a", Array{Object{{"x", 2}}}}}, ""},
                      {{{"a", 3}}, {{"a", Array{3}}},
                       "Normalizer shape mismatch at /a (have leaf, want object)"}}},
        SequenceCase{"ElementsShareTheArrayPath",
                     {Same({{"a", Array{Object{{"b", 1}}}}}),
                      {{{"a", Array{Object{{"b", Object{{"c", 1}}}}}}},
                       {{"a", Array{Object{{"b", Object{{"c", 1}}}}}}},
                       "Normalizer shape mismatch at /a/b (have object, want leaf)"}}},
        SequenceCase{"NothingRevisitedWithinADocument",
                     {Same({{"a", Array{1, Array{2}}}}),
                      {{{"a", Array{3, 4}}}, {{"a", Array{Array{3}, Array{4}}}}, ""}}},
        SequenceCase{"NestedArraysRecordEveryLevel",
                     {Same({{"m", Array{Array{1, 2}, Array{3}}}}),
                      {{{"m", Array{5}}}, {{"m", Array{Array{5}}}}, ""},
                      {{{"m", 6}}, {{"m", Array{Array{6}}}}, ""}}},
        SequenceCase{"KeyWithSlashShownVerbatim",
                     {Same({{"x/y", Object{{"z", 1}}}}),
                      {{{"x/y", 1}}, {{"x/y", 1}},
                       "Normalizer shape mismatch at /x/y (have leaf, want object)"}}},
        SequenceCase{"EmptyKeysGiveBareAndTrailingSlashes",
                     {Same({{"", Object{}}, {"a", Object{{"", Object{}}}}}),
                      {{{"", 1}}, {{"", 1}},
                       "Normalizer shape mismatch at / (have leaf, want object)"},
                      {{{"a", Object{{"", 2}}}}, {{"a", Object{{"", 2}}}},
                       "Normalizer shape mismatch at /a/ (have leaf, want object)"}}},
        SequenceCase{"DeepPathThroughWrappedArray",
                     {Same({{"a", Object{{"b", Object{{"c", Array{Object{{"d", Object{}}}}}}}}}}),
                      {{{"a", Object{{"b", Object{{"c", Object{{"d", 5}}}}}}}},
                       {{"a", Object{{"b", Object{{"c", Array{Object{{"d", 5}}}}}}}}},
                       "Normalizer shape mismatch at /a/b/c/d (have leaf, want object)"}}},
        SequenceCase{"RefusalKeepsWrappingsAndShapesLearnedBeforeIt",
                     {Same({{"a", Array{1}}, {"b", Object{{"c", 1}}}}),
                      // Members are visited in key order: a is wrapped and aa learned
                      // before b fails; c is never reached.
                      {{{"a", 2}, {"aa", Array{}}, {"b", 3}, {"c", Array{}}},
                       {{"a", Array{2}}, {"aa", Array{}}, {"b", 3}, {"c", Array{}}},
                       "Normalizer shape mismatch at /b (have leaf, want object)"},
                      {{{"aa", 5}}, {{"aa", Array{5}}}, ""},
                      Same({{"c", Object{}}})}},
        SequenceCase{"LaterSiblingDoesNotRewriteEarlierOne",
                     {Same({{"a", Array{Object{{"k", 1}}, Object{{"k", Array{2}}}}}}),
                      {{{"a", Array{Object{{"k", 3}}}}},
                       {{"a", Array{Object{{"k", Array{3}}}}}}, ""}}},
        SequenceCase{"MembersVaryBetweenDocuments",
                     {Same({{"a", 1}, {"b", Object{}}, {"c", 1}, {"d", Array{}}}),
                      // Missing b, extra bb, replaced c by cc: each still finds its own node.
                      {{{"a", 1}, {"bb", Object{}}, {"cc", 1}, {"d", 1}},
                       {{"a", 1}, {"bb", Object{}}, {"cc", 1}, {"d", Array{1}}}, ""},
                      {{{"a", 1}, {"b", 1}}, {{"a", 1}, {"b", 1}},
                       "Normalizer shape mismatch at /b (have leaf, want object)"},
                      {{{"bb", 1}}, {{"bb", 1}},
                       "Normalizer shape mismatch at /bb (have leaf, want object)"},
                      {{{"c", Object{}}}, {{"c", Object{}}},
                       "Normalizer shape mismatch at /c (have object, want leaf)"},
                      {{{"d", 2}, {"e", 1}}, {{"d", Array{2}}, {"e", 1}}, ""}}}),
    [](const ::testing::TestParamInfo<SequenceCase>& info) { return info.param.name; });

TEST(NormalizerState, KeptAcrossCallsButNotShared) {
  Normalizer first;
  Normalizer second;
  RunSequence(first, {Same({{"a", Array{1}}})});
  RunSequence(first, {{{{"a", 2}}, {{"a", Array{2}}}, ""}});
  RunSequence(second, {Same({{"a", 2}})});
}

TEST(NormalizerState, EmptyDocumentsAreAccepted) {
  Normalizer normalizer;
  RunSequence(normalizer, {Same({}), Same({{"a", 1}}), Same({})});
}

TEST(NormalizerGuards, CheckedEvenWhenModifyCannotReachThem) {
  EXPECT_EQ(NormalizerPeer::ObjectAtKnownLeaf(),
            "Normalizer shape mismatch at / (have object, want leaf)");
  EXPECT_EQ(NormalizerPeer::ArrayAtKnownObject("k"),
            "Normalizer shape mismatch at /k (have array, want object)");
}

TEST(NormalizerGuards, UnknownShapeNamed) {
  using Shape = NormalizerPeer::Shape;
  EXPECT_EQ(NormalizerPeer::MismatchWithShapes(static_cast<Shape>(3), Shape::Array),
            "Normalizer shape mismatch at / (have unknown, want array)");
  EXPECT_EQ(NormalizerPeer::MismatchWithShapes(Shape::Leaf, static_cast<Shape>(255)),
            "Normalizer shape mismatch at / (have leaf, want unknown)");
}

// Feeds documents to `modify`, returning how many were refused.
int Feed(Normalizer& normalizer, const std::vector<Object>& documents) {
  int refused = 0;
  for (Object document : documents) {
    try {
      normalizer.modify(document);
    } catch (const std::runtime_error&) {
      ++refused;
    }
  }
  return refused;
}

struct BatchCase {
  std::string name;
  std::vector<Object> before;  // learned outside any batch
  std::vector<Object> batch;
};

void PrintTo(const BatchCase& c, std::ostream* out) { *out << c.name; }

class NormalizerBatch : public ::testing::TestWithParam<BatchCase> {};

TEST_P(NormalizerBatch, RollbackLeavesExactlyTheShapesOfBefore) {
  Normalizer normalizer;
  Feed(normalizer, GetParam().before);
  const std::string before = NormalizerPeer::Dump(normalizer);
  normalizer.begin_batch();
  Feed(normalizer, GetParam().batch);
  ASSERT_NE(NormalizerPeer::Dump(normalizer), before) << "the batch taught nothing";
  normalizer.rollback_batch();
  EXPECT_EQ(NormalizerPeer::Dump(normalizer), before);
}

TEST_P(NormalizerBatch, CommitKeepsWhatAPlainRunLearns) {
  Normalizer bracketed;
  Normalizer plain;
  Feed(bracketed, GetParam().before);
  Feed(plain, GetParam().before);
  bracketed.begin_batch();
  EXPECT_EQ(Feed(bracketed, GetParam().batch), Feed(plain, GetParam().batch));
  bracketed.commit_batch();
  EXPECT_EQ(NormalizerPeer::Dump(bracketed), NormalizerPeer::Dump(plain));
}

INSTANTIATE_TEST_SUITE_P(
    Changes, NormalizerBatch,
    ::testing::Values(
        BatchCase{"FirstDocument", {}, {{{"a", 1}, {"b", Object{{"c", Array{1}}}}}}},
        BatchCase{"NewMembersBesideKnownOnes", {{{"a", 1}}},
                  {{{"a", 2}, {"b", 1}, {"c", kNullValue}}}},
        // The refused document of the issue: /a was learned before /z failed.
        BatchCase{"RefusedDocumentTaughtAnArray",
                  {{{"z", 5}}},
                  {{{"a", Array{1}}, {"z", Object{{"y", 1}}}}}},
        BatchCase{"LeafBecomesArray", {{{"a", 1}}}, {{{"a", Array{2}}}}},
        BatchCase{"ObjectBecomesArrayOfObjects",
                  {{{"a", Object{{"x", 1}}}}},
                  {{{"a", Array{Object{{"x", 2}, {"y", Array{3}}}}}}}},
        BatchCase{"ElementsLearnShapes",
                  {{{"a", Array{}}}},
                  {{{"a", Array{Object{{"b", Array{Array{1}}}}}}}}},
        BatchCase{"OnlyNulls", {}, {{{"a", kNullValue}, {"b", Object{{"c", kNullValue}}}}}},
        BatchCase{"SeveralDocumentsThenARefusal",
                  {{{"k", Object{{"v", 1}}}}},
                  {{{"n", 1}}, {{"m", Array{1}}, {"n", Array{2}}}, {{"k", 5}, {"p", 1}}}}),
    [](const ::testing::TestParamInfo<BatchCase>& info) { return info.param.name; });

TEST(NormalizerBatch, OnlyTheBracketedCallsAreUndone) {
  Normalizer normalizer;
  normalizer.begin_batch();
  Feed(normalizer, {{{"a", 1}}});
  normalizer.commit_batch();
  const std::string committed = NormalizerPeer::Dump(normalizer);
  // Learned outside a batch: no log, nothing to undo, as before batches existed.
  Feed(normalizer, {{{"b", 1}}});
  const std::string unbracketed = NormalizerPeer::Dump(normalizer);
  ASSERT_NE(unbracketed, committed);
  normalizer.rollback_batch();
  EXPECT_EQ(NormalizerPeer::Dump(normalizer), unbracketed);
  // A later batch is undone back to where it began, and the guesses of the walk stay usable.
  normalizer.begin_batch();
  Feed(normalizer, {{{"a", Array{1}}, {"c", 1}}});
  normalizer.rollback_batch();
  EXPECT_EQ(NormalizerPeer::Dump(normalizer), unbracketed);
  Object document{{"a", 2}, {"b", 3}, {"c", Object{}}};
  normalizer.modify(document);
  EXPECT_EQ(Value(document), Value(Object{{"a", 2}, {"b", 3}, {"c", Object{}}}));
}

// A straightforward model of the normalising rules with paths as strings, against which
// random document streams are compared.
class ModelNormalizer {
 public:
  void modify(Object& document) { object("", "", document); }

 private:
  struct Entry {
    bool known = false;
    Normalizer::Shape shape = Normalizer::Shape::Leaf;
  };
  using Shape = Normalizer::Shape;

  static Shape shape_of(const Value& v) {
    if (std::holds_alternative<Object>(v.data)) return Shape::Object;
    if (std::holds_alternative<Array>(v.data)) return Shape::Array;
    return Shape::Leaf;
  }
  static const char* name(Shape s) {
    return s == Shape::Leaf ? "leaf" : s == Shape::Array ? "array" : "object";
  }
  // `slot` names the shape entry (elements get their own by a "[]" suffix); `path` is the
  // text a message shows, where elements add nothing.
  void object(const std::string& slot, const std::string& path, Object& o) {
    for (auto& [key, v] : o) value(slot + "/" + key, path + "/" + key, v);
  }
  void value(const std::string& slot, const std::string& path, Value& v) {
    if (std::holds_alternative<std::monostate>(v.data)) return;
    Entry& e = shapes_[slot];
    const Shape s = shape_of(v);
    if (!e.known) {
      e = {true, s};
    } else if (s == Shape::Array) {
      e.shape = Shape::Array;
    } else if (e.shape == Shape::Array) {
      Array wrapped;
      wrapped.push_back(std::move(v));
      v = Value(std::move(wrapped));
    } else if (s != e.shape) {
      throw std::runtime_error("Normalizer shape mismatch at " + path + " (have " + name(s) +
                               ", want " + name(e.shape) + ")");
    }
    if (auto* a = std::get_if<Array>(&v.data)) {
      for (Value& element : *a) value(slot + "[]", path, element);
    } else if (auto* o = std::get_if<Object>(&v.data)) {
      object(slot, path, *o);
    }
  }
  std::map<std::string, Entry> shapes_;
};

// Members drawn from a few keys, so that documents overlap, miss and add members; past three
// levels only nulls, small integers and one string.
testing::DocumentKnobs NormalizerKnobs() {
  testing::DocumentKnobs knobs;
  knobs.keys = {"a", "b", "c", "d", "e", "f"};
  knobs.each_key_once = true;
  knobs.weights = {{testing::Pick::Null, 1}, {testing::Pick::Int, 1}, {testing::Pick::String, 1},
                   {testing::Pick::Array, 1}, {testing::Pick::Object, 1}};
  knobs.scalars_from = 4;
  knobs.max_array = 2;
  knobs.small_ints = 9;
  knobs.edge_numbers = 0;
  knobs.texts = {"s"};
  return knobs;
}

TEST(NormalizerModel, RandomStreamsMatchPlainRules) {
  testing::RandomDocuments random(20240611, NormalizerKnobs());
  int refused = 0;
  int wrapped = 0;
  for (int stream = 0; stream < 200; ++stream) {
    Normalizer normalizer;
    ModelNormalizer model;
    for (int doc = 0; doc < 30; ++doc) {
      Object document = random.Dom();
      Object expected = document;
      const Value before(document);
      std::string expected_error, error;
      try {
        model.modify(expected);
      } catch (const std::runtime_error& e) {
        expected_error = e.what();
      }
      try {
        normalizer.modify(document);
      } catch (const std::runtime_error& e) {
        error = e.what();
      }
      ASSERT_EQ(error, expected_error) << "stream " << stream << " doc " << doc;
      ASSERT_EQ(Value(document), Value(expected)) << "stream " << stream << " doc " << doc;
      refused += !error.empty();
      wrapped += Value(document) != before;
    }
  }
  // The streams exercise both outcomes, not only acceptance.
  EXPECT_GT(refused, 100);
  EXPECT_GT(wrapped, 100);
}

// Batches of random documents, each rolled back when one of its documents is refused (and
// every third one anyway), against the model whose state is restored from a copy.
TEST(NormalizerModel, RandomBatchesRollBackToTheModelsCopy) {
  testing::RandomDocuments random(20261208, NormalizerKnobs());
  int rolled_back = 0;
  for (int stream = 0; stream < 100; ++stream) {
    Normalizer normalizer;
    ModelNormalizer model;
    for (int batch = 0; batch < 10; ++batch) {
      const ModelNormalizer saved = model;
      const std::string before = NormalizerPeer::Dump(normalizer);
      normalizer.begin_batch();
      bool failed = false;
      for (int doc = random.Uniform(0, 3); doc >= 0 && !failed; --doc) {
        Object document = random.Dom();
        Object expected = document;
        std::string expected_error, error;
        try {
          model.modify(expected);
        } catch (const std::runtime_error& e) {
          expected_error = e.what();
        }
        try {
          normalizer.modify(document);
        } catch (const std::runtime_error& e) {
          error = e.what();
        }
        ASSERT_EQ(error, expected_error) << "stream " << stream << " batch " << batch;
        ASSERT_EQ(Value(document), Value(expected)) << "stream " << stream << " batch " << batch;
        failed = !error.empty();
      }
      if (failed || random.Uniform(0, 2) == 0) {
        normalizer.rollback_batch();
        model = saved;
        ASSERT_EQ(NormalizerPeer::Dump(normalizer), before);
        ++rolled_back;
      } else {
        normalizer.commit_batch();
      }
    }
  }
  EXPECT_GT(rolled_back, 300);
}

// A chain of `levels` alternating arrays and objects below the root (arrays first), ending in
// 1; with `arrays` false the arrays are left out (the lone values the Normalizer must wrap).
Object AlternatingLevels(int levels, bool arrays) {
  Value inner(1);
  for (int level = levels; level > 0; --level) {
    if (level % 2 == 1) {
      if (!arrays) continue;
      Array array;
      array.push_back(std::move(inner));
      inner = Value(std::move(array));
    } else {
      Object object;
      object.emplace("k", std::move(inner));
      inner = Value(std::move(object));
    }
  }
  Object root;
  root.emplace("k", std::move(inner));
  return root;
}

TEST(NormalizerDepth, WrapsToTwiceTheDepthLimitOnASmallStack) {
  // The root is depth 1; the shaped document reaches twice the limit, the second document
  // (only its objects) stays within the limit and is wrapped back to the full depth.
  const int levels = 2 * kMaxNestingDepth - 1;
  Object shaped = AlternatingLevels(levels, true);
  Object lone = AlternatingLevels(levels, false);
  Object mismatched = AlternatingLevels(levels, false);
  std::string error;
  testing::RunWithStack(testing::kOneMiB, [&] {
    auto normalizer = std::make_unique<Normalizer>();
    normalizer->modify(shaped);
    normalizer->modify(lone);
    // The innermost leaf becomes an object: refused with the full path.
    Value* cursor = &mismatched.at("k");
    while (auto* object = std::get_if<Object>(&cursor->data)) cursor = &object->at("k");
    *cursor = Value(Object{});
    try {
      normalizer->modify(mismatched);
    } catch (const std::runtime_error& e) {
      error = e.what();
    }
    normalizer.reset();
  });
  EXPECT_EQ(Value(lone), Value(AlternatingLevels(levels, true)));
  std::string path;
  for (int i = 0; i < levels / 2 + 1; ++i) path += "/k";
  EXPECT_EQ(error, "Normalizer shape mismatch at " + path + " (have object, want leaf)");
}

}  // namespace
}  // namespace shredder
