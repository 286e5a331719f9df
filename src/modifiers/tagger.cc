#include "shredder/tagger.h"

#include <array>
#include <bit>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <deque>
#include <emmintrin.h>
#include <stdexcept>
#include <utility>

#include "blake3.h"
#include "modifiers/blake3_chunk.h"
#include "modifiers/tagger_internal.h"

namespace shredder {
namespace tagger_internal {

std::size_t write_varint(std::uint8_t* out, std::uint64_t n) {
  std::size_t length = 0;
  while (n >= 0x80) {
    out[length++] = static_cast<std::uint8_t>(n | 0x80);
    n >>= 7;
  }
  out[length++] = static_cast<std::uint8_t>(n);
  return length;
}

std::size_t varint_length(std::uint64_t n) {
  std::size_t length = 1;
  for (; n >= 0x80; n >>= 7) ++length;
  return length;
}

void append_varint(std::string& out, std::uint64_t n) {
  std::uint8_t bytes[kMaxVarintBytes];
  out.append(reinterpret_cast<const char*>(bytes), write_varint(bytes, n));
}

namespace {

// Little-endian whatever the host order is.
void write_le64(std::uint8_t* out, std::uint64_t bits) {
  for (int i = 0; i < 8; ++i) out[i] = static_cast<std::uint8_t>(bits >> (8 * i));
}

}  // namespace

std::size_t write_scalar_head(const Value& value, std::uint8_t* head) {
  const ValueData& data = value.data;
  if (data.valueless_by_exception()) {
    throw std::runtime_error("Tagger: unknown ValueData alternative");
  }
  head[0] = static_cast<std::uint8_t>(data.index());
  switch (data.index()) {
    case 0: return 1;
    case 1: head[1] = std::get<bool>(data) ? 1 : 0; return 2;
    case 2:
      write_le64(head + 1, static_cast<std::uint64_t>(std::get<std::int64_t>(data)));
      return 9;
    case 3:
      write_le64(head + 1, std::bit_cast<std::uint64_t>(std::get<double>(data)));
      return 9;
    case 4: return 1 + write_varint(head + 1, std::get<std::string>(data).size());
  }
  throw std::logic_error("write_scalar_head: not a scalar");
}

void append_scalar_encoding(std::string& out, const Value& value) {
  std::uint8_t head[kMaxScalarHeadBytes];
  out.append(reinterpret_cast<const char*>(head), write_scalar_head(value, head));
  if (const auto* text = std::get_if<std::string>(&value.data)) out.append(*text);
}

// Never inlined: the hasher state takes about 2 KB, which must stay out of the frames of the
// recursive digest walk.
[[gnu::noinline]] void blake3_digest(std::span<const std::uint8_t> head, std::string_view tail,
                                     std::uint64_t out_len, std::uint8_t* out) {
  // Nearly every encoding fits one chunk; those skip the hasher's buffering.
  if (head.size() + tail.size() <= SHREDDER_BLAKE3_CHUNK_BYTES) {
    shredder_blake3_one_chunk(head.data(), head.size(),
                              reinterpret_cast<const std::uint8_t*>(tail.data()), tail.size(),
                              out, out_len);
    return;
  }
  blake3_hasher hasher;
  blake3_hasher_init(&hasher);
  blake3_hasher_update(&hasher, head.data(), head.size());
  if (!tail.empty()) blake3_hasher_update(&hasher, tail.data(), tail.size());
  blake3_hasher_finalize(&hasher, out, out_len);
}

std::string blake3_digest(std::string_view bytes, std::uint64_t out_len) {
  std::string digest(out_len, '\0');
  blake3_digest({}, bytes, out_len, reinterpret_cast<std::uint8_t*>(digest.data()));
  return digest;
}

void escape_segment(std::string& out, std::string_view key) {
  out.clear();
  for (char c : key) {
    if (c == '~') {
      out += "~0";
    } else if (c == '/') {
      out += "~1";
    } else {
      out += c;
    }
  }
}

namespace {

// The two hex digits of every byte value, high nibble first.
constexpr std::array<char, 512> kHexPairs = [] {
  constexpr char kDigits[] = "0123456789abcdef";
  std::array<char, 512> pairs{};
  for (int b = 0; b < 256; ++b) {
    pairs[2 * b] = kDigits[b >> 4];
    pairs[2 * b + 1] = kDigits[b & 0x0F];
  }
  return pairs;
}();

}  // namespace

void write_hex(char* out, std::span<const std::uint8_t> bytes) {
  std::size_t i = 0;
  // Sixteen bytes at a time (SSE2): each nibble n becomes '0' + n, plus 'a' - '0' - 10 where
  // n > 9, and the high and low nibbles of each byte are interleaved.
  const __m128i low_mask = _mm_set1_epi8(0x0F);
  const __m128i zero = _mm_set1_epi8('0');
  const __m128i nine = _mm_set1_epi8(9);
  const __m128i letter_gap = _mm_set1_epi8('a' - '0' - 10);
  auto to_digits = [&](__m128i nibbles) {
    const __m128i letters = _mm_and_si128(_mm_cmpgt_epi8(nibbles, nine), letter_gap);
    return _mm_add_epi8(_mm_add_epi8(nibbles, zero), letters);
  };
  for (; i + 16 <= bytes.size(); i += 16) {
    const __m128i block =
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes.data() + i));
    const __m128i high = to_digits(_mm_and_si128(_mm_srli_epi16(block, 4), low_mask));
    const __m128i low = to_digits(_mm_and_si128(block, low_mask));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * i), _mm_unpacklo_epi8(high, low));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * i + 16), _mm_unpackhi_epi8(high, low));
  }
  for (; i < bytes.size(); ++i) std::memcpy(out + 2 * i, &kHexPairs[2 * bytes[i]], 2);
}

void append_hex(std::string& out, std::span<const std::uint8_t> bytes) {
  const std::size_t start = out.size();
  out.resize(start + 2 * bytes.size());
  write_hex(out.data() + start, bytes);
}

std::string to_hex(std::string_view bytes) {
  std::string out;
  append_hex(out, {reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()});
  return out;
}

std::vector<Pattern> split_ignore_paths(const std::vector<std::string>& ignore_paths) {
  std::vector<Pattern> patterns;
  patterns.reserve(ignore_paths.size());
  for (const std::string& text : ignore_paths) {
    Pattern& pattern = patterns.emplace_back();
    std::size_t begin = 0;
    while (begin <= text.size()) {
      std::size_t end = text.find('/', begin);
      if (end == std::string::npos) end = text.size();
      if (end > begin) pattern.emplace_back(text, begin, end - begin);
      begin = end + 1;
    }
  }
  return patterns;
}

bool match_pattern(const Pattern& pattern, std::span<const std::string> path,
                   std::vector<std::uint8_t>& rows) {
  const std::size_t np = pattern.size();
  const std::size_t nq = path.size();
  // m(i, j) is filled from the last pattern position back; row i needs only row i + 1 and
  // its own later entries, so two rows of |path| + 1 entries hold the whole table.
  rows.assign(2 * (nq + 1), 0);
  std::uint8_t* next = rows.data();
  std::uint8_t* cur = next + nq + 1;
  next[nq] = 1;
  for (std::size_t i = np; i-- > 0;) {
    const std::string& segment = pattern[i];
    if (segment == "**") {
      cur[nq] = next[nq];
      for (std::size_t j = nq; j-- > 0;) cur[j] = next[j] | cur[j + 1];
    } else {
      const bool any = segment == "*";
      cur[nq] = 0;
      for (std::size_t j = nq; j-- > 0;) {
        cur[j] = next[j + 1] && (any || segment == path[j]) ? 1 : 0;
      }
    }
    std::swap(cur, next);
  }
  return next[0] != 0;
}

}  // namespace tagger_internal

using namespace tagger_internal;

namespace {

// Leaf helpers of the digest walk, kept out of line so that their arrays never enlarge the
// frames of the recursive functions.
// Digests of short scalar encodings, remembered by their encoding: documents repeat many
// values (flags, small numbers, codes, names from a short list), and a digest depends only on
// the encoding and the digest length. A direct-mapped table of bounded size; a slot holds the
// last encoding that hashed to it, compared in full before its digest is used.
class ScalarDigestCache {
 public:
  static constexpr std::size_t kMaxKey = 32;
  static constexpr std::size_t kMaxDigest = 32;

  explicit ScalarDigestCache(std::uint64_t hash_bytes) : hash_bytes_(hash_bytes) {}

  // Writes the digest of `encoding` to `out`, computing it only when it is not remembered.
  void digest(std::span<const std::uint8_t> head, std::string_view tail, std::uint8_t* out) {
    const std::size_t length = head.size() + tail.size();
    if (length > kMaxKey || hash_bytes_ > kMaxDigest) {
      blake3_digest(head, tail, hash_bytes_, out);
      return;
    }
    std::uint8_t key[kMaxKey] = {};
    std::memcpy(key, head.data(), head.size());
    if (!tail.empty()) std::memcpy(key + head.size(), tail.data(), tail.size());
    if (slots_.empty()) slots_.resize(kSlots);
    Slot& slot = slots_[SlotOf(key, length)];
    if (slot.length == length + 1 && std::memcmp(slot.key, key, kMaxKey) == 0) {
      std::memcpy(out, slot.digest, hash_bytes_);
      return;
    }
    blake3_digest({key, length}, {}, hash_bytes_, out);
    std::memcpy(slot.key, key, kMaxKey);
    slot.length = static_cast<std::uint8_t>(length + 1);
    std::memcpy(slot.digest, out, hash_bytes_);
  }

 private:
  static constexpr std::size_t kSlots = 4096;

  struct Slot {
    std::uint8_t key[kMaxKey];
    std::uint8_t length = 0;  // encoding length + 1; 0 for an empty slot
    std::uint8_t digest[kMaxDigest];
  };

  static std::size_t SlotOf(const std::uint8_t* key, std::size_t length) {
    std::uint64_t h = length * 0x9E3779B97F4A7C15u;
    for (std::size_t i = 0; i < kMaxKey; i += 8) {
      std::uint64_t word;
      std::memcpy(&word, key + i, sizeof word);
      h = (h ^ word) * 0xBF58476D1CE4E5B9u;
      h ^= h >> 31;
    }
    return static_cast<std::size_t>(h) & (kSlots - 1);
  }

  const std::uint64_t hash_bytes_;
  std::vector<Slot> slots_;  // allocated on first use
};

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

}  // namespace

// Working memory of the digest walk. Kept by the Tagger between documents so that the
// encoding buffers and lists keep their capacity; every call starts from cleared contents.
struct Tagger::Scratch {
  explicit Scratch(const Options& options)
      : hash_bytes(options.hash_bytes), patterns(split_ignore_paths(options.ignore_paths)) {
    ignored_digest.resize(hash_bytes);
    blake3_digest({reinterpret_cast<const std::uint8_t*>(kIgnoredText.data()),
                   kIgnoredText.size()},
                  {}, hash_bytes, ignored_digest.data());
    visits.reserve(256);
    digests.reserve(256 * hash_bytes);
  }

  void begin() {
    visits.clear();
    digests.clear();
  }

  // The stamps kept beside the document: the stamped objects, their "__obj_id" texts and the
  // "__txn_id" text, the strings keeping their capacity from one document to the next.
  void hold_stamps(bool stamp_root) {
    const std::size_t first = stamp_root ? 0 : 1;
    const std::size_t count = visits.size() - first;
    stamped.assign(visits.begin() + static_cast<std::ptrdiff_t>(first), visits.end());
    if (obj_ids.size() < count) obj_ids.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
      write_hex_value(obj_ids[i], {digests.data() + (first + i) * hash_bytes, hash_bytes});
    }
    write_hex_value(txn_id, {digests.data(), hash_bytes});
  }

  static void write_hex_value(Value& value, std::span<const std::uint8_t> digest) {
    auto* text = std::get_if<std::string>(&value.data);
    if (text == nullptr) text = &value.data.emplace<std::string>();
    text->resize(2 * digest.size());
    write_hex(text->data(), digest);
  }

  // Capacity kept for the next document is bounded, so one huge document does not pin its
  // memory for the life of the Tagger.
  void trim() {
    constexpr std::size_t kKeepBytes = std::size_t{1} << 20;
    for (std::string& buffer : buffers) {
      if (buffer.capacity() > kKeepBytes) std::string().swap(buffer);
    }
    if (buffers.size() > 64) buffers.resize(64);
    if (visits.capacity() * sizeof(Object*) > kKeepBytes) std::vector<Object*>().swap(visits);
    if (digests.capacity() > kKeepBytes) std::vector<std::uint8_t>().swap(digests);
    if (obj_ids.size() * hash_bytes > kKeepBytes) {
      std::vector<const Object*>().swap(stamped);
      std::vector<Value>().swap(obj_ids);
    }
  }

  // The encoding buffer of containers at `depth`. A deque keeps the buffers of shallower
  // containers in place while deeper ones are added.
  std::string& buffer(std::size_t depth) {
    while (buffers.size() <= depth) buffers.emplace_back();
    return buffers[depth];
  }

  // Tests the path of the candidate held in path[0, length).
  bool ignored(std::size_t length) {
    const std::span<const std::string> candidate(path.data(), length);
    for (const Pattern& pattern : patterns) {
      if (match_pattern(pattern, candidate, match_rows)) return true;
    }
    return false;
  }

  std::string& path_segment(std::size_t index) {
    if (path.size() <= index) path.resize(index + 1);
    return path[index];
  }

  // Appends a slot of hash_bytes to `buffer` and returns where it starts.
  std::uint8_t* digest_slot(std::string& buffer) {
    const std::size_t at = buffer.size();
    buffer.resize(at + hash_bytes);
    return reinterpret_cast<std::uint8_t*>(buffer.data() + at);
  }

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
  const std::vector<Pattern> patterns;
  ScalarDigestCache scalar_digests{hash_bytes};
  std::vector<std::uint8_t> ignored_digest;
  std::deque<std::string> buffers;
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

void Tagger::Scratch::digest_value(Value& value, std::size_t depth, std::uint8_t* out) {
  switch (value.data.index()) {
    case 5: return digest_array(*std::get_if<Array>(&value.data), depth, out);
    case 6: return digest_object(*std::get_if<Object>(&value.data), depth, out);
  }
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
  std::string& encoding = buffer(depth);
  encoding.clear();
  encoding.push_back(static_cast<char>(kArrayTag));
  append_varint(encoding, size);
}

std::uint8_t* Tagger::Scratch::element_slot(std::size_t depth, std::size_t index) {
  std::string& encoding = buffer(depth);
  if (!patterns.empty()) {
    index_segment(path_segment(depth), index);
    if (ignored(depth + 1)) {
      encoding.append(reinterpret_cast<const char*>(ignored_digest.data()), hash_bytes);
      return nullptr;
    }
  }
  return digest_slot(encoding);
}

void Tagger::Scratch::finish_array(std::size_t depth, std::uint8_t* out) {
  const std::string& encoding = buffer(depth);
  blake3_digest({reinterpret_cast<const std::uint8_t*>(encoding.data()), encoding.size()}, {},
                hash_bytes, out);
}

// The member count is known only after the ignore tests, so the members are written after
// room for the longest header, and the header goes right in front of them at the end.
constexpr std::size_t kObjectHeadRoom = 1 + kMaxVarintBytes;

std::size_t Tagger::Scratch::begin_object(Object& object, std::size_t depth) {
  visits.push_back(&object);
  buffer(depth).assign(kObjectHeadRoom, '\0');
  return visits.size() - 1;
}

std::uint8_t* Tagger::Scratch::member_slot(std::size_t depth, const std::string& key) {
  if (key == kTxnIdKey || key == kObjIdKey) return nullptr;
  if (!patterns.empty()) {
    escape_segment(path_segment(depth), key);
    if (ignored(depth + 1)) return nullptr;
  }
  std::string& encoding = buffer(depth);
  append_varint(encoding, key.size());
  encoding.append(key);
  return digest_slot(encoding);
}

void Tagger::Scratch::finish_object(std::size_t depth, std::size_t visit, std::uint64_t kept,
                                    std::uint8_t* out) {
  std::string& encoding = buffer(depth);
  const std::size_t start = kObjectHeadRoom - 1 - varint_length(kept);
  auto* head = reinterpret_cast<std::uint8_t*>(encoding.data()) + start;
  head[0] = kObjectTag;
  write_varint(head + 1, kept);
  if (digests.size() < (visit + 1) * hash_bytes) digests.resize((visit + 1) * hash_bytes);
  std::uint8_t* digest = digests.data() + visit * hash_bytes;
  blake3_digest({head, encoding.size() - start}, {}, hash_bytes, digest);
  if (out != nullptr) std::memcpy(out, digest, hash_bytes);
}

namespace {

void log_line(const std::string& message) {
  std::string line = "[Tagger] ";
  line += message;
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stderr);
}

void assign_text(ValueData& slot, std::string_view text) {
  if (auto* existing = std::get_if<std::string>(&slot)) {
    existing->assign(text);
  } else {
    slot.emplace<std::string>(text);
  }
}

// Sets `slot` to the hex text of `digest`, written in place.
void assign_hex(ValueData& slot, std::span<const std::uint8_t> digest) {
  auto* text = std::get_if<std::string>(&slot);
  if (text == nullptr) text = &slot.emplace<std::string>();
  text->resize(2 * digest.size());
  write_hex(text->data(), digest);
}

// Sets the member `key` and returns where it stands.
Object::iterator assign_member(Object& object, const std::string& key, std::string_view text) {
  auto at = object.lower_bound(key);
  if (at == object.end() || at->first != key) at = object.emplace_hint(at, key, Value());
  assign_text(at->second.data, text);
  return at;
}

// Sets the member "__obj_id" of an object whose "__txn_id" stands at `txn` to the hex text of
// `digest`. The two keys sort next to each other unless the object has a key between them,
// so the place of the first is nearly always known without a search.
void assign_obj_id(Object& object, Object::iterator txn, const std::string& key,
                   std::span<const std::uint8_t> digest) {
  Object::iterator at;
  if (txn != object.begin() && std::prev(txn)->first == key) {
    at = std::prev(txn);
  } else if (txn != object.begin() && std::prev(txn)->first > key) {
    at = object.lower_bound(key);
    if (at == object.end() || at->first != key) at = object.emplace_hint(at, key, Value());
  } else {
    at = object.emplace_hint(txn, key, Value());
  }
  assign_hex(at->second.data, digest);
}

}  // namespace

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
  if (hash_bytes == 0) throw std::runtime_error("Tagger: hash_bytes must be > 0");
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

void Tagger::stamp(Object& document) {
  const std::uint64_t hash_bytes = options_.hash_bytes;
  const bool debug = options_.debug;
  Scratch& scratch = *scratch_;
  std::string txn_id;
  append_hex(txn_id, {scratch.digests.data(), hash_bytes});
  const std::size_t seen = scratch.visits.size();
  if (debug) {
    log_line("computed root txn_id=" + txn_id + " objects_seen=" + std::to_string(seen) +
             " obj_digests=" + std::to_string(scratch.digests.size() / hash_bytes));
  }

  const std::string txn_key(kTxnIdKey);
  const std::string obj_key(kObjIdKey);
  std::uint64_t stamped = 0;
  for (std::size_t i = 0; i < seen; ++i) {
    Object& object = *scratch.visits[i];
    if (!options_.stamp_root && &object == &document) continue;
    const auto txn = assign_member(object, txn_key, txn_id);
    if (scratch.digests.size() < (i + 1) * hash_bytes) {
      throw std::runtime_error("Tagger: missing object digest during stamping");
    }
    const std::span<const std::uint8_t> digest(scratch.digests.data() + i * hash_bytes,
                                               hash_bytes);
    assign_obj_id(object, txn, obj_key, digest);
    ++stamped;
    if (debug && stamped <= 5) {
      std::string obj_id;
      append_hex(obj_id, digest);
      log_line("stamped object #" + std::to_string(stamped) + " __obj_id=" + obj_id);
    }
  }
  if (debug) {
    log_line("end modify: stamped=" + std::to_string(stamped) +
             " txn_id_key=__txn_id obj_id_key=__obj_id");
  }
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

namespace tagger_internal {

shred_internal::Stamps StampAccess::Compute(Tagger& tagger, Object& document) {
  if (tagger.options_.debug) throw std::logic_error("StampAccess: not in debug mode");
  // The previous document's stamps are no longer read.
  if (tagger.scratch_) tagger.scratch_->trim();
  Tagger::Scratch& scratch = tagger.digest(document);
  scratch.hold_stamps(tagger.options_.stamp_root);
  return shred_internal::Stamps{scratch.stamped,
                                {scratch.obj_ids.data(), scratch.stamped.size()},
                                &scratch.txn_id};
}

void StampAccess::Write(Tagger& tagger, Object& document) { tagger.stamp(document); }

}  // namespace tagger_internal

}  // namespace shredder
