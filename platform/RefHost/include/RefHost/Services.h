#pragma once
// The host's services: what a module obtains at initialisation.

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "Kest8/Logger.h"
#include "Kest8/MFF.h"
#include "Kest8/Targets.h"
#include "RefHost/Contract.h"
#include "RefHost/Targets.h"

namespace RefHost {

// Makes target lists (see Targets.h) and the value objects events take.
class TargetEnumeratorFactory : public Kest8::Analytics::ITargetEnumeratorFactory {
public:
    TargetEnumeratorFactory();
    ~TargetEnumeratorFactory() override;
    TargetEnumeratorFactory(const TargetEnumeratorFactory&) = delete;
    TargetEnumeratorFactory& operator=(const TargetEnumeratorFactory&) = delete;

    REFHOST_CONTRACTS(Kest8::Analytics::ITargetEnumeratorFactory)

    // Owned by the factory.
    Kest8::IRectangleEnumerator* CreateRectangleEnumerator(const Kest8::Rect* rects, uint32_t count) override;
    Kest8::IPolylineEnumerator* CreatePolylineEnumerator() override;
    Kest8::IMask* CreateMask(uint32_t width, uint32_t height) override;
    // Owned by the caller until handed to an event; Destroy deletes them.
    Kest8::IMultimediaBuffer* CreateHumanBoneTargetList(uint64_t timestamp) override;
    Kest8::Analytics::ITargetEnumerator* CreateTargetEnumerator(uint64_t timestamp) override;
    uint32_t GetMaxTargetCount() const override { return 1024; }
    Kest8::Analytics::ITargetEnumeratorAdjuster* CreateTargetEnumeratorAdjuster(uint64_t timestamp) override;

    // Misbehaviour for tests.
    void ReturnNoAdjuster(bool refused = true) { m_noAdjuster.store(refused); }
    void RefuseAppend(bool refused = true) { m_state->refuseAppend.store(refused); }
    void RefuseTargetValue(const std::string& name, bool refused = true);

    // Lists (and human-bone lists) made, destroyed and still alive.
    size_t CreatedLists() const;
    size_t DestroyedLists() const;
    size_t LiveLists() const;
    // Time stamps of every adjuster request, refused ones included.
    std::vector<uint64_t> AdjusterRequests() const;
    // The requests so far, and forgets them.
    std::vector<uint64_t> TakeAdjusterRequests();
    std::vector<std::string> Violations() const;

private:
    std::shared_ptr<TargetListState> m_state;
    std::atomic<bool> m_noAdjuster{false};
    std::vector<uint64_t> m_requests;  // under m_state->mutex
    std::vector<std::unique_ptr<Kest8::IContract>> m_owned;
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
