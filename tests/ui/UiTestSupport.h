#pragma once

#include <QSettings>
#include <QString>
#include <QTemporaryDir>

#include <filesystem>
#include <memory>
#include <optional>
#include <vector>

#include "app/Brain.h"
#include "app/UserInteraction.h"
#include "ui/DropView.h"
#include "ui/MainWindow.h"

namespace vesh::test {

// Answers the core's questions from fixed values and counts them.
class ScriptedInteraction : public UserInteraction {
public:
    ExistingFileAnswer answer = ExistingFileAnswer::replace;
    std::optional<std::filesystem::path> folder;
    int questionsAsked = 0;

    ExistingFileAnswer askAboutExistingFile(const std::string&) override {
        ++questionsAsked;
        return answer;
    }
    std::optional<std::filesystem::path> chooseOutputFolder() override { return folder; }
};

// A settings store of its own in a temporary folder, and room for files.
class Workspace {
public:
    Workspace();

    std::unique_ptr<QSettings> settings() const;
    std::filesystem::path path(const QString& name) const;
    // A folder inside the workspace, created on first use.
    std::filesystem::path folder(const QString& name) const;

private:
    QTemporaryDir directory_;
};

// Writes a 16-bit PCM WAV file of low-level noise. With `distinctChannels`
// every channel gets its own noise; otherwise all channels are identical.
void writeNoiseWav(const std::filesystem::path& path, int channels, double seconds, int sampleRate = 48000,
                   bool distinctChannels = true);

// Waits (spinning the event loop) until the model has loaded; false on timeout.
bool waitForModel(const Brain& brain);

// The window on a brain of its own, with a scripted interaction and workspace.
struct WindowFixture {
    Workspace workspace;
    ScriptedInteraction interaction;
    Brain brain{workspace.settings(), interaction};
    MainWindow window{brain};

    // Shows the window and waits until it is active, spinning the event loop:
    // the model may finish loading meanwhile.
    void show();
    DropView& dropView();
};

}  // namespace vesh::test
