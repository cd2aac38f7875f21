#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "AudioIO/AudioFile.h"
#include "AudioIO/AudioFileWriter.h"
#include "AudioIO/CommonAudioFileFormat.h"
#include "Engine/ProcessingError.h"

namespace vesh {

class VariableLengthSpeechEnhancer;

// What becomes of an output whose location is taken: the one answer of the
// existing-file question, wherever it is asked.
enum class ExistingFileAnswer {
    skip,     // the output is dropped
    replace,  // the output takes the place of the item there
    stop,     // the output is dropped and nothing more is processed
};

// The loudness every output is brought to, by one gain per file, for
// publishing: off (the output keeps its level), or an integrated loudness
// with the true peak kept at or below a ceiling. Where the target's gain
// would push the true peak past the ceiling, the gain is lowered to meet it
// and the output stays quieter than the target; nothing limits or compresses.
struct LoudnessTarget {
    static constexpr double podcastLoudness = -16.0;
    static constexpr double broadcastLoudness = -23.0;
    // The loudness a target may name, in LUFS.
    static constexpr double lowestLoudness = -40.0;
    static constexpr double highestLoudness = -5.0;
    static constexpr double truePeakCeiling = -1.0;  // dBTP

    // Nothing: off.
    std::optional<double> integratedLoudness;

    // "off", "podcast" (-16 LUFS), "broadcast" (-23 LUFS) or the loudness
    // as a number ("-18.5"): the name settings and the command line use.
    std::string name() const;
    // The target a name gives, a number from lowestLoudness to
    // highestLoudness included; nothing for any other text.
    static std::optional<LoudnessTarget> fromName(std::string_view name);

    friend bool operator==(const LoudnessTarget&, const LoudnessTarget&) = default;
};

// What the loudness target made of an output: its loudness as enhanced and
// mixed, the gain applied and the loudness reached, in LUFS and dB.
struct LoudnessAdjustment {
    double targetLoudness = 0.0;
    double measuredLoudness = 0.0;
    double gainDecibels = 0.0;
    double reachedLoudness = 0.0;
    // The true peak ceiling lowered the gain: the target was not reached.
    bool limitedByTruePeak = false;
    // Silence (or a signal below the measurement's absolute gate) has no
    // loudness to adjust and is left as it is.
    bool silent = false;
};

// What processFile makes of a file. Filled in by the caller and passed by
// value, so that a batch can take one snapshot of its settings.
struct ProcessingOptions {
    enum class Response { continueProcessing, stopProcessing };
    // Called on the processing thread from the start of the call and at
    // least every few hundred milliseconds while it works, with one
    // completed fraction per progress entry: none until the source is open,
    // then one per channel, and a single one once the channels have been
    // found identical. Each entry covers both passes over the file; where
    // several audio streams of a video are processed one after another,
    // each stream's entries cover its equal share of the whole, after the
    // shares of the streams before it. Answering stopProcessing cancels
    // the call.
    using ProgressHandler = std::function<Response(std::span<const double> entries)>;

    // Called on the processing thread with the location when the finished
    // output finds a file-system item there (one that appeared while the file
    // was processed, or one the caller agreed to replace). Skip ends the call
    // without a file, stop fails it with ProcessingError(stoppedAtExistingFile).
    // It may throw: a ProcessingError ends the call as it is, any other error
    // as the base of ProcessingError(unexpected).
    using ExistingFileHandler = std::function<ExistingFileAnswer(const std::filesystem::path& location)>;

    // Writes in the stored format of the source at its rate; the output
    // format's bit depth and file format are then the fallback for a format
    // the writer cannot produce, and its rate is not used.
    bool matchSourceFormat = false;
    AudioFormat outputFormat;
    // Share of the enhanced signal; the rest is the untouched signal. 1 or
    // more (or not a number) writes the enhanced signal alone.
    double wetDryMix = 1.0;
    // Brings the enhanced, mixed signal to a loudness, measured at the output rate.
    LoudnessTarget loudnessTarget;
    // Required; may serve other calls at the same time.
    const VariableLengthSpeechEnhancer* enhancer = nullptr;
    ProgressHandler handleProgress;
    // Without a handler an output never replaces anything: the call fails
    // with ProcessingError(writingOutput) instead.
    ExistingFileHandler handleExistingFile;
};

struct ProcessingResult {
    // The target, or the fallback location when the source's format could
    // not be written; empty when the output was dropped for an item at its
    // location (ExistingFileAnswer::skip).
    std::filesystem::path writtenTo;
    // Seconds of audio in the source.
    double duration = 0.0;
    // Stretches of the source that were damaged and written as silence.
    std::vector<DamagedStretch> damagedStretches;
    // Set when an integer output had to clip samples.
    std::optional<Clipping> clipping;
    // Source samples that were not a number, infinite or beyond +60 dBFS
    // (a magnitude above 1000) and were taken as 0, over all channels.
    std::int64_t replacedSamples = 0;
    // Set when the options named a loudness target.
    std::optional<LoudnessAdjustment> loudness;

    // One sentence for each of the above, for people.
    std::vector<std::string> warnings() const;
};

// Mixes the untouched signal `dry` into the enhanced signal `wet` (as long
// as `wet`) at the share `wetDryMix` of the enhanced signal, as processFile
// does: wet * mix + dry * (1 - mix), the shares rounded to 32 bits. 1 or more
// (or not a number) leaves `wet` as it is.
void mixWetDry(std::span<float> wet, std::span<const float> dry, double wetDryMix);

// Enhances the audio file `source` into `target`: decode, convert to the
// enhancer's rate, enhance each channel (once when all are identical), mix
// with the untouched signal, convert to the output rate, write. Two passes,
// block by block, keep memory independent of the file's length: the first
// decodes, converts, measures each channel's loudness and compares the
// channels, keeping the converted signal in an unnamed temporary file beside
// the target; the second enhances that signal and writes. A source that
// cannot be opened twice (a pipe) is first copied beside the target and the
// copy removed afterwards; a source whose size or modification time changes
// before the end fails. NaN, infinite and implausibly large source samples
// (beyond +60 dBFS) are taken as 0, and stretches the decoder finds damaged
// as silence of their length; both are told in the result, as is the
// clipping of an integer output. With a loudness target the output is
// kept beside the target and measured, then written with its one gain.
// Written in the format of a source with video, every audio stream of it is
// processed alike, each brought to the loudness target by a gain of its own:
// the others first, each kept cleaned beside the target until the output is
// written, then the one reading chooses. The result's damaged stretches and
// replaced samples cover every stream; its duration and loudness adjustment
// are the chosen stream's. The target appears only when complete; on any
// failure or cancellation nothing is left behind. Before any decoding the
// output's expected size is checked against the file type's limits and the
// folder's free space (with the signals kept beside it):
// ProcessingError(nameTooLong, outputTooLarge, outputTooLong or
// notEnoughSpace). The output never replaces an item at its location
// without the existing-file handler's answer. Throws ProcessingError only.
ProcessingResult processFile(const std::filesystem::path& source, const std::filesystem::path& target,
                             ProcessingOptions options);

// Readies `folder` for a batch of outputs: creates and removes a probe file,
// so that a folder no file can be created in is reported before any work
// (ProcessingError(folderNotWritable), whose base names the folder and the
// system's reason), then removes the temporary files that processes of this
// host which no longer exist left there. Throws ProcessingError only.
void prepareOutputFolder(const std::filesystem::path& folder);

}  // namespace vesh
