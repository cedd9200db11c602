#pragma once
// Where a stream's frames come from: a video file, or its own pass over the
// built-in scene.

#include <cstdint>
#include <optional>
#include <string>

#include "Options.h"
#include "Scene/Generator.h"
#include "Video.h"

namespace QelTrack {

class FrameSource {
public:
    virtual ~FrameSource() = default;
    virtual bool Next(RgbFrame& frame) = 0;
    virtual std::optional<uint32_t> FrameCount() const = 0;
    virtual double Fps() const = 0;
};

class FileSource final : public FrameSource {
public:
    // Throws InputError when the file cannot be read as a video.
    explicit FileSource(const std::string& path) : m_reader(path) {}
    bool Next(RgbFrame& frame) override { return m_reader.Next(frame); }
    std::optional<uint32_t> FrameCount() const override { return m_reader.FrameCountHint(); }
    double Fps() const override { return m_reader.FramesPerSecond(); }

private:
    VideoReader m_reader;
};

// One stream's pass over a scene that every stream shares.
class SceneSource final : public FrameSource {
public:
    explicit SceneSource(const Scene::Generator& scene) : m_scene(scene) {}
    bool Next(RgbFrame& frame) override;
    std::optional<uint32_t> FrameCount() const override { return m_scene.FrameCount(); }
    double Fps() const override { return m_scene.settings().fps; }

private:
    const Scene::Generator& m_scene;
    uint32_t m_next = 0;
};

// The built-in scene the command line asks for.
Scene::Settings SceneSettings(const Options& options);

}  // namespace QelTrack
