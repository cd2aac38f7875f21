#pragma once

#include <QObject>

#include <filesystem>
#include <memory>
#include <vector>

#include "ui/WindowInteraction.h"

class QApplication;
class QSettings;

namespace vesh {

class Brain;
class MainWindow;

// The application object: creates the process's one `Brain` and its one
// main window and keeps both for the life of the process. Files handed over
// at launch ("Open with", the command line) are shown as waiting and are
// processed as a drop once the model has loaded and a destination is chosen.
class VeshApp : public QObject {
    Q_OBJECT

public:
    // Names the application (settings store, desktop entry, logging), picks the
    // Fusion style and, when VESH_COLOR_SCHEME is "dark" or "light", that
    // palette, and describes the window's own widgets to assistive technology.
    // Call once, after the QApplication exists and before a VeshApp.
    static void configure(QApplication& application);

    // `settings` is the persisted-settings store (the user's, or a test's own).
    VeshApp(std::unique_ptr<QSettings> settings, std::vector<std::filesystem::path> filesToOpen,
            QObject* parent = nullptr);
    ~VeshApp() override;

    Brain& brain() const { return *brain_; }
    MainWindow& window() const { return *window_; }
    const std::vector<std::filesystem::path>& filesToOpen() const { return filesToOpen_; }

private:
    void processFilesToOpenWhenReady();

    WindowInteraction interaction_;
    std::unique_ptr<Brain> brain_;
    std::unique_ptr<MainWindow> window_;
    std::vector<std::filesystem::path> filesToOpen_;
};

}  // namespace vesh
