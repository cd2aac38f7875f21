#pragma once

#include <cstdint>
#include <optional>

namespace vesh::detail {

// What limits a container puts on the size of an output.
enum class SizeLimitKind {
    none,                // 64-bit sizes and counts (W64, CAF, Ogg, MPEG)
    wav,                 // 32-bit size fields, with RF64 as the large-file variant
    thirtyTwoBitSizes,   // 32-bit size fields and no variant (AIFF, AU)
    thirtySixBitFrames,  // FLAC: frames counted in 36 bits
};

// The limits themselves, given so that tests can decide with small numbers.
struct SizeLimits {
    std::uint64_t largestThirtyTwoBitFile = 0xFFFFFFFFu;
    std::uint64_t largestFrameCount = (std::uint64_t{1} << 36) - 1;
    // Room for the header and metadata chunks beside the samples.
    std::uint64_t headerRoom = 1 << 16;
};

enum class SizeDecision {
    fits,             // as requested
    useLargeFileWav,  // WAV that may pass its 32-bit sizes: written as RF64
    tooLarge,         // the container's size fields cannot describe it
    tooManyFrames,    // the container cannot count its frames
};

// Decides, before writing, what an output of about `expectedFrames` frames
// (nothing: unknown) of `bytesPerFrame` bytes needs. A WAV output turns into
// RF64 already at seven eighths of its limit or when its length is unknown,
// since the expected length is the container's announcement, not a count.
SizeDecision decideSize(SizeLimitKind kind, std::uint64_t bytesPerFrame, std::optional<std::uint64_t> expectedFrames,
                        const SizeLimits& limits = {});

// While writing: whether `framesWritten` frames still fit a file whose
// decision was `fits` (an announcement can fall short of the real length).
bool stillFits(SizeLimitKind kind, std::uint64_t bytesPerFrame, std::uint64_t framesWritten,
               const SizeLimits& limits = {});

}  // namespace vesh::detail
