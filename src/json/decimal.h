// Decimal to binary: the double nearest to a decimal of up to 19 significant
// digits, without a library call or a division for nearly every input.
#pragma once

#include <cstdint>

namespace dovek::json {

// Sets `out` to the double nearest to digits * 10^exponent (ties to even),
// negated when `negative`, and returns true; exactly what a correctly
// rounding reader (std::from_chars) gives. Returns false, leaving `out`
// alone, when this quick method cannot tell: a product too close to a
// rounding boundary to decide from 128 bits (about one input in 2^50), a
// result that is zero, subnormal or too large for a double, or an exponent
// past the range of its table. The caller then takes an exact path.
// REQUIRES: digits != 0.
bool decimal_to_double(uint64_t digits, int exponent, bool negative, double& out);

}  // namespace dovek::json
