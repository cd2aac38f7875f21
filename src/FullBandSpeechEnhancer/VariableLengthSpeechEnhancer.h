#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "FullBandSpeechEnhancer/ModelParameters.h"

namespace vesh {

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

    // Loads the model; throws ModelError when the runtime refuses it.
    explicit VariableLengthSpeechEnhancer(const ModelParameters& parameters);
    ~VariableLengthSpeechEnhancer();
    VariableLengthSpeechEnhancer(const VariableLengthSpeechEnhancer&) = delete;
    VariableLengthSpeechEnhancer& operator=(const VariableLengthSpeechEnhancer&) = delete;

    const Metadata& metadata() const { return metadata_; }
    const ModelParameters& parameters() const { return parameters_; }

    // Writes `output` (exactly input.size() samples) only when the whole call
    // succeeds. Throws Error (cancelled), Loudness::Error or ModelError.
    void enhance(std::span<const float> input, std::span<float> output, const ProgressHandler& handleProgress);
    std::vector<float> enhance(std::span<const float> input, const ProgressHandler& handleProgress);
    std::vector<float> enhance(std::span<const float> input);

    // Segmentation and crossfading alone, on an already normalised signal,
    // written into `output` segment by segment.
    void enhanceNormalizedSignal(std::span<const float> input, std::span<float> output,
                                 const ProgressHandler& handleProgress);

private:
    std::unique_ptr<SpeechEnhancer> base_;
    ModelParameters parameters_;
    std::vector<float> intermediateResultA_;
    std::vector<float> intermediateResultB_;
    std::vector<float> crossfadeIn_;
    std::vector<float> crossfadeOut_;
    Metadata metadata_;
};

}  // namespace vesh
