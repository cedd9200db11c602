#include "FrameConverter.h"

#include <fmt/format.h>

#include <cmath>
#include <limits>
#include <stdexcept>

namespace Kest8::Framework {

namespace {

// Keeps every size in range of the 32-bit fields it ends up in.
constexpr uint64_t kMaxRowBytes = static_cast<uint64_t>(std::numeric_limits<int32_t>::max());
constexpr uint64_t kMaxPictureBytes = uint64_t{1} << 31;

int32_t BytesPerPixelOf(KestCv::PixelFormat target)
{
    switch (target) {
    case KestCv::PF_BGR24:
    case KestCv::PF_RGB24: return 3;
    case KestCv::PF_GRAY8: return 1;
    default: throw std::runtime_error("Unsupported target format.");
    }
}

// Whether a plane of `rows` rows of `rowBytes` bytes fits its pitch and size
// (a size of 0 means the host does not report it).
bool PlaneHolds(uint32_t pitch, uint32_t size, uint64_t rows, uint64_t rowBytes)
{
    if (rows == 0) return true;
    if (pitch < rowBytes) return false;
    return size == 0 || (rows - 1) * pitch + rowBytes <= size;
}

// The own buffer's capacity: the last row padded up to 32 bytes.
void SizeBuffer(std::vector<uint8_t>& buffer, uint64_t rowBytes, uint64_t rows)
{
    const auto required = static_cast<size_t>(((rowBytes + 31) & ~uint64_t{31}) + (rows - 1) * rowBytes);
    if (buffer.capacity() < required) {
        std::vector<uint8_t> grown;
        grown.reserve(required);
        grown.assign(buffer.begin(), buffer.end());
        buffer.swap(grown);
    }
    buffer.resize(static_cast<size_t>(rowBytes * rows));
}

}  // namespace

std::pair<int32_t, int32_t> ChromaPosition(int32_t sourceCode, const PixelRect& rect)
{
    switch (sourceCode) {
    case KestCv::PF_YUV420P: return {rect.x / 2, rect.y / 2};
    case KestCv::PF_YUV422P: return {rect.x / 2, rect.y};
    case KestCv::PF_YUV444P: return {rect.x, rect.y};
    default: return {0, 0};
    }
}

struct FrameConverter::Source {
    const Kest8::MFF::IPlanarBuffer* planar = nullptr;
    KestCv::PixelFormat code = KestCv::PF_GRAY8;
    uint64_t chromaRows = 0;
    uint64_t chromaRowBytes = 0;
};

FrameConverter::FrameConverter(Kest8::ILogger* logger, KestCv::PixelFormat targetFormat)
    : bytesPerPixel(BytesPerPixelOf(targetFormat)),
      yuvConverter(KestCv::Utils::CreateYuvConverter(logger, KestCv::MT_HOST, targetFormat)),
      logger(logger)
{
}

bool FrameConverter::Prepare(const Kest8::IContract* sample, const PixelRect& roi, Source& source)
{
    const auto* planar = Kest8::QueryContractAs<Kest8::MFF::IPlanarBuffer>(sample);
    if (planar == nullptr) throw std::runtime_error("Unexpected buffer type, Kest8::MFF::IPlanarBuffer is expected.");
    source.planar = planar;

    const uint64_t frameWidth = planar->GetWidth();
    const uint64_t frameHeight = planar->GetHeight();

    // Source layout from the U plane's rows; a zero pitch or size is luma only.
    const uint32_t pitchU = planar->GetPitchU();
    const uint32_t rowsU = pitchU == 0 ? 0 : planar->GetSizeU() / pitchU;
    if (planar->GetPlaneU() != nullptr && rowsU != 0) {
        const double ratio = static_cast<double>(frameHeight) / static_cast<double>(rowsU);
        source.chromaRowBytes = (frameWidth + 1) / 2;
        if (std::fabs(ratio - 1.0) < 0.5) {
            // Full-height chroma is 4:2:2: its pitch cannot tell 4:4:4 from
            // padded rows or one pitch for all planes.
            source.code = KestCv::PF_YUV422P;
            source.chromaRows = frameHeight;
        } else if (std::fabs(ratio - 2.0) < 0.5) {
            source.code = KestCv::PF_YUV420P;
            source.chromaRows = (frameHeight + 1) / 2;
        }
    }

    const int64_t w = roi.width != 0 ? roi.width : static_cast<int64_t>(frameWidth);
    const int64_t h = roi.height != 0 ? roi.height : static_cast<int64_t>(frameHeight);
    if (roi.x < 0 || roi.y < 0 || w <= 0 || h <= 0 ||
        static_cast<uint64_t>(roi.x) + static_cast<uint64_t>(w) > frameWidth ||
        static_cast<uint64_t>(roi.y) + static_cast<uint64_t>(h) > frameHeight)
        throw std::runtime_error(fmt::format("Region of interest {},{} {}x{} does not lie inside the {}x{} frame.",
                                             roi.x, roi.y, w, h, frameWidth, frameHeight));
    const uint64_t rowBytes = static_cast<uint64_t>(w) * static_cast<uint64_t>(bytesPerPixel);
    if (rowBytes > kMaxRowBytes || rowBytes * static_cast<uint64_t>(h) > kMaxPictureBytes)
        throw std::runtime_error(fmt::format("Region of interest {}x{} is too large to convert.", w, h));
    // The host reports only the U plane's size; the other planes are checked
    // by their pitches.
    if (planar->GetPlaneY() == nullptr || !PlaneHolds(planar->GetPitchY(), 0, frameHeight, frameWidth))
        throw std::runtime_error("The frame's luma plane is smaller than its picture.");
    if (source.code != KestCv::PF_GRAY8 &&
        (planar->GetPlaneV() == nullptr ||
         !PlaneHolds(pitchU, planar->GetSizeU(), source.chromaRows, source.chromaRowBytes) ||
         !PlaneHolds(planar->GetPitchV(), 0, source.chromaRows, source.chromaRowBytes)))
        throw std::runtime_error("The frame's chroma planes are smaller than its picture.");

    const bool changed = roi.x != left || roi.y != top || w != width || h != height;
    left = roi.x;
    top = roi.y;
    width = static_cast<int32_t>(w);
    height = static_cast<int32_t>(h);
    return changed;
}

void FrameConverter::ConvertInto(const Source& source, uint8_t* dst)
{
    const auto& planar = *source.planar;
    const uint32_t pitches[3] = {planar.GetPitchY(), planar.GetPitchU(), planar.GetPitchV()};
    // Luma only: the chroma pointers go over as they are.
    const uint8_t* planes[3] = {planar.GetPlaneY() + static_cast<size_t>(top) * pitches[0] + left, planar.GetPlaneU(),
                                planar.GetPlaneV()};
    if (source.code != KestCv::PF_GRAY8) {
        // Each chroma plane is addressed with its own pitch.
        const auto [cx, cy] = ChromaPosition(source.code, PixelRect{left, top, width, height});
        planes[1] = planar.GetPlaneU() + static_cast<size_t>(cy) * pitches[1] + cx;
        planes[2] = planar.GetPlaneV() + static_cast<size_t>(cy) * pitches[2] + cx;
    }
    const auto w = static_cast<uint32_t>(width);
    const auto h = static_cast<uint32_t>(height);
    yuvConverter->Convert(source.code, w, h, pitches, planes, w, h, static_cast<uint32_t>(stride), dst);
}

bool FrameConverter::Convert(const Kest8::IContract* sample, const PixelRect& roi)
{
    return Convert(sample, buffer, roi);
}

bool FrameConverter::Convert(const Kest8::IContract* sample, std::vector<uint8_t>& out, const PixelRect& roi)
{
    Source source;
    const bool changed = Prepare(sample, roi, source);
    const uint64_t rowBytes = static_cast<uint64_t>(width) * static_cast<uint64_t>(bytesPerPixel);
    SizeBuffer(out, rowBytes, static_cast<uint64_t>(height));
    stride = static_cast<int32_t>(rowBytes);
    ConvertInto(source, out.data());
    return changed;
}

bool FrameConverter::Convert(const Kest8::IContract* sample, void* dst, int32_t dstStride, const PixelRect& roi)
{
    Source source;
    const bool changed = Prepare(sample, roi, source);
    if (dst == nullptr || static_cast<int64_t>(dstStride) < static_cast<int64_t>(width) * bytesPerPixel)
        throw std::runtime_error("Destination of the conversion is null or its stride is smaller than a row.");
    stride = dstStride;
    ConvertInto(source, static_cast<uint8_t*>(dst));
    return changed;
}

}  // namespace Kest8::Framework
