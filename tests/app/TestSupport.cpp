#include "TestSupport.h"

#include <QSignalSpy>
#include <QTest>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <numbers>

namespace vesh::testing {

std::string modelPath(const std::string& name) { return std::string(VESH_TEST_MODEL_DIR) + "/" + name; }

void writeSoundFile(const std::filesystem::path& path, const std::vector<std::vector<float>>& channels, int sampleRate,
                    int format) {
    SF_INFO info{};
    info.samplerate = sampleRate;
    info.channels = static_cast<int>(channels.size());
    info.format = format;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
    const std::size_t frames = channels.front().size();
    std::vector<float> interleaved(frames * channels.size());
    for (std::size_t f = 0; f < frames; ++f) {
        for (std::size_t c = 0; c < channels.size(); ++c) interleaved[f * channels.size() + c] = channels[c][f];
    }
    EXPECT_EQ(sf_writef_float(file, interleaved.data(), static_cast<sf_count_t>(frames)),
              static_cast<sf_count_t>(frames));
    sf_close(file);
}

SoundFile readSoundFile(const std::filesystem::path& path) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr) {
        ADD_FAILURE() << "cannot read " << path << ": " << sf_strerror(nullptr);
        return {};
    }
    std::vector<float> interleaved(static_cast<std::size_t>(info.frames * info.channels));
    sf_readf_float(file, interleaved.data(), info.frames);
    sf_close(file);
    SoundFile result{info.samplerate, info.format, {}};
    result.channels.assign(static_cast<std::size_t>(info.channels), std::vector<float>(info.frames));
    for (sf_count_t f = 0; f < info.frames; ++f) {
        for (int c = 0; c < info.channels; ++c) {
            result.channels[c][f] = interleaved[static_cast<std::size_t>(f * info.channels + c)];
        }
    }
    return result;
}

std::vector<float> sine(double frequency, int sampleRate, double seconds) {
    std::vector<float> samples(static_cast<std::size_t>(sampleRate * seconds));
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] = static_cast<float>(0.5 * std::sin(2.0 * std::numbers::pi * frequency * double(i) / sampleRate));
    }
    return samples;
}

std::vector<std::string> folderEntries(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

bool feedPipe(const std::filesystem::path& pipe, const std::filesystem::path& file,
              const std::function<void()>& whenOpened) {
    int descriptor = -1;
    const bool opened = QTest::qWaitFor(
        [&] {
            descriptor = ::open(pipe.c_str(), O_WRONLY | O_NONBLOCK);
            return descriptor >= 0;
        },
        60000);
    if (!opened) return false;
    whenOpened();
    ::fcntl(descriptor, F_SETFL, 0);
    std::ifstream input(file, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(input)), {});
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t written = ::write(descriptor, bytes.data() + done, bytes.size() - done);
        if (written <= 0) break;
        done += static_cast<std::size_t>(written);
    }
    ::close(descriptor);
    return true;
}

UserInteraction::ExistingFileReply ScriptedInteraction::askAboutExistingFile(const std::string& informativeText,
                                                                             bool offersApplyToAll) {
    questions.push_back(informativeText);
    offeredApplyToAll.push_back(offersApplyToAll);
    if (answers.empty()) {
        ADD_FAILURE() << "unexpected question: " << informativeText;
        return {ExistingFileAnswer::stop};
    }
    const ExistingFileReply answer = answers.front();
    answers.pop_front();
    return answer;
}

BrainHarness::BrainHarness(const std::string& model) {
    qputenv("VESH_MODEL_PATH", QByteArray::fromStdString(modelPath(model)));
    inputFolder = std::filesystem::path(folder.filePath("input").toStdString());
    outputFolder = std::filesystem::path(folder.filePath("output").toStdString());
    std::filesystem::create_directories(inputFolder);
    std::filesystem::create_directories(outputFolder);
    restart();
}

BrainHarness::~BrainHarness() {
    brain.reset();
    qunsetenv("VESH_MODEL_PATH");
}

void BrainHarness::restart() {
    brain.reset();
    brain = std::make_unique<Brain>(std::make_unique<QSettings>(settingsFile(), QSettings::IniFormat), interaction);
    EXPECT_TRUE(QTest::qWaitFor([this] { return !brain->modelIsLoading(); }, 60000));
    brain->setOutputFolder(outputFolder);
}

void BrainHarness::restartWithStored(const QVariantMap& values) {
    brain.reset();
    {
        QSettings store(settingsFile(), QSettings::IniFormat);
        for (auto value = values.begin(); value != values.end(); ++value) store.setValue(value.key(), *value);
    }
    restart();
}

bool BrainHarness::process(const std::vector<std::filesystem::path>& sources) {
    QSignalSpy finished(brain.get(), &Brain::batchFinished);
    brain->processDroppedFiles(sources);
    if (!brain->modelIsProcessing()) return false;
    EXPECT_TRUE(finished.wait(120000));
    return true;
}

}  // namespace vesh::testing
