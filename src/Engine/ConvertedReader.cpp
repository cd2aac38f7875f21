#include "ConvertedReader.h"

#include <cmath>
#include <experimental/simd>
#include <span>

namespace vesh::detail {

namespace {

namespace stdx = std::experimental;

// Replaces the samples beyond largestPlausibleSample, NaN included, with 0,
// several at a time; returns how many there were.
std::int64_t replaceImplausible(std::span<float> samples) {
    using Floats = stdx::native_simd<float>;
    std::int64_t replaced = 0;
    std::size_t start = 0;
    for (; start + Floats::size() <= samples.size(); start += Floats::size()) {
        Floats block(&samples[start], stdx::element_aligned);
        // Also true for NaN.
        const auto implausible = !(stdx::abs(block) <= largestPlausibleSample);
        if (stdx::none_of(implausible)) continue;
        replaced += stdx::popcount(implausible);
        stdx::where(implausible, block) = 0.0f;
        block.copy_to(&samples[start], stdx::element_aligned);
    }
    for (float& sample : samples.subspan(start)) {
        if (std::fabs(sample) <= largestPlausibleSample) continue;
        sample = 0.0f;
        ++replaced;
    }
    return replaced;
}

}  // namespace

ConvertedReader::ConvertedReader(AudioFile& input, std::int64_t processingRate)
    : input_(input), channelCount_(static_cast<std::size_t>(input_.channelCount())) {
    // At the processing rate itself the resampler hands every sample on
    // unchanged, so the samples are taken as they are.
    if (input_.sampleRate() == processingRate) return;
    for (std::size_t channel = 0; channel < channelCount_; ++channel) {
        toProcessingRate_.emplace_back(input_.sampleRate(), processingRate, SampleRateConverterAlgorithm::mastering,
                                       AudioQuality::maximum);
    }
}

bool ConvertedReader::read(std::vector<std::vector<float>>& converted) {
    for (auto& samples : converted) samples.clear();
    return readOnto(converted);
}

bool ConvertedReader::readOnto(std::vector<std::vector<float>>& converted) {
    if (finished_) return false;
    converted.resize(channelCount());
    if (input_.read(decoded_)) {
        for (auto& samples : decoded_) replacedSamples_ += replaceImplausible(samples);
        for (std::size_t channel = 0; channel < channelCount(); ++channel) {
            if (toProcessingRate_.empty()) {
                converted[channel].insert(converted[channel].end(), decoded_[channel].begin(), decoded_[channel].end());
            } else {
                toProcessingRate_[channel].process(decoded_[channel], converted[channel]);
            }
        }
    } else {
        for (std::size_t channel = 0; channel < toProcessingRate_.size(); ++channel) {
            toProcessingRate_[channel].finish(converted[channel]);
        }
        finished_ = true;
    }
    return true;
}

}  // namespace vesh::detail
