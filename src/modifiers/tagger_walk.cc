#include <charconv>
#include <cstring>
#include <string>
#include <variant>

#include "modifiers/tagger_scratch.h"
#include "shredder/column_names.h"
#include "shredder/short_bytes.h"

namespace shredder {

using namespace tagger_internal;

namespace {

// Leaf helpers of the digest walk, kept out of line so that their arrays never enlarge the
// frames of the recursive functions.

[[gnu::noinline]] void digest_scalar(const Value& value, ScalarDigestCache& cache,
                                     std::uint8_t* out) {
  std::uint8_t head[kMaxScalarHeadBytes];
  const std::size_t length = write_scalar_head(value, head);
  const auto* text = std::get_if<std::string>(&value.data);
  cache.digest({head, length}, text ? std::string_view(*text) : std::string_view(), out);
}

[[gnu::noinline]] void index_segment(std::string& segment, std::size_t index) {
  char digits[24];
  segment.assign(digits, std::to_chars(digits, digits + sizeof digits, index).ptr);
}

// The member count is known only after the ignore tests, so the members are written after
// room for the longest header, and the header goes right in front of them at the end.
constexpr std::size_t kObjectHeadRoom = 1 + kMaxVarintBytes;

}  // namespace

void Tagger::Scratch::digest_value(Value& value, std::size_t depth, std::uint8_t* out) {
  if (auto* array = std::get_if<Array>(&value.data)) return digest_array(*array, depth, out);
  if (auto* object = std::get_if<Object>(&value.data)) return digest_object(*object, depth, out);
  digest_scalar(value, scalar_digests, out);
}

// The recursive functions keep only a loop position and a pointer or two in their frames;
// all buffer work is done by out-of-line steps.

void Tagger::Scratch::digest_array(Array& array, std::size_t depth, std::uint8_t* out) {
  begin_array(depth, array.size());
  for (std::size_t i = 0; i < array.size(); ++i) {
    if (std::uint8_t* slot = element_slot(depth, i)) digest_value(array[i], depth + 1, slot);
  }
  finish_array(depth, out);
}

void Tagger::Scratch::digest_object(Object& object, std::size_t depth, std::uint8_t* out) {
  const std::size_t visit = begin_object(object, depth);
  std::uint64_t kept = 0;
  for (auto member = object.begin(); member != object.end(); ++member) {
    if (std::uint8_t* slot = member_slot(depth, member->first)) {
      ++kept;
      digest_value(member->second, depth + 1, slot);
    }
  }
  finish_object(depth, visit, kept, out);
}

void Tagger::Scratch::begin_array(std::size_t depth, std::size_t size) {
  EncodingBuffer& encoding = buffer(depth);
  encoding.clear();
  std::uint8_t* head = encoding.extend(1 + varint_length(size));
  head[0] = kArrayTag;
  write_varint(head + 1, size);
}

std::uint8_t* Tagger::Scratch::element_slot(std::size_t depth, std::size_t index) {
  EncodingBuffer& encoding = buffer(depth);
  if (!patterns.empty()) {
    index_segment(path_segment(depth), index);
    if (ignored(depth + 1)) {
      std::memcpy(encoding.extend(hash_bytes), ignored_digest.data(), hash_bytes);
      return nullptr;
    }
  }
  return digest_slot(encoding);
}

void Tagger::Scratch::finish_array(std::size_t depth, std::uint8_t* out) {
  EncodingBuffer& encoding = buffer(depth);
  blake3_digest({encoding.data(), encoding.size()}, {}, hash_bytes, out);
}

std::size_t Tagger::Scratch::begin_object(Object& object, std::size_t depth) {
  visits.push_back(&object);
  EncodingBuffer& encoding = buffer(depth);
  encoding.clear();
  encoding.extend(kObjectHeadRoom);
  return visits.size() - 1;
}

std::uint8_t* Tagger::Scratch::member_slot(std::size_t depth, const std::string& key) {
  if (key == kTxnIdKey || key == kObjIdKey) return nullptr;
  if (!patterns.empty()) {
    escape_segment(path_segment(depth), key);
    if (ignored(depth + 1)) return nullptr;
  }
  // The key's length, the key and the slot of its value's digest, in one growth of the buffer.
  std::uint8_t* member =
      buffer(depth).extend(varint_length(key.size()) + key.size() + hash_bytes);
  member += write_varint(member, key.size());
  shredder_copy_bytes(member, reinterpret_cast<const std::uint8_t*>(key.data()), key.size());
  return member + key.size();
}

void Tagger::Scratch::finish_object(std::size_t depth, std::size_t visit, std::uint64_t kept,
                                    std::uint8_t* out) {
  EncodingBuffer& encoding = buffer(depth);
  const std::size_t start = kObjectHeadRoom - 1 - varint_length(kept);
  std::uint8_t* head = encoding.data() + start;
  head[0] = kObjectTag;
  write_varint(head + 1, kept);
  if (digests.size() < (visit + 1) * hash_bytes) digests.resize((visit + 1) * hash_bytes);
  std::uint8_t* digest = digests.data() + visit * hash_bytes;
  blake3_digest({head, encoding.size() - start}, {}, hash_bytes, digest);
  if (out != nullptr) std::memcpy(out, digest, hash_bytes);
}

}  // namespace shredder
