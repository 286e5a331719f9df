#include "shredder/atom_column.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace shredder {
namespace {

using ColumnKind = IColumn::Kind;

struct PushCase {
  ColumnKind kind;
  Atom atom;
  bool accepted;
};

class ColumnPush : public ::testing::TestWithParam<PushCase> {};

TEST_P(ColumnPush, AcceptsOnlyItsAlternativesAndStaysUnchangedOnRejection) {
  const PushCase& c = GetParam();
  auto column = IColumn::Make(c.kind, 4);
  column->push(Atom{});
  if (c.accepted) {
    column->push(c.atom);
    ASSERT_EQ(column->size(), 2u);
    EXPECT_EQ(column->at(1), c.atom);
    EXPECT_EQ(column->at(1).index(), c.atom.index());
    return;
  }
  try {
    column->push(c.atom);
    FAIL() << "push was accepted";
  } catch (const Error& e) {
    EXPECT_STREQ(e.what(), c.kind == ColumnKind::String
                               ? "StringColumn::push: only null or string allowed"
                               : "ScalarColumn::push: string not allowed");
  }
  EXPECT_EQ(column->size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ColumnPush,
    ::testing::Values(PushCase{ColumnKind::Scalar, Atom{true}, true},
                      PushCase{ColumnKind::Scalar, Atom{std::int64_t{1}}, true},
                      PushCase{ColumnKind::Scalar, Atom{1.0}, true},
                      PushCase{ColumnKind::Scalar, Atom{std::string("x")}, false},
                      PushCase{ColumnKind::String, Atom{std::string("x")}, true},
                      PushCase{ColumnKind::String, Atom{false}, false},
                      PushCase{ColumnKind::String, Atom{std::int64_t{1}}, false},
                      PushCase{ColumnKind::String, Atom{2.5}, false}));

TEST(ColumnMake, RejectsUnknownKindAndReservesWithoutGrowing) {
  try {
    IColumn::Make(static_cast<ColumnKind>(2), 0);
    FAIL();
  } catch (const Error& e) {
    EXPECT_STREQ(e.what(), "IColumn::Make: unknown kind");
  }
  auto scalar = IColumn::Make(ColumnKind::Scalar, 0);
  EXPECT_EQ(scalar->kind(), ColumnKind::Scalar);
  EXPECT_EQ(scalar->size(), 0u);
  EXPECT_EQ(IColumn::Make(ColumnKind::String, 100)->size(), 0u);
}

TEST(ColumnAt, ThrowsOutOfRangeWithClassNameAndReturnsIndependentCopies) {
  for (auto [kind, text] : {std::pair{ColumnKind::Scalar, "ScalarColumn::at"},
                            std::pair{ColumnKind::String, "StringColumn::at"}}) {
    auto column = IColumn::Make(kind, 0);
    column->push(Atom{});
    try {
      column->at(column->size());
      FAIL();
    } catch (const Error& e) {
      EXPECT_STREQ(e.what(), text);
    }
  }
  auto strings = IColumn::Make(ColumnKind::String, 1);
  strings->push(Atom{std::string("keep")});
  Atom copy = strings->at(0);
  std::get<std::string>(copy) = "changed";
  EXPECT_EQ(std::get<std::string>(strings->at(0)), "keep");
}

TEST(ScalarColumn, KeepsIntegerAndDoubleApart) {
  auto column = IColumn::Make(ColumnKind::Scalar, 2);
  column->push(Atom{std::int64_t{1}});
  column->push(Atom{1.0});
  EXPECT_EQ(column->at(0).index(), 2u);
  EXPECT_EQ(column->at(1).index(), 3u);
}

}  // namespace
}  // namespace shredder
