#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "FullBandSpeechEnhancer/Model.h"

namespace vesh {

// Enhances one segment of exactly `signalLength` samples: the model returns
// the component to remove, and the enhanced segment is the input minus it.
class SpeechEnhancer {
public:
    // The size of the filterbank the network was designed around; kept with
    // the enhancer as descriptive information, not used in the computation.
    static constexpr std::int64_t numberOfFilters = 256;

    // Runs `model` on segments of `signalLength` samples.
    SpeechEnhancer(Model model, std::int64_t signalLength);

    std::int64_t signalLength() const noexcept { return signalLength_; }
    const Model& model() const noexcept { return model_; }

    // output = input - model(input). The input is read in place. Both views
    // must hold exactly signalLength() samples (std::invalid_argument
    // otherwise, before the model runs). A model that fails or returns a
    // different number of values throws ModelError. The output is written
    // only when everything succeeded.
    void enhance(std::span<const float> input, std::span<float> output) const;
    std::vector<float> enhance(std::span<const float> signal) const;

private:
    Model model_;
    std::int64_t signalLength_;
};

}  // namespace vesh
