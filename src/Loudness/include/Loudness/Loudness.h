#pragma once

#include <compare>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <span>

namespace vesh {

// A loudness in LUFS (EBU R128 / ITU-R BS.1770 K-weighted), and its
// measurement on a mono 32-bit float signal.
class Loudness {
public:
    enum class Mode {
        momentary = 0,   // the last 400 ms
        shortTerm = 1,   // the last 3 s
        integrated = 2,  // all samples, gated
    };

    // A failure reported by the measurement library.
    class Error : public std::exception {
    public:
        enum class Code { failedToAllocateMemory, invalidMode, invalidChannelIndex, noChange };
        explicit Error(Code code) : code_(code) {}
        Code code() const noexcept { return code_; }
        const char* what() const noexcept override;
        friend bool operator==(const Error& a, const Error& b) { return a.code_ == b.code_; }

    private:
        Code code_;
    };

    explicit Loudness(double unitsRelativeToFullScale) : value_(unitsRelativeToFullScale) {}

    // Measures `samples` (read in place) at `sampleRate` Hz. An empty or
    // silent signal measures as negative infinity. Throws Loudness::Error,
    // failedToAllocateMemory also for a rate outside 18 to 2822400 Hz.
    Loudness(std::span<const float> samples, std::int64_t sampleRate, Mode mode);

    double unitsRelativeToFullScale() const noexcept { return value_; }

    friend bool operator==(const Loudness& a, const Loudness& b) { return a.value_ == b.value_; }
    friend auto operator<=>(const Loudness& a, const Loudness& b) { return a.value_ <=> b.value_; }

private:
    double value_;
};

// The integrated loudness of a mono signal fed block by block: the same
// value as Loudness(samples, sampleRate, Mode::integrated) over all of it.
//
// With more than one stretch at once, consecutive stretches of the signal
// (20 s each) are measured on threads of their own and their gating blocks
// pooled. Each stretch's filters start from rest, warmed by the 300 ms
// before it, and its gating blocks line up with the whole signal's, so the
// value differs from one measurement over all of it only by the filters'
// first milliseconds in each stretch: well below 0.001 LU on recorded sound.
class LoudnessMeter {
public:
    // Throws Loudness::Error(failedToAllocateMemory), also for a rate outside 18 to 2822400 Hz.
    explicit LoudnessMeter(std::int64_t sampleRate, std::size_t stretchesAtOnce = 1);
    ~LoudnessMeter();
    LoudnessMeter(LoudnessMeter&&) noexcept;
    LoudnessMeter& operator=(LoudnessMeter&&) noexcept;

    // Throws Loudness::Error.
    void add(std::span<const float> samples);
    // Waits for the stretches being measured. Throws Loudness::Error.
    Loudness integratedLoudness() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

// What a publishing target reads of a whole programme: its integrated
// loudness over all channels and its true peak (the highest of any channel,
// between samples included), in dB relative to full scale. Silence has
// both at negative infinity.
struct ProgrammeLevel {
    Loudness integrated;
    double truePeakDecibels;
};

// The integrated loudness and true peak of a programme of one or more
// channels fed block by block. Channels are weighted by their place in the
// decoder's order: with six or more, left, right and centre count alike, the
// fourth (low-frequency effects) is left out and the rest are surrounds,
// raised by 1.5 dB; four channels are two fronts and two surrounds, five are
// three fronts and two surrounds, one to three are fronts.
class ProgrammeMeter {
public:
    // Throws Loudness::Error(failedToAllocateMemory), also for a rate outside
    // 18 to 2822400 Hz or no channels.
    ProgrammeMeter(std::int64_t sampleRate, std::size_t channelCount);
    ~ProgrammeMeter();
    ProgrammeMeter(ProgrammeMeter&&) noexcept;
    ProgrammeMeter& operator=(ProgrammeMeter&&) noexcept;

    // Appends frames: one view per channel, all of one length. Throws Loudness::Error.
    void add(std::span<const std::span<const float>> channels);
    ProgrammeLevel level() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace vesh

// Hashes by value, consistently with ==: negative zero hashes like zero.
template <>
struct std::hash<vesh::Loudness> {
    std::size_t operator()(const vesh::Loudness& loudness) const noexcept {
        const double value = loudness.unitsRelativeToFullScale();
        return std::hash<double>{}(value == 0.0 ? 0.0 : value);
    }
};
