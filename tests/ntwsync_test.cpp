// Tests of the ntwsync module: real processes (fork) pairing on real files.
// The test process is one party, so its report lines can be read back from
// its log; forked parties switch their messages off and report through
// their exit status and small result files.
#include "testutil.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <map>
#include <random>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using ntwtest::catalog;
using ntwtest::TempDir;

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t0)
{
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

std::string progress_line(ntw_text_id id)
{
    return "        " + catalog(id);
}
std::string error_line(ntw_text_id id)
{
    return "        ! " + catalog(id);
}

// A progress line whose catalogue text takes arguments.
template <class... Args> std::string progress_line(ntw_text_id id, Args... args)
{
    char text[1024];
    std::snprintf(text, sizeof text, catalog(id).c_str(), args...);
    return std::string("        ") + text;
}

// Forks a party that runs fn and ends with its result as exit status; the
// child never returns into the test framework.
pid_t fork_party(const std::function<int()> &fn)
{
    msg_flush();
    pid_t pid = fork();
    if (pid == 0) {
        msg_finish();
        _exit(fn() & 0xff);
    }
    return pid;
}

// Exit status of a party; a party that outlives the limit is killed.
int reap_party(pid_t pid, int limit_s = 120)
{
    auto t0 = Clock::now();
    while (seconds_since(t0) < limit_s) {
        int st = 0;
        if (waitpid(pid, &st, WNOHANG) == pid)
            return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        usleep(20000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    ADD_FAILURE() << "party " << pid << " did not end";
    return -1;
}

bool wait_for_path(const std::string &path, int limit_s)
{
    auto t0 = Clock::now();
    while (access(path.c_str(), F_OK) != 0) {
        if (seconds_since(t0) > limit_s)
            return false;
        usleep(20000);
    }
    return true;
}

void append_line(const std::string &path, const std::string &line)
{
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0666);
    std::string l = line + "\n";
    ssize_t w = write(fd, l.data(), l.size());
    (void)w;
    close(fd);
}

// A whole pairing: start, `barriers` barriers, finish.  Before each barrier
// the party appends "<tag> <n>" to the journal (after a small random pause,
// so that a barrier that let a party through early would show).  Exit
// codes: 0 success, 10 start, 11 a barrier, 12 finish failed.
int pairing_party(const std::string &dir, int kind, int number, int timeout, int barriers,
                  const std::string &journal, const std::string &tag, utlntw_sync_info *info)
{
    if (utlntw_sync_init(info, dir.c_str(), timeout, kind, number) != 0)
        return 10;
    std::mt19937 rng(static_cast<unsigned>(getpid()));
    for (int n = 1; n <= barriers; ++n) {
        if (!journal.empty()) {
            usleep(rng() % 3000);
            append_line(journal, tag + " " + std::to_string(n));
        }
        if (utlntw_sync_wait(info) != 0)
            return 11;
    }
    return utlntw_sync_finish(info) == 0 ? 0 : 12;
}

class SyncTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(0, ntwtest::start_report_log(log_path())); }
    void TearDown() override { msg_finish(); }

    std::string log_path() const { return work_.file("report.log"); }
    std::vector<std::string> lines() const
    {
        return ntwtest::split_lines(ntwtest::read_file_bytes(log_path()));
    }
    bool has(const std::string &line) const { return ntwtest::contains_line(lines(), line); }

    TempDir work_{"ntwsyncwork"}; // log, journals, results: outside the shared dir
    TempDir share_{"ntwsyncshare"};
};

TEST_F(SyncTest, LockPrimitivesTellAByteHeldElsewhereFromAFailedRequest)
{
    const std::string path = share_.file("locks");
    int fd = open(path.c_str(), O_RDWR | O_CREAT, 0666);
    ASSERT_GE(fd, 0);
    int ready[2], release[2];
    ASSERT_EQ(0, pipe(ready));
    ASSERT_EQ(0, pipe(release));
    pid_t holder = fork_party([&] {
        close(release[1]);
        int own = open(path.c_str(), O_RDWR);
        char c = 0;
        if (file_control(own, F_WRLCK, 2) != 0 || write(ready[1], "x", 1) != 1)
            return 1;
        return read(release[0], &c, 1) >= 0 ? 0 : 1;
    });
    char c = 0;
    ASSERT_EQ(1, read(ready[0], &c, 1));

    EXPECT_EQ(1, s_lock(fd, F_WRLCK, 2)) << "held by another process";
    EXPECT_EQ(1, s_lock(fd, F_RDLCK, 2));
    EXPECT_EQ(0, s_lock(fd, F_WRLCK, 1));
    EXPECT_EQ(0, s_lock(fd, F_WRLCK, 1)) << "a process never conflicts with itself";
    EXPECT_EQ(0, s_unlock(fd, 1));

    utlntw_sync_info info;
    std::memset(&info, 0, sizeof info);
    info.fd = fd;
    info.other_alive_no = 2;
    EXPECT_EQ(1, is_alive_other_process(&info));
    info.other_alive_no = 1;
    EXPECT_EQ(0, is_alive_other_process(&info));
    EXPECT_TRUE(has(progress_line(MT_PARTNER_ENDED)));
    EXPECT_EQ(0, file_control(fd, F_WRLCK, 1)) << "the probe released the byte it took";
    EXPECT_FALSE(has(error_line(MT_SYNC_LOCK_FAILED) + " ERRORCODE=9(Bad file descriptor)"));

    EXPECT_EQ(-1, s_lock(-1, F_WRLCK, 1));
    EXPECT_TRUE(has(error_line(MT_SYNC_LOCK_FAILED) + " ERRORCODE=9(Bad file descriptor)"));
    EXPECT_EQ(-1, s_unlock(-1, 1));
    EXPECT_TRUE(has(error_line(MT_UNLOCK_FAILED) + " ERRORCODE=9(Bad file descriptor)"));
    info.fd = -1;
    EXPECT_EQ(0, is_alive_other_process(&info)) << "a failed probe counts the partner as gone";
    EXPECT_TRUE(has(error_line(MT_PARTNER_UNKNOWN) + " ERRORCODE=9(Bad file descriptor)"));

    close(release[1]);
    EXPECT_EQ(0, reap_party(holder));
    for (int p : {ready[0], ready[1], release[0]})
        close(p);
    close(fd);
}

TEST_F(SyncTest, PartiesPassManyBarriersInLockStepWithCrossedRolesAndLeaveNoFiles)
{
    const int barriers = 30;
    const std::string journal = work_.file("journal");
    const std::string roles = work_.file("child.roles");
    const int number = getpid();
    pid_t child = fork_party([&] {
        utlntw_sync_info s;
        int rc = pairing_party(share_.path(), 1, number, 5, barriers, journal, "C", &s);
        append_line(roles, std::to_string(s.my_alive_no) + " " + std::to_string(s.other_alive_no) +
                               " " + std::to_string(s.my_file_no) + " " +
                               std::to_string(s.other_file_no));
        return rc;
    });
    utlntw_sync_info me;
    int rc = pairing_party(share_.path(), 1, number, 5, barriers, journal, "P", &me);
    ASSERT_EQ(0, reap_party(child));
    ASSERT_EQ(0, rc);

    // Neither party ever wrote step n+1 before the other had written step n.
    std::map<std::string, int> count;
    for (const auto &l : ntwtest::split_lines(ntwtest::read_file_bytes(journal))) {
        std::istringstream in(l);
        std::string tag;
        int n = 0;
        in >> tag >> n;
        ASSERT_EQ(++count[tag], n) << l;
        ASSERT_LE(std::abs(count["P"] - count["C"]), 1) << "ran ahead at: " << l;
    }
    EXPECT_EQ(barriers, count["P"]);
    EXPECT_EQ(barriers, count["C"]);

    std::istringstream in(ntwtest::read_file_bytes(roles));
    int c_alive = 0, c_other_alive = 0, c_file = 0, c_other_file = 0;
    in >> c_alive >> c_other_alive >> c_file >> c_other_file;
    EXPECT_EQ(me.my_file_no, c_other_file);
    EXPECT_EQ(me.other_file_no, c_file);
    EXPECT_NE(me.my_file_no, me.other_file_no);
    EXPECT_EQ(me.my_alive_no, c_other_alive);
    EXPECT_EQ(me.other_alive_no, c_alive);
    EXPECT_NE(me.my_alive_no, me.other_alive_no);

    char host[68] = {};
    gethostname(host, sizeof host - 1);
    EXPECT_EQ(share_.path() + "/.#ZEMLOCK." + host + "." + std::to_string(number) + ".master",
              std::string(me.sync_filename));
    EXPECT_EQ(share_.path() + "/" + host + "." + std::to_string(number) + ".endwaitfile",
              std::string(me.endwait_filename));
    EXPECT_TRUE(share_.entries().empty());
    EXPECT_TRUE(has(progress_line(MT_SYNC_FINISH_DONE)));
}

class SyncPairingsInARow : public SyncTest, public ::testing::WithParamInterface<int> {};

TEST_P(SyncPairingsInARow, AllSucceedOnTheSameNames)
{
    const int kind = GetParam();
    const int pairings = 5;
    const int number = getpid();
    auto run = [&] {
        int failures = 0;
        for (int i = 0; i < pairings; ++i) {
            utlntw_sync_info s;
            if (pairing_party(share_.path(), kind, number, 5, 2, "", "", &s) != 0)
                ++failures;
        }
        return failures;
    };
    pid_t child = fork_party(run);
    EXPECT_EQ(0, run());
    EXPECT_EQ(0, reap_party(child));
    EXPECT_TRUE(share_.entries().empty());
}

INSTANTIATE_TEST_SUITE_P(Kinds, SyncPairingsInARow, ::testing::Values(1, 3),
                         [](const ::testing::TestParamInfo<int> &p) {
                             return p.param == 1 ? "HostAndProcessNames" : "FixedNames";
                         });

struct Arrival {
    const char *name;
    int parent_delay_ms;
    int child_delay_ms;
    int parent_file_no; // -1: either
};

class SyncArrival : public SyncTest, public ::testing::WithParamInterface<Arrival> {};

TEST_P(SyncArrival, EitherPartyMayComeFirstWithinTheTimeOut)
{
    const Arrival a = GetParam();
    pid_t child = fork_party([&] {
        usleep(a.child_delay_ms * 1000);
        utlntw_sync_info s;
        return pairing_party(share_.path(), 3, 0, 6, 3, "", "", &s);
    });
    usleep(a.parent_delay_ms * 1000);
    utlntw_sync_info me;
    EXPECT_EQ(0, pairing_party(share_.path(), 3, 0, 6, 3, "", "", &me));
    EXPECT_EQ(0, reap_party(child));
    if (a.parent_file_no >= 0) {
        EXPECT_EQ(a.parent_file_no, me.my_file_no);
    }
    EXPECT_TRUE(share_.entries().empty());
    EXPECT_FALSE(has(error_line(MT_TIMEOUT)));
}

INSTANTIATE_TEST_SUITE_P(Delays, SyncArrival,
                         ::testing::Values(Arrival{"Together", 0, 0, -1},
                                           Arrival{"ChildThreeSecondsFirst", 3000, 0, 1},
                                           Arrival{"ParentThreeSecondsFirst", 0, 3000, 0}),
                         [](const ::testing::TestParamInfo<Arrival> &p) { return p.param.name; });

TEST_F(SyncTest, ThirdPartyFailsItsStartWithoutDisturbingThePair)
{
    const std::string paired = work_.file("paired");
    const std::string third_done = work_.file("third_done");
    const std::string sync_file = share_.file(".#ZEMLOCK.master");
    // A and B pair; A waits after the first barrier until the third party
    // has come and gone, then both go on.
    pid_t a = fork_party([&] {
        utlntw_sync_info s;
        if (utlntw_sync_init(&s, share_.path().c_str(), 10, 3, 0) != 0 || utlntw_sync_wait(&s) != 0)
            return 10;
        append_line(paired, "1");
        if (!wait_for_path(third_done, 30))
            return 13;
        for (int i = 0; i < 3; ++i)
            if (utlntw_sync_wait(&s) != 0)
                return 11;
        return utlntw_sync_finish(&s) == 0 ? 0 : 12;
    });
    pid_t b = fork_party([&] {
        utlntw_sync_info s;
        return pairing_party(share_.path(), 3, 0, 10, 4, "", "", &s);
    });

    ASSERT_TRUE(wait_for_path(paired, 30));
    utlntw_sync_info third;
    EXPECT_EQ(-1, utlntw_sync_init(&third, share_.path().c_str(), 3, 3, 0));
    EXPECT_EQ(0, utlntw_sync_finish(&third));
    EXPECT_EQ(0, access(sync_file.c_str(), F_OK)) << "the third party removed the pair's sync file";
    append_line(third_done, "1");

    EXPECT_EQ(0, reap_party(a));
    EXPECT_EQ(0, reap_party(b));
    EXPECT_TRUE(has(progress_line(MT_SYNC_PARTNER_FIRST)));
    EXPECT_FALSE(has(error_line(MT_TIMEOUT)));
    // The third party neither waited for an end-wait file nor made one.
    const std::string endwait = share_.file("endwaitfile");
    EXPECT_FALSE(has(progress_line(MT_WAIT_CREATED, endwait.c_str())));
    EXPECT_FALSE(has(progress_line(MT_OPEN, endwait.c_str())));
    EXPECT_TRUE(has(
        progress_line(MT_SYNC_REMOVED, catalog(MT_SYNC_BY_PARTNER).c_str(), sync_file.c_str())));
    EXPECT_TRUE(share_.entries().empty());
}

enum class Death { WhileSurvivorWaits, BeforeSurvivorArrives };

class SyncPartnerDeath : public SyncTest, public ::testing::WithParamInterface<Death> {};

TEST_P(SyncPartnerDeath, IsNoticedByTheLivenessProbeAndTheSurvivorRemovesTheFiles)
{
    const int timeout = 5;
    const int number = getpid();
    const Death death = GetParam();
    pid_t child = fork_party([&] {
        utlntw_sync_info s;
        if (utlntw_sync_init(&s, share_.path().c_str(), timeout, 1, number) != 0 ||
            utlntw_sync_wait(&s) != 0 || utlntw_sync_wait(&s) != 0)
            return 10;
        if (death == Death::WhileSurvivorWaits) {
            usleep(1000000);
            return 0; // ends without finishing: its locks vanish
        }
        utlntw_sync_wait(&s); // killed while waiting here
        return 11;
    });
    utlntw_sync_info me;
    ASSERT_EQ(0, utlntw_sync_init(&me, share_.path().c_str(), timeout, 1, number));
    ASSERT_EQ(0, utlntw_sync_wait(&me));
    ASSERT_EQ(0, utlntw_sync_wait(&me));
    if (death == Death::BeforeSurvivorArrives) {
        usleep(1000000);
        kill(child, SIGKILL);
        reap_party(child);
    }
    EXPECT_EQ(-1, utlntw_sync_wait(&me));
    EXPECT_TRUE(has(progress_line(MT_PARTNER_ENDED)));
    EXPECT_TRUE(has(error_line(MT_SYNC_FAILED)));
    EXPECT_FALSE(has(error_line(MT_TIMEOUT))) << "noticed by the time-out, not the probe";

    auto t0 = Clock::now();
    utlntw_sync_finish(&me);
    EXPECT_LT(seconds_since(t0), timeout + 10);
    if (death == Death::WhileSurvivorWaits) {
        EXPECT_EQ(0, reap_party(child));
    }
    EXPECT_TRUE(share_.entries().empty());
}

INSTANTIATE_TEST_SUITE_P(Moments, SyncPartnerDeath,
                         ::testing::Values(Death::WhileSurvivorWaits, Death::BeforeSurvivorArrives),
                         [](const ::testing::TestParamInfo<Death> &p) {
                             return p.param == Death::WhileSurvivorWaits ? "WhileSurvivorWaits"
                                                                         : "BeforeSurvivorArrives";
                         });

// A partner that this party has ended while it waited inside a barrier:
// finishing alone neither waits for the busy byte nor for an end-wait file.
TEST_F(SyncTest, PairingWhosePartnerWasEndedIsFinishedAloneAtOnce)
{
    const int timeout = 5;
    const int number = getpid();
    pid_t child = fork_party([&] {
        utlntw_sync_info s;
        if (utlntw_sync_init(&s, share_.path().c_str(), timeout, 1, number) != 0)
            return 10;
        utlntw_sync_wait(&s); // killed while waiting here
        return 11;
    });
    utlntw_sync_info me;
    ASSERT_EQ(0, utlntw_sync_init(&me, share_.path().c_str(), timeout, 1, number));
    usleep(300000);
    kill(child, SIGKILL);
    reap_party(child);

    auto t0 = Clock::now();
    EXPECT_EQ(0, utlntw_sync_finish_alone(&me));
    EXPECT_LT(seconds_since(t0), 1.0);
    EXPECT_FALSE(has(error_line(MT_TIMEOUT)));
    EXPECT_TRUE(
        has(progress_line(MT_SYNC_REMOVED, catalog(MT_SYNC_BY_SELF).c_str(), me.sync_filename)));
    EXPECT_TRUE(share_.entries().empty());
}

TEST_F(SyncTest, PartnerThatNeverComesFailsTheStartAfterTheTimeOutAndFinishRemovesTheFiles)
{
    const int timeout = 2;
    utlntw_sync_info me;
    auto t0 = Clock::now();
    EXPECT_EQ(-1, utlntw_sync_init(&me, share_.path().c_str(), timeout, 3, 0));
    EXPECT_GE(seconds_since(t0), timeout);
    EXPECT_TRUE(has(error_line(MT_TIMEOUT)));
    EXPECT_EQ(0, me.my_alive_no);

    EXPECT_EQ(0, utlntw_sync_finish(&me));
    EXPECT_TRUE(has(progress_line(MT_PARTNER_ENDED)));
    // After a time-out the last party does not wait for the end-wait file.
    EXPECT_FALSE(has(progress_line(MT_WAIT_CREATED, share_.file("endwaitfile").c_str())));
    EXPECT_TRUE(has(progress_line(MT_SYNC_REMOVED, catalog(MT_SYNC_BY_SELF).c_str(),
                                  share_.file(".#ZEMLOCK.master").c_str())));
    EXPECT_TRUE(share_.entries().empty());
}

TEST_F(SyncTest, FinishAfterAStartThatNeverOpenedTheSyncFileFailsAndRestoresTheUmask)
{
    const std::string missing = share_.file("missing");
    const std::string victim = share_.file("victim");
    ASSERT_EQ(0, symlink(victim.c_str(), share_.file(".#ZEMLOCK.master").c_str()));
    mode_t before = umask(027);
    for (const std::string &dir : {missing, share_.path()}) {
        SCOPED_TRACE(dir);
        utlntw_sync_info me;
        EXPECT_EQ(-1, utlntw_sync_init(&me, dir.c_str(), 3, 3, 0));
        EXPECT_EQ(-1, me.fd);
        mode_t during = umask(0);
        EXPECT_EQ(0u, during);
        EXPECT_EQ(-1, utlntw_sync_finish(&me));
        mode_t after = umask(027);
        EXPECT_EQ(027u, after);
    }
    umask(before);
    EXPECT_TRUE(has(error_line(MT_SYNC_FINISH_FAILED)));
    EXPECT_NE(0, access(victim.c_str(), F_OK)) << "followed a planted symbolic link";
}

TEST_F(SyncTest, StopFileDeletedInTimeEndsTheWaitWithSuccess)
{
    const std::string stop = share_.file("ZEMSTOP.stop");
    pid_t deleter = fork_party([&] {
        if (!wait_for_path(stop, 30))
            return 1;
        usleep(300000);
        return unlink(stop.c_str()) == 0 ? 0 : 2;
    });
    EXPECT_EQ(0, usrapl_sync_wait(share_.file("target").c_str(), 10));
    EXPECT_EQ(0, reap_party(deleter));
    EXPECT_TRUE(has(progress_line(MT_STOPFILE_WAIT)));
    EXPECT_TRUE(has(progress_line(MT_SYNC_DONE)));
    EXPECT_TRUE(share_.entries().empty());
}

TEST_F(SyncTest, StopFileOfATargetNameWithoutSlashIsInTheCurrentDirectory)
{
    const std::string stop = share_.file("ZEMSTOP.stop");
    pid_t waiter = fork_party([&] {
        if (chdir(share_.path().c_str()) != 0)
            return 1;
        return usrapl_sync_wait("target", 10) == 0 ? 0 : 2;
    });
    ASSERT_TRUE(wait_for_path(stop, 30));
    unlink(stop.c_str());
    EXPECT_EQ(0, reap_party(waiter));
    EXPECT_TRUE(share_.entries().empty());
}

TEST_F(SyncTest, StopFileNotDeletedInTimeIsRemovedAndTheWaitFails)
{
    auto t0 = Clock::now();
    EXPECT_EQ(-1, usrapl_sync_wait(share_.file("target").c_str(), 2));
    EXPECT_GE(seconds_since(t0), 2);
    EXPECT_TRUE(has(error_line(MT_TIMEOUT)));
    EXPECT_TRUE(has(error_line(MT_SYNC_FAILED)));
    EXPECT_TRUE(share_.entries().empty());
}

TEST_F(SyncTest, StopFileThatCannotBeCreatedFailsAtOnce)
{
    EXPECT_EQ(-1, usrapl_sync_wait(share_.file("missing/target").c_str(), 10));
    EXPECT_TRUE(has(error_line(MT_SYNC_FAILED)));
    EXPECT_FALSE(has(progress_line(MT_STOPFILE_WAIT)));

    if (getuid() != 0)
        GTEST_SKIP() << "needs root to run the check as another user";
    chmod(share_.path().c_str(), 0755);
    pid_t unprivileged = fork_party([&] {
        if (setgid(65534) != 0 || setuid(65534) != 0)
            return 1;
        auto t0 = Clock::now();
        int rc = usrapl_sync_wait(share_.file("target").c_str(), 10);
        return rc == -1 && seconds_since(t0) < 5 ? 0 : 2;
    });
    EXPECT_EQ(0, reap_party(unprivileged));
    EXPECT_TRUE(share_.entries().empty());
}

} // namespace
