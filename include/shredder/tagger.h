#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "shredder/dom_modifier.h"

namespace shredder {

namespace tagger_internal {
struct StampAccess;
}  // namespace tagger_internal

/// Stamps every object of a document with "__txn_id" (hex BLAKE3 digest of the whole
/// document) and "__obj_id" (hex digest of that object) over a canonical encoding that
/// leaves both members out, so tagging is idempotent. Keeps no state between documents
/// (only reusable scratch memory, which never changes a result).
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
  /// Copies the options only; the copy starts with fresh scratch memory.
  Tagger(const Tagger& other);
  Tagger& operator=(const Tagger& other);
  Tagger(Tagger&&) noexcept;
  Tagger& operator=(Tagger&&) noexcept;
  ~Tagger() override;

  /// Digests and stamps `document`. Throws std::runtime_error ("Tagger: ...") only on
  /// guards that well-formed input never reaches; the document is then unchanged.
  void modify(Object& document) override;

  /// The one option an owner may change between calls.
  void set_debug(bool debug) { options_.debug = debug; }
  const Options& options() const { return options_; }

 private:
  friend struct tagger_internal::StampAccess;
  struct Scratch;

  // The digests of `document` and its root's "__txn_id" text, in the scratch memory.
  Scratch& digest(Object& document);
  // Writes the stamps digested last into `document`, which must be unchanged since.
  void stamp(Object& document);

  Options options_;
  // Buffers reused from one document to the next; created on first use.
  std::unique_ptr<Scratch> scratch_;
};

}  // namespace shredder
