#include "SegmentWorkers.h"

#include <utility>

#include "FullBandSpeechEnhancer/SpeechEnhancer.h"
#include "Support/Processors.h"

namespace vesh {

SegmentWorkers::SegmentWorkers(const SpeechEnhancer& enhancer, std::size_t threadCount) : enhancer_(enhancer) {
    const std::size_t count = threadCount > 0 ? threadCount : availableProcessorCount();
    threads_.reserve(count);
    for (std::size_t i = 0; i < count; ++i) threads_.emplace_back([this] { work(); });
}

SegmentWorkers::~SegmentWorkers() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
        // Segments still queued belong to calls that ended early (cancelled
        // or failed): no one waits for them.
        queue_.clear();
    }
    queued_.notify_all();
    for (std::thread& thread : threads_) thread.join();
}

std::future<std::vector<float>> SegmentWorkers::enhance(std::vector<float> segment) {
    std::packaged_task<std::vector<float>()> task([this, segment = std::move(segment)] {
        std::vector<float> result(segment.size());
        enhancer_.enhance(segment, result);
        return result;
    });
    std::future<std::vector<float>> result = task.get_future();
    {
        const std::lock_guard lock(mutex_);
        queue_.push_back(std::move(task));
    }
    queued_.notify_one();
    return result;
}

void SegmentWorkers::work() {
    while (true) {
        std::packaged_task<std::vector<float>()> task;
        {
            std::unique_lock lock(mutex_);
            queued_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
            if (queue_.empty()) return;
            task = std::move(queue_.front());
            queue_.pop_front();
        }
        task();
    }
}

}  // namespace vesh
