#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "shredder/dom_modifier.h"

namespace shredder {

/// Stamps every object of a document with "__txn_id" (hex BLAKE3 digest of the whole
/// document) and "__obj_id" (hex digest of that object) over a canonical encoding that
/// leaves both members out, so tagging is idempotent. Keeps no state between documents.
class Tagger : public DomModifier {
 public:
  struct Options {
    std::uint64_t hash_bytes = 32;          ///< digest length; 0 becomes 32
    std::vector<std::string> ignore_paths;  ///< "/"-separated patterns; "*" and "**" wildcards
    bool debug = false;                     ///< "[Tagger] " progress lines on standard error
    bool stamp_root = true;                 ///< stamp the root object too
  };

  Tagger();
  explicit Tagger(Options options);
  ~Tagger() override = default;

  /// Digests and stamps `document`. Throws std::runtime_error ("Tagger: ...") only on
  /// guards that well-formed input never reaches.
  void modify(Object& document) override;

  /// The one option an owner may change between calls.
  void set_debug(bool debug) { options_.debug = debug; }
  const Options& options() const { return options_; }

 private:
  Options options_;
};

}  // namespace shredder
