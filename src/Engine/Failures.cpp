#include "Failures.h"

#include <cerrno>
#include <cstring>

#include "AudioIO/AudioError.h"

namespace vesh {

namespace {

using Kind = ProcessingError::Kind;
using Operation = AudioError::Operation;

// The decoder's codes for content it cannot read as audio, as libavutil
// defines them (negated four-character tags): data that is not in any known
// container or is malformed, and a container without an audio stream. Its
// demuxers also answer EINVAL for bytes they were probed for but cannot
// parse (random data named .wav, say): the reader hands them nothing else
// that could be invalid.
constexpr int ffmpegTag(unsigned a, unsigned b, unsigned c, unsigned d) {
    return -static_cast<int>(a | b << 8 | c << 16 | d << 24);
}
constexpr int ffmpegInvalidData = ffmpegTag('I', 'N', 'D', 'A');
constexpr int ffmpegStreamNotFound = ffmpegTag(0xF8, 'S', 'T', 'R');
constexpr int ffmpegDemuxerNotFound = ffmpegTag(0xF8, 'D', 'E', 'M');
constexpr int ffmpegUnparsable = -EINVAL;

bool refusesContent(const AudioLibraryError& error) {
    const int code = error.code();
    return error.library() == "FFmpeg" && (code == ffmpegInvalidData || code == ffmpegStreamNotFound ||
                                           code == ffmpegDemuxerNotFound || code == ffmpegUnparsable);
}

Kind kindOf(UnwritableOutputError::Code code) {
    switch (code) {
    case UnwritableOutputError::Code::folderNotWritable: return Kind::folderNotWritable;
    case UnwritableOutputError::Code::nameTooLong: return Kind::nameTooLong;
    case UnwritableOutputError::Code::notEnoughSpace: return Kind::notEnoughSpace;
    case UnwritableOutputError::Code::tooLarge: return Kind::outputTooLarge;
    case UnwritableOutputError::Code::tooManyFrames: return Kind::outputTooLong;
    }
    return Kind::writingOutput;
}

// The kind of a failed audio operation with the error `base`: the
// operation decides, and the error at the bottom of the chain tells apart a
// source the decoder refused as audio, and an output refused before any
// work. The one place where the engine looks into nested errors.
Kind kindOf(Operation operation, const std::exception_ptr& base) {
    try {
        if (base) std::rethrow_exception(base);
    } catch (const AudioError& nested) {
        return kindOf(operation, nested.base());
    } catch (const AudioLibraryError& library) {
        if (operation == Operation::readAudioFile && refusesContent(library)) return Kind::sourceNotAudio;
    } catch (const UnwritableOutputError& refusal) {
        if (operation == Operation::writeAudioFile) return kindOf(refusal.code());
    } catch (...) {
    }
    switch (operation) {
    case Operation::readAudioFile: return Kind::readingSource;
    case Operation::writeAudioFile: return Kind::writingOutput;
    case Operation::resampleAudioStream: return Kind::convertingRate;
    // The engine hands the audio layer no closures to run over a stream.
    case Operation::mapAudioStream:
    case Operation::mutateAudioStreamInPlace: return Kind::unexpected;
    }
    return Kind::unexpected;
}

}  // namespace

const char* ProcessingError::what() const noexcept {
    switch (kind_) {
    case Kind::cancelled: return "The user cancelled processing.";
    case Kind::stoppedAtExistingFile: return "Processing stopped at an existing output file.";
    case Kind::readingSource: return "The source file could not be read.";
    case Kind::sourceNotAudio: return "The source file is damaged or is not an audio file.";
    case Kind::sourceChanged: return "The source file changed while it was being processed.";
    case Kind::convertingRate: return "The sample rate could not be converted.";
    case Kind::enhancing: return "The speech enhancer failed.";
    case Kind::writingOutput: return "The output file could not be written.";
    case Kind::folderNotWritable: return "No file can be created in the output folder.";
    case Kind::nameTooLong: return "The output file's name is too long.";
    case Kind::notEnoughSpace: return "The output folder has not enough free space.";
    case Kind::outputTooLarge: return "The output is too large for its file type.";
    case Kind::outputTooLong: return "The output is too long for its file type.";
    case Kind::outputWouldReplaceSource: return "The output file would replace the original audio file.";
    case Kind::fileNameLeavesOutputFolder: return "The file name prefix or suffix contains a path separator.";
    case Kind::unexpected: break;
    }
    return "Processing failed.";
}

namespace detail {

void rethrowAsProcessingError() {
    try {
        throw;
    } catch (const ProcessingError&) {
        throw;
    } catch (const AudioError& error) {
        throw ProcessingError(kindOf(error.failedOperation(), error.base()), std::current_exception());
    } catch (...) {
        throw ProcessingError(Kind::unexpected, std::current_exception());
    }
}

void throwReadError(int code, const std::string& what) {
    try {
        throw AudioLibraryError("file system", code, what + ": " + std::strerror(code));
    } catch (...) {
        throw AudioError::wrappingCurrent(AudioError::Operation::readAudioFile);
    }
}

void throwSourceChanged() { throw ProcessingError(Kind::sourceChanged); }

}  // namespace detail

}  // namespace vesh
