#pragma once

#include <QDir>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>
#include <filesystem>
#include <memory>
#include <optional>
#include <vector>

#include "Signals.h"
#include "TestSupport.h"
#include "app/Brain.h"
#include "app/UserInteraction.h"
#include "ui/AudioFileDialog.h"
#include "ui/ContentView.h"
#include "ui/DropView.h"
#include "ui/MainWindow.h"

namespace vesh::test {

// Answers the core's questions from fixed values.
class ScriptedInteraction : public UserInteraction {
public:
    ExistingFileAnswer answer = ExistingFileAnswer::replace;
    std::optional<std::filesystem::path> folder;

    ExistingFileReply askAboutExistingFile(const std::string&, bool) override { return {answer}; }
    std::optional<std::filesystem::path> chooseOutputFolder() override { return folder; }
};

// A settings store of its own in a temporary folder, and room for files.
class Workspace {
public:
    std::unique_ptr<QSettings> settings() const {
        return std::make_unique<QSettings>(directory_.filePath(QStringLiteral("settings.ini")), QSettings::IniFormat);
    }
    std::filesystem::path path(const QString& name) const { return directory_.filePath(name).toStdString(); }
    // A folder inside the workspace, created on first use.
    std::filesystem::path folder(const QString& name) const {
        QDir(directory_.path()).mkpath(name);
        return path(name);
    }

private:
    QTemporaryDir directory_;
};

// Writes a 48 kHz 16-bit WAV file of low-level noise, different in every channel.
inline void writeNoiseWav(const std::filesystem::path& path, int channels, double seconds) {
    std::vector<std::vector<float>> samples;
    for (int channel = 0; channel < channels; ++channel) {
        samples.push_back(noise(std::llround(seconds * 48000), 0.05f, 7 + unsigned(channel)));
    }
    audiotest::writeSoundFile(path, samples, 48000, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
}

// Waits (spinning the event loop) until the model has loaded; false on timeout.
inline bool waitForModel(const Brain& brain) {
    return QTest::qWaitFor([&] { return !brain.modelIsLoading(); }, 30000);
}

// The window on a brain of its own, with a scripted interaction, a workspace
// and, in place of the open dialog, a chooser that records how it was asked
// and hands over `chosen`.
struct WindowFixture {
    Workspace workspace;
    ScriptedInteraction interaction;
    Brain brain{workspace.settings(), interaction};
    MainWindow window{brain};
    std::vector<std::filesystem::path> chosen;
    std::vector<FileSelection> asked;

    WindowFixture() {
        window.setFileChooser([this](FileSelection selection) {
            asked.push_back(selection);
            return chosen;
        });
    }

    // Shows the window and waits until it is active, spinning the event loop:
    // the model may finish loading meanwhile.
    void show() {
        window.show();
        if (!QTest::qWaitForWindowActive(&window)) {
            qFatal("the window did not become active");
        }
    }

    // Shows the window, waits for the model and chooses the folder "out", which it returns.
    std::filesystem::path showReadyForFiles() {
        show();
        if (!waitForModel(brain)) {
            qFatal("the model did not load");
        }
        brain.setOutputFolder(workspace.folder(QStringLiteral("out")));
        return workspace.path(QStringLiteral("out"));
    }

    DropView& dropView() { return *window.contentView()->dropView(); }
};

}  // namespace vesh::test
