#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <vector>

#include "Engine/Engine.h"

namespace vesh {

class VariableLengthSpeechEnhancer;

// What preparePreview needs; filled in by the caller and passed by value.
struct PreviewOptions {
    // Required; may serve other calls at the same time.
    const VariableLengthSpeechEnhancer* enhancer = nullptr;
    // As for processFile: one completed fraction per entry, covering the
    // whole call; answering stopProcessing cancels it.
    ProcessingOptions::ProgressHandler handleProgress;
};

// A stretch of a file at the enhancer's rate, untouched and enhanced, one
// list per channel. Mixed at a wet/dry share it equals the same stretch of
// processFile's output at that share, before conversion to the output rate.
struct PreviewStretch {
    // The length a stretch has when the file is long enough.
    static constexpr double seconds = 10.0;

    std::int64_t sampleRate = 0;
    // The index of the stretch's first sample in the whole file at sampleRate.
    std::int64_t start = 0;
    std::vector<std::vector<float>> original;
    std::vector<std::vector<float>> enhanced;

    std::size_t channelCount() const { return original.size(); }
    std::size_t length() const { return original.empty() ? 0 : original.front().size(); }
    // Writes output.size() samples of `channel` from `offset` on, mixed at
    // `wetDryMix` as processFile mixes them (see mixWetDry).
    void mix(std::size_t channel, std::size_t offset, double wetDryMix, std::span<float> output) const;
};

// Prepares a preview of the audio file `source` without writing anything:
// runs the measuring pass of processFile over the whole file (each channel's
// loudness, whether all channels are identical), picks the 10-s stretch with
// the highest loudness (the whole file when it is shorter), and enhances
// only that stretch, on the file's own segment grid. Throws ProcessingError
// like processFile; a source that is not a regular file (a pipe cannot be
// read twice) fails with ProcessingError(readingSource).
PreviewStretch preparePreview(const std::filesystem::path& source, PreviewOptions options);

// Prepares a comparison of `source` with `written`, the file processFile
// made from it, without the model: the 10-s stretch with the highest
// loudness in `written` (where the noise no longer counts), read from both
// files at `written`'s rate. `original` holds the source's stretch and
// `enhanced` the written one, so that a mix at 1 plays the written file as
// it is. When the two have different channel counts, each is heard as the
// mean of its channels. `handleProgress` acts as for processFile. Throws
// ProcessingError (readingSource or sourceNotAudio for a file that cannot be
// read, cancelled when the handler stops it).
PreviewStretch prepareComparison(const std::filesystem::path& source, const std::filesystem::path& written,
                                 ProcessingOptions::ProgressHandler handleProgress);

}  // namespace vesh
