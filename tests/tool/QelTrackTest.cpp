// qel-track run as a user runs it: exit statuses, the JSON Lines it writes,
// and the same tracks whichever way frames reach the detector.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

using nlohmann::json;

const std::string kTool = QEL_TRACK_PATH;
const std::string kModuleDir = QEL_MODULE_DIR;
const std::string kSampleVideo = QEL_SOURCE_DIR "/../shared/data/people-detection.gif";

struct Outcome {
    int status = -1;
    std::vector<json> records;
    std::string errors;
};

Outcome RunTool(const std::string& arguments, bool builtModule = true)
{
    const std::string errFile = ::testing::TempDir() + "qel-track-stderr.txt";
    const std::string command =
        kTool + (builtModule ? " --module " + kModuleDir : std::string()) + " " + arguments + " 2>" + errFile;
    Outcome out;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return out;
    std::string text;
    char buffer[65536];
    size_t n = 0;
    while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) text.append(buffer, n);
    const int raw = pclose(pipe);
    out.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        json record = json::parse(line, nullptr, false);
        EXPECT_FALSE(record.is_discarded()) << "not JSON: " << line;
        out.records.push_back(record);
    }
    std::ifstream err(errFile);
    out.errors.assign(std::istreambuf_iterator<char>(err), std::istreambuf_iterator<char>());
    return out;
}

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
    EXPECT_EQ(RunTool("--input-format rgb").status, 2);
    EXPECT_EQ(RunTool("--param NumThreads").status, 2);

    const Outcome refused = RunTool("--frames 5 --param DetectorScaling=1000");
    EXPECT_EQ(refused.status, 2);
    EXPECT_NE(refused.errors.find("DetectorScaling=1000"), std::string::npos) << refused.errors;
    EXPECT_NE(refused.errors.find("value outside the accepted set"), std::string::npos) << refused.errors;
    EXPECT_EQ(RunTool("--param NoSuchParameter=1").status, 2);

    const Outcome missing = RunTool("/no/such/video.mp4");
    EXPECT_EQ(missing.status, 3);
    EXPECT_NE(missing.errors.find("/no/such/video.mp4"), std::string::npos);

    const std::string notVideo = ::testing::TempDir() + "not-a-video.mp4";
    std::ofstream(notVideo) << "plain text, no video";
    EXPECT_EQ(RunTool(notVideo).status, 3);

    const Outcome noModule = RunTool("--frames 5 --module /no/such/dir", false);
    EXPECT_EQ(noModule.status, 4);
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

    const std::string exact = ::testing::TempDir() + "truth-exact.txt";
    std::ofstream(exact) << truth;
    const Outcome scored = RunTool("--frames 120 --truth " + exact);
    ASSERT_EQ(scored.status, 0) << scored.errors;
    const json& s = scored.records.back();
    for (const char* key : {"mota", "idf1", "precision", "recall"}) EXPECT_DOUBLE_EQ(s[key].get<double>(), 1.0) << key;
    EXPECT_EQ(s["idSwitches"], 0);

    // Frames count from 1: the same boxes one frame late no longer all match.
    const std::string late = ::testing::TempDir() + "truth-late.txt";
    std::ofstream(late) << MotLinesOf(first, 1, false);
    const json shifted = RunTool("--frames 120 --truth " + late).records.back();
    EXPECT_LT(shifted["precision"].get<double>() + shifted["recall"].get<double>(), 2.0);

    // Boxes flagged 0 count neither as truth nor against the reports on
    // them: only the empty corner is truth, always missed.
    const std::string ignored = ::testing::TempDir() + "truth-ignored.txt";
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

    const std::string path = ::testing::TempDir() + "truth-bad.txt";
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
