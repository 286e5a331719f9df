#include "modifiers/tagger_scratch.h"

#include <algorithm>
#include <cstring>

namespace shredder {

using namespace tagger_internal;

Tagger::Scratch::Scratch(const Options& options)
    : hash_bytes(options.hash_bytes), patterns(split_ignore_paths(options.ignore_paths)) {
  ignored_digest.resize(hash_bytes);
  blake3_digest({reinterpret_cast<const std::uint8_t*>(kIgnoredText.data()),
                 kIgnoredText.size()},
                {}, hash_bytes, ignored_digest.data());
  visits.reserve(256);
  digests.reserve(256 * hash_bytes);
}

void EncodingBuffer::grow(std::size_t n) {
  const std::size_t capacity = std::max(size_ + n, std::max<std::size_t>(2 * capacity_, 256));
  auto bytes = std::make_unique_for_overwrite<std::uint8_t[]>(capacity);
  if (size_ > 0) std::memcpy(bytes.get(), bytes_.get(), size_);
  bytes_ = std::move(bytes);
  capacity_ = capacity;
}

void Tagger::Scratch::trim() {
  constexpr std::size_t kKeepBytes = std::size_t{1} << 20;
  for (const std::unique_ptr<EncodingBuffer>& buffer : buffers) {
    if (buffer->capacity() > kKeepBytes) buffer->release();
  }
  if (buffers.size() > 64) buffers.resize(64);
  if (visits.capacity() * sizeof(Object*) > kKeepBytes) std::vector<Object*>().swap(visits);
  if (digests.capacity() > kKeepBytes) std::vector<std::uint8_t>().swap(digests);
  if (obj_ids.size() * hash_bytes > kKeepBytes) {
    std::vector<const Object*>().swap(stamped);
    std::vector<Value>().swap(obj_ids);
  }
}

}  // namespace shredder
