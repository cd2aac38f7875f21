#pragma once

#include <filesystem>

namespace vesh::detail {

// A new file that takes the place of `target` only once it is complete.
// It is written as a hidden temporary file in the target's folder, named
// after this host and process (TemporaryFiles.h), and moved to the target by
// a commit; until then the target (if any) is untouched, and a
// ReplacementFile destroyed without a commit removes its temporary file.
class ReplacementFile {
public:
    // Creates the temporary file; throws AudioLibraryError("file system") when
    // the folder does not exist or cannot be written.
    explicit ReplacementFile(std::filesystem::path target);
    ~ReplacementFile();
    ReplacementFile(const ReplacementFile&) = delete;
    ReplacementFile& operator=(const ReplacementFile&) = delete;

    // Open for reading and writing, positioned at the start.
    int descriptor() const { return descriptor_; }

    // Starts writing what was written so far to storage without waiting
    // for it, so that the flush of a commit, which cannot be cancelled,
    // finds little left to do.
    void startWriteback() const;

    // Flushes the file to storage and closes it (once), then moves it to the
    // target unless a file-system item is already there: false then, and the
    // completed file stays ready for another commit.
    bool commitWithoutReplacing();
    // The same, but in place of whatever is at the target.
    void commitReplacing();

private:
    void complete();

    std::filesystem::path target_;
    std::filesystem::path temporaryPath_;
    int descriptor_ = -1;
    bool committed_ = false;
};

// renameat2 with RENAME_NOREPLACE: 0, or -1 with errno set.
int renameWithoutReplacingCall(const char* from, const char* to);

// Moves `from` to `to` unless an item exists at `to` (then false, and
// nothing changes). `renameCall` is the no-replace rename; where the file
// system lacks one (EINVAL, ENOSYS, EOPNOTSUPP, as on NFS) a hard link and
// the removal of `from` do the same. Throws AudioLibraryError("file system").
bool moveWithoutReplacing(const std::filesystem::path& from, const std::filesystem::path& to,
                          int (*renameCall)(const char*, const char*) = renameWithoutReplacingCall);

}  // namespace vesh::detail
