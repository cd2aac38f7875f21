// The alert texts for every kind of error the user is told about.

#include <gtest/gtest.h>

#include "AudioIO/AudioError.h"
#include "FullBandSpeechEnhancer/ModelError.h"
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

}  // namespace

TEST(AppErrorTexts, OwnFailuresOfTheApplicationCore) {
    const AppError noFolder(pointerTo(AppError::Base(AppError::Base::Code::missingOutputFolder)), AppState{true});
    EXPECT_EQ(noFolder.description(), "No output folder selected.");
    EXPECT_EQ(noFolder.recoverySuggestion(),
              "Click “Choose a folder” in the Output section to select a destination for the denoised audio.");
    EXPECT_STREQ(noFolder.what(), "No output folder selected.");

    const AppError enhancing(pointerTo(AppError::Base(AppError::Base::Code::failedToEnhanceAudio)), AppState{true});
    EXPECT_EQ(enhancing.description(), "An error occurred while processing the audio.");
    EXPECT_EQ(enhancing.recoverySuggestion(), generalAdvice);
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
            const AppError error(pointerTo(audioError(operation)), AppState{matchesInput});
            EXPECT_EQ(error.description(), description);
            // Only a failed write with the switch on suggests switching it off.
            const bool suggestsSwitch = operation == Operation::writeAudioFile && matchesInput;
            EXPECT_EQ(error.recoverySuggestion(), suggestsSwitch ? switchAdvice : generalAdvice);
        }
    }
}

TEST(AppErrorTexts, OnlyTheOutermostOperationDecides) {
    const AudioError readAroundWrite(pointerTo(audioError(AudioError::Operation::writeAudioFile)),
                                     AudioError::Operation::readAudioFile);
    const AppError error(pointerTo(readAroundWrite), AppState{true});
    EXPECT_EQ(error.description(), "An error occurred while opening the audio file.");
    EXPECT_EQ(error.recoverySuggestion(), generalAdvice);

    // A failed enhancement of distinct channels arrives as a map failure.
    const AudioError mapAroundEnhancement(pointerTo(AppError::Base(AppError::Base::Code::failedToEnhanceAudio)),
                                          AudioError::Operation::mapAudioStream);
    EXPECT_EQ(AppError(pointerTo(mapAroundEnhancement), AppState{}).description(),
              "An error occurred while processing the audio.");
}

TEST(AppErrorTexts, ForeignErrorsShowTheirOwnDescription) {
    const AppError modelFailure(
        pointerTo(
            ModelLoadError("/models/Model.onnx",
                           pointerTo(ModelError(7, "Load model from Model.onnx failed: protobuf parsing failed")))),
        AppState{true});
    EXPECT_EQ(modelFailure.description(), "The speech enhancer model “/models/Model.onnx” could not be loaded.");
    EXPECT_EQ(modelFailure.details(), "Load model from Model.onnx failed: protobuf parsing failed");
    EXPECT_EQ(modelFailure.recoverySuggestion(), generalAdvice);

    const AppError notAnException(std::make_exception_ptr(42), AppState{});
    EXPECT_FALSE(notAnException.description().empty());
    EXPECT_EQ(notAnException.recoverySuggestion(), generalAdvice);

    const AppError copy = modelFailure;
    EXPECT_EQ(copy.description(), modelFailure.description());
    EXPECT_TRUE(copy.state().outputFormatMatchesInput);
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

    // The core's own failures say everything in their title.
    EXPECT_EQ(AppError(pointerTo(AppError::Base(AppError::Base::Code::failedToEnhanceAudio)), AppState{}).details(),
              "");
}

TEST(AppErrorTexts, ABatchFailureNamesTheFailedFileAndWhatWasNotProcessed) {
    const auto base = pointerTo(AppError::Base(AppError::Base::Code::outputWouldReplaceSource));
    const AppError last(base, AppState{}, BatchFailure{"take.wav", {}});
    EXPECT_EQ(last.failureReport(), "“take.wav” was not processed.");
    const AppError one(base, AppState{}, BatchFailure{"take.wav", {"c.wav"}});
    EXPECT_EQ(one.failureReport(), "“take.wav” was not processed. 1 more file was not processed: c.wav.");
    const AppError two(base, AppState{}, BatchFailure{"take.wav", {"c.wav", "d.wav"}});
    EXPECT_EQ(two.informativeText(),
              "“take.wav” was not processed. 2 more files were not processed: c.wav, d.wav.\n\n"
              "Choose another output folder, or add a prefix or a suffix to the file names.");
}
