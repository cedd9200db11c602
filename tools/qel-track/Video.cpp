#include "Video.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include <fmt/format.h>

#include <cmath>
#include <cstring>

namespace QelTrack {

namespace {

std::string AvError(int code)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof(text));
    return text;
}

struct FrameDeleter {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketDeleter {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct CodecDeleter {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct ScaleDeleter {
    void operator()(SwsContext* s) const { sws_freeContext(s); }
};

using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;
using CodecPtr = std::unique_ptr<AVCodecContext, CodecDeleter>;
using ScalePtr = std::unique_ptr<SwsContext, ScaleDeleter>;

// The scaler reads and writes whole vector words: a row may be touched some
// bytes past its end, so its pictures get aligned rows and a padded end.
constexpr int kScaleAlign = 64;

class ScaleBuffer {
public:
    // Room for `height` rows of `rowBytes`.
    uint8_t* Reserve(uint32_t rowBytes, uint32_t height)
    {
        m_stride = FFALIGN(static_cast<int>(rowBytes), kScaleAlign);
        m_bytes.resize(static_cast<size_t>(m_stride) * height + 2 * kScaleAlign);
        return Data();
    }
    uint8_t* Data() { return m_bytes.data() + Offset(); }
    int Stride() const { return m_stride; }

private:
    size_t Offset() const
    {
        const auto at = reinterpret_cast<uintptr_t>(m_bytes.data());
        return static_cast<size_t>((kScaleAlign - at % kScaleAlign) % kScaleAlign);
    }

    std::vector<uint8_t> m_bytes;
    int m_stride = 0;
};

// Packed rows of `width` * 3 bytes into `buffer`'s aligned ones.
const uint8_t* Padded(ScaleBuffer& buffer, const uint8_t* packed, uint32_t width, uint32_t height)
{
    uint8_t* data = buffer.Reserve(width * 3, height);
    av_image_copy_plane(data, buffer.Stride(), packed, static_cast<int>(width * 3), static_cast<int>(width * 3),
                        static_cast<int>(height));
    return data;
}

}  // namespace

struct VideoReader::Impl {
    AVFormatContext* format = nullptr;
    CodecPtr codec;
    int stream = -1;
    FramePtr decoded{av_frame_alloc()};
    PacketPtr packet{av_packet_alloc()};
    ScalePtr scale;
    ScaleBuffer converted;
    bool draining = false;
    bool finished = false;
    int64_t startPts = AV_NOPTS_VALUE;
    int64_t frameIndex = 0;

    ~Impl()
    {
        if (format) avformat_close_input(&format);
    }

    bool Receive(RgbFrame& out)
    {
        const int got = avcodec_receive_frame(codec.get(), decoded.get());
        if (got == AVERROR(EAGAIN) || got == AVERROR_EOF) return false;
        if (got < 0) throw InputError("cannot decode the video: " + AvError(got));
        const AVStream* s = format->streams[stream];
        int64_t pts = decoded->best_effort_timestamp;
        if (pts == AV_NOPTS_VALUE) {
            // No timing of its own: count frames at the stream's rate.
            const double fps = av_q2d(s->avg_frame_rate) > 0 ? av_q2d(s->avg_frame_rate) : 25.0;
            out.timestampMs = static_cast<uint64_t>(std::llround(frameIndex * 1000.0 / fps));
        } else {
            if (startPts == AV_NOPTS_VALUE) startPts = s->start_time != AV_NOPTS_VALUE ? s->start_time : pts;
            const double ms = static_cast<double>(pts - startPts) * av_q2d(s->time_base) * 1000.0;
            out.timestampMs = ms > 0 ? static_cast<uint64_t>(std::llround(ms)) : 0;
        }
        ++frameIndex;
        if (decoded->width <= 0 || decoded->height <= 0 || decoded->width > kMaxSide || decoded->height > kMaxSide)
            throw InputError(
                fmt::format("a frame of {}x{} is beyond {}x{}", decoded->width, decoded->height, kMaxSide, kMaxSide));
        out.width = static_cast<uint32_t>(decoded->width);
        out.height = static_cast<uint32_t>(decoded->height);
        scale.reset(sws_getCachedContext(scale.release(), decoded->width, decoded->height,
                                         static_cast<AVPixelFormat>(decoded->format), decoded->width, decoded->height,
                                         AV_PIX_FMT_RGB24, SWS_BILINEAR, nullptr, nullptr, nullptr));
        if (!scale) throw InputError("cannot convert the video's pixel format");
        uint8_t* dst[4] = {converted.Reserve(out.width * 3, out.height), nullptr, nullptr, nullptr};
        int dstStride[4] = {converted.Stride(), 0, 0, 0};
        sws_scale(scale.get(), decoded->data, decoded->linesize, 0, decoded->height, dst, dstStride);
        av_frame_unref(decoded.get());
        out.rgb.resize(static_cast<size_t>(out.width) * out.height * 3);
        av_image_copy_plane(out.rgb.data(), static_cast<int>(out.width * 3), dst[0], dstStride[0],
                            static_cast<int>(out.width * 3), static_cast<int>(out.height));
        return true;
    }
};

VideoReader::VideoReader(const std::string& path) : m_impl(std::make_unique<Impl>())
{
    av_log_set_level(AV_LOG_ERROR);
    int rc = avformat_open_input(&m_impl->format, path.c_str(), nullptr, nullptr);
    if (rc < 0) throw InputError(fmt::format("cannot open '{}': {}", path, AvError(rc)));
    rc = avformat_find_stream_info(m_impl->format, nullptr);
    if (rc < 0) throw InputError(fmt::format("cannot read '{}': {}", path, AvError(rc)));
    const AVCodec* decoder = nullptr;
    m_impl->stream = av_find_best_stream(m_impl->format, AVMEDIA_TYPE_VIDEO, -1, -1, &decoder, 0);
    if (m_impl->stream < 0 || decoder == nullptr) throw InputError(fmt::format("'{}' has no video stream", path));
    const AVCodecParameters* parameters = m_impl->format->streams[m_impl->stream]->codecpar;
    if (parameters->width > kMaxSide || parameters->height > kMaxSide)
        throw InputError(fmt::format("'{}' has frames of {}x{}, beyond {}x{}", path, parameters->width,
                                     parameters->height, kMaxSide, kMaxSide));
    m_impl->codec.reset(avcodec_alloc_context3(decoder));
    if (!m_impl->codec || avcodec_parameters_to_context(m_impl->codec.get(), parameters) < 0)
        throw InputError(fmt::format("cannot decode '{}'", path));
    rc = avcodec_open2(m_impl->codec.get(), decoder, nullptr);
    if (rc < 0) throw InputError(fmt::format("cannot decode '{}': {}", path, AvError(rc)));
}

VideoReader::~VideoReader() = default;

bool VideoReader::Next(RgbFrame& frame)
{
    Impl& v = *m_impl;
    while (!v.finished) {
        if (v.Receive(frame)) return true;
        if (v.draining) {
            v.finished = true;
            break;
        }
        const int rc = av_read_frame(v.format, v.packet.get());
        if (rc < 0) {
            avcodec_send_packet(v.codec.get(), nullptr);
            v.draining = true;
            continue;
        }
        if (v.packet->stream_index == v.stream) avcodec_send_packet(v.codec.get(), v.packet.get());
        av_packet_unref(v.packet.get());
    }
    return false;
}

std::optional<uint32_t> VideoReader::FrameCountHint() const
{
    const AVStream* s = m_impl->format->streams[m_impl->stream];
    if (s->nb_frames > 0) return static_cast<uint32_t>(s->nb_frames);
    if (s->duration != AV_NOPTS_VALUE && av_q2d(s->avg_frame_rate) > 0)
        return static_cast<uint32_t>(av_q2d(s->time_base) * static_cast<double>(s->duration) *
                                     av_q2d(s->avg_frame_rate));
    return std::nullopt;
}

double VideoReader::FramesPerSecond() const
{
    const double fps = av_q2d(m_impl->format->streams[m_impl->stream]->avg_frame_rate);
    return fps > 0 ? fps : 25.0;
}

struct VideoWriter::Impl {
    AVFormatContext* format = nullptr;
    CodecPtr codec;
    AVStream* stream = nullptr;
    FramePtr frame{av_frame_alloc()};
    PacketPtr packet{av_packet_alloc()};
    ScalePtr scale;
    ScaleBuffer source;
    int64_t next = 0;
    bool finished = false;

    ~Impl()
    {
        if (format) {
            if (format->pb) avio_closep(&format->pb);
            avformat_free_context(format);
        }
    }

    void Drain(bool flush)
    {
        if (flush) avcodec_send_frame(codec.get(), nullptr);
        while (avcodec_receive_packet(codec.get(), packet.get()) == 0) {
            av_packet_rescale_ts(packet.get(), codec->time_base, stream->time_base);
            packet->stream_index = stream->index;
            const int rc = av_interleaved_write_frame(format, packet.get());
            if (rc < 0) throw std::runtime_error("cannot write the annotated video: " + AvError(rc));
        }
    }
};

VideoWriter::VideoWriter(const std::string& path, uint32_t width, uint32_t height, double fps)
    : m_impl(std::make_unique<Impl>())
{
    Impl& w = *m_impl;
    if (avformat_alloc_output_context2(&w.format, nullptr, nullptr, path.c_str()) < 0 || !w.format)
        throw std::runtime_error(fmt::format("cannot write a video to '{}'", path));
    const AVCodec* encoder = avcodec_find_encoder_by_name("libx264");
    if (!encoder) encoder = avcodec_find_encoder(AV_CODEC_ID_MPEG4);
    if (!encoder) throw std::runtime_error("no video encoder available");
    w.stream = avformat_new_stream(w.format, nullptr);
    w.codec.reset(avcodec_alloc_context3(encoder));
    // Even sizes for 4:2:0.
    w.codec->width = static_cast<int>(width & ~1u);
    w.codec->height = static_cast<int>(height & ~1u);
    w.codec->pix_fmt = AV_PIX_FMT_YUV420P;
    const AVRational rate = av_d2q(fps > 0 ? fps : 25.0, 1000);
    w.codec->time_base = av_inv_q(rate);
    w.codec->framerate = rate;
    w.codec->bit_rate = 4'000'000;
    w.codec->gop_size = 25;
    if (w.format->oformat->flags & AVFMT_GLOBALHEADER) w.codec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (avcodec_open2(w.codec.get(), encoder, nullptr) < 0) throw std::runtime_error("cannot open the video encoder");
    avcodec_parameters_from_context(w.stream->codecpar, w.codec.get());
    w.stream->time_base = w.codec->time_base;
    if (!(w.format->oformat->flags & AVFMT_NOFILE) && avio_open(&w.format->pb, path.c_str(), AVIO_FLAG_WRITE) < 0)
        throw std::runtime_error(fmt::format("cannot create '{}'", path));
    if (avformat_write_header(w.format, nullptr) < 0) throw std::runtime_error("cannot write the video header");
    w.frame->format = w.codec->pix_fmt;
    w.frame->width = w.codec->width;
    w.frame->height = w.codec->height;
    if (av_frame_get_buffer(w.frame.get(), 0) < 0) throw std::runtime_error("no memory for the annotated frames");
}

VideoWriter::~VideoWriter()
{
    try {
        Finish();
    } catch (...) {
    }
}

void VideoWriter::Write(const RgbFrame& frame)
{
    Impl& w = *m_impl;
    if (av_frame_make_writable(w.frame.get()) < 0) throw std::runtime_error("no memory for the annotated frames");
    w.scale.reset(sws_getCachedContext(w.scale.release(), static_cast<int>(frame.width), static_cast<int>(frame.height),
                                       AV_PIX_FMT_RGB24, w.codec->width, w.codec->height, AV_PIX_FMT_YUV420P,
                                       SWS_BILINEAR, nullptr, nullptr, nullptr));
    if (!w.scale) throw std::runtime_error("cannot convert the annotated frames");
    const uint8_t* src[4] = {Padded(w.source, frame.rgb.data(), frame.width, frame.height), nullptr, nullptr, nullptr};
    const int srcStride[4] = {w.source.Stride(), 0, 0, 0};
    sws_scale(w.scale.get(), src, srcStride, 0, static_cast<int>(frame.height), w.frame->data, w.frame->linesize);
    w.frame->pts = w.next++;
    if (avcodec_send_frame(w.codec.get(), w.frame.get()) == 0) w.Drain(false);
}

void VideoWriter::Finish()
{
    Impl& w = *m_impl;
    if (w.finished) return;
    w.finished = true;
    w.Drain(true);
    int rc = av_write_trailer(w.format);
    if (rc >= 0 && w.format->pb) rc = avio_closep(&w.format->pb);
    if (rc < 0) throw std::runtime_error("cannot write the annotated video: " + AvError(rc));
}

void WritePng(const std::string& path, const RgbFrame& frame)
{
    const AVCodec* encoder = avcodec_find_encoder(AV_CODEC_ID_PNG);
    if (!encoder) throw std::runtime_error("no PNG encoder available");
    CodecPtr codec(avcodec_alloc_context3(encoder));
    codec->width = static_cast<int>(frame.width);
    codec->height = static_cast<int>(frame.height);
    codec->pix_fmt = AV_PIX_FMT_RGB24;
    codec->time_base = AVRational{1, 25};
    if (avcodec_open2(codec.get(), encoder, nullptr) < 0) throw std::runtime_error("cannot open the PNG encoder");
    FramePtr picture(av_frame_alloc());
    picture->format = AV_PIX_FMT_RGB24;
    picture->width = codec->width;
    picture->height = codec->height;
    if (av_frame_get_buffer(picture.get(), 0) < 0) throw std::runtime_error("no memory for the PNG picture");
    for (uint32_t y = 0; y < frame.height; ++y)
        std::memcpy(picture->data[0] + static_cast<size_t>(y) * picture->linesize[0],
                    frame.rgb.data() + static_cast<size_t>(y) * frame.width * 3, frame.width * 3);
    PacketPtr packet(av_packet_alloc());
    if (avcodec_send_frame(codec.get(), picture.get()) < 0 || avcodec_receive_packet(codec.get(), packet.get()) < 0)
        throw std::runtime_error("cannot encode the PNG picture");
    FILE* out = std::fopen(path.c_str(), "wb");
    if (!out) throw std::runtime_error(fmt::format("cannot create '{}'", path));
    const size_t written = std::fwrite(packet->data, 1, static_cast<size_t>(packet->size), out);
    const bool closed = std::fclose(out) == 0;
    if (written != static_cast<size_t>(packet->size) || !closed)
        throw std::runtime_error(fmt::format("cannot write '{}'", path));
}

RgbFrame Scaled(const RgbFrame& frame, uint32_t width, uint32_t height)
{
    RgbFrame out;
    out.width = width;
    out.height = height;
    out.timestampMs = frame.timestampMs;
    out.rgb.resize(static_cast<size_t>(width) * height * 3);
    ScalePtr scale(sws_getContext(static_cast<int>(frame.width), static_cast<int>(frame.height), AV_PIX_FMT_RGB24,
                                  static_cast<int>(width), static_cast<int>(height), AV_PIX_FMT_RGB24, SWS_AREA,
                                  nullptr, nullptr, nullptr));
    if (!scale) throw std::runtime_error(fmt::format("cannot scale a picture to {}x{}", width, height));
    ScaleBuffer source, scaled;
    const uint8_t* src[4] = {Padded(source, frame.rgb.data(), frame.width, frame.height), nullptr, nullptr, nullptr};
    const int srcStride[4] = {source.Stride(), 0, 0, 0};
    uint8_t* dst[4] = {scaled.Reserve(width * 3, height), nullptr, nullptr, nullptr};
    const int dstStride[4] = {scaled.Stride(), 0, 0, 0};
    sws_scale(scale.get(), src, srcStride, 0, static_cast<int>(frame.height), dst, dstStride);
    av_image_copy_plane(out.rgb.data(), static_cast<int>(width * 3), dst[0], dstStride[0], static_cast<int>(width * 3),
                        static_cast<int>(height));
    return out;
}

}  // namespace QelTrack
