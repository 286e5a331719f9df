#pragma once

// What a merging caller needs to apply the shipped boxing policy inline instead of through
// its callables, with the same results.

#include <cstddef>
#include <cstdint>

#include "shredder/coerce_policy.h"

namespace shredder::coerce_internal {

/// Room for the longest boxing text of a number: the longest "%.17g" text (sign, 17 digits,
/// point, exponent "e-308") with room to spare.
inline constexpr std::size_t kNumberTextBuffer = 32;

/// Writes the boxing text of an integer (decimal) or of a double (as printf "%.17g") to
/// `buffer`, which has room for kNumberTextBuffer bytes, and returns the end of the text.
char* write_int_text(char* buffer, std::int64_t number);
char* write_double_text(char* buffer, double number);

}  // namespace shredder::coerce_internal
