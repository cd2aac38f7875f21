#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "Engine/Engine.h"

namespace vesh {

// What the window's controller asks the person in front of it: the window
// answers with dialogs, tests with answers of their own.
class UserInteraction {
public:
    // An answer to the existing-file question; `appliesToAll` when the person
    // chose it for the rest of the batch's questions as well.
    struct ExistingFileReply {
        ExistingFileAnswer answer = ExistingFileAnswer::stop;
        bool appliesToAll = false;
    };

    virtual ~UserInteraction() = default;

    // The existing-file question: a question alert with an empty message
    // text, `informativeText` as its informative text and the buttons "Skip",
    // "Replace", "Stop" in that order, and with `offersApplyToAll` (further
    // questions may follow in the batch) the check box "Apply to all". Asked
    // on the main thread, modally.
    virtual ExistingFileReply askAboutExistingFile(const std::string& informativeText, bool offersApplyToAll) = 0;

    // The folder chooser (directories only, may create one). Nothing when cancelled.
    virtual std::optional<std::filesystem::path> chooseOutputFolder() = 0;
};

// The existing-file question about the output at `location`, as both front
// ends ask it.
inline std::string existingFileQuestion(const std::filesystem::path& location) {
    return "A file named “" + location.filename().string() +
           "” already exists in the output folder. Do you want to skip it, replace it, or stop processing "
           "altogether?";
}

}  // namespace vesh
