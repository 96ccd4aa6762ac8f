// Tests of the ntwsingle module: mode single end to end (the real binary on
// real directories with its real forked partner), and the two-process lock
// tests against a partner that does not hold its lock.
#include "testutil.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <functional>
#include <unistd.h>

using namespace ntwtest;

namespace {

constexpr uid_t k_nobody = 65534;

// ---------------------------------------------------------------------------
// The expected tree of test steps

struct Step {
    ntw_text_id title;
    std::vector<Step> children;
    bool ng = false;

    Step &child(ntw_text_id id)
    {
        auto it = std::find_if(children.begin(), children.end(),
                               [id](const Step &s) { return s.title == id; });
        if (it != children.end())
            return *it;
        ADD_FAILURE() << "no step " << catalog(id);
        static Step missing{MT_COUNT, {}};
        return missing;
    }
};

Step leaf(ntw_text_id id)
{
    return Step{id, {}};
}

Step single_tree()
{
    return Step{
        MT_TITLE_SINGLE,
        {Step{MT_TITLE_SHARE_PATH,
              {Step{MT_TITLE_KIND_OPEN, {leaf(MT_STEP_OPEN_NEW)}},
               Step{MT_TITLE_KIND_LOCK,
                    {leaf(MT_STEP_EXCL_NOWAIT), leaf(MT_STEP_EXCL_RELEASE),
                     leaf(MT_STEP_SHARED_WAIT), leaf(MT_STEP_SHARED_RELEASE),
                     leaf(MT_STEP_EXCL_WAIT), leaf(MT_STEP_SHLOCKED_EXCL_NOWAIT),
                     leaf(MT_STEP_SHLOCKED_SHARED_WAIT), leaf(MT_STEP_SHLOCKED_EXCL_WAIT),
                     leaf(MT_STEP_EXLOCKED_EXCL_NOWAIT), leaf(MT_STEP_EXLOCKED_SHARED_WAIT),
                     leaf(MT_STEP_EXLOCKED_EXCL_WAIT), leaf(MT_STEP_SHRELEASED_EXCL_NOWAIT),
                     leaf(MT_STEP_EXRELEASED_EXCL_NOWAIT)}}}},
         Step{MT_TITLE_TARGET_PATH,
              {Step{MT_TITLE_KIND_OPEN,
                    {leaf(MT_STEP_OPEN_MISSING), leaf(MT_STEP_OPEN_NEW), leaf(MT_STEP_OPEN_READ),
                     leaf(MT_STEP_OPEN_WRITE), leaf(MT_STEP_OPEN_RDWR), leaf(MT_STEP_CHOWN)}},
               Step{MT_TITLE_KIND_LINK, {leaf(MT_STEP_LINK_NEW), leaf(MT_STEP_LINK_EXISTING)}},
               Step{MT_TITLE_KIND_LOCK,
                    {leaf(MT_STEP_EXCL_NOWAIT), leaf(MT_STEP_EXCL_RELEASE), leaf(MT_STEP_EXCL_WAIT),
                     leaf(MT_STEP_EXLOCKED_EXCL_NOWAIT), leaf(MT_STEP_EXLOCKED_EXCL_WAIT),
                     leaf(MT_STEP_EXRELEASED_EXCL_NOWAIT)}},
               Step{MT_TITLE_KIND_RW, {leaf(MT_STEP_WRITE), leaf(MT_STEP_READ)}},
               Step{MT_TITLE_KIND_DELETE, {leaf(MT_STEP_DELETE_OWN)}}}}}};
}

// Marks the step at `path` (below the root) NG, and every step above it.
void mark_ng(Step &root, std::initializer_list<ntw_text_id> path)
{
    Step *s = &root;
    s->ng = true;
    for (ntw_text_id id : path) {
        s = &s->child(id);
        s->ng = true;
    }
}

std::string format_line(ntw_text_id fmt, int width, const std::string &name, const char *verdict)
{
    char buf[1024];
    std::snprintf(buf, sizeof buf, catalog(fmt).c_str(), width, "", name.c_str(), verdict);
    std::string line = buf;
    line.pop_back(); // the newline
    return line;
}

void append_lines(const Step &s, int level, std::vector<std::string> &out)
{
    std::string name = catalog(s.title);
    out.push_back(format_line(MT_TEST_START_LINE, 2 * level, name, nullptr));
    for (const Step &c : s.children)
        append_lines(c, level + 1, out);
    out.push_back(format_line(MT_TEST_END_LINE, 2 * level, name, s.ng ? "NG" : "OK"));
}

std::vector<std::string> expected_test_lines(const Step &root)
{
    std::vector<std::string> out;
    append_lines(root, 0, out);
    return out;
}

// ---------------------------------------------------------------------------
// Reports

std::string progress_line(ntw_text_id id)
{
    return "        " + catalog(id);
}

std::string signal_line(int signum)
{
    char buf[256];
    std::snprintf(buf, sizeof buf, catalog(MT_SIGNAL_RECEIVED).c_str(), signum);
    return std::string("        ! ") + buf;
}

size_t count_substr(const std::string &text, const std::string &needle)
{
    size_t n = 0;
    for (size_t p = text.find(needle); p != std::string::npos; p = text.find(needle, p + 1))
        ++n;
    return n;
}

void replace_all(std::string &text, const std::string &from, const std::string &to)
{
    for (size_t p = text.find(from); p != std::string::npos; p = text.find(from, p + to.size()))
        text.replace(p, from.size(), to);
}

bool starts_with_any(const std::string &line, std::initializer_list<ntw_text_id> ids)
{
    for (ntw_text_id id : ids) {
        std::string text = catalog(id);
        text = text.substr(0, text.find('%'));
        if (line.find(text) != std::string::npos)
            return true;
    }
    return false;
}

// A report with what differs from run to run taken out: the directories
// and the process id in file names, and the pairing's own lines (who
// arrives first at a barrier, and who finishes last, is a race).
std::vector<std::string> comparable_report(std::string utf8, pid_t pid, const std::string &share,
                                           const std::string &target)
{
    replace_all(utf8, share, "SHARE");
    replace_all(utf8, target, "TARGET");
    replace_all(utf8, "." + std::to_string(pid) + ".", ".PID.");
    std::vector<std::string> out;
    bool in_finish = false;
    for (const std::string &line : split_lines(utf8)) {
        if (line == progress_line(MT_SYNC_FINISH_START))
            in_finish = true;
        bool pairing =
            in_finish ||
            starts_with_any(line, {MT_SYNC_INIT_START, MT_SYNC_NAME_MADE, MT_SYNC_PRE,
                                   MT_SYNC_BUSY_SET, MT_SYNC_INFO_SET, MT_SYNC_WAIT_PARTNER,
                                   MT_SYNC_PARTNER_FIRST, MT_SYNC_START, MT_SYNC_DONE}) ||
            line.find(".master") != std::string::npos;
        if (line == progress_line(MT_SYNC_FINISH_DONE))
            in_finish = false;
        if (!pairing)
            out.push_back(line);
    }
    // The partner opens its two work files in the order of its role.
    const std::string open_line =
        progress_line(MT_OPEN).substr(0, progress_line(MT_OPEN).find('%'));
    for (size_t i = 0; i + 1 < out.size(); ++i) {
        if (out[i].rfind(open_line, 0) == 0 && out[i + 1].rfind(open_line, 0) == 0 &&
            out[i] > out[i + 1])
            std::swap(out[i], out[i + 1]);
    }
    return out;
}

std::vector<std::string> args_for(const char *code_set, const TempDir &share, const TempDir &target,
                                  std::vector<std::string> extra = {})
{
    std::vector<std::string> args = {code_set,     "-m", "single",     "-h",
                                     share.path(), "-p", target.path()};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

// Waits (bounded) for the n-th line of the log that equals `line`.
bool wait_for_log_line(const std::string &log, const std::string &line, int nth, int seconds)
{
    for (int i = 0; i < seconds * 20; ++i) {
        auto lines = split_lines(read_file_bytes(log));
        if (std::count(lines.begin(), lines.end(), line) >= nth)
            return true;
        usleep(50000);
    }
    return false;
}

// Orphans of the checker get a short grace period to be reaped.
std::vector<pid_t> leftover_children_after_grace()
{
    std::vector<pid_t> left;
    for (int i = 0; i < 50; ++i) {
        left = leftover_children();
        if (left.empty())
            break;
        usleep(100000);
    }
    return left;
}

void expect_nothing_left(const TempDir &share, const TempDir &target)
{
    EXPECT_EQ(share.entries(), std::vector<std::string>()) << "in the shared path";
    EXPECT_EQ(target.entries(), std::vector<std::string>()) << "in the target path";
    EXPECT_EQ(leftover_children_after_grace(), std::vector<pid_t>());
}

RunOptions as_nobody()
{
    RunOptions opt;
    opt.drop_privileges = true;
    opt.uid = k_nobody;
    opt.gid = k_nobody;
    return opt;
}

bool is_root()
{
    return geteuid() == 0;
}

// ---------------------------------------------------------------------------
// End to end

// One run per code set and output route, run side by side on their own
// directories: -8 to a file, -e appended to a log, -s to a pipe.
TEST(SingleEndToEnd, CorrectFileSystemPassesWithTheSameReportInEveryCodeSetAndRoute)
{
    become_subreaper();
    TempDir share_u("share8"), target_u("target8");
    TempDir share_e("sharee"), target_e("targete");
    TempDir share_s("shares"), target_s("targets");
    TempDir logdir("log");
    std::string log = logdir.file("report.log");
    write_file_bytes(log, "earlier run\n");

    Proc utf8 = start_checker(args_for("-8", share_u, target_u));
    Proc euc = start_checker(args_for("-e", share_e, target_e, {"-o", log}));
    RunOptions piped;
    piped.stdout_pipe = true;
    Proc sjis = start_checker(args_for("-s", share_s, target_s), piped);
    RunResult ru = finish_checker(utf8);
    RunResult re = finish_checker(euc);
    RunResult rs = finish_checker(sjis);

    EXPECT_EQ(ru.status, 0) << ru.out << ru.err;
    EXPECT_EQ(re.status, 0) << re.err;
    EXPECT_EQ(rs.status, 0) << rs.err;
    auto lines = split_lines(ru.out);
    EXPECT_EQ(test_lines(lines), expected_test_lines(single_tree()));
    EXPECT_FALSE(std::any_of(lines.begin(), lines.end(), [](const std::string &l) {
        return l.rfind("        ! ", 0) == 0;
    })) << "no error line";

    // Each partner is announced exactly once, also when standard output is
    // a file or a pipe: nothing is left in the buffer at fork.
    std::string sjis_utf8 = convert(rs.out, "SHIFT_JIS", "UTF-8");
    for (const std::string *report : {&ru.out, &sjis_utf8}) {
        auto report_lines = split_lines(*report);
        EXPECT_EQ(std::count(report_lines.begin(), report_lines.end(), progress_line(MT_FORK)), 2);
        EXPECT_EQ(count_substr(*report, catalog(MT_FORK)), 2u);
    }

    // -o appends to the log and leaves standard output empty.
    EXPECT_EQ(re.out, "");
    std::string logged = read_file_bytes(log);
    ASSERT_EQ(logged.compare(0, 12, "earlier run\n"), 0);
    std::string euc_utf8 = eucjp_to_utf8(logged.substr(12));

    auto reference = comparable_report(ru.out, utf8.pid, share_u.path(), target_u.path());
    EXPECT_GT(reference.size(), expected_test_lines(single_tree()).size());
    EXPECT_EQ(comparable_report(euc_utf8, euc.pid, share_e.path(), target_e.path()), reference);
    EXPECT_EQ(comparable_report(sjis_utf8, sjis.pid, share_s.path(), target_s.path()), reference);

    expect_nothing_left(share_u, target_u);
    expect_nothing_left(share_e, target_e);
    expect_nothing_left(share_s, target_s);
}

// Work and sync files carry the host name and the process id, so two
// instances on the same directories do not meet each other.
TEST(SingleEndToEnd, TwoInstancesStartedTogetherOnTheSameDirectoriesBothPass)
{
    become_subreaper();
    TempDir share("share"), target("target");
    Proc a = start_checker(args_for("-8", share, target));
    Proc b = start_checker(args_for("-8", share, target));
    RunResult ra = finish_checker(a);
    RunResult rb = finish_checker(b);
    auto expected = expected_test_lines(single_tree());
    EXPECT_EQ(ra.status, 0) << ra.out;
    EXPECT_EQ(rb.status, 0) << rb.out;
    EXPECT_EQ(test_lines(split_lines(ra.out)), expected);
    EXPECT_EQ(test_lines(split_lines(rb.out)), expected);
    expect_nothing_left(share, target);
}

TEST(SingleEndToEnd, RefusedOwnerChangeIsNgAndTheRestOfTheTreeRuns)
{
    if (!is_root())
        GTEST_SKIP() << "needs root to run as another user";
    become_subreaper();
    TempDir share("share", 0777), target("target", 0777);
    RunResult r = run_checker(args_for("-8", share, target, {"-O", "root"}), as_nobody());

    EXPECT_EQ(r.status, 255) << r.out << r.err;
    Step tree = single_tree();
    mark_ng(tree, {MT_TITLE_TARGET_PATH, MT_TITLE_KIND_OPEN, MT_STEP_CHOWN});
    auto lines = split_lines(r.out);
    EXPECT_EQ(test_lines(lines), expected_test_lines(tree));
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string &l) {
        return l.rfind("        ! " + catalog(MT_CHOWN_FAILED) + " ERRORCODE=1(", 0) == 0;
    })) << r.out;
    expect_nothing_left(share, target);
}

TEST(SingleEndToEnd, TargetPathWithoutCreateRightIsNgButLaterTestsStillRun)
{
    if (!is_root())
        GTEST_SKIP() << "needs root to run as another user";
    become_subreaper();
    TempDir share("share", 0777), target("target", 0755);
    RunResult r = run_checker(args_for("-8", share, target), as_nobody());

    EXPECT_EQ(r.status, 255) << r.out << r.err;
    // The missing file is refused as it must be; every later open step
    // shows NG (running result); the other kinds cannot create their work
    // file and end NG without steps.
    Step tree = single_tree();
    Step &open = tree.child(MT_TITLE_TARGET_PATH).child(MT_TITLE_KIND_OPEN);
    for (ntw_text_id id : {MT_STEP_OPEN_NEW, MT_STEP_OPEN_READ, MT_STEP_OPEN_WRITE,
                           MT_STEP_OPEN_RDWR, MT_STEP_CHOWN})
        mark_ng(tree, {MT_TITLE_TARGET_PATH, MT_TITLE_KIND_OPEN, id});
    EXPECT_FALSE(open.child(MT_STEP_OPEN_MISSING).ng);
    for (ntw_text_id kind :
         {MT_TITLE_KIND_LINK, MT_TITLE_KIND_LOCK, MT_TITLE_KIND_RW, MT_TITLE_KIND_DELETE}) {
        tree.child(MT_TITLE_TARGET_PATH).child(kind).children.clear();
        mark_ng(tree, {MT_TITLE_TARGET_PATH, kind});
    }
    auto lines = split_lines(r.out);
    EXPECT_EQ(test_lines(lines), expected_test_lines(tree));
    EXPECT_TRUE(contains_line(lines, progress_line(MT_OPEN_REFUSED_OK))) << r.out;
    EXPECT_EQ(count_substr(r.out, catalog(MT_FORK)), 1u) << "only the shared path forks";
    expect_nothing_left(share, target);
}

// The pairing cannot start where the sync file cannot be created: the
// target lock test aborts, which ends the whole check at once.
TEST(SingleEndToEnd, SharedPathWithoutCreateRightAbortsAtTheTargetPairing)
{
    if (!is_root())
        GTEST_SKIP() << "needs root to run as another user";
    become_subreaper();
    TempDir share("share", 0755), target("target", 0777);
    RunResult r = run_checker(args_for("-8", share, target, {"-t", "10"}), as_nobody());

    EXPECT_EQ(r.status, 255) << r.out << r.err;
    Step tree = single_tree();
    mark_ng(tree, {MT_TITLE_SHARE_PATH, MT_TITLE_KIND_OPEN, MT_STEP_OPEN_NEW});
    tree.child(MT_TITLE_SHARE_PATH).child(MT_TITLE_KIND_LOCK).children.clear();
    mark_ng(tree, {MT_TITLE_SHARE_PATH, MT_TITLE_KIND_LOCK});
    Step &target_steps = tree.child(MT_TITLE_TARGET_PATH);
    target_steps.children.resize(3); // open, link, lock: the abort stops the rest
    target_steps.child(MT_TITLE_KIND_LOCK).children.resize(3); // no two-process steps
    mark_ng(tree, {MT_TITLE_TARGET_PATH, MT_TITLE_KIND_LOCK});
    auto lines = split_lines(r.out);
    EXPECT_EQ(test_lines(lines), expected_test_lines(tree));
    EXPECT_EQ(count_substr(r.out, catalog(MT_FORK)), 1u);
    expect_nothing_left(share, target);
}

struct SigintMoment {
    const char *what;
    ntw_text_id marker; // a step's start line, or a progress line
    bool start_line;
    int nth;          // its n-th appearance
    int delay_ms;     // after the marker
    bool whole_group; // as from a terminal: the partner gets it too
};

TEST(SingleEndToEnd, SigintAtAnyMomentEndsWithStatusOneAndLeavesNothing)
{
    become_subreaper();
    const SigintMoment moments[] = {
        {"while the first partner is being created", MT_FORK, false, 1, 0, false},
        {"while the parent waits for the child's shared lock", MT_STEP_SHLOCKED_EXCL_WAIT, true, 1,
         1000, false},
        {"while the first pairing ends", MT_SYNC_FINISH_START, false, 1, 200, true},
        {"while the parent waits for the child's lock on the target path",
         MT_STEP_EXLOCKED_EXCL_WAIT, true, 2, 1000, true},
    };
    for (const SigintMoment &m : moments) {
        SCOPED_TRACE(m.what);
        TempDir share("share"), target("target"), logdir("log");
        std::string log = logdir.file("report.log");
        Proc p = start_checker(args_for("-8", share, target, {"-o", log}));
        std::string marker = m.start_line
                                 ? format_line(MT_TEST_START_LINE, 6, catalog(m.marker), nullptr)
                                 : progress_line(m.marker);
        bool seen = wait_for_log_line(log, marker, m.nth, 60);
        EXPECT_TRUE(seen) << read_file_bytes(log);
        usleep(static_cast<useconds_t>(m.delay_ms) * 1000);
        kill(m.whole_group ? -p.pid : p.pid, SIGINT);
        RunResult r = finish_checker(p);

        EXPECT_EQ(r.signal, 0);
        EXPECT_EQ(r.status, 1);
        auto lines = split_lines(read_file_bytes(log));
        EXPECT_EQ(std::count(lines.begin(), lines.end(), signal_line(SIGINT)), 1)
            << read_file_bytes(log);
        EXPECT_TRUE(contains_line(lines, marker));
        expect_nothing_left(share, target);
    }
}

// ---------------------------------------------------------------------------
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
        std::vector<std::string> expected = {
            format_line(MT_TEST_START_LINE, 0, catalog(c.first_probe), nullptr),
            format_line(MT_TEST_END_LINE, 0, catalog(c.first_probe), "NG")};
        EXPECT_EQ(lines, expected);
        auto all = split_lines(read_file_bytes(log));
        EXPECT_TRUE(contains_line(all, "        ! " + catalog(c.not_locked)));
        EXPECT_EQ(share.entries(), std::vector<std::string>());
        EXPECT_EQ(target.entries(), std::vector<std::string>());
        EXPECT_EQ(leftover_children(), std::vector<pid_t>());
    }
}

} // namespace
