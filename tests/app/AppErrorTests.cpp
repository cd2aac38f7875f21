// The alert texts for every kind of error the user is told about.

#include <gtest/gtest.h>

#include "AudioIO/AudioError.h"
#include "Engine/Batch.h"
#include "app/AppError.h"

using namespace vesh;

namespace {

const std::string generalAdvice = "If the problem persists, please contact support@veshaudio.org.";
const std::string switchAdvice =
    "Try switching off the toggle next to “Same as original file” and choosing an output format manually. If the "
    "problem persists, please contact support@veshaudio.org.";

template <typename Error>
std::exception_ptr pointerTo(Error error) {
    return std::make_exception_ptr(std::move(error));
}

AudioError audioError(AudioError::Operation operation) {
    return AudioError(pointerTo(AudioLibraryError("codec", -1, "broken stream")), operation);
}

std::exception_ptr coreError(AppError::Base::Code code) { return pointerTo(AppError::Base(code)); }

}  // namespace

TEST(AppErrorTexts, OwnFailuresOfTheApplicationCore) {
    const AppError noFolder(coreError(AppError::Base::Code::missingOutputFolder), AppState{true});
    EXPECT_EQ(noFolder.description(), "No output folder selected.");
    EXPECT_EQ(noFolder.recoverySuggestion(),
              "Click “Choose a folder” in the Output section to select a destination for the denoised audio.");

    // The core's own failures say everything in their title.
    const AppError enhancing(coreError(AppError::Base::Code::failedToEnhanceAudio), AppState{true});
    EXPECT_EQ(enhancing.description(), "An error occurred while processing the audio.");
    EXPECT_EQ(enhancing.recoverySuggestion(), generalAdvice);
    EXPECT_EQ(enhancing.details(), "");
}

TEST(AppErrorTexts, AudioErrorsByTheirOwnOperation) {
    using Operation = AudioError::Operation;
    const std::pair<Operation, std::string> expected[] = {
        {Operation::readAudioFile, "An error occurred while opening the audio file."},
        {Operation::writeAudioFile, "An error occurred while saving the audio file."},
        {Operation::resampleAudioStream, "An error occurred while resampling the audio."},
        {Operation::mapAudioStream, "An error occurred while processing the audio."},
        {Operation::mutateAudioStreamInPlace, "An error occurred while processing the audio."},
    };
    for (const auto& [operation, description] : expected) {
        for (const bool matchesInput : {false, true}) {
            SCOPED_TRACE(description + (matchesInput ? " (matching the input)" : ""));
            const AppError error(pointerTo(audioError(operation)), AppState{matchesInput});
            EXPECT_EQ(error.description(), description);
            // Only a failed write with the switch on suggests switching it off.
            const bool suggestsSwitch = operation == Operation::writeAudioFile && matchesInput;
            EXPECT_EQ(error.recoverySuggestion(), suggestsSwitch ? switchAdvice : generalAdvice);
        }
    }

    // Only the outermost operation decides.
    const AudioError readAroundWrite(pointerTo(audioError(Operation::writeAudioFile)), Operation::readAudioFile);
    const AppError nested(pointerTo(readAroundWrite), AppState{true});
    EXPECT_EQ(nested.description(), "An error occurred while opening the audio file.");
    EXPECT_EQ(nested.recoverySuggestion(), generalAdvice);
}

TEST(AppErrorTexts, DetailsGiveTheUnderlyingCauseWithoutOperationNames) {
    const AudioError missing(
        pointerTo(AudioLibraryError("file system", 2, "opening /in/a.wav: No such file or directory")),
        AudioError::Operation::readAudioFile);
    const AppError error(pointerTo(AudioError(pointerTo(missing), AudioError::Operation::readAudioFile)), AppState{});
    EXPECT_EQ(error.details(), "No such file or directory");
    EXPECT_EQ(error.informativeText(), "Details: No such file or directory\n\n" + generalAdvice);

    // Running out of memory reads as such, whatever operation it stopped.
    const AppError memory(
        pointerTo(AudioError(std::make_exception_ptr(std::bad_alloc()), AudioError::Operation::readAudioFile)),
        AppState{});
    EXPECT_EQ(memory.details(), "Not enough memory is available to process this file.");
    EXPECT_EQ(AppError(std::make_exception_ptr(std::bad_alloc()), AppState{}).description(),
              "An error occurred while processing the audio.");
}

TEST(AppErrorTexts, ABatchFailureNamesTheFailedFileAndWhatWasNotProcessed) {
    const auto base = pointerTo(BatchError(BatchError::Code::outputWouldReplaceSource));
    EXPECT_EQ(AppError(base, AppState{}, BatchFailure{"take.wav", {}}).failureReport(),
              "“take.wav” was not processed.");
    EXPECT_EQ(AppError(base, AppState{}, BatchFailure{"take.wav", {"c.wav"}}).failureReport(),
              "“take.wav” was not processed. 1 more file was not processed: c.wav.");
    EXPECT_EQ(AppError(base, AppState{}, BatchFailure{"take.wav", {"c.wav", "d.wav"}}).informativeText(),
              "“take.wav” was not processed. 2 more files were not processed: c.wav, d.wav.\n\n"
              "Choose another output folder, or add a prefix or a suffix to the file names.");
}
