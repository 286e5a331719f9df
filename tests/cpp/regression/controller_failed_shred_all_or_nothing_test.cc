// Regression: a failed shred kept what the Normalizer had learned during the call, also from
// the refused document itself, so a refused document changed later output. After {"z":5}, the
// refused {"a":[1],"z":{"y":1}} (it taught /a as an array before /z failed) made a later
// {"a":2} come out as {"a":[2]}, with another digest. A failed `Controller::shred` now leaves
// the modifiers exactly as they were before the call.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "arrow/record_batch.h"
#include "controller/pipeline_support.h"

namespace shredder {
namespace {

using testing::ModulePipeline;

struct Case {
  const char* name;
  std::vector<std::vector<std::string>> before;  // calls that succeed
  std::vector<std::string> failing;              // the call that fails
  std::vector<std::string> after;                // the call compared
};

// One document of 16,384 rows and one of 16,382 columns: together past 2^28 cells with the
// stamps.
std::string LongArray() {
  std::string text = R"({"a":[0)";
  for (int i = 1; i < 16384; ++i) text += ",0";
  return text + "]}";
}

std::string WideObject() {
  std::string text = "{";
  for (int i = 0; i < 16382; ++i) text += (i ? ",\"k" : "\"k") + std::to_string(i) + "\":0";
  return text + "}";
}

// The last call of a pipeline that also saw the failing call gives the same atoms batch as
// one that never saw it: the same columns, cells, and digests.
TEST(ControllerFailedShred, LeavesNoTraceInLaterCalls) {
  const std::vector<Case> cases = {
      {"IssueExample", {{R"({"z":5})"}}, {R"({"a":[1],"z":{"y":1}})"}, {R"({"a":2})"}},
      // Shapes of earlier successful calls stay: /a is an array path from the first call.
      {"EarlierShapesStay",
       {{R"({"a":[1]})"}},
       {R"({"b":1})", R"({"b":{"c":1}})"},
       {R"({"a":2,"b":{"c":1}})"}},
      // Rows before the failing one in the same call are rolled back too.
      {"RowsBeforeTheFailingOne",
       {},
       {R"({"m":[1]})", R"({"n":1})", R"({"bad":[[1]]})"},
       {R"({"m":1})", R"({"n":{"x":1}})"}},
      // A failure of the whole batch (too many cells once the third row is in) rolls back
      // what its rows taught.
      {"FailureOfTheWholeBatch",
       {{R"({"q":{"r":1}})"}},
       {R"({"q":[{"r":2}]})", LongArray(), WideObject()},
       {R"({"q":{"r":3}})", R"({"a":1})"}},
  };
  for (const Case& c : cases) {
    ModulePipeline tried;
    ModulePipeline fresh;
    for (const auto& call : c.before) {
      tried.Shred(call);
      fresh.Shred(call);
    }
    EXPECT_THROW(tried.Shred(c.failing), std::exception) << c.name;
    const auto got = tried.Shred(c.after);
    const auto expected = fresh.Shred(c.after);
    EXPECT_TRUE(got->Equals(*expected)) << c.name << "\n"
                                        << got->ToString() << "\n"
                                        << expected->ToString();
  }
}

}  // namespace
}  // namespace shredder
