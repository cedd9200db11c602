// A wrapper library that is missing, or present without its factory.

#include <gtest/gtest.h>

#include "DetectorHarness.h"

#if QEL_WRAPPER_ABSENT
#define QEL_EXPECTED_FAILURE "Failed to load QelWrapperGpu, msg: "
#define QEL_FAILURE_SUITE WrapperAbsent
#else
#define QEL_EXPECTED_FAILURE "boost::dll::shared_library::get() failed"
#define QEL_FAILURE_SUITE WrapperWithoutFactory
#endif

namespace {

using namespace DetectorTests;

TEST(QEL_FAILURE_SUITE, ReportedOnceThenNoTrackerUntilAChange)
{
    DetectorHarness h(3);
    EXPECT_EQ(h.Frame(1), 4);
    const auto lines = h.host.logger.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, 3);
    EXPECT_EQ(lines[0].text.rfind(QEL_EXPECTED_FAILURE, 0), 0u) << lines[0].text;
    EXPECT_EQ(lines[0].function, "Receive");
    EXPECT_EQ(h.Frame(2), 1);
    EXPECT_EQ(h.Frame(3), 1);
    EXPECT_EQ(h.host.logger.Count(), 1u);
    EXPECT_EQ(h.Frame(4, 640, 480), 4) << "a new size tries again";
    EXPECT_EQ(h.host.logger.Count(), 2u);
}

}  // namespace
