#pragma once

// Shared by the fuzz harnesses and the seed writer: the pipelines as the extension module
// assembles them, a byte reader that never fails (missing bytes read as zero), the writer
// that produces the same encodings, and the rule for what counts as a finding.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "arrow/array/builder_binary.h"
#include "arrow/record_batch.h"
#include "arrow/type.h"
#include "shredder/arrow_dom_codec.h"
#include "shredder/coerce_policy.h"
#include "shredder/controller.h"
#include "shredder/json_text_codec.h"
#include "shredder/normalizer.h"
#include "shredder/serialization.h"
#include "shredder/tagger.h"

namespace shredder::fuzz {

/// A Controller with the module's modifiers and policy around the given codec.
struct Pipeline {
  Normalizer normalizer;
  Tagger tagger;
  Controller controller;

  explicit Pipeline(bool arrow_codec, bool exact = false)
      : controller(exact ? Controller(Codec(arrow_codec), {normalizer, tagger}, BoxToStringPolicy(),
                                      Controller::ExactMode{&normalizer, &tagger, !arrow_codec},
                                      Known())
                         : Controller(Codec(arrow_codec), {normalizer, tagger},
                                      BoxToStringPolicy(), Known())) {}

 private:
  Controller::KnownParts Known() { return {&tagger, /*box_to_string=*/true}; }

  static std::unique_ptr<DocumentCodec> Codec(bool arrow_codec) {
    if (arrow_codec) return std::make_unique<ArrowDomCodec>();
    return std::make_unique<JsonTextCodec>(MakeSerialization(SerializationFormat::Json));
  }
};

/// One utf8 column "doc" holding `lines`.
inline std::shared_ptr<arrow::RecordBatch> JsonBatch(const std::vector<std::string_view>& lines) {
  arrow::StringBuilder builder;
  for (std::string_view line : lines) {
    if (!builder.Append(line).ok()) std::abort();
  }
  std::shared_ptr<arrow::Array> array;
  if (!builder.Finish(&array).ok()) std::abort();
  return arrow::RecordBatch::Make(arrow::schema({arrow::field("doc", arrow::utf8())}),
                                  array->length(), {array});
}

/// Stops the run on what no input may cause: an allocation the bounds should have refused,
/// or an exception outside the documented standard types.
[[noreturn]] inline void Finding(const char* what) {
  std::fprintf(stderr, "FINDING: %s\n", what);
  std::fflush(stderr);
  std::abort();
}

/// Runs `body`; documented failures (standard exceptions) end it quietly.
template <typename Body>
void Guarded(Body&& body) {
  try {
    body();
  } catch (const std::bad_alloc& e) {
    Finding("std::bad_alloc: an allocation without bound");
  } catch (const std::length_error& e) {
    Finding(e.what());
  } catch (const Error& e) {
    // A refused input, unless the engine says it is at fault itself.
    if (e.code() == ErrorCode::Internal) Finding(e.what());
  } catch (const std::exception&) {
    // A refused input: becomes a ValueError at the Python boundary.
  } catch (...) {
    Finding("an exception of no standard type");
  }
}

/// Reads the fuzz input front to back. Past the end every read gives zero bytes.
class ByteReader {
 public:
  ByteReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  bool empty() const { return pos_ >= size_; }

  std::uint8_t u8() { return pos_ < size_ ? data_[pos_++] : 0; }

  /// Little-endian base-128, at most ten bytes.
  std::uint64_t varint() {
    std::uint64_t value = 0;
    for (int shift = 0; shift < 64; shift += 7) {
      const std::uint8_t byte = u8();
      value |= static_cast<std::uint64_t>(byte & 0x7f) << shift;
      if ((byte & 0x80) == 0) break;
    }
    return value;
  }

  /// Zig-zag varint: small magnitudes of either sign take one byte.
  std::int64_t svarint() {
    const std::uint64_t raw = varint();
    return static_cast<std::int64_t>((raw >> 1) ^ (~(raw & 1) + 1));
  }

  template <typename T>
  T fixed() {
    std::uint8_t bytes[sizeof(T)] = {};
    for (std::size_t i = 0; i < sizeof(T); ++i) bytes[i] = u8();
    T value;
    __builtin_memcpy(&value, bytes, sizeof(T));
    return value;
  }

  /// A length-prefixed byte string, shortened to what is left of the input.
  std::string_view bytes() {
    const std::uint64_t length = varint();
    const std::size_t left = pos_ < size_ ? size_ - pos_ : 0;
    const std::size_t n = length < left ? static_cast<std::size_t>(length) : left;
    std::string_view out(reinterpret_cast<const char*>(data_ + pos_), n);
    pos_ += n;
    return out;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

/// The writer of what ByteReader reads.
class ByteWriter {
 public:
  void u8(std::uint8_t byte) { out_.push_back(static_cast<char>(byte)); }

  void varint(std::uint64_t value) {
    while (value >= 0x80) {
      u8(static_cast<std::uint8_t>(value | 0x80));
      value >>= 7;
    }
    u8(static_cast<std::uint8_t>(value));
  }

  void svarint(std::int64_t value) {
    varint((static_cast<std::uint64_t>(value) << 1) ^ static_cast<std::uint64_t>(value >> 63));
  }

  template <typename T>
  void fixed(T value) {
    char bytes[sizeof(T)];
    __builtin_memcpy(bytes, &value, sizeof(T));
    out_.append(bytes, sizeof(T));
  }

  void bytes(std::string_view text) {
    varint(text.size());
    out_.append(text);
  }

  const std::string& str() const { return out_; }

 private:
  std::string out_;
};

}  // namespace shredder::fuzz
