// qel-track run as a user runs it: exit statuses, the JSON Lines it writes,
// and the same tracks whichever way frames reach the detector.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "ToolRun.h"

namespace {

using nlohmann::json;
using ToolRun::Outcome;
using ToolRun::RunTool;

const std::string kSampleVideo = QEL_SOURCE_DIR "/../shared/data/people-detection.gif";

// (timestamp, ObjectId, box) of every live target. Which result carries the
// tracks' ends depends on the SDK's timing, so ended ones, and the last
// frame whose result may carry them, are left out.
std::set<std::string> Tracks(const Outcome& o, uint64_t lastTimestamp)
{
    std::set<std::string> tracks;
    for (const auto& r : o.records) {
        if (r["type"] != "targets" || r["timestamp"].get<uint64_t>() >= lastTimestamp) continue;
        for (const auto& t : r["targets"])
            if (t["phase"] != 2)
                tracks.insert(std::to_string(r["timestamp"].get<uint64_t>()) + ":" + t["values"]["ObjectId"].dump() +
                              ":" + t["box"].dump());
    }
    return tracks;
}

TEST(QelTrack, BuiltInSceneEndToEnd)
{
    const Outcome o = RunTool("--frames 150 --param TargetLifeEvent=true");
    ASSERT_EQ(o.status, 0) << o.errors;
    ASSERT_FALSE(o.records.empty());
    const json& summary = o.records.back();
    ASSERT_EQ(summary["type"], "summary");
    EXPECT_EQ(summary["frames"], 150);
    for (const char* key : {"targetLists", "tracks", "lifeEvents", "seconds", "fps", "mota", "idf1", "idSwitches"})
        EXPECT_TRUE(summary.contains(key)) << key;
    EXPECT_GT(summary["tracks"].get<int>(), 0);
    EXPECT_EQ(summary["contractViolations"], 0);

    std::map<int, std::vector<int>> phases;
    std::map<std::string, std::pair<int, int>> lives;
    std::set<std::string> types;
    for (const auto& r : o.records) {
        types.insert(r["type"].get<std::string>());
        if (r["type"] == "targets") {
            for (const auto& t : r["targets"]) {
                ASSERT_EQ(t["box"].size(), 4u);
                phases[t["values"]["ObjectId"].get<int>()].push_back(t["phase"].get<int>());
            }
        } else if (r["type"] == "event" && r["name"] == "TargetLifeEvent") {
            EXPECT_TRUE(r["committed"].get<bool>());
            auto& [begins, ends] = lives[r["values"]["EventUuid"].get<std::string>()];
            (r["phase"] == 1 ? begins : ends)++;
        }
    }
    for (const auto& [id, seen] : phases) {
        EXPECT_EQ(seen.front(), 1) << "track " << id;
        EXPECT_EQ(seen.back(), 2) << "track " << id;
    }
    EXPECT_EQ(lives.size(), phases.size());
    for (const auto& [uuid, counts] : lives) {
        EXPECT_EQ(counts.first, 1) << uuid;
        EXPECT_EQ(counts.second, 1) << uuid;
    }
    EXPECT_TRUE(types.count("log")) << "the version line";
}

TEST(QelTrack, Nv12FramesGiveTheSameTracksAsPlanarOnes)
{
    const Outcome planar = RunTool("--frames 80");
    const Outcome nv12 = RunTool("--frames 80 --input-format nv12");
    ASSERT_EQ(planar.status, 0) << planar.errors;
    ASSERT_EQ(nv12.status, 0) << nv12.errors;
    const uint64_t last = 79 * 100;  // the scene's 10 frames per second
    EXPECT_FALSE(Tracks(planar, last).empty());
    EXPECT_EQ(Tracks(planar, last), Tracks(nv12, last));
}

TEST(QelTrack, ExitStatusesSayWhatWentWrong)
{
    const Outcome usage = RunTool("--no-such-option");
    EXPECT_EQ(usage.status, 2);
    for (const char* bad : {"--input-format rgb", "--input-format yuv444", "--param NumThreads", "--param =1",
                            "--frames 0", "--frames -1", "--frames 1000001", "--frames 2x", "--streams 0",
                            "--streams 65", "--scene-fps 0", "--scene-size 8x8", "--scene-size 640", "--realtime=2"})
        EXPECT_EQ(RunTool(bad).status, 2) << bad;
    EXPECT_NE(RunTool("--frames -1").errors.find("--frames takes 1 to 1000000"), std::string::npos);

    const Outcome refused = RunTool("--frames 5 --param DetectorScaling=1000");
    EXPECT_EQ(refused.status, 2);
    EXPECT_NE(refused.errors.find("DetectorScaling=1000"), std::string::npos) << refused.errors;
    EXPECT_NE(refused.errors.find("value outside the accepted set"), std::string::npos) << refused.errors;
    EXPECT_EQ(RunTool("--param NoSuchParameter=1").status, 2);

    const Outcome missing = RunTool("/no/such/video.mp4");
    EXPECT_EQ(missing.status, 3);
    EXPECT_NE(missing.errors.find("/no/such/video.mp4"), std::string::npos);

    const std::string notVideo = ToolRun::TempPath("not-a-video.mp4");
    std::ofstream(notVideo) << "plain text, no video";
    EXPECT_EQ(RunTool(notVideo).status, 3);

    const Outcome noModule = RunTool("--frames 5 --module /no/such/dir", false);
    EXPECT_EQ(noModule.status, 4);

    // Output that cannot be written is a failure, wherever it goes.
    EXPECT_EQ(RunTool("--frames 3 --output /dev/full").status, 1);
    EXPECT_EQ(RunTool("--frames 3 --output /no/such/dir/out.jsonl").status, 1);
    EXPECT_EQ(RunTool("--frames 3 >/dev/full").status, 1);
    EXPECT_EQ(RunTool("--frames 3 --annotate /no/such/dir/annotated.mp4").status, 1);
    const Outcome annotate = RunTool("--frames 3 --annotate /dev/full");
    EXPECT_EQ(annotate.status, 1);
    EXPECT_NE(annotate.errors.find("cannot annotate '/dev/full'"), std::string::npos) << annotate.errors;
    EXPECT_EQ(annotate.records.back()["type"], "summary") << "the run is closed properly";

    // A detector that takes no frame at all says why.
    const Outcome outside = RunTool("--frames 5 --param RegionOfInterest=0.9,0.9,0.5,0.5");
    EXPECT_EQ(outside.status, 5);
    EXPECT_NE(outside.errors.find("took none of the 5 frames"), std::string::npos) << outside.errors;
    EXPECT_NE(outside.errors.find("does not lie inside"), std::string::npos) << outside.errors;
}

json Summary(const Outcome& o)
{
    return o.records.empty() ? json() : o.records.back();
}

TEST(QelTrack, FileModeTracksEveryFrameTheSdkFirstRefuses)
{
    // Detection on every frame of a larger picture keeps the SDK busy long
    // enough to refuse frames pushed as fast as they come.
    const std::string busy = "--frames 40 --scene-size 1280x720 --param DetectorStep=1 --param DetectorScaling=1920";
    const Outcome file = RunTool(busy);
    ASSERT_EQ(file.status, 0) << file.errors;
    const json s = Summary(file);
    EXPECT_EQ(s["frames"], 40);
    EXPECT_EQ(s["pushed"], 40);
    EXPECT_EQ(s["lost"], 0);
    EXPECT_GE(s["refused"].get<int>(), s["retried"].get<int>());
    if (s["refused"] == 0) std::cout << "note: the SDK refused no frame, nothing was pushed again\n";
    EXPECT_EQ(s["latencyMs"]["reports"], 40) << "every frame's own report";
    EXPECT_LE(s["latencyMs"]["p50"].get<double>(), s["latencyMs"]["p99"].get<double>());

    // A camera does not wait: in real time, refused frames are counted as lost.
    const Outcome live = RunTool(busy + " --realtime --scene-fps 200");
    ASSERT_EQ(live.status, 0) << live.errors;
    const json l = Summary(live);
    EXPECT_EQ(l["frames"], 40);
    EXPECT_EQ(l["retried"], 0);
    EXPECT_EQ(l["lost"], l["refused"]);
    EXPECT_EQ(l["pushed"].get<int>() + l["lost"].get<int>(), 40);
    EXPECT_GE(l["maxLateMs"].get<double>(), 0.0);
    EXPECT_FALSE(s.contains("maxLateMs")) << "only paced runs can be late";
    // Paced at the stream's rate: the last frame is due 39 / 200 s in.
    EXPECT_GE(l["seconds"].get<double>(), 0.195);
}

TEST(QelTrack, SceneHasAnyLength)
{
    const Outcome o = RunTool("--frames 650 --scene-size 96x54");
    ASSERT_EQ(o.status, 0) << o.errors;
    EXPECT_EQ(Summary(o)["frames"], 650);
    EXPECT_EQ(Summary(o)["pushed"], 650);
    EXPECT_TRUE(Summary(o).contains("mota")) << "with its ground truth";
}

TEST(QelTrack, OutputStaysOnStandardOutputWhenTheSdkLogsToFiles)
{
    const std::string dir = ::testing::TempDir() + "qel-track-sdk-logs-" + std::to_string(getpid());
    const Outcome o = RunTool("--frames 5", true, "QelSdkVerboseLogDir=" + dir);
    ASSERT_EQ(o.status, 0) << o.errors;
    ASSERT_FALSE(o.records.empty());
    EXPECT_EQ(o.records.back()["type"], "summary");
    bool fellBack = false;
    for (const auto& r : o.records)
        if (r["type"] == "log" && r["text"].get<std::string>().find("Will log to our files") != std::string::npos)
            fellBack = true;
    EXPECT_FALSE(fellBack) << "the SDK kept the standard streams, nothing was tested";
    size_t logs = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
        if (entry.path().filename() != "cout.txt") continue;
        ++logs;
        std::ifstream in(entry.path());
        const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_EQ(text.find("\"type\":"), std::string::npos) << "records in the SDK's log: " << text.substr(0, 200);
    }
    EXPECT_EQ(logs, 1u);
    std::filesystem::remove_all(dir);
}

// MOT-challenge lines of every target a run reported, first report of each
// frame only (the scene runs at 10 frames per second).
std::string MotLinesOf(const Outcome& o, int frameShift, bool ignored)
{
    std::ostringstream lines;
    std::set<uint64_t> seen;
    for (const auto& r : o.records) {
        if (r["type"] != "targets" || !seen.insert(r["timestamp"].get<uint64_t>()).second) continue;
        const uint64_t frame = r["timestamp"].get<uint64_t>() / 100 + 1 + frameShift;
        for (const auto& t : r["targets"]) {
            const auto& b = t["box"];
            lines << frame << ", " << t["values"]["ObjectId"].get<int>() << ", " << b[0].get<double>() * 640 << ", "
                  << b[1].get<double>() * 360 << ", " << b[2].get<double>() * 640 << ", " << b[3].get<double>() * 360
                  << (ignored ? ", 0" : ", 1") << ", -1, -1, -1\n";
        }
        // With the reported boxes ignored, one counted box where nobody is.
        if (ignored) lines << frame << ", 100000, 0, 0, 2, 2\n";
    }
    return lines.str();
}

TEST(QelTrack, ScoresAgainstMotGroundTruth)
{
    const Outcome first = RunTool("--frames 120");
    ASSERT_EQ(first.status, 0) << first.errors;
    const std::string truth = MotLinesOf(first, 0, false);
    ASSERT_FALSE(truth.empty()) << "no targets to score against";

    const std::string exact = ToolRun::TempPath("truth-exact.txt");
    std::ofstream(exact) << truth;
    const Outcome scored = RunTool("--frames 120 --truth " + exact);
    ASSERT_EQ(scored.status, 0) << scored.errors;
    const json& s = scored.records.back();
    for (const char* key : {"mota", "idf1", "precision", "recall"}) EXPECT_DOUBLE_EQ(s[key].get<double>(), 1.0) << key;
    EXPECT_EQ(s["idSwitches"], 0);

    // Frames count from 1: the same boxes one frame late no longer all match.
    const std::string late = ToolRun::TempPath("truth-late.txt");
    std::ofstream(late) << MotLinesOf(first, 1, false);
    const json shifted = RunTool("--frames 120 --truth " + late).records.back();
    EXPECT_LT(shifted["precision"].get<double>() + shifted["recall"].get<double>(), 2.0);

    // Boxes flagged 0 count neither as truth nor against the reports on
    // them: only the empty corner is truth, always missed.
    const std::string ignored = ToolRun::TempPath("truth-ignored.txt");
    std::ofstream(ignored) << MotLinesOf(first, 0, true);
    const json corner = RunTool("--frames 120 --truth " + ignored).records.back();
    EXPECT_DOUBLE_EQ(corner["precision"].get<double>(), 1.0);
    EXPECT_DOUBLE_EQ(corner["recall"].get<double>(), 0.0);
    EXPECT_DOUBLE_EQ(corner["mota"].get<double>(), 0.0);
}

TEST(QelTrack, RefusesGroundTruthItCannotRead)
{
    const Outcome missing = RunTool("--frames 5 --truth /no/such/truth.txt");
    EXPECT_EQ(missing.status, 3);
    EXPECT_NE(missing.errors.find("/no/such/truth.txt"), std::string::npos) << missing.errors;

    const std::string path = ToolRun::TempPath("truth-bad.txt");
    for (const char* bad : {"1, 1, 10, 10, 20\n", "0, 1, 10, 10, 20, 40\n", "1, x, 10, 10, 20, 40\n",
                            "1, 1, 10, 10, -20, 40\n", "1, 2, 30, 10, 20, 40\n"}) {
        std::ofstream(path) << "1, 2, 0, 0, 5, 5\n" << bad;
        const Outcome o = RunTool("--frames 5 --truth " + path);
        EXPECT_EQ(o.status, 3) << bad;
        EXPECT_NE(o.errors.find("line 2"), std::string::npos) << bad << o.errors;
    }
}

TEST(QelTrack, ReadsVideoFiles)
{
    if (!std::ifstream(kSampleVideo)) GTEST_SKIP() << "no sample video at " << kSampleVideo;
    const Outcome o = RunTool(kSampleVideo);
    ASSERT_EQ(o.status, 0) << o.errors;
    const json& summary = o.records.back();
    EXPECT_EQ(summary["frames"], 23);
    EXPECT_EQ(summary["contractViolations"], 0);
    EXPECT_FALSE(summary.contains("mota")) << "no ground truth for a file";
}

}  // namespace
