#pragma once

// The parts of a file's processing that the engine's calls share: progress
// and cancel checks, the decoded signal at the processing rate, and the
// measuring pass over it.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <vector>

#include "AudioIO/AudioFile.h"
#include "AudioIO/Resampling.h"
#include "Engine/Engine.h"
#include "FullBandSpeechEnhancer/VariableLengthSpeechEnhancer.h"
#include "Loudness/Loudness.h"

namespace vesh::detail {

// The progress entries and the cancel checks of one call.
class Checkpoints {
public:
    // `measuringShare`: the part of each entry that the measuring pass
    // fills; the pass that adds the model fills the rest.
    Checkpoints(const ProcessingOptions::ProgressHandler& handler, double measuringShare)
        : handler_(handler), measuringShare_(measuringShare) {}

    void setEntryCount(std::size_t count) {
        enhanced_.assign(count, 0.0);
        values_.assign(count, 0.0);
    }
    void setMeasured(double fraction) { measured_ = std::clamp(fraction, 0.0, 1.0); }
    void setEnhanced(std::size_t entry, double fraction) { enhanced_[entry] = std::clamp(fraction, 0.0, 1.0); }

    // Reports when a report is due (always with `now`); throws
    // ProcessingError(cancelled) when the handler answers stopProcessing.
    void check(bool now = false);

private:
    using Clock = std::chrono::steady_clock;
    const ProcessingOptions::ProgressHandler& handler_;
    double measuringShare_;
    double measured_ = 0.0;
    std::vector<double> enhanced_;
    std::vector<double> values_;
    Clock::time_point lastReport_{};
};

// Runs an enhancer step; its cancellation and failures become ProcessingError.
template <typename Step>
void enhancing(Step&& step) {
    try {
        step();
    } catch (const ProcessingError&) {
        throw;
    } catch (const VariableLengthSpeechEnhancer::Error&) {
        throw ProcessingError(ProcessingError::Code::cancelled);
    } catch (...) {
        throw ProcessingError(ProcessingError::Code::failedToEnhance, std::current_exception());
    }
}

// Throws AudioError(readAudioFile) around the system's error `code`.
[[noreturn]] void throwReadError(int code, const std::string& what);

// What tells a changed source apart: its size and modification time.
struct Fingerprint {
    std::int64_t size = 0;
    std::int64_t modified = 0;  // nanoseconds
    friend bool operator==(const Fingerprint&, const Fingerprint&) = default;
};
Fingerprint fingerprint(const std::filesystem::path& file);
[[noreturn]] void throwSourceChanged();

bool isRegularFile(const std::filesystem::path& path);

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

    std::size_t channelCount() const { return toProcessingRate_.size(); }
    double fractionRead() const { return input_.fractionRead(); }
    // Replaces each channel of `converted` with its next converted samples
    // (possibly none yet) and returns true; false once all were delivered.
    bool read(std::vector<std::vector<float>>& converted);
    // The decoded samples taken as 0 so far, over all channels.
    std::int64_t replacedSamples() const { return replacedSamples_; }

private:
    AudioFile& input_;
    std::vector<Resampler> toProcessingRate_;
    std::vector<std::vector<float>> decoded_;
    bool finished_ = false;
    std::int64_t replacedSamples_ = 0;
};

// The measuring pass: the channels' length and loudness at the processing
// rate, and whether all channels are identical there.
struct Measurement {
    std::int64_t processingLength = 0;
    bool identicalChannels = true;
    std::vector<Loudness> loudness;
    // Source samples taken as 0 (ConvertedReader).
    std::int64_t replacedSamples = 0;
};

// Runs the measuring pass over `input` from where it stands, handing each converted block to
// `takeConverted` as well. Sets the checkpoints' entries (one per channel,
// one when the channels are identical) and their measured share.
Measurement measure(AudioFile& input, std::int64_t processingRate, Checkpoints& checkpoints,
                    const std::function<void(const std::vector<std::vector<float>>&)>& takeConverted);

}  // namespace vesh::detail
