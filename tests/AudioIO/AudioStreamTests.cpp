// The stream value type, its channel maps and error wrapping.

#include <gtest/gtest.h>

#include "TestSupport.h"

namespace vesh {
namespace {

using namespace audiotest;
using Channel = AudioStream::Channel;

struct ClosureFailure : std::runtime_error {
    explicit ClosureFailure(int tag) : std::runtime_error("closure failed"), tag(tag) {}
    int tag;
};

const detail::ChannelLayout layout{{0, 1, 2}};

AudioStream threeChannels() {
    return makeStream({Channel(44100, {1, 2, 3}), Channel(44100, {4, 5, 6}), Channel(44100, {7, 8, 9})}, 44100, layout);
}

TEST(AudioStreamModel, LengthIsTheFirstChannelsAndCopiesAreIndependent) {
    EXPECT_EQ(makeStream({Channel(8000, std::vector<float>(10)), Channel(8000, {})}, 8000).length(), 10);
    AudioStream empty = makeStream({}, 22050);
    empty.forEachMutableChannel([](Channel&) { ADD_FAILURE() << "called without channels"; });
    EXPECT_EQ(empty.length(), 0);

    AudioStream original = threeChannels();
    AudioStream copy = original;
    copy.forEachMutableChannel([](Channel& channel) { channel.samples[1] = -1; });
    AudioStream assigned = makeStream({}, 1);
    assigned = original;
    original = makeStream({}, 1);
    EXPECT_EQ(assigned.channels()[2].samples, (std::vector<float>{7, 8, 9}));
    EXPECT_EQ(assigned.sampleRate(), 44100);
    EXPECT_EQ(layoutOf(assigned), layout);
    EXPECT_EQ(layoutOf(copy), layout);
}

TEST(AudioStreamMaps, MapsVisitChannelsInOrderAndKeepTheRateAndLayout) {
    const AudioStream stream = threeChannels();
    std::vector<std::int64_t> indices;
    const AudioStream mapped = stream.enumeratedMap([&](std::int64_t index, const Channel& channel) {
        indices.push_back(index);
        EXPECT_EQ(channel, stream.channels()[static_cast<std::size_t>(index)]);
        return Channel(96000, {static_cast<float>(index)});  // another rate does not change the stream's
    });
    EXPECT_EQ(indices, (std::vector<std::int64_t>{0, 1, 2}));
    EXPECT_EQ(mapped.sampleRate(), 44100);
    EXPECT_EQ(mapped.channels()[2], Channel(96000, {2}));
    EXPECT_EQ(layoutOf(mapped), layout);
    EXPECT_EQ(layoutOf(stream.map([](const Channel& c) { return c; })), layout);
}

TEST(AudioStreamMaps, AFailingClosuresErrorIsTheBaseOfTheMapError) {
    const AudioStream stream = threeChannels();
    int calls = 0;
    const AudioError mapError = expectAudioError([&] {
        static_cast<void>(stream.map([&](const Channel& channel) {
            if (++calls == 2) throw ClosureFailure(7);
            return Channel(1, std::vector<float>(channel.samples.size()));
        }));
    });
    EXPECT_EQ(mapError.failedOperation(), AudioError::Operation::mapAudioStream);
    EXPECT_EQ(baseAs<ClosureFailure>(mapError)->tag, 7);
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(stream.channels()[0].samples, (std::vector<float>{1, 2, 3}));

    // In place, the channels before the failing one keep their changes.
    AudioStream changed = threeChannels();
    calls = 0;
    const AudioError mutation = expectAudioError([&] {
        changed.forEachMutableChannel([&](Channel& channel) {
            channel.samples[0] = -1;
            if (++calls == 2) throw ClosureFailure(2);
        });
    });
    EXPECT_EQ(mutation.failedOperation(), AudioError::Operation::mutateAudioStreamInPlace);
    EXPECT_EQ(baseAs<ClosureFailure>(mutation)->tag, 2);
    EXPECT_EQ(changed.channels()[1].samples, (std::vector<float>{-1, 5, 6}));
    EXPECT_EQ(changed.channels()[2].samples, (std::vector<float>{7, 8, 9}));
}

}  // namespace
}  // namespace vesh
