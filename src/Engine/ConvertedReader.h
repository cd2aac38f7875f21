#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "AudioIO/AudioFile.h"
#include "AudioIO/Resampling.h"

namespace vesh::detail {

// Decoded samples beyond this magnitude (+60 dBFS) are no recorded level
// but damage, like NaN and infinity.
inline constexpr float largestPlausibleSample = 1000.0f;

// A file decoded and converted to the processing rate block by block, every
// channel alike, with NaN, infinite and implausibly large samples taken as
// 0: one of them would spread through the resampler, the loudness gain and
// a whole model segment, while 0 disturbs only its neighbourhood.
class ConvertedReader {
public:
    // Reads `input` from where it stands; it must outlive the reader.
    ConvertedReader(AudioFile& input, std::int64_t processingRate);

    std::size_t channelCount() const { return channelCount_; }
    double fractionRead() const { return input_.fractionRead(); }
    // Replaces each channel of `converted` with its next converted samples
    // (possibly none yet) and returns true; false once all were delivered.
    bool read(std::vector<std::vector<float>>& converted);
    // The same, appending the samples to those `converted` holds.
    bool readOnto(std::vector<std::vector<float>>& converted);
    // The decoded samples taken as 0 so far, over all channels.
    std::int64_t replacedSamples() const { return replacedSamples_; }

private:
    AudioFile& input_;
    std::size_t channelCount_;
    // One per channel; none at the processing rate.
    std::vector<Resampler> toProcessingRate_;
    std::vector<std::vector<float>> decoded_;
    bool finished_ = false;
    std::int64_t replacedSamples_ = 0;
};

}  // namespace vesh::detail
