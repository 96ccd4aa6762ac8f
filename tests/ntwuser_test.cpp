// Tests of the ntwuser module: mode userapl run end to end against the
// scripted operator (tests/ntwoperator.cpp), which plays the operator and the
// external application.
#include "testutil.h"

#include <csignal>
#include <cstring>
#include <grp.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace ntwtest;

namespace {

constexpr int OPERATOR_DEADLINE_S = 120;

struct Operator {
    pid_t pid = -1;
    std::string record_file;
};

// Starts the operator on the target file; cwd empty: inherited.
Operator start_operator(const TempDir &records, const std::string &target,
                        std::vector<std::string> options, const std::string &cwd = "")
{
    Operator op;
    op.record_file = records.file("operator.record");
    std::vector<std::string> args = {NTWOPERATOR_BIN,
                                     "--target",
                                     target,
                                     "--record",
                                     op.record_file,
                                     "--deadline",
                                     std::to_string(OPERATOR_DEADLINE_S)};
    args.insert(args.end(), options.begin(), options.end());
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    fflush(nullptr);
    op.pid = fork();
    if (op.pid == 0) {
        if (!cwd.empty() && chdir(cwd.c_str()) != 0)
            _exit(126);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return op;
}

// Reaps the operator (which ends on its own) and returns what it recorded.
std::vector<std::string> finish_operator(Operator &op)
{
    time_t give_up = time(nullptr) + OPERATOR_DEADLINE_S + 30;
    int status = 0;
    while (waitpid(op.pid, &status, WNOHANG) == 0) {
        if (time(nullptr) > give_up) {
            ADD_FAILURE() << "operator did not end; killed";
            kill(op.pid, SIGKILL);
            waitpid(op.pid, &status, 0);
            break;
        }
        usleep(50000);
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "operator status " << status;
    return split_lines(read_file_bytes(op.record_file));
}

std::string test_start(int level, ntw_text_id title)
{
    return std::string(2 * level, ' ') + "テスト " + catalog(title) + "を開始します。";
}

std::string test_end(int level, ntw_text_id title, const char *verdict)
{
    return std::string(2 * level, ' ') + "テスト " + catalog(title) + "が終了しました。 ... [ " +
           verdict + " ]";
}

std::vector<std::string> step(int level, ntw_text_id title, const char *verdict)
{
    return {test_start(level, title), test_end(level, title, verdict)};
}

void append(std::vector<std::string> &to, const std::vector<std::string> &more)
{
    to.insert(to.end(), more.begin(), more.end());
}

// The test lines of a run that gets through the open tests with the given
// verdicts of O3/O4 and then runs the lock tests.
std::vector<std::string> run_tree(const char *o3o4, const std::vector<std::string> &lock_tests,
                                  const char *lock_kind, const char *whole)
{
    std::vector<std::string> t = {test_start(0, MT_TITLE_USRAPL),
                                  test_start(1, MT_TITLE_TARGET_FILE),
                                  test_start(2, MT_TITLE_KIND_OPEN)};
    append(t, step(3, MT_STEP_O1, "OK"));
    append(t, step(3, MT_STEP_O2, "OK"));
    append(t, step(3, MT_STEP_O3, o3o4));
    append(t, step(3, MT_STEP_O4, o3o4));
    t.push_back(test_end(2, MT_TITLE_KIND_OPEN, o3o4));
    t.push_back(test_start(2, MT_TITLE_KIND_WHOLE_LOCK));
    append(t, lock_tests);
    t.push_back(test_end(2, MT_TITLE_KIND_WHOLE_LOCK, lock_kind));
    t.push_back(test_end(1, MT_TITLE_TARGET_FILE, whole));
    t.push_back(test_end(0, MT_TITLE_USRAPL, whole));
    return t;
}

std::vector<std::string> all_ok_tree()
{
    std::vector<std::string> locks;
    append(locks, step(3, MT_STEP_L1, "OK"));
    append(locks, step(3, MT_STEP_L2, "OK"));
    append(locks, step(3, MT_STEP_L3, "OK"));
    return run_tree("OK", locks, "OK", "OK");
}

// The lines between the start and the end line of one step.
std::vector<std::string> section(const std::vector<std::string> &lines, ntw_text_id title)
{
    std::vector<std::string> out;
    bool inside = false;
    for (const auto &l : lines) {
        if (l.find("テスト " + catalog(title) + "を開始") != std::string::npos) {
            inside = true;
        } else if (l.find("テスト " + catalog(title) + "が終了") != std::string::npos) {
            break;
        } else if (inside) {
            out.push_back(l);
        }
    }
    return out;
}

bool has_line_starting(const std::vector<std::string> &lines, const std::string &prefix)
{
    for (const auto &l : lines)
        if (l.compare(0, prefix.size(), prefix) == 0)
            return true;
    return false;
}

std::string exclusive_lock_failed()
{
    std::string text = catalog(MT_LOCK_FAILED);
    return text.replace(text.find("%s"), 2, catalog(MT_LOCKWORD_EXCLUSIVE));
}

std::vector<std::string> userapl_args(const std::string &target)
{
    return {"-8", "-m", "userapl", "-f", target, "-t", "10"};
}

struct L3Case {
    const char *l3_option;
    const char *operator_saw;
    bool timeout_line;
};

} // namespace

// A cooperative operator whose application honours lockf: every step OK, the
// application's lock attempt during L1 refused, the checker's L2 refused, and
// L3 ends OK whether the application releases its lock or keeps it past the
// time-out.
TEST(UserAplRun, CooperativeOperatorPassesEveryStepWithL3GrantedOrTimedOut)
{
    const L3Case cases[] = {
        {"release", "L3 app released while checker waiting", false},
        {"hold", "L3 app held until file removed", true},
    };
    become_subreaper();
    for (const auto &c : cases) {
        SCOPED_TRACE(c.l3_option);
        TempDir dir("ntwuser"), records("ntwuserrec");
        std::string target = dir.file("target.dat");
        Operator op = start_operator(records, target, {"--l3", c.l3_option});
        RunResult r = run_checker(userapl_args(target));
        std::vector<std::string> seen = finish_operator(op);

        std::vector<std::string> lines = split_lines(r.out);
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        EXPECT_EQ(test_lines(lines), all_ok_tree()) << r.out;
        EXPECT_TRUE(contains_line(seen, "O1 opened"));
        EXPECT_TRUE(contains_line(seen, "O2 created mode 0666"));
        EXPECT_TRUE(contains_line(seen, "L1 tlock refused"));
        EXPECT_TRUE(contains_line(seen, "L2 app locked"));
        EXPECT_TRUE(contains_line(seen, c.operator_saw));

        std::vector<std::string> l2 = section(lines, MT_STEP_L2);
        EXPECT_TRUE(has_line_starting(l2, "        " + exclusive_lock_failed() + " ERRORCODE="))
            << r.out;
        std::vector<std::string> l3 = section(lines, MT_STEP_L3);
        EXPECT_EQ(has_line_starting(l3, "        ! " + catalog(MT_TIMEOUT)), c.timeout_line)
            << r.out;

        EXPECT_TRUE(dir.entries().empty());
        EXPECT_TRUE(leftover_children().empty());
    }
}

// Nobody confirms the first prompt: O1 aborts at the time-out, the lock tests
// do not run, and neither the target file nor the stop file is left.
TEST(UserAplRun, IdleOperatorAbortsAtFirstPromptAndLeavesNothing)
{
    become_subreaper();
    TempDir dir("ntwuser"), records("ntwuserrec");
    std::string target = dir.file("target.dat");
    Operator op = start_operator(records, target, {"--behaviour", "idle"});
    RunResult r = run_checker(userapl_args(target));
    std::vector<std::string> seen = finish_operator(op);

    std::vector<std::string> lines = split_lines(r.out);
    EXPECT_EQ(r.status, 255);
    std::vector<std::string> expected = {test_start(0, MT_TITLE_USRAPL),
                                         test_start(1, MT_TITLE_TARGET_FILE),
                                         test_start(2, MT_TITLE_KIND_OPEN)};
    append(expected, step(3, MT_STEP_O1, "NG"));
    append(expected, {test_end(2, MT_TITLE_KIND_OPEN, "NG"),
                      test_end(1, MT_TITLE_TARGET_FILE, "NG"), test_end(0, MT_TITLE_USRAPL, "NG")});
    EXPECT_EQ(test_lines(lines), expected) << r.out;
    EXPECT_TRUE(contains_line(section(lines, MT_STEP_O1), "        ! " + catalog(MT_SYNC_FAILED)));
    EXPECT_TRUE(contains_line(seen, "prompt 1 seen"));
    EXPECT_TRUE(contains_line(seen, "stop file removed by checker"));
    EXPECT_TRUE(dir.entries().empty());
    EXPECT_TRUE(leftover_children().empty());
}

// The checker runs unprivileged and the application's file is read-only for
// it: O3 and O4 are NG, and the run stays NG although the lock tests, which
// cannot open the file, abort.
TEST(UserAplRun, WriteOpenRefusedMakesRunNgWhateverTheLockTestsGive)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run the checker as another user";
    become_subreaper();
    TempDir dir("ntwuser", 0777), records("ntwuserrec");
    std::string target = dir.file("target.dat");
    Operator op = start_operator(records, target, {"--o2-mode", "0444"});
    RunOptions nobody;
    nobody.drop_privileges = true;
    nobody.uid = 65534;
    nobody.gid = 65534;
    RunResult r = run_checker(userapl_args(target), nobody);
    std::vector<std::string> seen = finish_operator(op);

    EXPECT_EQ(r.status, 255) << r.out << r.err;
    std::vector<std::string> expected_locks;
    EXPECT_EQ(test_lines(split_lines(r.out)), run_tree("NG", expected_locks, "NG", "NG")) << r.out;
    EXPECT_TRUE(contains_line(seen, "O2 created mode 0444"));
    EXPECT_TRUE(dir.entries().empty());
    EXPECT_TRUE(leftover_children().empty());
}

// An application that does not lock at the second lock prompt: the checker's
// lock that does not wait is granted, which must be NG; the waiting lock of
// L3 is granted at once.
TEST(UserAplRun, NoWaitLockGrantedWhileApplicationShouldHoldItIsNg)
{
    become_subreaper();
    TempDir dir("ntwuser"), records("ntwuserrec");
    std::string target = dir.file("target.dat");
    Operator op = start_operator(records, target, {"--app-lock", "no"});
    RunResult r = run_checker(userapl_args(target));
    std::vector<std::string> seen = finish_operator(op);

    EXPECT_EQ(r.status, 255) << r.out << r.err;
    std::vector<std::string> locks;
    append(locks, step(3, MT_STEP_L1, "OK"));
    append(locks, step(3, MT_STEP_L2, "NG"));
    append(locks, step(3, MT_STEP_L3, "OK"));
    std::vector<std::string> lines = split_lines(r.out);
    EXPECT_EQ(test_lines(lines), run_tree("OK", locks, "NG", "NG")) << r.out;
    EXPECT_FALSE(
        has_line_starting(section(lines, MT_STEP_L2), "        " + exclusive_lock_failed()));
    EXPECT_TRUE(contains_line(seen, "L2 app did not lock"));
    EXPECT_TRUE(dir.entries().empty());
    EXPECT_TRUE(leftover_children().empty());
}

// An interrupt while the checker waits for the operator ends the run with
// status 1 and removes the target file it created and the stop file.
TEST(UserAplRun, InterruptDuringPromptRemovesTargetAndStopFile)
{
    become_subreaper();
    TempDir dir("ntwuser");
    std::string target = dir.file("target.dat");
    Proc run = start_checker({"-8", "-m", "userapl", "-f", target, "-t", "60"});
    struct stat st;
    for (int i = 0; i < 600 && lstat(dir.file("ZEMSTOP.stop").c_str(), &st) != 0; ++i)
        usleep(50000);
    ASSERT_EQ(lstat(target.c_str(), &st), 0) << "no prompt came";
    kill(run.pid, SIGINT);
    RunResult r = finish_checker(run);

    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_TRUE(dir.entries().empty());
    EXPECT_TRUE(leftover_children().empty());
}

// A target file named without a directory: the stop file is ./ZEMSTOP.stop
// in the working directory, where the operator (started there) finds it.
TEST(UserAplRun, TargetWithoutSlashUsesStopFileInWorkingDirectory)
{
    become_subreaper();
    TempDir dir("ntwuser"), records("ntwuserrec");
    Operator op = start_operator(records, "target.dat", {}, dir.path());
    RunOptions in_dir;
    in_dir.cwd = dir.path();
    RunResult r = run_checker(userapl_args("target.dat"), in_dir);
    std::vector<std::string> seen = finish_operator(op);

    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(test_lines(split_lines(r.out)), all_ok_tree()) << r.out;
    EXPECT_TRUE(contains_line(seen, "L1 tlock refused"));
    EXPECT_TRUE(dir.entries().empty());
    EXPECT_TRUE(leftover_children().empty());
}

// The operator's instructions are report lines: with -o they are in the log
// and nothing reaches standard output.
TEST(UserAplRun, LogOptionSendsPromptsToLogNotStdout)
{
    become_subreaper();
    TempDir dir("ntwuser"), records("ntwuserrec");
    std::string target = dir.file("target.dat");
    std::string log = records.file("run.log");
    Operator op = start_operator(records, target, {});
    std::vector<std::string> args = userapl_args(target);
    args.insert(args.end(), {"-o", log});
    RunResult r = run_checker(args);
    finish_operator(op);

    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    std::vector<std::string> logged = split_lines(read_file_bytes(log));
    EXPECT_EQ(test_lines(logged), all_ok_tree());
    for (ntw_text_id prompt :
         {MT_UA_ASK_APP_OPEN, MT_UA_ASK_CLOSE_AFTER_CHECK, MT_UA_ASK_CLOSE_AFTER_CREATE,
          MT_UA_ASK_WITHIN_TIMEOUT, MT_UA_ASK_LOCK})
        EXPECT_TRUE(contains_line(logged, "        " + catalog(prompt))) << catalog(prompt);
    EXPECT_TRUE(dir.entries().empty());
}

// A hostile writer of the target's directory: the target swapped, by the
// operator's script just before it confirms a prompt, for a symbolic link to
// a path of its choice, a hard link to a file of its choice or a FIFO; or a
// stop file planted before the run.  Every such name is refused at its open
// with the error number of the refusal, at once; nothing is created through
// a link, the linked file keeps its content, owner and mode, and nothing is
// left behind.
TEST(UserAplRun, SwappedTargetAndPlantedStopFileAreRefused)
{
    become_subreaper();
    struct Row {
        const char *swap;  // operator's --swap prompt:kind, or empty
        const char *plant; // kind planted as the stop file, or empty
        int error;
    };
    const Row rows[] = {
        {"4:symlink", "", ELOOP},   // L3's open that may create the file
        {"2:hardlink", "", EMLINK}, // O2's open
        {"2:fifo", "", EINVAL},     {"", "symlink", ELOOP},
        {"", "hardlink", EMLINK},   {"", "fifo", EINVAL},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(std::string(row.swap) + row.plant);
        TempDir dir("ntwuser", 0777), records("ntwuserrec");
        const std::string target = dir.file("target.dat");
        const std::string victim = records.file("victim");
        const std::string absent = records.file("absent");
        write_file_bytes(victim, "precious");
        ASSERT_EQ(chmod(victim.c_str(), 0640), 0);
        const std::string kind = row.swap[0] != '\0' ? row.swap + 2 : row.plant;
        const std::string &link_to = kind == "symlink" ? absent : victim;
        Operator op;
        if (row.swap[0] != '\0') {
            op = start_operator(records, target, {"--swap", std::string(row.swap) + ":" + link_to});
        } else {
            const std::string stop = dir.file("ZEMSTOP.stop");
            ASSERT_EQ(kind == "symlink"    ? symlink(link_to.c_str(), stop.c_str())
                      : kind == "hardlink" ? link(link_to.c_str(), stop.c_str())
                                           : mkfifo(stop.c_str(), 0666),
                      0);
        }
        const time_t start = time(nullptr);
        RunResult r = run_checker(userapl_args(target));
        EXPECT_LT(time(nullptr) - start, 30) << "the refusal waited for a time-out";
        if (op.pid > 0) {
            EXPECT_TRUE(contains_line(finish_operator(op), "swapped " + kind));
        }

        EXPECT_EQ(r.status, 255) << r.out << r.err;
        const std::string refusal = "        ! " + catalog(MT_OPEN_FAILED) +
                                    " ERRORCODE=" + std::to_string(row.error) + "(" +
                                    strerror(row.error) + ")";
        EXPECT_TRUE(contains_line(split_lines(r.out), refusal)) << r.out;
        struct stat st;
        EXPECT_NE(lstat(absent.c_str(), &st), 0) << "a file was created through the link";
        ASSERT_EQ(stat(victim.c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, 0u);
        EXPECT_EQ(st.st_mode & 07777, 0640u);
        EXPECT_EQ(read_file_bytes(victim), "precious");
        EXPECT_TRUE(dir.entries().empty());
        EXPECT_TRUE(leftover_children().empty());
    }
}

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
    EXPECT_TRUE(has_line_starting(section(lines, MT_STEP_O1),
                                  "        ! " + catalog(MT_OPEN_FAILED) + " ERRORCODE=17("))
        << read_file_bytes(log);
    EXPECT_FALSE(contains_line(lines, "        " + catalog(MT_UA_ASK_APP_OPEN)));
}

// The result of the target-file test is the first non-zero one: the NG of
// O3/O4 (an unprivileged checker, a read-only file) stays the result although
// the lock tests, which cannot open the file for writing, abort.
TEST(UserAplUnit, OpenTestNgOutranksLockTestAbort)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run the check as another user";
    become_subreaper();
    TempDir dir("ntwuser", 0777), logs("ntwuserlog", 0777), records("ntwuserrec");
    std::string target = dir.file("target.dat");
    std::string log = logs.file("report.log");
    Operator op = start_operator(records, target, {"--o2-mode", "0444"});
    pid_t child = fork();
    if (child == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0 ||
            start_report_log(log) != 0)
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
    EXPECT_TRUE(contains_line(test_lines(lines), test_end(1, MT_TITLE_KIND_WHOLE_LOCK, "NG")));
    EXPECT_TRUE(dir.entries().empty());
}
