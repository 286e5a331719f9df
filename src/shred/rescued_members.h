#pragma once

// The finishing pass over documents rebuilt with a layout: the members a rescue column held
// as JSON text go back into their objects, and the stamps are dropped when asked.

#include <string>

#include "shredder/integer_literals.h"
#include "shredder/value.h"

namespace shredder::unshredding {

struct RescueOptions {
  /// Whether the stamps "__txn_id" and "__obj_id" stay in the objects.
  bool stamps = true;
  /// The key the rescued members were placed under; null when no column held any.
  const std::string* rest_marker = nullptr;
};

/// Puts back the rescued members of every object of `document` and drops the stamps when
/// asked: deepest objects first, so that what comes back rescued is left as it came in.
/// Returns the texts of the integers beyond the int64 range that the rescued members held.
/// Throws `Error` "Shredder::Unshred: rescued members that are not JSON text" or
/// "Shredder::Unshred: unreadable rescued members: " and the parser's text.
IntegerLiterals Finish(Object& document, const RescueOptions& options);

}  // namespace shredder::unshredding
