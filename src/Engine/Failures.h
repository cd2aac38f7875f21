#pragma once

// How whatever fails inside the engine leaves its calls: as one
// ProcessingError whose kind says what failed.

#include <exception>
#include <string>

#include "Engine/ProcessingError.h"
#include "FullBandSpeechEnhancer/VariableLengthSpeechEnhancer.h"

namespace vesh::detail {

// Ends a public call of the engine from its catch-all handler (call it only
// there): a ProcessingError leaves as it is, an AudioError as the kind its
// operation and the error at the bottom of its chain give, anything else
// as the base of ProcessingError(unexpected).
[[noreturn]] void rethrowAsProcessingError();

// Runs an enhancer step; its cancellation and failures become ProcessingError.
template <typename Step>
void enhancing(Step&& step) {
    try {
        step();
    } catch (const ProcessingError&) {
        throw;
    } catch (const VariableLengthSpeechEnhancer::Error&) {
        throw ProcessingError(ProcessingError::Kind::cancelled);
    } catch (...) {
        throw ProcessingError(ProcessingError::Kind::enhancing, std::current_exception());
    }
}

// Throws AudioError(readAudioFile) around the system's error `code`.
[[noreturn]] void throwReadError(int code, const std::string& what);

[[noreturn]] void throwSourceChanged();

}  // namespace vesh::detail
