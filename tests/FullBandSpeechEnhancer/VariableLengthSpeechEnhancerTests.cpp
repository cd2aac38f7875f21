#include "FullBandSpeechEnhancer/VariableLengthSpeechEnhancer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <numbers>
#include <optional>
#include <ostream>
#include <stdexcept>

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

constexpr float untouched = 7.0f;

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

// The reports a signal of `length` samples must produce: none below one
// segment, else one before each of the K full segments, one before the final
// partial segment and one at the end.
std::vector<Progress> expectedReports(std::int64_t length) {
    if (length < segmentLength) {
        return {};
    }
    const std::int64_t total = (length - segmentLength) / hop + 2;
    std::vector<Progress> reports;
    for (std::int64_t index = 0; index <= total; ++index) {
        reports.push_back({index, total});
    }
    return reports;
}

void expectCancelled(const std::function<void()>& call) {
    try {
        call();
        ADD_FAILURE() << "not cancelled";
    } catch (const VariableLengthSpeechEnhancer::Error& error) {
        EXPECT_EQ(error, VariableLengthSpeechEnhancer::Error(
                             VariableLengthSpeechEnhancer::Error::Code::userCancelledProcessing));
    }
}

float gainFor(const std::vector<float>& input) {
    const double measured = Loudness(input, 48000, Loudness::Mode::integrated).unitsRelativeToFullScale();
    return static_cast<float>(std::pow(10.0, (-24.0 - measured) / 20.0));
}

// ---------------------------------------------------------------------------
// An independent reference of the segment join: every segment result is
// weighted by a window (faded in over its first C samples unless it is the
// first, faded out over its last C samples unless it is the last) and the
// windowed results are added up.

double fade(double x) {
    if (x < -1.0) {
        return 0.0;
    }
    if (!(x <= 1.0)) {
        return 1.0;
    }
    return 0.5 + 0.5625 * std::sin(std::numbers::pi / 2 * x) + 0.0625 * std::sin(3 * std::numbers::pi / 2 * x);
}

using ModelFunction = std::function<std::vector<float>(const std::vector<float>&)>;

std::vector<float> referenceJoin(const std::vector<float>& x, std::int64_t crossfade, const ModelFunction& model) {
    const auto length = static_cast<std::int64_t>(x.size());
    const auto enhanceSegment = [&](std::int64_t start) {
        std::vector<float> segment(segmentLength, 0.0f);
        for (std::int64_t k = 0; k < segmentLength && start + k < length; ++k) {
            segment[k] = x[start + k];
        }
        const auto noise = model(segment);
        for (std::int64_t k = 0; k < segmentLength; ++k) {
            segment[k] -= noise[k];
        }
        return segment;
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

std::vector<float> halfModel(const std::vector<float>& segment) {
    std::vector<float> noise(segment.size());
    std::transform(segment.begin(), segment.end(), noise.begin(), [](float v) { return 0.5f * v; });
    return noise;
}

std::vector<float> reversedModel(const std::vector<float>& segment) {
    return std::vector<float>(segment.rbegin(), segment.rend());
}

void expectClose(const std::vector<float>& actual, const std::vector<float>& expected, float tolerance) {
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t i = 0; i < actual.size(); ++i) {
        ASSERT_NEAR(actual[i], expected[i], tolerance) << "at sample " << i << " of " << actual.size();
    }
}

struct JoinCase {
    const char* model;
    ModelFunction reference;
    std::int64_t crossfade;

    friend void PrintTo(const JoinCase& join, std::ostream* stream) {
        *stream << join.model << " with a crossfade of " << join.crossfade;
    }
};

class SegmentJoin : public testing::TestWithParam<JoinCase> {};

TEST_P(SegmentJoin, MatchesTheReferenceForShortLongAndOddLengths) {
    const auto& [model, reference, crossfade] = GetParam();
    VariableLengthSpeechEnhancer enhancer(test::applicationParameters(crossfade), testModel(model));
    // A short call after long ones shows any state left in the scratch buffers.
    for (const std::int64_t length :
         {segmentLength - 1, segmentLength, std::int64_t{480000}, 2 * segmentLength + 777, std::int64_t{5000}}) {
        SCOPED_TRACE(length);
        const auto input = test::noise(length, 0.2f, static_cast<unsigned>(length));
        std::vector<float> output(input.size(), untouched);
        enhancer.enhanceNormalizedSignal(input, output, {});
        expectClose(output, referenceJoin(input, crossfade, reference), 2e-6f);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Models, SegmentJoin,
    testing::Values(JoinCase{"scale-half.onnx", halfModel, crossfadeLength},
                    JoinCase{"reversed.onnx", reversedModel, crossfadeLength},
                    JoinCase{"reversed.onnx", reversedModel, 1001},  // odd: the fade ends exactly at 1
                    JoinCase{"reversed.onnx", reversedModel, 1}, JoinCase{"reversed.onnx", reversedModel, 0}));

TEST(VariableLengthSpeechEnhancer, NormalisedEnhancementMatchesTheReferenceAtTheModelsLevel) {
    VariableLengthSpeechEnhancer enhancer(test::applicationParameters(), testModel("reversed.onnx"));
    for (const std::int64_t length : {segmentLength - 1, std::int64_t{480000}}) {
        SCOPED_TRACE(length);
        const auto input = test::noise(length, 0.02f, 3);
        const float gain = gainFor(input);
        std::vector<float> normalized(input.size());
        std::transform(input.begin(), input.end(), normalized.begin(), [&](float v) { return v * gain; });
        auto expected = referenceJoin(normalized, crossfadeLength, reversedModel);
        std::transform(expected.begin(), expected.end(), expected.begin(), [&](float v) { return v / gain; });
        expectClose(enhancer.enhance(input), expected, 1e-6f);
    }
}

TEST(VariableLengthSpeechEnhancer, ModelSeesTheSignalAtMinus24Lufs) {
    // The constant model removes 0.01 at the model's level, that is 0.01 / gain
    // at the input's level.
    VariableLengthSpeechEnhancer enhancer(test::applicationParameters(), testModel("constant.onnx"));
    for (const float amplitude : {0.01f, 0.5f}) {
        const auto input = test::noise(200000, amplitude, 11);
        const double measured = Loudness(input, 48000, Loudness::Mode::integrated).unitsRelativeToFullScale();
        const double expectedRemoved = 0.01 / std::pow(10.0, (-24.0 - measured) / 20.0);
        const auto output = enhancer.enhance(input);
        for (std::size_t i = 0; i < input.size(); i += 997) {
            ASSERT_NEAR(input[i] - output[i], expectedRemoved, expectedRemoved * 1e-3) << amplitude << " " << i;
        }
    }
}

TEST(VariableLengthSpeechEnhancer, ZerosModelKeepsTheSignalAndIdentityModelSilencesIt) {
    VariableLengthSpeechEnhancer zeros(test::applicationParameters(), testModel("zeros.onnx"));
    VariableLengthSpeechEnhancer identity(test::applicationParameters(), testModel("identity.onnx"));
    for (const std::int64_t length : {segmentLength - 1, segmentLength, std::int64_t{480000}}) {
        SCOPED_TRACE(length);
        const auto input = test::noise(length);
        const auto kept = zeros.enhance(input);
        ASSERT_EQ(kept.size(), input.size());
        for (std::size_t i = 0; i < input.size(); ++i) {
            ASSERT_NEAR(kept[i], input[i], 1e-6f * std::abs(input[i]) + 1e-9f) << i;
        }
        EXPECT_EQ(identity.enhance(input), std::vector<float>(input.size(), 0.0f));
    }
}

TEST(VariableLengthSpeechEnhancer, ProgressIsReportedBeforeEachSegmentAndAtTheEnd) {
    VariableLengthSpeechEnhancer enhancer(test::applicationParameters(), testModel("identity.onnx"));
    for (const std::int64_t length : {std::int64_t{0}, segmentLength - 1, segmentLength, segmentLength + 1,
                                      segmentLength + hop, std::int64_t{480000}, 2 * segmentLength + 777}) {
        SCOPED_TRACE(length);
        ProgressLog log;
        const auto input = test::noise(length);
        std::vector<float> output(input.size(), untouched);
        enhancer.enhance(input, output, log.handler());
        EXPECT_EQ(log.reports, expectedReports(length));
        EXPECT_EQ(output, std::vector<float>(input.size(), 0.0f));
    }
    // Ten seconds at 48 kHz: six full segments and a final partial one.
    const auto tenSeconds = expectedReports(480000);
    ASSERT_EQ(tenSeconds.size(), 8u);
    EXPECT_EQ(tenSeconds.front(), (Progress{0, 7}));
    EXPECT_EQ(tenSeconds[6], (Progress{6, 7}));
    EXPECT_EQ(tenSeconds.back(), (Progress{7, 7}));
}

TEST(VariableLengthSpeechEnhancer, CancellingLeavesTheCallersOutputUntouched) {
    VariableLengthSpeechEnhancer enhancer(test::applicationParameters(), testModel("identity.onnx"));
    const auto input = test::noise(480000);
    for (const std::size_t stopAt : {0u, 3u, 7u}) {
        SCOPED_TRACE(stopAt);
        ProgressLog log{{}, stopAt};
        std::vector<float> output(input.size(), untouched);
        expectCancelled([&] { enhancer.enhance(input, output, log.handler()); });
        EXPECT_EQ(log.reports.size(), stopAt + 1);
        EXPECT_EQ(output, std::vector<float>(input.size(), untouched));
    }
    // The segments finished before the stop stay in a normalised output.
    ProgressLog log{{}, 2u};
    std::vector<float> output(input.size(), untouched);
    expectCancelled([&] { enhancer.enhanceNormalizedSignal(input, output, log.handler()); });
    EXPECT_EQ(output[0], 0.0f);
    EXPECT_EQ(output[2 * hop - 1], 0.0f);
    EXPECT_EQ(output.back(), untouched);
}

TEST(VariableLengthSpeechEnhancer, FailuresStopProcessingAndLeaveTheOutputUntouched) {
    const auto input = test::noise(480000);
    {
        VariableLengthSpeechEnhancer enhancer(test::applicationParameters(), testModel("wrong-length.onnx"));
        ProgressLog log;
        std::vector<float> output(input.size(), untouched);
        EXPECT_THROW(enhancer.enhance(input, output, log.handler()), ModelError);
        EXPECT_EQ(log.reports, (std::vector<Progress>{{0, 7}}));
        EXPECT_EQ(output, std::vector<float>(input.size(), untouched));
    }
    {
        auto parameters = test::applicationParameters();
        parameters.sampleRate = 0;
        VariableLengthSpeechEnhancer enhancer(parameters, testModel("identity.onnx"));
        ProgressLog log;
        std::vector<float> output(input.size(), untouched);
        try {
            enhancer.enhance(input, output, log.handler());
            ADD_FAILURE() << "measured at 0 Hz";
        } catch (const Loudness::Error& error) {
            EXPECT_EQ(error.code(), Loudness::Error::Code::failedToAllocateMemory);
        }
        EXPECT_TRUE(log.reports.empty());
        EXPECT_EQ(output, std::vector<float>(input.size(), untouched));
    }
}

TEST(VariableLengthSpeechEnhancer, OutputOfAnotherLengthIsRejectedWithoutBeingWritten) {
    VariableLengthSpeechEnhancer enhancer(test::applicationParameters(), testModel("identity.onnx"));
    const auto input = test::noise(480000);
    for (const std::size_t size : {input.size() - 1, input.size() + 1}) {
        ProgressLog log;
        std::vector<float> output(size, untouched);
        EXPECT_THROW(enhancer.enhance(input, output, log.handler()), std::invalid_argument);
        // Found only once everything was processed.
        EXPECT_EQ(log.reports, expectedReports(480000));
        EXPECT_EQ(output, std::vector<float>(size, untouched));

        ProgressLog normalizedLog;
        EXPECT_THROW(enhancer.enhanceNormalizedSignal(input, output, normalizedLog.handler()), std::invalid_argument);
        EXPECT_TRUE(normalizedLog.reports.empty());
        EXPECT_EQ(output, std::vector<float>(size, untouched));
    }
}

TEST(VariableLengthSpeechEnhancer, UnmeasurableInputPassesThroughUnchanged) {
    // The constant model would change any signal it saw.
    VariableLengthSpeechEnhancer enhancer(test::applicationParameters(), testModel("constant.onnx"));

    const std::vector<float> silence(480000, 0.0f);
    ProgressLog log;
    std::vector<float> output(silence.size(), untouched);
    enhancer.enhance(silence, output, log.handler());
    EXPECT_EQ(output, silence);
    EXPECT_EQ(log.reports, expectedReports(480000));

    ProgressLog stopping{{}, 4u};
    std::vector<float> kept(silence.size(), untouched);
    expectCancelled([&] { enhancer.enhance(silence, kept, stopping.handler()); });
    EXPECT_EQ(stopping.reports.size(), 5u);
    EXPECT_EQ(kept, std::vector<float>(silence.size(), untouched));

    // Shorter than one 400 ms gating block: too short to measure.
    const auto blip = test::noise(10000, 0.5f);
    ProgressLog shortLog;
    EXPECT_EQ(enhancer.enhance(blip, shortLog.handler()), blip);
    EXPECT_TRUE(shortLog.reports.empty());
    EXPECT_TRUE(enhancer.enhance({}).empty());
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
