#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "shredder/coerce_policy.h"
#include "shredder/document_codec.h"
#include "shredder/dom_modifier.h"
#include "shredder/shredder.h"

namespace shredder {

/// The pipeline codec -> modifiers -> shredder -> atoms batch, and its reverse.
/// Calls must not overlap; the modifiers must outlive the Controller.
class Controller {
 public:
  Controller(std::unique_ptr<DocumentCodec> codec,
             std::vector<std::reference_wrapper<DomModifier>> modifiers, CoercePolicy policy);

  /// Shreds every row of `input` into one atoms batch. Throws std::runtime_error
  /// ("Controller: ...") for its own failures; codec, modifier and shredder errors pass
  /// through unchanged.
  std::shared_ptr<arrow::RecordBatch> shred(const std::shared_ptr<arrow::RecordBatch>& input);

  /// Rebuilds the documents of an atoms batch in the codec's form.
  std::shared_ptr<arrow::RecordBatch> unshred(const std::shared_ptr<arrow::RecordBatch>& atoms);

 private:
  std::unique_ptr<DocumentCodec> codec_;
  std::vector<std::reference_wrapper<DomModifier>> modifiers_;
  CoercePolicy policy_;
  Shredder shredder_;
};

}  // namespace shredder
