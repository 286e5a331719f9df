#pragma once

#include "shredder/value.h"

namespace shredder {

/// A pass that rewrites one document in place between the codec and the shredder.
/// Implementations may keep state across documents; calls must not overlap.
class DomModifier {
 public:
  virtual ~DomModifier() = default;
  /// Rewrites `document` in place; failures are thrown.
  virtual void modify(Object& document) = 0;

  /// The Controller brackets each call with these, so that a failed call leaves no trace in
  /// a modifier's state. `begin_batch` comes before the first document; then exactly one of
  /// `commit_batch` (the call succeeded: keep what was learned) or `rollback_batch` (it failed:
  /// return to the state at `begin_batch`). Stateless modifiers need none of them.
  virtual void begin_batch() {}
  virtual void commit_batch() {}
  virtual void rollback_batch() noexcept {}
  /// Forgets what the last `modify` learned, whether it returned or threw: the state is as
  /// it was before that call. The Controller calls it, between `begin_batch` and the batch's
  /// end, for a document it sets aside (`Controller::shred` with refusals), right after that
  /// document's `modify` and before the next. A modifier that keeps state must implement it,
  /// or a refused document's shapes stay learned.
  virtual void rollback_document() noexcept {}

  /// Whether what the last `modify` did to its document, a change or a refusal, was decided
  /// by documents before it: as the first document this instance sees, the same document
  /// would be changed otherwise, or accepted. Modifiers that judge a document by itself alone
  /// keep the default.
  virtual bool decided_by_earlier_documents() const noexcept { return false; }
};

}  // namespace shredder
