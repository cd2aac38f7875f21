#pragma once

#include <cstddef>

namespace vesh {

// The processors this process may run on (its affinity), at least 1.
std::size_t availableProcessorCount();

}  // namespace vesh
