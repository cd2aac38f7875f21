#include <QApplication>
#include <QCommandLineParser>
#include <QFileInfo>
#include <QSettings>
#include <QUrl>

#include <cstdio>
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

    // Help and version need no display: they are answered before the
    // application object connects to one. Options of Qt's own (-platform,
    // -reverse) are read as long options, never as rows of letters.
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    // -V as in vesh-cli; -v as before.
    const QCommandLineOption version(QStringList{QStringLiteral("V"), QStringLiteral("v"), QStringLiteral("version")});
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.addOptions({help, version});
    QStringList arguments;
    for (int index = 0; index < argc; ++index) arguments.append(QString::fromLocal8Bit(argv[index]));
    // Unknown options are Qt's own or mistakes; the second parse tells.
    static_cast<void>(parser.parse(arguments));
    if (parser.isSet(help)) {
        std::fputs(
            "Usage: vesh [options] [files...]\n"
            "Removes background noise from recorded speech.\n"
            "\n"
            "Options:\n"
            "  -h, --help         Show this help and exit.\n"
            "  -V, -v, --version  Show the version and exit.\n"
            "\n"
            "Arguments:\n"
            "  files              Audio files to denoise once a destination is chosen.\n",
            stdout);
        return 0;
    }
    if (parser.isSet(version)) {
        std::printf("vesh %s\n", VESH_VERSION);
        return 0;
    }

    QApplication application(argc, argv);
    QCoreApplication::setApplicationVersion(QStringLiteral(VESH_VERSION));
    vesh::VeshApp::configure(application);
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
