#include "Session.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "ModuleDir.h"
#include "Parameters.h"
#include "Progress.h"
#include "Records.h"
#include "RefHost/Contract.h"
#include "Sources.h"
#include "Summary.h"

namespace QelTrack {

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

double Session::RunStreams()
{
    uint64_t expected = 0;
    for (const auto& stream : m_streams) {
        const auto count = stream->Source().FrameCount();
        expected += m_options.frames ? std::min<uint64_t>(count.value_or(*m_options.frames), *m_options.frames)
                                     : count.value_or(0);
    }
    const bool progress = isatty(STDERR_FILENO) != 0;
    Progress bar(m_shared.decoded, expected);
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
        std::fprintf(Messages(), "\n");
    }
    return seconds;
}

int Session::Execute()
{
    if (const int prepared = Prepare(); prepared != kOk) return prepared;
    const double seconds = RunStreams();
    Close();

    RunSummary summary(m_options.realtime);
    for (auto& stream : m_streams) {
        // Summary first: it settles the stream's counts and scores.
        json record = stream->Summary(stream->Seconds());
        summary.Add(std::move(record), stream->Totals(), stream->Latency(), stream->Scores(), stream->MaxLateMs());
    }
    // Contract names the module asked for that no host describes.
    const auto violations = RefHost::ContractViolations();
    for (const auto& violation : violations) std::fprintf(Messages(), "contract violation: %s\n", violation.c_str());
    m_shared.output.Write(summary.Lines(seconds, violations.size()));
    return Verdict(summary.Total());
}

int Session::Verdict(const Counts& total) const
{
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

}  // namespace QelTrack
