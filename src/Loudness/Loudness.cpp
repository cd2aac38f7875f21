#include "Loudness/Loudness.h"

#include <ebur128.h>

#include <algorithm>
#include <memory>
#include <string>

#include "Support/FatalError.h"

namespace vesh {

namespace {

// The sample rates the library measures. It creates states from 16 Hz on, but
// at 16 and 17 Hz its momentary window buffer is too small and feeding frames
// writes past its end, so those rates are refused like the ones it refuses.
constexpr std::int64_t minimumSampleRate = 18;
constexpr std::int64_t maximumSampleRate = 2822400;

struct StateDeleter {
    void operator()(ebur128_state* state) const noexcept { ebur128_destroy(&state); }
};
using State = std::unique_ptr<ebur128_state, StateDeleter>;

// Turns a non-zero library result into the matching error; codes the library
// does not define are a programming error.
void check(int code) {
    if (code == EBUR128_SUCCESS) {
        return;
    }
    if (code >= EBUR128_ERROR_NOMEM && code <= EBUR128_ERROR_NO_CHANGE) {
        throw Loudness::Error(static_cast<Loudness::Error::Code>(code - 1));
    }
    fatalError("unexpected loudness library result code " + std::to_string(code));
}

}  // namespace

const char* Loudness::Error::what() const noexcept {
    switch (code_) {
    case Code::failedToAllocateMemory: return "The loudness measurement failed to allocate memory.";
    case Code::invalidMode: return "The loudness measurement was asked for a mode it was not set up for.";
    case Code::invalidChannelIndex: return "The loudness measurement was given an invalid channel index.";
    case Code::noChange: return "The loudness measurement parameters did not change.";
    }
    return "The loudness measurement failed.";
}

namespace {

State makeState(std::int64_t sampleRate, Loudness::Mode mode) {
    // Outside this range (a negative rate included) there is no state to
    // measure with; that is reported like the library's failure to make one.
    if (sampleRate < minimumSampleRate || sampleRate > maximumSampleRate) {
        throw Loudness::Error(Loudness::Error::Code::failedToAllocateMemory);
    }
    const int modeFlag = 2 * static_cast<int>(mode) + 1;
    State state(ebur128_init(1, static_cast<unsigned long>(sampleRate), modeFlag));
    if (!state) {
        throw Loudness::Error(Loudness::Error::Code::failedToAllocateMemory);
    }
    // Cannot fail for channel 0 of a one-channel state.
    static_cast<void>(ebur128_set_channel(state.get(), 0, EBUR128_LEFT));
    return state;
}

void feed(ebur128_state* state, std::span<const float> samples, std::int64_t sampleRate) {
    // One second per call bounds the work of each library call.
    const auto blockLength = static_cast<std::size_t>(sampleRate);
    for (std::size_t start = 0; start < samples.size(); start += blockLength) {
        const std::size_t frames = std::min(blockLength, samples.size() - start);
        check(ebur128_add_frames_float(state, samples.data() + start, frames));
    }
}

}  // namespace

Loudness::Loudness(std::span<const float> samples, std::int64_t sampleRate, Mode mode) {
    const State state = makeState(sampleRate, mode);
    feed(state.get(), samples, sampleRate);

    double measured = 0.0;
    switch (mode) {
    case Mode::momentary: check(ebur128_loudness_momentary(state.get(), &measured)); break;
    case Mode::shortTerm: check(ebur128_loudness_shortterm(state.get(), &measured)); break;
    case Mode::integrated: check(ebur128_loudness_global(state.get(), &measured)); break;
    }
    value_ = measured;
}

struct LoudnessMeter::State {
    vesh::State measurement;
};

LoudnessMeter::LoudnessMeter(std::int64_t sampleRate)
    : state_(std::make_unique<State>(State{makeState(sampleRate, Loudness::Mode::integrated)})),
      sampleRate_(sampleRate) {}

LoudnessMeter::~LoudnessMeter() = default;
LoudnessMeter::LoudnessMeter(LoudnessMeter&&) noexcept = default;
LoudnessMeter& LoudnessMeter::operator=(LoudnessMeter&&) noexcept = default;

void LoudnessMeter::add(std::span<const float> samples) { feed(state_->measurement.get(), samples, sampleRate_); }

Loudness LoudnessMeter::integratedLoudness() const {
    double measured = 0.0;
    check(ebur128_loudness_global(state_->measurement.get(), &measured));
    return Loudness(measured);
}

}  // namespace vesh
