#include "Options.h"

#include <boost/program_options.hpp>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <set>
#include <string>

namespace po = boost::program_options;

namespace QelTrack {

namespace {

// A whole decimal number within [low, high].
std::optional<uint64_t> ParseCount(const std::string& text, uint64_t low, uint64_t high)
{
    if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    const uint64_t v = std::stoull(text);
    if (v < low || v > high) return std::nullopt;
    return v;
}

}  // namespace

std::optional<int> ParseCommandLine(int argc, char** argv, Options& options)
{
    std::string frames, streams, sceneSize;
    po::options_description named("Options");
    named.add_options()("help,h", "show this help")("param",
                                                    po::value<std::vector<std::string>>(&options.params)->composing(),
                                                    "detector parameter NAME=VALUE, repeatable")(
        "input-format", po::value<std::string>(&options.inputFormat)->default_value("yuv420"),
        "yuv420|yuv422|gray (planar, host memory) or nv12 (device memory)")(
        "streams", po::value<std::string>(&streams), "detectors fed at once, each from its own thread (1 to 64)")(
        "realtime", po::bool_switch(&options.realtime),
        "pace frames at the stream's own rate, refused frames are lost")(
        "truth", po::value<std::string>(&options.truth), "score against MOT-challenge ground truth in FILE")(
        "annotate", po::value<std::string>(&options.annotate),
        "also write annotated frames: a video, or a .png contact sheet")(
        "output", po::value<std::string>(&options.output), "output file (default: standard output)")(
        "frames", po::value<std::string>(&frames), "frames per stream: at most N of a video, N of the scene")(
        "log-level", po::value<int32_t>(&options.logLevel)->default_value(1), "host logger level")(
        "module", po::value<std::string>(&options.moduleDir), "module directory")(
        "seed", po::value<uint64_t>(&options.seed)->default_value(1), "seed of the built-in scene")(
        "scene-size", po::value<std::string>(&sceneSize), "WIDTHxHEIGHT of the built-in scene (640x360)")(
        "scene-fps", po::value<double>(&options.sceneFps)->default_value(10), "frame rate of the built-in scene");
    po::options_description hidden;
    hidden.add_options()("video", po::value<std::vector<std::string>>(&options.videos));
    po::options_description all;
    all.add(named).add(hidden);
    po::positional_options_description positional;
    positional.add("video", -1);

    po::variables_map vm;
    try {
        po::store(po::command_line_parser(argc, argv).options(all).positional(positional).run(), vm);
        po::notify(vm);
        if (vm.count("help")) {
            std::cout << "usage: qel-track [VIDEO...] [options]\n" << named;
            return kOk;
        }
        static const std::set<std::string> formats{"yuv420", "yuv422", "gray", "nv12"};
        if (!formats.count(options.inputFormat))
            throw UsageError("--input-format takes yuv420, yuv422, gray or nv12, not '" + options.inputFormat + "'");
        const uint64_t maxFrames = options.videos.empty() ? kMaxSceneFrames : INT32_MAX;
        if (vm.count("frames")) {
            const auto n = ParseCount(frames, 1, maxFrames);
            if (!n)
                throw UsageError("--frames takes 1 to " + std::to_string(maxFrames) +
                                 (options.videos.empty() ? " on the built-in scene" : "") + ", not '" + frames + "'");
            options.frames = static_cast<uint32_t>(*n);
        }
        if (vm.count("streams")) {
            const auto n = ParseCount(streams, 1, kMaxStreams);
            if (!n) throw UsageError("--streams takes 1 to " + std::to_string(kMaxStreams) + ", not '" + streams + "'");
            options.streams = static_cast<uint32_t>(*n);
        }
        options.streams = std::max<uint32_t>(options.streams, static_cast<uint32_t>(options.videos.size()));
        if (options.streams > kMaxStreams) throw UsageError("at most " + std::to_string(kMaxStreams) + " inputs");
        if (!options.truth.empty() && std::set<std::string>(options.videos.begin(), options.videos.end()).size() > 1)
            throw UsageError("--truth scores one input, not several different ones");
        if (!options.videos.empty() &&
            (vm.count("scene-size") || !vm["scene-fps"].defaulted() || !vm["seed"].defaulted()))
            throw UsageError("--scene-size, --scene-fps and --seed are for the built-in scene, not a video");
        if (vm.count("scene-size")) {
            unsigned w = 0, h = 0;
            char x = 0, rest = 0;
            if (std::sscanf(sceneSize.c_str(), "%u%c%u%c", &w, &x, &h, &rest) != 3 || x != 'x' || w < 16 || h < 16 ||
                w > 8192 || h > 8192)
                throw UsageError("--scene-size takes WIDTHxHEIGHT from 16x16 to 8192x8192, not '" + sceneSize + "'");
            options.sceneWidth = w;
            options.sceneHeight = h;
        }
        if (!(options.sceneFps >= 1 && options.sceneFps <= 240)) throw UsageError("--scene-fps takes 1 to 240");
        for (const auto& param : options.params)
            if (param.find('=') == std::string::npos || param.front() == '=')
                throw UsageError("--param takes NAME=VALUE, not '" + param + "'");
    } catch (const std::exception& e) {
        std::cerr << "qel-track: " << e.what() << "\nusage: qel-track [VIDEO...] [options]\n";
        return kUsage;
    }
    return std::nullopt;
}

}  // namespace QelTrack
