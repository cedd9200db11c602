// The reference host's own guarantees that the other tests rely on.

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "RefHost/Host.h"

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

TEST(RefHostServices, WithheldServicesAreNotOffered)
{
    RefHost::Host host;
    EXPECT_EQ(Kest8::QueryServiceAs<Kest8::ILogger>(&host.services), &host.logger);
    host.services.Withhold(RefHost::Service::Logger);
    EXPECT_EQ(Kest8::QueryServiceAs<Kest8::ILogger>(&host.services), nullptr);
    EXPECT_EQ(host.services.QueryService(nullptr), nullptr);

    EXPECT_EQ(Kest8::QueryContractAs<Kest8::Statistics::ISink>(&host.context), &host.statistics);
    host.context.WithholdSink();
    EXPECT_EQ(Kest8::QueryContractAs<Kest8::Statistics::ISink>(&host.context), nullptr);
}

}  // namespace
