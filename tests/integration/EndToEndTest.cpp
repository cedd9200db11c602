// The whole system: the module loaded as a host loads it, the real wrapper
// on our SDK, several detectors fed on their own threads.

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "RefHost/Host.h"
#include "RefHost/ModuleLoader.h"
#include "RefHost/Samples.h"
#include "RefHost/Targets.h"

namespace {

const std::string kModuleDir = QEL_MODULE_DIR;

// Dark person-sized blocks walking across a plain light background.
std::vector<uint8_t> BlobFrame(uint32_t w, uint32_t h, uint32_t frame, uint32_t seed)
{
    std::vector<uint8_t> rgb(static_cast<size_t>(w) * h * 3, 200);
    for (uint32_t b = 0; b < 2; ++b) {
        const int bw = 24, bh = 64;
        const int x0 = static_cast<int>((20 + seed * 17 + b * 140 + frame * (2 + b)) % (w - bw));
        const int y0 = static_cast<int>(40 + b * 100 + seed * 5) % static_cast<int>(h - bh);
        for (int y = y0; y < y0 + bh; ++y)
            for (int x = x0; x < x0 + bw; ++x) {
                uint8_t* p = &rgb[(static_cast<size_t>(y) * w + static_cast<size_t>(x)) * 3];
                p[0] = static_cast<uint8_t>(30 + 40 * b), p[1] = 40, p[2] = static_cast<uint8_t>(90 - 30 * b);
            }
    }
    return rgb;
}

struct Stream {
    RefHost::StatisticsSink statistics;
    RefHost::HostContext context{&statistics};
    Kest8::Analytics::IDetector* detector = nullptr;
    int releasedWrongly = 0;
    int badResults = 0;
};

TEST(EndToEnd, DetectorsOnTheirOwnThreadsReportWholeTrackLives)
{
    RefHost::Host host(1);
    RefHost::LoadedModule module(kModuleDir + "/" + RefHost::kModuleLibraryName);
    // The libraries come from the module directory, the SDK's data from one
    // that chooses the detector of solid blobs.
    ASSERT_EQ(module.Initialize(&host.services, QEL_BLOB_MODULE_DIR), 0);

    constexpr int kStreams = 3;
    constexpr uint32_t kFrames = 60;
    std::vector<std::unique_ptr<Stream>> streams;
    for (int i = 0; i < kStreams; ++i) {
        auto s = std::make_unique<Stream>();
        s->detector = module.Get()->CreateDetector("QelObjectTracker", &s->context);
        ASSERT_NE(s->detector, nullptr);
        auto* adjuster = Kest8::QueryContractAs<Kest8::Analytics::IVisualSyncAdjuster>(s->detector);
        ASSERT_EQ(adjuster->SetValue("TargetLifeEvent", true), 0);
        ASSERT_EQ(adjuster->SetValue("DetectorStep", int32_t{i == 2 ? 3 : 7}), 0);
        streams.push_back(std::move(s));
    }

    // Every detector has built its observer before any is destroyed, so the
    // two with equal settings always meet over one engine.
    std::mutex startedMutex;
    std::condition_variable startedChanged;
    int started = 0;
    std::vector<std::thread> threads;
    for (int i = 0; i < kStreams; ++i) {
        threads.emplace_back([&, i] {
            Stream& s = *streams[static_cast<size_t>(i)];
            auto* receiver = Kest8::QueryContractAs<Kest8::Analytics::IMediaReceiver>(s.detector);
            RefHost::SampleShape shape;
            shape.width = 320;
            shape.height = 240;
            shape.nv12 = i == 1;  // one stream offers both views
            for (uint32_t f = 0; f < kFrames; ++f) {
                shape.timestamp = 1000 + f * 40;
                const auto rgb = BlobFrame(shape.width, shape.height, f, static_cast<uint32_t>(i));
                auto sample = RefHost::FrameSample::FromRgb(shape, rgb.data());
                if (receiver->Receive(sample->Sample()) != 0) ++s.badResults;
                if (sample->Releases() != 1) ++s.releasedWrongly;
                if (f == 0) {
                    std::unique_lock<std::mutex> lock(startedMutex);
                    ++started;
                    startedChanged.notify_all();
                    startedChanged.wait(lock, [&] { return started == kStreams; });
                }
            }
            s.detector->Destroy();
            s.detector = nullptr;
        });
    }
    for (auto& t : threads) t.join();
    module.Finalize();

    for (int i = 0; i < kStreams; ++i) {
        Stream& s = *streams[static_cast<size_t>(i)];
        EXPECT_EQ(s.badResults, 0) << "stream " << i;
        EXPECT_EQ(s.releasedWrongly, 0) << "stream " << i;

        // Every track's first target has phase 1 and its last phase 2.
        std::map<int32_t, std::vector<uint32_t>> phases;
        for (const auto& event : s.context.Events("TargetList")) {
            const auto* list = event.Find("TargetList");
            ASSERT_TRUE(list && list->Targets());
            for (const auto& t : list->Targets()->Targets()) {
                phases[t.Int32("ObjectId").value_or(-1)].push_back(t.phase.value_or(99));
                // Every named value of a target reaches the host.
                EXPECT_EQ(t.Int32("ObjectClassEnum"), 1);
                if (t.phase == 0u) {
                    EXPECT_TRUE(t.Has("TargetLifeTime"));
                }
            }
        }
        EXPECT_GE(phases.size(), 2u) << "stream " << i << " tracked its two blobs";
        for (const auto& [id, seen] : phases) {
            // A track that appears and ends in one result (frames refused
            // under load decide which) is reported once, ended.
            if (seen.size() > 1) {
                EXPECT_EQ(seen.front(), 1u) << "stream " << i << " track " << id;
            }
            EXPECT_EQ(seen.back(), 2u) << "stream " << i << " track " << id;
            EXPECT_EQ(std::count(seen.begin(), seen.end(), 2u), 1) << "stream " << i << " track " << id;
        }

        // Every life-event begin has exactly one end with its identifier.
        std::map<std::string, std::pair<int, int>> lives;
        for (const auto& event : s.context.Events("TargetLifeEvent")) {
            ASSERT_EQ(event.outcome, RefHost::Outcome::Committed);
            auto& [begins, ends] = lives[event.String("EventUuid").value_or("")];
            (event.phase == 1 ? begins : ends)++;
            EXPECT_EQ(event.String("DetectorsGroup"), "Tracker");
            EXPECT_EQ(event.Int32("TrackId"), event.Int32("ObjectId"));
            EXPECT_TRUE(event.Int32("ObjectId").has_value());
            if (event.phase == 2) {
                EXPECT_TRUE(event.Int32("TargetLifeTime").has_value());
            }
        }
        // Every track the host saw appear has its life told.
        size_t announced = 0;
        for (const auto& entry : phases) announced += entry.second.size() > 1 ? 1 : 0;
        EXPECT_GE(lives.size(), announced);
        for (const auto& [uuid, counts] : lives) {
            EXPECT_EQ(counts.first, 1) << uuid;
            EXPECT_EQ(counts.second, 1) << uuid;
        }
        EXPECT_EQ(s.context.OpenEvents(), 0u);
    }

    // The two streams with equal settings shared their engines.
    size_t shared = 0;
    for (const auto& text : host.logger.Texts()) shared += text.rfind("Using shared trackengine", 0) == 0 ? 1 : 0;
    EXPECT_GE(shared, 1u);
}

}  // namespace
