// Regression: integers between 2^63 and 2^64 - 1, in JSON text and in Arrow uint64 cells, were
// read as the int64 of their bit pattern. {"big":12345678901234567890} was shredded, digested
// and rebuilt as -6101065172474983726, and verification called the document exact, since the
// digests were taken of the wrong number too. Such integers now become the nearest double, as
// integers too long for 64 bits always did.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "controller/pipeline_support.h"

namespace shredder {
namespace {

using testing::ColumnAtoms;
using testing::Documents;
using testing::ModulePipeline;

std::string TxnIdOfBatch(const arrow::RecordBatch& atoms) {
  return std::get<std::string>(ColumnAtoms(atoms, "root___txn_id").at(0));
}

TEST(BigIntegers, BecomeDoublesInAtomsDigestsAndRoundTrips) {
  struct Case {
    std::string text;
    Atom atom;
    std::string same_as;  // a document that must get the same digest
  };
  const std::vector<Case> cases = {
      {R"({"big":12345678901234567890})", Atom{12345678901234567890.0},
       R"({"big":1.2345678901234567e19})"},
      {R"({"big":18446744073709551615})", Atom{18446744073709551616.0},
       R"({"big":1.8446744073709552e19})"},
      {R"({"big":9223372036854775808})", Atom{9223372036854775808.0},
       R"({"big":9.223372036854775808e18})"},
      // The largest int64 stays an integer.
      {R"({"big":9223372036854775807})", Atom{std::int64_t{9223372036854775807}},
       R"({"big":9223372036854775807})"},
  };
  for (const Case& c : cases) {
    ModulePipeline pipeline;
    const auto atoms = pipeline.Shred({c.text});
    EXPECT_EQ(ColumnAtoms(*atoms, "root_big"), std::vector<Atom>{c.atom}) << c.text;
    EXPECT_EQ(TxnIdOfBatch(*atoms), TxnIdOfBatch(*ModulePipeline().Shred({c.same_as}))) << c.text;
    const std::vector<Object> back = Documents(*pipeline.controller.unshred(atoms));
    ASSERT_EQ(back.size(), 1u);
    const Value expected = c.atom.index() == 3 ? Value(std::get<double>(c.atom))
                                               : Value(std::get<std::int64_t>(c.atom));
    EXPECT_EQ(back[0].at("big"), expected) << c.text;
  }
  // The bit pattern's number is another document.
  EXPECT_NE(TxnIdOfBatch(*ModulePipeline().Shred({R"({"big":12345678901234567890})"})),
            TxnIdOfBatch(*ModulePipeline().Shred({R"({"big":-6101065172474983726})"})));
}

}  // namespace
}  // namespace shredder
