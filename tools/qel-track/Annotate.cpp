#include "Annotate.h"

#include <algorithm>
#include <cmath>

namespace QelTrack {

namespace {

constexpr size_t kMaxPending = 48;
constexpr uint32_t kTiles = 12;
constexpr uint32_t kSheetColumns = 4;
constexpr uint32_t kTileWidth = 320;

// 3 x 5 digit glyphs, one row per 3 bits.
constexpr uint8_t kDigits[10][5] = {{7, 5, 5, 5, 7}, {2, 6, 2, 2, 7}, {7, 1, 7, 4, 7}, {7, 1, 7, 1, 7},
                                    {5, 5, 7, 1, 1}, {7, 4, 7, 1, 7}, {7, 4, 7, 5, 7}, {7, 1, 1, 1, 1},
                                    {7, 5, 7, 5, 7}, {7, 5, 7, 1, 7}};

struct Colour {
    uint8_t r, g, b;
};

Colour ColourOf(int32_t id)
{
    static const Colour palette[] = {{230, 25, 75},  {60, 180, 75},  {255, 225, 25}, {0, 130, 200},  {245, 130, 48},
                                     {145, 30, 180}, {70, 240, 240}, {240, 50, 230}, {210, 245, 60}, {250, 190, 212}};
    return palette[static_cast<uint32_t>(id) % (sizeof(palette) / sizeof(palette[0]))];
}

void Fill(RgbFrame& f, int x0, int y0, int x1, int y1, Colour c)
{
    x0 = std::max(x0, 0);
    y0 = std::max(y0, 0);
    x1 = std::min(x1, static_cast<int>(f.width));
    y1 = std::min(y1, static_cast<int>(f.height));
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x) {
            uint8_t* p = &f.rgb[(static_cast<size_t>(y) * f.width + static_cast<size_t>(x)) * 3];
            p[0] = c.r, p[1] = c.g, p[2] = c.b;
        }
}

void DrawNumber(RgbFrame& f, int x, int y, int32_t value, int scale, Colour c)
{
    const std::string text = std::to_string(value < 0 ? -value : value);
    Fill(f, x - 1, y - 1, x + static_cast<int>(text.size()) * 4 * scale + 1, y + 5 * scale + 1, Colour{0, 0, 0});
    for (size_t i = 0; i < text.size(); ++i) {
        const auto& glyph = kDigits[text[i] - '0'];
        for (int row = 0; row < 5; ++row)
            for (int col = 0; col < 3; ++col)
                if (glyph[row] & (4 >> col)) {
                    const int px = x + static_cast<int>(i) * 4 * scale + col * scale;
                    Fill(f, px, y + row * scale, px + scale, y + (row + 1) * scale, c);
                }
    }
}

}  // namespace

void DrawTargets(RgbFrame& frame, const std::vector<DrawnTarget>& targets)
{
    const int line = std::max(1, static_cast<int>(frame.width / 400));
    const int scale = std::max(2, static_cast<int>(frame.width / 300));
    for (const auto& t : targets) {
        if (t.phase == 2) continue;  // an ended track's last box
        const Colour c = ColourOf(t.objectId);
        const int x0 = static_cast<int>(std::lround(t.x * frame.width));
        const int y0 = static_cast<int>(std::lround(t.y * frame.height));
        const int x1 = static_cast<int>(std::lround((t.x + t.width) * frame.width));
        const int y1 = static_cast<int>(std::lround((t.y + t.height) * frame.height));
        Fill(frame, x0, y0, x1, y0 + line, c);
        Fill(frame, x0, y1 - line, x1, y1, c);
        Fill(frame, x0, y0, x0 + line, y1, c);
        Fill(frame, x1 - line, y0, x1, y1, c);
        DrawNumber(frame, x0 + line + 1, y0 + line + 1, t.objectId, scale, c);
    }
}

Annotator::Annotator(std::string path, double fps, std::optional<uint32_t> expectedFrames)
    : m_path(std::move(path)),
      m_sheet(m_path.size() >= 4 && m_path.compare(m_path.size() - 4, 4, ".png") == 0),
      m_fps(fps),
      m_expected(expectedFrames)
{
}

Annotator::~Annotator() = default;

void Annotator::AddFrame(const RgbFrame& frame)
{
    m_pending.push_back(frame);
    Flush(false);
}

void Annotator::AddReport(uint64_t timestamp, std::vector<DrawnTarget> targets)
{
    m_reports[timestamp] = std::move(targets);
    if (!m_lastReport || timestamp > *m_lastReport) m_lastReport = timestamp;
    Flush(false);
}

void Annotator::Flush(bool all)
{
    // A frame is done once a report at or after its time came, or when too
    // many wait.
    while (!m_pending.empty() && (all || m_pending.size() > kMaxPending ||
                                  (m_lastReport && m_pending.front().timestampMs <= *m_lastReport))) {
        Emit(m_pending.front());
        m_pending.pop_front();
    }
}

void Annotator::Emit(RgbFrame& frame)
{
    const uint32_t index = m_emitted++;
    auto report = m_reports.find(frame.timestampMs);
    if (m_sheet) {
        const uint32_t count = m_expected.value_or(kTiles * 30);
        const uint32_t step = std::max(1u, count / kTiles);
        if (index % step != step / 2 || m_tiles.size() >= kTiles) {
            if (report != m_reports.end()) m_reports.erase(m_reports.begin(), std::next(report));
            return;
        }
    }
    if (report != m_reports.end()) {
        DrawTargets(frame, report->second);
        m_reports.erase(m_reports.begin(), std::next(report));
    }
    if (m_sheet) {
        const uint32_t height = std::max(1u, frame.height * kTileWidth / std::max(1u, frame.width));
        m_tiles.push_back(Scaled(frame, kTileWidth, height));
        return;
    }
    if (!m_video) m_video = std::make_unique<VideoWriter>(m_path, frame.width, frame.height, m_fps);
    m_video->Write(frame);
}

void Annotator::Finish()
{
    if (m_finished) return;
    m_finished = true;
    Flush(true);
    if (m_video) m_video->Finish();
    if (!m_sheet || m_tiles.empty()) return;
    const uint32_t columns = std::min<uint32_t>(kSheetColumns, static_cast<uint32_t>(m_tiles.size()));
    const uint32_t rows = (static_cast<uint32_t>(m_tiles.size()) + columns - 1) / columns;
    const uint32_t tileHeight = m_tiles[0].height;
    RgbFrame sheet;
    sheet.width = columns * kTileWidth;
    sheet.height = rows * tileHeight;
    sheet.rgb.assign(static_cast<size_t>(sheet.width) * sheet.height * 3, 0);
    for (size_t i = 0; i < m_tiles.size(); ++i) {
        const uint32_t ox = static_cast<uint32_t>(i % columns) * kTileWidth;
        const uint32_t oy = static_cast<uint32_t>(i / columns) * tileHeight;
        const RgbFrame& tile = m_tiles[i];
        for (uint32_t y = 0; y < std::min(tile.height, tileHeight); ++y)
            std::copy_n(&tile.rgb[static_cast<size_t>(y) * tile.width * 3], tile.width * 3,
                        &sheet.rgb[(static_cast<size_t>(oy + y) * sheet.width + ox) * 3]);
    }
    WritePng(m_path, sheet);
}

}  // namespace QelTrack
