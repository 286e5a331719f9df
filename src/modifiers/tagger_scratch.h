#pragma once

// The Tagger's working memory and the digest walk that fills it, shared by the walk, the
// stamping and the Tagger's own calls.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "modifiers/scalar_digest_cache.h"
#include "modifiers/tagger_internal.h"
#include "shredder/tagger.h"
#include "shredder/value.h"

namespace shredder {

// The encoding of one container while its members are digested. It grows without filling
// what it adds: every byte it hands out is written before the encoding is hashed (a member's
// key and the slot its value's digest goes to), and filling them first cost a call per member.
class EncodingBuffer {
 public:
  void clear() { size_ = 0; }
  std::size_t size() const { return size_; }
  std::size_t capacity() const { return capacity_; }
  std::uint8_t* data() { return bytes_.get(); }

  // Adds n bytes, not yet written, at the end and returns where they start.
  std::uint8_t* extend(std::size_t n) {
    if (capacity_ - size_ < n) grow(n);
    std::uint8_t* at = bytes_.get() + size_;
    size_ += n;
    return at;
  }

  void release() {
    bytes_.reset();
    size_ = capacity_ = 0;
  }

 private:
  void grow(std::size_t n);

  std::unique_ptr<std::uint8_t[]> bytes_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

// Working memory of the digest walk. Kept by the Tagger between documents so that the
// encoding buffers and lists keep their capacity; every call starts from cleared contents.
struct Tagger::Scratch {
  explicit Scratch(const Options& options);

  void begin() {
    visits.clear();
    digests.clear();
  }

  // The stamps kept beside the document: the stamped objects, their "__obj_id" texts and the
  // "__txn_id" text, the strings keeping their capacity from one document to the next.
  void hold_stamps(bool stamp_root);

  // Capacity kept for the next document is bounded, so one huge document does not pin its
  // memory for the life of the Tagger.
  void trim();

  // The encoding buffer of containers at `depth`. Each buffer is held by its own pointer, so
  // the buffers of shallower containers stay in place while deeper ones are added.
  EncodingBuffer& buffer(std::size_t depth) {
    while (buffers.size() <= depth) buffers.push_back(std::make_unique<EncodingBuffer>());
    return *buffers[depth];
  }

  // Tests the path of the candidate held in path[0, length).
  bool ignored(std::size_t length) {
    const std::span<const std::string> candidate(path.data(), length);
    for (const tagger_internal::Pattern& pattern : patterns) {
      if (tagger_internal::match_pattern(pattern, candidate, match_rows)) return true;
    }
    return false;
  }

  std::string& path_segment(std::size_t index) {
    if (path.size() <= index) path.resize(index + 1);
    return path[index];
  }

  // Appends a slot of hash_bytes to `buffer` and returns where it starts.
  std::uint8_t* digest_slot(EncodingBuffer& buffer) { return buffer.extend(hash_bytes); }

  // The three recursive walk functions hold no buffers or arrays of their own (the hasher,
  // the scalar encoding and all buffer work live in out-of-line calls), so their frames stay
  // small even under AddressSanitizer and documents twice the nesting limit fit a 1 MiB
  // stack.
  void digest_value(Value& value, std::size_t depth, std::uint8_t* out);
  void digest_array(Array& array, std::size_t depth, std::uint8_t* out);
  void digest_object(Object& object, std::size_t depth, std::uint8_t* out);

  // Steps of the walk: each prepares or finishes the encoding of the container at `depth`.
  // A slot is where the digest of the next element or member goes, null when it is left out.
  [[gnu::noinline]] void begin_array(std::size_t depth, std::size_t size);
  [[gnu::noinline]] std::uint8_t* element_slot(std::size_t depth, std::size_t index);
  [[gnu::noinline]] void finish_array(std::size_t depth, std::uint8_t* out);
  [[gnu::noinline]] std::size_t begin_object(Object& object, std::size_t depth);
  [[gnu::noinline]] std::uint8_t* member_slot(std::size_t depth, const std::string& key);
  [[gnu::noinline]] void finish_object(std::size_t depth, std::size_t visit, std::uint64_t kept,
                                       std::uint8_t* out);

  const std::uint64_t hash_bytes;
  const std::vector<tagger_internal::Pattern> patterns;
  tagger_internal::ScalarDigestCache scalar_digests{hash_bytes};
  std::vector<std::uint8_t> ignored_digest;
  std::vector<std::unique_ptr<EncodingBuffer>> buffers;
  std::vector<std::string> path;
  std::vector<std::uint8_t> match_rows;
  // Objects in the order the walk enters them; digest i of `digests` belongs to visit i, which
  // stands in for a table keyed by object address (each object is entered exactly once).
  std::vector<Object*> visits;
  std::vector<std::uint8_t> digests;
  std::vector<const Object*> stamped;
  std::vector<Value> obj_ids;
  Value txn_id;
};

}  // namespace shredder
