#include "Detector.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "Log.h"

namespace QelObjectTracker {

namespace {

constexpr const char* kDetectorsGroup = "Tracker";
constexpr const char* kWrapperLibrary = "QelWrapperGpu";
constexpr const char* kObserverFactory = "CreateObjectObserver";
constexpr int64_t kMetricParameter = 16000;
constexpr uint32_t kTrackObjectClass = 1;

// Statistics are published when both the frame time and the monotonic
// clock have advanced by more than these since the last publication.
constexpr uint64_t kStatisticsFramePeriod = 14999;
constexpr int64_t kStatisticsClockPeriodNs = 14'999'999'999;

// Frame time between two attempts to build an observer when there is none:
// a wrapper or data fixed on disk, or resources freed, are picked up alone.
constexpr uint64_t kBuildRetryPeriod = 10000;

// Bit of the advisor's flags that asks for device advice.
constexpr uint32_t kAdvisorWantsDeviceAdvice = 2;
constexpr uint32_t kAdviceGpu = 4;
constexpr uint32_t kAdviceCpu = 1;

constexpr const char* kDetectorScalings[] = {"640", "960", "1280", "1920", "2560", "3840", "5120", "7680", "15360"};

using CreateObjectObserverFn = QelWrapper::IObjectObserver*(const QelWrapper::Configurations*);

Kest8::Statistics::ISink* SinkOf(Kest8::IContract* hostContext)
{
    return Kest8::QueryContractAs<Kest8::Statistics::ISink>(hostContext);
}

int64_t SteadyNow()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// size x fraction truncated toward zero, when it is a number that fits int32.
bool ToPixels(uint32_t size, double fraction, int32_t& pixels)
{
    const double value = static_cast<double>(size) * fraction;
    if (!std::isfinite(value) || value <= -2147483649.0 || value >= 2147483648.0) return false;
    pixels = static_cast<int32_t>(value);
    return true;
}

}  // namespace

// Messages of the frame path all carry the function name "Receive".
#define RECEIVE_LOG(level, ...)                                                                                 \
    do {                                                                                                        \
        if (::KestFramework::IsLogged(logger, (level)))                                                         \
            ::KestFramework::LogLine(logger, (level), __FILE__, __LINE__, "Receive", fmt::format(__VA_ARGS__)); \
    } while (false)

Detector::Detector(const std::string& modulePath, Kest8::ILogger* logger,
                   Kest8::Analytics::ITargetEnumeratorFactory* targetEnumeratorFactory,
                   Kest8::MFF::IBlobFrameFactory* blobFrameFactory, Kest8::IContract* hostContext,
                   MonotonicClock monotonicClock)
    : logger(logger),
      statisticsSink(SinkOf(hostContext)),
      targetEnumeratorFactory(targetEnumeratorFactory),
      blobFrameFactory(blobFrameFactory),
      eventFactory(static_cast<Kest8::Analytics::IDetector*>(this), hostContext, logger, kDetectorsGroup),
      statistics(std::make_unique<Kest8::Framework::DetectorStatistics>(statisticsSink, kMetricParameter)),
      clock(monotonicClock ? std::move(monotonicClock) : MonotonicClock(SteadyNow))
{
    lastStatisticsTime = clock();
    targetReporter =
        Kest8::Framework::TargetsReportingHelper::Create(targetEnumeratorFactory, eventFactory, kDetectorsGroup, false);
    config.logger = logger;
    config.modulePath = modulePath;
}

Detector::~Detector()
{
    // Each step on its own: a failing one must not cost the host the others,
    // above all the last box of every track.
    if (observer) {
        try {
            observer->Stop();
        } catch (...) {
        }
        try {
            DrainResults(*observer);
        } catch (...) {
        }
    }
    try {
        EndAllTracks();
    } catch (...) {
    }
    targetReporter.reset();
    tracks.clear();
    statistics.reset();
    observer.reset();
    plugin.reset();
}

const Kest8::IContract* Detector::QueryContract(const char* typeName) const
{
    return const_cast<Detector*>(this)->QueryContract(typeName);
}

Kest8::IContract* Detector::QueryContract(const char* typeName)
{
    using namespace Kest8;
    using namespace Kest8::Analytics;
    if (IsContract<IContract>(typeName) || IsContract<IDetector>(typeName) || IsContract<IDestroyable>(typeName))
        return static_cast<IDetector*>(this);
    if (IsContract<ISyncAdjuster>(typeName) || IsContract<IVisualSyncAdjuster>(typeName))
        return static_cast<IVisualSyncAdjuster*>(this);
    if (IsContract<IMediaReceiver>(typeName)) return static_cast<IMediaReceiver*>(this);
    if (IsContract<IAdvisingDetector>(typeName)) return static_cast<IAdvisingDetector*>(this);
    return nullptr;
}

void Detector::Destroy()
{
    delete this;
}

Kest8::ResultCode Detector::Receive(Kest8::MFF::ISample* sample)
{
    if (sample == nullptr) return Kest8::Result::InvalidArgument;
    auto* composite = Kest8::QueryContractAs<Kest8::MFF::ICompositeBuffer2>(sample);
    auto* planar = Kest8::QueryContractAs<Kest8::MFF::IPlanarBuffer>(sample);
    if (composite == nullptr && planar == nullptr) {
        sample->Release();
        return Kest8::Result::InvalidArgument;
    }

    Kest8::ResultCode result = Kest8::Result::InternalFailure;
    bool failed = false;
    try {
        const uint64_t timestamp = sample->GetTimestamp();
        std::lock_guard<std::mutex> lock(mutex);
        result = ReceiveLocked(timestamp, composite, planar);
    } catch (const std::exception& e) {
        RECEIVE_LOG(3, "{}", e.what());
        failed = true;
    } catch (...) {
        RECEIVE_LOG(0, "Non standard exception.");
        failed = true;
    }
    if (failed) {
        result = Kest8::Result::InternalFailure;
        try {
            std::lock_guard<std::mutex> lock(mutex);
            statistics->CountError();
        } catch (...) {
        }
    }
    sample->Release();
    return result;
}

Kest8::ResultCode Detector::ReceiveLocked(uint64_t timestamp, Kest8::MFF::ICompositeBuffer2* composite,
                                          Kest8::MFF::IPlanarBuffer* planar)
{
    UpdateStatistics(timestamp);

    const uint32_t width = composite ? composite->GetWidth() : planar->GetWidth();
    const uint32_t height = composite ? composite->GetHeight() : planar->GetHeight();
    if (width == 0 || height == 0) {
        RECEIVE_LOG(3, "Invalid frame.");
        return Kest8::Result::InvalidArgument;
    }
    if (settingsChanged || static_cast<int64_t>(width) != config.frameWidth ||
        static_cast<int64_t>(height) != config.frameHeight)
        Reconfigure(width, height, timestamp);
    else if (!observer && timestamp - lastBuildTimestamp >= kBuildRetryPeriod)
        RetryBuild(timestamp);
    lastFrameTimestamp = timestamp;
    if (!observer) return Kest8::Result::NoTracker;

    // Both are always called; either view may be absent.
    const bool pushedGpu = observer->PushGpuFrame(composite);
    const bool pushedCpu = observer->PushFrame(planar);
    if (!pushedGpu && !pushedCpu) RECEIVE_LOG(3, "failed pushing the frame to stream");
    DrainResults(*observer);
    return Kest8::Result::Success;
}

void Detector::UpdateStatistics(uint64_t timestamp)
{
    if (!observer || timestamp - lastStatisticsTimestamp <= kStatisticsFramePeriod) return;
    const int64_t now = clock();
    if (now - lastStatisticsTime <= kStatisticsClockPeriodNs) return;
    QelWrapper::StreamStatistics snapshot = observer->GetStatistics();
    const int64_t elapsedMs = (now - lastStatisticsTime) / 1'000'000;
    statistics->Update(snapshot, elapsedMs);
    lastStatisticsTime = now;
    lastStatisticsTimestamp = timestamp;
}

void Detector::Reconfigure(uint32_t width, uint32_t height, uint64_t timestamp)
{
    settingsChanged = false;
    // Once stopped, the old observer takes no more frames: it goes whether or
    // not a successor can be built, after its results and tracks are reported.
    std::unique_ptr<QelWrapper::IObjectObserver> previous = std::move(observer);
    try {
        if (previous) {
            previous->Stop();
            DrainResults(*previous);
        }
        EndAllTracks();

        if (width > static_cast<uint32_t>(std::numeric_limits<int32_t>::max()) ||
            height > static_cast<uint32_t>(std::numeric_limits<int32_t>::max()))
            throw std::runtime_error(fmt::format("Frame size {}x{} is too large.", width, height));
        config.frameWidth = static_cast<int32_t>(width);
        config.frameHeight = static_cast<int32_t>(height);
        BuildObserver(timestamp);
    } catch (...) {
        previous.reset();
        ReleaseUnusedPlugin();
        if (!tracks.empty()) {
            // Tracks of a stop or drain that failed: no observer reports them any more.
            try {
                EndAllTracks();
            } catch (...) {
            }
        }
        throw;
    }
    previous.reset();
    ReleaseUnusedPlugin();
}

void Detector::RetryBuild(uint64_t timestamp)
{
    try {
        if (!tracks.empty()) EndAllTracks();
        BuildObserver(timestamp);
    } catch (...) {
        ReleaseUnusedPlugin();
        throw;
    }
    ReleaseUnusedPlugin();
}

void Detector::BuildObserver(uint64_t timestamp)
{
    lastBuildTimestamp = timestamp;
    const uint32_t width = static_cast<uint32_t>(config.frameWidth);
    const uint32_t height = static_cast<uint32_t>(config.frameHeight);

    // The region must come out as pixels inside the frame, as the wrapper
    // requires of every rectangle it cuts.
    int32_t x = 0, y = 0, w = 0, h = 0;
    const bool numeric = ToPixels(width, config.roiLeft, x) && ToPixels(height, config.roiTop, y) &&
                         ToPixels(width, config.roiRelWidth, w) && ToPixels(height, config.roiRelHeight, h);
    if (!numeric || x < 0 || y < 0 || w <= 0 || h <= 0 || static_cast<int64_t>(x) + w > config.frameWidth ||
        static_cast<int64_t>(y) + h > config.frameHeight)
        throw std::runtime_error(fmt::format("Region of interest {}, {}, {}, {} does not lie inside the {}x{} frame.",
                                             config.roiLeft, config.roiTop, config.roiRelWidth, config.roiRelHeight,
                                             width, height));
    config.roiX = x;
    config.roiY = y;
    config.roiWidth = w;
    config.roiHeight = h;

    if (!plugin) plugin = LoadPlugin(kWrapperLibrary);
    if (!plugin) return;
    auto* create = plugin->Get<CreateObjectObserverFn>(kObserverFactory);
    observer.reset(create(&config));
    // The new observer's counters start from zero.
    if (observer) statistics->RestartStreamCounters();
}

void Detector::ReleaseUnusedPlugin() noexcept
{
    // A library that gave no observer is not kept: the next attempt loads
    // the file afresh (a replaced or repaired wrapper, for one).
    if (!observer) plugin.reset();
}

void Detector::DrainResults(QelWrapper::IObjectObserver& from)
{
    while (from.PopResult(pending)) {
        const uint64_t timestamp = pending.timestamp;
        for (const auto& object : pending.objects) {
            auto found = std::find_if(tracks.begin(), tracks.end(),
                                      [&](const TrackRecord& t) { return t.trackId == object.trackId; });
            if (found != tracks.end()) {
                found->phase = 0;
            } else {
                if (detectionThreshold > object.score) continue;
                TrackRecord fresh;
                fresh.trackId = object.trackId;
                fresh.phase = 1;
                fresh.firstTimestamp = timestamp;
                tracks.push_back(fresh);
                found = std::prev(tracks.end());
            }
            found->lastTimestamp = timestamp;
            const QelWrapper::RelativeRect r = from.ToRelativeRect(object);
            found->box.x = std::max(r.x, 0.0);
            found->box.width = std::min(r.x + r.width, 1.0) - found->box.x;
            found->box.y = std::max(r.y, 0.0);
            found->box.height = std::min(r.y + r.height, 1.0) - found->box.y;
        }
        for (int32_t id : pending.finishedTrackIds) {
            for (auto& track : tracks) {
                if (track.trackId != id) continue;
                track.lastTimestamp = timestamp;
                track.phase = 2;
            }
        }

        auto report = targetReporter->BeginReport(timestamp);
        for (auto it = tracks.begin(); it != tracks.end();) {
            if (it->unannounced) {
                // Ended for the host when the reporter was replaced: it
                // appears again, or, ended meanwhile, is gone already.
                it->unannounced = false;
                if (it->phase == 2) {
                    it = tracks.erase(it);
                    continue;
                }
                report.AddTarget(static_cast<uint32_t>(it->trackId), kTrackObjectClass,
                                 Kest8::Framework::kTrackAppeared, &it->box);
                ++it;
                continue;
            }
            if (it->phase == 1) statistics->CountNewTrack();
            report.AddTarget(static_cast<uint32_t>(it->trackId), kTrackObjectClass,
                             static_cast<Kest8::Framework::TrackPhase>(it->phase), &it->box);
            it = it->phase == 2 ? tracks.erase(it) : std::next(it);
        }
    }
}

void Detector::EndAllTracks()
{
    auto report = targetReporter->BeginReport(lastFrameTimestamp);
    for (const auto& track : tracks)
        if (!track.unannounced)
            report.AddTarget(static_cast<uint32_t>(track.trackId), kTrackObjectClass, Kest8::Framework::TrackPhase(2),
                             &track.box);
    tracks.clear();
}

Kest8::ResultCode Detector::SetValue(const char* name, bool value)
{
    if (name == nullptr) return Kest8::Result::InvalidArgument;
    if (std::strcmp(name, "TargetLifeEvent") != 0) return Kest8::Result::UnknownParameter;
    std::lock_guard<std::mutex> lock(mutex);
    // Dropping the previous reporter closes the targets it still had open;
    // the tracks go on, so the new one announces them afresh.
    targetReporter =
        Kest8::Framework::TargetsReportingHelper::Create(targetEnumeratorFactory, eventFactory, kDetectorsGroup, value);
    for (auto& track : tracks) track.unannounced = true;
    return Kest8::Result::Success;
}

Kest8::ResultCode Detector::SetValue(const char* name, int32_t value)
{
    if (name == nullptr) return Kest8::Result::InvalidArgument;
    std::lock_guard<std::mutex> lock(mutex);
    if (std::strcmp(name, "NumThreads") == 0) {
        config.numThreads = value;
    } else if (std::strcmp(name, "DetectorStep") == 0) {
        config.detectorStep = value;
    } else if (std::strcmp(name, "DetectionsSkipped") == 0) {
        config.detectionsSkipped = value;
    } else if (std::strcmp(name, "MinimalTrackLength") == 0) {
        config.minimalTrackLength = value;
    } else if (std::strcmp(name, "DetectionThreshold") == 0) {
        detectionThreshold = static_cast<float>(value) / 100.0f;
    } else {
        return Kest8::Result::UnknownParameter;
    }
    settingsChanged = true;
    return Kest8::Result::Success;
}

Kest8::ResultCode Detector::SetValue(const char* name, double)
{
    return name == nullptr ? Kest8::Result::InvalidArgument : Kest8::Result::UnknownParameter;
}

Kest8::ResultCode Detector::SetValue(const char* name, const char* value)
{
    if (name == nullptr) return Kest8::Result::InvalidArgument;
    const bool isMode = std::strcmp(name, "mode") == 0;
    const bool isScaling = std::strcmp(name, "DetectorScaling") == 0;
    if (!isMode && !isScaling) return Kest8::Result::UnknownParameter;
    if (value == nullptr) return Kest8::Result::InvalidArgument;
    std::lock_guard<std::mutex> lock(mutex);
    if (isMode) {
        const size_t length = std::strlen(value);
        if (std::strncmp(value, "GPU", 3) == 0) {
            config.deviceType = QelWrapper::GPU;
            // The last character as a decimal digit: GPU1 gives 1, GPU alone 0.
            const char last = value[length - 1];
            config.deviceIndex = std::isdigit(static_cast<unsigned char>(last)) ? last - '0' : 0;
        } else {
            // "CPU", and anything else that names no GPU, runs on the CPU.
            config.deviceType = QelWrapper::CPU;
        }
        settingsChanged = true;
        return Kest8::Result::Success;
    }
    for (const char* scaling : kDetectorScalings) {
        if (std::strcmp(value, scaling) != 0) continue;
        config.detectorScaling = std::atoi(scaling);
        settingsChanged = true;
        return Kest8::Result::Success;
    }
    return Kest8::Result::ValueNotAccepted;
}

Kest8::ResultCode Detector::SetValue(const char* name, Kest8::IRectangleEnumerator* value)
{
    if (name == nullptr) return Kest8::Result::InvalidArgument;
    if (std::strcmp(name, "RegionOfInterest") != 0) return Kest8::Result::UnknownParameter;
    if (value == nullptr) return Kest8::Result::InvalidArgument;
    std::lock_guard<std::mutex> lock(mutex);
    value->Reset();
    if (!value->MoveNext()) return Kest8::Result::InvalidArgument;
    const Kest8::IRectangle* rect = value->Current();
    if (rect == nullptr) return Kest8::Result::InvalidArgument;
    config.roiLeft = rect->GetLeft();
    config.roiTop = rect->GetTop();
    config.roiRelWidth = rect->GetWidth();
    config.roiRelHeight = rect->GetHeight();
    settingsChanged = true;
    return value->MoveNext() ? Kest8::Result::InvalidArgument : Kest8::Result::Success;
}

Kest8::ResultCode Detector::SetValue(const char* name, Kest8::IPolylineEnumerator*)
{
    return name == nullptr ? Kest8::Result::InvalidArgument : Kest8::Result::UnknownParameter;
}

Kest8::ResultCode Detector::SetValue(const char* name, Kest8::IMask*)
{
    return name == nullptr ? Kest8::Result::InvalidArgument : Kest8::Result::UnknownParameter;
}

void Detector::SetAdvisor(Kest8::Analytics::IDetectorAdvisor* newAdvisor)
{
    if (newAdvisor != nullptr && (newAdvisor->GetAdvisorFlags() & kAdvisorWantsDeviceAdvice) != 0) {
        std::lock_guard<std::mutex> lock(mutex);
        advisor = newAdvisor;
        Kest8::Analytics::DetectorAdvice advice{};
        advice.value = config.deviceType == QelWrapper::GPU ? kAdviceGpu : kAdviceCpu;
        advisor->Advise(advice);
        return;
    }
    std::lock_guard<std::mutex> lock(mutex);
    advisor = nullptr;
}

}  // namespace QelObjectTracker
