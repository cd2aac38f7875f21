#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>

#include "AudioIO/CommonAudioFileFormat.h"

namespace vesh {

class AudioFile;

// A new audio file written block by block. Like AudioStream::write, it is
// written under a temporary name beside its location and appears there only
// on commit(); a writer destroyed before that leaves nothing behind. The
// channels and channel layout are those of the source file the audio was
// read from. Every operation throws AudioError(writeAudioFile).
class AudioFileWriter {
public:
    // `fileFormat` at exactly `url`, at `sampleRate`.
    AudioFileWriter(const std::filesystem::path& url, CommonAudioFileFormat fileFormat, const AudioFile& source,
                    std::int64_t sampleRate);
    // The stored format of `source` at `url`. Where the encoder cannot make
    // that format at `sampleRate`, `fallbackFileFormat` under the fallback's
    // extension instead; its failure is an AudioError(writeAudioFile) around
    // one around the failure (without a fallback: around the first
    // attempt's error). Unlike AudioStream::write, the choice is made when
    // the file is created: a failure while writing samples is not retried.
    AudioFileWriter(const std::filesystem::path& url, const AudioFile& source, std::int64_t sampleRate,
                    std::optional<CommonAudioFileFormat> fallbackFileFormat);
    ~AudioFileWriter();
    AudioFileWriter(AudioFileWriter&&) noexcept;
    AudioFileWriter& operator=(AudioFileWriter&&) noexcept;

    // Appends frames: one view per channel of the source, all of one length.
    // Non-finite samples are written as 0.
    void write(std::span<const std::span<const float>> channels);
    // Completes the file and puts it in place; returns where it was written.
    std::filesystem::path commit();

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace vesh
