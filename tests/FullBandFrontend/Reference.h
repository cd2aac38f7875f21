#pragma once

// Double-precision references computed independently of the library.

#include <cmath>
#include <cstdint>
#include <vector>

namespace vesh::reference {

constexpr double pi = 3.14159265358979323846;

// The packed spectrum (DC, Re 1..N/2-1, Nyquist, Im 1..N/2-1) of x by the
// defining sum X[m] = sum_j x[j] exp(-2 pi i j m / N).
inline std::vector<double> packedDft(const std::vector<float>& x) {
    const std::size_t n = x.size();
    std::vector<double> packed(n);
    for (std::size_t m = 0; m <= n / 2; ++m) {
        double re = 0, im = 0;
        for (std::size_t j = 0; j < n; ++j) {
            const double angle = 2 * pi * static_cast<double>((j * m) % n) / static_cast<double>(n);
            re += x[j] * std::cos(angle);
            im -= x[j] * std::sin(angle);
        }
        packed[m] = re;
        if (m > 0 && m < n / 2) {
            packed[n / 2 + m] = im;
        }
    }
    return packed;
}

// Filter k's gammatone impulse response, cosine or sine carrier, on the time
// axis running from 0 to exactly n / sampleRate seconds in n samples.
inline std::vector<double> gammatone(double gain, double centre, double bandwidth, std::size_t n, double sampleRate,
                                     bool sineCarrier) {
    std::vector<double> h(n);
    const double step = (static_cast<double>(n) / sampleRate) / static_cast<double>(n - 1);
    for (std::size_t j = 0; j < n; ++j) {
        const double t = static_cast<double>(j) * step;
        const double envelope = gain * t * t * t * std::exp(-2 * pi * 1.019 * bandwidth * t);
        const double phase = 2 * pi * centre * t;
        h[j] = envelope * (sineCarrier ? std::sin(phase) : std::cos(phase));
    }
    return h;
}

}  // namespace vesh::reference
