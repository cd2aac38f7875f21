#include "SourceFingerprint.h"

#include <sys/stat.h>

#include <cerrno>

#include "Failures.h"

namespace vesh::detail {

Fingerprint fingerprint(const std::filesystem::path& file) {
    struct stat status {};
    if (::stat(file.c_str(), &status) != 0) throwReadError(errno, "reading " + file.string());
    return Fingerprint{static_cast<std::int64_t>(status.st_size),
                       static_cast<std::int64_t>(status.st_mtim.tv_sec) * 1'000'000'000 + status.st_mtim.tv_nsec};
}

bool isRegularFile(const std::filesystem::path& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

}  // namespace vesh::detail
