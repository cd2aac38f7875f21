#pragma once

#include <filesystem>

namespace vesh::detail {

// A new file that takes the place of `target` only once it is complete.
// It is written as a hidden temporary file in the target's folder and renamed
// over the target by commit(); until then the target (if any) is untouched,
// and a ReplacementFile destroyed without commit removes its temporary file.
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

    // Flushes the file to storage, closes it and renames it over the target.
    void commit();

private:
    std::filesystem::path target_;
    std::filesystem::path temporaryPath_;
    int descriptor_ = -1;
    bool committed_ = false;
};

}  // namespace vesh::detail
