#include "Engine/Engine.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <iterator>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "AudioIO/AudioError.h"
#include "AudioIO/AudioFile.h"
#include "AudioIO/AudioFileWriter.h"
#include "AudioIO/Resampling.h"
#include "AudioIO/TemporaryFiles.h"
#include "BlockThread.h"
#include "Checkpoints.h"
#include "Failures.h"
#include "FullBandSpeechEnhancer/VariableLengthSpeechEnhancer.h"
#include "Loudness/Loudness.h"
#include "MeasuringPass.h"
#include "SourceFingerprint.h"
#include "Support/FatalError.h"

namespace vesh {

namespace {

using detail::BlockThread;
using detail::Checkpoints;
using detail::enhancing;
using detail::Fingerprint;
using detail::fingerprint;
using detail::Measurement;
using detail::throwReadError;
using detail::throwSourceChanged;

// Frames of the converted signal carried through the second pass at a time.
constexpr std::size_t framesPerBlock = 8192;

// How long a wait for a pipe's data lasts before the handler is asked again.
constexpr int pipeWaitMilliseconds = 100;

class FileDescriptor {
public:
    enum class Data { kept, discarded };
    // `discarded`: nothing of the file is wanted once this object goes, and
    // a large one is freed in the background (closeDiscarding).
    explicit FileDescriptor(int descriptor, Data data = Data::kept) : descriptor_(descriptor), data_(data) {}
    ~FileDescriptor() {
        if (descriptor_ < 0) return;
        if (data_ == Data::discarded) {
            closeDiscarding(descriptor_);
        } else {
            ::close(descriptor_);
        }
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return descriptor_; }

private:
    int descriptor_;
    Data data_;
};

// A source that cannot be read twice (a pipe, a FIFO, a device), copied into
// a hidden temporary file in `folder`, named like the writer's temporaries;
// the copy is removed when this object goes.
class SourceCopy {
public:
    SourceCopy(const std::filesystem::path& source, const std::filesystem::path& folder, Checkpoints& checkpoints) {
        // Non-blocking, so that neither opening a FIFO without a writer nor
        // waiting for its data can hold off a cancel request.
        const FileDescriptor input(::open(source.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
        if (input.get() < 0) throwReadError(errno, "opening " + source.string());

        const std::string pattern = temporaryFileTemplate(folder, source.filename().native());
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        const FileDescriptor output(::mkstemps(buffer.data(), 4));
        if (output.get() < 0) throwReadError(errno, "creating a copy of " + source.string() + " in " + folder.string());
        copy_.path = buffer.data();

        std::vector<char> block(1 << 16);
        while (true) {
            checkpoints.check();
            pollfd waiting{input.get(), POLLIN, 0};
            const int ready = ::poll(&waiting, 1, pipeWaitMilliseconds);
            if (ready < 0 && errno != EINTR) throwReadError(errno, "reading " + source.string());
            if (ready <= 0) continue;
            const ssize_t received = ::read(input.get(), block.data(), block.size());
            if (received == 0) break;
            if (received < 0) {
                if (errno == EAGAIN || errno == EINTR) continue;
                throwReadError(errno, "reading " + source.string());
            }
            for (ssize_t done = 0; done < received;) {
                const ssize_t written =
                    ::write(output.get(), block.data() + done, static_cast<std::size_t>(received - done));
                if (written < 0) {
                    if (errno == EINTR) continue;
                    throwReadError(errno, "copying " + source.string());
                }
                done += written;
            }
        }
    }
    const std::filesystem::path& path() const { return copy_.path; }

private:
    // Removed however the copy ends, a cancelled or failed copy included.
    struct RemovedFile {
        RemovedFile() = default;
        ~RemovedFile() {
            if (!path.empty()) removeDiscarding(path);
        }
        RemovedFile(const RemovedFile&) = delete;
        RemovedFile& operator=(const RemovedFile&) = delete;
        std::filesystem::path path;
    };

    RemovedFile copy_;
};

[[noreturn]] void throwCacheError(int code) {
    throw AudioLibraryError("file system", code, std::string("keeping the converted signal: ") + std::strerror(code));
}

// A signal kept in an unnamed
// temporary file in the target's folder, so that memory stays bounded: the
// converted signal between the passes (the second pass neither decodes nor
// converts again), and the output before its loudness gain. The file has no name,
// so it disappears with its descriptor, even when the process is killed.
// Frames are stored interleaved as 32-bit floats.
class ConvertedSignal {
public:
    ConvertedSignal(const std::filesystem::path& folder, std::size_t channelCount)
        : descriptor_(openUnnamed(folder), FileDescriptor::Data::discarded), channelCount_(channelCount) {}

    void append(const std::vector<std::vector<float>>& channels) {
        views_.assign(channels.begin(), channels.end());
        append(views_);
    }

    void append(std::span<const std::span<const float>> channels) {
        const std::size_t frames = channels.front().size();
        for (const std::span<const float> channel : channels) {
            if (channel.size() != frames) fatalError("the converted channels differ in length");
        }
        // One channel is stored as it is.
        std::span<const float> stored = channels.front();
        if (channelCount_ > 1) {
            interleaved_.resize(frames * channelCount_);
            for (std::size_t channel = 0; channel < channelCount_; ++channel) {
                for (std::size_t frame = 0; frame < frames; ++frame) {
                    interleaved_[frame * channelCount_ + channel] = channels[channel][frame];
                }
            }
            stored = interleaved_;
        }
        const auto* bytes = reinterpret_cast<const char*>(stored.data());
        std::size_t remaining = stored.size_bytes();
        while (remaining > 0) {
            const ssize_t written = ::write(descriptor_.get(), bytes, remaining);
            if (written < 0) {
                if (errno == EINTR) continue;
                throwCacheError(errno);
            }
            bytes += written;
            remaining -= static_cast<std::size_t>(written);
        }
    }

    void rewind() {
        if (::lseek(descriptor_.get(), 0, SEEK_SET) != 0) throwCacheError(errno);
    }

    // Appends the next frames, at most `maximumFrames`, to the lists of the
    // first channels.size() channels; returns the frames appended, 0 at the end.
    std::size_t readOnto(std::span<std::vector<float>* const> channels, std::size_t maximumFrames) {
        // One channel is read in place.
        const bool inPlace = channelCount_ == 1;
        std::vector<float>& stored = inPlace ? *channels.front() : interleaved_;
        const std::size_t before = inPlace ? stored.size() : 0;
        stored.resize(before + maximumFrames * channelCount_);
        auto* bytes = reinterpret_cast<char*>(stored.data() + before);
        const std::size_t wanted = maximumFrames * channelCount_ * sizeof(float);
        std::size_t received = 0;
        while (received < wanted) {
            const ssize_t got = ::read(descriptor_.get(), bytes + received, wanted - received);
            if (got < 0) {
                if (errno == EINTR) continue;
                throwCacheError(errno);
            }
            if (got == 0) break;
            received += static_cast<std::size_t>(got);
        }
        const std::size_t frames = received / (sizeof(float) * channelCount_);
        if (inPlace) {
            stored.resize(before + frames);
            return frames;
        }
        for (std::size_t channel = 0; channel < channels.size(); ++channel) {
            std::vector<float>& samples = *channels[channel];
            const std::size_t start = samples.size();
            samples.resize(start + frames);
            for (std::size_t frame = 0; frame < frames; ++frame) {
                samples[start + frame] = interleaved_[frame * channelCount_ + channel];
            }
        }
        return frames;
    }

private:
    static int openUnnamed(const std::filesystem::path& folder) {
        const int descriptor = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
        if (descriptor >= 0) return descriptor;
        // File systems without unnamed files: a named one, unlinked at once.
        const std::string pattern = temporaryFileTemplate(folder, "signal");
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        const int named = ::mkstemps(buffer.data(), 4);
        if (named < 0) throwCacheError(errno);
        ::unlink(buffer.data());
        return named;
    }

    FileDescriptor descriptor_;
    std::size_t channelCount_;
    std::vector<float> interleaved_;
    std::vector<std::span<const float>> views_;
};

// A signal kept beside the target; failing to make one is a write failure.
ConvertedSignal spoolBeside(const std::filesystem::path& folder, std::size_t channelCount) {
    try {
        return ConvertedSignal(folder, channelCount);
    } catch (...) {
        throw AudioError::wrappingCurrent(AudioError::Operation::writeAudioFile);
    }
}

// Reads a kept output from its start, block by block, multiplied by a gain.
class KeptReader {
public:
    KeptReader(ConvertedSignal& kept, std::size_t channelCount, float gain)
        : kept_(kept), lists_(channelCount), gain_(gain) {
        try {
            kept.rewind();
        } catch (...) {
            throw AudioError::wrappingCurrent(AudioError::Operation::readAudioFile);
        }
    }

    // Replaces `block` with the next frames, one list per channel; false at the end.
    bool operator()(std::vector<std::vector<float>>& block) {
        block.resize(lists_.size());
        for (std::size_t channel = 0; channel < lists_.size(); ++channel) {
            block[channel].clear();
            lists_[channel] = &block[channel];
        }
        std::size_t frames = 0;
        try {
            frames = kept_.readOnto(lists_, framesPerBlock);
        } catch (...) {
            throw AudioError::wrappingCurrent(AudioError::Operation::readAudioFile);
        }
        if (gain_ != 1.0f) {
            for (std::vector<float>& samples : block) {
                for (float& sample : samples) sample *= gain_;
            }
        }
        return frames > 0;
    }

private:
    ConvertedSignal& kept_;
    std::vector<std::vector<float>*> lists_;
    float gain_;
};

// Samples that wait in order: appended at the end, taken from the front.
// Taken samples are dropped only once they are three times as many as those
// still waiting, so that a sample is moved a third of a time on average.
class WaitingSamples {
public:
    // The storage that new samples are appended to.
    std::vector<float>& tail() { return samples_; }
    std::size_t size() const { return samples_.size() - taken_; }
    std::span<const float> first(std::size_t count) const { return std::span(samples_).subspan(taken_, count); }
    void take(std::size_t count) {
        taken_ += count;
        if (taken_ < 3 * size()) return;
        samples_.erase(samples_.begin(), samples_.begin() + static_cast<std::ptrdiff_t>(taken_));
        taken_ = 0;
    }
    // Takes the first `count` samples into `into`, in place of what it
    // held; all of them without a copy, leaving `into`'s storage here.
    void takeInto(std::size_t count, std::vector<float>& into) {
        if (taken_ == 0 && count == samples_.size()) {
            std::swap(samples_, into);
            samples_.clear();
            return;
        }
        const std::span<const float> taken = first(count);
        into.assign(taken.begin(), taken.end());
        take(count);
    }

private:
    std::vector<float> samples_;
    std::size_t taken_ = 0;
};

// The writer fed on a thread of its own, so that encoding and storing the
// output overlap the work on what follows it.
class WritingThread {
public:
    using Channels = std::vector<std::vector<float>>;

    WritingThread(AudioFileWriter& writer, std::size_t channelCount)
        : thread_(channelCount,
                  [&writer, views = std::vector<std::span<const float>>(channelCount)](const Channels& block) mutable {
                      std::copy(block.begin(), block.end(), views.begin());
                      writer.write(views);
                  }) {}

    // Hands on `block`, one list per channel, all of one length, leaving an
    // empty one in its place.
    void operator()(Channels& block) { thread_.add(block); }
    // Returns once every frame handed on is written.
    void finish() { thread_.finish(); }

private:
    BlockThread thread_;
};

// The second pass over one enhanced channel (every channel, or the first
// alone when all are identical): enhancement, mix with the untouched signal,
// conversion to the output rate. Its output waits in `ready` until every
// channel can be written.
struct ChannelPipeline {
    ChannelPipeline(VariableLengthSpeechEnhancer::ChannelStream enhancement, std::optional<Resampler> toOutputRate)
        : enhancement(std::move(enhancement)), toOutputRate(std::move(toOutputRate)) {}

    VariableLengthSpeechEnhancer::ChannelStream enhancement;
    std::optional<Resampler> toOutputRate;
    WaitingSamples dry;
    // The mixed signal at the processing rate, when it is converted to another.
    std::vector<float> wet;
    WaitingSamples ready;
    std::int64_t enhancedLength = 0;
};

class SecondPass {
public:
    SecondPass(const AudioFile& source, std::int64_t outputRate, const ProcessingOptions& options,
               const Measurement& measurement, ConvertedSignal& converted, Checkpoints& checkpoints)
        : options_(options), measurement_(measurement), converted_(converted), checkpoints_(checkpoints),
          outputRate_(outputRate) {
        const std::int64_t processingRate = options.enhancer->parameters().sampleRate;
        if (static_cast<std::size_t>(source.channelCount()) != measurement.loudness.size()) throwSourceChanged();
        const std::size_t enhancedChannels = measurement.identicalChannels ? 1 : measurement.loudness.size();
        for (std::size_t channel = 0; channel < enhancedChannels; ++channel) {
            std::optional<Resampler> toOutputRate;
            if (outputRate_ != processingRate) {
                toOutputRate.emplace(processingRate, outputRate_, SampleRateConverterAlgorithm::normal,
                                     AudioQuality::maximum);
            }
            enhancing([&] {
                pipelines_.emplace_back(
                    VariableLengthSpeechEnhancer::ChannelStream(*options.enhancer, measurement.processingLength,
                                                                measurement.loudness[channel]),
                    std::move(toOutputRate));
            });
        }
        block_.resize(measurement.loudness.size());
        for (ChannelPipeline& pipeline : pipelines_) dryTails_.push_back(&pipeline.dry.tail());
    }

    // Everything but writing and the final commit: the output's frames go
    // to `output` as a block, one list per channel of the source, all of
    // one length, which it may swap for another.
    template <typename Output>
    void run(Output&& output) {
        try {
            converted_.rewind();
        } catch (...) {
            throw AudioError::wrappingCurrent(AudioError::Operation::readAudioFile);
        }
        while (const std::size_t frames = readConverted()) {
            for (std::size_t channel = 0; channel < pipelines_.size(); ++channel) enhance(channel, frames, false);
            writeReady(output);
            checkpoints_.check();
        }
        for (std::size_t channel = 0; channel < pipelines_.size(); ++channel) enhance(channel, 0, true);
        writeReady(output);
        checkpoints_.check(true);
    }

private:
    // Reads the next converted frames onto the end of each pipeline's dry signal.
    std::size_t readConverted() {
        try {
            return converted_.readOnto(dryTails_, framesPerBlock);
        } catch (...) {
            throw AudioError::wrappingCurrent(AudioError::Operation::readAudioFile);
        }
    }

    // Enhances the last `frames` of the channel's dry signal.
    void enhance(std::size_t channel, std::size_t frames, bool last) {
        ChannelPipeline& pipeline = pipelines_[channel];
        const std::span<const float> converted = std::span(pipeline.dry.tail()).last(frames);
        // Without conversion the enhanced samples go straight to the output.
        std::vector<float>& wet = pipeline.toOutputRate ? pipeline.wet : pipeline.ready.tail();
        if (pipeline.toOutputRate) wet.clear();
        const std::size_t before = wet.size();
        const auto report = [this](VariableLengthSpeechEnhancer::Progress) {
            checkpoints_.check();
            return VariableLengthSpeechEnhancer::ProgressResponse::continueProcessing;
        };
        enhancing([&] {
            pipeline.enhancement.push(converted, wet, report);
            if (last) pipeline.enhancement.finish(wet, report);
        });

        const std::span<float> enhanced = std::span(wet).subspan(before);
        mixWetDry(enhanced, pipeline.dry.first(enhanced.size()), options_.wetDryMix);
        pipeline.dry.take(enhanced.size());
        pipeline.enhancedLength += std::ssize(enhanced);
        if (measurement_.processingLength > 0) {
            checkpoints_.setEnhanced(channel, static_cast<double>(pipeline.enhancedLength) /
                                                  static_cast<double>(measurement_.processingLength));
        }

        if (pipeline.toOutputRate) {
            pipeline.toOutputRate->process(wet, pipeline.ready.tail());
            if (last) pipeline.toOutputRate->finish(pipeline.ready.tail());
        }
    }

    // Writes the frames that every channel has ready.
    template <typename Output>
    void writeReady(Output& output) {
        std::size_t frames = pipelines_.front().ready.size();
        for (const ChannelPipeline& pipeline : pipelines_) frames = std::min(frames, pipeline.ready.size());
        if (frames == 0) return;
        for (std::size_t channel = 0; channel < block_.size(); ++channel) {
            if (channel < pipelines_.size()) {
                pipelines_[channel].ready.takeInto(frames, block_[channel]);
            } else {
                // Identical channels: copies of the one enhanced.
                block_[channel] = block_.front();
            }
        }
        output(block_);
    }

    const ProcessingOptions& options_;
    const Measurement& measurement_;
    ConvertedSignal& converted_;
    Checkpoints& checkpoints_;
    std::int64_t outputRate_;
    std::vector<ChannelPipeline> pipelines_;
    // Where the converted signal is read to: each pipeline's dry signal.
    std::vector<std::vector<float>*> dryTails_;
    std::vector<std::vector<float>> block_;
};

// "12.3 MB", "4.1 GB": sizes for people, in decimal units.
std::string sizeText(std::uint64_t bytes) {
    const bool gigabytes = bytes >= 1'000'000'000;
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", static_cast<double>(bytes) / (gigabytes ? 1e9 : 1e6),
                  gigabytes ? "GB" : "MB");
    return text;
}

[[noreturn]] void throwUnwritable(UnwritableOutputError::Code code, const std::string& message) {
    try {
        throw UnwritableOutputError(code, message);
    } catch (...) {
        throw AudioError::wrappingCurrent(AudioError::Operation::writeAudioFile);
    }
}

// The output's length at `outputRate`, as far as the container announces it.
std::optional<std::int64_t> expectedLength(const AudioFile& source, std::int64_t rate) {
    const std::optional<std::int64_t> announced = source.announcedLength();
    if (!announced || source.sampleRate() <= 0) return std::nullopt;
    return static_cast<std::int64_t>(std::ceil(static_cast<double>(*announced) * static_cast<double>(rate) /
                                               static_cast<double>(source.sampleRate())));
}

// "m:ss.ss", or "h:mm:ss.ss" from an hour; rounded outward, so that a
// stretch of a few milliseconds still shows a start before its end.
std::string timeText(double seconds, bool roundUp) {
    const double scaled = std::max(seconds, 0.0) * 100.0;
    const auto hundredths = static_cast<std::int64_t>(roundUp ? std::ceil(scaled) : std::floor(scaled));
    const std::int64_t hours = hundredths / 360000;
    const std::int64_t minutes = hundredths / 6000 % 60;
    const double rest = static_cast<double>(hundredths % 6000) / 100.0;
    char text[48];
    if (hours > 0) {
        std::snprintf(text, sizeof text, "%lld:%02lld:%05.2f", static_cast<long long>(hours),
                      static_cast<long long>(minutes), rest);
    } else {
        std::snprintf(text, sizeof text, "%lld:%05.2f", static_cast<long long>(minutes), rest);
    }
    return text;
}

// The one gain that brings `level` to `target`, lowered where the true peak
// would pass the ceiling.
LoudnessAdjustment adjustment(const ProgrammeLevel& level, double target) {
    const double measured = level.integrated.unitsRelativeToFullScale();
    if (!std::isfinite(measured) || !std::isfinite(level.truePeakDecibels)) {
        return LoudnessAdjustment{target, measured, 0.0, measured, false, true};
    }
    double gain = target - measured;
    const bool limited = level.truePeakDecibels + gain > LoudnessTarget::truePeakCeiling;
    if (limited) gain = LoudnessTarget::truePeakCeiling - level.truePeakDecibels;
    return LoudnessAdjustment{target, measured, gain, measured + gain, limited, false};
}

// Runs the second pass into `kept`; with a loudness target, measures the
// output there and returns the one gain that brings it to the target: the
// gain needs the whole output's loudness, and the kept copy spares a
// second enhancement.
std::optional<LoudnessAdjustment> keepOutput(SecondPass& pass, std::optional<double> target, ConvertedSignal& kept,
                                             std::size_t channelCount, std::int64_t outputRate) {
    std::optional<ProgrammeMeter> meter;
    if (target) enhancing([&] { meter.emplace(outputRate, channelCount); });
    std::vector<std::span<const float>> views(channelCount);
    pass.run([&](const std::vector<std::vector<float>>& block) {
        std::copy(block.begin(), block.end(), views.begin());
        if (meter) enhancing([&] { meter->add(views); });
        try {
            kept.append(views);
        } catch (...) {
            throw AudioError::wrappingCurrent(AudioError::Operation::writeAudioFile);
        }
    });
    if (!target) return std::nullopt;
    ProgrammeLevel level{Loudness(0.0), 0.0};
    enhancing([&] { level = meter->level(); });
    return adjustment(level, *target);
}

float gainFactor(const std::optional<LoudnessAdjustment>& loudness) {
    return loudness ? static_cast<float>(std::pow(10.0, loudness->gainDecibels / 20.0)) : 1.0f;
}

// Runs the second pass into a kept copy of the output while measuring it,
// then writes that copy with the target's gain.
LoudnessAdjustment writeAtLoudness(SecondPass& pass, double target, const std::filesystem::path& folder,
                                   std::size_t channelCount, std::int64_t outputRate, WritingThread& writing,
                                   Checkpoints& checkpoints) {
    ConvertedSignal kept = spoolBeside(folder, channelCount);
    const std::optional<LoudnessAdjustment> result = keepOutput(pass, target, kept, channelCount, outputRate);
    KeptReader read(kept, channelCount, gainFactor(result));
    std::vector<std::vector<float>> block;
    while (read(block)) {
        writing(block);
        checkpoints.check();
    }
    return *result;
}

// The first pass over `source`, its converted signal kept in `converted`.
Measurement measureInto(AudioFile& source, std::int64_t processingRate, ConvertedSignal& converted,
                        Checkpoints& checkpoints) {
    return detail::measure(source, processingRate, checkpoints, [&](const std::vector<std::vector<float>>& block) {
        try {
            converted.append(block);
        } catch (...) {
            throw AudioError::wrappingCurrent(AudioError::Operation::writeAudioFile);
        }
    });
}

// Another audio stream of the source that a copy of a video holds: cleaned
// like the one the writer is fed, before it, and kept at its own rate beside
// the target until the writer reads it, at the gain of the loudness target.
struct OtherStream {
    OtherStream(const std::filesystem::path& file, int index, const std::filesystem::path& folder)
        : source(file, index), cleaned(spoolBeside(folder, static_cast<std::size_t>(source.channelCount()))) {}

    std::size_t channelCount() const { return static_cast<std::size_t>(source.channelCount()); }

    // Both passes, into `cleaned`.
    void clean(const ProcessingOptions& options, const std::filesystem::path& folder, Checkpoints& checkpoints) {
        ConvertedSignal converted = spoolBeside(folder, channelCount());
        measurement = measureInto(source, options.enhancer->parameters().sampleRate, converted, checkpoints);
        SecondPass second(source, source.sampleRate(), options, measurement, converted, checkpoints);
        gain = gainFactor(keepOutput(second, options.loudnessTarget.integratedLoudness, cleaned, channelCount(),
                                     source.sampleRate()));
    }

    AudioFile source;
    ConvertedSignal cleaned;
    Measurement measurement;
    float gain = 1.0f;
};

// The bytes of `source`'s signal kept at `rate`, as far as its length is announced.
std::optional<std::uint64_t> keptBytes(const AudioFile& source, std::int64_t rate) {
    const std::optional<std::int64_t> length = expectedLength(source, rate);
    if (!length) return std::nullopt;
    return static_cast<std::uint64_t>(*length) * static_cast<std::uint64_t>(source.channelCount()) * sizeof(float);
}

// While a file is processed its folder holds the output and the converted
// signal kept between the passes of each stream; both must fit the free
// space. With a loudness target the output before its gain is kept there
// too, and a video's other audio streams stay there cleaned until the
// output is written.
void checkFreeSpace(const std::filesystem::path& folder, const AudioFile& source, std::int64_t processingRate,
                    std::optional<std::int64_t> keptOutputRate, const std::deque<OtherStream>& others,
                    const AudioFileWriter& writer) {
    const std::optional<std::uint64_t> converted = keptBytes(source, processingRate);
    if (!converted) return;
    std::uint64_t largestConverted = *converted;
    std::uint64_t kept = keptOutputRate ? keptBytes(source, *keptOutputRate).value_or(0) : 0;
    for (const OtherStream& other : others) {
        largestConverted = std::max(largestConverted, keptBytes(other.source, processingRate).value_or(0));
        kept += keptBytes(other.source, other.source.sampleRate()).value_or(0);
    }
    const std::uint64_t needed = writer.estimatedSize() + largestConverted + kept;
    struct statvfs space {};
    if (::statvfs(folder.c_str(), &space) != 0) return;
    const std::uint64_t available = static_cast<std::uint64_t>(space.f_bavail) * space.f_frsize;
    if (needed <= available) return;
    throwUnwritable(UnwritableOutputError::Code::notEnoughSpace,
                    "Not enough space in the folder “" + folder.string() + "”: processing “" +
                        source.url().filename().string() + "” needs about " + sizeText(needed) + " there, and " +
                        sizeText(available) + " are free.");
}

}  // namespace

void mixWetDry(std::span<float> wet, std::span<const float> dry, double wetDryMix) {
    // Below 1 the untouched signal is mixed in; 1 and above (or not a
    // number) leave the enhanced signal as it is.
    if (!(wetDryMix < 1.0)) return;
    const auto wetShare = static_cast<float>(wetDryMix);
    const auto dryShare = static_cast<float>(1.0 - wetDryMix);
    for (std::size_t k = 0; k < wet.size(); ++k) wet[k] = wet[k] * wetShare + dry[k] * dryShare;
}

ProcessingResult processFile(const std::filesystem::path& source, const std::filesystem::path& target,
                             ProcessingOptions options) try {
    if (!options.enhancer) throw ProcessingError(ProcessingError::Kind::enhancing);
    // The measuring pass (decoding, conversion to the processing rate,
    // loudness) costs about a tenth of the second pass, which adds the model.
    Checkpoints checkpoints(options.handleProgress, 0.1);
    checkpoints.check(true);

    // Temporary files go beside the target, like the writer's own.
    const std::filesystem::path folder = target.has_parent_path() ? target.parent_path() : ".";
    std::optional<SourceCopy> copy;
    if (!detail::isRegularFile(source)) {
        copy.emplace(source, folder, checkpoints);
    }
    const std::filesystem::path& file = copy ? copy->path() : source;

    const Fingerprint before = fingerprint(file);
    // The output is planned before anything is decoded, so that a length its
    // file type cannot hold, a name too long or a full disk end the file at once.
    AudioFile sourceFile(file);
    const std::int64_t processingRate = options.enhancer->parameters().sampleRate;
    const std::int64_t outputRate =
        options.matchSourceFormat ? sourceFile.sampleRate() : options.outputFormat.framesPerSecond();
    const std::optional<std::int64_t> length = expectedLength(sourceFile, outputRate);
    // Read by the writer, so made before it.
    std::deque<OtherStream> others;
    AudioFileWriter writer =
        options.matchSourceFormat
            ? AudioFileWriter(target, sourceFile, outputRate, options.outputFormat.commonAudioFileFormat(), length)
            : AudioFileWriter(target, options.outputFormat.commonAudioFileFormat(), sourceFile, outputRate, length);
    // A copy of a video holds every audio stream of the source, each
    // cleaned alike: the others first, the one the writer is fed last.
    for (const int index : writer.otherAudioStreams()) others.emplace_back(file, index, folder);
    const std::optional<double> targetLoudness = options.loudnessTarget.integratedLoudness;
    checkFreeSpace(folder, sourceFile, processingRate, targetLoudness ? std::optional(outputRate) : std::nullopt,
                   others, writer);
    for (std::size_t index = 0; index < others.size(); ++index) {
        OtherStream& other = others[index];
        checkpoints.setStream(index, others.size() + 1);
        other.clean(options, folder, checkpoints);
        writer.addAudioStream(other.source, KeptReader(other.cleaned, other.channelCount(), other.gain));
    }
    checkpoints.setStream(others.size(), others.size() + 1);

    // The second pass reads the converted signal kept here, so both passes
    // see the same samples.
    const auto channelCount = static_cast<std::size_t>(sourceFile.channelCount());
    ConvertedSignal converted = spoolBeside(folder, channelCount);
    const Measurement measurement = measureInto(sourceFile, processingRate, converted, checkpoints);
    if (fingerprint(file) != before) throwSourceChanged();
    SecondPass second(sourceFile, outputRate, options, measurement, converted, checkpoints);
    std::optional<LoudnessAdjustment> loudness;
    WritingThread writing(writer, channelCount);
    if (targetLoudness) {
        loudness = writeAtLoudness(second, *targetLoudness, folder, channelCount, outputRate, writing, checkpoints);
    } else {
        second.run(writing);
    }
    writing.finish();
    if (fingerprint(file) != before) throwSourceChanged();

    const double duration = static_cast<double>(measurement.processingLength) / static_cast<double>(processingRate);
    std::vector<DamagedStretch> damagedStretches = sourceFile.damagedStretches();
    std::int64_t replacedSamples = measurement.replacedSamples;
    for (const OtherStream& other : others) {
        const std::vector<DamagedStretch>& stretches = other.source.damagedStretches();
        damagedStretches.insert(damagedStretches.end(), stretches.begin(), stretches.end());
        replacedSamples += other.measurement.replacedSamples;
    }
    // Damage of the container shows in every stream: told once.
    std::sort(damagedStretches.begin(), damagedStretches.end(),
              [](const DamagedStretch& a, const DamagedStretch& b) { return a.start < b.start; });
    damagedStretches.erase(std::unique(damagedStretches.begin(), damagedStretches.end()), damagedStretches.end());
    const auto result = [&](std::filesystem::path writtenTo) {
        return ProcessingResult{std::move(writtenTo), duration,        damagedStretches,
                                writer.clipping(),    replacedSamples, loudness};
    };
    if (const std::optional<std::filesystem::path> written = writer.commit()) return result(*written);
    // Something took the location while the file was processed, or the
    // caller agreed to replace what is there: only the handler decides.
    if (!options.handleExistingFile) {
        try {
            throw AudioLibraryError(
                "file system", EEXIST,
                "putting the output at " + writer.location().string() + ": " + std::strerror(EEXIST));
        } catch (...) {
            throw AudioError::wrappingCurrent(AudioError::Operation::writeAudioFile);
        }
    }
    switch (options.handleExistingFile(writer.location())) {
    case ExistingFileAnswer::replace: return result(writer.commitReplacing());
    case ExistingFileAnswer::skip: return ProcessingResult{{}, duration, {}, std::nullopt, 0, std::nullopt};
    case ExistingFileAnswer::stop: break;
    }
    throw ProcessingError(ProcessingError::Kind::stoppedAtExistingFile);
} catch (...) {
    detail::rethrowAsProcessingError();
}

std::string LoudnessTarget::name() const {
    if (!integratedLoudness) return "off";
    if (*integratedLoudness == podcastLoudness) return "podcast";
    if (*integratedLoudness == broadcastLoudness) return "broadcast";
    char text[32];
    const auto written = std::to_chars(std::begin(text), std::end(text), *integratedLoudness);
    return std::string(std::begin(text), written.ptr);
}

std::optional<LoudnessTarget> LoudnessTarget::fromName(std::string_view name) {
    if (name == "off") return LoudnessTarget{};
    if (name == "podcast") return LoudnessTarget{podcastLoudness};
    if (name == "broadcast") return LoudnessTarget{broadcastLoudness};
    double value = 0.0;
    const auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), value);
    if (error != std::errc() || end != name.data() + name.size()) return std::nullopt;
    if (!(value >= lowestLoudness && value <= highestLoudness)) return std::nullopt;
    return LoudnessTarget{value};
}

std::vector<std::string> ProcessingResult::warnings() const {
    std::vector<std::string> texts;
    for (const DamagedStretch& stretch : damagedStretches) {
        texts.push_back(stretch.untilEnd ? "the source is damaged from " + timeText(stretch.start, false) +
                                               " to its end; the audio before it was kept"
                                         : "the source is damaged from " + timeText(stretch.start, false) + " to " +
                                               timeText(stretch.end, true) + "; that stretch was replaced by silence");
    }
    if (replacedSamples > 0) {
        texts.push_back(std::to_string(replacedSamples) +
                        (replacedSamples == 1 ? " sample of the source was" : " samples of the source were") +
                        " not a number or far beyond any real level (above +60 dBFS) and taken as silence");
    }
    if (loudness && loudness->silent) {
        texts.push_back("the output is silent, so it was left as it is instead of brought to the loudness target");
    } else if (loudness && loudness->limitedByTruePeak) {
        char text[160];
        std::snprintf(text, sizeof text,
                      "the loudness target of %.1f LUFS would have pushed the true peak past %.0f dBTP, so the "
                      "output reached %.1f LUFS instead",
                      loudness->targetLoudness, LoudnessTarget::truePeakCeiling, loudness->reachedLoudness);
        texts.push_back(text);
    }
    if (clipping) {
        char peak[32];
        std::snprintf(peak, sizeof peak, "%+.1f", clipping->peakDecibels);
        texts.push_back(std::to_string(clipping->clippedSamples) +
                        (clipping->clippedSamples == 1 ? " sample" : " samples") +
                        " beyond full scale had to be clipped (peak " + peak + " dBFS)");
    }
    return texts;
}

void prepareOutputFolder(const std::filesystem::path& folder) try {
    const std::string pattern = temporaryFileTemplate(folder, "probe");
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    const int probe = ::mkstemps(buffer.data(), 4);
    if (probe < 0) {
        throwUnwritable(
            UnwritableOutputError::Code::folderNotWritable,
            "No file can be created in the folder “" + folder.string() + "”: " + std::strerror(errno) + ".");
    }
    ::close(probe);
    ::unlink(buffer.data());
    removeAbandonedTemporaryFiles(folder);
} catch (...) {
    detail::rethrowAsProcessingError();
}

}  // namespace vesh
