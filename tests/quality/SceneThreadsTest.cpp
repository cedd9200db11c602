// Frames of one scene rendered on several threads at once come out as they
// do on one.

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "Scene/Generator.h"

namespace {

TEST(SceneThreadsTest, ConcurrentRenderingMatchesSequential)
{
    Scene::Settings settings;
    settings.width = 320;
    settings.height = 180;
    settings.frames = 48;
    settings.seed = 21;
    const Scene::Generator scene(settings);
    std::vector<std::vector<uint8_t>> alone(settings.frames), together(settings.frames);
    for (uint32_t f = 0; f < settings.frames; ++f) scene.Render(f, alone[f]);

    constexpr uint32_t kThreads = 4;
    std::vector<std::thread> threads;
    for (uint32_t t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (uint32_t f = t; f < settings.frames; f += kThreads) {
                scene.Render(f, together[f]);
                (void)scene.TruthAt(f);
            }
        });
    for (std::thread& t : threads) t.join();
    for (uint32_t f = 0; f < settings.frames; ++f) EXPECT_EQ(together[f], alone[f]) << "frame " << f;
}

}  // namespace
