#include "cli/FileRecord.h"

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>

#include "app/AppError.h"
#include "cli/TerminalText.h"

namespace vesh {

namespace {

const char* statusName(FileOutcome::Status status) {
    switch (status) {
    case FileOutcome::Status::written: return "written";
    case FileOutcome::Status::skipped: return "skipped";
    case FileOutcome::Status::failed: return "failed";
    case FileOutcome::Status::notProcessed: return "not processed";
    case FileOutcome::Status::cancelled: return "cancelled";
    }
    return "failed";
}

void addName(QJsonObject& record, const QString& key, const std::filesystem::path& path) {
    const QByteArray bytes = QByteArray::fromStdString(path.native());
    record.insert(key, QString::fromUtf8(bytes));
    if (!isValidUtf8(path.native())) record.insert(key + "_base64", QString::fromLatin1(bytes.toBase64()));
}

// Milliseconds are precise enough and keep the record short.
double rounded(double seconds) { return std::round(seconds * 1000.0) / 1000.0; }

}  // namespace

std::string fileRecord(const FileOutcome& outcome) {
    using Status = FileOutcome::Status;
    QJsonObject record;
    addName(record, "source", outcome.source);
    addName(record, "target", outcome.target);
    record.insert("status", statusName(outcome.status));
    if (outcome.error) {
        const AppError told(*outcome.error, AppState{});
        std::string error = told.description();
        if (const std::string details = told.details(); !details.empty()) error += " " + details;
        record.insert("error", QString::fromStdString(error));
    } else if (!outcome.reason.empty()) {
        record.insert("error", QString::fromStdString(outcome.reason));
    } else {
        record.insert("error", QJsonValue::Null);
    }
    record.insert("duration", outcome.status == Status::written ? QJsonValue(rounded(outcome.duration))
                                                                : QJsonValue(QJsonValue::Null));
    record.insert("seconds", rounded(outcome.seconds));
    // The loudness reached, in LUFS, where a target was given and the output is not silent.
    const bool measured = outcome.loudness && !outcome.loudness->silent;
    record.insert("loudness", measured ? QJsonValue(std::round(outcome.loudness->reachedLoudness * 100.0) / 100.0)
                                       : QJsonValue(QJsonValue::Null));
    return QJsonDocument(record).toJson(QJsonDocument::Compact).toStdString();
}

}  // namespace vesh
