#pragma once

#include <cstddef>
#include <cstdint>

namespace shredder {

/// Room for the longest text of a number: the longest "%.17g" text (sign, 17 digits, point,
/// exponent "e-308") with room to spare.
inline constexpr std::size_t kNumberTextBuffer = 32;

/// Writes the text of an integer (decimal) or of a double (as printf "%.17g" in the "C"
/// locale), as the boxing policy and the JSON writer give numbers, to `buffer`, which has room
/// for kNumberTextBuffer bytes, and returns the end of the text. Never throws.
char* write_int_text(char* buffer, std::int64_t number);
char* write_double_text(char* buffer, double number);

}  // namespace shredder
