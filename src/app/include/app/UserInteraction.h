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
    using ExistingFileAnswer = vesh::ExistingFileAnswer;

    virtual ~UserInteraction() = default;

    // The existing-file question: a critical alert with an empty message text,
    // `informativeText` as its informative text and the buttons "Skip",
    // "Replace", "Stop" in that order. Asked on the main thread, modally.
    virtual ExistingFileAnswer askAboutExistingFile(const std::string& informativeText) = 0;

    // The same question where the asker needs the existing file's location
    // (to name it in its own report); by default the question above.
    virtual ExistingFileAnswer askAboutExistingTarget(const std::filesystem::path& target,
                                                      const std::string& informativeText) {
        static_cast<void>(target);
        return askAboutExistingFile(informativeText);
    }

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
