#include "ui/MainWindow.h"

#include <QAction>
#include <QEvent>
#include <QListWidget>
#include <QPushButton>
#include <QToolBar>
#include <QToolButton>

#include "app/Brain.h"
#include "ui/Appearance.h"
#include "ui/AudioFileDialog.h"
#include "ui/ContentView.h"
#include "ui/DropView.h"
#include "ui/ErrorAlert.h"
#include "ui/PreviewDialog.h"
#include "ui/Sidebar.h"
#include "ui/SymbolImage.h"

namespace vesh {

namespace {

QIcon toolBarSymbol(const QString& name, const QPalette& palette) {
    QIcon icon;
    for (const qreal ratio : {1.0, 2.0}) {
        icon.addPixmap(symbolPixmap(name, 18, labelColor(palette, LabelLevel::secondary), ratio), QIcon::Normal);
        icon.addPixmap(symbolPixmap(name, 18, labelColor(palette, LabelLevel::primary), ratio), QIcon::Active);
        icon.addPixmap(symbolPixmap(name, 18, labelColor(palette, LabelLevel::tertiary), ratio), QIcon::Disabled);
    }
    return icon;
}

}  // namespace

MainWindow::MainWindow(Brain& brain, QWidget* parent)
    : QMainWindow(parent), brain_(brain),
      fileChooser_([this](FileSelection selection) { return chooseAudioFiles(this, selection); }),
      contentView_(new ContentView(brain, this)), toolBar_(new QToolBar(QStringLiteral("Toolbar"), this)),
      toggleSidebarAction_(new QAction(this)), addFilesAction_(new QAction(QStringLiteral("Add Files…"), this)),
      addFilesButton_(new QToolButton(toolBar_)), previewAction_(new QAction(QStringLiteral("Preview…"), this)),
      previewButton_(new QToolButton(toolBar_)),
      fullScreenAction_(new QAction(QStringLiteral("Enter Full Screen"), this)),
      errorAlert_(new ErrorAlert(brain, *this)) {
    setWindowTitle(QStringLiteral("Vesh"));
    setObjectName(QStringLiteral("main"));
    setCentralWidget(contentView_);
    setContextMenuPolicy(Qt::NoContextMenu);

    toolBar_->setObjectName(QStringLiteral("toolbar"));
    toolBar_->setMovable(false);
    toolBar_->setFloatable(false);
    toolBar_->setIconSize(QSize(18, 18));
    toolBar_->setToolButtonStyle(Qt::ToolButtonIconOnly);
    toolBar_->toggleViewAction()->setEnabled(false);
    addToolBar(Qt::TopToolBarArea, toolBar_);

    toggleSidebarAction_->setObjectName(QStringLiteral("toggleSidebar"));
    toggleSidebarAction_->setShortcut(QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key_S));
    toolBar_->addAction(toggleSidebarAction_);
    connect(toggleSidebarAction_, &QAction::triggered, contentView_, &ContentView::toggleSidebar);
    connect(contentView_, &ContentView::sidebarCollapsedChanged, this, &MainWindow::updateToggleSidebarAction);

    addFilesAction_->setObjectName(QStringLiteral("addFiles"));
    addFilesAction_->setShortcuts(QKeySequence::Open);
    addFilesAction_->setToolTip(QStringLiteral("Choose audio or video files to remove noise from."));
    addFilesButton_->setObjectName(QStringLiteral("addFiles"));
    addFilesButton_->setDefaultAction(addFilesAction_);
    addFilesButton_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    addFilesButton_->setAutoRaise(true);
    toolBar_->addWidget(addFilesButton_);
    connect(addFilesAction_, &QAction::triggered, this, &MainWindow::addFiles);
    connect(contentView_->dropView(), &DropView::addFilesRequested, addFilesAction_, &QAction::trigger);
    connect(contentView_->dropView(), &DropView::compareRequested, this, &MainWindow::compare);
    for (auto changed :
         {&Brain::modelIsLoadingChanged, &Brain::modelIsProcessingChanged, &Brain::outputFolderChanged}) {
        connect(&brain_, changed, this, &MainWindow::updateAddFilesAction);
    }

    previewAction_->setObjectName(QStringLiteral("preview"));
    previewAction_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_P));
    previewAction_->setToolTip(QStringLiteral("Listen to a stretch of one file, original and cleaned."));
    previewButton_->setObjectName(QStringLiteral("preview"));
    previewButton_->setDefaultAction(previewAction_);
    previewButton_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    previewButton_->setAutoRaise(true);
    toolBar_->addWidget(previewButton_);
    connect(previewAction_, &QAction::triggered, this, &MainWindow::preview);
    for (auto changed : {&Brain::modelIsLoadingChanged, &Brain::modelIsProcessingChanged}) {
        connect(&brain_, changed, this, &MainWindow::updatePreviewAction);
    }

    // After the views have followed the change.
    connect(&brain_, &Brain::modelIsProcessingChanged, this, &MainWindow::moveFocusWithTheBatch);

    // The shortcuts work while the toolbar is hidden too (full screen).
    addActions({toggleSidebarAction_, addFilesAction_, previewAction_});

    QList<QWidget*> tabOrder{addFilesButton_, previewButton_};
    tabOrder += contentView_->sidebar()->controls();
    tabOrder += contentView_->dropView()->cancelButton();
    tabOrder += contentView_->dropView()->writtenFilesList();
    tabOrder += contentView_->dropView()->showInFolderButton();
    for (qsizetype i = 1; i < tabOrder.size(); ++i) {
        setTabOrder(tabOrder[i - 1], tabOrder[i]);
    }

    // Full screen: the toolbar hides itself while the window fills the screen.
    fullScreenAction_->setShortcuts(QKeySequence::FullScreen);
    addAction(fullScreenAction_);
    connect(fullScreenAction_, &QAction::triggered, this,
            [this] { setWindowState(windowState() ^ Qt::WindowFullScreen); });

    auto* quit = new QAction(QStringLiteral("Quit"), this);
    quit->setShortcuts(QKeySequence::Quit);
    addAction(quit);
    connect(quit, &QAction::triggered, this, &QWidget::close);

    updateToolBarIcons();
    updateToggleSidebarAction();
    updateAddFilesAction();
    updatePreviewAction();
    resize(960, 600);
}

void MainWindow::setFileChooser(FileChooser chooser) { fileChooser_ = std::move(chooser); }

void MainWindow::addFiles() {
    const std::vector<std::filesystem::path> files = fileChooser_(FileSelection::several);
    // The dialog has its own event loop: the state is checked again after it.
    if (!files.empty() && addFilesAction_->isEnabled()) {
        brain_.processDroppedFiles(files);
    }
}

void MainWindow::updateAddFilesAction() {
    addFilesAction_->setEnabled(
        DropView::acceptsDrop(brain_.modelIsLoading(), brain_.modelIsProcessing(), brain_.outputFolder().has_value()));
}

void MainWindow::preview() {
    const std::vector<std::filesystem::path> files = fileChooser_(FileSelection::one);
    // The dialog has its own event loop: the state is checked again after it.
    if (files.size() != 1 || !previewAction_->isEnabled()) return;
    if (previewDialog_) previewDialog_->close();
    previewDialog_ = new PreviewDialog(brain_, files.front(), this);
    previewDialog_->show();
}

void MainWindow::compare(const std::filesystem::path& source, const std::filesystem::path& written) {
    if (previewDialog_) previewDialog_->close();
    previewDialog_ = new PreviewDialog(brain_, source, written, this);
    previewDialog_->show();
}

PreviewDialog* MainWindow::previewDialog() const { return previewDialog_; }

void MainWindow::updatePreviewAction() { previewAction_->setEnabled(brain_.canPreview()); }

void MainWindow::moveFocusWithTheBatch() {
    QPushButton* cancel = contentView_->dropView()->cancelButton();
    if (brain_.modelIsProcessing()) {
        cancel->setFocus();
        return;
    }
    const QWidget* focus = focusWidget();
    if (!focus || focus == cancel || !focus->isEnabled()) {
        addFilesButton_->setFocus();
    }
}

void MainWindow::changeEvent(QEvent* event) {
    if (event->type() == QEvent::PaletteChange) {
        updateToolBarIcons();
    } else if (event->type() == QEvent::WindowStateChange) {
        const bool fullScreen = isFullScreen();
        toolBar_->setVisible(!fullScreen);
        fullScreenAction_->setText(fullScreen ? QStringLiteral("Exit Full Screen")
                                              : QStringLiteral("Enter Full Screen"));
    }
    QMainWindow::changeEvent(event);
}

void MainWindow::updateToolBarIcons() {
    toggleSidebarAction_->setIcon(toolBarSymbol(QStringLiteral("sidebar.leading"), palette()));
    addFilesAction_->setIcon(toolBarSymbol(QStringLiteral("plus"), palette()));
    previewAction_->setIcon(toolBarSymbol(QStringLiteral("headphones"), palette()));
}

void MainWindow::updateToggleSidebarAction() {
    const QString text =
        contentView_->isSidebarCollapsed() ? QStringLiteral("Show Sidebar") : QStringLiteral("Hide Sidebar");
    toggleSidebarAction_->setText(text);
    toggleSidebarAction_->setToolTip(text);
}

}  // namespace vesh
