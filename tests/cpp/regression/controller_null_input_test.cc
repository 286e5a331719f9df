// Regression: Controller::shred asks the codec to validate its input first, and both codecs
// read the column count of an empty batch pointer, which crashed the process.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "controller/pipeline_support.h"
#include "shredder/arrow_dom_codec.h"

namespace shredder {
namespace {

TEST(ControllerNullInputCrash, JsonTextCodecRefusesANullBatch) {
  testing::ModulePipeline p;
  EXPECT_EQ(testing::MessageOf([&] { p.controller.shred(nullptr); }),
            "JsonTextCodec: null RecordBatch");
}

TEST(ControllerNullInputCrash, ArrowDomCodecRefusesANullBatch) {
  Normalizer normalizer;
  Tagger tagger;
  Controller controller(std::make_unique<ArrowDomCodec>(), {normalizer, tagger},
                        BoxToStringPolicy(), Controller::KnownParts{&tagger, true});
  EXPECT_EQ(testing::MessageOf([&] { controller.shred(nullptr); }),
            "ArrowDomCodec: null RecordBatch");
}

}  // namespace
}  // namespace shredder
