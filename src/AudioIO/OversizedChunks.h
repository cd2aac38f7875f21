#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <vector>

extern "C" {
#include <libavformat/avio.h>
}

namespace vesh::detail {

// The demuxer reads a WAV or AIFF file's metadata chunks (LIST/INFO tags, a
// Broadcast WAV coding history, ID3, AIFF annotations) whole into memory, so
// a damaged or hostile file that claims a chunk of a gigabyte costs that
// much. Such chunks are hidden from it: their ids are read as "JUNK", which
// it skips, and the file is otherwise read as it is.
constexpr std::int64_t largestReadChunk = std::int64_t{16} << 20;

// Where the ids of the chunks to hide begin: every chunk of a RIFF/RF64
// WAVE or FORM AIFF/AIFC file, other than the format and the audio, that
// claims more than largestReadChunk bytes. Empty for any other file, or one
// that cannot be read.
std::vector<std::int64_t> oversizedChunks(const std::filesystem::path& file);

// A file read by the demuxer through its own input, with the given chunk ids
// read as "JUNK". Owns the descriptor and the input; it must outlive the
// demuxer that reads it.
class ChunkHidingInput {
public:
    // Throws AudioLibraryError when the file cannot be opened.
    ChunkHidingInput(const std::filesystem::path& file, std::vector<std::int64_t> hiddenIds);
    ~ChunkHidingInput();
    ChunkHidingInput(const ChunkHidingInput&) = delete;
    ChunkHidingInput& operator=(const ChunkHidingInput&) = delete;

    AVIOContext* context() const { return context_; }

private:
    static int read(void* opaque, std::uint8_t* buffer, int size);
    static std::int64_t seek(void* opaque, std::int64_t offset, int whence);

    int descriptor_;
    std::int64_t size_ = 0;
    std::int64_t position_ = 0;
    std::vector<std::int64_t> hiddenIds_;
    AVIOContext* context_ = nullptr;
};

}  // namespace vesh::detail
