#include "cli/FileList.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>

namespace vesh {

namespace {

class ListInput {
public:
    explicit ListInput(const std::filesystem::path& list)
        : descriptor_(list.native() == "-" ? STDIN_FILENO : ::open(list.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)),
          owned_(list.native() != "-") {
        if (descriptor_ < 0) throw std::system_error(errno, std::generic_category());
    }
    ~ListInput() {
        if (owned_) ::close(descriptor_);
    }
    ListInput(const ListInput&) = delete;
    ListInput& operator=(const ListInput&) = delete;
    int get() const { return descriptor_; }

private:
    int descriptor_;
    bool owned_;
};

}  // namespace

std::optional<std::vector<std::filesystem::path>> readFileList(const std::filesystem::path& list, bool nulSeparated,
                                                               int interruptDescriptor) {
    // Opened without blocking: a FIFO without a writer would hold open().
    const ListInput input(list);
    const char separator = nulSeparated ? '\0' : '\n';
    std::vector<std::filesystem::path> files;
    std::string pending;
    const auto take = [&] {
        if (!pending.empty()) files.emplace_back(pending);
        pending.clear();
    };
    char block[65536];
    for (;;) {
        pollfd waiting[2] = {{input.get(), POLLIN, 0}, {interruptDescriptor, POLLIN, 0}};
        if (::poll(waiting, 2, -1) < 0) {
            if (errno == EINTR) continue;
            throw std::system_error(errno, std::generic_category());
        }
        if (waiting[1].revents & POLLIN) return std::nullopt;
        if (waiting[0].revents == 0) continue;
        const ssize_t received = ::read(input.get(), block, sizeof block);
        if (received < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            throw std::system_error(errno, std::generic_category());
        }
        if (received == 0) break;
        for (ssize_t k = 0; k < received; ++k) {
            if (block[k] == separator) {
                take();
            } else {
                pending.push_back(block[k]);
            }
        }
    }
    take();
    return files;
}

}  // namespace vesh
