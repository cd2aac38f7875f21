#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

namespace vesh {

// Hidden temporary files beside the outputs. Their names carry the host and
// the process that made them, so that a later run into the same folder can
// tell the files that a killed process left behind from those of a process
// that still works on them, here or on another host sharing the folder.

// A template for mkstemps (six X before a four-character suffix) of a hidden
// temporary file in `folder` that stands for `name`; `name` is shortened so
// that the whole name stays within the folder's file name limit.
std::string temporaryFileTemplate(const std::filesystem::path& folder, std::string_view name);

// Removes the temporary files in `folder` that a process of this host made
// and that no longer exists; those of running processes and of other hosts
// stay. Returns how many were removed.
std::size_t removeAbandonedTemporaryFiles(const std::filesystem::path& folder);

// Closes `descriptor`, an open file whose data is no longer wanted. A large
// file (an unnamed one, or one whose names are removed) is emptied and
// closed by a short-lived background process of its own, so that neither
// this call nor the exit of this process waits while the file system frees
// its storage, which takes seconds for a gigabyte.
void closeDiscarding(int descriptor);

// Removes the file at `path`, the same way.
void removeDiscarding(const std::filesystem::path& path);

}  // namespace vesh
