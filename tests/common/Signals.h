#pragma once

// Signals, comparisons and folder listings shared by the test suites.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <numbers>
#include <random>
#include <span>
#include <string>
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

// `count` samples of a sine starting at phase 0.
inline std::vector<float> sine(double frequency, double rate, std::size_t count, double amplitude = 0.5) {
    std::vector<float> samples(count);
    for (std::size_t index = 0; index < count; ++index) {
        samples[index] =
            static_cast<float>(amplitude * std::sin(2 * std::numbers::pi * frequency * double(index) / rate));
    }
    return samples;
}

// Infinite when the lengths differ.
inline float largestDifference(std::span<const float> a, std::span<const float> b) {
    float largest = a.size() == b.size() ? 0.0f : std::numeric_limits<float>::infinity();
    for (std::size_t index = 0; index < std::min(a.size(), b.size()); ++index) {
        largest = std::max(largest, std::abs(a[index] - b[index]));
    }
    return largest;
}

// The names in a folder, sorted.
inline std::vector<std::string> entries(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace vesh::test
