#pragma once

// Building blocks of the Tagger's canonical encoding, digests and ignore patterns, shared by
// the Tagger and its tests.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "shredder/tagger.h"
#include "shredder/value.h"

namespace shredder::tagger_internal {

/// Hashed in place of an ignored array element.
inline constexpr std::string_view kIgnoredText = "IGNORED";

/// Leading byte of each encoding: the number of the value's `Kind`.
inline constexpr std::uint8_t kArrayTag = static_cast<std::uint8_t>(Kind::Array);
inline constexpr std::uint8_t kObjectTag = static_cast<std::uint8_t>(Kind::Object);

/// Longest unsigned LEB128 form of a 64-bit number.
inline constexpr std::size_t kMaxVarintBytes = 10;
/// Longest encoding of a scalar without its string bytes: tag plus 8 payload bytes or tag
/// plus a length.
inline constexpr std::size_t kMaxScalarHeadBytes = 1 + kMaxVarintBytes;

/// Writes uleb(n) to `out` (room for kMaxVarintBytes) and returns the number of bytes.
std::size_t write_varint(std::uint8_t* out, std::uint64_t n);

/// Number of bytes of uleb(n).
std::size_t varint_length(std::uint64_t n);

/// Appends uleb(n): 7 bits per byte, low group first, 0x80 on every byte but the last.
void append_varint(std::string& out, std::uint64_t n);

/// Writes the encoding of a scalar (null, bool, int64, double, string) to `head` (room for
/// kMaxScalarHeadBytes) and returns its length. For a string the encoding continues with the
/// string's bytes, which are not copied. Throws `Error`
/// "Tagger: unknown ValueData alternative" for a valueless value; arrays and objects are a
/// caller's error (`Error`, internal).
std::size_t write_scalar_head(const Value& value, std::uint8_t* head);

/// Appends the whole encoding of a scalar (the bytes its value digest hashes).
void append_scalar_encoding(std::string& out, const Value& value);

/// BLAKE3 (plain hashing) of `head` followed by `tail`, `out_len` bytes written to `out`.
/// The digest equals the one of the two byte strings joined.
void blake3_digest(std::span<const std::uint8_t> head, std::string_view tail,
                   std::uint64_t out_len, std::uint8_t* out);

/// BLAKE3 of `bytes` as a byte string of `out_len` bytes.
std::string blake3_digest(std::string_view bytes, std::uint64_t out_len);

/// Replaces `out` with the path segment of a member key: "~" becomes "~0", "/" becomes "~1".
void escape_segment(std::string& out, std::string_view key);

/// Lowercase hex of `bytes`, high nibble first: 2 * bytes.size() characters written to `out`.
void write_hex(char* out, std::span<const std::uint8_t> bytes);
/// The same, appended to `out`.
void append_hex(std::string& out, std::span<const std::uint8_t> bytes);
std::string to_hex(std::string_view bytes);
/// Sets `slot` to the hex text of `bytes`, written in place of a string it already holds.
void assign_hex(ValueData& slot, std::span<const std::uint8_t> bytes);

/// One ignore pattern: its segments.
using Pattern = std::vector<std::string>;

/// Cuts every string at "/" and drops empty pieces; patterns keep the list order.
std::vector<Pattern> split_ignore_paths(const std::vector<std::string>& ignore_paths);

/// Whole-path match of `pattern` against `path`: "*" is any one segment, "**" any number of
/// segments (zero included), anything else must equal the segment byte for byte. `rows` is
/// scratch memory reused between calls; the cost is at most (|pattern|+1) x (|path|+1).
bool match_pattern(const Pattern& pattern, std::span<const std::string> path,
                   std::vector<std::uint8_t>& rows);

/// Writes "[Tagger] " and `message` as one line to standard error (debug mode).
void log_line(const std::string& message);

}  // namespace shredder::tagger_internal
