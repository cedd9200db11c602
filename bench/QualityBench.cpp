// Costs of the quality tools: rendering a frame, laying a scene out,
// association-sized assignments and scoring a frame.

#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "Assignment/Hungarian.h"
#include "Scene/Generator.h"
#include "Scores/Evaluator.h"

namespace {

void BM_RenderFrame(benchmark::State& state)
{
    Scene::Settings settings;
    settings.width = static_cast<uint32_t>(state.range(0));
    settings.height = static_cast<uint32_t>(state.range(1));
    const Scene::Generator scene(settings);
    std::vector<uint8_t> rgb;
    uint32_t frame = 0;
    for (auto _ : state) {
        scene.Render(frame, rgb);
        benchmark::DoNotOptimize(rgb.data());
        frame = (frame + 1) % scene.FrameCount();
    }
}
BENCHMARK(BM_RenderFrame)->Args({640, 360})->Args({1920, 1080})->Unit(benchmark::kMillisecond);

void BM_LayOutScene(benchmark::State& state)
{
    Scene::Settings settings;
    settings.frames = static_cast<uint32_t>(state.range(0));
    for (auto _ : state) {
        const Scene::Generator scene(settings);
        benchmark::DoNotOptimize(&scene.TruthAt(0));
    }
}
BENCHMARK(BM_LayOutScene)->Arg(600)->Unit(benchmark::kMillisecond);

void BM_MinCost(benchmark::State& state)
{
    const auto n = static_cast<size_t>(state.range(0));
    std::mt19937_64 engine(3);
    std::vector<double> cost(n * n);
    for (double& c : cost) c = (engine() % 1000) < 700 ? Assignment::kForbidden : (engine() % 1000) / 1000.0;
    Assignment::Solver solver;
    std::vector<int> out;
    for (auto _ : state) {
        solver.MinCost(cost.data(), n, n, out);
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(BM_MinCost)->Arg(10)->Arg(50)->Arg(200)->Unit(benchmark::kMicrosecond);

void BM_ScoreFrame(benchmark::State& state)
{
    const int n = static_cast<int>(state.range(0));
    std::vector<Scores::Object> truth, hypotheses;
    for (int i = 0; i < n; ++i) {
        truth.push_back({i, {i * 30.0, 10, 25, 70}});
        hypotheses.push_back({i + 100, {i * 30.0 + 2, 12, 25, 70}});
    }
    Scores::Evaluator evaluator;
    for (auto _ : state) benchmark::DoNotOptimize(evaluator.AddFrame(truth, hypotheses));
}
BENCHMARK(BM_ScoreFrame)->Arg(10)->Arg(50)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
