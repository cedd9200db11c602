// qel-track: a host that runs the tracker module on videos, or on a built-in
// scene with ground truth, one detector per stream as a server does, and
// writes what the host received as JSON Lines.

#include <unistd.h>

#include <boost/program_options.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "Annotate.h"
#include "Output.h"
#include "RefHost/Contract.h"
#include "RefHost/Host.h"
#include "RefHost/ModuleLoader.h"
#include "RefHost/Rectangles.h"
#include "RefHost/Samples.h"
#include "RefHost/Targets.h"
#include "Scene/Generator.h"
#include "Scores/Evaluator.h"
#include "Truth.h"
#include "Video.h"

namespace po = boost::program_options;
using nlohmann::json;
using Clock = std::chrono::steady_clock;

namespace QelTrack {

namespace {

enum Exit { kOk = 0, kOutput = 1, kUsage = 2, kInput = 3, kModule = 4, kRefused = 5 };

constexpr const char* kPushRefused = "failed pushing the frame to stream";
// A file is fed as fast as the SDK takes it: a refused frame is pushed again
// after a short wait, for this long at most.
constexpr auto kRetryFor = std::chrono::seconds(10);
constexpr auto kFirstWait = std::chrono::microseconds(500);
constexpr auto kMaxWait = std::chrono::milliseconds(8);
constexpr uint32_t kMaxStreams = 64;
constexpr uint32_t kMaxSceneFrames = 1000000;
constexpr uint32_t kSceneFrames = 600;
// The built-in scene brings in a new person every this many frames.
constexpr uint32_t kFramesPerFigure = 100;

// Our own standard error, kept before the module may reopen the process's.
FILE* g_errors = stderr;

void Complain(const std::string& text)
{
    std::fprintf(g_errors, "qel-track: %s\n", text.c_str());
    std::fflush(g_errors);
}

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

const char* ResultMeaning(int32_t code)
{
    switch (code) {
    case 0: return "success";
    case 1: return "frame taken but no tracker available";
    case 4: return "internal failure";
    case 5: return "parameter name not recognised";
    case 6: return "value outside the accepted set";
    case 9: return "module already initialised";
    case 10: return "invalid argument or failed operation";
    default: return "unknown result";
    }
}

std::string DefaultModuleDir()
{
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (n <= 0) return "module";
    const std::string exe(path, static_cast<size_t>(n));
    return exe.substr(0, exe.find_last_of('/')) + "/../module";
}

// Frames from a file or from the built-in scene.
class FrameSource {
public:
    virtual ~FrameSource() = default;
    virtual bool Next(RgbFrame& frame) = 0;
    virtual std::optional<uint32_t> FrameCount() const = 0;
    virtual double Fps() const = 0;
};

class FileSource final : public FrameSource {
public:
    explicit FileSource(const std::string& path) : m_reader(path) {}
    bool Next(RgbFrame& frame) override { return m_reader.Next(frame); }
    std::optional<uint32_t> FrameCount() const override { return m_reader.FrameCountHint(); }
    double Fps() const override { return m_reader.FramesPerSecond(); }

private:
    VideoReader m_reader;
};

// One stream's pass over a scene that every stream shares.
class SceneSource final : public FrameSource {
public:
    explicit SceneSource(const Scene::Generator& scene) : m_scene(scene) {}
    bool Next(RgbFrame& frame) override
    {
        if (m_next >= m_scene.FrameCount()) return false;
        frame.width = m_scene.settings().width;
        frame.height = m_scene.settings().height;
        frame.timestampMs = m_scene.TimestampMs(m_next);
        m_scene.Render(m_next++, frame.rgb);
        return true;
    }
    std::optional<uint32_t> FrameCount() const override { return m_scene.FrameCount(); }
    double Fps() const override { return m_scene.settings().fps; }

private:
    const Scene::Generator& m_scene;
    uint32_t m_next = 0;
};

bool ParseInt(const std::string& text, int32_t& value)
{
    try {
        size_t used = 0;
        const long long v = std::stoll(text, &used, 10);
        if (used != text.size() || v < INT32_MIN || v > INT32_MAX) return false;
        value = static_cast<int32_t>(v);
        return true;
    } catch (...) {
        return false;
    }
}

// A whole decimal number within [low, high].
std::optional<uint64_t> ParseCount(const std::string& text, uint64_t low, uint64_t high)
{
    if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    const uint64_t v = std::stoull(text);
    if (v < low || v > high) return std::nullopt;
    return v;
}

std::optional<Kest8::Rect> ParseRect(const std::string& text)
{
    Kest8::Rect r{};
    double* fields[4] = {&r.left, &r.top, &r.width, &r.height};
    size_t start = 0;
    for (int i = 0; i < 4; ++i) {
        const size_t end = i < 3 ? text.find(',', start) : text.size();
        if (end == std::string::npos) return std::nullopt;
        try {
            size_t used = 0;
            const std::string part = text.substr(start, end - start);
            *fields[i] = std::stod(part, &used);
            if (used != part.size()) return std::nullopt;
        } catch (...) {
            return std::nullopt;
        }
        start = end + 1;
    }
    return r;
}

// Sets one NAME=VALUE through the setter of its kind.
int32_t SetParameter(Kest8::Analytics::IVisualSyncAdjuster& adjuster, const std::string& name, const std::string& value)
{
    static const std::set<std::string> bools{"TargetLifeEvent"};
    static const std::set<std::string> ints{"NumThreads", "DetectorStep", "DetectionsSkipped", "MinimalTrackLength",
                                            "DetectionThreshold"};
    static const std::set<std::string> texts{"mode", "DetectorScaling"};
    int32_t number = 0;
    if (bools.count(name) || (!ints.count(name) && !texts.count(name) && (value == "true" || value == "false"))) {
        if (value != "true" && value != "false") throw UsageError(name + " takes true or false, not '" + value + "'");
        return adjuster.SetValue(name.c_str(), value == "true");
    }
    if (ints.count(name)) {
        if (!ParseInt(value, number)) throw UsageError(name + " takes an integer, not '" + value + "'");
        return adjuster.SetValue(name.c_str(), number);
    }
    if (name == "RegionOfInterest") {
        const auto rect = ParseRect(value);
        if (!rect) throw UsageError("RegionOfInterest takes x,y,w,h fractions, not '" + value + "'");
        RefHost::RectangleList list({*rect});
        return adjuster.SetValue(name.c_str(), static_cast<Kest8::IRectangleEnumerator*>(&list));
    }
    if (!texts.count(name) && ParseInt(value, number)) return adjuster.SetValue(name.c_str(), number);
    return adjuster.SetValue(name.c_str(), value.c_str());
}

json ValueJson(const RefHost::EventValue& v)
{
    return std::visit(
        [&](const auto& x) -> json {
            using T = std::decay_t<decltype(x)>;
            if constexpr (std::is_same_v<T, std::monostate>) {
                return RefHost::KindName(v.kind);
            } else {
                return x;
            }
        },
        v.value);
}

json ValuesJson(const RefHost::Values& values)
{
    json out = json::object();
    for (const auto& v : values)
        if (v.accepted && v.kind != RefHost::ValueKind::MultimediaBuffer) out[v.name] = ValueJson(v);
    return out;
}

// The stream whose thread is running, and what its detector said on it.
thread_local int t_stream = -1;
thread_local bool t_refused = false;
thread_local std::string t_lastError;

// The module's logger: the reference host's, noting which stream's thread
// each line came on and whether the detector refused a frame.
class StreamLogger final : public Kest8::ILogger {
public:
    explicit StreamLogger(int32_t level) : m_lines(level) {}

    REFHOST_CONTRACTS(Kest8::ILogger)

    int32_t GetLogLevel() const override { return m_lines.GetLogLevel(); }
    void Log(int32_t level, const char* text) override
    {
        Note(level, text);
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lines.Log(level, text);
        m_streams.push_back(t_stream);
    }
    void Log(int32_t level, const char* file, int32_t line, const char* function, const char* text) override
    {
        Note(level, text);
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lines.Log(level, file, line, function, text);
        m_streams.push_back(t_stream);
    }

    // The lines since the last call, each with its stream (-1 for none).
    std::vector<std::pair<RefHost::LogLine, int>> Take()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::vector<std::pair<RefHost::LogLine, int>> taken;
        auto lines = m_lines.Take();
        taken.reserve(lines.size());
        for (size_t i = 0; i < lines.size(); ++i) taken.emplace_back(std::move(lines[i]), m_streams[i]);
        m_streams.erase(m_streams.begin(), m_streams.begin() + static_cast<std::ptrdiff_t>(lines.size()));
        return taken;
    }

private:
    static void Note(int32_t level, const char* text)
    {
        if (text == nullptr) return;
        if (std::strcmp(text, kPushRefused) == 0)
            t_refused = true;
        else if (level >= 3)
            t_lastError = text;
    }

    RefHost::Logger m_lines;
    std::mutex m_mutex;
    std::deque<int> m_streams;  // one per line in m_lines
};

// Push-to-report times in buckets 2 % apart from 10 microseconds, so that
// any run keeps the same few counters.
class Latencies {
public:
    void Add(Clock::duration d)
    {
        const double us = std::chrono::duration<double, std::micro>(d).count();
        const double at = us > kLowest ? std::log(us / kLowest) / std::log(kStep) : 0;
        ++m_counts[std::min<size_t>(kBuckets - 1, static_cast<size_t>(at))];
        ++m_total;
    }
    void Merge(const Latencies& other)
    {
        for (size_t i = 0; i < kBuckets; ++i) m_counts[i] += other.m_counts[i];
        m_total += other.m_total;
    }
    json Json() const
    {
        if (m_total == 0) return json();
        return {{"p50", QuantileMs(0.5)}, {"p99", QuantileMs(0.99)}, {"reports", m_total}};
    }

private:
    double QuantileMs(double q) const
    {
        const auto rank = static_cast<uint64_t>(std::ceil(q * static_cast<double>(m_total)));
        uint64_t seen = 0;
        for (size_t i = 0; i < kBuckets; ++i) {
            seen += m_counts[i];
            if (seen >= std::max<uint64_t>(rank, 1)) return std::round(kLowest * std::pow(kStep, i + 0.5)) / 1000.0;
        }
        return 0;
    }

    static constexpr double kLowest = 10;
    static constexpr double kStep = 1.02;
    static constexpr size_t kBuckets = 1024;
    std::array<uint64_t, kBuckets> m_counts{};
    uint64_t m_total = 0;
};

struct Counts {
    uint64_t decoded = 0;        // frames read from the input
    uint64_t pushed = 0;         // frames the SDK took
    uint64_t refused = 0;        // pushes the SDK refused
    uint64_t retried = 0;        // frames pushed more than once
    uint64_t receiveErrors = 0;  // frames Receive answered other than 0
    uint64_t targetLists = 0;
    uint64_t lifeEvents = 0;
    uint64_t tracks = 0;

    void Add(const Counts& o)
    {
        decoded += o.decoded, pushed += o.pushed, refused += o.refused, retried += o.retried;
        receiveErrors += o.receiveErrors, targetLists += o.targetLists, lifeEvents += o.lifeEvents;
        tracks += o.tracks;
    }
};

struct Options {
    std::vector<std::string> videos;
    std::vector<std::string> params;
    std::string inputFormat = "yuv420";
    std::string annotate;
    std::string output;
    std::string truth;
    std::optional<uint32_t> frames;
    uint32_t streams = 1;
    bool realtime = false;
    int32_t logLevel = 1;
    std::string moduleDir;
    uint64_t seed = 1;
    uint32_t sceneWidth = 640, sceneHeight = 360;
    double sceneFps = 10;
};

// Shared by every stream of a run.
struct Shared {
    const Options& options;
    Output& output;
    StreamLogger& logger;
    RefHost::TargetEnumeratorFactory& targets;
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> decoded{0};
};

// One camera: its detector and host context, fed from its own thread.
class Stream {
public:
    Stream(Shared& shared, int index, std::unique_ptr<FrameSource> source, const GroundTruth* truth)
        : m_shared(shared), m_index(index), m_source(std::move(source))
    {
        if (truth != nullptr) m_scorer = std::make_unique<Scorer>(*truth);
    }

    RefHost::HostContext& Context() { return m_context; }
    void Attach(Kest8::Analytics::IDetector* detector) { m_detector = detector; }
    Kest8::Analytics::IDetector* Detector() const { return m_detector; }
    void SetAnnotator(std::unique_ptr<Annotator> annotator) { m_annotator = std::move(annotator); }
    const FrameSource& Source() const { return *m_source; }

    void Run();
    // Destroys the detector (reporting its open tracks) if still there.
    void Release();
    // Writes what the host received since the last call.
    void Collect();
    json Summary(double seconds);

    const Counts& Totals() const { return m_counts; }
    const Latencies& Latency() const { return m_latency; }
    std::optional<Scores::Summary> Scores() const { return m_scores; }
    const std::optional<std::string>& InputFailure() const { return m_inputFailure; }
    const std::optional<std::string>& AnnotateFailure() const { return m_annotateFailure; }
    const std::string& LastError() const { return m_lastError; }
    double Seconds() const { return m_seconds; }
    double MaxLateMs() const { return std::chrono::duration<double, std::milli>(m_maxLate).count(); }

private:
    void Feed(const RgbFrame& frame, RefHost::SampleShape& shape);
    void NoteReport(const RefHost::EventRecord& event, json& record);
    template <class F>
    void Annotating(F&& f);

    Shared& m_shared;
    const int m_index;
    std::unique_ptr<FrameSource> m_source;
    RefHost::StatisticsSink m_statistics;
    RefHost::HostContext m_context{&m_statistics};
    Kest8::Analytics::IDetector* m_detector = nullptr;
    std::unique_ptr<Scorer> m_scorer;
    std::unique_ptr<Annotator> m_annotator;
    std::deque<std::pair<uint64_t, Clock::time_point>> m_inFlight;  // pushed, not reported yet
    Counts m_counts;
    Latencies m_latency;
    std::set<int32_t> m_trackIds;
    std::optional<Scores::Summary> m_scores;
    std::optional<std::string> m_inputFailure;
    std::optional<std::string> m_annotateFailure;
    std::string m_lastError;
    double m_seconds = 0;
    Clock::duration m_maxLate{};
};

template <class F>
void Stream::Annotating(F&& f)
{
    if (!m_annotator) return;
    try {
        f(*m_annotator);
    } catch (const std::exception& e) {
        m_annotateFailure = std::string("cannot annotate '") + m_shared.options.annotate + "': " + e.what();
        m_annotator.reset();
        m_shared.stop = true;
    }
}

void Stream::Run()
{
    t_stream = m_shared.options.streams > 1 ? m_index : -1;
    t_lastError.clear();
    const auto started = Clock::now();
    RefHost::SampleShape shape;
    const std::string& format = m_shared.options.inputFormat;
    shape.layout = format == "yuv422" ? RefHost::PlanarLayout::I422
                   : format == "gray" ? RefHost::PlanarLayout::Gray
                                      : RefHost::PlanarLayout::I420;
    shape.planar = format != "nv12";
    shape.nv12 = format == "nv12";
    RgbFrame frame;
    try {
        while (!m_shared.stop && (!m_shared.options.frames || m_counts.decoded < *m_shared.options.frames) &&
               m_source->Next(frame)) {
            if (m_shared.options.realtime) {
                // A host too slow to keep the stream's pace falls behind it.
                const auto due = started + std::chrono::milliseconds(frame.timestampMs);
                m_maxLate = std::max(m_maxLate, Clock::now() - due);
                std::this_thread::sleep_until(due);
            }
            Feed(frame, shape);
        }
    } catch (const InputError& e) {
        m_inputFailure = e.what();
    } catch (const std::bad_alloc&) {
        m_inputFailure = "out of memory for a frame";
    } catch (const std::exception& e) {
        m_inputFailure = e.what();
    }
    Release();
    m_seconds = std::chrono::duration<double>(Clock::now() - started).count();
    Annotating([](Annotator& a) { a.Finish(); });
    m_lastError = t_lastError;
    t_stream = -1;
}

void Stream::Feed(const RgbFrame& frame, RefHost::SampleShape& shape)
{
    shape.width = frame.width;
    shape.height = frame.height;
    shape.timestamp = frame.timestampMs;
    const auto sample = RefHost::FrameSample::FromRgb(shape, frame.rgb.data());
    ++m_counts.decoded;
    ++m_shared.decoded;
    if (m_scorer) m_scorer->AddFrame(frame.timestampMs, frame.width, frame.height);
    Annotating([&frame](Annotator& a) { a.AddFrame(frame); });
    auto* receiver = Kest8::QueryContractAs<Kest8::Analytics::IMediaReceiver>(m_detector);
    const auto firstPush = Clock::now();
    auto wait = std::chrono::duration_cast<Clock::duration>(kFirstWait);
    for (bool again = false;; again = true) {
        t_refused = false;
        const auto pushedAt = Clock::now();
        const int32_t result = receiver->Receive(sample->Sample());
        const bool refused = t_refused;
        if (result == 0 && !refused) {
            ++m_counts.pushed;
            m_inFlight.emplace_back(frame.timestampMs, pushedAt);
        }
        Collect();
        if (result != 0) {
            ++m_counts.receiveErrors;
            json record{{"type", "receive"}, {"timestamp", frame.timestampMs}, {"result", result}};
            if (t_stream >= 0) record["stream"] = t_stream;
            m_shared.output.Write(record.dump() + '\n');
            return;
        }
        if (!refused) return;
        ++m_counts.refused;
        // A camera does not wait: in real time a refused frame is gone.
        if (m_shared.options.realtime || m_shared.stop || Clock::now() - firstPush >= kRetryFor) return;
        if (!again) ++m_counts.retried;
        std::this_thread::sleep_for(wait);
        wait = std::min<Clock::duration>(wait * 2, kMaxWait);
    }
}

void Stream::Release()
{
    if (m_detector == nullptr) return;
    const int saved = t_stream;
    t_stream = m_shared.options.streams > 1 ? m_index : -1;
    m_detector->Destroy();
    m_detector = nullptr;
    Collect();
    t_stream = saved;
}

void Stream::NoteReport(const RefHost::EventRecord& event, json& record)
{
    ++m_counts.targetLists;
    record = {{"type", "targets"}, {"timestamp", event.timestamp}, {"targets", json::array()}};
    const RefHost::EventValue* list = event.Find("TargetList");
    std::vector<DrawnTarget> drawn;
    if (list != nullptr && list->Targets() != nullptr) {
        for (const auto& t : list->Targets()->Targets()) {
            const Kest8::Rect box = t.box.value_or(Kest8::Rect{});
            record["targets"].push_back({{"phase", t.phase.value_or(0)},
                                         {"box", {box.left, box.top, box.width, box.height}},
                                         {"values", ValuesJson(t.values)}});
            DrawnTarget d{box.left,           box.top, box.width, box.height, t.Int32("ObjectId").value_or(-1),
                          t.phase.value_or(0)};
            m_trackIds.insert(d.objectId);
            drawn.push_back(d);
        }
    }
    // Reports come in frame order; frames before this one had none of their own.
    while (!m_inFlight.empty() && m_inFlight.front().first < event.timestamp) m_inFlight.pop_front();
    if (!m_inFlight.empty() && m_inFlight.front().first == event.timestamp) {
        m_latency.Add(Clock::now() - m_inFlight.front().second);
        m_inFlight.pop_front();
    }
    if (m_scorer) m_scorer->AddReport(event.timestamp, drawn);
    Annotating([&](Annotator& a) { a.AddReport(event.timestamp, std::move(drawn)); });
}

json LogJson(const RefHost::LogLine& line, int stream)
{
    json record{{"type", "log"},     {"level", line.level},       {"file", line.file},
                {"line", line.line}, {"function", line.function}, {"text", line.text}};
    if (stream >= 0) record["stream"] = stream;
    return record;
}

std::string Lines(std::vector<std::pair<uint64_t, json>>& records)
{
    std::stable_sort(records.begin(), records.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::string text;
    for (const auto& [sequence, record] : records) text += record.dump() + '\n';
    return text;
}

void Stream::Collect()
{
    std::vector<std::pair<uint64_t, json>> records;
    for (const auto& [line, stream] : m_shared.logger.Take())
        records.emplace_back(line.sequence, LogJson(line, stream));
    for (const auto& event : m_context.TakeEvents()) {
        json record;
        if (event.name == "TargetList") {
            NoteReport(event, record);
        } else {
            if (event.name == "TargetLifeEvent") ++m_counts.lifeEvents;
            record = {{"type", "event"},
                      {"name", event.name},
                      {"phase", event.phase ? json(*event.phase) : json()},
                      {"timestamp", event.timestamp},
                      {"committed", event.outcome == RefHost::Outcome::Committed},
                      {"values", ValuesJson(event.values)}};
        }
        if (m_shared.options.streams > 1) record["stream"] = m_index;
        records.emplace_back(event.sequence, std::move(record));
    }
    for (const auto& s : m_statistics.TakeSubmissions()) {
        json labels = json::object();
        for (const auto& [k, v] : s.labels) labels[k] = v;
        json record{{"type", "metric"},
                    {"name", s.metric},
                    {"value", std::visit([](const auto& x) -> json { return x; }, s.value)},
                    {"labels", labels}};
        if (m_shared.options.streams > 1) record["stream"] = m_index;
        records.emplace_back(s.sequence, std::move(record));
    }
    // Nothing to say about them; only forget them.
    m_shared.targets.TakeAdjusterRequests();
    m_shared.output.Write(Lines(records));
    if (m_shared.output.Failed()) m_shared.stop = true;
}

json ScoresJson(const Scores::Summary& s)
{
    return {{"mota", s.mota},
            {"idf1", s.idf1},
            {"idSwitches", s.idSwitches},
            {"precision", s.hypotheses == 0 ? 1.0 : static_cast<double>(s.matches) / s.hypotheses},
            {"recall", s.truths == 0 ? 1.0 : static_cast<double>(s.matches) / s.truths}};
}

json CountsJson(const Counts& c, double seconds)
{
    return {{"type", "summary"},
            {"frames", c.decoded},
            {"pushed", c.pushed},
            {"refused", c.refused},
            {"retried", c.retried},
            {"lost", c.decoded - c.pushed},
            {"receiveErrors", c.receiveErrors},
            {"targetLists", c.targetLists},
            {"tracks", c.tracks},
            {"lifeEvents", c.lifeEvents},
            {"seconds", seconds},
            {"fps", seconds > 0 ? static_cast<double>(c.decoded) / seconds : 0.0}};
}

json Stream::Summary(double seconds)
{
    m_counts.tracks = m_trackIds.size();
    json summary = CountsJson(m_counts, seconds);
    summary["latencyMs"] = m_latency.Json();
    if (m_shared.options.realtime) summary["maxLateMs"] = MaxLateMs();
    if (m_scorer) {
        m_scores = m_scorer->Finish();
        summary.update(ScoresJson(*m_scores));
    }
    return summary;
}

// Scores of several streams together, from their counts.
Scores::Summary Pooled(const std::vector<Scores::Summary>& all)
{
    Scores::Summary t;
    for (const auto& s : all) {
        t.truths += s.truths, t.hypotheses += s.hypotheses, t.matches += s.matches, t.misses += s.misses;
        t.falsePositives += s.falsePositives, t.idSwitches += s.idSwitches, t.idTruePositives += s.idTruePositives;
    }
    t.mota = t.truths == 0 ? (t.hypotheses == 0 ? 1.0 : -INFINITY)
                           : 1.0 - static_cast<double>(t.misses + t.falsePositives + t.idSwitches) / t.truths;
    t.idf1 = t.truths + t.hypotheses == 0 ? 1.0 : 2.0 * t.idTruePositives / (t.truths + t.hypotheses);
    return t;
}

class Progress {
public:
    Progress(const Shared& shared, uint64_t total) : m_shared(shared), m_total(total) {}
    void Show(Clock::time_point started)
    {
        const uint64_t frames = m_shared.decoded.load();
        const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
        std::string bar;
        if (m_total > 0) {
            const uint64_t filled = std::min<uint64_t>(30, frames * 30 / m_total);
            bar = "[" + std::string(filled, '=') + std::string(30 - filled, ' ') + "] ";
        }
        std::fprintf(g_errors, "\r%s%llu/%llu frames, %.1f fps ", bar.c_str(), static_cast<unsigned long long>(frames),
                     static_cast<unsigned long long>(m_total), seconds > 0 ? frames / seconds : 0.0);
        std::fflush(g_errors);
    }

private:
    const Shared& m_shared;
    const uint64_t m_total;
};

// Everything one run loads and creates, released in order on every path.
class Session {
public:
    Session(const Options& options, Output& output)
        : m_options(options), m_logger(options.logLevel), m_shared{options, output, m_logger, m_targets}
    {
    }
    ~Session() { Close(); }

    int Execute();

private:
    int Prepare();
    // Destroys the detectors still there, finalises the module, writes the rest.
    void Close();
    void CollectModuleLines();

    const Options& m_options;
    StreamLogger m_logger;
    RefHost::TargetEnumeratorFactory m_targets;
    RefHost::BlobFrameFactory m_blobs;
    RefHost::ServiceProvider m_services{&m_logger, &m_targets, &m_blobs};
    Shared m_shared;
    std::unique_ptr<Scene::Generator> m_scene;
    std::unique_ptr<GroundTruth> m_truth;
    std::vector<std::unique_ptr<Stream>> m_streams;
    std::unique_ptr<RefHost::LoadedModule> m_module;
    bool m_initialized = false;
};

void Session::CollectModuleLines()
{
    std::vector<std::pair<uint64_t, json>> records;
    for (const auto& [line, stream] : m_logger.Take()) records.emplace_back(line.sequence, LogJson(line, stream));
    m_shared.output.Write(Lines(records));
}

void Session::Close()
{
    for (auto& stream : m_streams) stream->Release();
    if (m_initialized) {
        m_module->Finalize();
        m_initialized = false;
    }
    CollectModuleLines();
}

Scene::Settings SceneSettings(const Options& options)
{
    Scene::Settings settings;
    settings.seed = options.seed;
    settings.width = options.sceneWidth;
    settings.height = options.sceneHeight;
    settings.fps = options.sceneFps;
    settings.frames = options.frames.value_or(kSceneFrames);
    settings.figures = std::clamp<uint32_t>((settings.frames + kFramesPerFigure / 2) / kFramesPerFigure, 1, 1000);
    return settings;
}

int Session::Prepare()
{
    try {
        if (m_options.videos.empty()) m_scene = std::make_unique<Scene::Generator>(SceneSettings(m_options));
        if (!m_options.truth.empty())
            m_truth = std::make_unique<MotTruth>(m_options.truth);
        else if (m_scene)
            m_truth = std::make_unique<SceneTruth>(*m_scene);
        for (uint32_t i = 0; i < m_options.streams; ++i) {
            std::unique_ptr<FrameSource> source;
            if (m_scene)
                source = std::make_unique<SceneSource>(*m_scene);
            else
                source = std::make_unique<FileSource>(m_options.videos[i % m_options.videos.size()]);
            m_streams.push_back(
                std::make_unique<Stream>(m_shared, static_cast<int>(i), std::move(source), m_truth.get()));
        }
    } catch (const InputError& e) {
        Complain(e.what());
        return kInput;
    } catch (const std::invalid_argument& e) {
        Complain(e.what());
        return kUsage;
    }

    if (!m_options.annotate.empty()) {
        const FrameSource& source = m_streams.front()->Source();
        std::optional<uint32_t> expected = source.FrameCount();
        if (m_options.frames) expected = expected ? std::min(*expected, *m_options.frames) : *m_options.frames;
        m_streams.front()->SetAnnotator(std::make_unique<Annotator>(m_options.annotate, source.Fps(), expected));
    }

    const std::string moduleDir = m_options.moduleDir.empty() ? DefaultModuleDir() : m_options.moduleDir;
    try {
        m_module = std::make_unique<RefHost::LoadedModule>(moduleDir + "/" + RefHost::kModuleLibraryName);
    } catch (const std::exception& e) {
        Complain(e.what());
        return kModule;
    }
    const int32_t init = m_module->Initialize(&m_services, moduleDir.c_str());
    if (init != 0) {
        CollectModuleLines();
        Complain("InitializeModule answered " + std::to_string(init) + " (" + ResultMeaning(init) + ")");
        return kModule;
    }
    m_initialized = true;
    for (auto& stream : m_streams) {
        stream->Attach(m_module->Get()->CreateDetector("QelObjectTracker", &stream->Context()));
        if (stream->Detector() == nullptr) {
            Complain("the module created no detector \"QelObjectTracker\"");
            return kModule;
        }
        auto* adjuster = Kest8::QueryContractAs<Kest8::Analytics::IVisualSyncAdjuster>(stream->Detector());
        if (adjuster == nullptr || !Kest8::QueryContractAs<Kest8::Analytics::IMediaReceiver>(stream->Detector())) {
            Complain("the detector offers no parameter setters or no frame receiver");
            return kModule;
        }
        for (const auto& param : m_options.params) {
            const size_t eq = param.find('=');
            const std::string name = param.substr(0, eq);
            const std::string value = param.substr(eq + 1);
            int32_t result = 0;
            try {
                result = SetParameter(*adjuster, name, value);
            } catch (const UsageError& e) {
                Complain(e.what());
                return kUsage;
            }
            if (result != 0) {
                Complain("parameter " + name + "=" + value + " refused: result " + std::to_string(result) + " (" +
                         ResultMeaning(result) + ")");
                return kUsage;
            }
        }
    }
    CollectModuleLines();
    return kOk;
}

int Session::Execute()
{
    if (const int prepared = Prepare(); prepared != kOk) return prepared;

    uint64_t expected = 0;
    for (const auto& stream : m_streams) {
        const auto count = stream->Source().FrameCount();
        expected += m_options.frames ? std::min<uint64_t>(count.value_or(*m_options.frames), *m_options.frames)
                                     : count.value_or(0);
    }
    const bool progress = isatty(STDERR_FILENO) != 0;
    Progress bar(m_shared, expected);
    const auto started = Clock::now();
    std::mutex doneMutex;
    std::condition_variable doneChanged;
    size_t done = 0;
    std::vector<std::thread> threads;
    for (auto& stream : m_streams)
        threads.emplace_back([&, s = stream.get()] {
            s->Run();
            std::lock_guard<std::mutex> lock(doneMutex);
            ++done;
            doneChanged.notify_all();
        });
    {
        std::unique_lock<std::mutex> lock(doneMutex);
        while (!doneChanged.wait_for(lock, std::chrono::milliseconds(250), [&] { return done == threads.size(); }))
            if (progress) bar.Show(started);
    }
    for (auto& t : threads) t.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    if (progress) {
        bar.Show(started);
        std::fprintf(g_errors, "\n");
    }
    Close();

    Counts total;
    Latencies latency;
    std::vector<Scores::Summary> scores;
    std::vector<json> summaries;
    double maxLateMs = 0;
    for (auto& stream : m_streams) {
        maxLateMs = std::max(maxLateMs, stream->MaxLateMs());
        json summary = stream->Summary(stream->Seconds());
        if (m_streams.size() > 1) summary["stream"] = summaries.size();
        summaries.push_back(std::move(summary));
        total.Add(stream->Totals());
        latency.Merge(stream->Latency());
        if (stream->Scores()) scores.push_back(*stream->Scores());
    }
    // Contract names the module asked for that no host describes.
    const auto violations = RefHost::ContractViolations();
    for (const auto& violation : violations) std::fprintf(g_errors, "contract violation: %s\n", violation.c_str());
    std::string lines;
    if (m_streams.size() == 1) {
        summaries.front()["contractViolations"] = violations.size();
        lines = summaries.front().dump() + '\n';
    } else {
        json summary = CountsJson(total, seconds);
        summary["streams"] = m_streams.size();
        summary["fpsPerStream"] = seconds > 0 ? static_cast<double>(total.decoded) / seconds / m_streams.size() : 0.0;
        summary["latencyMs"] = latency.Json();
        if (m_options.realtime) summary["maxLateMs"] = maxLateMs;
        if (!scores.empty()) summary.update(ScoresJson(Pooled(scores)));
        summary["contractViolations"] = violations.size();
        for (const auto& s : summaries) lines += s.dump() + '\n';
        lines += summary.dump() + '\n';
    }
    m_shared.output.Write(lines);

    for (const auto& stream : m_streams) {
        if (stream->AnnotateFailure()) {
            Complain(*stream->AnnotateFailure());
            return kOutput;
        }
    }
    if (m_shared.output.Failed()) return kOutput;
    for (const auto& stream : m_streams) {
        if (stream->InputFailure()) {
            Complain(*stream->InputFailure());
            return kInput;
        }
    }
    if (total.decoded == 0) {
        Complain("no frame could be decoded");
        return kInput;
    }
    if (total.pushed == 0) {
        std::string why;
        for (const auto& stream : m_streams)
            if (!stream->LastError().empty()) why = ": " + stream->LastError();
        Complain("the detector took none of the " + std::to_string(total.decoded) + " frames" + why);
        return kRefused;
    }
    if (total.pushed < total.decoded)
        Complain("the detector took " + std::to_string(total.pushed) + " of " + std::to_string(total.decoded) +
                 " frames");
    return kOk;
}

}  // namespace

int Main(int argc, char** argv)
{
    Options options;
    std::string frames, streams, sceneSize;
    po::options_description named("Options");
    named.add_options()("help,h", "show this help")("param",
                                                    po::value<std::vector<std::string>>(&options.params)->composing(),
                                                    "detector parameter NAME=VALUE, repeatable")(
        "input-format", po::value<std::string>(&options.inputFormat)->default_value("yuv420"),
        "yuv420|yuv422|gray (planar, host memory) or nv12 (device memory)")(
        "streams", po::value<std::string>(&streams), "detectors fed at once, each from its own thread (1 to 64)")(
        "realtime", po::bool_switch(&options.realtime),
        "pace frames at the stream's own rate, refused frames are lost")(
        "truth", po::value<std::string>(&options.truth), "score against MOT-challenge ground truth in FILE")(
        "annotate", po::value<std::string>(&options.annotate),
        "also write annotated frames: a video, or a .png contact sheet")(
        "output", po::value<std::string>(&options.output), "output file (default: standard output)")(
        "frames", po::value<std::string>(&frames), "frames per stream: at most N of a video, N of the scene")(
        "log-level", po::value<int32_t>(&options.logLevel)->default_value(1), "host logger level")(
        "module", po::value<std::string>(&options.moduleDir), "module directory")(
        "seed", po::value<uint64_t>(&options.seed)->default_value(1), "seed of the built-in scene")(
        "scene-size", po::value<std::string>(&sceneSize), "WIDTHxHEIGHT of the built-in scene (640x360)")(
        "scene-fps", po::value<double>(&options.sceneFps)->default_value(10), "frame rate of the built-in scene");
    po::options_description hidden;
    hidden.add_options()("video", po::value<std::vector<std::string>>(&options.videos));
    po::options_description all;
    all.add(named).add(hidden);
    po::positional_options_description positional;
    positional.add("video", -1);

    po::variables_map vm;
    try {
        po::store(po::command_line_parser(argc, argv).options(all).positional(positional).run(), vm);
        po::notify(vm);
        if (vm.count("help")) {
            std::cout << "usage: qel-track [VIDEO...] [options]\n" << named;
            return kOk;
        }
        static const std::set<std::string> formats{"yuv420", "yuv422", "gray", "nv12"};
        if (!formats.count(options.inputFormat))
            throw UsageError("--input-format takes yuv420, yuv422, gray or nv12, not '" + options.inputFormat + "'");
        const uint64_t maxFrames = options.videos.empty() ? kMaxSceneFrames : INT32_MAX;
        if (vm.count("frames")) {
            const auto n = ParseCount(frames, 1, maxFrames);
            if (!n)
                throw UsageError("--frames takes 1 to " + std::to_string(maxFrames) +
                                 (options.videos.empty() ? " on the built-in scene" : "") + ", not '" + frames + "'");
            options.frames = static_cast<uint32_t>(*n);
        }
        if (vm.count("streams")) {
            const auto n = ParseCount(streams, 1, kMaxStreams);
            if (!n) throw UsageError("--streams takes 1 to " + std::to_string(kMaxStreams) + ", not '" + streams + "'");
            options.streams = static_cast<uint32_t>(*n);
        }
        options.streams = std::max<uint32_t>(options.streams, static_cast<uint32_t>(options.videos.size()));
        if (options.streams > kMaxStreams) throw UsageError("at most " + std::to_string(kMaxStreams) + " inputs");
        if (!options.truth.empty() && std::set<std::string>(options.videos.begin(), options.videos.end()).size() > 1)
            throw UsageError("--truth scores one input, not several different ones");
        if (!options.videos.empty() &&
            (vm.count("scene-size") || !vm["scene-fps"].defaulted() || !vm["seed"].defaulted()))
            throw UsageError("--scene-size, --scene-fps and --seed are for the built-in scene, not a video");
        if (vm.count("scene-size")) {
            unsigned w = 0, h = 0;
            char x = 0, rest = 0;
            if (std::sscanf(sceneSize.c_str(), "%u%c%u%c", &w, &x, &h, &rest) != 3 || x != 'x' || w < 16 || h < 16 ||
                w > 8192 || h > 8192)
                throw UsageError("--scene-size takes WIDTHxHEIGHT from 16x16 to 8192x8192, not '" + sceneSize + "'");
            options.sceneWidth = w;
            options.sceneHeight = h;
        }
        if (!(options.sceneFps >= 1 && options.sceneFps <= 240)) throw UsageError("--scene-fps takes 1 to 240");
        for (const auto& param : options.params)
            if (param.find('=') == std::string::npos || param.front() == '=')
                throw UsageError("--param takes NAME=VALUE, not '" + param + "'");
    } catch (const std::exception& e) {
        std::cerr << "qel-track: " << e.what() << "\nusage: qel-track [VIDEO...] [options]\n";
        return kUsage;
    }

    // The module may reopen the process's standard streams into the SDK's log
    // directory: the tool keeps its own copies.
    if (FILE* errors = KeepStandardStream(STDERR_FILENO, "w")) {
        setvbuf(errors, nullptr, _IOLBF, 0);
        g_errors = errors;
    }
    FILE* file =
        options.output.empty() ? KeepStandardStream(STDOUT_FILENO, "w") : std::fopen(options.output.c_str(), "w");
    const std::string outputName = options.output.empty() ? std::string("standard output") : "'" + options.output + "'";
    if (file == nullptr) {
        Complain("cannot write " + outputName);
        return kOutput;
    }
    Output output(file, outputName);
    if (!options.annotate.empty() && !std::ofstream(options.annotate, std::ios::app)) {
        Complain("cannot write the annotation '" + options.annotate + "'");
        return kOutput;
    }
    int status = kModule;
    try {
        Session session(options, output);
        status = session.Execute();
    } catch (const std::exception& e) {
        Complain(e.what());
    }
    if (!output.Close() && status == kOk) status = kOutput;
    if (status == kOutput && output.Failed()) Complain("cannot write " + outputName);
    return status;
}

}  // namespace QelTrack

int main(int argc, char** argv)
{
    return QelTrack::Main(argc, argv);
}
