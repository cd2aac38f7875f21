#include "Loudness/Loudness.h"

#include <ebur128.h>

#include <algorithm>
#include <cmath>
#include <future>
#include <limits>
#include <memory>
#include <string>
#include <vector>

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
    State(std::int64_t rate, std::size_t atOnce)
        : sampleRate(rate), stretchesAtOnce(std::max<std::size_t>(atOnce, 1)),
          whole(makeState(rate, Loudness::Mode::integrated)) {
        if (stretchesAtOnce == 1) return;
        whole.reset();
        gatingStep = static_cast<std::size_t>((rate + 5) / 10);
        stretchLength = 200 * gatingStep;
        gathered.reserve(stretchLength);
    }

    std::int64_t sampleRate;
    std::size_t stretchesAtOnce;
    // With one stretch at once, the whole signal on the caller's thread.
    vesh::State whole;
    // The library's gating blocks are 400 ms long and start every 100 ms.
    std::size_t gatingStep = 0;
    std::size_t stretchLength = 0;
    // Stretches measured and being measured, in the signal's order.
    std::vector<std::shared_future<vesh::State>> stretches;
    // The stretch being gathered, after leadIn() samples that warm its
    // filters and complete its first gating block.
    std::vector<float> gathered;

    // None before the first stretch, 300 ms before every later one.
    std::size_t leadIn() const { return stretches.empty() ? 0 : 3 * gatingStep; }

    // Measures the gathered stretch on a thread of its own, once fewer than
    // `stretchesAtOnce` are being measured, keeping its last 300 ms as the
    // next one's lead-in.
    void measureGathered() {
        if (stretches.size() >= stretchesAtOnce) stretches[stretches.size() - stretchesAtOnce].wait();
        const std::size_t kept = 3 * gatingStep;
        std::vector<float> next;
        next.reserve(kept + stretchLength);
        next.assign(gathered.end() - static_cast<std::ptrdiff_t>(kept), gathered.end());
        // The samples are moved out of the task, which lives as long as its
        // result, so that they go once measured.
        stretches.push_back(std::async(std::launch::async, [taken = std::move(gathered), rate = sampleRate]() mutable {
                                const std::vector<float> samples = std::move(taken);
                                vesh::State stretch = makeState(rate, Loudness::Mode::integrated);
                                feed(stretch.get(), samples, rate);
                                return stretch;
                            }).share());
        gathered = std::move(next);
    }
};

LoudnessMeter::LoudnessMeter(std::int64_t sampleRate, std::size_t stretchesAtOnce)
    : state_(std::make_unique<State>(sampleRate, stretchesAtOnce)) {}

LoudnessMeter::~LoudnessMeter() = default;
LoudnessMeter::LoudnessMeter(LoudnessMeter&&) noexcept = default;
LoudnessMeter& LoudnessMeter::operator=(LoudnessMeter&&) noexcept = default;

void LoudnessMeter::add(std::span<const float> samples) {
    State& state = *state_;
    if (state.whole) {
        feed(state.whole.get(), samples, state.sampleRate);
        return;
    }
    while (!samples.empty()) {
        const std::size_t full = state.leadIn() + state.stretchLength;
        const std::size_t taken = std::min(full - state.gathered.size(), samples.size());
        state.gathered.insert(state.gathered.end(), samples.begin(),
                              samples.begin() + static_cast<std::ptrdiff_t>(taken));
        samples = samples.subspan(taken);
        if (state.gathered.size() == full) state.measureGathered();
    }
}

Loudness LoudnessMeter::integratedLoudness() const {
    double measured = 0.0;
    if (state_->whole) {
        check(ebur128_loudness_global(state_->whole.get(), &measured));
        return Loudness(measured);
    }
    // The last, partial stretch on the caller's thread.
    const vesh::State last = makeState(state_->sampleRate, Loudness::Mode::integrated);
    feed(last.get(), state_->gathered, state_->sampleRate);
    std::vector<ebur128_state*> measuredStretches;
    for (const std::shared_future<vesh::State>& stretch : state_->stretches) {
        measuredStretches.push_back(stretch.get().get());
    }
    measuredStretches.push_back(last.get());
    check(ebur128_loudness_global_multiple(measuredStretches.data(), measuredStretches.size(), &measured));
    return Loudness(measured);
}

struct ProgrammeMeter::State {
    vesh::State measurement;
    std::size_t channelCount;
    std::int64_t sampleRate;
    std::vector<float> interleaved;
};

ProgrammeMeter::ProgrammeMeter(std::int64_t sampleRate, std::size_t channelCount) {
    if (sampleRate < minimumSampleRate || sampleRate > maximumSampleRate || channelCount == 0) {
        throw Loudness::Error(Loudness::Error::Code::failedToAllocateMemory);
    }
    vesh::State measurement(ebur128_init(static_cast<unsigned>(channelCount), static_cast<unsigned long>(sampleRate),
                                         EBUR128_MODE_I | EBUR128_MODE_TRUE_PEAK));
    if (!measurement) throw Loudness::Error(Loudness::Error::Code::failedToAllocateMemory);
    // The library's own map covers six channels; further ones are surrounds
    // (the sides and backs of 7.1), not left out.
    for (std::size_t channel = 6; channel < channelCount; ++channel) {
        check(ebur128_set_channel(measurement.get(), static_cast<unsigned>(channel),
                                  channel % 2 == 0 ? EBUR128_LEFT_SURROUND : EBUR128_RIGHT_SURROUND));
    }
    // Below six channels the fourth is a surround (quadraphonic, 5.0), not the effects channel.
    if (channelCount == 4 || channelCount == 5) {
        const unsigned first = channelCount == 4 ? 2 : 3;
        check(ebur128_set_channel(measurement.get(), first, EBUR128_LEFT_SURROUND));
        check(ebur128_set_channel(measurement.get(), first + 1, EBUR128_RIGHT_SURROUND));
        if (channelCount == 5) check(ebur128_set_channel(measurement.get(), 2, EBUR128_CENTER));
    }
    state_ = std::make_unique<State>(State{std::move(measurement), channelCount, sampleRate, {}});
}

ProgrammeMeter::~ProgrammeMeter() = default;
ProgrammeMeter::ProgrammeMeter(ProgrammeMeter&&) noexcept = default;
ProgrammeMeter& ProgrammeMeter::operator=(ProgrammeMeter&&) noexcept = default;

void ProgrammeMeter::add(std::span<const std::span<const float>> channels) {
    if (channels.size() != state_->channelCount) fatalError("a programme block has the wrong channel count");
    const std::size_t frames = channels.front().size();
    for (const std::span<const float> channel : channels) {
        if (channel.size() != frames) fatalError("the channels of a programme block differ in length");
    }
    // One second per call bounds the work of each library call.
    const auto blockLength = static_cast<std::size_t>(state_->sampleRate);
    for (std::size_t start = 0; start < frames; start += blockLength) {
        const std::size_t count = std::min(blockLength, frames - start);
        state_->interleaved.resize(count * channels.size());
        for (std::size_t channel = 0; channel < channels.size(); ++channel) {
            for (std::size_t frame = 0; frame < count; ++frame) {
                state_->interleaved[frame * channels.size() + channel] = channels[channel][start + frame];
            }
        }
        check(ebur128_add_frames_float(state_->measurement.get(), state_->interleaved.data(), count));
    }
}

ProgrammeLevel ProgrammeMeter::level() const {
    double integrated = 0.0;
    check(ebur128_loudness_global(state_->measurement.get(), &integrated));
    double peak = 0.0;
    for (std::size_t channel = 0; channel < state_->channelCount; ++channel) {
        double channelPeak = 0.0;
        check(ebur128_true_peak(state_->measurement.get(), static_cast<unsigned>(channel), &channelPeak));
        peak = std::max(peak, channelPeak);
    }
    const double peakDecibels = peak > 0.0 ? 20.0 * std::log10(peak) : -std::numeric_limits<double>::infinity();
    return ProgrammeLevel{Loudness(integrated), peakDecibels};
}

}  // namespace vesh
