// The hand-over of blocks between the engine's threads: order, contents and
// failures, through a chain like the measuring pass's.

#include "BlockThread.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace vesh::detail {
namespace {

using Channels = BlockThread::Channels;

Channels numbered(float first, std::size_t frames) {
    Channels block(2);
    for (std::size_t frame = 0; frame < frames; ++frame) {
        block[0].push_back(first + static_cast<float>(frame));
        block[1].push_back(-first - static_cast<float>(frame));
    }
    return block;
}

TEST(BlockThread, BlocksPassAChainInOrderWithTheirSamples) {
    Channels received(2);
    BlockThread last(2, [&](const Channels& block) {
        for (std::size_t channel = 0; channel < 2; ++channel) {
            received[channel].insert(received[channel].end(), block[channel].begin(), block[channel].end());
        }
    });
    BlockThread first(2, [&](Channels& block) { last.add(block); });

    Channels expected(2);
    for (std::size_t k = 0; k < 50; ++k) {
        // Lengths that vary, so that reused storage of another length shows.
        Channels block = numbered(static_cast<float>(k * 1000), 1 + k % 7 * 100);
        for (std::size_t channel = 0; channel < 2; ++channel) {
            expected[channel].insert(expected[channel].end(), block[channel].begin(), block[channel].end());
        }
        first.add(block);
        ASSERT_EQ(block.size(), 2u);
        EXPECT_TRUE(block[0].empty() && block[1].empty());
    }
    first.finish();
    last.finish();
    EXPECT_EQ(received, expected);
}

TEST(BlockThread, AFailureReachesTheCallerEvenWhileItWaitsForRoom) {
    std::size_t consumed = 0;
    BlockThread failing(2, [&](const Channels&) {
        if (++consumed == 2) throw std::runtime_error("the second block failed");
    });
    const auto feed = [&] {
        // Far more blocks than may wait: the caller waits for room when the failure comes.
        for (int k = 0; k < 100; ++k) {
            Channels block = numbered(0, 10);
            failing.add(block);
        }
        failing.finish();
    };
    try {
        feed();
        ADD_FAILURE() << "expected the consumer's failure";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()), "the second block failed");
    }
    EXPECT_EQ(consumed, 2u);
}

}  // namespace
}  // namespace vesh::detail
