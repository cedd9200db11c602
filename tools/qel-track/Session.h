#pragma once
// One run: the module loaded and initialised, a detector per stream, the
// streams fed at once, and everything released in order on every path.

#include <memory>
#include <vector>

#include "Options.h"
#include "Output.h"
#include "RefHost/Host.h"
#include "RefHost/ModuleLoader.h"
#include "RefHost/Targets.h"
#include "Scene/Generator.h"
#include "Stream.h"
#include "StreamLogger.h"
#include "Truth.h"

namespace QelTrack {

class Session {
public:
    Session(const Options& options, Output& output)
        : m_options(options), m_logger(options.logLevel), m_shared{options, output, m_logger, m_targets}
    {
    }
    ~Session() { Close(); }

    // The run's exit status.
    int Execute();

private:
    int Prepare();
    // Destroys the detectors still there, finalises the module, writes the rest.
    void Close();
    void CollectModuleLines();
    // Feeds every stream from its own thread until all are done; the seconds
    // that took.
    double RunStreams();
    // The exit status for what the streams went through.
    int Verdict(const Counts& total) const;

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

}  // namespace QelTrack
