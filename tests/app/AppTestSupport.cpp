#include "AppTestSupport.h"

#include <QSignalSpy>
#include <QTest>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

namespace vesh::testing {

std::string modelPath(const std::string& name) { return std::string(VESH_TEST_MODEL_DIR) + "/" + name; }

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
