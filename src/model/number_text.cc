#include "shredder/number_text.h"

#include <charconv>

namespace shredder {

char* write_int_text(char* buffer, std::int64_t number) {
  return std::to_chars(buffer, buffer + kNumberTextBuffer, number).ptr;
}

// std::to_chars with a precision is specified as printf's conversion in the "C" locale, so this
// equals "%.17g" (and a stream at precision 17 in the classic locale) without depending on
// the process's locale settings, which the Python host may change.
char* write_double_text(char* buffer, double number) {
  return std::to_chars(buffer, buffer + kNumberTextBuffer, number, std::chars_format::general,
                       17)
      .ptr;
}

}  // namespace shredder
