#include "Sources.h"

#include <algorithm>

namespace QelTrack {

namespace {

constexpr uint32_t kSceneFrames = 600;
// The built-in scene brings in a new person every this many frames.
constexpr uint32_t kFramesPerFigure = 100;

}  // namespace

bool SceneSource::Next(RgbFrame& frame)
{
    if (m_next >= m_scene.FrameCount()) return false;
    frame.width = m_scene.settings().width;
    frame.height = m_scene.settings().height;
    frame.timestampMs = m_scene.TimestampMs(m_next);
    m_scene.Render(m_next++, frame.rgb);
    return true;
}

Scene::Settings SceneSettings(const Options& options)
{
    Scene::Settings settings;
    settings.seed = options.seed;
    settings.width = options.sceneWidth;
    settings.height = options.sceneHeight;
    settings.fps = options.sceneFps;
    settings.frames = options.frames.value_or(kSceneFrames);
    settings.figures = std::clamp<uint32_t>((settings.frames + kFramesPerFigure / 2) / kFramesPerFigure, 1, 1000);
    return settings;
}

}  // namespace QelTrack
