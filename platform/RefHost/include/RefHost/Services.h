#pragma once
// The host's services: what a module obtains at initialisation.

#include <atomic>

#include "Kest8/Logger.h"
#include "Kest8/MFF.h"
#include "Kest8/Targets.h"
#include "RefHost/Contract.h"

namespace RefHost {

// Recording of targets and enumerators comes with the event framework.
class TargetEnumeratorFactory : public Kest8::Analytics::ITargetEnumeratorFactory {
public:
    REFHOST_CONTRACTS(Kest8::Analytics::ITargetEnumeratorFactory)

    Kest8::IRectangleEnumerator* CreateRectangleEnumerator(const Kest8::Rect*, uint32_t) override { return nullptr; }
    Kest8::IPolylineEnumerator* CreatePolylineEnumerator() override { return nullptr; }
    Kest8::IMask* CreateMask(uint32_t, uint32_t) override { return nullptr; }
    Kest8::IMultimediaBuffer* CreateHumanBoneTargetList(uint64_t) override { return nullptr; }
    Kest8::Analytics::ITargetEnumerator* CreateTargetEnumerator(uint64_t) override { return nullptr; }
    uint32_t GetMaxTargetCount() const override { return 1024; }
    Kest8::Analytics::ITargetEnumeratorAdjuster* CreateTargetEnumeratorAdjuster(uint64_t) override { return nullptr; }
};

// Held by modules and never called; counts calls so tests can tell.
class BlobFrameFactory final : public Kest8::MFF::IBlobFrameFactory {
public:
    REFHOST_CONTRACTS(Kest8::MFF::IBlobFrameFactory)

    Kest8::MFF::ISample* CreateBlobFrame(const void*, uint32_t, uint64_t) override
    {
        ++m_calls;
        return nullptr;
    }
    int Calls() const { return m_calls.load(); }

private:
    std::atomic<int> m_calls{0};
};

enum class Service { Logger, TargetEnumeratorFactory, BlobFrameFactory };

// Answers QueryService with the objects it was given, unless withheld.
class ServiceProvider final : public Kest8::IServiceProvider {
public:
    ServiceProvider(Kest8::ILogger* logger, Kest8::Analytics::ITargetEnumeratorFactory* targets,
                    Kest8::MFF::IBlobFrameFactory* blobs)
        : m_logger(logger), m_targets(targets), m_blobs(blobs)
    {
    }

    REFHOST_CONTRACTS(Kest8::IServiceProvider)

    Kest8::IContract* QueryService(const char* typeName) override;

    void Withhold(Service service, bool withheld = true);
    int Queries() const { return m_queries.load(); }

private:
    Kest8::ILogger* m_logger;
    Kest8::Analytics::ITargetEnumeratorFactory* m_targets;
    Kest8::MFF::IBlobFrameFactory* m_blobs;
    bool m_withholdLogger = false;
    bool m_withholdTargets = false;
    bool m_withholdBlobs = false;
    std::atomic<int> m_queries{0};
};

}  // namespace RefHost
