#include "ConvertedReader.h"

#include <cmath>

namespace vesh::detail {

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
        for (auto& samples : decoded_) {
            std::int64_t replaced = 0;
            for (float& sample : samples) {
                // Also false for NaN.
                const bool plausible = std::fabs(sample) <= largestPlausibleSample;
                replaced += plausible ? 0 : 1;
                sample = plausible ? sample : 0.0f;
            }
            replacedSamples_ += replaced;
        }
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
