// Tests of the ntwdouble module called directly: the lock-holding child of
// the hand-over tests.  Mode double end to end, and an instance that
// vanishes while its child holds a lock, are in ntwscenario_test.cpp.
#include "testutil.h"

#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace ntwtest;

namespace {

// The lock that another process holds on byte 0 of the file, as the test
// process sees it (F_UNLCK when none).
short held_lock(const std::string &path)
{
    struct flock fl = {F_WRLCK, SEEK_SET, 0, 1, 0};
    int fd = open(path.c_str(), O_RDWR);
    EXPECT_EQ(fcntl(fd, F_GETLK, &fl), 0);
    close(fd);
    return fl.l_type;
}

// The child holds its lock, exclusive or shared, until three seconds after
// SIGTERM, so that the partner's waiting request really waits, and is never
// lost.  The wait for a child that cannot lock ends at the time-out, and
// the child is reaped.
TEST(DoubleChild, HoldsItsLockUntilThreeSecondsAfterSigtermOrTheWaitForItTimesOut)
{
    become_subreaper();
    TempDir dir("ntwdchild");
    const std::string own = dir.file("own");
    ASSERT_EQ(start_report_log(dir.file("report.log")), 0);
    const int fd = open(own.c_str(), O_RDWR | O_CREAT, 0666);
    fflush(nullptr); // a child must not inherit pending test output
    for (int exclusive : {1, 0}) {
        SCOPED_TRACE(exclusive != 0 ? "exclusive" : "shared");
        const pid_t child = double_child(fd, own.c_str(), exclusive, 1, 10);
        ASSERT_GT(child, 0);
        EXPECT_EQ(held_lock(own), exclusive != 0 ? F_WRLCK : F_RDLCK);
        // Sent at once: the child may not have reached its suspension yet.
        const time_t sent = time(nullptr);
        ASSERT_EQ(kill(child, SIGTERM), 0);
        while (held_lock(own) != F_UNLCK && time(nullptr) - sent < 60)
            usleep(50000);
        EXPECT_GE(time(nullptr) - sent, 2) << "the lock must outlast the signal by the pause";
        ASSERT_EQ(waitpid(child, nullptr, 0), child);
        sig_remove_child(child);
    }
    const time_t began = time(nullptr);
    EXPECT_EQ(double_child(fd, dir.file("missing/own").c_str(), 1, 1, 2), -1);
    EXPECT_LT(time(nullptr) - began, 60);
    EXPECT_EQ(get_is_timeout(), 1);
    expect_nothing_left({}, 0);
    close(fd);
    msg_finish();
}

} // namespace
