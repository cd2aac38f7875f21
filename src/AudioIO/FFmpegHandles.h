#pragma once

#include <memory>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswresample/swresample.h>
}

namespace vesh::detail {

// Owning handles for the decoder's contexts; each frees its object with the
// matching FFmpeg release function.
struct FormatContextRelease {
    void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
struct CodecContextRelease {
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct PacketRelease {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct FrameRelease {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct ResamplerRelease {
    void operator()(SwrContext* context) const { swr_free(&context); }
};

using FormatContextHandle = std::unique_ptr<AVFormatContext, FormatContextRelease>;
using CodecContextHandle = std::unique_ptr<AVCodecContext, CodecContextRelease>;
using PacketHandle = std::unique_ptr<AVPacket, PacketRelease>;
using FrameHandle = std::unique_ptr<AVFrame, FrameRelease>;
using ResamplerHandle = std::unique_ptr<SwrContext, ResamplerRelease>;

// FFmpeg's text for an error code.
std::string ffmpegErrorText(int code);

// Throws AudioLibraryError("FFmpeg", code, "<what>: <FFmpeg's text>").
[[noreturn]] void throwFFmpegError(int code, const std::string& what);

}  // namespace vesh::detail
