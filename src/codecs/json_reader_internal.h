#pragma once

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <system_error>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace shredder::json_text {

/// Length of the well-formed UTF-8 sequence starting at s[i] (a byte of 0x80 or more), or 0
/// when the bytes there are ill-formed or cut short. Accepts exactly what nlohmann/json's
/// strict reader and writer accept: no overlong forms, no surrogates, nothing above U+10FFFF.
inline std::size_t Utf8SequenceLength(std::string_view s, std::size_t i) {
  const auto at = [&](std::size_t k) -> unsigned {
    return i + k < s.size() ? static_cast<unsigned char>(s[i + k]) : 0u;
  };
  const auto tail = [](unsigned b) { return b >= 0x80 && b <= 0xBF; };
  const unsigned lead = at(0);
  if (lead >= 0xC2 && lead <= 0xDF) return tail(at(1)) ? 2 : 0;
  if (lead >= 0xE0 && lead <= 0xEF) {
    const unsigned b1 = at(1);
    const bool first_ok = lead == 0xE0   ? (b1 >= 0xA0 && b1 <= 0xBF)
                          : lead == 0xED ? (b1 >= 0x80 && b1 <= 0x9F)
                                         : tail(b1);
    return first_ok && tail(at(2)) ? 3 : 0;
  }
  if (lead >= 0xF0 && lead <= 0xF4) {
    const unsigned b1 = at(1);
    const bool first_ok = lead == 0xF0   ? (b1 >= 0x90 && b1 <= 0xBF)
                          : lead == 0xF4 ? (b1 >= 0x80 && b1 <= 0x8F)
                                         : tail(b1);
    return first_ok && tail(at(2)) && tail(at(3)) ? 4 : 0;
  }
  return 0;
}

/// Reads a well-formed JSON document whose root is an object, reporting the events
/// nlohmann/json's strict SAX parser reports for the same text to the same kind of handler
/// (null, boolean, number_integer, number_unsigned, number_float, string, start_object, key,
/// end_object, start_array, end_array), with the same values; a key or string of plain ASCII
/// bytes (no escapes) comes as a `std::string_view` into the text, any other as a
/// `std::string`.
///
/// It accepts a subset of what the library accepts: a UTF-8 byte order mark, then the value,
/// then whitespace up to the end or a NUL byte. It gives up (Read returns false) on anything
/// else: any ill-formed text, a root that is not an object, containers nested deeper than
/// `max_depth`, and numbers whose conversion overflows or underflows. The caller then runs
/// the library's parser on a fresh handler, which reports the error or the other outcome.
/// The handler has by then seen a prefix of the events, so it must be discarded.
///
/// Recursion is one small frame per level of nesting, bounded by `max_depth`.
template <class Handler>
class FastJsonReader {
 public:
  FastJsonReader(std::string_view text, Handler& handler) : text_(text), handler_(handler) {}

  bool Read(std::size_t max_depth) {
    max_depth_ = max_depth;
    if (text_.substr(0, 3) == "\xEF\xBB\xBF") pos_ = 3;
    SkipWhitespace();
    if (pos_ >= text_.size() || text_[pos_] != '{') return false;
    if (!ReadValue(1)) return false;
    SkipWhitespace();
    // The library stops at a NUL byte after a complete value as at the end of the text.
    return pos_ == text_.size() || text_[pos_] == '\0';
  }

 private:
  static bool IsDigit(char c) { return c >= '0' && c <= '9'; }

  bool AtEnd() const { return pos_ >= text_.size(); }
  char Peek() const { return text_[pos_]; }

  void SkipWhitespace() {
    while (pos_ < text_.size()) {
      const char c = text_[pos_];
      if (c != ' ' && c != '\n' && c != '\r' && c != '\t') return;
      ++pos_;
    }
  }

  // One value at pos_ (whitespace already skipped); `depth` is the nesting level a container
  // opened here would have (the root object is 1).
  bool ReadValue(std::size_t depth) {
    if (AtEnd()) return false;
    switch (Peek()) {
      case '{': return ReadObject(depth);
      case '[': return ReadArray(depth);
      case '"': {
        std::string_view plain;
        if (ReadPlainString(plain)) {
          handler_.string(plain);
          return true;
        }
        std::string s;
        if (!ReadString(s)) return false;
        handler_.string(s);
        return true;
      }
      case 't':
        if (!ReadLiteral("true")) return false;
        handler_.boolean(true);
        return true;
      case 'f':
        if (!ReadLiteral("false")) return false;
        handler_.boolean(false);
        return true;
      case 'n':
        if (!ReadLiteral("null")) return false;
        handler_.null();
        return true;
      default:
        return ReadNumber();
    }
  }

  bool ReadObject(std::size_t depth) {
    if (depth > max_depth_) return false;
    ++pos_;
    handler_.start_object(static_cast<std::size_t>(-1));
    SkipWhitespace();
    if (!AtEnd() && Peek() == '}') {
      ++pos_;
      handler_.end_object();
      return true;
    }
    for (;;) {
      if (AtEnd() || Peek() != '"') return false;
      std::string_view plain;
      if (ReadPlainString(plain)) {
        handler_.key(plain);
      } else {
        std::string key;
        if (!ReadString(key)) return false;
        handler_.key(key);
      }
      SkipWhitespace();
      if (AtEnd() || Peek() != ':') return false;
      ++pos_;
      SkipWhitespace();
      if (!ReadValue(depth + 1)) return false;
      SkipWhitespace();
      if (AtEnd()) return false;
      const char next = text_[pos_++];
      if (next == '}') {
        handler_.end_object();
        return true;
      }
      if (next != ',') return false;
      SkipWhitespace();
    }
  }

  bool ReadArray(std::size_t depth) {
    if (depth > max_depth_) return false;
    ++pos_;
    handler_.start_array(static_cast<std::size_t>(-1));
    SkipWhitespace();
    if (!AtEnd() && Peek() == ']') {
      ++pos_;
      handler_.end_array();
      return true;
    }
    for (;;) {
      if (!ReadValue(depth + 1)) return false;
      SkipWhitespace();
      if (AtEnd()) return false;
      const char next = text_[pos_++];
      if (next == ']') {
        handler_.end_array();
        return true;
      }
      if (next != ',') return false;
      SkipWhitespace();
    }
  }

  bool ReadLiteral(std::string_view literal) {
    if (text_.substr(pos_, literal.size()) != literal) return false;
    pos_ += literal.size();
    return true;
  }

  // The library's number rules: an integer without fraction or exponent is unsigned when
  // it has no sign and fits 64 bits, signed when negative and fits; anything else is a
  // double, correctly rounded (as strtod rounds).
  bool ReadNumber() {
    const std::size_t start = pos_;
    const bool negative = Peek() == '-';
    if (negative) ++pos_;
    if (AtEnd()) return false;
    if (Peek() == '0') {
      ++pos_;
    } else if (IsDigit(Peek())) {
      while (!AtEnd() && IsDigit(Peek())) ++pos_;
    } else {
      return false;
    }
    bool integral = true;
    if (!AtEnd() && Peek() == '.') {
      integral = false;
      ++pos_;
      if (AtEnd() || !IsDigit(Peek())) return false;
      while (!AtEnd() && IsDigit(Peek())) ++pos_;
    }
    if (!AtEnd() && (Peek() == 'e' || Peek() == 'E')) {
      integral = false;
      ++pos_;
      if (!AtEnd() && (Peek() == '+' || Peek() == '-')) ++pos_;
      if (AtEnd() || !IsDigit(Peek())) return false;
      while (!AtEnd() && IsDigit(Peek())) ++pos_;
    }
    const char* first = text_.data() + start;
    const char* last = text_.data() + pos_;
    if (integral) {
      if (negative) {
        std::int64_t value = 0;
        const auto [end, error] = std::from_chars(first, last, value);
        if (error == std::errc() && end == last) {
          handler_.number_integer(value);
          return true;
        }
      } else {
        std::uint64_t value = 0;
        const auto [end, error] = std::from_chars(first, last, value);
        if (error == std::errc() && end == last) {
          handler_.number_unsigned(value);
          return true;
        }
      }
    }
    double value = 0;
    const auto [end, error] = std::from_chars(first, last, value);
    if (error != std::errc() || end != last) return false;
    // An integer beyond 64 bits keeps its text beside the double, as the library's parser
    // passes the token's text.
    static const std::string kNoText;
    handler_.number_float(value, integral ? std::string(first, last) : kNoText);
    return true;
  }

  // A string at pos_ (its opening quote) made only of plain ASCII bytes, as a view of the
  // text: most keys and many values are, and handed over as a view they are copied once,
  // into the document. False, with pos_ unmoved, for any other string.
  bool ReadPlainString(std::string_view& out) {
    const std::size_t start = pos_ + 1;
    const std::size_t stop = SkipPlainAscii(start);
    if (stop >= text_.size() || text_[stop] != '"') return false;
    out = text_.substr(start, stop - start);
    pos_ = stop + 1;
    return true;
  }

  // A string at pos_ (its opening quote) into `out`, escapes decoded.
  bool ReadString(std::string& out) {
    ++pos_;
    std::size_t run = pos_;  // start of the bytes not yet copied
    while (!AtEnd()) {
      pos_ = SkipPlainAscii(pos_);
      if (AtEnd()) break;
      const auto c = static_cast<unsigned char>(Peek());
      if (c == '"') {
        out.append(text_.data() + run, pos_ - run);
        ++pos_;
        return true;
      }
      if (c == '\\') {
        out.append(text_.data() + run, pos_ - run);
        ++pos_;
        if (!ReadEscape(out)) return false;
        run = pos_;
      } else if (c < 0x20) {
        return false;
      } else if (c < 0x80) {
        ++pos_;
      } else {
        const std::size_t length = Utf8SequenceLength(text_, pos_);
        if (length == 0) return false;
        pos_ += length;
      }
    }
    return false;
  }

  // The first position from `at` whose byte is not plain ASCII inside a string (a quote, a
  // backslash, a control byte or the start of a longer UTF-8 sequence), sixteen bytes at a
  // time: most strings are long runs of such bytes, which the loop above only steps over.
  std::size_t SkipPlainAscii(std::size_t at) const {
#if defined(__SSE2__)
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    const __m128i below_space = _mm_set1_epi8(0x20);
    while (text_.size() - at >= 16) {
      const __m128i bytes =
          _mm_loadu_si128(reinterpret_cast<const __m128i*>(text_.data() + at));
      // Signed bytes: those from 0x80 up are negative, so "less than 0x20" takes them too.
      const __m128i stop =
          _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(bytes, quote), _mm_cmpeq_epi8(bytes, backslash)),
                       _mm_cmplt_epi8(bytes, below_space));
      const int mask = _mm_movemask_epi8(stop);
      if (mask != 0) return at + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(mask)));
      at += 16;
    }
#endif
    while (at < text_.size()) {
      const auto c = static_cast<unsigned char>(text_[at]);
      if (c == '"' || c == '\\' || c < 0x20 || c >= 0x80) break;
      ++at;
    }
    return at;
  }

  bool ReadEscape(std::string& out) {
    if (AtEnd()) return false;
    switch (text_[pos_++]) {
      case '"': out.push_back('"'); return true;
      case '\\': out.push_back('\\'); return true;
      case '/': out.push_back('/'); return true;
      case 'b': out.push_back('\b'); return true;
      case 'f': out.push_back('\f'); return true;
      case 'n': out.push_back('\n'); return true;
      case 'r': out.push_back('\r'); return true;
      case 't': out.push_back('\t'); return true;
      case 'u': break;
      default: return false;
    }
    long code_point = ReadHex4();
    if (code_point >= 0xD800 && code_point <= 0xDBFF) {
      // A high surrogate must be followed by an escaped low one.
      if (text_.substr(pos_, 2) != "\\u") return false;
      pos_ += 2;
      const long low = ReadHex4();
      if (low < 0xDC00 || low > 0xDFFF) return false;
      code_point = 0x10000 + ((code_point - 0xD800) << 10) + (low - 0xDC00);
    } else if (code_point < 0 || (code_point >= 0xDC00 && code_point <= 0xDFFF)) {
      return false;
    }
    AppendUtf8(out, static_cast<std::uint32_t>(code_point));
    return true;
  }

  // Four hex digits at pos_, or -1.
  long ReadHex4() {
    if (text_.size() - pos_ < 4) return -1;
    long value = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = text_[pos_++];
      int digit;
      if (c >= '0' && c <= '9') {
        digit = c - '0';
      } else if (c >= 'a' && c <= 'f') {
        digit = c - 'a' + 10;
      } else if (c >= 'A' && c <= 'F') {
        digit = c - 'A' + 10;
      } else {
        return -1;
      }
      value = value * 16 + digit;
    }
    return value;
  }

  static void AppendUtf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }

  std::string_view text_;
  Handler& handler_;
  std::size_t pos_ = 0;
  std::size_t max_depth_ = 0;
};

}  // namespace shredder::json_text
