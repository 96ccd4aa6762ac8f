// Tests of the ntwdouble module called directly: the lock-holding child of
// the hand-over tests.  Mode double end to end is in ntwscenario_test.cpp.
#include "testutil.h"

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using ntwtest::catalog;
using ntwtest::progress;
using ntwtest::TempDir;
using Lines = std::vector<std::string>;

long count_lines(const Lines &lines, const std::string &line)
{
    return std::count(lines.begin(), lines.end(), line);
}

// The lock-holding child, called directly

class DoubleChildTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ntwtest::become_subreaper();
        g_pid = getpid();
        log_ = logdir_.file("report.log");
        ASSERT_EQ(ntwtest::start_report_log(log_), 0);
        own_ = dir_.file("own");
        fd_ = open(own_.c_str(), O_RDWR | O_CREAT, 0666);
        ASSERT_GE(fd_, 0);
        fflush(nullptr); // a child must not inherit pending test output
    }
    void TearDown() override
    {
        close(fd_);
        msg_finish();
        delete_allfile();
    }

    Lines lines() const { return ntwtest::split_lines(ntwtest::read_file_bytes(log_)); }

    // The lock that another process holds on byte 0 of the own file, as the
    // test process sees it: F_UNLCK when none.
    short held_lock(pid_t *holder = nullptr) const
    {
        struct flock fl = {};
        fl.l_type = F_WRLCK;
        fl.l_whence = SEEK_SET;
        fl.l_start = 0;
        fl.l_len = 1;
        int fd = open(own_.c_str(), O_RDWR);
        EXPECT_EQ(fcntl(fd, F_GETLK, &fl), 0);
        close(fd);
        if (holder != nullptr)
            *holder = fl.l_pid;
        return fl.l_type;
    }

    TempDir dir_{"ntwdchild"}, logdir_{"ntwdlog"};
    std::string log_, own_;
    int fd_ = -1;
};

TEST_F(DoubleChildTest, ChildHoldsItsLockUntilThreeSecondsAfterSigtermAndIsNeverLost)
{
    struct Case {
        int exclusive;
        short type;
        ntw_text_id word;
    };
    for (const Case c :
         {Case{1, F_WRLCK, MT_LOCKWORD_EXCLUSIVE}, Case{0, F_RDLCK, MT_LOCKWORD_SHARED}}) {
        SCOPED_TRACE(c.exclusive ? "exclusive" : "shared");
        ASSERT_EQ(truncate(log_.c_str(), 0), 0);
        pid_t child = double_child(fd_, own_.c_str(), c.exclusive, 1, 10);
        ASSERT_GT(child, 0);
        pid_t holder = 0;
        EXPECT_EQ(held_lock(&holder), c.type);
        EXPECT_EQ(holder, child);

        // Sent at once: the child may not have reached its suspension yet.
        const time_t sent = time(nullptr);
        ASSERT_EQ(kill(child, SIGTERM), 0);
        while (held_lock() != F_UNLCK && time(nullptr) - sent < 60)
            usleep(50000);
        EXPECT_GE(time(nullptr) - sent, 2) << "the lock must outlast the signal by the pause";
        int status = -1;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ntw_remove_child(child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

        Lines l = lines();
        EXPECT_EQ(count_lines(l, progress(MT_FORK)), 1);
        std::string confirmed = catalog(MT_CHILD_LOCKED_OK);
        confirmed.replace(confirmed.find("%s"), 2, catalog(c.word));
        EXPECT_EQ(l.back(), "        " + confirmed);
    }
}

TEST_F(DoubleChildTest, ChildOfAnInstanceThatVanishedEndsOnItsOwnAndFreesTheLock)
{
    pid_t instance = fork();
    ASSERT_GE(instance, 0);
    if (instance == 0) {
        pid_t child = double_child(fd_, own_.c_str(), 1, 1, 10);
        _exit(child > 0 ? 0 : 1); // vanishes without signalling its child
    }
    int status = -1;
    ASSERT_EQ(waitpid(instance, &status, 0), instance);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ntwtest::expect_nothing_left({}, 20);
    EXPECT_EQ(held_lock(), F_UNLCK);
}

TEST_F(DoubleChildTest, WaitForAChildThatCannotLockEndsAtTheTimeOutAndReapsIt)
{
    const std::string unreachable = dir_.file("missing/own");
    const time_t began = time(nullptr);
    EXPECT_EQ(double_child(fd_, unreachable.c_str(), 1, 1, 2), -1);
    EXPECT_LT(time(nullptr) - began, 60);
    EXPECT_EQ(get_is_timeout(), 1);
    EXPECT_TRUE(ntwtest::contains_line(lines(), "        ! " + catalog(MT_TIMEOUT)));
    EXPECT_TRUE(ntwtest::leftover_children().empty());
    EXPECT_EQ(held_lock(), F_UNLCK);
}

} // namespace
