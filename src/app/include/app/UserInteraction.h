#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace vesh {

// What the application core asks the person in front of it. The window
// answers with dialogs, the command line with its options or a terminal prompt.
class UserInteraction {
public:
    enum class ExistingFileAnswer { skip, replace, stop };

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

    // Whether a file whose output would replace one of the batch's own
    // sources is skipped (true) or fails when its turn comes (false). That
    // output is never written, so there is nothing to ask.
    virtual bool skipsOutputsThatReplaceSources() const { return false; }

    // The folder chooser (directories only, may create one). Nothing when cancelled.
    virtual std::optional<std::filesystem::path> chooseOutputFolder() = 0;
};

}  // namespace vesh
