#include "FullBandSpeechEnhancer/Crossfade.h"

#include <algorithm>
#include <cmath>

namespace vesh {

namespace {

float fade(float x) {
    if (x < -1.0f) {
        return 0.0f;
    }
    // Also catches x = NaN, which arises for a length of 1 (h = 0).
    if (!(x <= 1.0f)) {
        return 1.0f;
    }
    return 0.5f + 0.5625f * std::sin(1.5707963f * x) + 0.0625f * std::sin(4.712389f * x);
}

template <typename Position>
std::vector<float> curve(std::int64_t length, Position position) {
    const auto half = static_cast<float>(length >> 1);
    std::vector<float> values(static_cast<std::size_t>(std::max<std::int64_t>(length, 0)));
    for (std::size_t n = 0; n < values.size(); ++n) {
        values[n] = fade(position(static_cast<float>(n) / half));
    }
    return values;
}

}  // namespace

std::vector<float> crossfadeIn(std::int64_t length) {
    return curve(length, [](float ratio) { return ratio - 1.0f; });
}

std::vector<float> crossfadeOut(std::int64_t length) {
    return curve(length, [](float ratio) { return 1.0f - ratio; });
}

}  // namespace vesh
