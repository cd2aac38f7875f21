#pragma once

#include <cstdint>

namespace vesh {

// The processors the inference runtime may use. `all` and `cpuAndGPU` use a
// GPU execution provider where the runtime build and the machine offer one.
enum class ComputeUnits : int {
    cpuOnly = 0,
    cpuAndGPU = 1,
    all = 2,
    cpuAndNeuralEngine = 3,
};

// How the variable-length enhancer cuts a signal for the model.
struct ModelParameters {
    std::int64_t processedSegmentLength;  // samples in one model segment
    std::int64_t crossfadeLength;         // overlap of consecutive segments
    std::int64_t sampleRate;              // rate of the loudness measurement
    ComputeUnits computeUnits;
    // Model runs at once, each on a thread of its own; 0: one per processor
    // the process may use.
    int threadCount = 0;
};

}  // namespace vesh
