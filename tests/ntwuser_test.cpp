// Tests of the ntwuser module called directly; mode userapl end to end, with
// the scripted operator, is in ntwscenario_test.cpp.
#include "testutil.h"

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace ntwtest;

namespace {

// A file that someone else created under the target name after the
// environment check is not the checker's: the check aborts at O1 without
// prompting, and the file is neither removed nor registered for removal.
TEST(UserAplUnit, FileCreatedBySomeoneElseBeforeO1IsLeftAlone)
{
    TempDir dir("ntwuser"), logs("ntwuserlog");
    std::string log = logs.file("report.log");
    ASSERT_EQ(start_report_log(log), 0);
    std::string target = dir.file("target.dat");
    write_file_bytes(target, "their data");

    int result = usr_apl_filetest(target.c_str(), 10);
    delete_allfile();
    msg_finish();

    EXPECT_EQ(result, NTW_ABORT);
    EXPECT_EQ(read_file_bytes(target), "their data");
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"target.dat"});
    std::vector<std::string> lines = split_lines(read_file_bytes(log));
    const std::string refused = error_line(MT_OPEN_FAILED, EEXIST);
    EXPECT_TRUE(contains_line(lines, refused)) << read_file_bytes(log);
    EXPECT_FALSE(contains_line(lines, progress(MT_UA_ASK_APP_OPEN)));
}

// The result of the target-file test is the first non-zero one: the NG of
// O3/O4 (an unprivileged checker, a read-only file) stays the result although
// the lock tests, which cannot open the file for writing, abort.  Only the
// result value tells NG from abort.
TEST(UserAplUnit, OpenTestNgOutranksLockTestAbort)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run the check as another user";
    become_subreaper();
    TempDir dir("ntwuser", 0777), logs("ntwuserlog", 0777);
    std::string target = dir.file("target.dat");
    std::string log = logs.file("report.log");
    Operator op = start_operator(target, logs.file("operator"), {0444});
    pid_t child = fork();
    if (child == 0) {
        if (!become_nobody() || start_report_log(log) != 0)
            _exit(100);
        int result = usr_apl_filetest(target.c_str(), 10);
        msg_finish();
        _exit(result + 10);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    finish_operator(op);

    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status) - 10, NTW_NG) << read_file_bytes(log);
    std::vector<std::string> lines = split_lines(read_file_bytes(log));
    EXPECT_TRUE(contains_line(test_lines(lines), step_end(1, MT_TITLE_KIND_WHOLE_LOCK, false)));
    EXPECT_TRUE(dir.entries().empty());
}

} // namespace
