#include "FullBandFrontend/Frontend.h"

#include <cmath>
#include <cstddef>

#include "FullBandFrontend/InverseFilterbank.h"
#include "Support/FatalError.h"

namespace vesh {

namespace {

// The sample rate is checked before anything is built.
FilterbankTransform makeTransform(std::int64_t signalLength, std::int64_t trailingPadding, std::int64_t sampleRate,
                                  PlanningEffort effort) {
    if (sampleRate < Frontend::minimumSampleRate) {
        fatalError("the sample rate must be at least 48000 Hz so that every band centre lies below half of it");
    }
    return FilterbankTransform(signalLength, trailingPadding, effort);
}

}  // namespace

Frontend::Frontend(std::int64_t signalLength, std::int64_t trailingPadding, std::int64_t sampleRate,
                   std::int64_t downsamplingStride, PlanningEffort effort)
    : transform_(makeTransform(signalLength, trailingPadding, sampleRate, effort)),
      forwardFilterbank_(makeForwardFilterbank(numberOfFilters, transform_.paddedSignalLength(), sampleRate)),
      inverseFilterbank_(makeInverseFilterbank(forwardFilterbank_, numberOfFilters, sampleRate)),
      signalLength_(signalLength), paddedSignalLength_(transform_.paddedSignalLength()),
      downsamplingStride_(downsamplingStride) {}

std::vector<float> Frontend::filter(std::span<const float> signal) {
    std::vector<float> subbands(static_cast<std::size_t>(2 * numberOfFilters * paddedSignalLength_));
    filter(signal, subbands);
    return subbands;
}

void Frontend::filter(std::span<const float> signal, std::span<float> result) {
    transform_.filter(signal, forwardFilterbank_, result);
}

std::vector<float> Frontend::unfilter(std::span<const float> subbands) {
    std::vector<float> signal(static_cast<std::size_t>(signalLength_));
    unfilter(subbands, signal);
    return signal;
}

void Frontend::unfilter(std::span<const float> subbands, std::span<float> result) {
    transform_.unfilter(subbands, inverseFilterbank_, result);
}

void Frontend::findMagnitude(std::span<const float> subbands, std::span<float> result) {
    const std::size_t count = result.size();
    if (subbands.size() != 2 * count) {
        fatalError("the magnitude needs exactly half as many values as the subbands");
    }
    const std::span<const float> inPhase = subbands.first(count);
    const std::span<const float> quadrature = subbands.subspan(count);
    for (std::size_t i = 0; i < count; ++i) {
        result[i] = std::sqrt(inPhase[i] * inPhase[i] + quadrature[i] * quadrature[i]);
    }
}

void Frontend::powerCompress(std::span<const float> magnitude, std::span<float> result) {
    if (magnitude.size() != result.size()) {
        fatalError("power compression needs as many results as magnitudes");
    }
    for (std::size_t i = 0; i < magnitude.size(); ++i) {
        result[i] = std::pow(magnitude[i], powerCompressionExponent);
    }
}

void Frontend::downsample(std::span<const float> subbands, std::int64_t stride, std::span<float> result) {
    if (stride <= 0) {
        fatalError("the downsampling stride must be positive");
    }
    const std::size_t step = static_cast<std::size_t>(stride);
    const std::size_t count = subbands.size() / step;
    if (result.size() < count) {
        fatalError("the downsampled result is too short");
    }
    for (std::size_t i = 0; i < count; ++i) {
        result[i] = subbands[i * step];
    }
}

void Frontend::transformInput(std::span<const float> signal, std::span<float> result) {
    const auto rowLength = static_cast<std::size_t>(paddedSignalLength_);
    const auto bandCount = static_cast<std::size_t>(numberOfFilters);
    if (result.size() < 3 * bandCount * rowLength) {
        fatalError("the input transform needs room for 768 rows of N");
    }
    const std::span<float> subbands = result.first(2 * bandCount * rowLength);
    const std::span<float> magnitude = result.subspan(2 * bandCount * rowLength, bandCount * rowLength);
    filter(signal, subbands);
    findMagnitude(subbands, magnitude);
    powerCompress(magnitude, magnitude);
}

void Frontend::transformOutput(std::span<const float> subbands, std::span<const float> signal,
                               std::span<float> result) {
    if (signal.size() != result.size() || result.size() > static_cast<std::size_t>(paddedSignalLength_)) {
        fatalError("the output transform needs a signal and a result of the same count, at most N");
    }
    // Synthesised into the transform's own buffer, so that `result` may be `signal`.
    const std::span<const float> removed = transform_.synthesise(subbands, inverseFilterbank_);
    for (std::size_t i = 0; i < result.size(); ++i) {
        result[i] = signal[i] - removed[i];
    }
}

}  // namespace vesh
