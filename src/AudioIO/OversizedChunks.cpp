#include "OversizedChunks.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <new>
#include <string_view>

#include "AudioIO/AudioError.h"

extern "C" {
#include <libavutil/mem.h>
}

namespace vesh::detail {

namespace {

// Enough for any real file; a walk that goes on longer is of damaged data.
constexpr int mostChunksWalked = 1 << 16;
constexpr int inputBufferSize = 1 << 16;

bool readAt(int descriptor, std::int64_t offset, void* bytes, std::size_t count) {
    return ::pread(descriptor, bytes, count, static_cast<off_t>(offset)) == static_cast<ssize_t>(count);
}

std::uint32_t littleEndian32(const unsigned char* bytes) {
    return std::uint32_t{bytes[0]} | std::uint32_t{bytes[1]} << 8 | std::uint32_t{bytes[2]} << 16 |
           std::uint32_t{bytes[3]} << 24;
}

std::uint32_t bigEndian32(const unsigned char* bytes) {
    return std::uint32_t{bytes[3]} | std::uint32_t{bytes[2]} << 8 | std::uint32_t{bytes[1]} << 16 |
           std::uint32_t{bytes[0]} << 24;
}

std::uint64_t littleEndian64(const unsigned char* bytes) {
    return std::uint64_t{littleEndian32(bytes)} | std::uint64_t{littleEndian32(bytes + 4)} << 32;
}

class Descriptor {
public:
    explicit Descriptor(int descriptor) : descriptor_(descriptor) {}
    ~Descriptor() {
        if (descriptor_ >= 0) ::close(descriptor_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return descriptor_; }

private:
    int descriptor_;
};

}  // namespace

std::vector<std::int64_t> oversizedChunks(const std::filesystem::path& file) {
    const Descriptor input(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat status {};
    if (input.get() < 0 || ::fstat(input.get(), &status) != 0 || !S_ISREG(status.st_mode)) return {};
    std::array<unsigned char, 12> header{};
    if (!readAt(input.get(), 0, header.data(), header.size())) return {};
    const std::string_view form(reinterpret_cast<const char*>(header.data()), 4);
    const std::string_view type(reinterpret_cast<const char*>(header.data()) + 8, 4);
    const bool riff = (form == "RIFF" || form == "RF64") && type == "WAVE";
    const bool aiff = form == "FORM" && (type == "AIFF" || type == "AIFC");
    if (!riff && !aiff) return {};

    std::vector<std::int64_t> hidden;
    std::uint64_t largeDataSize = 0;  // an RF64 file's audio size, from its ds64 chunk
    std::int64_t offset = 12;
    for (int walked = 0; walked < mostChunksWalked && offset + 8 <= status.st_size; ++walked) {
        std::array<unsigned char, 8> chunk{};
        if (!readAt(input.get(), offset, chunk.data(), chunk.size())) break;
        const std::string_view id(reinterpret_cast<const char*>(chunk.data()), 4);
        std::uint64_t size = riff ? littleEndian32(chunk.data() + 4) : bigEndian32(chunk.data() + 4);
        if (riff && id == "ds64") {
            std::array<unsigned char, 16> sizes{};
            if (readAt(input.get(), offset + 8, sizes.data(), sizes.size())) largeDataSize = littleEndian64(sizes.data() + 8);
        }
        if (riff && id == "data" && size == 0xFFFFFFFF) size = largeDataSize;
        const bool audioOrFormat = riff ? id == "data" || id == "fmt " || id == "ds64" : id == "SSND" || id == "COMM";
        if (!audioOrFormat && size > static_cast<std::uint64_t>(largestReadChunk)) hidden.push_back(offset);
        // Chunks are padded to an even length.
        offset += 8 + static_cast<std::int64_t>(std::min<std::uint64_t>(size, std::uint64_t{1} << 62)) +
                  static_cast<std::int64_t>(size & 1);
    }
    return hidden;
}

ChunkHidingInput::ChunkHidingInput(const std::filesystem::path& file, std::vector<std::int64_t> hiddenIds)
    : descriptor_(::open(file.c_str(), O_RDONLY | O_CLOEXEC)), hiddenIds_(std::move(hiddenIds)) {
    if (descriptor_ < 0) {
        const int code = errno;
        throw AudioLibraryError("file system", code, "opening " + file.string() + ": " + std::strerror(code));
    }
    struct stat status {};
    if (::fstat(descriptor_, &status) == 0) size_ = status.st_size;
    auto* buffer = static_cast<unsigned char*>(av_malloc(inputBufferSize));
    if (buffer) context_ = avio_alloc_context(buffer, inputBufferSize, 0, this, &read, nullptr, &seek);
    if (!context_) {
        av_free(buffer);
        ::close(descriptor_);
        throw std::bad_alloc();
    }
}

ChunkHidingInput::~ChunkHidingInput() {
    // The input may have replaced its buffer; it owns whichever it holds.
    av_freep(&context_->buffer);
    avio_context_free(&context_);
    ::close(descriptor_);
}

int ChunkHidingInput::read(void* opaque, std::uint8_t* buffer, int size) {
    auto& input = *static_cast<ChunkHidingInput*>(opaque);
    ssize_t received = 0;
    do {
        received = ::pread(input.descriptor_, buffer, static_cast<std::size_t>(size), static_cast<off_t>(input.position_));
    } while (received < 0 && errno == EINTR);
    if (received < 0) return AVERROR(errno);
    if (received == 0) return AVERROR_EOF;
    constexpr std::string_view junk = "JUNK";
    for (const std::int64_t id : input.hiddenIds_) {
        for (std::int64_t k = 0; k < 4; ++k) {
            const std::int64_t at = id + k - input.position_;
            if (at >= 0 && at < received) buffer[at] = static_cast<std::uint8_t>(junk[static_cast<std::size_t>(k)]);
        }
    }
    input.position_ += received;
    return static_cast<int>(received);
}

std::int64_t ChunkHidingInput::seek(void* opaque, std::int64_t offset, int whence) {
    auto& input = *static_cast<ChunkHidingInput*>(opaque);
    switch (whence & ~AVSEEK_FORCE) {
    case AVSEEK_SIZE: return input.size_;
    case SEEK_SET: break;
    case SEEK_CUR: offset += input.position_; break;
    case SEEK_END: offset += input.size_; break;
    default: return AVERROR(EINVAL);
    }
    if (offset < 0) return AVERROR(EINVAL);
    input.position_ = offset;
    return offset;
}

}  // namespace vesh::detail
