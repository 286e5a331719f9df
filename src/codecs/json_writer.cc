#include "codecs/json_writer.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstring>

#include <nlohmann/json.hpp>

#include "codecs/json_reader_internal.h"
#include "model/coerce_policy_internal.h"

namespace shredder::json_writer {
namespace {

// Whether any of the eight bytes in `w` needs more than copying: below 32, a quotation mark,
// a backslash, or 128 and above (checked as UTF-8 in the Json dialect).
bool NeedsCare(std::uint64_t w) {
  constexpr std::uint64_t kOnes = 0x0101010101010101;
  constexpr std::uint64_t kHighs = 0x8080808080808080;
  auto has_zero = [](std::uint64_t v) { return (v - kOnes) & ~v & kHighs; };
  const std::uint64_t below_space = (w - kOnes * 0x20) & ~w & kHighs;
  return ((w & kHighs) | below_space | has_zero(w ^ (kOnes * '"')) |
          has_zero(w ^ (kOnes * '\\'))) != 0;
}

// Ill-formed UTF-8 is rare; the library's own writer describes it, so that the error text is
// exactly the library's.
[[noreturn]] void ThrowLibraryUtf8Error(std::string_view s) {
  (void)nlohmann::json(std::string(s)).dump();
  throw std::runtime_error("invalid UTF-8 string");  // not reached: the dump throws
}

}  // namespace

void AppendQuoted(std::string& out, std::string_view s, Dialect dialect) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.push_back('"');
  std::size_t run = 0;  // start of the bytes not yet copied
  for (std::size_t i = 0; i < s.size(); ++i) {
    // Eight plain bytes at a time are passed over in one test.
    while (i + 8 <= s.size()) {
      std::uint64_t w;
      std::memcpy(&w, s.data() + i, sizeof w);
      if (NeedsCare(w)) break;
      i += 8;
    }
    if (i >= s.size()) break;
    const auto byte = static_cast<unsigned char>(s[i]);
    if (byte >= 0x80) {
      if (dialect == Dialect::Boxing) continue;
      const std::size_t length = json_internal::Utf8SequenceLength(s, i);
      if (length == 0) ThrowLibraryUtf8Error(s);
      i += length - 1;
      continue;
    }
    if (byte >= 0x20 && byte != '"' && byte != '\\') continue;
    out.append(s.data() + run, i - run);
    run = i + 1;
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
  char buffer[coerce_internal::kNumberTextBuffer];
  out.append(buffer, coerce_internal::write_int_text(buffer, number));
}

void AppendDouble(std::string& out, double number, Dialect dialect) {
  if (dialect == Dialect::Boxing) {
    char buffer[coerce_internal::kNumberTextBuffer];
    out.append(buffer, coerce_internal::write_double_text(buffer, number));
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
