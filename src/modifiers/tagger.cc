#include "shredder/tagger.h"
#include "shredder/error.h"

#include <stdexcept>
#include <string>
#include <utility>

#include "modifiers/tagger_scratch.h"

namespace shredder {

using tagger_internal::log_line;

Tagger::Tagger() : Tagger(Options{}) {}

Tagger::Tagger(Options options) : options_(std::move(options)) {
  if (options_.hash_bytes == 0) options_.hash_bytes = 32;
}

Tagger::Tagger(const Tagger& other) : options_(other.options_) {}

Tagger& Tagger::operator=(const Tagger& other) {
  if (this != &other) {
    options_ = other.options_;
    scratch_.reset();
  }
  return *this;
}

Tagger::Tagger(Tagger&&) noexcept = default;
Tagger& Tagger::operator=(Tagger&&) noexcept = default;
Tagger::~Tagger() = default;

Tagger::Scratch& Tagger::digest(Object& document) {
  const std::uint64_t hash_bytes = options_.hash_bytes;
  if (hash_bytes == 0) throw Error(ErrorCode::BadArgument, "Tagger: hash_bytes must be > 0");
  if (options_.debug) {
    log_line("begin modify: hash_bytes=" + std::to_string(hash_bytes) +
             " ignore_paths=" + std::to_string(options_.ignore_paths.size()));
  }
  if (!scratch_) scratch_ = std::make_unique<Scratch>(options_);
  Scratch& scratch = *scratch_;
  scratch.begin();
  // Every digest is computed before the first stamp is written.
  scratch.digest_object(document, 0, nullptr);
  return scratch;
}

void Tagger::modify(Object& document) {
  struct Trim {
    Tagger& tagger;
    ~Trim() {
      if (tagger.scratch_) tagger.scratch_->trim();
    }
  } trim{*this};
  digest(document);
  stamp(document);
}

}  // namespace shredder
