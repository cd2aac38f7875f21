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

AudioStream threeChannels() {
    return testing::makeAudioStream({Channel(44100, {1, 2, 3}), Channel(44100, {4, 5, 6}), Channel(44100, {7, 8, 9})},
                                    44100);
}

TEST(AudioStreamModel, LengthAndEmptyStreams) {
    EXPECT_EQ(testing::makeAudioStream({Channel(8000, std::vector<float>(10)), Channel(8000, {})}, 8000).length(), 10);

    AudioStream empty = testing::makeAudioStream({}, 22050);
    int calls = 0;
    const AudioStream mapped = empty.map([&](const Channel& channel) {
        ++calls;
        return channel;
    });
    empty.forEachMutableChannel([&](Channel&) { ++calls; });
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(empty.length(), 0);
    EXPECT_TRUE(mapped.channels().empty());
    EXPECT_EQ(mapped.sampleRate(), 22050);
}

TEST(AudioStreamModel, CopiesAndTheirLayoutsAreIndependent) {
    const detail::ChannelLayout layout{{0, 1, 2}};
    AudioStream original = detail::AudioStreamAccess::make(threeChannels().channels(), 44100, layout);
    AudioStream copy = original;
    copy.forEachMutableChannel([](Channel& channel) { channel.samples[1] = -1; });
    AudioStream assigned = testing::makeAudioStream({}, 1);
    assigned = original;
    original = testing::makeAudioStream({}, 1);
    EXPECT_EQ(assigned.channels()[2].samples, (std::vector<float>{7, 8, 9}));
    EXPECT_EQ(assigned.sampleRate(), 44100);
    EXPECT_EQ(detail::AudioStreamAccess::channelLayout(assigned), layout);
    EXPECT_EQ(detail::AudioStreamAccess::channelLayout(copy), layout);
}

TEST(AudioStreamMaps, EnumeratedMapVisitsChannelsInOrderAndKeepsRateAndLayout) {
    const detail::ChannelLayout layout{{0, 1, 2}};
    const AudioStream stream = detail::AudioStreamAccess::make(threeChannels().channels(), 44100, layout);
    std::vector<std::int64_t> indices;
    const AudioStream mapped = stream.enumeratedMap([&](std::int64_t index, const Channel& channel) {
        indices.push_back(index);
        EXPECT_EQ(channel, stream.channels()[static_cast<std::size_t>(index)]);
        return Channel(96000, {static_cast<float>(index)});  // another rate does not change the stream's
    });
    EXPECT_EQ(indices, (std::vector<std::int64_t>{0, 1, 2}));
    EXPECT_EQ(mapped.sampleRate(), 44100);
    EXPECT_EQ(mapped.channels()[2], Channel(96000, {2}));
    EXPECT_EQ(detail::AudioStreamAccess::channelLayout(mapped), layout);
    EXPECT_EQ(detail::AudioStreamAccess::channelLayout(stream.map([](const Channel& c) { return c; })), layout);
}

TEST(AudioStreamMaps, FailingClosureErrorIsTheBaseOfTheMapError) {
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
    const AudioError enumeratedError = expectAudioError([&] {
        static_cast<void>(
            stream.enumeratedMap([](std::int64_t, const Channel&) -> Channel { throw ClosureFailure(3); }));
    });
    EXPECT_EQ(enumeratedError.failedOperation(), AudioError::Operation::mapAudioStream);
    EXPECT_EQ(baseAs<ClosureFailure>(enumeratedError)->tag, 3);
}

TEST(AudioStreamMaps, FailingInPlaceMutationKeepsTheChangesMadeBeforeIt) {
    AudioStream stream = threeChannels();
    int calls = 0;
    const AudioError error = expectAudioError([&] {
        stream.forEachMutableChannel([&](Channel& channel) {
            channel.samples[0] = -1;
            if (++calls == 2) throw ClosureFailure(2);
        });
    });
    EXPECT_EQ(error.failedOperation(), AudioError::Operation::mutateAudioStreamInPlace);
    EXPECT_EQ(baseAs<ClosureFailure>(error)->tag, 2);
    EXPECT_EQ(stream.channels()[1].samples, (std::vector<float>{-1, 5, 6}));
    EXPECT_EQ(stream.channels()[2].samples, (std::vector<float>{7, 8, 9}));
}

TEST(AudioStreamModel, ErrorMessagesFollowTheChainAndFormatVocabularyHasItsOddCases) {
    const AudioError inner(std::make_exception_ptr(std::runtime_error("disk on fire")),
                           AudioError::Operation::writeAudioFile);
    const AudioError outer(std::make_exception_ptr(inner), AudioError::Operation::writeAudioFile);
    EXPECT_STREQ(outer.what(), "writeAudioFile failed: writeAudioFile failed: disk on fire");
    EXPECT_EQ(CommonAudioFileFormat::pathExtension(CommonAudioFileFormat::FileType::aiff), "aif");
    EXPECT_EQ(bitDepthFromRawValue(20), std::nullopt);
    EXPECT_EQ(bitDepthFromRawValue(24), CommonAudioFileFormat::BitDepth::twentyFour);
}

}  // namespace
}  // namespace vesh
