#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "arrow/type_fwd.h"
#include "shredder/coerce_policy.h"
#include "shredder/document_codec.h"
#include "shredder/dom_modifier.h"
#include "shredder/shredder.h"

namespace shredder {

/// The row of the input batch at which `Controller::shred` failed. It is a second base of the
/// exception `shred` throws then: the first base is the type of the original failure (one of
/// the standard exception types, `JsonParseError`, or std::runtime_error for other types
/// derived from it), which keeps its text.
class RowError {
 public:
  explicit RowError(std::int64_t row) noexcept : row_(row) {}
  virtual ~RowError() = default;
  /// The 0-based row of the batch given to `shred`.
  std::int64_t row() const noexcept { return row_; }

 private:
  std::int64_t row_;
};

/// The pipeline codec -> modifiers -> shredder -> atoms batch, and its reverse.
/// Calls must not overlap; the modifiers must outlive the Controller.
class Controller {
 public:
  Controller(std::unique_ptr<DocumentCodec> codec,
             std::vector<std::reference_wrapper<DomModifier>> modifiers, CoercePolicy policy);

  /// Shreds every row of `input` into one atoms batch. Throws std::runtime_error
  /// ("Controller: ...") for its own failures; codec, modifier and shredder errors pass
  /// through with their type and text. A failure of one row (its document cannot be read,
  /// normalised, tagged, shredded or merged) also derives from `RowError`; failures of the
  /// whole batch (validation, size limits, building the columns) do not.
  /// All or nothing: when it throws, every modifier is rolled back to its state before the
  /// call, so the documents of a failed call leave no trace in later calls.
  std::shared_ptr<arrow::RecordBatch> shred(const std::shared_ptr<arrow::RecordBatch>& input);

  /// The root `__txn_id` that `shred` of the same batch through this Controller would give
  /// each row's document, one entry per row (null where the document's root member
  /// `__txn_id` is not a string, which a Tagger stamping the root never leaves), without
  /// building the atoms batch. Every row goes through the codec, the modifiers and the
  /// shredder's checks as in `shred`, so it throws what `shred` throws for the batch, with the
  /// same type, text and row, and commits or rolls back the modifiers as `shred` does. The
  /// one difference lies in the bounds of a whole batch: a column whose strings stay within
  /// Arrow's limit only without the other scalars that other documents put in it, boxed into
  /// text, is refused by `shred` and not here (and its refusal text names another size). A
  /// column never mixes them in one document, so for a batch of one document both agree.
  std::shared_ptr<arrow::StringArray> digest(const std::shared_ptr<arrow::RecordBatch>& input);

  /// Rebuilds the documents of an atoms batch in the codec's form.
  std::shared_ptr<arrow::RecordBatch> unshred(const std::shared_ptr<arrow::RecordBatch>& atoms);

 private:
  std::unique_ptr<DocumentCodec> codec_;
  std::vector<std::reference_wrapper<DomModifier>> modifiers_;
  CoercePolicy policy_;
  Shredder shredder_;
};

}  // namespace shredder
