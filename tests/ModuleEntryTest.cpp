// The module as a host sees it: loaded with dlopen, entered through its
// versioned exports.

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>

#include "ElfSymbols.h"
#include "RefHost/Host.h"
#include "RefHost/ModuleLoader.h"

namespace {

const std::string kModuleDir = QEL_MODULE_DIR;
const std::string kModulePath = kModuleDir + "/libQelObjectTracker.so";
constexpr const char* kEntryFile = "KestSafeFramework/include/DetectorAPI";

class ModuleEntry : public ::testing::Test {
protected:
    void SetUp() override { module = std::make_unique<RefHost::LoadedModule>(kModulePath); }
    void TearDown() override
    {
        module->Finalize();
        module.reset();
    }

    int32_t Initialize() { return module->Initialize(&host.services, kModuleDir.c_str()); }

    RefHost::Host host{0};
    std::unique_ptr<RefHost::LoadedModule> module;
};

TEST(ModuleExports, ExactlyTheThreeEntryPointsUnderTheVersionNode)
{
    auto symbols = TestSupport::ReadExportedSymbols(kModulePath);
    std::sort(symbols.begin(), symbols.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
    ASSERT_EQ(symbols.size(), 3u);
    EXPECT_EQ(symbols[0].name, "FinalizeModule");
    EXPECT_EQ(symbols[1].name, "GetModule");
    EXPECT_EQ(symbols[2].name, "InitializeModule");
    for (const auto& s : symbols) EXPECT_EQ(s.version, "OV_3.14.1") << s.name;
}

TEST_F(ModuleEntry, LifecycleFromLoadToFinalize)
{
    EXPECT_EQ(module->Get(), nullptr);
    ASSERT_EQ(Initialize(), 0);
    Kest8::Analytics::IModule* first = module->Get();
    ASSERT_NE(first, nullptr);

    EXPECT_EQ(Initialize(), 9);
    EXPECT_EQ(module->Get(), first) << "a second initialisation keeps the module";
    const auto already = host.logger.LinesWithText("module already was initialized");
    ASSERT_EQ(already.size(), 1u);
    EXPECT_EQ(already[0].level, 0);
    EXPECT_EQ(already[0].file, kEntryFile);
    EXPECT_EQ(already[0].function, "InitializeModule");

    module->Finalize();
    EXPECT_EQ(module->Get(), nullptr);
    module->Finalize();
    EXPECT_EQ(module->Get(), nullptr);

    EXPECT_EQ(Initialize(), 0) << "a fresh module after finalisation";
    EXPECT_NE(module->Get(), nullptr);
}

TEST_F(ModuleEntry, VersionLineAndCreationAreLoggedAtTheirLevels)
{
    ASSERT_EQ(Initialize(), 0);
    const auto lines = host.logger.Lines();
    ASSERT_EQ(lines.size(), 2u);

    const auto& version = lines[0];
    EXPECT_EQ(version.level, 1);
    EXPECT_TRUE(version.hasLocation);
    EXPECT_EQ(version.file, "KestFramework/include/BaseModule");
    EXPECT_EQ(version.function, "BaseModule");
    EXPECT_EQ(version.text.rfind("Module's file version: QOT-3.14.1.184 (", 0), 0u) << version.text;
    EXPECT_NE(version.text.find("; product version: 3.14.1.184; company name: Qel Vision Systems"), std::string::npos)
        << version.text;

    EXPECT_EQ(lines[1].text, "module was created");
    EXPECT_EQ(lines[1].level, 0);
    EXPECT_EQ(lines[1].file, kEntryFile);
    EXPECT_EQ(lines[1].function, "InitializeModule");
}

TEST_F(ModuleEntry, QuietLoggerStillHearsFailures)
{
    host.logger.SetLevel(1);
    ASSERT_EQ(Initialize(), 0);
    EXPECT_EQ(host.logger.Count(), 1u) << "version line only";
    module->Finalize();

    host.logger.Clear();
    host.logger.SetLevel(2);
    ASSERT_EQ(Initialize(), 0);
    EXPECT_EQ(host.logger.Count(), 0u);
    EXPECT_EQ(Initialize(), 9);
    EXPECT_EQ(host.logger.Count(), 0u) << "the repeat is a level-0 message";
    module->Finalize();

    host.services.Withhold(RefHost::Service::TargetEnumeratorFactory);
    EXPECT_EQ(Initialize(), 10);
    ASSERT_EQ(host.logger.Count(), 1u);
    EXPECT_EQ(host.logger.Lines()[0].level, 3);
}

TEST_F(ModuleEntry, MissingArgumentsOrLoggerAnswer10Silently)
{
    EXPECT_EQ(module->Initialize(nullptr, kModuleDir.c_str()), 10);
    EXPECT_EQ(module->Initialize(&host.services, nullptr), 10);
    host.services.Withhold(RefHost::Service::Logger);
    EXPECT_EQ(Initialize(), 10);
    EXPECT_EQ(host.logger.Count(), 0u);
    EXPECT_EQ(module->Get(), nullptr);
}

TEST_F(ModuleEntry, MissingServicesFailConstructionWithTheirMessages)
{
    struct Case {
        RefHost::Service withheld;
        std::string message;
    };
    const Case cases[] = {
        {RefHost::Service::TargetEnumeratorFactory, "Could not obtain ITargetEnumeratorFactory from service provider"},
        {RefHost::Service::BlobFrameFactory, "Could not obtain IBlobFrameFactory from service provider"},
    };
    for (const auto& c : cases) {
        host.logger.Clear();
        host.logger.SetLevel(3);
        host.services.Withhold(RefHost::Service::TargetEnumeratorFactory, false);
        host.services.Withhold(RefHost::Service::BlobFrameFactory, false);
        host.services.Withhold(c.withheld);
        EXPECT_EQ(Initialize(), 10);
        EXPECT_EQ(module->Get(), nullptr);
        const auto lines = host.logger.Lines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].level, 3);
        EXPECT_EQ(lines[0].text, "Error during module initialization: " + c.message);
        EXPECT_EQ(lines[0].file, kEntryFile);
        EXPECT_EQ(lines[0].function, "InitializeModule");
    }

    // With both missing the first one is reported; a later good call works.
    host.logger.Clear();
    host.services.Withhold(RefHost::Service::TargetEnumeratorFactory);
    EXPECT_EQ(Initialize(), 10);
    EXPECT_EQ(host.logger.Texts().at(0),
              "Error during module initialization: Could not obtain ITargetEnumeratorFactory from service provider");
    host.services.Withhold(RefHost::Service::TargetEnumeratorFactory, false);
    host.services.Withhold(RefHost::Service::BlobFrameFactory, false);
    EXPECT_EQ(Initialize(), 0);
    EXPECT_EQ(host.blobs.Calls(), 0) << "the blob frame factory is held, never called";
}

TEST_F(ModuleEntry, ModuleAnswersItsThreeContracts)
{
    ASSERT_EQ(Initialize(), 0);
    Kest8::Analytics::IModule* plugin = module->Get();
    const Kest8::IContract* constPlugin = plugin;
    for (const char* name :
         {Kest8::ContractName<Kest8::IContract>(), Kest8::ContractName<Kest8::PLUGIN::IPluginModule>(),
          Kest8::ContractName<Kest8::Analytics::IModule>()}) {
        EXPECT_EQ(plugin->QueryContract(name), plugin) << name;
        EXPECT_EQ(constPlugin->QueryContract(name), plugin) << name;
    }
    for (const char* name : {Kest8::ContractName<Kest8::Analytics::IDetector>(), "IModule", ""}) {
        EXPECT_EQ(plugin->QueryContract(name), nullptr) << name;
        EXPECT_EQ(constPlugin->QueryContract(name), nullptr) << name;
    }
    EXPECT_EQ(plugin->QueryContract(nullptr), nullptr);
    EXPECT_EQ(constPlugin->QueryContract(nullptr), nullptr);
}

TEST_F(ModuleEntry, CreateDetectorOnlyForItsExactName)
{
    ASSERT_EQ(Initialize(), 0);
    Kest8::Analytics::IModule* plugin = module->Get();
    host.logger.Clear();

    Kest8::Analytics::IDetector* detector = plugin->CreateDetector("QelObjectTracker", &host.context);
    ASSERT_NE(detector, nullptr);
    detector->Destroy();
    Kest8::Analytics::IDetector* withoutContext = plugin->CreateDetector("QelObjectTracker", nullptr);
    ASSERT_NE(withoutContext, nullptr);
    withoutContext->Destroy();
    EXPECT_EQ(host.logger.Count(), 0u);

    for (const char* name : {"qelobjecttracker", "QELOBJECTTRACKER", "", "QelObjectTracker "}) {
        host.logger.Clear();
        EXPECT_EQ(plugin->CreateDetector(name, &host.context), nullptr) << name;
        const auto lines = host.logger.Lines();
        ASSERT_EQ(lines.size(), 1u) << name;
        EXPECT_EQ(lines[0].level, 3);
        EXPECT_EQ(lines[0].text, "Error during detector creation: No such detector.");
        EXPECT_EQ(lines[0].file, "Detectors/QelObjectTracker/src/Module");
        EXPECT_EQ(lines[0].function, "CreateDetector");
    }

    host.logger.Clear();
    EXPECT_EQ(plugin->CreateDetector(nullptr, &host.context), nullptr);
    const auto lines = host.logger.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text.rfind("Error during detector creation: ", 0), 0u);
    EXPECT_NE(lines[0].text.find("null"), std::string::npos) << lines[0].text;

    host.logger.SetLevel(4);
    host.logger.Clear();
    EXPECT_EQ(plugin->CreateDetector("nope", &host.context), nullptr);
    EXPECT_EQ(host.logger.Count(), 0u) << "above level 3 nothing is logged";
}

TEST_F(ModuleEntry, DetectorsOutliveFinalize)
{
    ASSERT_EQ(Initialize(), 0);
    Kest8::Analytics::IDetector* detector = module->Get()->CreateDetector("QelObjectTracker", &host.context);
    ASSERT_NE(detector, nullptr);
    module->Finalize();
    auto* receiver = static_cast<Kest8::Analytics::IMediaReceiver*>(
        detector->QueryContract(Kest8::ContractName<Kest8::Analytics::IMediaReceiver>()));
    ASSERT_NE(receiver, nullptr);
    EXPECT_EQ(receiver->Receive(nullptr), 10);
    detector->Destroy();
}

}  // namespace
