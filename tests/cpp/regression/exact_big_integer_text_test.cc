// Regression: exact mode promises every document back as it came in, yet a JSON integer beyond
// the int64 range ({"n":12345678901234567890}) came back as its nearest double,
// 1.2345678901234567e+19. The reader now keeps the text of such integers beside the document;
// exact mode rescues the member holding one into its object's "___rest" column with that
// text, and unshred writes the text back. Cells and ids still hold the double.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "controller/pipeline_support.h"
#include "shredder/integer_literals.h"

namespace shredder {
namespace {

using testing::ColumnAtoms;
using testing::JsonBatch;

TEST(ExactBigIntegerText, IsKeptBesideTheDocumentAtItsPlace) {
  IntegerLiterals literals;
  // A repeated key keeps its last value, and only the texts recorded in it.
  const Object document = JsonSerialization().ToDomWithLiterals(
      R"({"a":{"x":-123456789012345678901234567890},"a":[2,{"b":18446744073709551615}],"c":3})",
      &literals);
  ASSERT_NE(literals.member("a"), nullptr);
  EXPECT_EQ(literals.member("a")->member("x"), nullptr);
  ASSERT_NE(literals.member("a")->element(1), nullptr);
  EXPECT_EQ(literals.member("a")->element(1)->member("b")->text(), "18446744073709551615");
  EXPECT_EQ(literals.member("c"), nullptr);
  EXPECT_EQ(std::get<Array>(document.at("a").data)[1],
            Value(Object{{"b", Value(18446744073709551615.0)}}));
}

TEST(ExactBigIntegerText, ComesBackFromTheRestColumn) {
  Normalizer normalizer;
  Tagger tagger;
  Controller controller(std::make_unique<JsonTextCodec>(std::make_unique<JsonSerialization>()),
                        {normalizer, tagger}, BoxToStringPolicy(),
                        Controller::ExactMode{&normalizer, &tagger},
                        Controller::KnownParts{&tagger, true});
  const std::string text = R"({"id":1,"m":[1,-99999999999999999999],"n":12345678901234567890})";
  const auto atoms = controller.shred(JsonBatch({text}));
  const std::string rest = R"({"m":[1,-99999999999999999999],"n":12345678901234567890})";
  EXPECT_EQ(ColumnAtoms(*atoms, "root___rest"), std::vector<Atom>{rest});
  EXPECT_EQ(ColumnAtoms(*atoms, "root_n"), std::vector<Atom>{12345678901234567890.0});
  const auto back = controller.unshred(atoms, Controller::UnshredOptions{false});
  EXPECT_EQ(static_cast<const arrow::StringArray&>(*back->column(0)).GetView(0), text);
}

}  // namespace
}  // namespace shredder
