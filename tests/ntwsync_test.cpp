// Tests of the ntwsync module: real processes (fork) pairing on real files.
// The test process is one party and reads its report back from its log;
// forked parties switch their messages off and report through their exit
// status and small result files.
#include "testutil.h"

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <random>
#include <sys/wait.h>
#include <unistd.h>

using namespace ntwtest;

namespace {

// Forks a party that ends with fn's result as its exit status.
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

// Exit status of a party; one that outlives 60 s is killed.
int reap_party(pid_t pid)
{
    int st = 0;
    for (int i = 0; i < 3000 && waitpid(pid, &st, WNOHANG) == 0; ++i)
        usleep(20000);
    if (kill(pid, SIGKILL) == 0 && waitpid(pid, &st, 0) == pid)
        ADD_FAILURE() << "party " << pid << " did not end";
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

void append_line(const std::string &path, const std::string &line)
{
    std::ofstream(path, std::ios::app) << line << "\n";
}

// A pairing: start, `barriers` barriers, finish.  Before each barrier the
// party appends "<tag> <n>" to the journal after a small random pause, so
// that a barrier that let a party through early would show.  Results: 0
// success, 10 start, 11 a barrier, 12 finish failed.
int pairing(utlntw_sync_info *info, const std::string &dir, int kind, int number, int barriers,
            const std::string &journal = "", const std::string &tag = "")
{
    if (utlntw_sync_init(info, dir.c_str(), 6, kind, number) != 0)
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
    void SetUp() override { ASSERT_EQ(0, start_report_log(work_.file("report.log"))); }
    void TearDown() override { msg_finish(); }
    bool has(ntw_text_id id, bool is_error = false, const std::string &a = "",
             const std::string &b = "", int err = 0) const
    {
        return contains_line(split_lines(read_file_bytes(work_.file("report.log"))),
                             report_line(is_error, filled(id, a, b), err));
    }

    TempDir work_{"ntwsyncwork"}; // log, journals, results: outside the shared dir
    TempDir share_{"ntwsyncshare"};
};

std::string roles_of(int alive_no, int file_no)
{
    return std::to_string(alive_no) + " " + std::to_string(file_no);
}

// Two parties pass many barriers in lock step with crossed roles, and pair
// again on the same names; whoever comes first (here three seconds before
// the other) takes file 0.  Nothing is left.
TEST_F(SyncTest, PartiesPassBarriersInLockStepWithCrossedRolesWhoeverComesFirst)
{
    const struct {
        int kind, parent_delay_ms, child_delay_ms, parent_file_no;
    } rows[] = {{1, 3000, 0, 1}, {3, 0, 3000, 0}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.kind);
        const std::string journal = work_.file("journal" + std::to_string(row.kind));
        const std::string roles = journal + ".roles";
        const int number = row.kind == 1 ? getpid() : 0;
        pid_t child = fork_party([&] {
            usleep(row.child_delay_ms * 1000);
            utlntw_sync_info s;
            int rc = pairing(&s, share_.path(), row.kind, number, 25, journal, "C");
            write_file_bytes(roles, roles_of(s.my_alive_no, s.my_file_no));
            return rc | pairing(&s, share_.path(), row.kind, number, 2);
        });
        usleep(row.parent_delay_ms * 1000);
        utlntw_sync_info me;
        ASSERT_EQ(0, pairing(&me, share_.path(), row.kind, number, 25, journal, "P"));
        EXPECT_EQ(row.parent_file_no, me.my_file_no);
        utlntw_sync_info again;
        EXPECT_EQ(0, pairing(&again, share_.path(), row.kind, number, 2));
        ASSERT_EQ(0, reap_party(child));
        // Neither party ever wrote step n+1 before the other had written step n.
        int count[2] = {0, 0};
        for (const auto &l : split_lines(read_file_bytes(journal))) {
            int &mine = count[l[0] == 'C'];
            ASSERT_EQ(std::to_string(++mine), l.substr(2)) << l;
            ASSERT_LE(std::abs(count[0] - count[1]), 1) << "ran ahead at: " << l;
        }
        EXPECT_EQ(25, count[0]);
        EXPECT_EQ(25, count[1]);
        EXPECT_EQ(read_file_bytes(roles), roles_of(me.other_alive_no, me.other_file_no));
        EXPECT_NE(me.my_alive_no, me.other_alive_no);
        EXPECT_NE(me.my_file_no, me.other_file_no);
        EXPECT_TRUE(share_.entries().empty());
    }
}

// A partner that ends without finishing, while the survivor waits or before
// it arrives, is noticed by the liveness probe, not by the time-out; one
// that this party ended itself is finished alone at once.
TEST_F(SyncTest, PartnerDeathIsNoticedByTheProbeAndTheSurvivorRemovesTheFiles)
{
    const int number = getpid();
    for (int moment : {0, 1, 2}) {
        SCOPED_TRACE(moment);
        ASSERT_EQ(0, truncate(work_.file("report.log").c_str(), 0));
        pid_t child = fork_party([&] {
            utlntw_sync_info s;
            if (utlntw_sync_init(&s, share_.path().c_str(), 5, 1, number) != 0 ||
                (moment != 2 && (utlntw_sync_wait(&s) != 0 || utlntw_sync_wait(&s) != 0)))
                return 10;
            if (moment == 0)
                return usleep(1000000);       // ends without finishing: its locks vanish
            return utlntw_sync_wait(&s) + 11; // killed while waiting here
        });
        utlntw_sync_info me;
        ASSERT_EQ(0, utlntw_sync_init(&me, share_.path().c_str(), 5, 1, number));
        if (moment != 2) {
            ASSERT_EQ(0, utlntw_sync_wait(&me));
            ASSERT_EQ(0, utlntw_sync_wait(&me));
        }
        const time_t start = time(nullptr);
        if (moment != 0) {
            usleep(moment == 1 ? 1000000 : 300000);
            kill(child, SIGKILL);
            EXPECT_EQ(128 + SIGKILL, reap_party(child));
        }
        EXPECT_EQ(moment == 2 ? 0 : -1,
                  moment == 2 ? utlntw_sync_finish_alone(&me) : utlntw_sync_wait(&me));
        EXPECT_LE(time(nullptr) - start, moment == 2 ? 1 : 5);
        EXPECT_FALSE(has(MT_TIMEOUT, true)) << "noticed by the time-out, not the probe";
        EXPECT_EQ(moment != 2, has(MT_PARTNER_ENDED) && has(MT_SYNC_FAILED, true));
        if (moment != 2)
            utlntw_sync_finish(&me);
        if (moment == 0) {
            EXPECT_EQ(0, reap_party(child));
        }
        EXPECT_TRUE(share_.entries().empty());
    }
}

// A partner that never comes fails the start at the time-out; the finish
// then removes the files without waiting for an end-wait file.  A start
// that never opened the sync file (a missing directory, a planted link)
// fails its finish and restores the umask.
TEST_F(SyncTest, FailedStartsAreFinishedAndLeaveNothing)
{
    utlntw_sync_info me;
    time_t start = time(nullptr);
    EXPECT_EQ(-1, utlntw_sync_init(&me, share_.path().c_str(), 2, 3, 0));
    EXPECT_GE(time(nullptr) - start, 2);
    EXPECT_TRUE(has(MT_TIMEOUT, true));
    EXPECT_EQ(0, me.my_alive_no);
    EXPECT_EQ(0, utlntw_sync_finish(&me));
    EXPECT_TRUE(has(MT_PARTNER_ENDED));
    EXPECT_FALSE(has(MT_WAIT_CREATED, false, share_.file("endwaitfile")));
    EXPECT_TRUE(
        has(MT_SYNC_REMOVED, false, catalog(MT_SYNC_BY_SELF), share_.file(".#ZEMLOCK.master")));
    EXPECT_TRUE(share_.entries().empty());

    const std::string victim = share_.file("victim");
    ASSERT_EQ(0, symlink(victim.c_str(), share_.file(".#ZEMLOCK.master").c_str()));
    mode_t before = umask(027);
    for (const std::string &dir : {share_.file("missing"), share_.path()}) {
        SCOPED_TRACE(dir);
        EXPECT_EQ(-1, utlntw_sync_init(&me, dir.c_str(), 3, 3, 0));
        EXPECT_EQ(-1, me.fd);
        EXPECT_EQ(0, is_alive_other_process(&me)) << "a failed probe counts the partner as gone";
        EXPECT_EQ(-1, utlntw_sync_finish(&me));
        EXPECT_EQ(027u, umask(027));
    }
    umask(before);
    EXPECT_TRUE(has(MT_SYNC_FINISH_FAILED, true));
    EXPECT_TRUE(has(MT_PARTNER_UNKNOWN, true, "", "", EBADF));
    EXPECT_NE(0, access(victim.c_str(), F_OK)) << "followed a planted symbolic link";
}

} // namespace
