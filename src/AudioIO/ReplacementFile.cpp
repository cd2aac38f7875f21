#include "ReplacementFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "AudioIO/AudioError.h"

namespace vesh::detail {

namespace {

[[noreturn]] void throwFileSystemError(int code, const std::string& what) {
    throw AudioLibraryError("file system", code, what + ": " + std::strerror(code));
}

// The process's file creation mask, read without changing it (changing it
// would race with other threads creating files).
mode_t currentUmask() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Umask:", 0) == 0) return static_cast<mode_t>(std::stoul(line.substr(6), nullptr, 8));
    }
    return 022;
}

// Permissions for the finished file: those of the file it replaces, or what
// an ordinary new file gets.
mode_t permissionsFor(const std::filesystem::path& target) {
    struct stat existing {};
    if (::stat(target.c_str(), &existing) == 0 && S_ISREG(existing.st_mode)) return existing.st_mode & 07777;
    return 0666 & ~currentUmask();
}

}  // namespace

ReplacementFile::ReplacementFile(std::filesystem::path target) : target_(std::move(target)) {
    const std::filesystem::path folder = target_.has_parent_path() ? target_.parent_path() : ".";
    // Long names are shortened so that the temporary name stays within the
    // file system's name limit.
    const std::string name = target_.filename().string().substr(0, 200);
    std::string pattern = (folder / ("." + name + ".vesh-XXXXXX.tmp")).string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    descriptor_ = ::mkstemps(buffer.data(), 4);
    if (descriptor_ < 0) throwFileSystemError(errno, "creating a file in " + folder.string());
    temporaryPath_ = buffer.data();
    if (::fchmod(descriptor_, permissionsFor(target_)) != 0) {
        const int code = errno;
        ::close(descriptor_);
        ::unlink(temporaryPath_.c_str());
        throwFileSystemError(code, "setting the permissions of " + temporaryPath_.string());
    }
}

ReplacementFile::~ReplacementFile() {
    if (committed_) return;
    if (descriptor_ >= 0) ::close(descriptor_);
    ::unlink(temporaryPath_.c_str());
}

void ReplacementFile::commit() {
    if (::fsync(descriptor_) != 0) throwFileSystemError(errno, "writing " + target_.string());
    const int descriptor = descriptor_;
    descriptor_ = -1;
    if (::close(descriptor) != 0) throwFileSystemError(errno, "writing " + target_.string());
    if (::rename(temporaryPath_.c_str(), target_.c_str()) != 0) {
        throwFileSystemError(errno, "replacing " + target_.string());
    }
    committed_ = true;
}

}  // namespace vesh::detail
