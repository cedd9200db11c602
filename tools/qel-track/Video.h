#pragma once
// Video in and out through FFmpeg's libraries: decoding any file FFmpeg can
// read into packed R, G, B frames, and encoding annotated frames.

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace QelTrack {

struct RgbFrame {
    uint32_t width = 0;
    uint32_t height = 0;
    uint64_t timestampMs = 0;
    std::vector<uint8_t> rgb;  // rows packed, width * 3 bytes
};

// Frames wider or higher than this are refused as input.
inline constexpr int kMaxSide = 8192;

class InputError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class VideoReader {
public:
    // Throws InputError when the file cannot be opened or has no video.
    explicit VideoReader(const std::string& path);
    ~VideoReader();
    VideoReader(const VideoReader&) = delete;
    VideoReader& operator=(const VideoReader&) = delete;

    // The next frame in presentation order; false at the end. Time stamps
    // are milliseconds from the stream's start, from its own timing.
    bool Next(RgbFrame& frame);
    // Frames the container announces, when it does.
    std::optional<uint32_t> FrameCountHint() const;
    double FramesPerSecond() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

class VideoWriter {
public:
    // Throws std::runtime_error when no encoder or file can be had.
    VideoWriter(const std::string& path, uint32_t width, uint32_t height, double fps);
    ~VideoWriter();
    VideoWriter(const VideoWriter&) = delete;
    VideoWriter& operator=(const VideoWriter&) = delete;

    void Write(const RgbFrame& frame);
    void Finish();

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

// Writes one picture as PNG.
void WritePng(const std::string& path, const RgbFrame& frame);

// `frame` scaled to `width` x `height`.
RgbFrame Scaled(const RgbFrame& frame, uint32_t width, uint32_t height);

}  // namespace QelTrack
