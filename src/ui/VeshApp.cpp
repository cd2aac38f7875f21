#include "ui/VeshApp.h"

#include <QApplication>
#include <QSettings>
#include <QStyleFactory>
#include <QTimer>

#include "app/ApplicationId.h"
#include "app/Brain.h"
#include "ui/Accessibility.h"
#include "ui/Appearance.h"
#include "ui/ContentView.h"
#include "ui/DropView.h"
#include "ui/MainWindow.h"
#include "ui/SymbolImage.h"

namespace vesh {

void VeshApp::configure(QApplication& application) {
    QCoreApplication::setOrganizationName(QString::fromLatin1(organizationName));
    QCoreApplication::setOrganizationDomain(QStringLiteral("veshaudio.org"));
    QCoreApplication::setApplicationName(QString::fromLatin1(applicationName));
    QGuiApplication::setApplicationDisplayName(QString::fromLatin1(applicationName));
    QGuiApplication::setDesktopFileName(QString::fromLatin1(applicationId));
    QGuiApplication::setWindowIcon(applicationIcon());
    application.setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    installAccessibleInterfaces();

    const QByteArray scheme = qgetenv("VESH_COLOR_SCHEME").toLower();
    if (scheme == "dark") {
        QApplication::setPalette(darkPalette());
    } else if (scheme == "light") {
        QApplication::setPalette(lightPalette());
    }
}

VeshApp::VeshApp(std::unique_ptr<QSettings> settings, std::vector<std::filesystem::path> filesToOpen, QObject* parent)
    : QObject(parent), brain_(std::make_unique<Brain>(std::move(settings), interaction_)),
      window_(std::make_unique<MainWindow>(*brain_)), filesToOpen_(std::move(filesToOpen)) {
    interaction_.setWindow(window_.get());
    if (!filesToOpen_.empty()) {
        // Checked after the change has been handled everywhere, outside the
        // call that made it: processing may ask the existing-file question.
        const auto check = [this] { QTimer::singleShot(0, this, &VeshApp::processFilesToOpenWhenReady); };
        connect(brain_.get(), &Brain::modelIsLoadingChanged, this, check);
        connect(brain_.get(), &Brain::outputFolderChanged, this, check);
    }
    window_->contentView()->dropView()->setFilesWaiting(filesToOpen_.size());
}

VeshApp::~VeshApp() {
    // The window observes the brain: it goes first.
    window_.reset();
    brain_.reset();
}

void VeshApp::processFilesToOpenWhenReady() {
    if (filesToOpen_.empty() || brain_->modelIsLoading() || brain_->modelIsProcessing() || !brain_->outputFolder()) {
        return;
    }
    const std::vector<std::filesystem::path> files = std::exchange(filesToOpen_, {});
    window_->contentView()->dropView()->setFilesWaiting(0);
    brain_->processDroppedFiles(files);
}

}  // namespace vesh
