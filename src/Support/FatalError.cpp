#include "Support/FatalError.h"

#include <cstdio>
#include <cstdlib>

namespace vesh {

void fatalError(std::string_view message, std::source_location where) {
    std::fprintf(stderr, "%s:%u: Fatal error%s%.*s\n", where.file_name(), static_cast<unsigned>(where.line()),
                 message.empty() ? "" : ": ", static_cast<int>(message.size()), message.data());
    std::fflush(stderr);
    std::abort();
}

}  // namespace vesh
