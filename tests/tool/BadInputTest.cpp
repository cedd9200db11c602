// qel-track on inputs made to break it: tiny, odd-sized, truncated,
// corrupted and huge-header videos, made here. Each must end with an exit
// status of the tool's own and no sanitizer report.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "ToolRun.h"

namespace {

using ToolRun::Outcome;
using ToolRun::RunTool;

std::string TempDir()
{
    const std::string dir = ::testing::TempDir() + "qel-track-bad-input-" + std::to_string(getpid()) + "/";
    std::filesystem::create_directories(dir);
    return dir;
}

// A YUV4MPEG2 stream of `frames` grey ramps; `chroma` as the format names it.
std::string Y4m(const std::string& header, uint32_t width, uint32_t height, const std::string& chroma, int frames)
{
    const uint32_t cw = (width + 1) / 2, ch = (height + 1) / 2;
    size_t bytes = static_cast<size_t>(width) * height;
    if (chroma == "444") bytes += 2 * static_cast<size_t>(width) * height;
    if (chroma == "422") bytes += 2 * static_cast<size_t>(cw) * height;
    if (chroma == "420jpeg") bytes += 2 * static_cast<size_t>(cw) * ch;
    std::string out = header.empty() ? "YUV4MPEG2 W" + std::to_string(width) + " H" + std::to_string(height) +
                                           " F25:1 Ip A1:1 C" + chroma + "\n"
                                     : header;
    for (int f = 0; f < frames; ++f) {
        out += "FRAME\n";
        for (size_t i = 0; i < bytes; ++i) out += static_cast<char>((i * 7 + static_cast<size_t>(f) * 31) & 0xff);
    }
    return out;
}

void Write(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string Read(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct Case {
    std::string name;
    std::string bytes;
    std::string extension;
};

void ExpectHandled(const Case& c, const std::string& arguments)
{
    const std::string path = TempDir() + c.name + c.extension;
    Write(path, c.bytes);
    const Outcome o = RunTool("'" + path + "' " + arguments);
    SCOPED_TRACE(c.name + " " + arguments);
    EXPECT_NE(o.status, -1) << "killed by a signal: " << o.errors;
    EXPECT_TRUE(o.status == 0 || o.status == 3 || o.status == 5) << "status " << o.status << ": " << o.errors;
    EXPECT_EQ(o.errors.find("Sanitizer"), std::string::npos) << o.errors;
    EXPECT_EQ(o.errors.find("runtime error"), std::string::npos) << o.errors;
    EXPECT_EQ(o.errors.find("contract violation"), std::string::npos) << o.errors;
    if (o.status == 0 || o.status == 5) {
        ASSERT_FALSE(o.records.empty());
        EXPECT_EQ(o.records.back()["type"], "summary");
        EXPECT_GE(o.records.back()["frames"].get<int>(), 1);
    }
    if (o.status != 0) {
        EXPECT_NE(o.errors.find("qel-track: "), std::string::npos) << "no reason given";
    }
    std::filesystem::remove(path);
}

TEST(QelTrackBadInput, OddSizedAndTinyPicturesInEveryFormat)
{
    // Widths under 16 and of 14 modulo 16 make the scaler write past a row.
    const struct {
        uint32_t width, height;
        const char* chroma;
    } sizes[] = {{1, 1, "420jpeg"},   {2, 2, "420jpeg"}, {3, 5, "444"},  {13, 7, "420jpeg"}, {14, 9, "422"},
                 {30, 17, "420jpeg"}, {46, 3, "mono"},   {15, 1, "444"}, {1, 15, "420jpeg"}, {702, 4, "420jpeg"}};
    const char* formats[] = {"yuv420", "yuv422", "gray", "nv12"};
    int i = 0;
    for (const auto& s : sizes) {
        const Case c{"size-" + std::to_string(s.width) + "x" + std::to_string(s.height),
                     Y4m("", s.width, s.height, s.chroma, 3), ".y4m"};
        ExpectHandled(c, std::string("--input-format ") + formats[i++ % 4]);
    }
}

TEST(QelTrackBadInput, BrokenHeadersAndTruncatedStreams)
{
    // A header announcing far more picture than the file holds reads no frame.
    const Case huge{"huge-header", Y4m("YUV4MPEG2 W30000 H30000 F25:1 Ip C420jpeg\n", 4, 4, "420jpeg", 1), ".y4m"};
    const std::string hugePath = TempDir() + "huge.y4m";
    Write(hugePath, huge.bytes);
    const Outcome o = RunTool("'" + hugePath + "'");
    EXPECT_EQ(o.status, 3) << o.errors;
    std::filesystem::remove(hugePath);

    const std::string frames = Y4m("", 64, 48, "420jpeg", 3);
    const std::vector<Case> cases{
        huge,
        {"header-only", "YUV4MPEG2 W64 H48 F25:1 Ip C420jpeg\n", ".y4m"},
        {"zero-size", "YUV4MPEG2 W0 H0 F25:1 C420jpeg\nFRAME\n", ".y4m"},
        {"garbage-header", "YUV4MPEG2 Wabc H-4 Fx\nFRAME\n\x01\x02", ".y4m"},
        {"truncated-frame", frames.substr(0, frames.size() - 1000), ".y4m"},
        {"empty", "", ".mp4"},
        {"noise", std::string(4096, '\x5a'), ".mp4"},
    };
    for (const auto& c : cases) ExpectHandled(c, "");
}

TEST(QelTrackBadInput, DamagedCompressedVideo)
{
    // A real clip, made by the tool itself from its scene at a broadcast width.
    const std::string clip = TempDir() + "clip.mp4";
    const Outcome made = RunTool("--frames 12 --scene-size 702x396 --annotate '" + clip + "'");
    if (made.status != 0) GTEST_SKIP() << "no video encoder: " << made.errors;
    const std::string bytes = Read(clip);
    ASSERT_GT(bytes.size(), 1000u);

    std::vector<Case> cases{{"whole", bytes, ".mp4"}};
    for (const size_t percent : {3, 30, 60, 95})
        cases.push_back(
            {"truncated-" + std::to_string(percent), bytes.substr(0, bytes.size() * percent / 100), ".mp4"});
    std::string flipped = bytes;
    for (size_t i = 64; i < flipped.size(); i += 37) flipped[i] = static_cast<char>(flipped[i] ^ 0x55);
    cases.push_back({"bits-flipped", flipped, ".mp4"});
    std::string zeroed = bytes;
    std::fill(zeroed.begin() + static_cast<std::ptrdiff_t>(zeroed.size() / 2), zeroed.end(), '\0');
    cases.push_back({"half-zeroed", zeroed, ".mp4"});
    for (const auto& c : cases) ExpectHandled(c, "--frames 12");
    std::filesystem::remove_all(TempDir());
}

}  // namespace
