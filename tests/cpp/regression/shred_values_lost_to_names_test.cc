// Regression: keys are joined with "_" into column names, and the shredder wrote whatever
// member came later over a cell another member had filled. In gharchive every issue event with
// labels lost a label url: {"labels_url":"A","labels":[{"url":"B1"},{"url":"B2"}]} shredded
// without a word and "B1" was nowhere in the atoms. Names that unshredding reads as something
// else lost values the same way: {"tags":["a","b"],"tags__idx":7} came back as
// {"tags":[null,"b",null,null,null,null,null,"a"]}, {"k":[1,2],"k___obj_id":"q"} as
// {"k":[{},2]}, {"a":{"":1}} as {"a":{}}. Such documents are now refused, naming the members.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "controller/pipeline_support.h"
#include "test_support.h"

namespace shredder {
namespace {

using testing::MessageOf;
using testing::ModulePipeline;

TEST(ShredValuesLostToNames, TheIssuesDocumentsAreRefused) {
  struct Case {
    const char* document;
    const char* message;
  };
  const std::vector<Case> cases = {
      {R"({"labels_url":"A","labels":[{"url":"B1"},{"url":"B2"}]})",
       "members /labels/url and /labels_url both map to column root_labels_url"},
      {R"({"tags":["a","b"],"tags__idx":7})",
       "member /tags__idx maps to column root_tags__idx, which is read back as an array index"},
      {R"({"n":1,"n__idx":"z"})",
       "member /n__idx maps to column root_n__idx, which is read back as an array index"},
      {R"({"tags__idx":5})",
       "member /tags__idx maps to column root_tags__idx, which is read back as an array index"},
      {R"({"k":[1,2],"k___obj_id":"q"})",
       "member /k___obj_id maps to column root_k___obj_id, which is read back as an object id "
       "stamp"},
      {R"({"":1})",
       "member / has the empty key, so its value would be written under its parent's name root"},
      {R"({"a":{"":1}})",
       "member /a/ has the empty key, so its value would be written under its parent's name "
       "root_a"},
      {R"({"a":[{"":1},{"":2}]})",
       "member /a/ has the empty key, so its value would be written under its parent's name "
       "root_a"},
  };
  for (const Case& c : cases) {
    ModulePipeline pipeline;
    EXPECT_EQ(MessageOf([&] { pipeline.Shred({c.document}); }),
              std::string("Shredder::Shred: ") + c.message)
        << c.document;
  }
}

// The Tagger's own stamps, on every object of a document, are never taken for such names.
TEST(ShredValuesLostToNames, StampedDocumentsStillRoundTrip) {
  ModulePipeline pipeline;
  const auto atoms = pipeline.Shred(
      {R"({"labels":[{"url":"B1","id":1},{"url":"B2","id":2}],"repo":{"url":"R"}})"});
  const std::vector<Object> back = testing::Documents(*pipeline.controller.unshred(atoms));
  ASSERT_EQ(back.size(), 1u);
  const Array& labels = std::get<Array>(back[0].at("labels").data);
  ASSERT_EQ(labels.size(), 2u);
  EXPECT_EQ(std::get<Object>(labels[1].data).at("url"), Value("B2"));
  EXPECT_EQ(std::get<Object>(back[0].at("repo").data).at("url"), Value("R"));
}

}  // namespace
}  // namespace shredder
