#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <stop_token>
#include <thread>
#include <vector>

namespace vesh::detail {

// Blocks of a signal, one sample list per channel, handed on in order from
// the calling thread to `consume` on a thread of its own, so that both sides
// work at once; `consume` may swap a block for another (to hand it on). A
// few blocks may wait; beyond them the caller waits, so that memory stays
// bounded when the thread is the slower side. A failure of `consume` ends
// the thread and is thrown to the caller at its next call. Destroying it
// stops the thread after the block in hand.
class BlockThread {
public:
    using Channels = std::vector<std::vector<float>>;

    BlockThread(std::size_t channelCount, std::function<void(Channels&)> consume);
    BlockThread(const BlockThread&) = delete;
    BlockThread& operator=(const BlockThread&) = delete;

    // Takes `block` and leaves an empty one in its place, whose sample lists
    // keep the storage of an earlier block.
    void add(Channels& block);
    // Returns once every block is consumed and the thread has ended.
    void finish();

private:
    void run(const std::stop_token& stop);

    std::size_t channelCount_;
    std::function<void(Channels&)> consume_;
    std::mutex mutex_;
    std::condition_variable_any changed_;
    std::deque<Channels> waiting_;
    std::vector<Channels> spare_;
    bool busy_ = false;
    std::exception_ptr failure_;
    // Last, so that it stops before the rest goes.
    std::jthread thread_;
};

}  // namespace vesh::detail
