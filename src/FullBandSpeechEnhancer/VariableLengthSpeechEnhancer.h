#pragma once

#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "FullBandSpeechEnhancer/ModelParameters.h"

namespace vesh {

class Model;
class SpeechEnhancer;

// Enhances a mono 48 kHz signal of any length: normalises its loudness to
// -24 LUFS, runs the model over overlapping segments joined by complementary
// crossfades, reports progress between segments, and scales the result back.
// One call at a time per instance (the scratch buffers are shared by calls).
class VariableLengthSpeechEnhancer {
public:
    struct Progress {
        std::int64_t nextSegmentIndex;   // the segment about to run, or the total when done
        std::int64_t totalSegmentCount;  // model runs of this call, the final partial one included
        friend bool operator==(const Progress&, const Progress&) = default;
    };

    enum class ProgressResponse { continueProcessing, stopProcessing };

    class Error : public std::exception {
    public:
        enum class Code { userCancelledProcessing };
        explicit Error(Code code) : code_(code) {}
        Code code() const noexcept { return code_; }
        const char* what() const noexcept override;
        friend bool operator==(const Error& a, const Error& b) { return a.code_ == b.code_; }

    private:
        Code code_;
    };

    struct Metadata {
        std::string description;
        std::string author;
        std::string version;
    };

    // Called synchronously on the enhancing thread before each segment and
    // once at the end; answering stopProcessing cancels the call.
    using ProgressHandler = std::function<ProgressResponse(Progress)>;

    // Loads the product's model; throws ModelError when the runtime refuses
    // it, std::invalid_argument for a negative segment or crossfade length.
    explicit VariableLengthSpeechEnhancer(const ModelParameters& parameters);
    // Loads the model file at `modelPath` instead (tests, experiments).
    VariableLengthSpeechEnhancer(const ModelParameters& parameters, const std::filesystem::path& modelPath);
    ~VariableLengthSpeechEnhancer();
    VariableLengthSpeechEnhancer(const VariableLengthSpeechEnhancer&) = delete;
    VariableLengthSpeechEnhancer& operator=(const VariableLengthSpeechEnhancer&) = delete;

    const Metadata& metadata() const { return metadata_; }
    const ModelParameters& parameters() const { return parameters_; }

    // Writes `output` (exactly input.size() samples) only when the whole call
    // succeeds. Throws Error (cancelled), Loudness::Error or ModelError, and
    // std::invalid_argument for an output of another size (found only after
    // processing). Input whose integrated loudness is minus infinity (silence,
    // or too short to measure) is passed through unchanged without running the
    // model; long input still gets its progress reports and can be cancelled.
    // An empty handler reports nowhere and never stops.
    void enhance(std::span<const float> input, std::span<float> output, const ProgressHandler& handleProgress);
    std::vector<float> enhance(std::span<const float> input, const ProgressHandler& handleProgress);
    std::vector<float> enhance(std::span<const float> input);

    // Segmentation and crossfading alone, on an already normalised signal,
    // written into `output` (exactly input.size() samples, checked first)
    // segment by segment.
    void enhanceNormalizedSignal(std::span<const float> input, std::span<float> output,
                                 const ProgressHandler& handleProgress);

private:
    VariableLengthSpeechEnhancer(const ModelParameters& parameters, Model&& model);

    // Gives `handleProgress` one report; throws Error when it answers stop.
    static void report(const ProgressHandler& handleProgress, std::int64_t nextSegmentIndex,
                       std::int64_t totalSegmentCount);
    // The number of full segments of a long signal (length >= segment length).
    std::int64_t fullSegmentCount(std::int64_t length) const;
    // output[o, o + C) = segment[0, C) * crossfadeIn + output[o, o + C) * crossfadeOut.
    void crossfade(std::span<const float> segment, std::span<float> overlap) const;

    std::unique_ptr<SpeechEnhancer> base_;
    ModelParameters parameters_;
    std::vector<float> intermediateResultA_;
    std::vector<float> intermediateResultB_;
    std::vector<float> crossfadeIn_;
    std::vector<float> crossfadeOut_;
    Metadata metadata_;
};

}  // namespace vesh
