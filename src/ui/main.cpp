#include <QApplication>
#include <QCommandLineParser>
#include <QFileInfo>
#include <QSettings>
#include <QUrl>

#include <filesystem>
#include <memory>
#include <vector>

#include "AudioIO/AudioFile.h"
#include "FullBandSpeechEnhancer/InferenceRuntime.h"
#include "ui/FilePaths.h"
#include "ui/MainWindow.h"
#include "ui/VeshApp.h"

int main(int argc, char* argv[]) {
    // Before any thread starts: these touch process-wide state.
    vesh::disableInferenceTelemetry();
    vesh::silenceDecoderDiagnostics();
    QApplication application(argc, argv);
    QCoreApplication::setApplicationVersion(QStringLiteral(VESH_VERSION));
    vesh::VeshApp::configure(application);

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Removes background noise from recorded speech."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("files"),
                                 QStringLiteral("Audio files to denoise once a destination is chosen."),
                                 QStringLiteral("[files...]"));
    parser.process(application);

    std::vector<std::filesystem::path> files;
    for (const QString& argument : parser.positionalArguments()) {
        // File managers may hand over URLs instead of paths.
        const QString localFile =
            argument.startsWith(QStringLiteral("file:")) ? QUrl(argument).toLocalFile() : argument;
        files.push_back(vesh::toPath(QFileInfo(localFile).absoluteFilePath()));
    }

    vesh::VeshApp vesh(std::make_unique<QSettings>(), std::move(files));
    vesh.window().show();
    return QApplication::exec();
}
