// The wrapper file on disk as deployments break it: replaced while a detector
// holds an unusable copy, cut short, garbage, or missing a dependency.

#include <elf.h>
#include <gtest/gtest.h>

#include <boost/filesystem.hpp>
#include <fstream>
#include <string>

#include "DetectorHarness.h"
#include "Plugin.h"
#include "ScriptedWrapper.h"

namespace {

using namespace DetectorTests;
namespace fs = boost::filesystem;

const fs::path kInstalled = fs::path(QEL_REPLACEABLE_DIR) / "libQelWrapperGpu.so";

// Puts `from` (a file, or these bytes) in place as one atomic rename, as a
// package manager would.
void Install(const fs::path& from, uintmax_t keepBytes = 0)
{
    const fs::path staged = kInstalled.string() + ".new";
    fs::copy_file(from, staged, fs::copy_options::overwrite_existing);
    if (keepBytes != 0) fs::resize_file(staged, keepBytes);
    fs::rename(staged, kInstalled);
}

void InstallText(const std::string& bytes)
{
    const fs::path staged = kInstalled.string() + ".new";
    {
        std::ofstream out(staged.string(), std::ios::binary | std::ios::trunc);
        out << bytes;
    }
    fs::rename(staged, kInstalled);
}

// Where the last loadable segment of a library begins in its file.
uintmax_t LastSegmentOffset(const fs::path& library)
{
    std::ifstream in(library.string(), std::ios::binary);
    Elf64_Ehdr header{};
    in.read(reinterpret_cast<char*>(&header), sizeof header);
    uintmax_t offset = 0;
    for (unsigned i = 0; i < header.e_phnum && in; ++i) {
        Elf64_Phdr segment{};
        in.seekg(static_cast<std::streamoff>(header.e_phoff + i * sizeof segment));
        in.read(reinterpret_cast<char*>(&segment), sizeof segment);
        if (in && segment.p_type == PT_LOAD && segment.p_filesz != 0) offset = segment.p_offset;
    }
    return offset;
}

class WrapperFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        ScriptedWrapper::Reset();
        fs::remove(kInstalled);
    }
    void TearDown() override { fs::remove(kInstalled); }

    // The one level-3 line of the last failed frame.
    static std::string Failure(DetectorHarness& h)
    {
        const auto lines = h.host.logger.Lines();
        return lines.empty() ? std::string() : lines.back().text;
    }
};

TEST_F(WrapperFile, ReplacedWrapperIsLoadedAfresh)
{
    Install(QEL_NO_FACTORY_WRAPPER);
    DetectorHarness h(3);
    EXPECT_EQ(h.Frame(1), 4);
    EXPECT_EQ(Failure(h).rfind("boost::dll::shared_library::get() failed", 0), 0u) << Failure(h);
    EXPECT_EQ(h.Frame(2), 1);

    Install(QEL_SCRIPTED_WRAPPER);
    EXPECT_EQ(h.Frame(3), 1) << "not before the next attempt";
    EXPECT_EQ(h.Frame(10001), 0) << "the retry opens the new file";
    EXPECT_EQ(h.Frame(10002), 0);

    // And through a parameter change, with a second detector alike.
    Install(QEL_NO_FACTORY_WRAPPER);
    DetectorHarness other(3);
    h.Destroy();
    EXPECT_EQ(other.Frame(1), 4);
    Install(QEL_SCRIPTED_WRAPPER);
    ASSERT_EQ(other.detector->SetValue("NumThreads", int32_t{2}), 0);
    EXPECT_EQ(other.Frame(2), 0);
}

TEST_F(WrapperFile, TruncatedWrapperIsRefusedBeforeItIsMapped)
{
    // Cut where its last loadable segment begins: the loader would map that
    // segment past the end of the file.
    const uintmax_t cut = LastSegmentOffset(QEL_SCRIPTED_WRAPPER);
    ASSERT_GT(cut, 0u);
    Install(QEL_SCRIPTED_WRAPPER, cut);
    DetectorHarness h(3);
    EXPECT_EQ(h.Frame(1), 4);
    const std::string text = Failure(h);
    EXPECT_EQ(text.rfind("Failed to load QelWrapperGpu, msg: " + kInstalled.string() + ": file is truncated", 0), 0u)
        << text;
    EXPECT_EQ(h.Frame(2), 1);

    Install(QEL_SCRIPTED_WRAPPER);
    EXPECT_EQ(h.Frame(10002), 0) << "a repaired file is picked up";
}

TEST_F(WrapperFile, LoadFailuresCarryTheLoadersMessage)
{
    DetectorHarness h(3);
    EXPECT_EQ(h.Frame(1), 4);
    EXPECT_EQ(Failure(h),
              "Failed to load QelWrapperGpu, msg: libQelWrapperGpu.so: cannot open shared object file: No such file "
              "or directory");

    InstallText(std::string(4096, 'x'));
    EXPECT_EQ(h.Frame(10001), 4);
    EXPECT_NE(Failure(h).find("invalid ELF header"), std::string::npos) << Failure(h);

    Install(QEL_DEPENDENT_WRAPPER);
    EXPECT_EQ(h.Frame(20001), 4);
    EXPECT_NE(Failure(h).find("libQelTestMissingDependency.so: cannot open shared object file"), std::string::npos)
        << Failure(h);
    EXPECT_EQ(h.host.logger.Count(), 3u);
}

}  // namespace
