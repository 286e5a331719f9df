#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "shredder/error.h"
#include "shredder/column_names.h"
#include "shredder/dom_modifier.h"
#include "shredder/value.h"

namespace shredder {


struct StampAccess;

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

  /// Digests and stamps `document`. Throws `Error` ("Tagger: ...") only on
  /// guards that well-formed input never reaches; the document is then unchanged.
  void modify(Object& document) override;

  /// The one option an owner may change between calls.
  void set_debug(bool debug) { options_.debug = debug; }
  const Options& options() const { return options_; }

 private:
  friend struct StampAccess;
  struct Scratch;

  // The digests of `document` and its root's "__txn_id" text, in the scratch memory.
  Scratch& digest(Object& document);
  // Writes the stamps digested last into `document`, which must be unchanged since.
  void stamp(Object& document);

  Options options_;
  // Buffers reused from one document to the next; created on first use.
  std::unique_ptr<Scratch> scratch_;
};

/// The stamps a Tagger would write into a document, kept beside it instead: `objects` are the
/// objects it would stamp, in the order a depth-first walk in key order enters them (the root
/// first when it is stamped), `obj_ids[i]` the "__obj_id" text of `objects[i]`, and `txn_id`
/// the "__txn_id" text of all of them.
struct TaggerStamps {
  std::span<const Object* const> objects;
  std::span<const Value> obj_ids;
  const Value* txn_id = nullptr;
};

/// A merging caller's way to shred a tagged document without writing the stamps into it.
struct StampAccess {
  /// Computes what `tagger.modify(document)` would write, with the same failures, and
  /// returns it as stamps held in the Tagger's scratch memory until its next call. Not in
  /// debug mode, whose lines only `modify` writes: throws `Error`
  /// "StampAccess: not in debug mode" there.
  static TaggerStamps Compute(Tagger& tagger, Object& document);
  /// Writes the stamps of the last `Compute` into `document` (unchanged since), leaving it
  /// exactly as `modify` would have.
  static void Write(Tagger& tagger, Object& document);
};

}  // namespace shredder
