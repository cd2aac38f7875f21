#pragma once

#include <cstdint>
#include <vector>

namespace vesh {

// The complementary crossfade curves that join consecutive segments: over
// `length` samples, the rising curve fades the newer segment in and the
// falling curve fades the older one out, and crossfadeIn[n] + crossfadeOut[n]
// is 1 to single precision. The shape is
//   f(x) = 0.5 + 0.5625 sin(pi/2 x) + 0.0625 sin(3pi/2 x),  -1 <= x <= 1,
// which rises from 0 to 1 with zero slope at both ends, evaluated at
// x = n / h - 1 (rising) and x = 1 - n / h (falling) with h = length / 2, all
// in 32-bit float. A length of 1 gives the single value 1 for both curves.
std::vector<float> crossfadeIn(std::int64_t length);
std::vector<float> crossfadeOut(std::int64_t length);

}  // namespace vesh
