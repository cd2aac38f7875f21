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

// The missing output folder's alert is checked as the window shows it.
TEST(AppErrorTexts, OwnFailuresOfTheApplicationCore) {
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

// A source the decoder cannot take as audio is told in plain words, with the
// decoder's own words as details; no support address mends such a file.
TEST(AppErrorTexts, ASourceThatIsDamagedOrNotAudioIsSaidToBeSo) {
    // The decoder's codes for malformed data, a container without audio, an
    // unknown container, and bytes a demuxer was probed for but cannot parse.
    for (const int code : {-1094995529, -1381258232, -1296385272, -22}) {
        SCOPED_TRACE(code);
        const AudioError decoding(
            pointerTo(
                AudioLibraryError("FFmpeg", code, "opening /in/notes.wav: Invalid data found when processing input")),
            AudioError::Operation::readAudioFile);
        const AppError error(pointerTo(AudioError(pointerTo(decoding), AudioError::Operation::readAudioFile)),
                             AppState{true});
        EXPECT_EQ(error.description(), "The file is damaged or is not an audio file.");
        EXPECT_EQ(error.recoverySuggestion(),
                  "Check that the file plays in a media player. If it does not, export it again from the program "
                  "that made it.");
        EXPECT_EQ(error.details(), "Invalid data found when processing input");
    }

    // A file that cannot be opened at all, and a decoder error while writing, are not about the content.
    const AudioError missing(pointerTo(AudioLibraryError("FFmpeg", -2, "opening /in/a.wav: No such file or directory")),
                             AudioError::Operation::readAudioFile);
    EXPECT_EQ(AppError(pointerTo(missing), AppState{}).description(),
              "An error occurred while opening the audio file.");
    const AudioError writing(pointerTo(AudioLibraryError("FFmpeg", -1094995529, "encoding: Invalid data")),
                             AudioError::Operation::writeAudioFile);
    EXPECT_EQ(AppError(pointerTo(writing), AppState{}).description(), "An error occurred while saving the audio file.");
}
