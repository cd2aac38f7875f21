#include "app/Brain.h"

#include <QFile>
#include <QLoggingCategory>
#include <QMetaObject>
#include <QSettings>
#include <QThreadPool>

#include <algorithm>
#include <set>
#include <span>
#include <system_error>

#include "AudioIO/AudioFile.h"
#include "AudioIO/AudioStream.h"
#include "FullBandSpeechEnhancer/VariableLengthSpeechEnhancer.h"
#include "app/ApplicationId.h"

namespace vesh {

namespace {

Q_LOGGING_CATEGORY(modelLog, modelLogCategory, QtInfoMsg)

namespace key {
constexpr char wetDryMix[] = "wetDryMix";
constexpr char filenamePrefix[] = "filenamePrefix";
constexpr char filenameSuffix[] = "filenameSuffix";
constexpr char outputFormatMatchesInput[] = "outputFormatMatchesInput";
constexpr char outputBitDepth[] = "outputBitDepth";
constexpr char outputSampleRate[] = "outputSampleRate";
constexpr char outputFileFormat[] = "outputFileFormat";
}  // namespace key

constexpr double defaultWetDryMix = 1.0;
constexpr bool defaultOutputFormatMatchesInput = false;
constexpr qint64 defaultOutputBitDepth = 24;
constexpr qint64 defaultOutputSampleRate = 48000;
constexpr char defaultOutputFileFormat[] = "wav";

// Reads the persisted settings from one settings object; a value that was
// never written, or cannot be read as its type, reads as its default.
class StoredSettings {
public:
    explicit StoredSettings(const QSettings& store) : store_(store) {}

    double wetDryMix() const {
        bool ok = false;
        const double mix = store_.value(key::wetDryMix).toDouble(&ok);
        return ok ? mix : defaultWetDryMix;
    }
    QString filenamePrefix() const { return store_.value(key::filenamePrefix).toString(); }
    QString filenameSuffix() const { return store_.value(key::filenameSuffix).toString(); }
    bool outputFormatMatchesInput() const {
        const QVariant stored = store_.value(key::outputFormatMatchesInput);
        return stored.isValid() ? stored.toBool() : defaultOutputFormatMatchesInput;
    }
    qint64 outputBitDepth() const { return integer(key::outputBitDepth, defaultOutputBitDepth); }
    qint64 outputSampleRate() const { return integer(key::outputSampleRate, defaultOutputSampleRate); }
    QString outputFileFormat() const {
        const QVariant stored = store_.value(key::outputFileFormat);
        return stored.isValid() ? stored.toString() : QString::fromLatin1(defaultOutputFileFormat);
    }
    // 24-bit, 48000, WAV wherever the store holds something unlisted.
    AudioFormat outputFormat() const {
        AudioFormat format;
        if (const auto bitDepth = bitDepthFromRawValue(outputBitDepth())) format.bitDepth = *bitDepth;
        if (const auto rate = sampleRateFromRawValue(outputSampleRate())) format.sampleRate = *rate;
        if (const auto fileFormat = audioFileFormatFromRawValue(outputFileFormat().toStdString())) {
            format.fileFormat = *fileFormat;
        }
        return format;
    }

private:
    qint64 integer(const char* key, qint64 defaultValue) const {
        bool ok = false;
        const qint64 value = store_.value(key).toLongLong(&ok);
        return ok ? value : defaultValue;
    }

    const QSettings& store_;
};

// Segments of 2.048 s overlapping by 0.512 s at the processing rate.
constexpr std::int64_t processedSegmentLength = 98304;
constexpr std::int64_t crossfadeLength = 24576;

QString displayName(const std::filesystem::path& path) {
    return QFile::decodeName(QByteArray::fromStdString(path.filename().native()));
}

QString displayPath(const std::filesystem::path& path) {
    return QFile::decodeName(QByteArray::fromStdString(path.native()));
}

// Any file-system item, a dangling link included, counts as existing.
bool itemExists(const std::filesystem::path& path) {
    std::error_code error;
    const auto status = std::filesystem::symlink_status(path, error);
    return status.type() != std::filesystem::file_type::not_found && status.type() != std::filesystem::file_type::none;
}

std::string existingFileQuestion(const std::filesystem::path& location) {
    return "A file named “" + location.filename().string() +
           "” already exists in the output folder. Do you want to skip it, replace it, or stop processing "
           "altogether?";
}

bool isUserCancellation(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const VariableLengthSpeechEnhancer::Error& cancellation) {
        return cancellation.code() == VariableLengthSpeechEnhancer::Error::Code::userCancelledProcessing;
    } catch (const AudioError& audioError) {
        if (!audioError.base()) return false;
        try {
            std::rethrow_exception(audioError.base());
        } catch (const VariableLengthSpeechEnhancer::Error& cancellation) {
            return cancellation.code() == VariableLengthSpeechEnhancer::Error::Code::userCancelledProcessing;
        } catch (...) {
            return false;
        }
    } catch (...) {
        return false;
    }
}

CommonAudioFileFormat::FileType writerFileType(AudioFileFormat fileFormat) {
    switch (fileFormat) {
    case AudioFileFormat::wav: return CommonAudioFileFormat::FileType::wav;
    case AudioFileFormat::aiff: return CommonAudioFileFormat::FileType::aiff;
    case AudioFileFormat::flac: return CommonAudioFileFormat::FileType::flac;
    }
    return CommonAudioFileFormat::FileType::wav;
}

bool channelsAreIdentical(const AudioStream& stream) {
    const auto& channels = stream.channels();
    for (std::size_t i = 1; i < channels.size(); ++i) {
        if (!(channels[i] == channels[i - 1])) return false;
    }
    return true;
}

}  // namespace

// The processing side of one batch. It runs on a worker of the Brain's pool,
// reads the settings and the cancel flag directly, and posts every change of
// published state to the main thread.
struct Brain::Batch {
    Brain& brain;
    VariableLengthSpeechEnhancer& enhancer;
    // A settings object of this thread on the Brain's store: settings objects
    // are not shared between threads, but see each other's changes at once.
    QSettings store;
    StoredSettings settings{store};

    Batch(Brain& brain, VariableLengthSpeechEnhancer& enhancer, const QString& storeFile, QSettings::Format format)
        : brain(brain), enhancer(enhancer), store(storeFile, format) {}

    void run(const std::vector<Operation>& operations) {
        bool cancelled = false;
        for (const Operation& operation : operations) {
            brain.post([name = displayName(operation.source)](Brain& b) { b.setNameOfFileBeingProcessed(name); });
            try {
                const std::filesystem::path writtenTo = processOperation(operation);
                brain.post([source = displayPath(operation.source), written = displayPath(writtenTo)](Brain& b) {
                    emit b.fileFinished(source, written);
                });
            } catch (...) {
                const std::exception_ptr error = std::current_exception();
                cancelled = isUserCancellation(error);
                if (!cancelled) {
                    brain.post([error](Brain& b) { b.raiseAlert(error); });
                }
                break;
            }
        }
        brain.post([cancelled](Brain& b) {
            b.setModelIsProcessing(false);
            b.setShouldCancelProcessing(false);
            b.setProgress(Progress{});
            emit b.batchFinished(cancelled);
        });
    }

    // The settings are read once per file, when its processing starts.
    std::filesystem::path processOperation(const Operation& operation) {
        const bool matchesInput = settings.outputFormatMatchesInput();
        // Taken as stored: a rate outside the listed ones is used as it is.
        const std::int64_t outputSampleRate = settings.outputSampleRate();
        const std::int64_t outputBitDepth = settings.outputBitDepth();
        const std::string outputFileFormat = settings.outputFileFormat().toStdString();
        return processFile(operation.source, operation.target, matchesInput, outputSampleRate, outputBitDepth,
                           outputFileFormat);
    }

    // Returns where the file was written: the target, or the writer's
    // fallback location when it could not match the source's format.
    std::filesystem::path processFile(const std::filesystem::path& source, const std::filesystem::path& target,
                                      bool matchesInput, std::int64_t outputSampleRate, std::int64_t outputBitDepth,
                                      const std::string& outputFileFormat) {
        const AudioFile file(source);
        const AudioStream atProcessingRate = AudioStream(file).resampled(
            Brain::sampleRate, SampleRateConverterAlgorithm::mastering, AudioQuality::maximum);

        AudioStream result = enhanced(atProcessingRate);

        const std::int64_t outputRate = matchesInput ? file.sampleRate() : outputSampleRate;
        if (result.sampleRate() != outputRate) {
            result = result.resampled(outputRate, SampleRateConverterAlgorithm::normal, AudioQuality::maximum);
        }

        const CommonAudioFileFormat fileFormat = commonAudioFileFormat(outputBitDepth, outputFileFormat);
        if (matchesInput) return result.write(target, file, fileFormat);
        result.write(target, fileFormat);
        return target;
    }

    // Identical channels are enhanced once and the result serves every channel.
    AudioStream enhanced(const AudioStream& stream) {
        if (channelsAreIdentical(stream)) {
            resetProgress(1);
            if (stream.channels().empty()) return stream;
            const AudioStream::Channel& first = stream.channels().front();
            const AudioStream::Channel result(first.sampleRate, enhanceChannel(0, first.samples));
            return stream.map([&result](const AudioStream::Channel&) { return result; });
        }
        resetProgress(stream.channels().size());
        return stream.enumeratedMap([this](std::int64_t index, const AudioStream::Channel& channel) {
            return AudioStream::Channel(channel.sampleRate, enhanceChannel(index, channel.samples));
        });
    }

    std::vector<float> enhanceChannel(std::int64_t index, std::span<const float> dry) {
        std::vector<float> wet(dry.size());
        try {
            enhancer.enhance(dry, wet, [this, index](VariableLengthSpeechEnhancer::Progress progress) {
                return reportProgress(index, progress);
            });
        } catch (const VariableLengthSpeechEnhancer::Error&) {
            throw;
        } catch (...) {
            throw AppError::Base(AppError::Base::Code::failedToEnhanceAudio);
        }

        // Below 1 the dry signal is mixed in; 1 and above (or not a number)
        // leave the enhancer's output as it is.
        const double mix = settings.wetDryMix();
        if (mix < 1.0) {
            const float wetShare = static_cast<float>(mix);
            const float dryShare = static_cast<float>(1.0 - mix);
            for (std::size_t k = 0; k < wet.size(); ++k) wet[k] = wet[k] * wetShare + dry[k] * dryShare;
        }
        return wet;
    }

    void resetProgress(std::size_t entries) {
        brain.post([entries](Brain& b) { b.setProgress(Progress{std::vector<double>(entries, 0.0)}); });
    }

    // Called by the enhancer on this thread before each segment and at the end.
    VariableLengthSpeechEnhancer::ProgressResponse reportProgress(std::int64_t channel,
                                                                  VariableLengthSpeechEnhancer::Progress progress) {
        const double fraction =
            static_cast<double>(progress.nextSegmentIndex) / static_cast<double>(progress.totalSegmentCount);
        brain.post([channel, fraction](Brain& b) { b.setProgressEntry(static_cast<std::size_t>(channel), fraction); });
        return brain.shouldCancelProcessing_.load()
                   ? VariableLengthSpeechEnhancer::ProgressResponse::stopProcessing
                   : VariableLengthSpeechEnhancer::ProgressResponse::continueProcessing;
    }
};

Brain::Brain(std::unique_ptr<QSettings> settings, UserInteraction& interaction, QObject* parent)
    : QObject(parent), settings_(std::move(settings)), interaction_(interaction),
      pool_(std::make_unique<QThreadPool>()) {
    loadModel();
}

Brain::~Brain() {
    // A running batch stops at its next progress report; the pool's tasks use
    // this object until they end.
    shouldCancelProcessing_.store(true);
    pool_->waitForDone();
}

template <typename Change>
void Brain::post(Change&& change) {
    QMetaObject::invokeMethod(
        this,
        [self = QPointer<Brain>(this), change = std::forward<Change>(change)]() mutable {
            if (self) change(*self);
        },
        Qt::QueuedConnection);
}

void Brain::loadModel() {
    if (speechEnhancer_) return;
    setModelIsLoading(true);
    const ModelParameters parameters{processedSegmentLength, crossfadeLength, sampleRate, computeUnits_};
    pool_->start([this, parameters] {
        try {
            auto enhancer = std::make_shared<VariableLengthSpeechEnhancer>(parameters);
            qCInfo(modelLog, "Speech enhancer model version: %s", enhancer->metadata().version.c_str());
            post([enhancer = std::move(enhancer)](Brain& b) {
                b.speechEnhancer_ = enhancer;
                b.setModelIsLoading(false);
            });
        } catch (...) {
            // A failed load is shown: without a model nothing can be processed.
            post([error = std::current_exception()](Brain& b) {
                b.raiseAlert(error);
                b.setModelIsLoading(false);
            });
        }
    });
}

void Brain::raiseAlert(std::exception_ptr error) {
    setError(AppError(std::move(error), AppState{outputFormatMatchesInput()}));
    setAlertIsDisplayed(true);
}

void Brain::processDroppedFiles(const std::vector<std::filesystem::path>& urls) {
    // One batch at a time: the enhancer serves one call at a time.
    if (modelIsProcessing_) return;

    std::vector<Operation> operations;
    try {
        // Without a model nothing is processed; the user is not asked about
        // existing files first.
        if (outputFolder_ && !urls.empty() && !speechEnhancer_) {
            throw AppError::Base(AppError::Base::Code::failedToEnhanceAudio);
        }
        operations = makeOperations(urls);
    } catch (...) {
        raiseAlert(std::current_exception());
        return;
    }
    if (operations.empty()) return;

    setModelIsProcessing(true);
    pool_->start([this, enhancer = speechEnhancer_, operations = std::move(operations),
                  storeFile = settings_->fileName(),
                  format = settings_->format()] { Batch(*this, *enhancer, storeFile, format).run(operations); });
}

std::vector<Brain::Operation> Brain::makeOperations(const std::vector<std::filesystem::path>& urls) {
    if (!outputFolder_) throw AppError::Base(AppError::Base::Code::missingOutputFolder);
    if (urls.empty()) return {};

    const bool matchesInput = outputFormatMatchesInput();
    const AudioFormat format = outputFormat();
    const std::string prefix = QFile::encodeName(filenamePrefix()).toStdString();
    const std::string suffix = QFile::encodeName(filenameSuffix()).toStdString();
    const CommonAudioFileFormat::FileType fallbackType = writerFileType(format.fileFormat);

    std::vector<Operation> operations;
    // Locations that accepted operations will write: a later source mapping
    // to one of them is treated like an existing file.
    std::set<std::filesystem::path> claimed;

    for (const std::filesystem::path& source : urls) {
        std::string extension = source.extension().string();
        if (!extension.empty()) extension.erase(0, 1);
        if (!matchesInput) extension = fileExtension(format.fileFormat);

        std::filesystem::path target = *outputFolder_ / (prefix + source.stem().string() + suffix);
        if (!extension.empty()) target += "." + extension;

        // A write that matches the source may fall back to the chosen format
        // under the fallback's extension; that location is asked about too.
        std::vector<std::filesystem::path> locations{target};
        if (matchesInput) {
            std::filesystem::path fallback = target;
            fallback.replace_extension(CommonAudioFileFormat::pathExtension(fallbackType));
            if (fallback != target) locations.push_back(fallback);
        }

        bool accepted = true;
        for (const std::filesystem::path& location : locations) {
            if (!itemExists(location) && !claimed.contains(location)) continue;
            const auto answer = interaction_.askAboutExistingFile(existingFileQuestion(location));
            if (answer == UserInteraction::ExistingFileAnswer::replace) continue;
            if (answer == UserInteraction::ExistingFileAnswer::skip) {
                accepted = false;
                break;
            }
            return {};
        }
        if (!accepted) continue;

        claimed.insert(locations.begin(), locations.end());
        operations.push_back(Operation{source, target, format});
    }
    return operations;
}

QList<double> Brain::progressChannels() const {
    return QList<double>(progress_.channels.begin(), progress_.channels.end());
}

void Brain::setAlertIsDisplayed(bool displayed) {
    if (alertIsDisplayed_ == displayed) return;
    alertIsDisplayed_ = displayed;
    emit alertIsDisplayedChanged();
}

void Brain::setShouldCancelProcessing(bool cancel) {
    if (shouldCancelProcessing_.exchange(cancel) == cancel) return;
    emit shouldCancelProcessingChanged();
}

void Brain::setComputeUnits(ComputeUnits units) {
    if (computeUnits_ == units) return;
    computeUnits_ = units;
    loadModel();
}

QString Brain::modelVersion() const {
    return speechEnhancer_ ? QString::fromStdString(speechEnhancer_->metadata().version) : QString();
}

void Brain::setModelIsLoading(bool loading) {
    if (modelIsLoading_ == loading) return;
    modelIsLoading_ = loading;
    emit modelIsLoadingChanged();
}

void Brain::setModelIsProcessing(bool processing) {
    if (modelIsProcessing_ == processing) return;
    modelIsProcessing_ = processing;
    emit modelIsProcessingChanged();
}

void Brain::setProgress(Progress progress) {
    if (progress_ == progress) return;
    progress_ = std::move(progress);
    emit progressChanged();
}

void Brain::setProgressEntry(std::size_t channel, double fraction) {
    if (channel >= progress_.channels.size() || progress_.channels[channel] == fraction) return;
    progress_.channels[channel] = fraction;
    emit progressChanged();
}

void Brain::setError(AppError error) {
    error_ = std::move(error);
    emit errorChanged();
}

void Brain::setNameOfFileBeingProcessed(QString name) {
    if (nameOfFileBeingProcessed_ == name) return;
    nameOfFileBeingProcessed_ = std::move(name);
    emit nameOfFileBeingProcessedChanged();
}

void Brain::store(const char* key, const QVariant& value) { settings_->setValue(QLatin1String(key), value); }

template <typename Value>
void Brain::storeSetting(const char* key, const Value& old, const Value& value, void (Brain::*changed)()) {
    store(key, QVariant::fromValue(value));
    if (old != value) emit(this->*changed)();
}

double Brain::wetDryMix() const { return StoredSettings(*settings_).wetDryMix(); }

void Brain::setWetDryMix(double mix) { storeSetting(key::wetDryMix, wetDryMix(), mix, &Brain::wetDryMixChanged); }

QString Brain::filenamePrefix() const { return StoredSettings(*settings_).filenamePrefix(); }

void Brain::setFilenamePrefix(const QString& prefix) {
    storeSetting(key::filenamePrefix, filenamePrefix(), prefix, &Brain::filenamePrefixChanged);
}

QString Brain::filenameSuffix() const { return StoredSettings(*settings_).filenameSuffix(); }

void Brain::setFilenameSuffix(const QString& suffix) {
    storeSetting(key::filenameSuffix, filenameSuffix(), suffix, &Brain::filenameSuffixChanged);
}

bool Brain::outputFormatMatchesInput() const { return StoredSettings(*settings_).outputFormatMatchesInput(); }

void Brain::setOutputFormatMatchesInput(bool matches) {
    storeSetting(key::outputFormatMatchesInput, outputFormatMatchesInput(), matches,
                 &Brain::outputFormatMatchesInputChanged);
}

qint64 Brain::outputBitDepth() const { return StoredSettings(*settings_).outputBitDepth(); }

void Brain::setOutputBitDepth(qint64 bitDepth) {
    storeSetting(key::outputBitDepth, outputBitDepth(), bitDepth, &Brain::outputFormatChanged);
}

qint64 Brain::outputSampleRate() const { return StoredSettings(*settings_).outputSampleRate(); }

void Brain::setOutputSampleRate(qint64 rate) {
    storeSetting(key::outputSampleRate, outputSampleRate(), rate, &Brain::outputFormatChanged);
}

QString Brain::outputFileFormat() const { return StoredSettings(*settings_).outputFileFormat(); }

void Brain::setOutputFileFormat(const QString& fileFormat) {
    storeSetting(key::outputFileFormat, outputFileFormat(), fileFormat, &Brain::outputFormatChanged);
}

AudioFormat Brain::outputFormat() const { return StoredSettings(*settings_).outputFormat(); }

void Brain::setOutputFormat(const AudioFormat& format) {
    const qint64 bitDepth = rawValue(format.bitDepth);
    const qint64 rate = rawValue(format.sampleRate);
    const QString fileFormat = QString::fromStdString(rawValue(format.fileFormat));
    const bool changed = outputBitDepth() != bitDepth || outputSampleRate() != rate || outputFileFormat() != fileFormat;
    store(key::outputBitDepth, bitDepth);
    store(key::outputSampleRate, rate);
    store(key::outputFileFormat, fileFormat);
    if (changed) emit outputFormatChanged();
}

void Brain::setOutputFolder(std::optional<std::filesystem::path> folder) {
    if (outputFolder_ == folder) return;
    outputFolder_ = std::move(folder);
    emit outputFolderChanged();
}

void Brain::chooseOutputFolder() {
    if (auto folder = interaction_.chooseOutputFolder()) setOutputFolder(std::move(folder));
}

}  // namespace vesh
