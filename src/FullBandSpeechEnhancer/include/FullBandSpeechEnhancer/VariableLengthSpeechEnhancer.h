#pragma once

#include <cstdint>
#include <deque>
#include <exception>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "FullBandSpeechEnhancer/ModelParameters.h"
#include "Loudness/Loudness.h"

namespace vesh {

class Model;
class SegmentWorkers;
class SpeechEnhancer;

// Enhances a mono 48 kHz signal of any length: normalises its loudness to
// -24 LUFS, runs the model over overlapping segments joined by complementary
// crossfades, reports progress between segments, and scales the result back.
// The loaded model is never changed by a call: one enhancer serves calls
// from several threads at once, each with scratch buffers of its own.
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

    // The rate the product's model works at.
    static constexpr std::int64_t productSampleRate = 48000;
    // The framing of a model that declares none in its metadata (the
    // shipped contract): 98304-sample segments (2.048 s) that overlap by
    // 24576 samples, loudness measured at the model's rate.
    static constexpr ModelParameters productParameters(ComputeUnits computeUnits) {
        return ModelParameters{98304, 24576, productSampleRate, computeUnits};
    }
    // The integrated loudness, in LUFS, that each input is normalised to
    // before the model sees it.
    static constexpr double targetLoudness = -24.0;

    // Loads the product's model; throws ModelError when the runtime refuses
    // it, std::invalid_argument for a negative segment or crossfade length.
    // A model's metadata may declare its own framing (segment_length,
    // segment_overlap, sample_rate: whole numbers), which then replaces that
    // of `parameters`; a framing that does not fit the model's input, or an
    // overlap past half a segment, refuses the model with a ModelError.
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
    void enhance(std::span<const float> input, std::span<float> output, const ProgressHandler& handleProgress) const;
    std::vector<float> enhance(std::span<const float> input, const ProgressHandler& handleProgress) const;
    std::vector<float> enhance(std::span<const float> input) const;

    // Segmentation and crossfading alone, on an already normalised signal,
    // written into `output` (exactly input.size() samples, checked first)
    // segment by segment, in order; a call that stops or fails leaves the
    // segments before it written.
    void enhanceNormalizedSignal(std::span<const float> input, std::span<float> output,
                                 const ProgressHandler& handleProgress) const;

    // One channel enhanced as it arrives, block by block, in memory bounded
    // by a segment: the same samples as enhance() over the whole channel,
    // given the channel's length and integrated loudness in advance. Streams
    // of one enhancer may run on several threads at once.
    class ChannelStream {
    public:
        // `measured`: the integrated loudness of all `length` samples at the
        // enhancer's sample rate.
        ChannelStream(const VariableLengthSpeechEnhancer& enhancer, std::int64_t length, Loudness measured);
        // A stretch of the channel from output sample `begin` on, on the
        // channel's own segment grid, so that its samples equal those of the
        // whole channel's: the input starts at inputBegin(), the start of the
        // first segment that reaches `begin` (whose head, blended with the
        // segment before in the whole channel, lies before `begin`), and the
        // output at `begin`. Pushing may stop once the stretch is complete.
        ChannelStream(const VariableLengthSpeechEnhancer& enhancer, std::int64_t length, Loudness measured,
                      std::int64_t begin);

        // Movable only: segments still running belong to one stream.
        ChannelStream(const ChannelStream&) = delete;
        ChannelStream& operator=(const ChannelStream&) = delete;
        ChannelStream(ChannelStream&&) = default;
        ChannelStream& operator=(ChannelStream&&) = default;

        // The index of the channel's first input sample this stream takes.
        std::int64_t inputBegin() const { return inputBegin_; }

        // Takes the next input samples and appends the output samples that
        // are complete; the handler hears of each segment as in enhance().
        void push(std::span<const float> input, std::vector<float>& output, const ProgressHandler& handleProgress);
        // After the last input sample: appends the rest of the output.
        // Throws std::invalid_argument when the input fell short of or went
        // past the length given at construction.
        void finish(std::vector<float>& output, const ProgressHandler& handleProgress);

    private:
        // A segment running on the workers: the first `length` samples of
        // its result are joined, and the first `complete` of them appended.
        struct RunningSegment {
            std::future<std::vector<float>> result;
            std::size_t length;
            std::size_t complete;
        };

        void runFullSegment(std::vector<float>& output, const ProgressHandler& handleProgress);
        // Joins running segments' results in order until at most `kept` run.
        void collect(std::size_t kept, std::vector<float>& output);
        // Joins a segment's result to the pending overlap and appends the
        // first `complete` samples of the joined result, scaled back.
        void join(std::span<const float> result, std::size_t complete, std::vector<float>& output);
        // Appends `samples` scaled back, less those before the stream's start.
        void appendOutput(std::span<const float> samples, float scale, std::vector<float>& output);

        const VariableLengthSpeechEnhancer* enhancer_;
        std::int64_t length_;
        float gain_;
        bool passThrough_;
        std::int64_t inputBegin_ = 0;
        std::int64_t fed_ = 0;
        std::int64_t nextSegmentIndex_ = 0;
        std::int64_t fullSegments_ = 0;
        std::int64_t skipped_ = 0;    // output samples still to drop before the stream's start
        std::vector<float> window_;   // normalised input from the next segment's start
        std::vector<float> overlap_;  // joined output awaiting the next segment's crossfade
        std::vector<float> joined_;   // scratch: a joined result
        std::deque<RunningSegment> running_;
    };

private:
    VariableLengthSpeechEnhancer(const ModelParameters& parameters, Model&& model);
    // With the framing already read from the model.
    VariableLengthSpeechEnhancer(const ModelParameters& parameters, Model&& model, std::nullptr_t);
    // The 32-bit gain that brings `measured` to the target loudness; not
    // finite (or not positive) for silence.
    static float normalizationGain(Loudness measured);

    // Gives `handleProgress` one report; throws Error when it answers stop.
    static void report(const ProgressHandler& handleProgress, std::int64_t nextSegmentIndex,
                       std::int64_t totalSegmentCount);
    // The number of full segments of a long signal (length >= segment length).
    std::int64_t fullSegmentCount(std::int64_t length) const;
    // output[o, o + C) = segment[0, C) * crossfadeIn + output[o, o + C) * crossfadeOut.
    void crossfade(std::span<const float> segment, std::span<float> overlap) const;

    // Segments a call keeps running at once: enough that every worker has
    // the next one queued while the caller prepares more.
    std::size_t segmentsInFlight() const;

    std::unique_ptr<SpeechEnhancer> base_;
    // After base_, so that the workers finish before the model goes.
    std::unique_ptr<SegmentWorkers> workers_;
    ModelParameters parameters_;
    std::vector<float> crossfadeIn_;
    std::vector<float> crossfadeOut_;
    Metadata metadata_;
};

}  // namespace vesh
