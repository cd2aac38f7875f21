#include "OutputSize.h"

namespace vesh::detail {

namespace {

bool overLimit(std::uint64_t bytesPerFrame, std::uint64_t frames, std::uint64_t limit, const SizeLimits& limits) {
    if (limit <= limits.headerRoom) return true;
    const std::uint64_t room = limit - limits.headerRoom;
    return bytesPerFrame != 0 && frames > room / bytesPerFrame;
}

}  // namespace

SizeDecision decideSize(SizeLimitKind kind, std::uint64_t bytesPerFrame, std::optional<std::uint64_t> expectedFrames,
                        const SizeLimits& limits) {
    switch (kind) {
    case SizeLimitKind::none: return SizeDecision::fits;
    case SizeLimitKind::wav: {
        if (!expectedFrames) return SizeDecision::useLargeFileWav;
        const std::uint64_t cautious = limits.largestThirtyTwoBitFile / 8 * 7;
        return overLimit(bytesPerFrame, *expectedFrames, cautious, limits) ? SizeDecision::useLargeFileWav
                                                                           : SizeDecision::fits;
    }
    case SizeLimitKind::thirtyTwoBitSizes:
        return expectedFrames && overLimit(bytesPerFrame, *expectedFrames, limits.largestThirtyTwoBitFile, limits)
                   ? SizeDecision::tooLarge
                   : SizeDecision::fits;
    case SizeLimitKind::thirtySixBitFrames:
        return expectedFrames && *expectedFrames > limits.largestFrameCount ? SizeDecision::tooManyFrames
                                                                            : SizeDecision::fits;
    }
    return SizeDecision::fits;
}

bool stillFits(SizeLimitKind kind, std::uint64_t bytesPerFrame, std::uint64_t framesWritten, const SizeLimits& limits) {
    switch (kind) {
    case SizeLimitKind::none: return true;
    case SizeLimitKind::wav:
    case SizeLimitKind::thirtyTwoBitSizes:
        return !overLimit(bytesPerFrame, framesWritten, limits.largestThirtyTwoBitFile, limits);
    case SizeLimitKind::thirtySixBitFrames: return framesWritten <= limits.largestFrameCount;
    }
    return true;
}

}  // namespace vesh::detail
