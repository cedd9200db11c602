// Allocations per frame on the whole way of a host-memory frame: the host's
// Receive into the plug-in, the wrapper's conversion and push, our SDK's
// tracking and result delivery, the wrapper's result queue and the
// plug-in's report back to the host. Every allocation is charged to the
// innermost library of ours on its call stack (standard and C libraries are
// looked through), so the figures split by library.
//
// Frames come at a camera's pace, so the SDK keeps up and none is refused.

#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <execinfo.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "Kest8/Analytics.h"
#include "RefHost/Contract.h"
#include "RefHost/Host.h"
#include "RefHost/ModuleLoader.h"
#include "RefHost/Samples.h"
#include "Scene/Generator.h"

#include "AllocationCounter.h"

namespace {

enum Site { kPlugin, kWrapper, kSdk, kHost, kSites };

// Of the SDK's: those made inside OpenCV, wherever the stack is.
std::atomic<long> chargedOpenCv{0};

std::array<std::atomic<long>, kSites> charged{};

bool Contains(const char* path, const char* part)
{
    return path != nullptr && std::strstr(path, part) != nullptr;
}

void Charge(std::size_t)
{
    void* frames[48];
    const int depth = backtrace(frames, 48);
    bool counter = true;  // the innermost frames are the counter's, in this program
    for (int i = 0; i < depth; ++i) {
        Dl_info info;
        if (dladdr(frames[i], &info) == 0 || info.dli_fname == nullptr) continue;
        const char* name = info.dli_fname;
        const bool own = Contains(name, "pipeline_bench");
        if (counter && own) continue;
        counter = false;
        Site site = kSites;
        if (Contains(name, "libQelObjectTracker"))
            site = kPlugin;
        else if (Contains(name, "libQelWrapperGpu") || Contains(name, "libCvUtils"))
            site = kWrapper;
        else if (Contains(name, "libTrackEngineSDK") || Contains(name, "libFaceEngineSDK") ||
                 Contains(name, "libopencv_"))
            site = kSdk;
        else if (Contains(name, "pipeline_bench") || Contains(name, "libKestRefHost"))
            site = kHost;
        if (site == kSites) continue;  // a standard or C library: look further out
        charged[site].fetch_add(1, std::memory_order_relaxed);
        if (site == kSdk) {
            Dl_info further;
            for (int k = i; k < depth; ++k) {
                if (dladdr(frames[k], &further) != 0 && Contains(further.dli_fname, "libopencv_")) {
                    chargedOpenCv.fetch_add(1, std::memory_order_relaxed);
                    break;
                }
            }
        }
        if (std::getenv("QEL_BENCH_SITES") != nullptr && site != kHost) {
            // The allocating frame and the first one of ours outside OpenCV.
            Dl_info caller = info;
            int j = i;
            while (j + 1 < depth && Contains(caller.dli_fname, "opencv") && dladdr(frames[j + 1], &caller) != 0) ++j;
            // One frame further out too, for allocations in out-of-line helpers.
            Dl_info outer{};
            const bool hasOuter = j + 1 < depth && dladdr(frames[j + 1], &outer) != 0;
            std::fprintf(stderr, "outer %s+0x%lx\n", hasOuter ? outer.dli_fname : "-",
                         hasOuter ? static_cast<unsigned long>(static_cast<const char*>(frames[j + 1]) -
                                                               static_cast<const char*>(outer.dli_fbase))
                                  : 0ul);
            std::fprintf(stderr, "site %s+0x%lx from %s+0x%lx\n", name,
                         static_cast<unsigned long>(static_cast<const char*>(frames[i]) -
                                                    static_cast<const char*>(info.dli_fbase)),
                         caller.dli_fname,
                         static_cast<unsigned long>(static_cast<const char*>(frames[j]) -
                                                    static_cast<const char*>(caller.dli_fbase)));
        }
        return;
    }
    charged[kHost].fetch_add(1, std::memory_order_relaxed);  // this program's own
}

// Frames of the default scene as the host delivers them.
std::vector<std::unique_ptr<RefHost::FrameSample>> Samples(uint32_t count)
{
    Scene::Settings settings;
    settings.frames = count;
    const Scene::Generator scene(settings);
    RefHost::SampleShape shape;
    shape.width = settings.width;
    shape.height = settings.height;
    std::vector<std::unique_ptr<RefHost::FrameSample>> samples;
    std::vector<uint8_t> rgb;
    for (uint32_t f = 0; f < scene.FrameCount(); ++f) {
        scene.Render(f, rgb);
        shape.timestamp = scene.TimestampMs(f);
        samples.push_back(RefHost::FrameSample::FromRgb(shape, rgb.data()));
    }
    return samples;
}

void BM_ReceiveAllocations(benchmark::State& state)
{
    constexpr uint32_t kWarmUp = 60;
    const auto samples = Samples(kWarmUp + 400);
    RefHost::Host host(1);
    RefHost::LoadedModule module(std::string(QEL_MODULE_DIR) + "/" + RefHost::kModuleLibraryName);
    if (module.Initialize(&host.services, QEL_MODULE_DIR) != 0) {
        state.SkipWithError("the module did not initialise");
        return;
    }
    Kest8::Analytics::IDetector* detector = module.Get()->CreateDetector("QelObjectTracker", &host.context);
    auto* receiver = Kest8::QueryContractAs<Kest8::Analytics::IMediaReceiver>(detector);
    auto* adjuster = Kest8::QueryContractAs<Kest8::Analytics::IVisualSyncAdjuster>(detector);
    adjuster->SetValue("TargetLifeEvent", state.range(0) != 0);

    const auto period = std::chrono::milliseconds(15);
    auto next = std::chrono::steady_clock::now();
    size_t frame = 0;
    for (; frame < kWarmUp; ++frame) {
        receiver->Receive(samples[frame]->Sample());
        std::this_thread::sleep_until(next += period);
    }
    for (auto& site : charged) site.store(0);
    chargedOpenCv.store(0);
    const long before = AllocationCount();
    SetAllocationHook(Charge);
    long frames = 0;
    for (auto _ : state) {
        receiver->Receive(samples[frame]->Sample());
        frame = frame + 1 < samples.size() ? frame + 1 : kWarmUp;
        ++frames;
        state.PauseTiming();
        std::this_thread::sleep_until(next += period);
        state.ResumeTiming();
    }
    SetAllocationHook(nullptr);
    const long total = AllocationCount() - before;
    const auto perFrame = [&](long count) {
        return benchmark::Counter(static_cast<double>(count) / static_cast<double>(frames));
    };
    state.counters["plugin"] = perFrame(charged[kPlugin].load());
    state.counters["wrapper"] = perFrame(charged[kWrapper].load());
    state.counters["plugin+wrapper"] = perFrame(charged[kPlugin].load() + charged[kWrapper].load());
    state.counters["sdk"] = perFrame(charged[kSdk].load());
    state.counters["sdk_in_opencv"] = perFrame(chargedOpenCv.load());
    state.counters["host"] = perFrame(charged[kHost].load());
    state.counters["all"] = perFrame(total);
    state.counters["refused"] =
        benchmark::Counter(static_cast<double>(host.logger.LinesWithText("failed pushing the frame to stream").size()));
    detector->Destroy();
    module.Finalize();
}
BENCHMARK(BM_ReceiveAllocations)
    ->Arg(0)
    ->Arg(1)
    ->ArgName("life_events")
    ->Iterations(400)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
