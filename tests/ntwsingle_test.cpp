// Tests of the ntwsingle module called directly; mode single end to end is
// in ntwscenario_test.cpp.
#include "testutil.h"

#include <functional>
#include <unistd.h>

using namespace ntwtest;

namespace {

// The two-process lock tests in this process, against a partner that goes
// through the barriers without taking its lock: a file system whose locks
// a second process does not see.  The probe must be NG, not OK.

struct UnheldLockCase {
    const char *what;
    std::function<int(utlntw_sync_info *, int, int, int, int)> two_lock;
    ntw_text_id first_probe;
    ntw_text_id not_locked;
};

TEST(SingleTwoLock, PartnerLockNotSeenIsNgAfterTheFirstProbe)
{
    const UnheldLockCase cases[] = {
        {"shared path", test_single_two_lock_zemsharepath, MT_STEP_SHLOCKED_EXCL_NOWAIT,
         MT_PEER_NOT_SHLOCKED},
        {"target path", test_single_two_lock_targetpath, MT_STEP_EXLOCKED_EXCL_NOWAIT,
         MT_PEER_NOT_EXLOCKED},
    };
    for (const UnheldLockCase &c : cases) {
        SCOPED_TRACE(c.what);
        TempDir share("share"), target("target"), logdir("log");
        const std::string log = logdir.file("log");
        ASSERT_EQ(start_report_log(log), 0);

        const int timeout = 10;
        singletest_info info{};
        int started = fork_singletest_start(target.path().c_str(), share.path().c_str(), &info,
                                            timeout, static_cast<int>(getpid()));
        if (info.is_child) {
            // Barrier 1 without a lock, then on to the parent's next barrier,
            // which it never reaches; the pairing end follows.
            if (started == 0 && utlntw_sync_wait(&info.sync) == 0) {
                sleep(1);
                utlntw_sync_wait(&info.sync);
            }
            close(info.work_fd[0]);
            close(info.work_fd[1]);
            utlntw_sync_finish(&info.sync);
            _exit(0);
        }
        ASSERT_EQ(started, 0);
        int result = c.two_lock(&info.sync, info.work_fd[0], info.work_fd[1], timeout, 0);
        fork_singletest_end(&info);
        msg_finish();

        EXPECT_EQ(result, NTW_NG);
        auto lines = test_lines(split_lines(read_file_bytes(log)));
        std::vector<std::string> expected = {step_start(0, c.first_probe),
                                             step_end(0, c.first_probe, false)};
        EXPECT_EQ(lines, expected);
        auto all = split_lines(read_file_bytes(log));
        EXPECT_TRUE(contains_line(all, error_line(c.not_locked)));
        expect_nothing_left({&share, &target}, 0);
    }
}

} // namespace
