#include "FullBandSpeechEnhancer/SpeechEnhancer.h"

#include <stdexcept>
#include <string>
#include <utility>

#include "FullBandSpeechEnhancer/ModelError.h"

namespace vesh {

SpeechEnhancer::SpeechEnhancer(Model model, std::int64_t signalLength)
    : model_(std::move(model)), signalLength_(signalLength) {
    if (signalLength < 0) {
        throw std::invalid_argument("the segment length is negative");
    }
}

void SpeechEnhancer::enhance(std::span<const float> input, std::span<float> output) const {
    const auto length = static_cast<std::size_t>(signalLength_);
    if (input.size() != length) {
        throw std::invalid_argument("the segment holds " + std::to_string(input.size()) + " samples instead of " +
                                    std::to_string(length));
    }
    if (output.size() != input.size()) {
        throw std::invalid_argument("the output holds " + std::to_string(output.size()) + " samples for " +
                                    std::to_string(input.size()) + " input samples");
    }
    const ModelOutput prediction = model_.prediction(ModelInput(input));
    const std::span<const float> noise = prediction.values();
    if (noise.size() != input.size()) {
        throw ModelError(ORT_INVALID_GRAPH, "the model returned " + std::to_string(noise.size()) +
                                                " values for a segment of " + std::to_string(input.size()) +
                                                " samples");
    }
    for (std::size_t i = 0; i < output.size(); ++i) {
        output[i] = input[i] - noise[i];
    }
}

std::vector<float> SpeechEnhancer::enhance(std::span<const float> signal) const {
    std::vector<float> enhanced(signal.size());
    enhance(signal, enhanced);
    return enhanced;
}

}  // namespace vesh
