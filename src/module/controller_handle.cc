#include "module/controller_handle.h"
#include "shredder/error.h"

#include <functional>
#include <stdexcept>
#include <utility>
#include <vector>

#include "shredder/arrow_dom_codec.h"
#include "shredder/coerce_policy.h"
#include "shredder/json_text_codec.h"
#include "shredder/serialization.h"

namespace shredder {

std::unique_ptr<ControllerHandle> create_controller(
    const std::string& name, bool exact, std::unordered_map<std::string, std::string> owners) {
  auto handle = std::make_unique<ControllerHandle>();
  if (name == "json") {
    handle->codec = std::make_unique<JsonTextCodec>(MakeSerialization(SerializationFormat::Json));
  } else if (name == "arrow") {
    handle->codec = std::make_unique<ArrowDomCodec>();
  } else {
    throw Error(ErrorCode::BadArgument, "Unknown codec: " + name);
  }
  handle->normalizer = std::make_unique<Normalizer>();
  handle->tagger = std::make_unique<Tagger>();
  // Normalising first means every document is digested and stamped in its final shape.
  std::vector<std::reference_wrapper<DomModifier>> modifiers{*handle->normalizer,
                                                             *handle->tagger};
  // Both made here, so the Controller is told what they are.
  const Controller::KnownParts known{handle->tagger.get(), /*box_to_string=*/true};
  if (exact) {
    handle->controller = std::make_unique<Controller>(
        std::move(handle->codec), std::move(modifiers), BoxToStringPolicy(),
        Controller::ExactMode{handle->normalizer.get(), handle->tagger.get(),
                              /*null_members_kept=*/name == "json", std::move(owners)},
        known);
  } else {
    if (!owners.empty()) throw Error(ErrorCode::BadArgument, "owners need exact=True");
    handle->controller = std::make_unique<Controller>(
        std::move(handle->codec), std::move(modifiers), BoxToStringPolicy(), known);
  }
  return handle;
}

}  // namespace shredder
