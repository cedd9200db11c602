// The detector's metrics as the statistics sink receives them.

#include <gtest/gtest.h>

#include <string>
#include <variant>

#include "DetectorStatistics.h"
#include "RefHost/Statistics.h"

namespace {

using Kest8::Framework::DetectorStatistics;
using QelWrapper::StreamStatistics;

constexpr int64_t kParameter = 16000;

double AsDouble(const RefHost::Submission& s)
{
    return std::get<double>(s.value);
}

uint64_t AsUInt64(const RefHost::Submission& s)
{
    return std::get<uint64_t>(s.value);
}

TEST(DetectorStatistics, CreatesFourLabelledMetricsAndDestroysThemInReverse)
{
    RefHost::StatisticsSink sink;
    {
        DetectorStatistics statistics(&sink, kParameter);
        const auto metrics = sink.Metrics();
        ASSERT_EQ(metrics.size(), 4u);
        const char* names[] = {"pushed_ps", "processed_ps", "tracks", "errors"};
        for (size_t i = 0; i < 4; ++i) {
            EXPECT_EQ(metrics[i]->Name(), names[i]);
            EXPECT_EQ(metrics[i]->Parameter(), kParameter);
            EXPECT_EQ(metrics[i]->Labels(),
                      (std::vector<std::pair<std::string, std::string>>{{"Detector", "QelObjectTracker"}}));
            EXPECT_TRUE(metrics[i]->Values().empty());
        }
        EXPECT_TRUE(sink.Submissions().empty());
    }
    EXPECT_EQ(sink.LiveMetrics(), 0);
    EXPECT_EQ(sink.DestroyedMetrics(), (std::vector<std::string>{"errors", "tracks", "processed_ps", "pushed_ps"}));
}

TEST(DetectorStatistics, PublishesRatesOfThePeriodAndTotalsInOrder)
{
    RefHost::StatisticsSink sink;
    DetectorStatistics statistics(&sink, kParameter);
    statistics.CountNewTrack();
    statistics.CountNewTrack();
    statistics.CountError();

    StreamStatistics first{7, 300, 290};
    statistics.Update(first, 15000);
    // The caller gets the previous snapshot back.
    EXPECT_EQ(first.counter0, 0u);
    EXPECT_EQ(first.pushedFrames, 0u);
    EXPECT_EQ(first.processedFrames, 0u);

    statistics.CountNewTrack();
    StreamStatistics second{9, 600, 560};
    statistics.Update(second, 10000);
    EXPECT_EQ(second.counter0, 7u);
    EXPECT_EQ(second.pushedFrames, 300u);

    const auto submitted = sink.Submissions();
    ASSERT_EQ(submitted.size(), 8u);
    const char* order[] = {"pushed_ps", "processed_ps", "tracks", "errors"};
    for (size_t i = 0; i < submitted.size(); ++i) {
        EXPECT_EQ(submitted[i].metric, order[i % 4]);
        EXPECT_EQ(submitted[i].mode, 1);
    }
    EXPECT_DOUBLE_EQ(AsDouble(submitted[0]), 20.0);
    EXPECT_NEAR(AsDouble(submitted[1]), 19.333, 0.001);
    EXPECT_EQ(AsUInt64(submitted[2]), 2u);
    EXPECT_EQ(AsUInt64(submitted[3]), 1u);
    EXPECT_DOUBLE_EQ(AsDouble(submitted[4]), 30.0);
    EXPECT_DOUBLE_EQ(AsDouble(submitted[5]), 27.0);
    EXPECT_EQ(AsUInt64(submitted[6]), 3u);
    EXPECT_EQ(AsUInt64(submitted[7]), 1u);
}

TEST(DetectorStatistics, CountersOfARebuiltObserverAreCountedFromZero)
{
    RefHost::StatisticsSink sink;
    DetectorStatistics statistics(&sink, kParameter);
    StreamStatistics before{0, 250, 240};
    statistics.Update(before, 15000);
    // The new observer's counters overtake the old ones within the period.
    statistics.RestartStreamCounters();
    StreamStatistics rebuilt{0, 375, 360};
    statistics.Update(rebuilt, 15000);
    EXPECT_EQ(rebuilt.pushedFrames, 0u) << "the caller gets the zeroed snapshot back";
    StreamStatistics later{0, 750, 720};
    statistics.Update(later, 15000);

    const auto submitted = sink.Submissions();
    ASSERT_EQ(submitted.size(), 12u);
    EXPECT_DOUBLE_EQ(AsDouble(submitted[4]), 25.0);
    EXPECT_DOUBLE_EQ(AsDouble(submitted[5]), 24.0);
    EXPECT_DOUBLE_EQ(AsDouble(submitted[8]), 25.0) << "then differences again";
    EXPECT_DOUBLE_EQ(AsDouble(submitted[9]), 24.0);
}

TEST(DetectorStatistics, PeriodWithoutLengthPublishesNothing)
{
    RefHost::StatisticsSink sink;
    DetectorStatistics statistics(&sink, kParameter);
    StreamStatistics snapshot{0, 100, 100};
    statistics.Update(snapshot, 0);
    EXPECT_TRUE(sink.Submissions().empty());
    EXPECT_EQ(snapshot.pushedFrames, 0u);

    StreamStatistics next{0, 400, 300};
    statistics.Update(next, 1000);
    const auto submitted = sink.Submissions();
    ASSERT_EQ(submitted.size(), 4u);
    EXPECT_DOUBLE_EQ(AsDouble(submitted[0]), 300.0);
    EXPECT_DOUBLE_EQ(AsDouble(submitted[1]), 200.0);
}

// Gives no metric for one name.
class PartialSink final : public Kest8::Statistics::ISink {
public:
    const Kest8::IContract* QueryContract(const char*) const override { return nullptr; }
    Kest8::IContract* QueryContract(const char*) override { return nullptr; }
    Kest8::Statistics::IMetric* CreateMetric(const char* name, int64_t parameter) override
    {
        return std::string(name) == "tracks" ? nullptr : inner.CreateMetric(name, parameter);
    }
    void Submit(Kest8::Statistics::IMetric* metric, int32_t mode) override { inner.Submit(metric, mode); }

    RefHost::StatisticsSink inner;
};

TEST(DetectorStatistics, MetricTheSinkDidNotMakeIsSkipped)
{
    PartialSink sink;
    {
        DetectorStatistics statistics(&sink, kParameter);
        StreamStatistics snapshot{0, 10, 10};
        statistics.Update(snapshot, 1000);
    }
    const auto submitted = sink.inner.Submissions();
    ASSERT_EQ(submitted.size(), 3u);
    EXPECT_EQ(submitted[2].metric, "errors");
    EXPECT_EQ(sink.inner.LiveMetrics(), 0);
}

TEST(DetectorStatistics, WithoutSinkOnlyTheCountersCount)
{
    DetectorStatistics statistics(nullptr, kParameter);
    statistics.CountNewTrack();
    statistics.CountNewTrack();
    statistics.CountError();
    StreamStatistics snapshot{1, 2, 3};
    statistics.Update(snapshot, 15000);
    EXPECT_EQ(snapshot.pushedFrames, 2u);
    EXPECT_EQ(statistics.NewTracks(), 2u);
    EXPECT_EQ(statistics.Errors(), 1u);
}

}  // namespace
