// Tests of the ntwsync module: real processes (fork) pairing on real files,
// for the ways a pairing ends that no passing run takes.  Barriers in lock
// step, crossed roles and pairing again on the same names are what every
// run of mode single relies on (ntwscenario_test.cpp).  The test process is
// one party and reads its report back from its log; forked parties switch
// their messages off and report through their exit status.
#include "testutil.h"

#include <chrono>
#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

using namespace ntwtest;

namespace {

// Exit status of a party (128 + the signal that ended it).  Every party
// ends within the pairing's time-out.
int reap_party(pid_t pid)
{
    int st = 0;
    waitpid(pid, &st, 0);
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

// Starts a pairing and passes `barriers` barriers: 0, 10 the start failed,
// 11 a barrier failed.
int meet(utlntw_sync_info *info, const std::string &dir, int barriers)
{
    if (utlntw_sync_init(info, dir.c_str(), 6, NTW_MODE_SINGLE, 4711) != 0)
        return 10;
    for (int n = 1; n <= barriers; ++n) {
        if (utlntw_sync_wait(info) != 0)
            return 11;
    }
    return 0;
}

// A partner that ends without finishing while the survivor waits (moment
// 0) or before it arrives (1) is noticed by the liveness probe, not by the
// time-out; one that this party ended itself (2) is finished alone at once;
// one that finishes the pairing a barrier early (3), while the survivor
// came first to the barrier before, leaves that barrier with 1 at once;
// one that aborts instead fails it at once, whether it finished before the
// survivor's handshake (4) or the survivor waits inside it (5, the first
// barrier).
// A start that never opened the sync file (its directory is missing) fails
// its finish, which restores the umask all the same; a liveness probe on it
// counts the partner as gone.
TEST(Sync, PartnerDeathIsNoticedByTheProbeAndAFailedStartFailsItsFinish)
{
    TempDir work{"ntwsyncwork"}, share{"ntwsyncshare"}; // the log outside the shared dir
    const std::string log = work.file("report.log");
    ASSERT_EQ(0, start_report_log(log));
    auto has = [&](ntw_text_id id, bool is_error = false, int err = 0) {
        return contains_line(split_lines(read_file_bytes(log)),
                             report_line(is_error, filled(id), err));
    };
    for (int moment : {0, 1, 2, 3, 4, 5}) {
        SCOPED_TRACE(moment);
        ASSERT_EQ(0, truncate(log.c_str(), 0));
        const int barriers = moment == 2 || moment == 5 ? 0 : 2;
        msg_flush();
        const pid_t child = fork();
        if (child == 0) {
            msg_finish();
            utlntw_sync_info s;
            if (meet(&s, share.path(), barriers - (moment >= 3)) != 0)
                _exit(10);
            if (moment >= 3) { // finishing or aborting a barrier early while the survivor waits
                usleep(300000);
                int passed = moment == 5 ? 0 : utlntw_sync_wait(&s);
                usleep(300000);
                if (moment >= 4)
                    passed |= utlntw_sync_abort(&s);
                _exit(passed == 0 && utlntw_sync_finish(&s) == 0 ? 0 : 12);
            }
            if (moment == 0)
                _exit(usleep(1000000));       // ends without finishing: its locks vanish
            _exit(utlntw_sync_wait(&s) + 11); // killed while waiting here
        }
        utlntw_sync_info me;
        ASSERT_EQ(0, meet(&me, share.path(), barriers));
        const auto start = std::chrono::steady_clock::now();
        if (moment == 1 || moment == 2) {
            usleep(moment == 1 ? 1000000 : 300000);
            kill(child, SIGKILL);
            EXPECT_EQ(128 + SIGKILL, reap_party(child));
        }
        EXPECT_EQ(moment == 2   ? 0
                  : moment == 3 ? 1
                                : -1,
                  moment == 2 ? utlntw_sync_finish_alone(&me) : utlntw_sync_wait(&me));
        // The death shows within the presence watch (2.5 s) after the 1-s
        // pause, well before the 6-s time-out; a party ended here at once.
        EXPECT_LT(std::chrono::steady_clock::now() - start,
                  std::chrono::milliseconds(moment == 2 ? 1000 : 5000));
        EXPECT_FALSE(has(MT_TIMEOUT, true)) << "noticed by the time-out, not the probe";
        EXPECT_EQ(moment < 2 || moment == 4, has(MT_PARTNER_ENDED) && has(MT_SYNC_FAILED, true));
        EXPECT_EQ(moment == 5, has(MT_SYNC_FAILED, true) && !has(MT_PARTNER_ENDED));
        EXPECT_EQ(moment == 3, has(MT_PARTNER_FINISHED_EARLY));
        // The end-wait file never comes from a partner that is gone; one that
        // finished first has made it.
        if (moment != 2) {
            EXPECT_EQ(moment >= 3 ? 0 : -1, utlntw_sync_finish(&me));
        }
        if (moment == 0 || moment >= 3) {
            EXPECT_EQ(0, reap_party(child));
        }
        EXPECT_TRUE(share.entries().empty());
    }
    utlntw_sync_info me;
    const mode_t before = umask(027);
    EXPECT_EQ(-1, utlntw_sync_init(&me, share.file("missing").c_str(), 3, 3, 0));
    EXPECT_EQ(0, is_alive_other_process(&me));
    EXPECT_EQ(-1, utlntw_sync_finish(&me));
    EXPECT_EQ(027u, umask(before));
    EXPECT_TRUE(has(MT_SYNC_FINISH_FAILED, true));
    EXPECT_TRUE(has(MT_PARTNER_UNKNOWN, true, EBADF));
    msg_finish();
}

} // namespace
