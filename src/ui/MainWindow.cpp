#include "ui/MainWindow.h"

#include <QAction>
#include <QEvent>
#include <QToolBar>

#include "ui/Appearance.h"
#include "ui/ContentView.h"
#include "ui/ErrorAlert.h"
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
    : QMainWindow(parent), contentView_(new ContentView(brain, this)),
      toolBar_(new QToolBar(QStringLiteral("Toolbar"), this)), toggleSidebarAction_(new QAction(this)),
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

    // Full screen: the toolbar hides itself while the window fills the screen.
    fullScreenAction_->setShortcuts(QKeySequence::FullScreen);
    addAction(fullScreenAction_);
    connect(fullScreenAction_, &QAction::triggered, this,
            [this] { setWindowState(windowState() ^ Qt::WindowFullScreen); });

    auto* quit = new QAction(QStringLiteral("Quit"), this);
    quit->setShortcuts(QKeySequence::Quit);
    addAction(quit);
    connect(quit, &QAction::triggered, this, &QWidget::close);

    updateToggleSidebarAction();
    resize(960, 600);
}

void MainWindow::changeEvent(QEvent* event) {
    if (event->type() == QEvent::PaletteChange) {
        updateToggleSidebarAction();
    } else if (event->type() == QEvent::WindowStateChange) {
        const bool fullScreen = isFullScreen();
        toolBar_->setVisible(!fullScreen);
        fullScreenAction_->setText(fullScreen ? QStringLiteral("Exit Full Screen")
                                              : QStringLiteral("Enter Full Screen"));
    }
    QMainWindow::changeEvent(event);
}

void MainWindow::updateToggleSidebarAction() {
    const QString text =
        contentView_->isSidebarCollapsed() ? QStringLiteral("Show Sidebar") : QStringLiteral("Hide Sidebar");
    toggleSidebarAction_->setIcon(toolBarSymbol(QStringLiteral("sidebar.leading"), palette()));
    toggleSidebarAction_->setText(text);
    toggleSidebarAction_->setToolTip(text);
}

}  // namespace vesh
