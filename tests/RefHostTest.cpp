// The reference host's own guarantees that the other tests rely on.

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "RefHost/Host.h"
#include "RefHost/Samples.h"
#include "RefHost/Targets.h"

namespace {

TEST(RefHostLogger, KeepsEveryLineFromConcurrentWriters)
{
    RefHost::Logger logger(0);
    constexpr int kThreads = 4;
    constexpr int kLines = 500;
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([&logger, t] {
            for (int i = 0; i < kLines; ++i) {
                if (i % 2)
                    logger.Log(2, "short");
                else
                    logger.Log(t, "file", i, "function", "full");
                (void)logger.GetLogLevel();
            }
        });
    }
    for (auto& w : writers) w.join();
    const auto lines = logger.Lines();
    ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines));
    size_t full = 0;
    for (const auto& line : lines) full += line.hasLocation ? 1 : 0;
    EXPECT_EQ(full, static_cast<size_t>(kThreads * kLines / 2));
    EXPECT_EQ(logger.LinesWithText("short").size(), static_cast<size_t>(kThreads * kLines / 2));
}

TEST(RefHostRecords, TakeHandsOverWhatCameAndForgetsIt)
{
    RefHost::Host host(0);
    host.logger.Log(1, "one");
    host.logger.Log(2, "two");
    const auto lines = host.logger.Take();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1].text, "two");
    EXPECT_TRUE(host.logger.Take().empty());
    host.logger.Log(1, "three");
    const auto later = host.logger.Take();
    ASSERT_EQ(later.size(), 1u);
    EXPECT_GT(later[0].sequence, lines[1].sequence);

    Kest8::Analytics::IDetectorEvent* ended = host.context.CreateEvent(nullptr, "ended", 5);
    Kest8::Analytics::IDetectorEvent* open = host.context.CreateEvent(nullptr, "open", 6);
    ended->Commit();
    auto events = host.context.TakeEvents();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].name, "ended");
    EXPECT_TRUE(host.context.TakeEvents().empty());
    EXPECT_EQ(host.context.OpenEvents(), 1u) << "an open event stays";
    open->Cancel();
    open->Cancel();
    events = host.context.TakeEvents();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].outcome, RefHost::Outcome::Cancelled);
    EXPECT_EQ(host.context.Violations().size(), 1u) << "misuse is not forgotten with the records";

    Kest8::Statistics::IMetric* metric = host.statistics.CreateMetric("m", 1);
    metric->SetInt32(7);
    host.statistics.Submit(metric, 0);
    const auto submissions = host.statistics.TakeSubmissions();
    ASSERT_EQ(submissions.size(), 1u);
    EXPECT_EQ(std::get<int32_t>(submissions[0].value), 7);
    EXPECT_TRUE(host.statistics.TakeSubmissions().empty());
    metric->Destroy();

    host.targets.CreateTargetEnumeratorAdjuster(9)->Destroy();
    EXPECT_EQ(host.targets.TakeAdjusterRequests(), std::vector<uint64_t>{9});
    EXPECT_TRUE(host.targets.TakeAdjusterRequests().empty());
    EXPECT_TRUE(host.targets.AdjusterRequests().empty());
}

TEST(RefHostServices, AnswerOnlyTheDescribedNamesAndNoteEveryOther)
{
    RefHost::ClearContractViolations();
    RefHost::Host host;
    EXPECT_EQ(Kest8::QueryServiceAs<Kest8::ILogger>(&host.services), &host.logger);
    EXPECT_EQ(Kest8::QueryServiceAs<Kest8::Analytics::ITargetEnumeratorFactory>(&host.services), &host.targets);
    EXPECT_NE(Kest8::QueryServiceAs<Kest8::MFF::IBlobFrameFactory>(&host.services), nullptr);
    host.services.Withhold(RefHost::Service::Logger);
    EXPECT_EQ(Kest8::QueryServiceAs<Kest8::ILogger>(&host.services), nullptr);
    EXPECT_TRUE(RefHost::ContractViolations().empty()) << "withheld is not misuse";

    EXPECT_EQ(Kest8::QueryContractAs<Kest8::Statistics::ISink>(&host.context), &host.statistics);
    host.context.WithholdSink();
    EXPECT_EQ(Kest8::QueryContractAs<Kest8::Statistics::ISink>(&host.context), nullptr);

    // A frame sample answers both buffer names, offered or not.
    RefHost::SampleShape shape;
    shape.width = 4;
    shape.height = 2;
    RefHost::FrameSample sample(shape);
    EXPECT_EQ(Kest8::QueryContractAs<Kest8::MFF::IPlanarBuffer>(sample.Sample()), sample.Planar());
    EXPECT_EQ(Kest8::QueryContractAs<Kest8::MFF::ICompositeBuffer2>(sample.Sample()), nullptr);
    EXPECT_TRUE(RefHost::ContractViolations().empty());

    // Names the host never describes for these objects.
    EXPECT_EQ(host.services.QueryService(nullptr), nullptr);
    EXPECT_EQ(Kest8::QueryContractAs<Kest8::Analytics::IHostContext>(&host.context), nullptr);
    EXPECT_EQ(Kest8::QueryContractAs<Kest8::MFF::IVideoBuffer>(sample.Sample()), nullptr);
    auto* list = host.targets.CreateTargetEnumeratorAdjuster(1);
    Kest8::Analytics::ITargetAdjuster* target = list->AppendTarget();
    EXPECT_EQ(Kest8::QueryContractAs<Kest8::Analytics::ITargetAdjuster>(target), target);
    EXPECT_EQ(Kest8::QueryContractAs<Kest8::IEventArgsAdjuster>(target), nullptr);
    EXPECT_EQ(Kest8::QueryContractAs<Kest8::Analytics::ITargetEnumerator>(list), nullptr);
    list->Destroy();
    const auto violations = RefHost::ContractViolations();
    ASSERT_EQ(violations.size(), 5u);
    EXPECT_EQ(violations[0], "RefHost::ServiceProvider asked for a null name");
    EXPECT_EQ(violations[1], "RefHost::HostContext asked for Kest8::Analytics::IHostContext");
    EXPECT_EQ(violations[2], "RefHost::FrameSample asked for Kest8::MFF::IVideoBuffer");
    EXPECT_EQ(violations[3], "RefHost::Target asked for Kest8::IEventArgsAdjuster");
    EXPECT_EQ(violations[4], "RefHost::TargetList asked for Kest8::Analytics::ITargetEnumerator");
    RefHost::ClearContractViolations();
}

TEST(RefHostLayout, ObjectsAreLaidOutAsModulesReachThem)
{
    RefHost::Host host;
    // The context's event creation is its own: the handed-over contract is it.
    Kest8::IContract* context = static_cast<Kest8::Analytics::IHostContext*>(&host.context);
    EXPECT_EQ(Kest8::Analytics::HostContextOf(context), static_cast<Kest8::Analytics::IHostContext*>(&host.context));

    // A target's named values are the very next interface of the object.
    auto* list = host.targets.CreateTargetEnumeratorAdjuster(1);
    Kest8::Analytics::ITargetAdjuster* target = list->AppendTarget();
    auto* hostTarget = static_cast<RefHost::Target*>(target);
    EXPECT_EQ(Kest8::Analytics::TargetEventArgs(target), static_cast<Kest8::IEventArgsAdjuster*>(hostTarget));
    EXPECT_EQ(Kest8::Analytics::TargetEventArgs(nullptr), nullptr);
    EXPECT_EQ(Kest8::Analytics::TargetEventArgs(target)->SetValue("ObjectId", int32_t{3}), 0);
    EXPECT_EQ(hostTarget->Record().Int32("ObjectId"), 3);
    list->Destroy();
}

}  // namespace
