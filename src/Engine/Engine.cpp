#include "Engine/Engine.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "AudioIO/AudioError.h"
#include "AudioIO/AudioFile.h"
#include "AudioIO/AudioFileWriter.h"
#include "AudioIO/Resampling.h"
#include "AudioIO/TemporaryFiles.h"
#include "FullBandSpeechEnhancer/VariableLengthSpeechEnhancer.h"
#include "Loudness/Loudness.h"
#include "Support/FatalError.h"

namespace vesh {

namespace {

using Clock = std::chrono::steady_clock;
using Response = ProcessingOptions::Response;

// The handler hears from the call at least this often, so that a cancel
// request acts well within a second wherever the call is.
constexpr auto reportInterval = std::chrono::milliseconds(100);

// The measuring pass (decoding, conversion to the processing rate, loudness)
// costs about a tenth of the second pass, which adds the model.
constexpr double measuringShare = 0.1;

// Frames of the converted signal carried through the second pass at a time.
constexpr std::size_t framesPerBlock = 8192;

// How long a wait for a pipe's data lasts before the handler is asked again.
constexpr int pipeWaitMilliseconds = 100;

// The progress entries and the cancel checks of one call.
class Checkpoints {
public:
    explicit Checkpoints(const ProcessingOptions::ProgressHandler& handler) : handler_(handler) {}

    void setEntryCount(std::size_t count) {
        enhanced_.assign(count, 0.0);
        values_.assign(count, 0.0);
    }
    void setMeasured(double fraction) { measured_ = std::clamp(fraction, 0.0, 1.0); }
    void setEnhanced(std::size_t entry, double fraction) { enhanced_[entry] = std::clamp(fraction, 0.0, 1.0); }

    // Reports when a report is due (always with `now`); throws
    // ProcessingError(cancelled) when the handler answers stopProcessing.
    void check(bool now = false) {
        const Clock::time_point time = Clock::now();
        if (!now && time - lastReport_ < reportInterval) return;
        lastReport_ = time;
        if (!handler_) return;
        for (std::size_t entry = 0; entry < values_.size(); ++entry) {
            values_[entry] = measuringShare * measured_ + (1.0 - measuringShare) * enhanced_[entry];
        }
        if (handler_(values_) == Response::stopProcessing) {
            throw ProcessingError(ProcessingError::Code::cancelled);
        }
    }

private:
    const ProcessingOptions::ProgressHandler& handler_;
    double measured_ = 0.0;
    std::vector<double> enhanced_;
    std::vector<double> values_;
    Clock::time_point lastReport_{};
};

[[noreturn]] void throwReadError(int code, const std::string& what) {
    try {
        throw AudioLibraryError("file system", code, what + ": " + std::strerror(code));
    } catch (...) {
        throw AudioError::wrappingCurrent(AudioError::Operation::readAudioFile);
    }
}

class FileDescriptor {
public:
    explicit FileDescriptor(int descriptor) : descriptor_(descriptor) {}
    ~FileDescriptor() {
        if (descriptor_ >= 0) ::close(descriptor_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return descriptor_; }

private:
    int descriptor_;
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
            if (!path.empty()) ::unlink(path.c_str());
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

// The signal at the processing rate, kept between the passes in an unnamed
// temporary file in the target's folder, so that the second pass neither
// decodes nor converts again and memory stays bounded. The file has no name,
// so it disappears with its descriptor, even when the process is killed.
// Frames are stored interleaved as 32-bit floats.
class ConvertedSignal {
public:
    ConvertedSignal(const std::filesystem::path& folder, std::size_t channelCount)
        : descriptor_(openUnnamed(folder)), channelCount_(channelCount) {}

    void append(const std::vector<std::vector<float>>& channels) {
        const std::size_t frames = channels.front().size();
        interleaved_.resize(frames * channelCount_);
        for (std::size_t channel = 0; channel < channelCount_; ++channel) {
            if (channels[channel].size() != frames) fatalError("the converted channels differ in length");
            for (std::size_t frame = 0; frame < frames; ++frame) {
                interleaved_[frame * channelCount_ + channel] = channels[channel][frame];
            }
        }
        const auto* bytes = reinterpret_cast<const char*>(interleaved_.data());
        std::size_t remaining = interleaved_.size() * sizeof(float);
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

    // Replaces each of the first `count` channels with the next frames, at
    // most `maximumFrames`; false at the end.
    bool read(std::vector<std::vector<float>>& channels, std::size_t count, std::size_t maximumFrames) {
        interleaved_.resize(maximumFrames * channelCount_);
        auto* bytes = reinterpret_cast<char*>(interleaved_.data());
        const std::size_t wanted = interleaved_.size() * sizeof(float);
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
        for (std::size_t channel = 0; channel < count; ++channel) {
            channels[channel].resize(frames);
            for (std::size_t frame = 0; frame < frames; ++frame) {
                channels[channel][frame] = interleaved_[frame * channelCount_ + channel];
            }
        }
        return frames > 0;
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
};

// What tells a changed source apart: its size and modification time.
struct Fingerprint {
    off_t size = 0;
    std::int64_t modified = 0;  // nanoseconds
    friend bool operator==(const Fingerprint&, const Fingerprint&) = default;
};

Fingerprint fingerprint(const std::filesystem::path& file) {
    struct stat status {};
    if (::stat(file.c_str(), &status) != 0) throwReadError(errno, "reading " + file.string());
    return Fingerprint{status.st_size,
                       static_cast<std::int64_t>(status.st_mtim.tv_sec) * 1'000'000'000 + status.st_mtim.tv_nsec};
}

[[noreturn]] void throwSourceChanged() {
    throw AudioError(std::make_exception_ptr(ProcessingError(ProcessingError::Code::sourceChanged)),
                     AudioError::Operation::readAudioFile);
}

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

// A NaN or infinite sample would spread through the resampler, the loudness
// gain and a whole model segment; as 0 it disturbs only its neighbourhood.
void replaceNonFiniteSamples(std::vector<std::vector<float>>& channels) {
    for (auto& samples : channels) {
        for (float& sample : samples) {
            if (!std::isfinite(sample)) sample = 0.0f;
        }
    }
}

// The first pass: the channels' length and loudness at the processing rate,
// and whether all channels are identical there.
struct Measurement {
    std::int64_t processingLength = 0;
    bool identicalChannels = true;
    std::vector<Loudness> loudness;
};

Measurement measure(AudioFile& input, std::int64_t processingRate, std::optional<ConvertedSignal>& cache,
                    const std::filesystem::path& cacheFolder, Checkpoints& checkpoints) {
    const auto channelCount = static_cast<std::size_t>(input.channelCount());
    checkpoints.setEntryCount(channelCount);
    checkpoints.check(true);
    try {
        cache.emplace(cacheFolder, channelCount);
    } catch (...) {
        throw AudioError::wrappingCurrent(AudioError::Operation::writeAudioFile);
    }

    std::vector<Resampler> toProcessingRate;
    std::vector<LoudnessMeter> meters;
    for (std::size_t channel = 0; channel < channelCount; ++channel) {
        toProcessingRate.emplace_back(input.sampleRate(), processingRate, SampleRateConverterAlgorithm::mastering,
                                      AudioQuality::maximum);
        meters.emplace_back(processingRate);
    }

    Measurement result;
    std::vector<std::vector<float>> block;
    std::vector<std::vector<float>> converted(channelCount);
    const auto take = [&] {
        for (std::size_t channel = 0; channel < channelCount; ++channel) {
            enhancing([&] { meters[channel].add(converted[channel]); });
            if (result.identicalChannels && channel > 0 && converted[channel] != converted[channel - 1]) {
                result.identicalChannels = false;
            }
        }
        result.processingLength += static_cast<std::int64_t>(converted.front().size());
        try {
            cache->append(converted);
        } catch (...) {
            throw AudioError::wrappingCurrent(AudioError::Operation::writeAudioFile);
        }
        for (auto& samples : converted) samples.clear();
    };

    // The second pass reads the converted signal kept here, so both passes
    // see the cleaned samples.
    while (input.read(block)) {
        replaceNonFiniteSamples(block);
        for (std::size_t channel = 0; channel < channelCount; ++channel) {
            toProcessingRate[channel].process(block[channel], converted[channel]);
        }
        take();
        checkpoints.setMeasured(input.fractionRead());
        checkpoints.check();
    }
    for (std::size_t channel = 0; channel < channelCount; ++channel)
        toProcessingRate[channel].finish(converted[channel]);
    take();

    for (const LoudnessMeter& meter : meters) {
        enhancing([&] { result.loudness.push_back(meter.integratedLoudness()); });
    }
    checkpoints.setMeasured(1.0);
    if (result.identicalChannels) checkpoints.setEntryCount(1);
    checkpoints.check(true);
    return result;
}

// The second pass over one enhanced channel (every channel, or the first
// alone when all are identical): enhancement, mix with the untouched signal,
// conversion to the output rate. Its output waits in `ready` until every
// channel can be written.
struct ChannelPipeline {
    ChannelPipeline(VariableLengthSpeechEnhancer::ChannelStream enhancement, std::optional<Resampler> toOutputRate)
        : enhancement(std::move(enhancement)), toOutputRate(std::move(toOutputRate)) {}

    VariableLengthSpeechEnhancer::ChannelStream enhancement;
    std::optional<Resampler> toOutputRate;
    std::vector<float> dry;
    std::vector<float> wet;
    std::vector<float> ready;
    std::int64_t enhancedLength = 0;
};

class SecondPass {
public:
    SecondPass(const AudioFile& source, AudioFileWriter& writer, std::int64_t outputRate,
               const ProcessingOptions& options, const Measurement& measurement, ConvertedSignal& converted,
               Checkpoints& checkpoints)
        : options_(options), measurement_(measurement), converted_(converted), checkpoints_(checkpoints),
          outputRate_(outputRate), writer_(writer) {
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
        views_.resize(measurement.loudness.size());
        block_.resize(pipelines_.size());
    }

    // Everything but the final commit.
    void run() {
        try {
            converted_.rewind();
        } catch (...) {
            throw AudioError::wrappingCurrent(AudioError::Operation::readAudioFile);
        }
        while (readConverted()) {
            for (std::size_t channel = 0; channel < pipelines_.size(); ++channel) enhance(channel, false);
            writeReady();
            checkpoints_.check();
        }
        for (std::size_t channel = 0; channel < pipelines_.size(); ++channel) enhance(channel, true);
        writeReady();
        checkpoints_.check(true);
    }

private:
    bool readConverted() {
        try {
            return converted_.read(block_, pipelines_.size(), framesPerBlock);
        } catch (...) {
            throw AudioError::wrappingCurrent(AudioError::Operation::readAudioFile);
        }
    }

    void enhance(std::size_t channel, bool last) {
        ChannelPipeline& pipeline = pipelines_[channel];
        const std::vector<float> noInput;
        const std::vector<float>& converted = last ? noInput : block_[channel];
        pipeline.dry.insert(pipeline.dry.end(), converted.begin(), converted.end());
        pipeline.wet.clear();
        const auto report = [this](VariableLengthSpeechEnhancer::Progress) {
            checkpoints_.check();
            return VariableLengthSpeechEnhancer::ProgressResponse::continueProcessing;
        };
        enhancing([&] {
            pipeline.enhancement.push(converted, pipeline.wet, report);
            if (last) pipeline.enhancement.finish(pipeline.wet, report);
        });

        // Below 1 the untouched signal is mixed in; 1 and above (or not a
        // number) leave the enhanced signal as it is.
        const std::size_t count = pipeline.wet.size();
        if (options_.wetDryMix < 1.0) {
            const auto wetShare = static_cast<float>(options_.wetDryMix);
            const auto dryShare = static_cast<float>(1.0 - options_.wetDryMix);
            for (std::size_t k = 0; k < count; ++k) {
                pipeline.wet[k] = pipeline.wet[k] * wetShare + pipeline.dry[k] * dryShare;
            }
        }
        pipeline.dry.erase(pipeline.dry.begin(), pipeline.dry.begin() + static_cast<std::ptrdiff_t>(count));
        pipeline.enhancedLength += static_cast<std::int64_t>(count);
        if (measurement_.processingLength > 0) {
            checkpoints_.setEnhanced(channel, static_cast<double>(pipeline.enhancedLength) /
                                                  static_cast<double>(measurement_.processingLength));
        }

        if (pipeline.toOutputRate) {
            pipeline.toOutputRate->process(pipeline.wet, pipeline.ready);
            if (last) pipeline.toOutputRate->finish(pipeline.ready);
        } else {
            pipeline.ready.insert(pipeline.ready.end(), pipeline.wet.begin(), pipeline.wet.end());
        }
    }

    // Writes the frames that every channel has ready.
    void writeReady() {
        std::size_t frames = pipelines_.front().ready.size();
        for (const ChannelPipeline& pipeline : pipelines_) frames = std::min(frames, pipeline.ready.size());
        if (frames == 0) return;
        for (std::size_t channel = 0; channel < views_.size(); ++channel) {
            const ChannelPipeline& pipeline = pipelines_[pipelines_.size() == 1 ? 0 : channel];
            views_[channel] = std::span<const float>(pipeline.ready).first(frames);
        }
        writer_.write(views_);
        for (ChannelPipeline& pipeline : pipelines_) {
            pipeline.ready.erase(pipeline.ready.begin(), pipeline.ready.begin() + static_cast<std::ptrdiff_t>(frames));
        }
    }

    const ProcessingOptions& options_;
    const Measurement& measurement_;
    ConvertedSignal& converted_;
    Checkpoints& checkpoints_;
    std::int64_t outputRate_;
    AudioFileWriter& writer_;
    std::vector<ChannelPipeline> pipelines_;
    std::vector<std::span<const float>> views_;
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

// While a file is processed its folder holds the output and the converted
// signal kept between the passes; both must fit the free space.
void checkFreeSpace(const std::filesystem::path& folder, const AudioFile& source, std::int64_t processingRate,
                    const AudioFileWriter& writer) {
    const std::optional<std::int64_t> converted = expectedLength(source, processingRate);
    if (!converted) return;
    const std::uint64_t needed = writer.estimatedSize() + static_cast<std::uint64_t>(*converted) *
                                                              static_cast<std::uint64_t>(source.channelCount()) *
                                                              sizeof(float);
    struct statvfs space {};
    if (::statvfs(folder.c_str(), &space) != 0) return;
    const std::uint64_t available = static_cast<std::uint64_t>(space.f_bavail) * space.f_frsize;
    if (needed <= available) return;
    throwUnwritable(UnwritableOutputError::Code::notEnoughSpace,
                    "Not enough space in the folder “" + folder.string() + "”: processing “" +
                        source.url().filename().string() + "” needs about " + sizeText(needed) + " there, and " +
                        sizeText(available) + " are free.");
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

bool isRegularFile(const std::filesystem::path& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

}  // namespace

const char* ProcessingError::what() const noexcept {
    switch (code_) {
    case Code::cancelled: return "The user cancelled processing.";
    case Code::failedToEnhance: return "The speech enhancer failed.";
    case Code::sourceChanged: return "The source file changed while it was being processed.";
    case Code::missingEnhancer: return "No speech enhancer is loaded.";
    case Code::stoppedAtExistingFile: return "Processing stopped at an existing output file.";
    }
    return "Processing failed.";
}

ProcessingResult processFile(const std::filesystem::path& source, const std::filesystem::path& target,
                             ProcessingOptions options) {
    if (!options.enhancer) throw ProcessingError(ProcessingError::Code::missingEnhancer);
    Checkpoints checkpoints(options.handleProgress);
    checkpoints.check(true);

    // Temporary files go beside the target, like the writer's own.
    const std::filesystem::path folder = target.has_parent_path() ? target.parent_path() : ".";
    std::optional<SourceCopy> copy;
    if (!isRegularFile(source)) {
        copy.emplace(source, folder, checkpoints);
    }
    const std::filesystem::path& file = copy ? copy->path() : source;

    const Fingerprint before = fingerprint(file);
    // The output is planned before anything is decoded, so that a length its
    // file type cannot hold, a name too long or a full disk end the file at once.
    AudioFile sourceFile(file);
    const std::int64_t processingRate = options.enhancer->parameters().sampleRate;
    const std::int64_t outputRate =
        options.matchSourceFormat ? sourceFile.sampleRate() : options.outputFormat.sampleRate;
    const std::optional<std::int64_t> length = expectedLength(sourceFile, outputRate);
    AudioFileWriter writer =
        options.matchSourceFormat
            ? AudioFileWriter(target, sourceFile, outputRate, options.outputFormat.fileFormat, length)
            : AudioFileWriter(target, options.outputFormat.fileFormat, sourceFile, outputRate, length);
    checkFreeSpace(folder, sourceFile, processingRate, writer);

    std::optional<ConvertedSignal> converted;
    const Measurement measurement = measure(sourceFile, processingRate, converted, folder, checkpoints);
    if (fingerprint(file) != before) throwSourceChanged();
    SecondPass second(sourceFile, writer, outputRate, options, measurement, *converted, checkpoints);
    second.run();
    if (fingerprint(file) != before) throwSourceChanged();

    const double duration = static_cast<double>(measurement.processingLength) / static_cast<double>(processingRate);
    const auto result = [&](std::filesystem::path writtenTo) {
        return ProcessingResult{std::move(writtenTo), duration, sourceFile.damagedStretches(), writer.clipping()};
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
    case ProcessingOptions::ExistingFileResponse::replace: return result(writer.commitReplacing());
    case ProcessingOptions::ExistingFileResponse::skip: return ProcessingResult{{}, duration, {}, std::nullopt};
    case ProcessingOptions::ExistingFileResponse::stop: break;
    }
    throw ProcessingError(ProcessingError::Code::stoppedAtExistingFile);
}

std::vector<std::string> ProcessingResult::warnings() const {
    std::vector<std::string> texts;
    for (const DamagedStretch& stretch : damagedStretches) {
        texts.push_back(stretch.untilEnd ? "the source is damaged from " + timeText(stretch.start, false) +
                                               " to its end; the audio before it was kept"
                                         : "the source is damaged from " + timeText(stretch.start, false) + " to " +
                                               timeText(stretch.end, true) + "; that stretch was replaced by silence");
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

void prepareOutputFolder(const std::filesystem::path& folder) {
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
}

}  // namespace vesh
