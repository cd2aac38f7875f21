#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "AudioIO/CommonAudioFileFormat.h"

namespace vesh {

class AudioFile;

// Samples beyond full scale that an integer format had to clip, and the
// peak level of the signal handed to the writer, in dB relative to full scale.
struct Clipping {
    std::int64_t clippedSamples = 0;
    double peakDecibels = 0.0;
};

// Gives the next samples of an audio stream in order: replaces `block` with
// one list per channel, all of one length, and returns true; false at the end.
using AudioBlockReader = std::function<bool(std::vector<std::vector<float>>& block)>;

// A new audio file written block by block. Like AudioStream::write, it is
// written under a temporary name beside its location and appears there only
// on commit(); a writer destroyed before that leaves nothing behind. The
// channels and channel layout are those of the source file the audio was
// read from; so are its tags, where the format can hold them (a Broadcast
// WAV time reference is moved to the written rate). A lossy output in the
// source's format keeps at least the source's bit rate, as reading it found
// by the first write (so the source must outlive the writer). Every operation
// throws AudioError(writeAudioFile).
class AudioFileWriter {
public:
    // `fileFormat` at exactly `url`, at `sampleRate`. `expectedLength` is the
    // output's length in frames as far as it is known beforehand (nothing:
    // unknown): a WAV file that may pass 4 GiB is written as RF64 (and
    // completed as plain WAV when it stays below), and a length that the
    // file type cannot hold (AIFF past 4 GiB, FLAC past 2^36 frames) is
    // refused here with an UnwritableOutputError, as is a file name too long
    // for the folder.
    AudioFileWriter(const std::filesystem::path& url, CommonAudioFileFormat fileFormat, const AudioFile& source,
                    std::int64_t sampleRate, std::optional<std::int64_t> expectedLength = std::nullopt);
    // The stored format of `source` at `url`: what libsndfile writes, and
    // AAC in an .m4a, audio-only .mp4 or ADTS .aac file. Where neither
    // encoder can make that format at `sampleRate`, `fallbackFileFormat`
    // under the fallback's extension instead; its failure is an
    // AudioError(writeAudioFile) around one around the failure (without a
    // fallback: around the first attempt's error). Unlike AudioStream::write,
    // the choice is made when the file is created: a failure while writing
    // samples is not retried.
    AudioFileWriter(const std::filesystem::path& url, const AudioFile& source, std::int64_t sampleRate,
                    std::optional<CommonAudioFileFormat> fallbackFileFormat,
                    std::optional<std::int64_t> expectedLength = std::nullopt);
    // Where the constructor above puts the file for `source` at the source's
    // own rate: `url`, or the fallback's location when no encoder can make
    // the source's stored format (and a fallback is given). Writes nothing.
    static std::filesystem::path locationMatching(const std::filesystem::path& url, const AudioFile& source,
                                                  std::optional<CommonAudioFileFormat> fallbackFileFormat);
    ~AudioFileWriter();
    AudioFileWriter(AudioFileWriter&&) noexcept;
    AudioFileWriter& operator=(AudioFileWriter&&) noexcept;

    // Where the file is to appear: the given location or the fallback's.
    const std::filesystem::path& location() const;
    // The expected size in bytes, an upper bound for compressed formats; 0
    // when the length is unknown.
    std::uint64_t estimatedSize() const;

    // The source's audio streams besides the one read from `source` that
    // the file holds as well, as new audio (a copy of a file with video):
    // their indexes among the file's streams, in order, for AudioFile to
    // open. Empty for any other file.
    std::vector<int> otherAudioStreams() const;
    // Gives the new audio in place of one of otherAudioStreams, before the
    // first write: `stream` is that stream opened and read to its end (it
    // must outlive the writer), whose codec, rate, layout, bit rate, tags
    // and timing the new audio keeps; `reader` delivers its samples while
    // the file is written. A stream not given is copied as it is.
    void addAudioStream(const AudioFile& stream, AudioBlockReader reader);

    // Appends frames: one view per channel of the source, all of one length.
    // Non-finite samples are written as 0.
    void write(std::span<const std::span<const float>> channels);
    // Completes the file and puts it at its location, which it returns,
    // unless a file-system item is already there: then nothing there
    // changes, nothing is returned, and the completed file waits for another
    // commit (or is removed with the writer).
    std::optional<std::filesystem::path> commit();
    // The same, in place of whatever is at the location.
    std::filesystem::path commitReplacing();
    // The clipping of the samples written so far; nothing when no sample
    // was clipped (float and lossy formats keep every sample as it is).
    std::optional<Clipping> clipping() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace vesh
