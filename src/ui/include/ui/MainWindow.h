#pragma once

#include <QMainWindow>
#include <QPointer>

#include <filesystem>
#include <functional>
#include <vector>

#include "ui/AudioFileDialog.h"

class QAction;
class QToolBar;
class QToolButton;

namespace vesh {

class Brain;
class ContentView;
class ErrorAlert;
class PreviewDialog;

// The application's one window, titled "Vesh": a toolbar with the sidebar
// button, "Add Files…" and "Preview…" over the content view, and the error
// alert. The Tab key visits Add Files, Preview, the sidebar's controls,
// Cancel and the finished batch's files and "Show in Folder" in this order.
class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    // Asks the user for files (several, or one); empty when cancelled.
    using FileChooser = std::function<std::vector<std::filesystem::path>(FileSelection)>;

    explicit MainWindow(Brain& brain, QWidget* parent = nullptr);

    ContentView* contentView() const { return contentView_; }
    QAction* toggleSidebarAction() const { return toggleSidebarAction_; }
    QAction* addFilesAction() const { return addFilesAction_; }
    QToolButton* addFilesButton() const { return addFilesButton_; }
    QAction* previewAction() const { return previewAction_; }
    // The open preview or comparison, if any.
    PreviewDialog* previewDialog() const;
    ErrorAlert* errorAlert() const { return errorAlert_; }

    // Replaces the open dialog behind "Add Files…", "Preview…" and the click on the drop area.
    void setFileChooser(FileChooser chooser);

protected:
    void changeEvent(QEvent* event) override;

private:
    // Asks for files and hands them to `Brain` as a drop; allowed when a drop is.
    void addFiles();
    void updateAddFilesAction();
    // Asks for one file and opens a preview of it; allowed when Brain can preview.
    void preview();
    void updatePreviewAction();
    // Opens a comparison of a written file with its original.
    void compare(const std::filesystem::path& source, const std::filesystem::path& written);
    void updateToolBarIcons();
    void updateToggleSidebarAction();
    // Cancel takes the focus while a batch runs, Add Files when it has ended.
    void moveFocusWithTheBatch();

    Brain& brain_;
    FileChooser fileChooser_;
    ContentView* contentView_;
    QToolBar* toolBar_;
    QAction* toggleSidebarAction_;
    QAction* addFilesAction_;
    QToolButton* addFilesButton_;
    QAction* previewAction_;
    QToolButton* previewButton_;
    QPointer<PreviewDialog> previewDialog_;
    QAction* fullScreenAction_;
    ErrorAlert* errorAlert_;
};

}  // namespace vesh
