#include "FullBandFrontend/DiscreteFourierTransform.h"

#include <fftw3.h>

#include <algorithm>
#include <climits>
#include <mutex>

#include "Support/FatalError.h"

namespace vesh {

namespace {

// FFTW's planner is not thread-safe: every plan is made and destroyed under
// this one lock, so that transforms may be built on any thread.
std::mutex& planningMutex() {
    static std::mutex mutex;
    return mutex;
}

unsigned planningFlags(PlanningEffort effort) {
    return effort == PlanningEffort::measure ? FFTW_MEASURE : FFTW_ESTIMATE;
}

int checkedLength(std::int64_t signalLength) {
    if (signalLength < 2 || signalLength % 2 != 0) {
        fatalError("a real DFT needs an even length of at least 2");
    }
    if (signalLength > INT_MAX) {
        fatalError("the DFT length exceeds what FFTW accepts");
    }
    return static_cast<int>(signalLength);
}

template <typename T>
detail::FourierBuffer<T> allocate(std::size_t count) {
    void* memory = fftwf_malloc(count * sizeof(T));
    if (memory == nullptr) {
        fatalError("out of memory for a DFT work buffer");
    }
    return detail::FourierBuffer<T>(static_cast<T*>(memory));
}

// FFTW's complex type is layout-compatible with std::complex<float>.
fftwf_complex* asFftw(std::complex<float>* values) { return reinterpret_cast<fftwf_complex*>(values); }

}  // namespace

void detail::FourierPlanDeleter::operator()(fftwf_plan_s* plan) const {
    const std::lock_guard lock(planningMutex());
    fftwf_destroy_plan(plan);
}

void detail::FourierBufferDeleter::operator()(void* buffer) const { fftwf_free(buffer); }

ForwardDiscreteFourierTransform::ForwardDiscreteFourierTransform(std::int64_t signalLength, PlanningEffort effort)
    : signalLength_(signalLength) {
    const int length = checkedLength(signalLength);
    input_ = allocate<float>(static_cast<std::size_t>(length));
    spectrum_ = allocate<std::complex<float>>(static_cast<std::size_t>(length / 2 + 1));
    {
        const std::lock_guard lock(planningMutex());
        setup_.reset(fftwf_plan_dft_r2c_1d(length, input_.get(), asFftw(spectrum_.get()), planningFlags(effort)));
    }
    if (!setup_) {
        fatalError("FFTW refused a forward real DFT plan");
    }
}

void ForwardDiscreteFourierTransform::transform(std::span<const float> signal, std::span<float> packedSpectrum) {
    const auto length = static_cast<std::size_t>(signalLength_);
    if (signal.size() > length || packedSpectrum.size() != length) {
        fatalError("forward DFT views do not match its length");
    }
    std::copy(signal.begin(), signal.end(), input_.get());
    std::fill(input_.get() + signal.size(), input_.get() + length, 0.0f);
    fftwf_execute(setup_.get());

    const std::size_t half = length / 2;
    const std::complex<float>* spectrum = spectrum_.get();
    packedSpectrum[0] = spectrum[0].real();
    packedSpectrum[half] = spectrum[half].real();
    for (std::size_t m = 1; m < half; ++m) {
        packedSpectrum[m] = spectrum[m].real();
        packedSpectrum[half + m] = spectrum[m].imag();
    }
}

InverseDiscreteFourierTransform::InverseDiscreteFourierTransform(std::int64_t signalLength, PlanningEffort effort)
    : signalLength_(signalLength) {
    const int length = checkedLength(signalLength);
    spectrum_ = allocate<std::complex<float>>(static_cast<std::size_t>(length / 2 + 1));
    output_ = allocate<float>(static_cast<std::size_t>(length));
    {
        const std::lock_guard lock(planningMutex());
        setup_.reset(fftwf_plan_dft_c2r_1d(length, asFftw(spectrum_.get()), output_.get(), planningFlags(effort)));
    }
    if (!setup_) {
        fatalError("FFTW refused an inverse real DFT plan");
    }
}

void InverseDiscreteFourierTransform::transform(std::span<const float> packedSpectrum, std::span<float> signal) {
    const auto length = static_cast<std::size_t>(signalLength_);
    if (packedSpectrum.size() != length || signal.size() != length) {
        fatalError("inverse DFT views do not match its length");
    }
    const std::size_t half = length / 2;
    std::complex<float>* spectrum = spectrum_.get();
    spectrum[0] = {packedSpectrum[0], 0.0f};
    spectrum[half] = {packedSpectrum[half], 0.0f};
    for (std::size_t m = 1; m < half; ++m) {
        spectrum[m] = {packedSpectrum[m], packedSpectrum[half + m]};
    }
    // The complex-to-real plan overwrites its input, which is refilled above
    // on every call.
    fftwf_execute(setup_.get());

    const float scale = 1.0f / static_cast<float>(length);
    const float* output = output_.get();
    for (std::size_t j = 0; j < length; ++j) {
        signal[j] = output[j] * scale;
    }
}

}  // namespace vesh
