// The alert texts for every kind of error the user is told about.

#include <gtest/gtest.h>

#include "AudioIO/AudioError.h"
#include "app/AppError.h"

using namespace vesh;

namespace {

using Kind = ProcessingError::Kind;

const std::string generalAdvice = "If the problem persists, please contact support@veshaudio.org.";
const std::string switchAdvice =
    "Try switching off the toggle next to “Same as original file” and choosing an output format manually. If the "
    "problem persists, please contact support@veshaudio.org.";

template <typename Error>
std::exception_ptr pointerTo(Error error) {
    return std::make_exception_ptr(std::move(error));
}

// An error of the audio layer as the engine finds it: an operation around
// an operation around the library's error.
std::exception_ptr audioError(AudioError::Operation operation, std::exception_ptr libraryError) {
    return pointerTo(AudioError(pointerTo(AudioError(std::move(libraryError), operation)), operation));
}

}  // namespace

// The missing output folder's alert is checked as the window shows it; a
// source that is not audio and a model that cannot be loaded as the command
// line prints them.
TEST(AppErrorTexts, OwnFailuresOfTheApplicationCore) {
    // The core's own failures say everything in their title.
    const AppError enhancing(AppError::Base::failedToEnhanceAudio, AppState{true});
    EXPECT_EQ(enhancing.description(), "An error occurred while processing the audio.");
    EXPECT_EQ(enhancing.recoverySuggestion(), generalAdvice);
    EXPECT_EQ(enhancing.details(), "");
}

TEST(AppErrorTexts, EngineFailuresByWhatFailed) {
    const auto broken = pointerTo(AudioLibraryError("codec", -1, "decoding: broken stream"));
    using Operation = AudioError::Operation;
    const std::tuple<ProcessingError, std::string, std::string> expected[] = {
        {ProcessingError(Kind::readingSource, audioError(Operation::readAudioFile, broken)),
         "An error occurred while opening the audio file.", "broken stream"},
        {ProcessingError(Kind::sourceChanged), "An error occurred while opening the audio file.",
         "The source file changed while it was being processed."},
        {ProcessingError(Kind::convertingRate, audioError(Operation::resampleAudioStream, broken)),
         "An error occurred while resampling the audio.", "broken stream"},
        {ProcessingError(Kind::writingOutput, audioError(Operation::writeAudioFile, broken)),
         "An error occurred while saving the audio file.", "broken stream"},
        // The enhancer's own error is dropped.
        {ProcessingError(Kind::enhancing, pointerTo(std::runtime_error("the runtime's words"))),
         "An error occurred while processing the audio.", ""},
        {ProcessingError(Kind::unexpected, pointerTo(std::bad_alloc())),
         "An error occurred while processing the audio.", "Not enough memory is available to process this file."},
    };
    for (const auto& [error, description, details] : expected) {
        for (const bool matchesInput : {false, true}) {
            SCOPED_TRACE(description + (matchesInput ? " (matching the input)" : ""));
            const AppError told(error, AppState{matchesInput});
            EXPECT_EQ(told.description(), description);
            EXPECT_EQ(told.details(), details);
            // Only a failed write with the switch on suggests switching it off.
            const bool suggestsSwitch = error.kind() == Kind::writingOutput && matchesInput;
            EXPECT_EQ(told.recoverySuggestion(), suggestsSwitch ? switchAdvice : generalAdvice);
        }
    }

    // Running out of memory reads as such, whatever operation it stopped.
    const AppError memory(
        ProcessingError(Kind::readingSource,
                        pointerTo(AudioError(pointerTo(std::bad_alloc()), AudioError::Operation::readAudioFile))),
        AppState{});
    EXPECT_EQ(memory.details(), "Not enough memory is available to process this file.");
    EXPECT_EQ(memory.informativeText(),
              "Details: Not enough memory is available to process this file.\n\n" + generalAdvice);
}

// An output refused before the work says what to change; with the switch
// on, a format that cannot hold the output means switching it off first.
TEST(AppErrorTexts, ARefusedOutputSaysWhatToChange) {
    const std::tuple<Kind, std::string, std::string> expected[] = {
        {Kind::folderNotWritable, "Choose an output folder that you can write to.",
         "Choose an output folder that you can write to."},
        {Kind::nameTooLong, "Use a shorter prefix or suffix, or shorten the name of the original file.",
         "Use a shorter prefix or suffix, or shorten the name of the original file."},
        {Kind::notEnoughSpace, "Free some space on that disk, or choose an output folder on another disk.",
         "Free some space on that disk, or choose an output folder on another disk."},
        {Kind::outputTooLarge, "Choose WAV or FLAC as the output format: they hold files of this size.",
         "Switch off the toggle next to “Same as original file” and choose WAV or FLAC as the output format: they "
         "hold files of this size."},
        {Kind::outputTooLong, "Choose WAV as the output format: it holds recordings of this length.",
         "Switch off the toggle next to “Same as original file” and choose WAV as the output format: it holds "
         "recordings of this length."},
    };
    const auto refusal = pointerTo(AudioError(
        pointerTo(UnwritableOutputError(UnwritableOutputError::Code::tooLarge, "An AIFF file holds at most 4 GiB.")),
        AudioError::Operation::writeAudioFile));
    for (const auto& [kind, advice, adviceMatchingInput] : expected) {
        SCOPED_TRACE(advice);
        const AppError told(ProcessingError(kind, refusal), AppState{false});
        EXPECT_EQ(told.description(), "An error occurred while saving the audio file.");
        EXPECT_EQ(told.details(), "An AIFF file holds at most 4 GiB.");
        EXPECT_EQ(told.recoverySuggestion(), advice);
        EXPECT_EQ(AppError(ProcessingError(kind, refusal), AppState{true}).recoverySuggestion(), adviceMatchingInput);
    }
}

// One file left after the failure is told as the command line shows it.
TEST(AppErrorTexts, ABatchFailureNamesTheFailedFileAndWhatWasNotProcessed) {
    const ProcessingError replacing(Kind::outputWouldReplaceSource);
    EXPECT_EQ(AppError(replacing, AppState{}, BatchFailure{"take.wav", {}}).failureReport(),
              "“take.wav” was not processed.");
    EXPECT_EQ(AppError(replacing, AppState{}, BatchFailure{"take.wav", {"c.wav", "d.wav"}}).informativeText(),
              "“take.wav” was not processed. 2 more files were not processed: c.wav, d.wav.\n\n"
              "Choose another output folder, or add a prefix or a suffix to the file names.");
}
