// qel-track: a host that runs the tracker module on a video, or on a built-in
// scene with ground truth, and writes what the host received as JSON Lines.

#include <unistd.h>

#include <boost/program_options.hpp>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "Annotate.h"
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

namespace QelTrack {

namespace {

enum Exit { kOk = 0, kUsage = 2, kInput = 3, kModule = 4 };

constexpr const char* kPushRefused = "failed pushing the frame to stream";
constexpr auto kRetryFor = std::chrono::seconds(10);
constexpr auto kMaxWait = std::chrono::milliseconds(16);

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};
struct ModuleError : std::runtime_error {
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

class SceneSource final : public FrameSource {
public:
    explicit SceneSource(const Scene::Settings& settings) : m_scene(settings) {}
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
    const Scene::Generator& Generator() const { return m_scene; }

private:
    Scene::Generator m_scene;
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

struct Options {
    std::string video;
    std::vector<std::string> params;
    std::string inputFormat = "yuv420";
    std::string annotate;
    std::string output;
    std::string truth;
    std::optional<uint32_t> frames;
    int32_t logLevel = 1;
    std::string moduleDir;
    uint64_t seed = 1;
};

class Run {
public:
    explicit Run(const Options& options) : m_options(options), m_host(options.logLevel) {}

    int Execute(std::ostream& out);

private:
    // True when the detector refused to push a frame since the last call.
    bool Emit(std::ostream& out);
    void NoteTargets(const RefHost::EventRecord& event, json& record);

    const Options& m_options;
    RefHost::Host m_host;
    size_t m_logIndex = 0;
    size_t m_submitIndex = 0;
    uint64_t m_targetLists = 0;
    uint64_t m_lifeEvents = 0;
    std::set<int32_t> m_trackIds;
    std::unique_ptr<GroundTruth> m_truth;
    std::unique_ptr<Scorer> m_scorer;
    std::unique_ptr<Annotator> m_annotator;
};

void Run::NoteTargets(const RefHost::EventRecord& event, json& record)
{
    ++m_targetLists;
    record = {{"type", "targets"}, {"timestamp", event.timestamp}, {"targets", json::array()}};
    const RefHost::EventValue* list = event.Find("TargetList");
    std::vector<DrawnTarget> drawn;
    if (list != nullptr && list->Targets() != nullptr) {
        for (const auto& t : list->Targets()->Targets()) {
            const Kest8::Rect box = t.box.value_or(Kest8::Rect{});
            json target = {{"phase", t.phase.value_or(0)},
                           {"box", {box.left, box.top, box.width, box.height}},
                           {"values", ValuesJson(t.values)}};
            record["targets"].push_back(target);
            DrawnTarget d{box.left,           box.top, box.width, box.height, t.Int32("ObjectId").value_or(-1),
                          t.phase.value_or(0)};
            m_trackIds.insert(d.objectId);
            drawn.push_back(d);
        }
    }
    if (m_scorer) m_scorer->AddReport(event.timestamp, drawn);
    if (m_annotator) m_annotator->AddReport(event.timestamp, std::move(drawn));
}

// Writes what the host received since the last call, in arrival order.
bool Run::Emit(std::ostream& out)
{
    std::vector<std::pair<uint64_t, json>> records;
    bool refused = false;
    for (const auto& line : m_host.logger.LinesFrom(m_logIndex)) {
        ++m_logIndex;
        refused = refused || line.text == kPushRefused;
        records.emplace_back(line.sequence, json{{"type", "log"},
                                                 {"level", line.level},
                                                 {"file", line.file},
                                                 {"line", line.line},
                                                 {"function", line.function},
                                                 {"text", line.text}});
    }
    for (const auto& event : m_host.context.Events()) {
        json record;
        if (event.name == "TargetList") {
            NoteTargets(event, record);
        } else {
            if (event.name == "TargetLifeEvent") ++m_lifeEvents;
            record = {{"type", "event"},
                      {"name", event.name},
                      {"phase", event.phase ? json(*event.phase) : json()},
                      {"timestamp", event.timestamp},
                      {"committed", event.outcome == RefHost::Outcome::Committed},
                      {"values", ValuesJson(event.values)}};
        }
        records.emplace_back(event.sequence, std::move(record));
    }
    m_host.context.Clear();
    for (const auto& s : m_host.statistics.SubmissionsFrom(m_submitIndex)) {
        ++m_submitIndex;
        json labels = json::object();
        for (const auto& [k, v] : s.labels) labels[k] = v;
        json value = std::visit([](const auto& x) -> json { return x; }, s.value);
        records.emplace_back(s.sequence,
                             json{{"type", "metric"}, {"name", s.metric}, {"value", value}, {"labels", labels}});
    }
    std::stable_sort(records.begin(), records.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& [sequence, record] : records) out << record.dump() << '\n';
    return refused;
}

int Run::Execute(std::ostream& out)
{
    std::unique_ptr<FrameSource> source;
    SceneSource* scene = nullptr;
    try {
        if (m_options.video.empty()) {
            Scene::Settings settings;
            settings.seed = m_options.seed;
            if (m_options.frames) settings.frames = std::min(settings.frames, *m_options.frames);
            auto built = std::make_unique<SceneSource>(settings);
            scene = built.get();
            source = std::move(built);
        } else {
            source = std::make_unique<FileSource>(m_options.video);
        }
        if (!m_options.truth.empty())
            m_truth = std::make_unique<MotTruth>(m_options.truth);
        else if (scene != nullptr)
            m_truth = std::make_unique<SceneTruth>(scene->Generator());
        if (m_truth) m_scorer = std::make_unique<Scorer>(*m_truth);
    } catch (const InputError& e) {
        std::cerr << "qel-track: " << e.what() << '\n';
        return kInput;
    }

    const std::string moduleDir = m_options.moduleDir.empty() ? DefaultModuleDir() : m_options.moduleDir;
    std::unique_ptr<RefHost::LoadedModule> module;
    try {
        module = std::make_unique<RefHost::LoadedModule>(moduleDir + "/" + RefHost::kModuleLibraryName);
    } catch (const std::exception& e) {
        std::cerr << "qel-track: " << e.what() << '\n';
        return kModule;
    }
    const int32_t init = module->Initialize(&m_host.services, moduleDir.c_str());
    if (init != 0) {
        Emit(out);
        std::cerr << "qel-track: InitializeModule answered " << init << " (" << ResultMeaning(init) << ")\n";
        return kModule;
    }
    Kest8::Analytics::IDetector* detector = module->Get()->CreateDetector("QelObjectTracker", &m_host.context);
    if (detector == nullptr) {
        Emit(out);
        module->Finalize();
        std::cerr << "qel-track: the module created no detector \"QelObjectTracker\"\n";
        return kModule;
    }
    auto* adjuster = Kest8::QueryContractAs<Kest8::Analytics::IVisualSyncAdjuster>(detector);
    auto* receiver = Kest8::QueryContractAs<Kest8::Analytics::IMediaReceiver>(detector);
    auto finish = [&] {
        detector->Destroy();
        module->Finalize();
        Emit(out);
    };

    for (const auto& param : m_options.params) {
        const size_t eq = param.find('=');
        if (eq == std::string::npos || eq == 0) {
            finish();
            std::cerr << "qel-track: --param takes NAME=VALUE, not '" << param << "'\n";
            return kUsage;
        }
        const std::string name = param.substr(0, eq);
        const std::string value = param.substr(eq + 1);
        int32_t result = 0;
        try {
            result = SetParameter(*adjuster, name, value);
        } catch (const UsageError& e) {
            finish();
            std::cerr << "qel-track: " << e.what() << '\n';
            return kUsage;
        }
        if (result != 0) {
            finish();
            std::cerr << "qel-track: parameter " << name << "=" << value << " refused: result " << result << " ("
                      << ResultMeaning(result) << ")\n";
            return kUsage;
        }
    }

    if (!m_options.annotate.empty()) {
        std::optional<uint32_t> expected = source->FrameCount();
        if (m_options.frames) expected = expected ? std::min(*expected, *m_options.frames) : *m_options.frames;
        m_annotator = std::make_unique<Annotator>(m_options.annotate, source->Fps(), expected);
    }

    RefHost::SampleShape shape;
    const std::string& format = m_options.inputFormat;
    shape.layout = format == "yuv422"   ? RefHost::PlanarLayout::I422
                   : format == "yuv444" ? RefHost::PlanarLayout::I444
                   : format == "gray"   ? RefHost::PlanarLayout::Gray
                                        : RefHost::PlanarLayout::I420;
    shape.planar = format != "nv12";
    shape.nv12 = format == "nv12";

    const bool progress = isatty(STDERR_FILENO) != 0;
    const auto expected = source->FrameCount();
    const auto started = std::chrono::steady_clock::now();
    uint32_t frames = 0;
    RgbFrame frame;
    Emit(out);
    try {
        while ((!m_options.frames || frames < *m_options.frames) && source->Next(frame)) {
            shape.width = frame.width;
            shape.height = frame.height;
            shape.timestamp = frame.timestampMs;
            auto sample = RefHost::FrameSample::FromRgb(shape, frame.rgb.data());
            if (m_scorer) m_scorer->AddFrame(frame.timestampMs, frame.width, frame.height);
            int32_t result = receiver->Receive(sample->Sample());
            ++frames;
            if (m_annotator) m_annotator->AddFrame(frame);
            // A refused push means the SDK still holds earlier frames: give it
            // time to deliver their results and push the same frame again.
            auto wait = std::chrono::milliseconds(1);
            for (auto waited = wait * 0; Emit(out) && waited < kRetryFor;
                 waited += wait, wait = std::min(wait * 2, kMaxWait)) {
                std::this_thread::sleep_for(wait);
                result = receiver->Receive(sample->Sample());
            }
            if (result != 0)
                out << json{{"type", "receive"}, {"timestamp", frame.timestampMs}, {"result", result}}.dump() << '\n';
            if (progress) {
                const double seconds =
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
                const uint32_t total = m_options.frames
                                           ? std::min(expected.value_or(*m_options.frames), *m_options.frames)
                                           : expected.value_or(0);
                std::string bar;
                if (total > 0) {
                    const uint32_t filled = std::min(30u, frames * 30 / total);
                    bar = "[" + std::string(filled, '=') + std::string(30 - filled, ' ') + "] ";
                }
                std::fprintf(stderr, "\r%s%u/%u frames, %.1f fps ", bar.c_str(), frames, total,
                             seconds > 0 ? frames / seconds : 0.0);
            }
        }
    } catch (const InputError& e) {
        finish();
        std::cerr << (progress ? "\n" : "") << "qel-track: " << e.what() << '\n';
        return kInput;
    }
    finish();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (progress) std::fprintf(stderr, "\n");
    if (m_annotator) m_annotator->Finish();

    json summary = {{"type", "summary"},
                    {"frames", frames},
                    {"targetLists", m_targetLists},
                    {"tracks", m_trackIds.size()},
                    {"lifeEvents", m_lifeEvents},
                    {"seconds", seconds},
                    {"fps", seconds > 0 ? frames / seconds : 0.0}};
    if (m_scorer) {
        const Scores::Summary s = m_scorer->Finish();
        summary["mota"] = s.mota;
        summary["idf1"] = s.idf1;
        summary["idSwitches"] = s.idSwitches;
        summary["precision"] = s.hypotheses == 0 ? 1.0 : static_cast<double>(s.matches) / s.hypotheses;
        summary["recall"] = s.truths == 0 ? 1.0 : static_cast<double>(s.matches) / s.truths;
    }
    // Contract names the module asked for that no host describes.
    const auto violations = RefHost::ContractViolations();
    for (const auto& violation : violations) std::fprintf(stderr, "contract violation: %s\n", violation.c_str());
    summary["contractViolations"] = violations.size();
    out << summary.dump() << '\n';
    return kOk;
}

}  // namespace

int Main(int argc, char** argv)
{
    Options options;
    po::options_description named("Options");
    named.add_options()("help,h", "show this help")("param",
                                                    po::value<std::vector<std::string>>(&options.params)->composing(),
                                                    "detector parameter NAME=VALUE, repeatable")(
        "input-format", po::value<std::string>(&options.inputFormat)->default_value("yuv420"),
        "yuv420|yuv422|yuv444|gray|nv12")("annotate", po::value<std::string>(&options.annotate),
                                          "also write annotated frames: a video, or a .png contact sheet")(
        "output", po::value<std::string>(&options.output), "output file (default: standard output)")(
        "truth", po::value<std::string>(&options.truth), "score against MOT-challenge ground truth in FILE")(
        "frames", po::value<uint32_t>(), "feed at most N frames")(
        "log-level", po::value<int32_t>(&options.logLevel)->default_value(1), "host logger level")(
        "module", po::value<std::string>(&options.moduleDir), "module directory")(
        "seed", po::value<uint64_t>(&options.seed)->default_value(1), "seed of the built-in scene");
    po::options_description hidden;
    hidden.add_options()("video", po::value<std::string>(&options.video));
    po::options_description all;
    all.add(named).add(hidden);
    po::positional_options_description positional;
    positional.add("video", 1);

    po::variables_map vm;
    try {
        po::store(po::command_line_parser(argc, argv).options(all).positional(positional).run(), vm);
        po::notify(vm);
    } catch (const std::exception& e) {
        std::cerr << "qel-track: " << e.what() << "\nusage: qel-track [VIDEO] [options]\n";
        return kUsage;
    }
    if (vm.count("help")) {
        std::cout << "usage: qel-track [VIDEO] [options]\n" << named;
        return kOk;
    }
    if (vm.count("frames")) options.frames = vm["frames"].as<uint32_t>();
    static const std::set<std::string> formats{"yuv420", "yuv422", "yuv444", "gray", "nv12"};
    if (!formats.count(options.inputFormat)) {
        std::cerr << "qel-track: --input-format takes yuv420, yuv422, yuv444, gray or nv12, not '"
                  << options.inputFormat << "'\n";
        return kUsage;
    }

    std::ofstream file;
    if (!options.output.empty()) {
        file.open(options.output);
        if (!file) {
            std::cerr << "qel-track: cannot write '" << options.output << "'\n";
            return kUsage;
        }
    }
    std::ostream& out = options.output.empty() ? std::cout : file;
    try {
        Run run(options);
        return run.Execute(out);
    } catch (const std::exception& e) {
        std::cerr << "qel-track: " << e.what() << '\n';
        return kModule;
    }
}

}  // namespace QelTrack

int main(int argc, char** argv)
{
    return QelTrack::Main(argc, argv);
}
