// Writes chosen frames of a generated scene as binary PPM pictures, and the
// truth of every frame as CSV, so that a person can look at the scene.

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "Scene/Generator.h"

namespace {

constexpr const char* kUsage =
    "usage: qel-scene-dump --out DIR [--width N] [--height N] [--frames N] [--figures N]\n"
    "                      [--fps X] [--seed N] [--noise X] [--at F,F,...] [--boxes]\n"
    "  writes DIR/frame-NNNNN.ppm for the frames given by --at (default: five spread\n"
    "  over the scene) and DIR/truth.csv for every frame; --boxes outlines the truth\n"
    "  (green mostly visible, yellow mostly hidden).\n";

struct Usage {
    std::string message;
};

uint64_t ParseCount(const std::string& name, const char* text, uint64_t max)
{
    errno = 0;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || text[0] == '-' || v > max)
        throw Usage{name + " wants a whole number up to " + std::to_string(max) + ", not \"" + text + "\""};
    return v;
}

double ParseNumber(const std::string& name, const char* text)
{
    errno = 0;
    char* end = nullptr;
    const double v = std::strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0') throw Usage{name + " wants a number, not \"" + text + "\""};
    return v;
}

std::vector<uint32_t> ParseFrames(const char* text)
{
    std::vector<uint32_t> frames;
    std::stringstream list(text);
    for (std::string item; std::getline(list, item, ',');)
        frames.push_back(static_cast<uint32_t>(ParseCount("--at", item.c_str(), 0xffffffffu)));
    if (frames.empty()) throw Usage{"--at wants a list of frame numbers"};
    return frames;
}

void Outline(std::vector<uint8_t>& rgb, uint32_t width, uint32_t height, const Scene::Box& box, const uint8_t colour[3])
{
    const auto x0 = static_cast<uint32_t>(box.x), y0 = static_cast<uint32_t>(box.y);
    const auto x1 = std::min(width - 1, static_cast<uint32_t>(box.x + box.width));
    const auto y1 = std::min(height - 1, static_cast<uint32_t>(box.y + box.height));
    const auto put = [&](uint32_t x, uint32_t y) {
        std::memcpy(&rgb[(static_cast<size_t>(y) * width + x) * 3], colour, 3);
    };
    for (uint32_t x = x0; x <= x1; ++x) put(x, y0), put(x, y1);
    for (uint32_t y = y0; y <= y1; ++y) put(x0, y), put(x1, y);
}

void WritePpm(const std::filesystem::path& path, const std::vector<uint8_t>& rgb, uint32_t width, uint32_t height)
{
    std::ofstream out(path, std::ios::binary);
    out << "P6\n" << width << ' ' << height << "\n255\n";
    out.write(reinterpret_cast<const char*>(rgb.data()), static_cast<std::streamsize>(rgb.size()));
    if (!out.flush()) throw std::runtime_error("cannot write " + path.string());
}

}  // namespace

int main(int argc, char** argv)
{
    Scene::Settings settings;
    std::filesystem::path dir;
    std::vector<uint32_t> at;
    bool boxes = false;
    try {
        for (int i = 1; i < argc; ++i) {
            const std::string arg = argv[i];
            if (arg == "--boxes") {
                boxes = true;
                continue;
            }
            if (arg == "--help" || arg == "-h") {
                std::cout << kUsage;
                return 0;
            }
            if (i + 1 >= argc) throw Usage{"unknown option or missing value: " + arg};
            const char* value = argv[++i];
            const uint64_t u32 = std::numeric_limits<uint32_t>::max();
            if (arg == "--out")
                dir = value;
            else if (arg == "--width")
                settings.width = static_cast<uint32_t>(ParseCount(arg, value, u32));
            else if (arg == "--height")
                settings.height = static_cast<uint32_t>(ParseCount(arg, value, u32));
            else if (arg == "--frames")
                settings.frames = static_cast<uint32_t>(ParseCount(arg, value, u32));
            else if (arg == "--figures")
                settings.figures = static_cast<uint32_t>(ParseCount(arg, value, u32));
            else if (arg == "--seed")
                settings.seed = ParseCount(arg, value, std::numeric_limits<uint64_t>::max());
            else if (arg == "--fps")
                settings.fps = ParseNumber(arg, value);
            else if (arg == "--noise")
                settings.noise = ParseNumber(arg, value);
            else if (arg == "--at")
                at = ParseFrames(value);
            else
                throw Usage{"unknown option: " + arg};
        }
        if (dir.empty()) throw Usage{"--out is required"};
    } catch (const Usage& e) {
        std::cerr << "qel-scene-dump: " << e.message << "\n" << kUsage;
        return 2;
    }

    try {
        const Scene::Generator scene(settings);
        if (at.empty())
            for (uint32_t k = 0; k < 5; ++k)
                at.push_back(static_cast<uint32_t>(uint64_t{k} * (scene.FrameCount() - 1) / 4));
        for (uint32_t f : at)
            if (f >= scene.FrameCount())
                throw std::runtime_error("frame " + std::to_string(f) + " is past the end of the scene");
        std::filesystem::create_directories(dir);

        std::ofstream csv(dir / "truth.csv");
        csv << "frame,id,x,y,width,height,visibility,in_frame\n";
        for (uint32_t f = 0; f < scene.FrameCount(); ++f)
            for (const Scene::Truth& t : scene.TruthAt(f))
                csv << f << ',' << t.id << ',' << t.box.x << ',' << t.box.y << ',' << t.box.width << ',' << t.box.height
                    << ',' << t.visibility << ',' << t.inFrame << '\n';
        if (!csv.flush()) throw std::runtime_error("cannot write " + (dir / "truth.csv").string());

        std::vector<uint8_t> rgb;
        for (uint32_t f : at) {
            scene.Render(f, rgb);
            if (boxes)
                for (const Scene::Truth& t : scene.TruthAt(f)) {
                    static constexpr uint8_t kSeen[3] = {0, 255, 0}, kHidden[3] = {255, 255, 0};
                    Outline(rgb, settings.width, settings.height, t.box, t.visibility >= 0.5 ? kSeen : kHidden);
                }
            char name[32];
            std::snprintf(name, sizeof(name), "frame-%05u.ppm", f);
            WritePpm(dir / name, rgb, settings.width, settings.height);
            std::cout << (dir / name).string() << ": " << scene.TruthAt(f).size() << " figures\n";
        }
    } catch (const std::exception& e) {
        std::cerr << "qel-scene-dump: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
