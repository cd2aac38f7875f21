#include "ReplacementFile.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "AudioIO/AudioError.h"
#include "AudioIO/TemporaryFiles.h"

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

// Permissions for the finished file: the read, write and execute bits of the
// file it replaces, or what an ordinary new file gets. Set-user-ID,
// set-group-ID and sticky bits are never carried over to a new file.
mode_t permissionsFor(const std::filesystem::path& target) {
    struct stat existing {};
    if (::stat(target.c_str(), &existing) == 0 && S_ISREG(existing.st_mode)) return existing.st_mode & 0777;
    return 0666 & ~currentUmask();
}

}  // namespace

int renameWithoutReplacingCall(const char* from, const char* to) {
    return ::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE);
}

bool moveWithoutReplacing(const std::filesystem::path& from, const std::filesystem::path& to,
                          int (*renameCall)(const char*, const char*)) {
    if (renameCall(from.c_str(), to.c_str()) == 0) return true;
    const int renameError = errno;
    if (renameError == EEXIST) return false;
    if (renameError != EINVAL && renameError != ENOSYS && renameError != EOPNOTSUPP) {
        throwFileSystemError(renameError, "moving the finished file to " + to.string());
    }
    // A hard link is never made over an existing item.
    if (::link(from.c_str(), to.c_str()) != 0) {
        const int linkError = errno;
        if (linkError == EEXIST) return false;
        throwFileSystemError(linkError, "moving the finished file to " + to.string());
    }
    ::unlink(from.c_str());
    return true;
}

ReplacementFile::ReplacementFile(std::filesystem::path target) : target_(std::move(target)) {
    const std::filesystem::path folder = target_.has_parent_path() ? target_.parent_path() : ".";
    std::string pattern = temporaryFileTemplate(folder, target_.filename().native());
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
    if (descriptor_ < 0) {
        removeDiscarding(temporaryPath_);
        return;
    }
    // Unlinked while open, the name goes without waiting for the storage.
    ::unlink(temporaryPath_.c_str());
    closeDiscarding(descriptor_);
}

void ReplacementFile::startWriteback() const {
    // Only a hint: where the file system ignores it, the commit's flush does all.
    if (descriptor_ >= 0) ::sync_file_range(descriptor_, 0, 0, SYNC_FILE_RANGE_WRITE);
}

void ReplacementFile::complete() {
    if (descriptor_ < 0) return;
    if (::fsync(descriptor_) != 0) throwFileSystemError(errno, "writing " + target_.string());
    const int descriptor = descriptor_;
    descriptor_ = -1;
    if (::close(descriptor) != 0) throwFileSystemError(errno, "writing " + target_.string());
}

bool ReplacementFile::commitWithoutReplacing() {
    complete();
    committed_ = moveWithoutReplacing(temporaryPath_, target_);
    return committed_;
}

void ReplacementFile::commitReplacing() {
    complete();
    if (::rename(temporaryPath_.c_str(), target_.c_str()) != 0) {
        throwFileSystemError(errno, "replacing " + target_.string());
    }
    committed_ = true;
}

}  // namespace vesh::detail
