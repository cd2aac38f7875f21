#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <vector>

#include "Engine/Engine.h"

namespace vesh::detail {

// The progress entries and the cancel checks of one call.
class Checkpoints {
public:
    // `measuringShare`: the part of each entry that the measuring pass
    // fills; the pass that adds the model fills the rest.
    Checkpoints(const ProcessingOptions::ProgressHandler& handler, double measuringShare)
        : handler_(handler), measuringShare_(measuringShare) {}

    void setEntryCount(std::size_t count) {
        enhanced_.assign(count, 0.0);
        values_.assign(count, 0.0);
    }
    // The call's work is `count` streams, one after another, now at the
    // one numbered `index`: each entry reports its share of the whole.
    void setStream(std::size_t index, std::size_t count) {
        stream_ = index;
        streamCount_ = count;
        measured_ = 0.0;
        std::fill(enhanced_.begin(), enhanced_.end(), 0.0);
    }
    void setMeasured(double fraction) { measured_ = std::clamp(fraction, 0.0, 1.0); }
    void setEnhanced(std::size_t entry, double fraction) { enhanced_[entry] = std::clamp(fraction, 0.0, 1.0); }

    // Reports when a report is due (always with `now`); throws
    // ProcessingError(cancelled) when the handler answers stopProcessing.
    void check(bool now = false);

private:
    using Clock = std::chrono::steady_clock;
    const ProcessingOptions::ProgressHandler& handler_;
    double measuringShare_;
    std::size_t stream_ = 0;
    std::size_t streamCount_ = 1;
    double measured_ = 0.0;
    std::vector<double> enhanced_;
    std::vector<double> values_;
    Clock::time_point lastReport_{};
};

}  // namespace vesh::detail
