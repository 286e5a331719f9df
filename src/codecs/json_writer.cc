#include "shredder/json_writer.h"
#include "shredder/error.h"

#include <emmintrin.h>

#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>

#include <nlohmann/json.hpp>

#include "codecs/json_reader_internal.h"
#include "shredder/number_text.h"

namespace shredder::json_writer {
namespace {

// The number of bytes at the start of `p[0, n)` that need no more than copying: not below 32,
// not a quotation mark or a backslash, and below 128 (checked as UTF-8 in the Json dialect).
std::size_t PlainBytes(const char* p, std::size_t n) {
  std::size_t i = 0;
  const __m128i space = _mm_set1_epi8(0x20);
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  for (; i + 16 <= n; i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    // As signed bytes, 128 and above are negative: one comparison finds them and those below 32.
    const __m128i care =
        _mm_or_si128(_mm_cmplt_epi8(v, space),
                     _mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)));
    const auto mask = static_cast<unsigned>(_mm_movemask_epi8(care));
    if (mask != 0) return i + static_cast<std::size_t>(std::countr_zero(mask));
  }
  for (; i < n; ++i) {
    const auto byte = static_cast<unsigned char>(p[i]);
    if (byte < 0x20 || byte >= 0x80 || byte == '"' || byte == '\\') return i;
  }
  return n;
}

// Ill-formed UTF-8 is rare; the library's own writer describes it, so that the error text is
// exactly the library's. Such text comes from input (a binary field of a struct column), not
// from the writer.
[[noreturn]] void ThrowLibraryUtf8Error(std::string_view s) {
  try {
    (void)nlohmann::json(std::string(s)).dump();
  } catch (const nlohmann::json::exception& error) {
    throw Error(ErrorCode::UnsupportedInput, error.what());
  }
  throw Error(ErrorCode::Internal, "invalid UTF-8 string");  // not reached: the dump throws
}

}  // namespace

void AppendQuoted(std::string& out, std::string_view s, Dialect dialect) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.push_back('"');
  std::size_t run = 0;  // start of the bytes not yet copied
  std::size_t i = 0;
  while (true) {
    i += PlainBytes(s.data() + i, s.size() - i);
    if (i >= s.size()) break;
    const auto byte = static_cast<unsigned char>(s[i]);
    if (byte >= 0x80) {
      if (dialect == Dialect::Boxing) {
        ++i;
        continue;
      }
      const std::size_t length = json_text::Utf8SequenceLength(s, i);
      if (length == 0) ThrowLibraryUtf8Error(s);
      i += length;
      continue;
    }
    out.append(s.data() + run, i - run);
    run = ++i;
    switch (byte) {
      case '"': out.append("\\\""); break;
      case '\\': out.append("\\\\"); break;
      case '\b': out.append("\\b"); break;
      case '\f': out.append("\\f"); break;
      case '\n': out.append("\\n"); break;
      case '\r': out.append("\\r"); break;
      case '\t': out.append("\\t"); break;
      default: {
        const char escape[6] = {'\\', 'u', '0', '0', kHex[byte >> 4], kHex[byte & 0xF]};
        out.append(escape, sizeof escape);
      }
    }
  }
  out.append(s.data() + run, s.size() - run);
  out.push_back('"');
}

void AppendInteger(std::string& out, std::int64_t number) {
  char buffer[kNumberTextBuffer];
  out.append(buffer, write_int_text(buffer, number));
}

void AppendDouble(std::string& out, double number, Dialect dialect) {
  if (dialect == Dialect::Boxing) {
    char buffer[kNumberTextBuffer];
    out.append(buffer, write_double_text(buffer, number));
    return;
  }
  // The library's shortest round-trip digits, which always carry a fraction or an exponent
  // (2.0, 1e+16, 1e-05); NaN and the infinities have no JSON form and become null.
  if (!std::isfinite(number)) {
    out.append("null");
    return;
  }
  std::array<char, 64> buffer;
  const char* end =
      nlohmann::detail::to_chars(buffer.data(), buffer.data() + buffer.size(), number);
  out.append(buffer.data(), static_cast<std::size_t>(end - buffer.data()));
}

std::string PrepareKey(std::string_view key, Dialect dialect) {
  std::string text;
  try {
    AppendQuoted(text, key, dialect);
  } catch (const std::exception&) {
    return {};
  }
  text.push_back(':');
  return text;
}

}  // namespace shredder::json_writer
