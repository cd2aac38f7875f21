#pragma once

#include <cstdint>
#include <random>
#include <vector>

namespace vesh::test {

// Uniform noise in [-amplitude, amplitude]: the same samples for the same
// seed, so that a failure can be reproduced.
inline std::vector<float> noise(std::int64_t count, float amplitude = 0.2f, unsigned seed = 7) {
    std::mt19937 generator(seed);
    std::uniform_real_distribution<float> uniform(-amplitude, amplitude);
    std::vector<float> samples(static_cast<std::size_t>(count));
    for (float& sample : samples) {
        sample = uniform(generator);
    }
    return samples;
}

}  // namespace vesh::test
