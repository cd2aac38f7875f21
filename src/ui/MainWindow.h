#pragma once

#include <QMainWindow>

class QAction;
class QToolBar;

namespace vesh {

class Brain;
class ContentView;
class ErrorAlert;

// The application's one window, titled "Vesh": a toolbar with the sidebar
// button over the content view, and the error alert.
class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    explicit MainWindow(Brain& brain, QWidget* parent = nullptr);

    ContentView* contentView() const { return contentView_; }
    QAction* toggleSidebarAction() const { return toggleSidebarAction_; }
    ErrorAlert* errorAlert() const { return errorAlert_; }

protected:
    void changeEvent(QEvent* event) override;

private:
    void updateToggleSidebarAction();

    ContentView* contentView_;
    QToolBar* toolBar_;
    QAction* toggleSidebarAction_;
    QAction* fullScreenAction_;
    ErrorAlert* errorAlert_;
};

}  // namespace vesh
