// Tests of the ntwdouble module: two instances of the checker playing two
// hosts on one machine (each in its own UTS namespace with its own host
// name, on the same directories), and the lock-holding child of the
// hand-over tests called directly.
#include "testutil.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using ntwtest::catalog;
using ntwtest::RunOptions;
using ntwtest::RunResult;
using ntwtest::TempDir;
using Lines = std::vector<std::string>;

bool can_make_hosts()
{
    static const bool ok = geteuid() == 0 && std::system("unshare --uts true >/dev/null 2>&1") == 0;
    return ok;
}

#define SKIP_UNLESS_TWO_HOSTS()                                                                    \
    if (!can_make_hosts())                                                                         \
    GTEST_SKIP() << "needs root and a permitted 'unshare --uts' to give each instance its "        \
                    "own host name"

RunOptions on_host(const std::string &name, int kill_after_s = 300)
{
    RunOptions opt;
    opt.prefix = {"unshare", "--uts", "sh", "-c", "hostname " + name + " && exec \"$0\" \"$@\""};
    opt.kill_after_s = kill_after_s;
    return opt;
}

Lines checker_args(const char *mode, const char *code_set, const TempDir &share,
                   const TempDir &target, int timeout, const Lines &extra = {})
{
    Lines args = {"-m",          mode,         code_set,
                  "-h",          share.path(), "-p",
                  target.path(), "-t",         std::to_string(timeout)};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

std::string to_utf8(const std::string &report, const std::string &code_set)
{
    if (code_set == "-e")
        return ntwtest::eucjp_to_utf8(report);
    if (code_set == "-s")
        return ntwtest::convert(report, "SHIFT_JIS", "UTF-8");
    return report;
}

std::string start_line(int level, ntw_text_id title)
{
    return std::string(2 * level, ' ') + "テスト " + catalog(title) + "を開始します。";
}

std::string end_line(int level, ntw_text_id title, bool ok)
{
    return std::string(2 * level, ' ') + "テスト " + catalog(title) + "が終了しました。 ... [ " +
           (ok ? "OK" : "NG") + " ]";
}

std::string progress(ntw_text_id text)
{
    return "        " + catalog(text);
}

// Builds expected test lines: steps open and close in nesting order.
class Tree {
public:
    Tree &open(ntw_text_id title)
    {
        lines_.push_back(start_line(static_cast<int>(open_.size()), title));
        open_.push_back(title);
        return *this;
    }
    Tree &close(bool ok = true)
    {
        ntw_text_id title = open_.back();
        open_.pop_back();
        lines_.push_back(end_line(static_cast<int>(open_.size()), title, ok));
        return *this;
    }
    Tree &leaf(ntw_text_id title) { return open(title).close(); }
    Tree &leaves(std::initializer_list<ntw_text_id> titles)
    {
        for (ntw_text_id t : titles)
            leaf(t);
        return *this;
    }
    const Lines &lines() const { return lines_; }

private:
    Lines lines_;
    std::vector<ntw_text_id> open_;
};

Lines passing_mutual_tree()
{
    Tree t;
    t.open(MT_TITLE_DOUBLE).open(MT_TITLE_SHARE_PATH);
    t.open(MT_TITLE_KIND_OPEN).leaf(MT_STEP_OPEN_PEERS).close();
    t.open(MT_TITLE_KIND_LOCK)
        .leaves({MT_STEP_SHRELEASED_EXCL_NOWAIT, MT_STEP_EXRELEASED_EXCL_NOWAIT,
                 MT_STEP_SHLOCKED_EXCL_NOWAIT, MT_STEP_SHLOCKED_SHARED_WAIT,
                 MT_STEP_SHLOCKED_EXCL_WAIT, MT_STEP_EXLOCKED_EXCL_NOWAIT,
                 MT_STEP_EXLOCKED_SHARED_WAIT, MT_STEP_EXLOCKED_EXCL_WAIT})
        .close();
    t.close().open(MT_TITLE_TARGET_PATH);
    t.open(MT_TITLE_KIND_OPEN).leaves({MT_STEP_OPEN_PEERS, MT_STEP_CHOWN_PEERS}).close();
    t.open(MT_TITLE_KIND_LOCK)
        .leaves({MT_STEP_EXRELEASED_EXCL_NOWAIT, MT_STEP_EXLOCKED_EXCL_NOWAIT,
                 MT_STEP_EXLOCKED_EXCL_WAIT})
        .close();
    t.open(MT_TITLE_KIND_DELETE).leaf(MT_STEP_DELETE_PEERS).close();
    t.close().close();
    return t.lines();
}

// A report of mode double: all its lines, and its test lines split into
// the single-environment part and the mutual part.
struct DoubleReport {
    Lines all;
    Lines single;
    Lines mutual;
};

DoubleReport parse_report(const RunResult &r, const std::string &code_set)
{
    DoubleReport rep;
    rep.all = ntwtest::split_lines(to_utf8(r.out, code_set));
    Lines tests = ntwtest::test_lines(rep.all);
    auto mutual = std::find(tests.begin(), tests.end(), start_line(0, MT_TITLE_DOUBLE));
    rep.single.assign(tests.begin(), mutual);
    rep.mutual.assign(mutual, tests.end());
    return rep;
}

long count_lines(const Lines &lines, const std::string &line)
{
    return std::count(lines.begin(), lines.end(), line);
}

// The lines that follow the first occurrence of `marker`.
Lines lines_after(const Lines &lines, const std::string &marker, size_t n)
{
    auto it = std::find(lines.begin(), lines.end(), marker);
    if (it == lines.end())
        return {};
    ++it;
    return Lines(it, it + std::min<ptrdiff_t>(static_cast<ptrdiff_t>(n), lines.end() - it));
}

void expect_passing_double_report(const RunResult &r, const std::string &code_set,
                                  const std::string &who)
{
    SCOPED_TRACE(who + " (" + code_set + ")");
    EXPECT_EQ(r.status, 0) << r.err;
    DoubleReport rep = parse_report(r, code_set);
    ASSERT_FALSE(rep.single.empty());
    EXPECT_EQ(rep.single.front(), start_line(0, MT_TITLE_SINGLE));
    EXPECT_EQ(rep.single.back(), end_line(0, MT_TITLE_SINGLE, true));
    for (const auto &l : rep.single)
        EXPECT_EQ(l.find("[ NG ]"), std::string::npos) << l;
    EXPECT_EQ(rep.mutual, passing_mutual_tree());

    for (const auto &l : rep.all)
        EXPECT_NE(l.rfind("        ! ", 0), 0u) << "error line in a passing run: " << l;
    // Two forked partners of the single tests, four lock-holding children;
    // each fork line exactly once, so nothing was pending at a fork.
    EXPECT_EQ(count_lines(rep.all, progress(MT_FORK)), 6);
    const std::string locked = catalog(MT_CHILD_LOCKED_OK);
    const size_t word = locked.find("%s");
    auto child_locked = [&](ntw_text_id w) {
        return "        " + locked.substr(0, word) + catalog(w) + locked.substr(word + 2);
    };
    EXPECT_EQ(count_lines(rep.all, child_locked(MT_LOCKWORD_SHARED)), 1);
    EXPECT_EQ(count_lines(rep.all, child_locked(MT_LOCKWORD_EXCLUSIVE)), 3);
    EXPECT_EQ(count_lines(rep.all, progress(MT_SIGNAL_CHILD)), 4);

    // In the mutual open tests both work files are closed before the
    // barrier after which the partner may remove them.
    const Lines closing = {progress(MT_CLOSE), progress(MT_CLOSE), progress(MT_SYNC_START)};
    EXPECT_EQ(lines_after(rep.all, end_line(3, MT_STEP_OPEN_PEERS, true), 3), closing);
    EXPECT_EQ(lines_after(rep.all, end_line(3, MT_STEP_CHOWN_PEERS, true), 3), closing);
}

void expect_nothing_left(const TempDir &share, const TempDir &target)
{
    EXPECT_EQ(share.entries(), Lines{});
    EXPECT_EQ(target.entries(), Lines{});
}

// Children that end on their own (an orphaned lock holder) get some time.
void expect_no_process_left(int grace_s)
{
    time_t deadline = time(nullptr) + grace_s;
    std::vector<pid_t> left = ntwtest::leftover_children();
    while (!left.empty() && time(nullptr) < deadline) {
        usleep(200000);
        left = ntwtest::leftover_children();
    }
    EXPECT_TRUE(left.empty()) << left.size() << " process(es) left, first " << left.front();
    for (pid_t pid : left) { // so that a failure does not hang the suite
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
}

TEST(DoubleModeTest, BothInstancesStartedTogetherPassEveryStepAndLeaveNothing)
{
    SKIP_UNLESS_TWO_HOSTS();
    ntwtest::become_subreaper();
    TempDir share("ntwdshare"), target("ntwdtarget");
    auto a =
        ntwtest::start_checker(checker_args("double", "-8", share, target, 30), on_host("hostA"));
    auto b =
        ntwtest::start_checker(checker_args("double", "-8", share, target, 30), on_host("hostB"));
    RunResult ra = ntwtest::finish_checker(a);
    RunResult rb = ntwtest::finish_checker(b);
    expect_passing_double_report(ra, "-8", "hostA");
    expect_passing_double_report(rb, "-8", "hostB");
    expect_nothing_left(share, target);
    expect_no_process_left(0);
}

// The number of the mutual work file whose owner an instance changed to
// nobody, -1 when none: the two instances must have worked on crossed files.
int chowned_partner_file(const Lines &all, const std::string &dir)
{
    std::string line = "        " + catalog(MT_CHOWN);
    line.replace(line.find("%s"), 2, dir + "/.#ZEMLOCK.N");
    line.replace(line.find("%d"), 2, "65534");
    line.replace(line.find("%d"), 2, "65534");
    const size_t number = line.find(".N ") + 1;
    for (char n : {'0', '1'}) {
        line[number] = n;
        if (ntwtest::contains_line(all, line))
            return n - '0';
    }
    return -1;
}

TEST(DoubleModeTest, InstancesStartedSecondsApartPassInEucJpAndShiftJisWithAnOwner)
{
    SKIP_UNLESS_TWO_HOSTS();
    ntwtest::become_subreaper();
    TempDir share("ntwdshare"), target("ntwdtarget");
    const Lines owner = {"-O", "nobody", "-G", "nogroup"};
    auto a = ntwtest::start_checker(checker_args("double", "-e", share, target, 30, owner),
                                    on_host("hostA"));
    sleep(4);
    auto b = ntwtest::start_checker(checker_args("double", "-s", share, target, 30, owner),
                                    on_host("hostB"));
    RunResult ra = ntwtest::finish_checker(a);
    RunResult rb = ntwtest::finish_checker(b);
    expect_passing_double_report(ra, "-e", "hostA");
    expect_passing_double_report(rb, "-s", "hostB");

    int given_by_a = chowned_partner_file(parse_report(ra, "-e").all, target.path());
    int given_by_b = chowned_partner_file(parse_report(rb, "-s").all, target.path());
    EXPECT_NE(given_by_a, -1);
    EXPECT_NE(given_by_b, -1);
    EXPECT_NE(given_by_a, given_by_b);
    expect_nothing_left(share, target);
    expect_no_process_left(0);
}

// Also proves that the double report begins with exactly the report of the
// single mode: a single run on other directories goes alongside.
TEST(DoubleModeTest, LoneInstanceTimesOutAtTheFirstPairingAndStopsTheMutualTests)
{
    SKIP_UNLESS_TWO_HOSTS();
    ntwtest::become_subreaper();
    TempDir share("ntwdshare"), target("ntwdtarget");
    TempDir single_share("ntwsshare"), single_target("ntwstarget");
    // The presence file that an instance killed at the pairing leaves: it
    // never changes again, so it is no partner; the lone instance removes it
    // with the pairing's files.
    ntwtest::write_file_bytes(share.file(".#ZEMLOCK.master.hostB.4711.here"), "0000000007\n");
    auto lone =
        ntwtest::start_checker(checker_args("double", "-8", share, target, 10), on_host("hostA"));
    auto single = ntwtest::start_checker(
        checker_args("single", "-8", single_share, single_target, 10), on_host("hostC"));
    RunResult rl = ntwtest::finish_checker(lone);
    RunResult rs = ntwtest::finish_checker(single);

    EXPECT_EQ(rl.status, 255) << rl.err;
    EXPECT_EQ(rs.status, 0) << rs.err;
    DoubleReport rep = parse_report(rl, "-8");
    EXPECT_EQ(rep.single, ntwtest::test_lines(ntwtest::split_lines(rs.out)));
    Tree stopped;
    stopped.open(MT_TITLE_DOUBLE).open(MT_TITLE_SHARE_PATH).open(MT_TITLE_KIND_OPEN);
    stopped.close(false).close(false).close(false);
    EXPECT_EQ(rep.mutual, stopped.lines());
    EXPECT_TRUE(ntwtest::contains_line(rep.all, "        ! " + catalog(MT_TIMEOUT)));
    EXPECT_TRUE(ntwtest::contains_line(rep.all, "        ! " + catalog(MT_PARTNER_NOT_SEEN)));
    const std::string unseen = catalog(MT_PARTNER_LOCKS_UNSEEN);
    for (const auto &l : rep.all)
        EXPECT_EQ(l.find(unseen.substr(0, unseen.find("%s"))), std::string::npos) << l;
    expect_nothing_left(share, target);
    expect_nothing_left(single_share, single_target);
    expect_no_process_left(0);
}

// An instance that comes while two others are paired (here one process
// holds both liveness bytes of the sync file and has made the end-wait file)
// finds the pairing taken: its mutual tests fail, and neither its finish nor
// its exit clean-up removes the pair's files.
TEST(DoubleModeTest, ThirdInstanceBesideALivePairLeavesThePairsFilesAlone)
{
    ntwtest::become_subreaper();
    TempDir share("ntwdshare"), target("ntwdtarget");
    const std::string sync_file = share.file(".#ZEMLOCK.master");
    const std::string endwait = share.file("endwaitfile");
    int ready[2], release[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(release), 0);
    std::fflush(nullptr);
    pid_t pair = fork();
    if (pair == 0) {
        close(ready[0]);
        close(release[1]);
        int fd = open(sync_file.c_str(), O_RDWR | O_CREAT, 0666);
        close(open(endwait.c_str(), O_RDWR | O_CREAT, 0666));
        struct flock fl {};
        fl.l_type = F_WRLCK;
        fl.l_whence = SEEK_SET;
        fl.l_start = 1;
        fl.l_len = 2;
        char c = fcntl(fd, F_SETLK, &fl) == 0 ? 'y' : 'n';
        if (write(ready[1], &c, 1) == 1)
            while (read(release[0], &c, 1) > 0) {
            }
        _exit(0);
    }
    close(ready[1]);
    close(release[0]);
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    ASSERT_EQ(c, 'y');

    RunResult r = ntwtest::run_checker(checker_args("double", "-8", share, target, 10));
    EXPECT_EQ(r.status, 255) << r.out << r.err;
    EXPECT_TRUE(
        ntwtest::contains_line(ntwtest::split_lines(r.out), progress(MT_SYNC_PARTNER_FIRST)))
        << r.out;
    EXPECT_EQ(share.entries(), (Lines{".#ZEMLOCK.master", "endwaitfile"}));
    EXPECT_EQ(target.entries(), Lines{});
    close(release[1]);
    close(ready[0]);
    waitpid(pair, nullptr, 0);
    expect_no_process_left(0);
}

// Waits until the report file of a running checker holds `line`.
bool wait_for_report_line(const ntwtest::Proc &p, const std::string &line, int limit_s)
{
    time_t deadline = time(nullptr) + limit_s;
    while (time(nullptr) < deadline) {
        if (ntwtest::contains_line(ntwtest::split_lines(ntwtest::read_file_bytes(p.out_file)),
                                   line))
            return true;
        if (waitpid(p.pid, nullptr, WNOHANG) != 0)
            return false;
        usleep(100000);
    }
    return false;
}

TEST(DoubleModeTest, KilledPartnerInTheLockTestsMakesTheSurvivorAbortAndNothingIsLeft)
{
    SKIP_UNLESS_TWO_HOSTS();
    ntwtest::become_subreaper();
    TempDir share("ntwdshare"), target("ntwdtarget");
    auto survivor = ntwtest::start_checker(checker_args("double", "-8", share, target, 10),
                                           on_host("hostA", 200));
    auto victim = ntwtest::start_checker(checker_args("double", "-8", share, target, 10),
                                         on_host("hostB", 200));
    // The victim dies while its child holds the shared lock of test 31, so
    // the child is orphaned with its lock.
    std::string shared_locked = "        " + catalog(MT_CHILD_LOCKED_OK);
    shared_locked.replace(shared_locked.find("%s"), 2, catalog(MT_LOCKWORD_SHARED));
    ASSERT_TRUE(wait_for_report_line(victim, shared_locked, 180));
    ASSERT_EQ(kill(victim.pid, SIGKILL), 0);
    const time_t killed = time(nullptr);

    RunResult rs = ntwtest::finish_checker(survivor);
    const time_t survivor_took = time(nullptr) - killed;
    RunResult rv = ntwtest::finish_checker(victim);
    EXPECT_EQ(rv.signal, SIGKILL);
    EXPECT_EQ(rs.status, 255) << rs.err;
    EXPECT_LT(survivor_took, 90) << "the survivor must end within a bounded time";

    DoubleReport rep = parse_report(rs, "-8");
    ASSERT_FALSE(rep.mutual.empty());
    EXPECT_EQ(rep.mutual.back(), end_line(0, MT_TITLE_DOUBLE, false));
    EXPECT_TRUE(ntwtest::contains_line(rep.mutual, end_line(3, MT_STEP_SHLOCKED_EXCL_WAIT, false)));
    EXPECT_FALSE(ntwtest::contains_line(rep.mutual, start_line(3, MT_STEP_EXLOCKED_EXCL_NOWAIT)));
    EXPECT_FALSE(ntwtest::contains_line(rep.mutual, start_line(1, MT_TITLE_TARGET_PATH)));
    expect_nothing_left(share, target);
    expect_no_process_left(20);
}

// ---------------------------------------------------------------------------
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
        sig_remove_child(child);
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
    expect_no_process_left(20);
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
