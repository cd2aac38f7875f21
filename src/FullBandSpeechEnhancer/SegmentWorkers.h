#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <future>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

namespace vesh {

class SpeechEnhancer;

// The threads that run model segments for every call of one enhancer.
// Segments of one channel, of a file's channels and of files processed at
// once all wait in one queue, so no more runs than threads ever compete for
// the processors, and each run is single-threaded: independent runs keep
// going where one of them waits for a processor that other programs hold,
// whereas a run split over threads waits for its slowest part.
class SegmentWorkers {
public:
    // `threadCount` 0: one per processor this process may use.
    SegmentWorkers(const SpeechEnhancer& enhancer, std::size_t threadCount);
    // Finishes the segments running, drops those queued, joins the threads.
    ~SegmentWorkers();
    SegmentWorkers(const SegmentWorkers&) = delete;
    SegmentWorkers& operator=(const SegmentWorkers&) = delete;

    std::size_t threadCount() const noexcept { return threads_.size(); }

    // Enhances one segment (as many samples as the enhancer's segment) on a
    // worker; the future holds the enhanced segment or the model's error.
    std::future<std::vector<float>> enhance(std::vector<float> segment);

private:
    void work();

    const SpeechEnhancer& enhancer_;
    std::mutex mutex_;
    std::condition_variable queued_;
    std::deque<std::packaged_task<std::vector<float>()>> queue_;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

}  // namespace vesh
