#pragma once

#include <QSettings>
#include <QString>
#include <QTemporaryDir>

#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "app/Brain.h"
#include "app/UserInteraction.h"

namespace vesh::testing {

// Audio files are made and read with the AudioIO tests' helpers.
using audiotest::readSoundFile;
using audiotest::SoundFile;
using audiotest::writeSoundFile;
using test::entries;
using test::sine;

// A test model from tests/data/models, e.g. "zeros.onnx".
std::string modelPath(const std::string& name);

// Waits (at most a minute, handling events) until a reader opens the FIFO
// `pipe`, runs `whenOpened`, then writes the contents of `file` into the
// FIFO and closes it. False when no reader came.
bool feedPipe(const std::filesystem::path& pipe, const std::filesystem::path& file,
              const std::function<void()>& whenOpened);

// Answers the existing-file question from a script and records every
// question, and whether it offered "Apply to all".
class ScriptedInteraction : public UserInteraction {
public:
    std::deque<ExistingFileReply> answers;
    std::vector<std::string> questions;
    std::vector<bool> offeredApplyToAll;
    std::optional<std::filesystem::path> chosenFolder;

    ExistingFileReply askAboutExistingFile(const std::string& informativeText, bool offersApplyToAll) override;
    std::optional<std::filesystem::path> chooseOutputFolder() override { return chosenFolder; }
};

// A Brain with a settings store, input and output folders of its own, on a
// chosen test model.
class BrainHarness {
public:
    explicit BrainHarness(const std::string& model);
    ~BrainHarness();

    // (Re)creates the Brain on the same settings file and waits for its model.
    void restart();
    // Writes `values` into the settings file while no Brain runs, as an
    // edit from outside would, and restarts.
    void restartWithStored(const QVariantMap& values);
    // Drops the files and waits for the end of the batch; false when no batch started.
    bool process(const std::vector<std::filesystem::path>& sources);

    std::filesystem::path input(const std::string& name) const { return inputFolder / name; }
    std::filesystem::path output(const std::string& name) const { return outputFolder / name; }
    QString settingsFile() const { return folder.filePath("settings.ini"); }

    QTemporaryDir folder;
    ScriptedInteraction interaction;
    std::unique_ptr<Brain> brain;
    std::filesystem::path inputFolder;
    std::filesystem::path outputFolder;
};

}  // namespace vesh::testing
