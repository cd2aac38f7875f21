#include "ConvertedReader.h"

#include <cmath>

namespace vesh::detail {

ConvertedReader::ConvertedReader(AudioFile& input, std::int64_t processingRate) : input_(input) {
    const auto channels = static_cast<std::size_t>(input_.channelCount());
    for (std::size_t channel = 0; channel < channels; ++channel) {
        toProcessingRate_.emplace_back(input_.sampleRate(), processingRate, SampleRateConverterAlgorithm::mastering,
                                       AudioQuality::maximum);
    }
}

bool ConvertedReader::read(std::vector<std::vector<float>>& converted) {
    if (finished_) return false;
    converted.resize(channelCount());
    for (auto& samples : converted) samples.clear();
    if (input_.read(decoded_)) {
        for (auto& samples : decoded_) {
            for (float& sample : samples) {
                // Also false for NaN.
                if (!(std::fabs(sample) <= largestPlausibleSample)) {
                    sample = 0.0f;
                    ++replacedSamples_;
                }
            }
        }
        for (std::size_t channel = 0; channel < channelCount(); ++channel) {
            toProcessingRate_[channel].process(decoded_[channel], converted[channel]);
        }
    } else {
        for (std::size_t channel = 0; channel < channelCount(); ++channel) {
            toProcessingRate_[channel].finish(converted[channel]);
        }
        finished_ = true;
    }
    return true;
}

}  // namespace vesh::detail
