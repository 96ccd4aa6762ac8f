// Tests of the ntwuser module called directly; mode userapl end to end, with
// the scripted operator, is in ntwscenario_test.cpp.
#include "testutil.h"

#include <sys/wait.h>
#include <unistd.h>

using namespace ntwtest;

namespace {

// The target-file test in a forked child (as nobody when asked) with its
// report in `log`; the child deletes what it registered, as the checker
// does at exit.  Its result.
int filetest_in_child(const std::string &target, const std::string &log, bool as_other_user)
{
    fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        if ((as_other_user && !become_nobody()) || start_report_log(log) != 0)
            _exit(100);
        const int result = usr_apl_filetest(target.c_str(), 10);
        delete_allfile();
        msg_finish();
        _exit(result + 10);
    }
    int status = 0;
    return waitpid(child, &status, 0) == child && WIFEXITED(status) ? WEXITSTATUS(status) - 10 : 99;
}

// A file that someone else created under the target name after the
// environment check is not the checker's: the check aborts at O1 without
// prompting, and the file is neither removed nor registered for removal.
// The result of the target-file test is the first non-zero one: the NG of
// O3/O4 (an unprivileged checker, a read-only file) stays the result
// although the lock tests, which cannot open the file for writing, abort
// (the scenario of the read-only file shows that they do).  Only the result
// value tells NG from abort.
TEST(UserAplUnit, FileOfSomeoneElseIsLeftAloneAndOpenTestNgOutranksLockTestAbort)
{
    TempDir dir("ntwuser", 0777), logs("ntwuserlog", 0777);
    const std::string target = dir.file("target.dat"), log = logs.file("root.log");
    write_file_bytes(target, "their data");
    EXPECT_EQ(filetest_in_child(target, log, false), NTW_ABORT) << read_file_bytes(log);
    EXPECT_EQ(read_file_bytes(target), "their data");
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"target.dat"});
    EXPECT_FALSE(contains_line(split_lines(read_file_bytes(log)), progress(MT_UA_ASK_APP_OPEN)));
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run the check as another user";
    become_subreaper();
    ASSERT_EQ(unlink(target.c_str()), 0);
    Operator op = start_operator(target, logs.file("operator"), {0444});
    const int result = filetest_in_child(target, logs.file("nobody.log"), true);
    finish_operator(op);
    EXPECT_EQ(result, NTW_NG) << read_file_bytes(logs.file("nobody.log"));
}

} // namespace
