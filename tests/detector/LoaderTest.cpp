// The wrapper library loaded by name, shared by detectors and unloaded
// after the last of them.

#include <dlfcn.h>
#include <gtest/gtest.h>

#include "DetectorHarness.h"
#include "Plugin.h"
#include "ScriptedWrapper.h"

namespace {

using namespace DetectorTests;

bool WrapperLoaded()
{
    void* handle = dlopen("libQelWrapperGpu.so", RTLD_NOW | RTLD_NOLOAD);
    if (handle != nullptr) dlclose(handle);
    return handle != nullptr;
}

TEST(WrapperLoader, DetectorsShareOneLoadAndTheLastUnloadsIt)
{
    ScriptedWrapper::Reset();
    ASSERT_FALSE(WrapperLoaded());
    const int loadsBefore = ScriptedWrapper::Get().loads;
    {
        auto first = std::make_unique<DetectorHarness>();
        auto second = std::make_unique<DetectorHarness>();
        ASSERT_EQ(first->Frame(1), 0);
        ASSERT_EQ(second->Frame(1), 0);
        EXPECT_TRUE(WrapperLoaded());
        EXPECT_EQ(ScriptedWrapper::Get().loads, loadsBefore + 1) << "one dlopen for both";
        first.reset();
        EXPECT_TRUE(WrapperLoaded()) << "the second detector still holds it";
    }
    EXPECT_FALSE(WrapperLoaded());
    EXPECT_EQ(ScriptedWrapper::Get().unloads, ScriptedWrapper::Get().loads);

    DetectorHarness third;
    ASSERT_EQ(third.Frame(1), 0);
    EXPECT_EQ(ScriptedWrapper::Get().loads, loadsBefore + 2) << "loaded again";
}

TEST(WrapperLoader, CacheHandsOutTheLivePlugin)
{
    auto a = QelObjectTracker::LoadPlugin("QelWrapperGpu");
    auto b = QelObjectTracker::LoadPlugin("QelWrapperGpu");
    EXPECT_EQ(a, b);
    EXPECT_NE(a->Get<QelWrapper::IObjectObserver*(const QelWrapper::Configurations*)>("CreateObjectObserver"), nullptr);
    try {
        QelObjectTracker::LoadPlugin("NoSuchWrapperLibrary");
        ADD_FAILURE();
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Failed to load NoSuchWrapperLibrary, msg: ", 0), 0u) << e.what();
    }
    try {
        a->Get<int()>("NoSuchSymbol");
        ADD_FAILURE();
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(std::string(e.what()).rfind("boost::dll::shared_library::get() failed", 0), 0u) << e.what();
    }
}

}  // namespace
