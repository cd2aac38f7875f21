#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>

namespace vesh::detail {

struct AudioFileState;

// The muxer that writes AAC audio like `source` at `url`: "ipod" for an
// .m4a file and "mp4" for an .mp4 one holding no video, from an MPEG-4
// source, or "adts" for a raw ADTS source; nothing where the source's audio
// is no AAC, its container is another, or FFmpeg's AAC encoder has no
// layout for its channels.
std::optional<const char*> aacMuxerFor(const std::filesystem::path& url, const AudioFileState& source);

// A new AAC file at `url`, encoded by FFmpeg's own AAC encoder at the
// source's rate, channels, layout and (chosen at the first write, when the
// source has been read, so the source outlives the encoder) at least its bit
// rate, with its tags where the container holds them. Like the libsndfile
// encoder it is written under a temporary name beside `url` (ReplacementFile)
// and appears only on a commit. The encoder's priming is recorded in an
// MPEG-4 file, which a decoder then trims; ADTS cannot record it, so its
// length of the first samples written is left out, and a decoder's output
// again starts with the first sample written.
class AacEncoder {
public:
    // `muxer` is what aacMuxerFor gave; `expectedFrames` (nothing:
    // unknown) is used for the size estimate only.
    AacEncoder(const std::filesystem::path& url, const char* muxer, const AudioFileState& source,
               std::optional<std::int64_t> expectedFrames);
    ~AacEncoder();
    AacEncoder(const AacEncoder&) = delete;
    AacEncoder& operator=(const AacEncoder&) = delete;

    // One view per channel, all of one length; non-finite samples are encoded as 0.
    void write(std::span<const std::span<const float>> channels);
    // Flushes the encoder and completes the container (once), then moves the
    // file to its location unless an item is there: false then.
    bool commitWithoutReplacing();
    void commitReplacing();
    // An upper bound of the file's size in bytes; 0 when the length is unknown.
    std::uint64_t estimatedSize() const;

private:
    struct Implementation;
    std::unique_ptr<Implementation> implementation_;
};

}  // namespace vesh::detail
