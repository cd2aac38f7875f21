#include "cli/TerminalInteraction.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>

#include "app/UserInteraction.h"
#include "cli/TerminalText.h"

namespace vesh {

TerminalInteraction::TerminalInteraction(std::optional<ExistingFileAnswer> answer, int interruptDescriptor)
    : answer_(answer), interruptDescriptor_(interruptDescriptor) {}

ExistingFileAnswer TerminalInteraction::askAboutExistingFile(const std::filesystem::path& location) {
    const ExistingFileAnswer answer = answer_ ? *answer_ : prompt(existingFileQuestion(location));
    if (answer == ExistingFileAnswer::stop) {
        stopped_ = true;
        if (answer_) stoppedByPolicyAt_ = location;
    }
    return answer;
}

ExistingFileAnswer TerminalInteraction::prompt(const std::string& question) {
    std::fprintf(stderr, "%s\n", escapedForTerminal(question).c_str());
    for (;;) {
        std::fputs("[s]kip, [r]eplace or s[t]op? ", stderr);
        std::fflush(stderr);
        const std::optional<std::string> line = readLine();
        if (!line) {
            std::fputc('\n', stderr);
            return ExistingFileAnswer::stop;
        }
        std::string answer = *line;
        answer.erase(std::remove_if(answer.begin(), answer.end(), [](unsigned char c) { return std::isspace(c); }),
                     answer.end());
        std::transform(answer.begin(), answer.end(), answer.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (answer == "s" || answer == "skip") return ExistingFileAnswer::skip;
        if (answer == "r" || answer == "replace") return ExistingFileAnswer::replace;
        if (answer == "t" || answer == "stop") return ExistingFileAnswer::stop;
    }
}

std::optional<std::string> TerminalInteraction::readLine() {
    std::string line;
    for (;;) {
        pollfd descriptors[2] = {{STDIN_FILENO, POLLIN, 0}, {interruptDescriptor_, POLLIN, 0}};
        if (poll(descriptors, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return std::nullopt;
        }
        if (descriptors[1].revents & POLLIN) {
            interrupted_ = true;
            return std::nullopt;
        }
        char byte = 0;
        const ssize_t count = read(STDIN_FILENO, &byte, 1);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) return line.empty() ? std::nullopt : std::optional<std::string>(line);
        if (byte == '\n') return line;
        line.push_back(byte);
    }
}

}  // namespace vesh
