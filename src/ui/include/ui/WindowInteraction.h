#pragma once

#include <QPointer>
#include <QWidget>

#include "app/UserInteraction.h"

namespace vesh {

// The window's answers to `Brain`'s questions: the existing-file question as
// a message box with Skip, Replace and Stop (and "Apply to all") and the folder chooser as the
// directory dialog, both modal to the window once it exists.
class WindowInteraction : public UserInteraction {
public:
    void setWindow(QWidget* window) { window_ = window; }

    ExistingFileReply askAboutExistingFile(const std::string& informativeText, bool offersApplyToAll) override;
    std::optional<std::filesystem::path> chooseOutputFolder() override;

private:
    QPointer<QWidget> window_;
    QString lastFolder_;
};

}  // namespace vesh
