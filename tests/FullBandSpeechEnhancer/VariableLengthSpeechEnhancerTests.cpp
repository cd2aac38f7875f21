#include "FullBandSpeechEnhancer/VariableLengthSpeechEnhancer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <optional>
#include <span>
#include <stdexcept>
#include <utility>

#include "FullBandSpeechEnhancer/ModelError.h"
#include "Loudness/Loudness.h"
#include "TestSignals.h"

namespace vesh {
namespace {

using test::crossfadeLength;
using test::hop;
using test::segmentLength;
using test::testModel;
using Progress = VariableLengthSpeechEnhancer::Progress;
using ProgressResponse = VariableLengthSpeechEnhancer::ProgressResponse;
using Cancelled = VariableLengthSpeechEnhancer::Error;

constexpr float untouched = 7.0f;
constexpr std::int64_t tenSeconds = 480000;

// Records every report and answers stop at the report numbered `stopAt`.
struct ProgressLog {
    std::vector<Progress> reports;
    std::optional<std::size_t> stopAt;

    VariableLengthSpeechEnhancer::ProgressHandler handler() {
        return [this](Progress progress) {
            reports.push_back(progress);
            return stopAt == reports.size() - 1 ? ProgressResponse::stopProcessing
                                                : ProgressResponse::continueProcessing;
        };
    }
};

// One report before each of `total` segments and one at the end.
std::vector<Progress> reportsOf(std::int64_t total) {
    std::vector<Progress> reports;
    for (std::int64_t index = 0; total > 0 && index <= total; ++index) {
        reports.push_back({index, total});
    }
    return reports;
}

// Runs enhance() into an output of `size` samples (the input's by default)
// that must be left as it was, expecting the error E; returns the progress
// reports of the call.
template <typename E>
std::vector<Progress> failedCall(const char* scenario, VariableLengthSpeechEnhancer& enhancer,
                                 std::span<const float> input, std::optional<std::size_t> stopAt = {},
                                 std::optional<std::size_t> size = {}) {
    SCOPED_TRACE(scenario);
    ProgressLog log{{}, stopAt};
    std::vector<float> output(size.value_or(input.size()), untouched);
    EXPECT_THROW(enhancer.enhance(input, output, log.handler()), E);
    EXPECT_EQ(output, std::vector<float>(output.size(), untouched));
    return log.reports;
}

// An independent reference of the segment join with the reversing model:
// every segment result is weighted by a window (faded in over its first C
// samples unless it is the first, faded out over its last C samples unless it
// is the last) and the windowed results are added up, in double precision.
double fade(double x) {
    // Also for x = NaN: a crossfade of length 1 has no ramp.
    if (!(x <= 1.0)) {
        return 1.0;
    }
    x = std::max(x, -1.0);
    return 0.5 + 0.5625 * std::sin(std::numbers::pi / 2 * x) + 0.0625 * std::sin(3 * std::numbers::pi / 2 * x);
}

std::vector<float> referenceJoin(const std::vector<float>& x, std::int64_t crossfade) {
    const auto length = static_cast<std::int64_t>(x.size());
    // The segment from `start`, padded with zeros, minus its reversal.
    const auto enhanceSegment = [&](std::int64_t start) {
        const auto at = [&](std::int64_t k) { return start + k < length ? x[start + k] : 0.0f; };
        std::vector<float> result(segmentLength);
        for (std::int64_t k = 0; k < segmentLength; ++k) {
            result[k] = at(k) - at(segmentLength - 1 - k);
        }
        return result;
    };
    if (length < segmentLength) {
        const auto result = enhanceSegment(0);
        return std::vector<float>(result.begin(), result.begin() + length);
    }
    const std::int64_t step = segmentLength - crossfade;
    const std::int64_t last = (length - segmentLength) / step + 1;
    const double half = static_cast<double>(crossfade / 2);
    std::vector<double> sum(x.size(), 0.0);
    for (std::int64_t i = 0; i <= last; ++i) {
        const auto result = enhanceSegment(i * step);
        for (std::int64_t k = 0; k < segmentLength && i * step + k < length; ++k) {
            double weight = 1.0;
            if (i > 0 && k < crossfade) {
                weight *= fade(static_cast<double>(k) / half - 1.0);
            }
            if (i < last && k >= step) {
                weight *= fade(1.0 - static_cast<double>(k - step) / half);
            }
            sum[i * step + k] += weight * result[k];
        }
    }
    return std::vector<float>(sum.begin(), sum.end());
}

TEST(VariableLengthSpeechEnhancer, SegmentJoinMatchesTheReferenceForShortLongAndOddLengths) {
    // An odd crossfade ends exactly at 1; one of length 1 has no ramp.
    // Segments run side by side and must still be joined in order, with one worker or several.
    for (const std::int64_t crossfade : {crossfadeLength, std::int64_t{1001}, std::int64_t{1}, std::int64_t{0}}) {
        auto parameters = test::applicationParameters(crossfade);
        parameters.threadCount = crossfade == 1 ? 1 : 3;
        VariableLengthSpeechEnhancer enhancer(parameters, testModel("reversed.onnx"));
        // A short call after long ones shows any state left in the scratch buffers.
        for (const std::int64_t length :
             {segmentLength - 1, segmentLength, tenSeconds, 2 * segmentLength + 777, std::int64_t{5000}}) {
            SCOPED_TRACE(testing::Message() << "crossfade " << crossfade << ", length " << length);
            const auto input = test::noise(length, 0.2f, static_cast<unsigned>(length));
            std::vector<float> output(input.size(), untouched);
            enhancer.enhanceNormalizedSignal(input, output, {});
            const auto expected = referenceJoin(input, crossfade);
            for (std::size_t i = 0; i < output.size(); ++i) {
                ASSERT_NEAR(output[i], expected[i], 2e-6f) << "at sample " << i;
            }
        }
    }
}

TEST(VariableLengthSpeechEnhancer, ModelSeesTheSignalAtMinus24Lufs) {
    // The constant model removes 0.01 at the model's level, so the input's
    // level is 0.01 / removed times lower; on the short path and across
    // segment joins alike.
    VariableLengthSpeechEnhancer enhancer(test::applicationParameters(), testModel("constant.onnx"));
    for (const auto& [length, amplitude] : {std::pair{segmentLength - 1, 0.01f}, std::pair{tenSeconds, 0.5f}}) {
        SCOPED_TRACE(amplitude);
        auto signal = test::noise(length, amplitude, 11);
        const auto output = enhancer.enhance(signal);
        const float removed = signal[0] - output[0];
        for (std::size_t i = 0; i < signal.size(); ++i) {
            ASSERT_NEAR(signal[i] - output[i], removed, removed * 1e-3f) << "at sample " << i;
            signal[i] *= 0.01f / removed;
        }
        EXPECT_NEAR(Loudness(signal, 48000, Loudness::Mode::integrated).unitsRelativeToFullScale(), -24.0, 0.01);
    }
}

TEST(VariableLengthSpeechEnhancer, ProgressIsReportedBeforeEachSegmentAndAtTheEnd) {
    VariableLengthSpeechEnhancer enhancer(test::applicationParameters(), testModel("identity.onnx"));
    // Lengths and their segment counts: none below one segment; ten seconds
    // are six full segments and a final partial one.
    const std::pair<std::int64_t, std::int64_t> lengthsAndTotals[] = {{0, 0},
                                                                      {segmentLength - 1, 0},
                                                                      {segmentLength, 2},
                                                                      {segmentLength + hop - 1, 2},
                                                                      {segmentLength + hop, 3},
                                                                      {tenSeconds, 7}};
    for (const auto& [length, total] : lengthsAndTotals) {
        SCOPED_TRACE(length);
        ProgressLog log;
        const auto input = test::noise(length);
        std::vector<float> output(input.size(), untouched);
        enhancer.enhance(input, output, log.handler());
        EXPECT_EQ(log.reports, reportsOf(total));
        EXPECT_EQ(output, std::vector<float>(input.size(), 0.0f));
    }
}

TEST(VariableLengthSpeechEnhancer, FailuresAndCancellingLeaveTheCallersOutputUntouched) {
    const auto input = test::noise(tenSeconds);
    VariableLengthSpeechEnhancer identity(test::applicationParameters(), testModel("identity.onnx"));
    const std::vector<Progress> first{{0, 7}};
    EXPECT_EQ(failedCall<Cancelled>("stopped before the first segment", identity, input, 0), first);
    EXPECT_EQ(failedCall<Cancelled>("stopped with every segment done", identity, input, 7), reportsOf(7));
    for (const std::size_t size : {input.size() - 1, input.size() + 1}) {
        EXPECT_EQ(failedCall<std::invalid_argument>("output of another length", identity, input, {}, size),
                  reportsOf(7));
    }
    VariableLengthSpeechEnhancer wrongLength(test::applicationParameters(), testModel("wrong-length.onnx"));
    // Segments run ahead of the one that failed; the call ends without its final report.
    const auto failed = failedCall<ModelError>("model failure", wrongLength, input);
    ASSERT_FALSE(failed.empty());
    EXPECT_NE(failed.back(), (Progress{7, 7}));
    auto noRate = test::applicationParameters();
    noRate.sampleRate = 0;
    VariableLengthSpeechEnhancer unmeasurable(noRate, testModel("identity.onnx"));
    EXPECT_EQ(failedCall<Loudness::Error>("measurement failure", unmeasurable, input), std::vector<Progress>{});

    // Without normalisation an output of another length is refused before
    // any segment, and the segments finished before a stop stay.
    ProgressLog log{{}, 2u};
    std::vector<float> output(input.size() + 1, untouched);
    EXPECT_THROW(identity.enhanceNormalizedSignal(input, output, log.handler()), std::invalid_argument);
    EXPECT_TRUE(log.reports.empty());
    output.pop_back();
    EXPECT_THROW(identity.enhanceNormalizedSignal(input, output, log.handler()), Cancelled);
    EXPECT_EQ(output[0], 0.0f);
    EXPECT_EQ(output[2 * hop - 1], 0.0f);
    EXPECT_EQ(output.back(), untouched);
}

TEST(VariableLengthSpeechEnhancer, UnmeasurableInputPassesThroughUnchanged) {
    // The constant model would change any signal it saw.
    VariableLengthSpeechEnhancer enhancer(test::applicationParameters(), testModel("constant.onnx"));
    const std::vector<float> silence(tenSeconds, 0.0f);
    ProgressLog log;
    EXPECT_EQ(enhancer.enhance(silence, log.handler()), silence);
    EXPECT_EQ(log.reports, reportsOf(7));
    EXPECT_EQ(failedCall<Cancelled>("silence stopped", enhancer, silence, 4).size(), 5u);

    // Shorter than one 400 ms gating block: too short to measure.
    const auto blip = test::noise(10000, 0.5f);
    ProgressLog shortLog;
    EXPECT_EQ(enhancer.enhance(blip, shortLog.handler()), blip);
    EXPECT_TRUE(shortLog.reports.empty());
}

TEST(VariableLengthSpeechEnhancer, RejectsParametersItCannotSegmentWith) {
    const auto model = testModel("identity.onnx");
    EXPECT_THROW(VariableLengthSpeechEnhancer({-1, 0, 48000, ComputeUnits::cpuOnly}, model), std::invalid_argument);
    EXPECT_THROW(VariableLengthSpeechEnhancer({segmentLength, -1, 48000, ComputeUnits::cpuOnly}, model),
                 std::invalid_argument);
    // The parameters are checked before any model is loaded: a model that
    // cannot be loaded does not hide the parameter error.
    EXPECT_THROW(VariableLengthSpeechEnhancer({-1, 0, 48000, ComputeUnits::cpuOnly}, testModel("no-such-model.onnx")),
                 std::invalid_argument);
    // A crossfade as long as the segment leaves no hop: only short signals work.
    VariableLengthSpeechEnhancer noHop({segmentLength, segmentLength, 48000, ComputeUnits::cpuOnly}, model);
    EXPECT_EQ(noHop.enhance(test::noise(segmentLength - 1)).size(), std::size_t(segmentLength - 1));
    EXPECT_THROW(noHop.enhance(test::noise(segmentLength)), std::invalid_argument);
}

}  // namespace
}  // namespace vesh
