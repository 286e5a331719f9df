#pragma once

#include <memory>
#include <string>
#include <unordered_map>

#include "shredder/controller.h"
#include "shredder/document_codec.h"
#include "shredder/normalizer.h"
#include "shredder/tagger.h"

namespace shredder {

/// One pipeline as a Python `ControllerHandle` object owns it. Members are declared so that
/// destruction runs `controller` first: the modifiers it refers to outlive it. `codec` only
/// holds the codec while the handle is built and is empty afterwards. Handles share nothing.
struct ControllerHandle {
  std::unique_ptr<DocumentCodec> codec;
  std::unique_ptr<Normalizer> normalizer;
  std::unique_ptr<Tagger> tagger;
  std::unique_ptr<Controller> controller;
};

/// A new handle whose pipeline reads and writes documents with the codec called `name`
/// ("json": JSON text, "arrow": struct columns; exact bytes), a fresh `Normalizer` and a
/// default `Tagger`, applied in that order, and the boxing coercion policy. Throws
/// `Error` "Unknown codec: " + name for any other name; a failure destroys
/// everything built so far. With `exact` the pipeline keeps every document whole (see
/// `Controller::ExactMode`).
/// `owners` (exact mode only) are the column names that keep one key list in every batch, as
/// `Controller::ExactMode::owners`.
std::unique_ptr<ControllerHandle> create_controller(
    const std::string& name, bool exact = false,
    std::unordered_map<std::string, std::string> owners = {});

}  // namespace shredder
