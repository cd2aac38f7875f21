#include "Checkpoints.h"

namespace vesh::detail {

namespace {

// The handler hears from the call at least this often, so that a cancel
// request acts well within a second wherever the call is.
constexpr auto reportInterval = std::chrono::milliseconds(100);

}  // namespace

void Checkpoints::check(bool now) {
    const Clock::time_point time = Clock::now();
    if (!now && time - lastReport_ < reportInterval) return;
    lastReport_ = time;
    if (!handler_) return;
    for (std::size_t entry = 0; entry < values_.size(); ++entry) {
        const double done = measuringShare_ * measured_ + (1.0 - measuringShare_) * enhanced_[entry];
        values_[entry] = (static_cast<double>(stream_) + done) / static_cast<double>(streamCount_);
    }
    if (handler_(values_) == ProcessingOptions::Response::stopProcessing) {
        throw ProcessingError(ProcessingError::Kind::cancelled);
    }
}

}  // namespace vesh::detail
