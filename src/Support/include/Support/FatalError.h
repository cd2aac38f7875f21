#pragma once

#include <source_location>
#include <string_view>

namespace vesh {

// Stops the process for a condition the program itself never produces
// (a missing resource, an impossible size or code): prints
// "Fatal error: <message>" with the source position to stderr and aborts.
[[noreturn]] void fatalError(std::string_view message = {},
                             std::source_location where = std::source_location::current());

}  // namespace vesh
