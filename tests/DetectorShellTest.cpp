// The detector's views and the parts of its contract that need no tracker.

#include <gtest/gtest.h>

#include <memory>

#include "RefHost/Host.h"
#include "RefHost/ModuleLoader.h"

namespace {

using namespace Kest8;
using namespace Kest8::Analytics;

const std::string kModuleDir = QEL_MODULE_DIR;

// A sample that offers neither buffer contract.
class BareSample final : public MFF::ISample {
public:
    REFHOST_BARE_SAMPLE_CONTRACTS(MFF::ISample)
    uint64_t GetTimestamp() const override { return 40; }
    void Release() override { ++releases; }
    int releases = 0;
};

class RecordingAdvisor final : public IDetectorAdvisor {
public:
    explicit RecordingAdvisor(uint32_t flags) : flags(flags) {}
    REFHOST_CONTRACTS(IDetectorAdvisor)
    uint32_t GetAdvisorFlags() const override { return flags; }
    void Advise(const DetectorAdvice& advice) override
    {
        ++advised;
        last = advice;
    }

    uint32_t flags;
    int advised = 0;
    DetectorAdvice last{};
};

class DetectorShell : public ::testing::Test {
protected:
    void SetUp() override
    {
        module = std::make_unique<RefHost::LoadedModule>(kModuleDir + "/libQelObjectTracker.so");
        ASSERT_EQ(module->Initialize(&host.services, kModuleDir.c_str()), 0);
        detector = module->Get()->CreateDetector("QelObjectTracker", &host.context);
        ASSERT_NE(detector, nullptr);
    }
    void TearDown() override
    {
        if (detector) detector->Destroy();
        module->Finalize();
    }

    template <class I>
    I* View()
    {
        return static_cast<I*>(detector->QueryContract(ContractName<I>()));
    }

    RefHost::Host host{0};
    std::unique_ptr<RefHost::LoadedModule> module;
    IDetector* detector = nullptr;
};

TEST_F(DetectorShell, QueryContractAnswersEveryViewFromEveryView)
{
    IContract* detectorView = detector;
    auto* receiver = View<IMediaReceiver>();
    auto* adjuster = View<IVisualSyncAdjuster>();
    auto* advising = View<IAdvisingDetector>();
    ASSERT_NE(receiver, nullptr);
    ASSERT_NE(adjuster, nullptr);
    ASSERT_NE(advising, nullptr);

    const IContract* views[] = {detectorView, receiver, adjuster, advising};
    for (const IContract* view : views) {
        IContract* mutableView = const_cast<IContract*>(view);
        EXPECT_EQ(mutableView->QueryContract(ContractName<IContract>()), detectorView);
        EXPECT_EQ(mutableView->QueryContract(ContractName<IDetector>()), detectorView);
        EXPECT_EQ(mutableView->QueryContract(ContractName<IDestroyable>()), detectorView);
        EXPECT_EQ(mutableView->QueryContract(ContractName<ISyncAdjuster>()), static_cast<IContract*>(adjuster));
        EXPECT_EQ(mutableView->QueryContract(ContractName<IVisualSyncAdjuster>()), static_cast<IContract*>(adjuster));
        EXPECT_EQ(mutableView->QueryContract(ContractName<IMediaReceiver>()), static_cast<IContract*>(receiver));
        EXPECT_EQ(mutableView->QueryContract(ContractName<IAdvisingDetector>()), static_cast<IContract*>(advising));
        EXPECT_EQ(mutableView->QueryContract(ContractName<IModule>()), nullptr);
        EXPECT_EQ(mutableView->QueryContract("QelObjectTracker"), nullptr);
        EXPECT_EQ(mutableView->QueryContract(nullptr), nullptr);
        // The const variant answers alike.
        EXPECT_EQ(view->QueryContract(ContractName<IMediaReceiver>()), static_cast<IContract*>(receiver));
        EXPECT_EQ(view->QueryContract(nullptr), nullptr);
    }
    EXPECT_NE(static_cast<IContract*>(receiver), detectorView);
    EXPECT_NE(static_cast<IContract*>(adjuster), static_cast<IContract*>(advising));
}

TEST_F(DetectorShell, ReceiveRefusesWhatIsNoFrame)
{
    auto* receiver = View<IMediaReceiver>();
    EXPECT_EQ(receiver->Receive(nullptr), 10);
    BareSample sample;
    EXPECT_EQ(receiver->Receive(&sample), 10);
    EXPECT_EQ(sample.releases, 1) << "released all the same";
}

TEST_F(DetectorShell, AdviceOnlyForAdvisorsAskingForIt)
{
    auto* advising = View<IAdvisingDetector>();
    RecordingAdvisor asking(2 | 1);
    advising->SetAdvisor(&asking);
    ASSERT_EQ(asking.advised, 1);
    EXPECT_EQ(asking.last.value, 1u) << "CPU by default";
    for (uint8_t byte : asking.last.reserved) EXPECT_EQ(byte, 0);

    RecordingAdvisor notAsking(1 | 4);
    advising->SetAdvisor(&notAsking);
    EXPECT_EQ(notAsking.advised, 0);
    advising->SetAdvisor(nullptr);
}

}  // namespace
