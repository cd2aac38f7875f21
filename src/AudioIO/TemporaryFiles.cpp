#include "AudioIO/TemporaryFiles.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <optional>
#include <system_error>

namespace vesh {

namespace {

// ".<name>.vesh@<host>.<process id>.<XXXXXX>.tmp": a host name holds no "@",
// and the random part and the process id hold no ".", so the owner can be
// read back from the end of the name.
constexpr std::string_view marker = ".vesh@";
constexpr std::string_view suffix = ".tmp";
constexpr std::size_t randomLength = 6;

std::string hostName() {
    char name[HOST_NAME_MAX + 1] = {};
    if (::gethostname(name, sizeof name - 1) != 0) return "localhost";
    return name;
}

std::size_t nameLimit(const std::filesystem::path& folder) {
    const long limit = ::pathconf(folder.c_str(), _PC_NAME_MAX);
    return limit > 0 ? static_cast<std::size_t>(limit) : 255;
}

struct Owner {
    std::string host;
    pid_t process = 0;
};

std::optional<Owner> ownerOf(std::string_view name) {
    if (name.empty() || name.front() != '.' || !name.ends_with(suffix)) return std::nullopt;
    const std::size_t start = name.rfind(marker);
    if (start == std::string_view::npos) return std::nullopt;
    std::string_view rest = name.substr(start + marker.size());
    rest.remove_suffix(suffix.size());
    if (rest.size() < randomLength + 1 || rest[rest.size() - randomLength - 1] != '.') return std::nullopt;
    rest.remove_suffix(randomLength + 1);
    const std::size_t dot = rest.rfind('.');
    if (dot == std::string_view::npos || dot == 0) return std::nullopt;
    const std::string_view digits = rest.substr(dot + 1);
    Owner owner{std::string(rest.substr(0, dot)), 0};
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), owner.process);
    if (error != std::errc() || end != digits.data() + digits.size() || owner.process <= 0) return std::nullopt;
    return owner;
}

bool isRunning(pid_t process) { return ::kill(process, 0) == 0 || errno == EPERM; }

// Files smaller than this are freed at once; forking costs more.
constexpr blkcnt_t smallestFileFreedInBackground = (32 << 20) / 512;

// Hands `descriptor` to a new process, a grandchild of this one, that
// empties the file and ends; false where no such process could be made.
// Whichever of the two lets go of the file last frees the rest of it, which
// is little once the emptying has begun.
// The grandchild keeps nothing else of this process open (no pipe it writes
// to waits for it) and leaves the terminal's process group, so that a
// second Ctrl-C does not reach it. Only async-signal-safe calls follow the
// fork, as required in a process with threads.
bool emptyInBackground(int descriptor) {
    const pid_t child = ::fork();
    if (child < 0) return false;
    if (child == 0) {
        if (::fork() == 0) {
            ::setsid();
            if (descriptor > 0) ::close_range(0, static_cast<unsigned>(descriptor) - 1, 0);
            ::close_range(static_cast<unsigned>(descriptor) + 1, ~0u, 0);
            ::ftruncate(descriptor, 0);
            ::_exit(0);
        }
        ::_exit(0);
    }
    // The child ends as soon as it has forked; its grandchild is adopted by
    // the system and reaped there.
    while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
    return true;
}

bool isLarge(int descriptor) {
    struct stat status {};
    return ::fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode) &&
           status.st_blocks >= smallestFileFreedInBackground;
}

}  // namespace

std::string temporaryFileTemplate(const std::filesystem::path& folder, std::string_view name) {
    const std::string owner =
        std::string(marker) + hostName() + "." + std::to_string(::getpid()) + "." + std::string(randomLength, 'X');
    const std::size_t fixed = 1 + owner.size() + suffix.size();
    const std::size_t limit = nameLimit(folder);
    const std::size_t room = limit > fixed ? limit - fixed : 0;
    return (folder / ("." + std::string(name.substr(0, room)) + owner + std::string(suffix))).string();
}

void closeDiscarding(int descriptor) {
    if (descriptor < 0) return;
    if (isLarge(descriptor)) emptyInBackground(descriptor);
    ::close(descriptor);
}

void removeDiscarding(const std::filesystem::path& path) {
    // The name goes first: while the file is open its storage stays, so
    // that removing the name is quick, and it is not held up by the
    // emptying, which locks the file.
    const int descriptor = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    ::unlink(path.c_str());
    closeDiscarding(descriptor);
}

std::size_t removeAbandonedTemporaryFiles(const std::filesystem::path& folder) {
    const std::string host = hostName();
    std::size_t removed = 0;
    std::error_code error;
    for (std::filesystem::directory_iterator entry(folder, error), end; !error && entry != end;
         entry.increment(error)) {
        const std::optional<Owner> owner = ownerOf(entry->path().filename().native());
        if (!owner || owner->host != host || isRunning(owner->process)) continue;
        std::error_code ignored;
        if (entry->is_regular_file(ignored) && std::filesystem::remove(entry->path(), ignored)) ++removed;
    }
    return removed;
}

}  // namespace vesh
