#include "BlockThread.h"

#include <utility>

namespace vesh::detail {

namespace {

// Blocks that may wait for the thread.
constexpr std::size_t waitingBlocks = 4;

}  // namespace

BlockThread::BlockThread(std::size_t channelCount, std::function<void(Channels&)> consume)
    : channelCount_(channelCount), consume_(std::move(consume)),
      thread_([this](const std::stop_token& stop) { run(stop); }) {}

void BlockThread::add(Channels& block) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return waiting_.size() < waitingBlocks || failure_; });
    if (failure_) std::rethrow_exception(failure_);
    waiting_.push_back(std::move(block));
    if (spare_.empty()) {
        block = Channels(channelCount_);
    } else {
        block = std::move(spare_.back());
        spare_.pop_back();
    }
    changed_.notify_all();
}

void BlockThread::finish() {
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return (waiting_.empty() && !busy_) || failure_; });
        if (failure_) std::rethrow_exception(failure_);
    }
    thread_.request_stop();
    thread_.join();
}

void BlockThread::run(const std::stop_token& stop) {
    std::unique_lock lock(mutex_);
    while (changed_.wait(lock, stop, [&] { return !waiting_.empty(); }) && !stop.stop_requested()) {
        Channels block = std::move(waiting_.front());
        waiting_.pop_front();
        busy_ = true;
        lock.unlock();
        std::exception_ptr failure;
        try {
            consume_(block);
        } catch (...) {
            failure = std::current_exception();
        }
        for (auto& samples : block) samples.clear();
        lock.lock();
        busy_ = false;
        spare_.push_back(std::move(block));
        failure_ = failure;
        changed_.notify_all();
        if (failure_) return;
    }
}

}  // namespace vesh::detail
