// qel-track with several streams: one detector per stream, each fed from its
// own thread, sharing the module, its logger and the SDK's engines.

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

#include "ToolRun.h"

namespace {

using ToolRun::json;
using ToolRun::Outcome;
using ToolRun::RunTool;

// Live boxes of one stream by time stamp, and its distinct ObjectIds. Track
// ids are unique over the SDK engine that all streams share, so streams
// tracking the same scene differ in their ids only.
std::pair<std::set<std::string>, std::set<int>> StreamTracks(const Outcome& o, int stream, uint64_t lastTimestamp)
{
    std::set<std::string> boxes;
    std::set<int> ids;
    for (const auto& r : o.records) {
        if (r["type"] != "targets" || r["stream"] != stream || r["timestamp"].get<uint64_t>() >= lastTimestamp)
            continue;
        for (const auto& t : r["targets"]) {
            if (t["phase"] == 2) continue;
            boxes.insert(std::to_string(r["timestamp"].get<uint64_t>()) + ":" + t["box"].dump());
            ids.insert(t["values"]["ObjectId"].get<int>());
        }
    }
    return {boxes, ids};
}

TEST(QelTrackStreams, RunSideBySideEachOnItsOwn)
{
    const Outcome o = RunTool("--streams 3 --frames 120 --param TargetLifeEvent=true");
    ASSERT_EQ(o.status, 0) << o.errors;
    std::vector<json> summaries;
    for (const auto& r : o.records) {
        if (r["type"] == "summary") {
            summaries.push_back(r);
        } else if (r["type"] != "log") {
            ASSERT_TRUE(r.contains("stream")) << r.dump();
            EXPECT_GE(r["stream"].get<int>(), 0);
            EXPECT_LT(r["stream"].get<int>(), 3);
        }
    }
    ASSERT_EQ(summaries.size(), 4u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(summaries[i]["stream"], i);
        EXPECT_EQ(summaries[i]["frames"], 120);
        EXPECT_EQ(summaries[i]["lost"], 0);
        EXPECT_GT(summaries[i]["fps"].get<double>(), 0);
    }
    const json& total = summaries.back();
    EXPECT_FALSE(total.contains("stream"));
    EXPECT_EQ(total["streams"], 3);
    EXPECT_EQ(total["frames"], 360);
    EXPECT_EQ(total["pushed"], 360);
    EXPECT_EQ(total["latencyMs"]["reports"], 360);
    EXPECT_EQ(total["targetLists"].get<int>(), summaries[0]["targetLists"].get<int>() +
                                                   summaries[1]["targetLists"].get<int>() +
                                                   summaries[2]["targetLists"].get<int>());

    // Each stream plays its own copy of the scene: the same tracks in each.
    const uint64_t last = 119 * 100;
    const auto [boxes, ids] = StreamTracks(o, 0, last);
    EXPECT_FALSE(boxes.empty());
    std::set<int> allIds = ids;
    for (int i = 1; i < 3; ++i) {
        const auto [otherBoxes, otherIds] = StreamTracks(o, i, last);
        EXPECT_EQ(otherBoxes, boxes) << "stream " << i;
        EXPECT_EQ(otherIds.size(), ids.size()) << "stream " << i;
        allIds.insert(otherIds.begin(), otherIds.end());
    }
    EXPECT_EQ(allIds.size(), 3 * ids.size()) << "no track is reported on two streams";
    EXPECT_DOUBLE_EQ(summaries[1]["mota"].get<double>(), summaries[0]["mota"].get<double>());
    EXPECT_DOUBLE_EQ(total["mota"].get<double>(), summaries[0]["mota"].get<double>());
}

}  // namespace
