#include "UiTestSupport.h"

#include <QDir>
#include <QTest>

#include <cstdint>
#include <fstream>

#include "ui/ContentView.h"

namespace vesh::test {

Workspace::Workspace() {
    if (!directory_.isValid()) {
        qFatal("cannot create a temporary folder");
    }
}

std::unique_ptr<QSettings> Workspace::settings() const {
    return std::make_unique<QSettings>(directory_.filePath(QStringLiteral("settings.ini")), QSettings::IniFormat);
}

std::filesystem::path Workspace::path(const QString& name) const {
    return std::filesystem::path(directory_.filePath(name).toStdString());
}

std::filesystem::path Workspace::folder(const QString& name) const {
    QDir(directory_.path()).mkpath(name);
    return path(name);
}

namespace {

void put16(std::ofstream& out, std::uint16_t value) {
    const char bytes[2] = {static_cast<char>(value & 0xff), static_cast<char>(value >> 8)};
    out.write(bytes, 2);
}

void put32(std::ofstream& out, std::uint32_t value) {
    put16(out, static_cast<std::uint16_t>(value & 0xffff));
    put16(out, static_cast<std::uint16_t>(value >> 16));
}

}  // namespace

void writeNoiseWav(const std::filesystem::path& path, int channels, double seconds, int sampleRate,
                   bool distinctChannels) {
    const auto frames = static_cast<std::uint32_t>(seconds * sampleRate);
    const std::uint32_t dataBytes = frames * static_cast<std::uint32_t>(channels) * 2;
    std::ofstream out(path, std::ios::binary);
    out.write("RIFF", 4);
    put32(out, 36 + dataBytes);
    out.write("WAVEfmt ", 8);
    put32(out, 16);
    put16(out, 1);
    put16(out, static_cast<std::uint16_t>(channels));
    put32(out, static_cast<std::uint32_t>(sampleRate));
    put32(out, static_cast<std::uint32_t>(sampleRate * channels * 2));
    put16(out, static_cast<std::uint16_t>(channels * 2));
    put16(out, 16);
    out.write("data", 4);
    put32(out, dataBytes);

    std::vector<std::uint32_t> state(static_cast<std::size_t>(channels));
    for (int c = 0; c < channels; ++c) {
        state[static_cast<std::size_t>(c)] = distinctChannels ? 12345u + 7919u * static_cast<std::uint32_t>(c) : 12345u;
    }
    std::vector<char> frame(static_cast<std::size_t>(channels) * 2);
    for (std::uint32_t i = 0; i < frames; ++i) {
        for (int c = 0; c < channels; ++c) {
            auto& s = state[static_cast<std::size_t>(c)];
            s = s * 1664525u + 1013904223u;
            const auto sample = static_cast<std::int16_t>(static_cast<std::int32_t>(s >> 16) % 3000 - 1500);
            const auto raw = static_cast<std::uint16_t>(sample);
            frame[static_cast<std::size_t>(c) * 2] = static_cast<char>(raw & 0xff);
            frame[static_cast<std::size_t>(c) * 2 + 1] = static_cast<char>(raw >> 8);
        }
        out.write(frame.data(), static_cast<std::streamsize>(frame.size()));
    }
    if (!out) {
        qFatal("cannot write %s", path.c_str());
    }
}

bool waitForModel(const Brain& brain) {
    return QTest::qWaitFor([&] { return !brain.modelIsLoading(); }, 30000);
}

void WindowFixture::show() {
    window.show();
    if (!QTest::qWaitForWindowActive(&window)) {
        qFatal("the window did not become active");
    }
}

DropView& WindowFixture::dropView() { return *window.contentView()->dropView(); }

}  // namespace vesh::test
