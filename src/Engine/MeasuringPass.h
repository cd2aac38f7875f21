#pragma once

// The first pass over a file that the engine's calls share: the decoded
// signal at the processing rate, measured channel by channel.

#include <cstdint>
#include <functional>
#include <vector>

#include "AudioIO/AudioFile.h"
#include "Checkpoints.h"
#include "Loudness/Loudness.h"

namespace vesh::detail {

// The measuring pass: the channels' length and loudness at the processing
// rate, and whether all channels are identical there.
struct Measurement {
    std::int64_t processingLength = 0;
    bool identicalChannels = true;
    std::vector<Loudness> loudness;
    // Source samples taken as 0 (ConvertedReader).
    std::int64_t replacedSamples = 0;
};

// Runs the measuring pass over `input` from where it stands, handing the
// converted signal to `takeConverted` as well, in order, in blocks of about a
// second, on a thread of its own (what it throws ends the pass). Sets the
// checkpoints' entries (one per channel, one when the channels are
// identical) and their measured share.
Measurement measure(AudioFile& input, std::int64_t processingRate, Checkpoints& checkpoints,
                    const std::function<void(const std::vector<std::vector<float>>&)>& takeConverted);

}  // namespace vesh::detail
