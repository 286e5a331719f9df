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
};

}  // namespace shredder
