#pragma once

#include <complex>
#include <cstdint>
#include <memory>
#include <span>

struct fftwf_plan_s;

namespace vesh {

// Real DFTs of one even length N over FFTW, in the packed spectrum layout used
// by every spectrum of this library. For X[m] = sum_j x[j] exp(-2 pi i j m / N):
//
//   float 0              X[0]             (DC, real)
//   floats 1 .. N/2-1    Re X[1] .. Re X[N/2-1]
//   float N/2            X[N/2]           (Nyquist, real)
//   floats N/2+1 .. N-1  Im X[1] .. Im X[N/2-1]
//
// The forward transform is unscaled and the inverse carries the 1/N, so a
// forward then inverse transform returns the input.

// How much time FFTW may spend choosing its algorithm when a transform is
// made: `measure` times candidate algorithms (about a second or two for the
// first transform of a large length in a process) and gives the fastest
// execution; `estimate` plans at once.
enum class PlanningEffort { estimate, measure };

namespace detail {
struct FourierPlanDeleter {
    void operator()(fftwf_plan_s* plan) const;
};
struct FourierBufferDeleter {
    void operator()(void* buffer) const;
};
template <typename T>
using FourierBuffer = std::unique_ptr<T[], FourierBufferDeleter>;
using FourierPlan = std::unique_ptr<fftwf_plan_s, FourierPlanDeleter>;
}  // namespace detail

// Forward real DFT of length N (even, at least 2). The plan and its aligned
// work buffers are made once at construction; a call allocates nothing.
class ForwardDiscreteFourierTransform {
public:
    explicit ForwardDiscreteFourierTransform(std::int64_t signalLength,
                                             PlanningEffort effort = PlanningEffort::estimate);

    std::int64_t signalLength() const noexcept { return signalLength_; }

    // Writes the packed spectrum of `signal` (at most N samples, zero-extended
    // to N) into `packedSpectrum` (N floats). The two views may overlap.
    void transform(std::span<const float> signal, std::span<float> packedSpectrum);

private:
    std::int64_t signalLength_;
    detail::FourierBuffer<float> input_;
    detail::FourierBuffer<std::complex<float>> spectrum_;
    detail::FourierPlan setup_;
};

// Inverse real DFT of length N (even, at least 2), with the 1/N scaling.
class InverseDiscreteFourierTransform {
public:
    explicit InverseDiscreteFourierTransform(std::int64_t signalLength,
                                             PlanningEffort effort = PlanningEffort::estimate);

    std::int64_t signalLength() const noexcept { return signalLength_; }

    // Writes the real signal whose packed spectrum is `packedSpectrum`
    // (N floats) into `signal` (N floats). The two views may overlap.
    void transform(std::span<const float> packedSpectrum, std::span<float> signal);

private:
    std::int64_t signalLength_;
    detail::FourierBuffer<std::complex<float>> spectrum_;
    detail::FourierBuffer<float> output_;
    detail::FourierPlan setup_;
};

}  // namespace vesh
