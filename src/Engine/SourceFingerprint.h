#pragma once

#include <cstdint>
#include <filesystem>

namespace vesh::detail {

// What tells a changed source apart: its size and modification time.
struct Fingerprint {
    std::int64_t size = 0;
    std::int64_t modified = 0;  // nanoseconds
    friend bool operator==(const Fingerprint&, const Fingerprint&) = default;
};

// Throws AudioError(readAudioFile) when `file` cannot be examined.
Fingerprint fingerprint(const std::filesystem::path& file);

// Whether `path` is a regular file: one that can be read twice and keeps a
// fingerprint (a pipe does neither).
bool isRegularFile(const std::filesystem::path& path);

}  // namespace vesh::detail
