#pragma once

#include <filesystem>
#include <optional>
#include <vector>

namespace vesh {

// Reads the names in the list file `list` ("-": standard input), one per
// line or, with `nulSeparated`, each ended by NUL (as `find -print0` writes
// them). Names are taken byte for byte; empty ones are left out. A list that
// is slow to come (a terminal, a pipe, a FIFO without a writer yet) is waited
// for until `interruptDescriptor` becomes readable: then nothing is returned.
// Throws std::system_error when the list cannot be read.
std::optional<std::vector<std::filesystem::path>> readFileList(const std::filesystem::path& list, bool nulSeparated,
                                                               int interruptDescriptor);

}  // namespace vesh
