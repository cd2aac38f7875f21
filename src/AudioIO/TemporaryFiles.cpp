#include "AudioIO/TemporaryFiles.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
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

// Files smaller than this are freed at once; starting a process costs more.
constexpr blkcnt_t smallestFileFreedInBackground = (32 << 20) / 512;

// Hands `descriptor` to a new process that empties the file and ends; false
// where none could be started. Whichever of the two lets go of the file
// last frees the rest of it, which is little once the emptying has begun.
// The process is spawned without copying this one (a forked copy would
// share its memory until it ended, and every page this process then wrote
// would be copied first), keeps nothing else of this process open (no pipe
// it writes to waits for it) and runs in a session of its own, so that a
// second Ctrl-C does not reach it. A shell starts it in the background and
// ends at once, so that the system adopts and reaps it and this process
// waits for nothing but the shell.
bool emptyInBackground(int descriptor) {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    posix_spawn_file_actions_adddup2(&actions, descriptor, 3);
    for (int standard = 0; standard < 3; ++standard) {
        posix_spawn_file_actions_addopen(&actions, standard, "/dev/null", O_RDWR, 0);
    }
    posix_spawn_file_actions_addclosefrom_np(&actions, 4);
    sigset_t every, none;
    sigfillset(&every);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attributes, &every);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    // The system's own truncate (coreutils, always installed) opens the file
    // through the descriptor it inherits.
    char shell[] = "sh", command[] = "-c", script[] = "/usr/bin/truncate --size=0 /proc/self/fd/3 &";
    char* const arguments[] = {shell, command, script, nullptr};
    char* const environment[] = {nullptr};
    pid_t starter = 0;
    const int result = ::posix_spawn(&starter, "/bin/sh", &actions, &attributes, arguments, environment);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (result != 0) return false;
    while (::waitpid(starter, nullptr, 0) < 0 && errno == EINTR) {
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
    // Appended piece by piece: chains of string additions that start with a
    // literal make GCC's optimiser warn about overlapping copies that the
    // library never makes.
    std::string owner(marker);
    owner.append(hostName()).append(1, '.').append(std::to_string(::getpid())).append(1, '.');
    owner.append(randomLength, 'X');
    const std::size_t fixed = 1 + owner.size() + suffix.size();
    const std::size_t limit = nameLimit(folder);
    const std::size_t room = limit > fixed ? limit - fixed : 0;
    std::string fileName(1, '.');
    fileName.append(name.substr(0, room)).append(owner).append(suffix);
    return (folder / fileName).string();
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
