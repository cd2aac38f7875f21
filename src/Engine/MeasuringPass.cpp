#include "MeasuringPass.h"

#include <sys/stat.h>

#include <cmath>
#include <cstring>
#include <string>

#include "AudioIO/AudioError.h"

namespace vesh::detail {

namespace {

// The handler hears from the call at least this often, so that a cancel
// request acts well within a second wherever the call is.
constexpr auto reportInterval = std::chrono::milliseconds(100);

}  // namespace

void Checkpoints::check(bool now) {
    const Clock::time_point time = Clock::now();
    if (!now && time - lastReport_ < reportInterval) return;
    lastReport_ = time;
    if (!handler_) return;
    for (std::size_t entry = 0; entry < values_.size(); ++entry) {
        values_[entry] = measuringShare_ * measured_ + (1.0 - measuringShare_) * enhanced_[entry];
    }
    if (handler_(values_) == ProcessingOptions::Response::stopProcessing) {
        throw ProcessingError(ProcessingError::Code::cancelled);
    }
}

void throwReadError(int code, const std::string& what) {
    try {
        throw AudioLibraryError("file system", code, what + ": " + std::strerror(code));
    } catch (...) {
        throw AudioError::wrappingCurrent(AudioError::Operation::readAudioFile);
    }
}

Fingerprint fingerprint(const std::filesystem::path& file) {
    struct stat status {};
    if (::stat(file.c_str(), &status) != 0) throwReadError(errno, "reading " + file.string());
    return Fingerprint{static_cast<std::int64_t>(status.st_size),
                       static_cast<std::int64_t>(status.st_mtim.tv_sec) * 1'000'000'000 + status.st_mtim.tv_nsec};
}

void throwSourceChanged() {
    throw AudioError(std::make_exception_ptr(ProcessingError(ProcessingError::Code::sourceChanged)),
                     AudioError::Operation::readAudioFile);
}

bool isRegularFile(const std::filesystem::path& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

ConvertedReader::ConvertedReader(AudioFile& input, std::int64_t processingRate) : input_(input) {
    const auto channels = static_cast<std::size_t>(input_.channelCount());
    for (std::size_t channel = 0; channel < channels; ++channel) {
        toProcessingRate_.emplace_back(input_.sampleRate(), processingRate, SampleRateConverterAlgorithm::mastering,
                                       AudioQuality::maximum);
    }
}

bool ConvertedReader::read(std::vector<std::vector<float>>& converted) {
    if (finished_) return false;
    converted.resize(channelCount());
    for (auto& samples : converted) samples.clear();
    if (input_.read(decoded_)) {
        for (auto& samples : decoded_) {
            for (float& sample : samples) {
                // Also false for NaN.
                if (!(std::fabs(sample) <= largestPlausibleSample)) {
                    sample = 0.0f;
                    ++replacedSamples_;
                }
            }
        }
        for (std::size_t channel = 0; channel < channelCount(); ++channel) {
            toProcessingRate_[channel].process(decoded_[channel], converted[channel]);
        }
    } else {
        for (std::size_t channel = 0; channel < channelCount(); ++channel) {
            toProcessingRate_[channel].finish(converted[channel]);
        }
        finished_ = true;
    }
    return true;
}

Measurement measure(AudioFile& source, std::int64_t processingRate, Checkpoints& checkpoints,
                    const std::function<void(const std::vector<std::vector<float>>&)>& takeConverted) {
    ConvertedReader input(source, processingRate);
    const std::size_t channelCount = input.channelCount();
    checkpoints.setEntryCount(channelCount);
    checkpoints.check(true);

    std::vector<LoudnessMeter> meters;
    for (std::size_t channel = 0; channel < channelCount; ++channel) meters.emplace_back(processingRate);

    Measurement result;
    std::vector<std::vector<float>> converted;
    while (input.read(converted)) {
        for (std::size_t channel = 0; channel < channelCount; ++channel) {
            enhancing([&] { meters[channel].add(converted[channel]); });
            if (result.identicalChannels && channel > 0 && converted[channel] != converted[channel - 1]) {
                result.identicalChannels = false;
            }
        }
        if (channelCount > 0) result.processingLength += static_cast<std::int64_t>(converted.front().size());
        takeConverted(converted);
        checkpoints.setMeasured(input.fractionRead());
        checkpoints.check();
    }

    result.replacedSamples = input.replacedSamples();
    for (const LoudnessMeter& meter : meters) {
        enhancing([&] { result.loudness.push_back(meter.integratedLoudness()); });
    }
    checkpoints.setMeasured(1.0);
    if (result.identicalChannels) checkpoints.setEntryCount(1);
    checkpoints.check(true);
    return result;
}

}  // namespace vesh::detail
