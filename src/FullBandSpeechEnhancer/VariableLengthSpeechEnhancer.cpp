#include "FullBandSpeechEnhancer/VariableLengthSpeechEnhancer.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <deque>
#include <experimental/simd>
#include <future>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "FullBandSpeechEnhancer/Crossfade.h"
#include "FullBandSpeechEnhancer/Model.h"
#include "FullBandSpeechEnhancer/ModelError.h"
#include "FullBandSpeechEnhancer/SpeechEnhancer.h"
#include "Loudness/Loudness.h"
#include "SegmentWorkers.h"

namespace vesh {

namespace stdx = std::experimental;

namespace {

const ModelParameters& validated(const ModelParameters& parameters) {
    if (parameters.processedSegmentLength < 0 || parameters.crossfadeLength < 0) {
        throw std::invalid_argument("the segment and crossfade lengths must not be negative");
    }
    return parameters;
}

// The number stored under `key` in the model's metadata; nothing when the
// key is absent. Text that is not a whole number refuses the model.
std::optional<std::int64_t> framingValue(const Model& model, const char* key) {
    const std::string text = model.metadataValue(key);
    if (text.empty()) return std::nullopt;
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) {
        throw ModelError(ORT_INVALID_GRAPH, "the model's metadata " + std::string(key) + " is not a number: " + text);
    }
    return value;
}

// The framing the model declares in its metadata (segment_length,
// segment_overlap, sample_rate), each value that it leaves out taken from
// `given`. What a model declares is checked against its input and against
// each other; the caller's own values are the caller's to choose.
ModelParameters framingOf(const Model& model, ModelParameters given) {
    const auto segment = framingValue(model, "segment_length");
    const auto overlap = framingValue(model, "segment_overlap");
    const auto rate = framingValue(model, "sample_rate");
    if (!segment && !overlap && !rate) return given;
    given.processedSegmentLength = segment.value_or(given.processedSegmentLength);
    given.crossfadeLength = overlap.value_or(given.crossfadeLength);
    given.sampleRate = rate.value_or(given.sampleRate);
    const std::int64_t inputLength = model.inputLength();
    if (inputLength > 0 && inputLength != given.processedSegmentLength) {
        throw ModelError(ORT_INVALID_GRAPH, "the model takes segments of " + std::to_string(inputLength) +
                                                " samples, not the " + std::to_string(given.processedSegmentLength) +
                                                " that its metadata names");
    }
    if (given.crossfadeLength < 0 || given.crossfadeLength * 2 > given.processedSegmentLength ||
        given.sampleRate < 8000 || given.sampleRate > 768000) {
        throw ModelError(ORT_INVALID_GRAPH,
                         "the model's metadata names a framing that cannot be used: " +
                             std::to_string(given.processedSegmentLength) + "-sample segments overlapping by " +
                             std::to_string(given.crossfadeLength) + " at " + std::to_string(given.sampleRate) + " Hz");
    }
    return given;
}

}  // namespace

const char* VariableLengthSpeechEnhancer::Error::what() const noexcept { return "The user cancelled processing."; }

// The parameters are validated inside the model's argument list, so that
// they are checked before the model is loaded (the order in which arguments
// are evaluated is otherwise unspecified).
VariableLengthSpeechEnhancer::VariableLengthSpeechEnhancer(const ModelParameters& parameters)
    : VariableLengthSpeechEnhancer(parameters, Model(validated(parameters).computeUnits)) {}

VariableLengthSpeechEnhancer::VariableLengthSpeechEnhancer(const ModelParameters& parameters,
                                                           const std::filesystem::path& modelPath)
    : VariableLengthSpeechEnhancer(parameters, Model(modelPath, validated(parameters).computeUnits)) {}

VariableLengthSpeechEnhancer::VariableLengthSpeechEnhancer(const ModelParameters& parameters, Model&& model)
    : VariableLengthSpeechEnhancer(framingOf(model, parameters), std::move(model), nullptr) {}

VariableLengthSpeechEnhancer::VariableLengthSpeechEnhancer(const ModelParameters& parameters, Model&& model,
                                                           std::nullptr_t)
    : base_(std::make_unique<SpeechEnhancer>(std::move(model), parameters.processedSegmentLength)),
      workers_(std::make_unique<SegmentWorkers>(*base_, static_cast<std::size_t>(std::max(parameters.threadCount, 0)))),
      parameters_(parameters), crossfadeIn_(crossfadeIn(parameters.crossfadeLength)),
      crossfadeOut_(crossfadeOut(parameters.crossfadeLength)), metadata_{base_->model().metadataValue("description"),
                                                                         base_->model().metadataValue("author"),
                                                                         base_->model().metadataValue("version")} {}

VariableLengthSpeechEnhancer::~VariableLengthSpeechEnhancer() = default;

void VariableLengthSpeechEnhancer::report(const ProgressHandler& handleProgress, std::int64_t nextSegmentIndex,
                                          std::int64_t totalSegmentCount) {
    if (handleProgress &&
        handleProgress(Progress{nextSegmentIndex, totalSegmentCount}) == ProgressResponse::stopProcessing) {
        throw Error(Error::Code::userCancelledProcessing);
    }
}

std::int64_t VariableLengthSpeechEnhancer::fullSegmentCount(std::int64_t length) const {
    const std::int64_t hop = parameters_.processedSegmentLength - parameters_.crossfadeLength;
    if (hop < 1) {
        throw std::invalid_argument("the crossfade must be shorter than the segment for signals of a segment or more");
    }
    return (length - parameters_.processedSegmentLength) / hop + 1;
}

std::size_t VariableLengthSpeechEnhancer::segmentsInFlight() const { return 2 * workers_->threadCount(); }

void VariableLengthSpeechEnhancer::crossfade(std::span<const float> segment, std::span<float> overlap) const {
    for (std::size_t k = 0; k < overlap.size(); ++k) {
        overlap[k] = segment[k] * crossfadeIn_[k] + overlap[k] * crossfadeOut_[k];
    }
}

float VariableLengthSpeechEnhancer::normalizationGain(Loudness measured) {
    const Loudness target(targetLoudness);
    return static_cast<float>(
        std::pow(10.0, (target.unitsRelativeToFullScale() - measured.unitsRelativeToFullScale()) / 20.0));
}

void VariableLengthSpeechEnhancer::enhance(std::span<const float> input, std::span<float> output,
                                           const ProgressHandler& handleProgress) const {
    const float gain = normalizationGain(Loudness(input, parameters_.sampleRate, Loudness::Mode::integrated));

    // Silence (or a signal too short to measure) has no finite gain: it is
    // passed through as it is, with the progress reports of its length.
    if (!std::isfinite(gain) || !(gain > 0.0f)) {
        const auto length = static_cast<std::int64_t>(input.size());
        if (length >= parameters_.processedSegmentLength) {
            const std::int64_t totalSegmentCount = fullSegmentCount(length) + 1;
            for (std::int64_t index = 0; index <= totalSegmentCount; ++index) {
                report(handleProgress, index, totalSegmentCount);
            }
        }
        if (output.size() != input.size()) {
            throw std::invalid_argument("the output must hold as many samples as the input");
        }
        std::copy(input.begin(), input.end(), output.begin());
        return;
    }

    std::vector<float> normalizedInput(input.size());
    std::vector<float> normalizedOutput(input.size());
    for (std::size_t i = 0; i < input.size(); ++i) {
        normalizedInput[i] = input[i] * gain;
    }
    enhanceNormalizedSignal(normalizedInput, normalizedOutput, handleProgress);

    // The caller's output is touched only once everything has succeeded.
    if (output.size() != input.size()) {
        throw std::invalid_argument("the output must hold as many samples as the input");
    }
    for (std::size_t i = 0; i < output.size(); ++i) {
        output[i] = normalizedOutput[i] / gain;
    }
}

std::vector<float> VariableLengthSpeechEnhancer::enhance(std::span<const float> input,
                                                         const ProgressHandler& handleProgress) const {
    std::vector<float> output(input.size());
    enhance(input, output, handleProgress);
    return output;
}

std::vector<float> VariableLengthSpeechEnhancer::enhance(std::span<const float> input) const {
    return enhance(input, ProgressHandler());
}

void VariableLengthSpeechEnhancer::enhanceNormalizedSignal(std::span<const float> input, std::span<float> output,
                                                           const ProgressHandler& handleProgress) const {
    if (output.size() != input.size()) {
        throw std::invalid_argument("the output must hold as many samples as the input");
    }
    const auto length = static_cast<std::int64_t>(input.size());
    const std::int64_t segmentLength = parameters_.processedSegmentLength;
    const auto segment = static_cast<std::size_t>(segmentLength);
    const auto overlap = static_cast<std::size_t>(parameters_.crossfadeLength);

    // Shorter than one segment: one model run on the signal padded with zeros.
    if (length < segmentLength) {
        std::vector<float> padded(segment, 0.0f);
        std::copy(input.begin(), input.end(), padded.begin());
        const std::vector<float> result = workers_->enhance(std::move(padded)).get();
        std::copy_n(result.begin(), input.size(), output.begin());
        return;
    }

    const std::int64_t fullSegments = fullSegmentCount(length);
    const std::int64_t totalSegmentCount = fullSegments + 1;
    const auto hop = static_cast<std::size_t>(segmentLength - parameters_.crossfadeLength);

    // Segments run ahead on the workers and are written in order: the first
    // whole, each later one from its end of the overlap on, its head blended
    // into the tail of the one before.
    struct Running {
        std::future<std::vector<float>> result;
        std::size_t offset;
        std::size_t count;
    };
    std::deque<Running> running;
    const auto writeOldest = [&] {
        Running oldest = std::move(running.front());
        running.pop_front();
        const std::vector<float> result = oldest.result.get();
        const auto head = static_cast<std::ptrdiff_t>(oldest.offset == 0 ? 0 : overlap);
        std::copy(result.begin() + head, result.begin() + static_cast<std::ptrdiff_t>(oldest.count),
                  output.begin() + static_cast<std::ptrdiff_t>(oldest.offset) + head);
        if (oldest.offset > 0) crossfade(std::span(result).first(overlap), output.subspan(oldest.offset, overlap));
    };
    const auto start = [&](std::int64_t index, std::size_t offset, std::size_t count) {
        try {
            report(handleProgress, index, totalSegmentCount);
        } catch (...) {
            // What ran before the stop stays written.
            try {
                while (!running.empty()) writeOldest();
            } catch (...) {
            }
            throw;
        }
        std::vector<float> samples(segment, 0.0f);
        std::copy_n(input.begin() + static_cast<std::ptrdiff_t>(offset), count, samples.begin());
        running.push_back({workers_->enhance(std::move(samples)), offset, count});
        while (running.size() > segmentsInFlight()) writeOldest();
    };

    for (std::int64_t index = 0; index < fullSegments; ++index) {
        start(index, static_cast<std::size_t>(index) * hop, segment);
    }
    // The final partial segment: the rest of the signal, padded with zeros at
    // its end; what the model makes of the padding is discarded.
    const std::size_t offset = static_cast<std::size_t>(fullSegments) * hop;
    start(fullSegments, offset, input.size() - offset);
    while (!running.empty()) writeOldest();

    report(handleProgress, totalSegmentCount, totalSegmentCount);
}

VariableLengthSpeechEnhancer::ChannelStream::ChannelStream(const VariableLengthSpeechEnhancer& enhancer,
                                                           std::int64_t length, Loudness measured)
    : ChannelStream(enhancer, length, measured, 0) {}

VariableLengthSpeechEnhancer::ChannelStream::ChannelStream(const VariableLengthSpeechEnhancer& enhancer,
                                                           std::int64_t length, Loudness measured, std::int64_t begin)
    : enhancer_(&enhancer), length_(length), gain_(normalizationGain(measured)),
      passThrough_(!std::isfinite(gain_) || !(gain_ > 0.0f)),
      joined_(static_cast<std::size_t>(enhancer.parameters_.processedSegmentLength)) {
    const std::int64_t segmentLength = enhancer.parameters_.processedSegmentLength;
    if (length_ >= segmentLength) fullSegments_ = enhancer.fullSegmentCount(length_);
    window_.reserve(static_cast<std::size_t>(segmentLength));

    // Segment j covers [jH, jH + S); the first one that reaches `begin` is
    // the last one that need run, and from its start on the segments are
    // those of the whole channel. Its blended head ends at jH + C <= begin.
    if (begin > 0 && length_ >= segmentLength) {
        const std::int64_t hop = segmentLength - enhancer.parameters_.crossfadeLength;
        const std::int64_t first =
            begin < segmentLength ? 0 : std::min((begin - segmentLength) / hop + 1, fullSegments_);
        nextSegmentIndex_ = first;
        inputBegin_ = first * hop;
        fed_ = inputBegin_;
    }
    skipped_ = std::max<std::int64_t>(begin - inputBegin_, 0);
}

void VariableLengthSpeechEnhancer::ChannelStream::appendOutput(std::span<const float> samples, float scale,
                                                               std::vector<float>& output) {
    const auto dropped = static_cast<std::size_t>(std::min<std::int64_t>(skipped_, std::ssize(samples)));
    skipped_ -= static_cast<std::int64_t>(dropped);
    const std::span<const float> kept = samples.subspan(dropped);
    const std::size_t before = output.size();
    output.resize(before + kept.size());
    const std::span<float> appended = std::span(output).subspan(before);
    // Several samples at a time: the division is the cost.
    using Floats = stdx::native_simd<float>;
    std::size_t start = 0;
    for (; start + Floats::size() <= kept.size(); start += Floats::size()) {
        (Floats(&kept[start], stdx::element_aligned) / scale).copy_to(&appended[start], stdx::element_aligned);
    }
    for (; start < kept.size(); ++start) appended[start] = kept[start] / scale;
}

void VariableLengthSpeechEnhancer::ChannelStream::push(std::span<const float> input, std::vector<float>& output,
                                                       const ProgressHandler& handleProgress) {
    fed_ += static_cast<std::int64_t>(input.size());
    if (passThrough_) {
        appendOutput(input, 1.0f, output);
        return;
    }
    const auto segment = static_cast<std::size_t>(enhancer_->parameters_.processedSegmentLength);
    while (!input.empty()) {
        // Only full segments run before the end; the final partial one waits
        // for finish().
        const std::size_t room = nextSegmentIndex_ < fullSegments_ ? segment - window_.size() : input.size();
        const std::size_t taken = std::min(room, input.size());
        for (const float sample : input.first(taken)) window_.push_back(sample * gain_);
        input = input.subspan(taken);
        if (window_.size() == segment && nextSegmentIndex_ < fullSegments_) runFullSegment(output, handleProgress);
    }
}

void VariableLengthSpeechEnhancer::ChannelStream::runFullSegment(std::vector<float>& output,
                                                                 const ProgressHandler& handleProgress) {
    const std::int64_t totalSegmentCount = fullSegments_ + 1;
    report(handleProgress, nextSegmentIndex_, totalSegmentCount);
    const auto hop = static_cast<std::size_t>(enhancer_->parameters_.processedSegmentLength -
                                              enhancer_->parameters_.crossfadeLength);
    running_.push_back({enhancer_->workers_->enhance(window_), window_.size(), hop});
    window_.erase(window_.begin(), window_.begin() + static_cast<std::ptrdiff_t>(hop));
    ++nextSegmentIndex_;
    collect(enhancer_->segmentsInFlight(), output);
}

void VariableLengthSpeechEnhancer::ChannelStream::collect(std::size_t kept, std::vector<float>& output) {
    while (running_.size() > kept) {
        RunningSegment oldest = std::move(running_.front());
        running_.pop_front();
        const std::vector<float> result = oldest.result.get();
        join(std::span(result).first(oldest.length), oldest.complete, output);
    }
}

void VariableLengthSpeechEnhancer::ChannelStream::join(std::span<const float> result, std::size_t complete,
                                                       std::vector<float>& output) {
    const auto crossfade = static_cast<std::size_t>(enhancer_->parameters_.crossfadeLength);
    // The joined result: the overlap blended with the result's head (the
    // first segment has nothing to blend with), then the result's rest.
    std::span<float> joined = std::span(joined_).first(result.size());
    std::copy(result.begin(), result.end(), joined.begin());
    if (!overlap_.empty()) {
        std::span<float> head(overlap_);
        enhancer_->crossfade(result.first(crossfade), head);
        std::copy(head.begin(), head.end(), joined.begin());
    }
    appendOutput(joined.first(complete), gain_, output);
    overlap_.assign(joined.begin() + static_cast<std::ptrdiff_t>(complete), joined.end());
    overlap_.resize(crossfade);
}

void VariableLengthSpeechEnhancer::ChannelStream::finish(std::vector<float>& output,
                                                         const ProgressHandler& handleProgress) {
    if (fed_ != length_) throw std::invalid_argument("the channel did not hold the length it was announced with");
    const std::int64_t segmentLength = enhancer_->parameters_.processedSegmentLength;
    if (passThrough_) {
        if (length_ >= segmentLength) {
            for (std::int64_t index = 0; index <= fullSegments_ + 1; ++index) {
                report(handleProgress, index, fullSegments_ + 1);
            }
        }
        return;
    }
    // The short signal, or the final partial segment: the rest of the
    // signal padded with zeros at its end.
    std::vector<float> padded(static_cast<std::size_t>(segmentLength), 0.0f);
    std::copy(window_.begin(), window_.end(), padded.begin());
    if (length_ < segmentLength) {
        const std::vector<float> result = enhancer_->workers_->enhance(std::move(padded)).get();
        appendOutput(std::span(result).first(window_.size()), gain_, output);
        return;
    }
    const std::int64_t totalSegmentCount = fullSegments_ + 1;
    report(handleProgress, fullSegments_, totalSegmentCount);
    running_.push_back({enhancer_->workers_->enhance(std::move(padded)), window_.size(), window_.size()});
    window_.clear();
    collect(0, output);
    report(handleProgress, totalSegmentCount, totalSegmentCount);
}

}  // namespace vesh
