// warn, die and the descriptor and environment helpers, in this process.
#include "sockherd.h"

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace sockherd;
using testing::ExitedWithCode;

namespace {

TEST(DiagnosticsDeathTest, WarnPrintsPercentLiterally)
{
    EXPECT_EXIT(
        {
            warn("50% %s %n done");
            exit(0);
        },
        ExitedWithCode(0), "^50% %s %n done\n$");
}

TEST(DiagnosticsDeathTest, DiePrintsOneLineAndExits20)
{
    EXPECT_EXIT(die("a %d"), ExitedWithCode(20), "^a %d\n$");
}

TEST(SetNonblocking, AddsFlagKeepsOthersAndAcceptsItAlreadySet)
{
    int fd = open("/dev/null", O_WRONLY | O_APPEND);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(set_nonblocking(fd), 0);
    int flags = fcntl(fd, F_GETFL);
    EXPECT_TRUE(flags & O_NONBLOCK);
    EXPECT_TRUE(flags & O_APPEND);
    EXPECT_EQ(set_nonblocking(fd), 0);
    EXPECT_EQ(fcntl(fd, F_GETFL), flags);
    close(fd);
}

TEST(SetNonblocking, ClosedDescriptorFailsQuietly)
{
    const int never_opened = 4000;
    ASSERT_EQ(fcntl(never_opened, F_GETFD), -1);
    testing::internal::CaptureStderr();
    EXPECT_EQ(set_nonblocking(never_opened), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(SetCloexec, SetsExactlyTheFlag)
{
    int fd = open("/dev/null", O_RDONLY);
    ASSERT_GE(fd, 0);
    set_cloexec(fd);
    EXPECT_EQ(fcntl(fd, F_GETFD), FD_CLOEXEC);
    set_cloexec(fd);
    EXPECT_EQ(fcntl(fd, F_GETFD), FD_CLOEXEC);
    close(fd);
}

TEST(SetCloexecDeathTest, ClosedDescriptorIsFatal)
{
    int fd = open("/dev/null", O_RDONLY);
    ASSERT_GE(fd, 0);
    close(fd);
    EXPECT_EXIT(set_cloexec(fd), ExitedWithCode(20), "^unable to set FD_CLOEXEC\n$");
}

}  // namespace
