// End-to-end scenarios: the real checker on real directories, with its real
// forked partners, a second instance playing another host, the scripted
// operator, and file systems made faulty by the fault-injection library
// (ntwfault, LD_PRELOAD).  Each row is one CTest test.  Every run is checked
// against the model of the report tree (below): its test lines, its exit
// status, the lines of the step that must catch a fault, no time-out waited
// out without an abort, nothing left on disk and no process left.
#include "testutil.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace ntwtest;
using Lines = std::vector<std::string>;

// The model of the report tree: the kinds of processing of each mode, in
// the order the drivers run them, with the steps of a passing run.
enum Mode { SINGLE, DOUBLE, USERAPL };
// clang-format off
enum Kind {
    S_OPEN, S_LOCK, T_OPEN, T_LINK, T_LOCK, T_RW, T_DELETE, // single
    DS_OPEN, DS_LOCK, DT_OPEN, DT_LOCK, DT_DELETE,          // mutual
    U_OPEN, U_LOCK,                                         // userapl
    KIND_COUNT
};
// clang-format on
struct KindInfo {
    Mode mode;
    ntw_text_id object;
    ntw_text_id title;
    std::vector<ntw_text_id> steps;
};
// How one kind ends when it differs from a clean pass: the steps that end
// NG, the kind's result (0 OK, 1 NG, -1 abort) and the last step that runs
// (by default the last NG one; later steps do not run).
struct KindOutcome {
    Kind kind;
    std::vector<ntw_text_id> ng;
    int result;
    ntw_text_id through = MT_COUNT;
};

// clang-format off
const KindInfo k_kinds[KIND_COUNT] = {
    {SINGLE, MT_TITLE_SHARE_PATH, MT_TITLE_KIND_OPEN, {MT_STEP_OPEN_NEW}},
    {SINGLE, MT_TITLE_SHARE_PATH, MT_TITLE_KIND_LOCK,
     {MT_STEP_EXCL_NOWAIT, MT_STEP_EXCL_RELEASE, MT_STEP_SHARED_WAIT, MT_STEP_SHARED_RELEASE,
      MT_STEP_EXCL_WAIT, MT_STEP_SHLOCKED_EXCL_NOWAIT, MT_STEP_SHLOCKED_SHARED_WAIT,
      MT_STEP_SHLOCKED_EXCL_WAIT, MT_STEP_EXLOCKED_EXCL_NOWAIT, MT_STEP_EXLOCKED_SHARED_WAIT,
      MT_STEP_EXLOCKED_EXCL_WAIT, MT_STEP_SHRELEASED_EXCL_NOWAIT, MT_STEP_EXRELEASED_EXCL_NOWAIT}},
    {SINGLE, MT_TITLE_TARGET_PATH, MT_TITLE_KIND_OPEN,
     {MT_STEP_OPEN_MISSING, MT_STEP_OPEN_NEW, MT_STEP_OPEN_READ, MT_STEP_OPEN_WRITE,
      MT_STEP_OPEN_RDWR, MT_STEP_CHOWN}},
    {SINGLE, MT_TITLE_TARGET_PATH, MT_TITLE_KIND_LINK, {MT_STEP_LINK_NEW, MT_STEP_LINK_EXISTING}},
    {SINGLE, MT_TITLE_TARGET_PATH, MT_TITLE_KIND_LOCK,
     {MT_STEP_EXCL_NOWAIT, MT_STEP_EXCL_RELEASE, MT_STEP_EXCL_WAIT, MT_STEP_EXLOCKED_EXCL_NOWAIT,
      MT_STEP_EXLOCKED_EXCL_WAIT, MT_STEP_EXRELEASED_EXCL_NOWAIT}},
    {SINGLE, MT_TITLE_TARGET_PATH, MT_TITLE_KIND_RW, {MT_STEP_WRITE, MT_STEP_READ}},
    {SINGLE, MT_TITLE_TARGET_PATH, MT_TITLE_KIND_DELETE, {MT_STEP_DELETE_OWN}},
    // Mutual tests 35, 36, 29, 30, 31, 32, 33, 34 on the shared path.
    {DOUBLE, MT_TITLE_SHARE_PATH, MT_TITLE_KIND_OPEN,
     {MT_STEP_OPEN_PEERS, MT_STEP_READ_PEERS, MT_STEP_READ_PEERS_LOCKED}},
    {DOUBLE, MT_TITLE_SHARE_PATH, MT_TITLE_KIND_LOCK,
     {MT_STEP_SHRELEASED_EXCL_NOWAIT, MT_STEP_EXRELEASED_EXCL_NOWAIT,
      MT_STEP_SHLOCKED_EXCL_NOWAIT, MT_STEP_SHLOCKED_SHARED_WAIT, MT_STEP_SHLOCKED_EXCL_WAIT,
      MT_STEP_EXLOCKED_EXCL_NOWAIT, MT_STEP_EXLOCKED_SHARED_WAIT, MT_STEP_EXLOCKED_EXCL_WAIT}},
    {DOUBLE, MT_TITLE_TARGET_PATH, MT_TITLE_KIND_OPEN,
     {MT_STEP_OPEN_PEERS, MT_STEP_CHOWN_PEERS, MT_STEP_READ_PEERS, MT_STEP_READ_PEERS_LOCKED}},
    // Mutual tests 36, 32, 34 on the target path.
    {DOUBLE, MT_TITLE_TARGET_PATH, MT_TITLE_KIND_LOCK,
     {MT_STEP_EXRELEASED_EXCL_NOWAIT, MT_STEP_EXLOCKED_EXCL_NOWAIT, MT_STEP_EXLOCKED_EXCL_WAIT}},
    {DOUBLE, MT_TITLE_TARGET_PATH, MT_TITLE_KIND_DELETE, {MT_STEP_DELETE_PEERS}},
    {USERAPL, MT_TITLE_TARGET_FILE, MT_TITLE_KIND_OPEN,
     {MT_STEP_O1, MT_STEP_O2, MT_STEP_O3, MT_STEP_O4}},
    {USERAPL, MT_TITLE_TARGET_FILE, MT_TITLE_KIND_WHOLE_LOCK, {MT_STEP_L1, MT_STEP_L2, MT_STEP_L3}},
};
// clang-format on

const char *mode_name(Mode mode)
{
    return mode == SINGLE ? "single" : mode == DOUBLE ? "double" : "userapl";
}

ntw_text_id mode_title(Mode mode)
{
    return mode == SINGLE ? MT_TITLE_SINGLE : mode == DOUBLE ? MT_TITLE_DOUBLE : MT_TITLE_USRAPL;
}

// One mode's tree; its result.  In modes single and double each driver
// keeps the last non-zero result and stops after an abort; in mode userapl
// the first non-zero result of the two kinds stands, and an abort of the
// open kind skips the lock kind.
int append_tree(Mode mode, const std::vector<KindOutcome> &outcome, std::vector<std::string> &out)
{
    out.push_back(step_start(0, mode_title(mode)));
    int top = 0, obj = 0;
    for (int k = 0; k < KIND_COUNT && top >= 0; ++k) {
        const KindInfo &info = k_kinds[k];
        auto same_object = [&](int other) {
            return other >= 0 && other < KIND_COUNT && k_kinds[other].mode == mode &&
                   k_kinds[other].object == info.object;
        };
        if (info.mode != mode)
            continue;
        if (!same_object(k - 1)) {
            out.push_back(step_start(1, info.object));
            obj = 0;
        }
        KindOutcome o{static_cast<Kind>(k), {}, 0, info.steps.back()};
        for (const KindOutcome &given : outcome)
            o = given.kind == k ? given : o;
        auto is_ng = [&](ntw_text_id step) {
            return std::find(o.ng.begin(), o.ng.end(), step) != o.ng.end();
        };
        size_t n = 0;
        for (size_t i = 0; i < info.steps.size(); ++i)
            n = info.steps[i] == o.through || (o.through == MT_COUNT && is_ng(info.steps[i]))
                    ? i + 1
                    : n;
        out.push_back(step_start(2, info.title));
        for (size_t i = 0; i < n; ++i) {
            out.push_back(step_start(3, info.steps[i]));
            out.push_back(step_end(3, info.steps[i], !is_ng(info.steps[i])));
        }
        out.push_back(step_end(2, info.title, o.result == 0));
        if (o.result != 0 && (mode != USERAPL || obj == 0))
            obj = o.result;
        if (!same_object(k + 1) || obj < 0) {
            out.push_back(step_end(1, info.object, obj == 0));
            top = obj != 0 ? obj : top;
        }
    }
    out.push_back(step_end(0, mode_title(mode), top == 0));
    return top;
}

// Mode double goes on to the mutual tests unless the single tests aborted.
std::vector<std::string> expected_tree(Mode mode, const std::vector<KindOutcome> &outcome)
{
    std::vector<std::string> out;
    if (mode != DOUBLE || append_tree(SINGLE, outcome, out) >= 0)
        append_tree(mode, outcome, out);
    return out;
}

std::string temp_file()
{
    char name[] = "/tmp/ntwout.XXXXXX";
    int fd = mkstemp(name);
    fchmod(fd, 0666); // the checker may run as another user
    close(fd);
    return name;
}

// A run of the checker: its exit status (-1 when a signal ended it, which
// is then `signal`) and output once finished.
struct Run {
    pid_t pid = -1;
    std::string out_file = temp_file(), err_file = temp_file();
    int status = -1, signal = 0;
    std::string out, err;
};

// Runs argv in a new process, standard input on /dev/null, after
// `prepare` (in the new process); it exits 127 when argv cannot be run.
pid_t spawn(std::vector<std::string> args, const std::function<void()> &prepare)
{
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(open("/dev/null", O_RDONLY), 0);
        prepare();
        execvp(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

// Waits for the run's end (killing it after five minutes) and reads its
// output.
void finish_checker(Run &r)
{
    int status = 0;
    for (time_t end = time(nullptr) + 300; waitpid(r.pid, &status, WNOHANG) == 0;) {
        if (time(nullptr) > end) {
            ADD_FAILURE() << "checker did not end within 300 s; killed";
            kill(-r.pid, SIGKILL);
        }
        usleep(20000);
    }
    r.out = read_file_bytes(r.out_file);
    r.err = read_file_bytes(r.err_file);
    unlink(r.out_file.c_str());
    unlink(r.err_file.c_str());
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
}

// Two instances in their own UTS namespaces play two hosts: needs root and
// a permitted 'unshare --uts'.
bool can_make_hosts()
{
    static const bool ok = geteuid() == 0 && std::system("unshare --uts true >/dev/null 2>&1") == 0;
    return ok;
}

// Waits up to `seconds` for the file to hold `line` at least `nth` times.
bool wait_for_line(const std::string &file, const std::string &line, int nth, int seconds)
{
    for (int i = 0; i < seconds * 20; ++i) {
        auto lines = split_lines(read_file_bytes(file));
        if (std::count(lines.begin(), lines.end(), line) >= nth)
            return true;
        usleep(50000);
    }
    return false;
}

// Where a fault acts: the work files of the shared or the target path, or
// the operator's target file.
enum Scope { SHARE, TARGET, TARGET_FILE };

// How a row drives the checker.
enum Drive {
    PLAIN,     // one run (mode double: two hosts started together)
    CODE_SETS, // three single runs on the same directories: -s, -e with a log, -8
    APART,     // mode double, the second host four seconds later, -e and -s
    LONE,      // mode double without a partner, beside a stale presence file and
               // another user's one that appears while it waits
    KILLED,    // mode double, the partner killed while its child holds a lock
    SIGNALLED, // a signal at a moment of the run
    THIRD,     // mode double beside a live pair (one process holds its sync bytes)
    PLANTED,   // mode single with names planted under the checker's own names
    IDLE,      // mode userapl with nobody acting on the prompts
    MIXED,     // mode double, the fault's host an earlier release: both skip
};

struct Row {
    std::string name;
    Mode mode;
    std::vector<KindOutcome> outcome; // the faulty instance's kinds that do not pass
    int status;                       // its exit status; other instances pass, unless
    // the partner (mode double, the fault on one host) is to stop at a
    // barrier: its kinds that do not pass, lines its first NG step shows.
    std::vector<KindOutcome> partner = {};
    Lines partner_lines = {};
    // The step that must catch the fault (KIND_COUNT: the whole report; the
    // kind's title: the whole kind), lines it must show and line beginnings
    // it must not.
    Kind kind = KIND_COUNT;
    ntw_text_id step = MT_COUNT;
    Lines lines = {}, absent = {};
    // After a time-out in the catching step the remaining waits of the chain
    // end at once, so which later barriers the hosts still pass depends on
    // who arrives first: the tree is compared up to the next step's start.
    bool racy = false;
    // The fault, NTWFAULT_KIND (mode double: "mutual" by default), the only
    // host that sees it and the occasions at which it acts (NTWFAULT_AT).
    const char *fault = nullptr, *fault_kind = nullptr, *host = nullptr, *at = "";
    Scope scope = TARGET;
    // A hostile name (symlink, hardlink, fifo) and the error number of its
    // refusal (0: a line that names it as foreign): planted as the stop
    // file, or swapped for the target file by the operator after prompt
    // swap_at; PLANTED: planted under `names` (S, T: the shared or target
    // path; H: the host name; P: the checker's process id; fixed names are
    // planted once before the run).
    const char *plant = nullptr;
    int swap_at = 0, refusal = 0;
    Lines names = {};
    bool log = false, relative = false, nobody = false; // -o; a target without directory
    Lines args = {};
    int timeout = 10;
    Drive drive = PLAIN;
    mode_t share_mode = 0700, target_mode = 0700;
    OperatorScript script = {};
    Lines op_seen = {}; // lines the operator must have recorded
    // SIGNALLED, KILLED: the signal after the nth appearance of `marker`
    // (+ delay), to the whole process group when `group`.
    int sig = 0, nth = 1, delay_ms = 0;
    std::string marker = {};
    bool group = false;

    // clang-format off
    Row &catches(Kind k, ntw_text_id s, Lines l, Lines no = {}) { return kind = k, step = s, lines = std::move(l), absent = std::move(no), *this; }
    // Caught in the first NG step of the first kind in `outcome` (without one: in that kind).
    Row &showing(Lines l, Lines no = {}) { const KindOutcome &o = outcome.front(); return catches(o.kind, o.ng.empty() ? k_kinds[o.kind].title : o.ng.front(), std::move(l), std::move(no)); }
    Row &faulty(const char *f, Scope s, const char *h = nullptr, const char *k = nullptr) { return fault = f, scope = s, host = h, fault_kind = k, *this; }
    Row &at_occasions(const char *a) { return at = a, *this; }
    Row &partner_stops(std::vector<KindOutcome> o, Lines l) { return partner = std::move(o), partner_lines = std::move(l), *this; }
    Row &racy_after() { return racy = true, *this; }
    Row &with(Lines a, int t = 10) { return args = std::move(a), timeout = t, *this; }
    Row &driven(Drive d, int s = 0, std::string m = {}, int n = 1, int delay = 0, bool g = false)
    {
        return drive = d, sig = s, marker = std::move(m), nth = n, delay_ms = delay, group = g, *this;
    }
    Row &as_nobody(mode_t share, mode_t target) { return nobody = true, share_mode = share, target_mode = target, *this; }
    Row &operating(OperatorScript o, Lines seen) { return script = std::move(o), op_seen = std::move(seen), *this; }
    Row &routed(bool to_log, bool rel) { return log = to_log, relative = rel, *this; }
    Row &hostile(const char *p, int err, int at = 0) { return plant = p, refusal = err, swap_at = at, catches(KIND_COUNT, MT_COUNT, {error_line(MT_OPEN_FAILED, err)}); }
    Row &planted(const char *p, Lines n, int err, Lines a = {"-O", "nobody"}) { return drive = PLANTED, plant = p, names = std::move(n), refusal = err, args = std::move(a), *this; }
    // clang-format on
};

// CTest and gtest name a row by its name.
void PrintTo(const Row &r, std::ostream *os)
{
    *os << r.name;
}

std::string head(ntw_text_id id)
{
    std::string s = progress(id);
    return s.substr(0, s.find('%'));
}

std::string exclusive(ntw_text_id id, bool error)
{
    return replace_first(error ? error_line(id) : progress(id), "%s",
                         catalog(MT_LOCKWORD_EXCLUSIVE));
}

// An owner change to "nobody" that left the file with the checker's group,
// and its owner too unless `owner_changed`.
std::string owner_unchanged_line(bool owner_changed)
{
    const Ids who = nobody();
    char buf[1024];
    snprintf(buf, sizeof buf, catalog(MT_CHOWN_NOT_APPLIED).c_str(), static_cast<int>(who.uid),
             static_cast<int>(who.gid), static_cast<int>(owner_changed ? who.uid : getuid()),
             static_cast<int>(getgid()));
    return "        ! " + std::string(buf);
}

std::string signal_line(int sig)
{
    return replace_first(error_line(MT_SIGNAL_RECEIVED), "%d", std::to_string(sig));
}

// A hostile name under `name`: a symbolic link to `to`, a hard link of it,
// or a FIFO.
// Kinds: a symbolic link, a hard link or a FIFO; "foreign": a file of
// nobody's (one link: its owner alone makes it foreign); "leftover": a file
// of the test's own user with one link, as a killed earlier run leaves it.
int plant(const std::string &kind, const std::string &to, const std::string &name)
{
    if (kind == "foreign" || kind == "leftover") {
        const uid_t uid = kind == "foreign" ? nobody().uid : getuid();
        const int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        return fd < 0 || write(fd, "theirs", 6) != 6 || fchown(fd, uid, uid) != 0 ? -1 : close(fd);
    }
    return kind == "symlink"    ? symlink(to.c_str(), name.c_str())
           : kind == "hardlink" ? link(to.c_str(), name.c_str())
                                : mkfifo(name.c_str(), 0666);
}

// The file a planted link leads to: a victim with content, or (for a
// symbolic link) a name that must never be created.
std::string plant_target(const std::string &kind, const TempDir &logs)
{
    write_file_bytes(logs.file("victim"), "precious");
    chmod(logs.file("victim").c_str(), 0640);
    return logs.file(kind == "symlink" ? "absent" : "victim");
}

// The report line that names a file the checker did not create.
std::string foreign_line(const std::string &name)
{
    return replace_first(error_line(MT_WORK_FOREIGN), "%s", name);
}

// The rows, longest first so that CTest starts them first.  Rows d01-d35 are
// the faulty file systems of docs/detection.md, in its order.
std::vector<Row> rows()
{
    const Lines owner = {"-O", "nobody"};
    const std::string timeout = error_line(MT_TIMEOUT, EINTR);
    const std::string refused = exclusive(MT_LOCK_FAILED, false);
    const std::string eagain = " ERRORCODE=11(" + std::string(strerror(EAGAIN)) + ")";
    const std::string enolck = " ERRORCODE=37(" + std::string(strerror(ENOLCK)) + ")";
    const std::string garbage = replace_first(error_line(MT_READ_DATA_BAD), "%s", "123456789X");
    const std::string unseen = replace_first(error_line(MT_PARTNER_LOCKS_UNSEEN), "%s", "@PARTNER");
    // A pattern ('~', fnmatch) of a data step's mismatch line.
    auto data_bad = [](const std::string &expected, const std::string &found) {
        const std::string line =
            replace_first(error_line(MT_PEER_DATA_BAD), "%s", "ZEMNTWDATA " + expected);
        return "~" + replace_first(line, "%s", found.empty() ? found : "ZEMNTWDATA " + found);
    };
    const Lines never_ended = {progress(MT_PARTNER_ENDED), error_line(MT_PARTNER_NOT_SEEN)};
    // Names that do not keep each other from being reached share a row.
    const Lines work_files = {"T/.#ZEMLOCK.H.P.1", "S/.#ZEMLOCK.H.P.0"};
    const Lines end_wait = {"S/H.P.endwaitfile", "S/H.P.endwaitfile.EXCL"};
    const std::string shared_held =
        replace_first(progress(MT_CHILD_LOCKED_OK), "%s", catalog(MT_LOCKWORD_SHARED));
    // clang-format off
    return {
        Row{"double_partner_killed_while_its_child_holds_a_lock", DOUBLE, {{DS_LOCK, {MT_STEP_SHLOCKED_EXCL_WAIT}, -1}}, 255}.driven(KILLED, SIGKILL, shared_held),
        Row{"double_started_apart_euc_sjis_with_owner", DOUBLE, {}, 0}.driven(APART).with({"-O", "nobody", "-G", "nogroup"}, 30),
        Row{"double_lone_instance_times_out_at_first_pairing", DOUBLE, {{DS_OPEN, {}, -1}}, 255}.driven(LONE)
            .catches(KIND_COUNT, MT_COUNT, {error_line(MT_TIMEOUT), error_line(MT_PARTNER_NOT_SEEN)}, {head(MT_PARTNER_LOCKS_UNSEEN).insert(8, "! ")}),
        Row{"d01_nolock_share_single", SINGLE, {{S_LOCK, {MT_STEP_SHLOCKED_EXCL_NOWAIT}, 1}}, 255}.faulty("nolock", SHARE).showing({error_line(MT_PEER_NOT_SHLOCKED)}).with({}, 60),
        Row{"d02_nolock_target_single", SINGLE, {{T_LOCK, {MT_STEP_EXLOCKED_EXCL_NOWAIT}, 1}}, 255}.faulty("nolock", TARGET).showing({error_line(MT_PEER_NOT_EXLOCKED)}).with({}, 60),
        Row{"d03_nolock_share_double", DOUBLE, {{DS_LOCK, {MT_STEP_SHLOCKED_EXCL_NOWAIT, MT_STEP_SHLOCKED_EXCL_WAIT}, -1}}, 255}.faulty("nolock", SHARE).showing({error_line(MT_PEER_NOT_SHLOCKED)}),
        Row{"d04_conflict_hang_share_single", SINGLE, {{S_LOCK, {MT_STEP_SHLOCKED_EXCL_NOWAIT}, -1}}, 255}.faulty("lock-conflict-hang", SHARE).showing({timeout}, {progress(MT_PEER_SHLOCKED_OK)}),
        Row{"d05_conflict_hang_target_double", DOUBLE, {{DT_LOCK, {MT_STEP_EXLOCKED_EXCL_NOWAIT}, -1}}, 255}.faulty("lock-conflict-hang", TARGET, "hostA").showing({timeout}, {progress(MT_PEER_EXLOCKED_OK)})
            .partner_stops({{DT_LOCK, {MT_STEP_EXLOCKED_EXCL_WAIT}, -1}}, {progress(MT_PARTNER_ENDED), error_line(MT_SYNC_FAILED)}),
        Row{"d06_lockwait_never_target_single", SINGLE, {{T_LOCK, {MT_STEP_EXCL_WAIT}, -1}}, 255}.faulty("lockwait-never", TARGET).showing({timeout}),
        Row{"d07_nolockf_userapl", USERAPL, {{U_LOCK, {MT_STEP_L2}, 1, MT_STEP_L3}}, 255}.faulty("nolockf", TARGET_FILE).showing({exclusive(MT_LOCK, false)}, {refused}),
        Row{"d08_open_missing_target_single", SINGLE, {{T_OPEN, {MT_STEP_OPEN_MISSING, MT_STEP_OPEN_NEW, MT_STEP_OPEN_READ, MT_STEP_OPEN_WRITE, MT_STEP_OPEN_RDWR, MT_STEP_CHOWN}, 1}}, 255}.faulty("open-missing", TARGET).showing({error_line(MT_OPEN_GRANTED_NG)}),
        Row{"d09_link_over_target_single", SINGLE, {{T_LINK, {MT_STEP_LINK_EXISTING}, 1}}, 255}.faulty("link-over", TARGET).showing({error_line(MT_LINK_GRANTED_NG)}),
        Row{"d10_read_garbage_target_single", SINGLE, {{T_RW, {MT_STEP_READ}, 1}}, 255}.faulty("read-garbage", TARGET).showing({garbage}),
        Row{"d11_read_short_target_single", SINGLE, {}, 0}.faulty("read-short", TARGET),
        Row{"d12_write_short_target_single", SINGLE, {}, 0}.faulty("write-short", TARGET),
        Row{"d13_fsync_eio_target_single", SINGLE, {{T_RW, {MT_STEP_WRITE}, 1}}, 255}.faulty("fsync-eio", TARGET).showing({error_line(MT_FLUSH_FAILED, EIO)}),
        Row{"d14_chown_eperm_target_single", SINGLE, {{T_OPEN, {MT_STEP_CHOWN}, 1}}, 255}.faulty("chown-eperm", TARGET).showing({error_line(MT_CHOWN_FAILED, EPERM)}),
        Row{"d15_chown_eperm_target_double", DOUBLE, {{DT_OPEN, {MT_STEP_CHOWN_PEERS}, 1, MT_STEP_READ_PEERS_LOCKED}}, 255}.faulty("chown-eperm", TARGET).showing({error_line(MT_CHOWN_FAILED, EPERM)}),
        Row{"d16_unlink_fail_target_single", SINGLE, {{T_DELETE, {MT_STEP_DELETE_OWN}, 1}}, 255}.faulty("unlink-fail", TARGET).showing({error_line(MT_DELETE_FAILED, ENOENT)}),
        Row{"d17_open_hang_share_single", SINGLE, {{S_OPEN, {MT_STEP_OPEN_NEW}, -1}}, 255}.faulty("open-hang", SHARE).showing({timeout}),
        Row{"d18_open_hang_target_single", SINGLE, {{T_OPEN, {MT_STEP_OPEN_MISSING}, -1}}, 255}.faulty("open-hang", TARGET).showing({timeout}, {progress(MT_OPEN_REFUSED_OK)}),
        Row{"d19_create_enospc_share_single", SINGLE, {{S_OPEN, {MT_STEP_OPEN_NEW}, 1}, {S_LOCK, {}, 1}}, 255}.faulty("create-enospc", SHARE).showing({error_line(MT_OPEN_FAILED, ENOSPC)}),
        Row{"d20_conflict_hang_userapl", USERAPL, {{U_LOCK, {MT_STEP_L2}, -1}}, 255}.faulty("lock-conflict-hang", TARGET_FILE, "hostA").showing({timeout}, {refused}),
        Row{"d21_chown_ignored_target_single", SINGLE, {{T_OPEN, {MT_STEP_CHOWN}, 1}}, 255}.faulty("chown-ignored", TARGET).showing({owner_unchanged_line(false)}).with(owner),
        Row{"d22_nolockf_target_double", DOUBLE, {{DT_LOCK, {MT_STEP_EXLOCKED_EXCL_WAIT}, 1}}, 255}.faulty("nolockf", TARGET).showing({error_line(MT_PEER_NOT_EXLOCKED)}),
        Row{"d23_refused_once_share_double", DOUBLE, {{DS_LOCK, {MT_STEP_SHRELEASED_EXCL_NOWAIT}, 1, MT_STEP_EXLOCKED_EXCL_WAIT}}, 255}.faulty("lock-refused-once", SHARE, "hostA").showing({exclusive(MT_LOCK_FAILED, true) + eagain}),
        Row{"d23_refused_once_both_hosts_share_double", DOUBLE, {{DS_LOCK, {MT_STEP_SHRELEASED_EXCL_NOWAIT}, 1, MT_STEP_EXLOCKED_EXCL_WAIT}}, 255}.faulty("lock-refused-once", SHARE).showing({exclusive(MT_LOCK_FAILED, true) + eagain}),
        Row{"d24_stop_estale_userapl", USERAPL, {}, 0}.faulty("stop-estale", TARGET_FILE),
        Row{"d25_link_refused_target_single", SINGLE, {{T_LINK, {MT_STEP_LINK_NEW, MT_STEP_LINK_EXISTING}, 1}}, 255}.faulty("link-refused", TARGET).showing({error_line(MT_LINK_FAILED, EPERM)}),
        Row{"d26_single_half_ng_in_double", DOUBLE, {{T_RW, {MT_STEP_READ}, 1}}, 255}.faulty("read-garbage", TARGET, nullptr, "single").showing({garbage}),
        Row{"d27_sync_locks_private_single", SINGLE, {{S_LOCK, {}, -1, MT_STEP_EXCL_WAIT}}, 255}.faulty("sync-locks-private", SHARE, "hostS")
            .catches(KIND_COUNT, MT_COUNT, {unseen}, never_ended),
        Row{"d28_sync_locks_private_double", DOUBLE, {{DS_OPEN, {}, -1}}, 255}.faulty("sync-locks-private", SHARE).showing({unseen}, never_ended),
        Row{"d29_enolck_share_single", SINGLE, {{S_LOCK, {MT_STEP_SHLOCKED_EXCL_NOWAIT}, 1}}, 255}.faulty("lock-enolck", SHARE)
            .showing({exclusive(MT_LOCK_FAILED, true) + enolck}, {progress(MT_PEER_SHLOCKED_OK)}),
        Row{"d30_enolck_userapl", USERAPL, {{U_LOCK, {MT_STEP_L2}, 1, MT_STEP_L3}}, 255}.faulty("lock-enolck", TARGET_FILE, "hostA").showing({exclusive(MT_LOCK_FAILED, true) + enolck}),
        Row{"d31_lockwait_at_once_target_single", SINGLE, {{T_LOCK, {MT_STEP_EXLOCKED_EXCL_WAIT}, 1}}, 255}.faulty("lockwait-at-once", TARGET).showing({error_line(MT_LOCK_GRANTED_WHILE_HELD)}),
        Row{"d32_lockwait_at_once_share_double", DOUBLE, {{DS_LOCK, {MT_STEP_SHLOCKED_EXCL_WAIT, MT_STEP_EXLOCKED_SHARED_WAIT, MT_STEP_EXLOCKED_EXCL_WAIT}, 1}}, 255}.faulty("lockwait-at-once", SHARE)
            .showing({error_line(MT_LOCK_GRANTED_WHILE_HELD)}),
        Row{"d33_write_lost_target_single", SINGLE, {{T_RW, {MT_STEP_READ}, 1}}, 255}.faulty("write-lost", TARGET).showing({error_line(MT_READ_SIZE_BAD)}),
        Row{"d34_stale_read_target_double", DOUBLE, {{DT_OPEN, {MT_STEP_READ_PEERS_LOCKED}, 1}}, 255}.faulty("stale-read", TARGET, "hostA")
            .showing({data_bad("T=T W=2 F=? H=hostB P=*", "T=T W=1 F=? H=hostB P=*")}),
        Row{"d35_write_ignored_share_double", DOUBLE, {{DS_OPEN, {MT_STEP_READ_PEERS, MT_STEP_READ_PEERS_LOCKED}, 1}}, 255}.faulty("write-ignored", SHARE)
            .showing({data_bad("T=S W=1 F=? H=? P=?", "")}),
        Row{"d36_lockwait_never_at_handover_share_double", DOUBLE, {{DS_LOCK, {MT_STEP_SHLOCKED_EXCL_WAIT, MT_STEP_EXLOCKED_EXCL_NOWAIT}, -1}}, 255}.faulty("lockwait-never", SHARE).at_occasions("7").showing({timeout}).racy_after(),
        Row{"d37_conflict_hang_at_handover_probe_share_double", DOUBLE, {{DS_LOCK, {MT_STEP_SHLOCKED_EXCL_WAIT}, -1}}, 255}.faulty("lock-conflict-hang", SHARE).at_occasions("3").showing({timeout}, {error_line(MT_SYNC_FAILED)}),
        Row{"d38_open_existing_eacces_target_double", DOUBLE, {{DT_OPEN, {MT_STEP_OPEN_PEERS}, 1}}, 255}.faulty("open-existing-eacces", TARGET).at_occasions("1").showing({error_line(MT_OPEN_FAILED, EACCES)}),
        Row{"d39_refused_at_release_share_single", SINGLE, {{S_LOCK, {MT_STEP_SHRELEASED_EXCL_NOWAIT}, 1}}, 255}.faulty("lock-refused-once", SHARE).at_occasions("4").showing({exclusive(MT_LOCK_FAILED, true) + eagain}),
        Row{"d40_lockwait_never_at_release_share_single", SINGLE, {{S_LOCK, {MT_STEP_SHLOCKED_EXCL_WAIT}, -1}}, 255}.faulty("lockwait-never", SHARE).at_occasions("4").showing({timeout}),
        Row{"d41_chown_owner_only_target_single", SINGLE, {{T_OPEN, {MT_STEP_CHOWN}, 1}}, 255}.faulty("chown-owner-only", TARGET).showing({owner_unchanged_line(true)}).with(owner),
        Row{"d42_unlink_fail_target_double", DOUBLE, {{DT_DELETE, {MT_STEP_DELETE_PEERS}, 1}}, 255}.faulty("unlink-fail", TARGET).showing({error_line(MT_DELETE_FAILED, ENOENT)}),
        Row{"double_mixed_with_an_earlier_release", DOUBLE, {{DS_OPEN, {}, 0, MT_STEP_OPEN_PEERS}, {DT_OPEN, {}, 0, MT_STEP_CHOWN_PEERS}}, 0}
            .faulty("hide-capability", SHARE, "hostA").driven(MIXED).catches(KIND_COUNT, MT_COUNT, {progress(MT_PEER_DATA_SKIPPED)}),
        Row{"userapl_l3_held_past_timeout_no_slash", USERAPL, {}, 0}.routed(false, true).catches(U_LOCK, MT_STEP_L3, {timeout})
            .operating({0666, true}, {"L1 tlock refused", "L2 app locked", "L3 app held until file removed"}),
        Row{"userapl_passes_prompts_in_log", USERAPL, {}, 0}.routed(true, false) // its prompts as the golden report has them
            .operating({}, {"O1 opened", "O2 created mode 0666", "L1 tlock refused", "L2 app locked", "L3 app released while checker waiting"}),
        Row{"userapl_idle_operator_aborts_o1", USERAPL, {{U_OPEN, {MT_STEP_O1}, -1}}, 255}.driven(IDLE).showing({error_line(MT_SYNC_FAILED)}),
        Row{"userapl_nobody_read_only_file", USERAPL, {{U_OPEN, {MT_STEP_O3, MT_STEP_O4}, 1}, {U_LOCK, {}, -1}}, 255}.as_nobody(0700, 0777)
            .operating({0444}, {"O2 created mode 0444"}),
        Row{"double_third_instance_beside_live_pair", DOUBLE, {{DS_OPEN, {}, -1}}, 255}.driven(THIRD).catches(KIND_COUNT, MT_COUNT, {progress(MT_SYNC_PARTNER_FIRST)}),
        Row{"userapl_target_swapped_for_symlink_at_l3", USERAPL, {{U_LOCK, {}, 1, MT_STEP_L2}}, 255}.hostile("symlink", ELOOP, 4),
        Row{"userapl_target_swapped_for_hardlink_at_o2", USERAPL, {{U_OPEN, {MT_STEP_O2}, -1}}, 255}.hostile("hardlink", EMLINK, 2),
        Row{"userapl_stop_file_planted_is_refused", USERAPL, {{U_OPEN, {MT_STEP_O1}, -1}}, 255}.hostile("leftover", 0)
            .catches(KIND_COUNT, MT_COUNT, {foreign_line("@DIR/ZEMSTOP.stop")}),
        Row{"single_code_sets_and_routes_together", SINGLE, {}, 0}.driven(CODE_SETS),
        Row{"single_hardlinks_planted_as_work_files", SINGLE, {}, 255}.planted("hardlink", work_files, 0),
        Row{"double_leftovers_of_an_earlier_run_removed", DOUBLE, {}, 0}.planted("leftover", {"T/.#ZEMLOCK.0", "T/.#ZEMLOCK.1", "S/.#ZEMLOCK.0"}, 0, {}),
        Row{"double_foreign_files_planted_as_work_files", DOUBLE, {}, 255}
            .planted("foreign", {"T/.#ZEMLOCK.0", "T/.#ZEMLOCK.1"}, 0, {"-O", "daemon"}),
        Row{"single_symlink_planted_as_sync_file", SINGLE, {}, 255}.planted("symlink", {"S/.#ZEMLOCK.H.P.master"}, ELOOP),
        Row{"single_fifos_planted_as_end_wait_and_probe", SINGLE, {}, 255}.planted("fifo", end_wait, EINVAL),
        Row{"single_nobody_target_without_create_right", SINGLE,
            {{T_OPEN, {MT_STEP_OPEN_NEW, MT_STEP_OPEN_READ, MT_STEP_OPEN_WRITE, MT_STEP_OPEN_RDWR, MT_STEP_CHOWN}, 1}, {T_LINK, {}, 1}, {T_LOCK, {}, 1}, {T_RW, {}, 1}, {T_DELETE, {}, 1}}, 255}
            .as_nobody(0777, 0755).catches(T_OPEN, MT_STEP_OPEN_MISSING, {progress(MT_OPEN_REFUSED_OK)}),
        Row{"single_nobody_share_without_create_right", SINGLE, {{S_OPEN, {MT_STEP_OPEN_NEW}, 1}, {S_LOCK, {}, 1}, {T_LOCK, {}, -1, MT_STEP_EXCL_WAIT}}, 255}
            .as_nobody(0755, 0777),
        Row{"signal_sigint_at_first_fork", SINGLE, {}, 1}.driven(SIGNALLED, SIGINT, progress(MT_FORK)),
        Row{"signal_sighup_while_waiting_for_child_lock", SINGLE, {}, 1}
            .driven(SIGNALLED, SIGHUP, step_start(3, MT_STEP_SHLOCKED_EXCL_WAIT), 1, 1000),
        Row{"signal_sigpipe_to_group_at_pairing_end", SINGLE, {}, 1}.routed(true, false)
            .driven(SIGNALLED, SIGPIPE, progress(MT_SYNC_FINISH_START), 1, 200, true),
        Row{"signal_sigterm_to_group_in_target_lock", SINGLE, {}, 1}
            .driven(SIGNALLED, SIGTERM, step_start(3, MT_STEP_EXLOCKED_EXCL_WAIT), 2, 1000, true),
        Row{"signal_sigint_at_userapl_prompt", USERAPL, {}, 1}.driven(SIGNALLED, SIGINT, progress(MT_UA_ASK_APP_OPEN)),
    };
    // clang-format on
}

// One instance of the checker in a row's run.
struct Instance {
    const char *code = "-8"; // -8, -e or -s
    bool log = false;        // the report goes to a log file (-o)
    const char *host = nullptr;
    bool faulty = true;
    int closed = -1;          // a standard descriptor it starts without
    bool hup_ignored = false; // started with SIGHUP ignored, as under nohup
    Run run;
    std::string report; // UTF-8
};

const char *code_set(const Instance &in)
{
    return in.code[1] == 'e' ? "EUC-JP" : in.code[1] == 's' ? "SHIFT_JIS" : "UTF-8";
}

// The instances of a row's run.
std::vector<Instance> instances(const Row &r)
{
    const bool pair = r.mode == DOUBLE && r.drive != LONE && r.drive != THIRD;
    std::vector<Instance> v(pair ? 2 : 1);
    v[0].host = r.mode == DOUBLE && r.drive != THIRD ? "hostA" : r.host;
    v[0].log = r.log;
    if (r.drive == CODE_SETS) {
        v.resize(3);
        v[0].code = "-s", v[1].code = "-e", v[1].log = true;
        // Started without one standard descriptor each, and with SIGHUP
        // ignored as under nohup (a SIGHUP sent during the run passes it by).
        v[0].closed = 0, v[1].closed = 1, v[2].closed = 2, v[2].hup_ignored = true;
    } else if (v.size() == 2) {
        v[1].host = "hostB";
        if (r.drive == APART)
            v[0].code = "-e", v[1].code = "-s";
    }
    for (Instance &in : v)
        in.faulty = r.mode != DOUBLE || r.host == nullptr || std::strcmp(r.host, in.host) == 0 ||
                    r.drive == MIXED;
    return v;
}

class Scenario : public ::testing::TestWithParam<Row> {
protected:
    void SetUp() override
    {
        const Row &r = GetParam();
        if (((r.mode == DOUBLE && r.drive != THIRD) || r.host != nullptr) && !can_make_hosts())
            GTEST_SKIP() << "needs root and a permitted 'unshare --uts' to play two hosts";
        if ((r.nobody || contains_line(r.args, "-O")) && geteuid() != 0)
            GTEST_SKIP() << "needs root to run as, or give files to, another user";
        become_subreaper();
    }

    std::string target_file() const
    {
        return GetParam().relative ? "target.dat" : target.file("target.dat");
    }

    std::string log_of(const Instance &in) const { return logs.file(std::string("log") + in.code); }

    // In the run's own process: the fault library's settings.  In sanitizer
    // builds the library comes ahead of the sanitizer runtime; its calls
    // still reach the interceptors.
    void set_fault(const Row &r) const
    {
        const char *asan = getenv("ASAN_OPTIONS"), *kind = r.mode == DOUBLE ? "mutual" : "";
        setenv("ASAN_OPTIONS",
               (std::string(asan ? asan : "") + ":verify_asan_link_order=0").c_str(), 1);
        setenv("LD_PRELOAD", NTWFAULT_LIB, 1);
        setenv("NTWFAULT", r.fault, 1);
        setenv("NTWFAULT_DIR", (r.scope == SHARE ? share : target).path().c_str(), 1);
        setenv("NTWFAULT_LOG", logs.file("applied").c_str(), 1);
        setenv("NTWFAULT_KIND", r.fault_kind != nullptr ? r.fault_kind : kind, 1);
        setenv("NTWFAULT_HOST", r.host != nullptr ? r.host : "", 1);
        setenv("NTWFAULT_AT", r.at, 1);
        setenv("NTWFAULT_FILE", r.scope == TARGET_FILE ? target_file().c_str() : "", 1);
    }

    void start(const Row &r, Instance &in)
    {
        Lines argv = {ZEMNTWCHK_BIN,     in.code, "-m",
                      mode_name(r.mode), "-t",    std::to_string(r.timeout)};
        if (r.mode == USERAPL)
            argv.insert(argv.end(), {"-f", target_file()});
        else
            argv.insert(argv.end(), {"-h", share.path(), "-p", target.path()});
        if (in.log) {
            argv.insert(argv.end(), {"-o", log_of(in)});
            write_file_bytes(log_of(in), "earlier run\n");
        }
        argv.insert(argv.end(), r.args.begin(), r.args.end());
        if (in.host != nullptr) // a host is a UTS namespace of its own
            argv.insert(argv.begin(), {"unshare", "--uts", "sh", "-c",
                                       "hostname \"$0\" && exec \"$@\"", in.host});
        const std::string to = r.drive == PLANTED ? plant_target(r.plant, logs) : "";
        in.run.pid = spawn(argv, [&] {
            setpgid(0, 0);
            dup2(open(in.run.out_file.c_str(), O_WRONLY | O_TRUNC), 1);
            dup2(open(in.run.err_file.c_str(), O_WRONLY | O_TRUNC), 2);
            for (int sig : {SIGINT, SIGHUP, SIGPIPE, SIGTERM, SIGALRM})
                signal(sig, in.hup_ignored && sig == SIGHUP ? SIG_IGN : SIG_DFL);
            if (in.closed >= 0)
                close(in.closed);
            sigset_t none;
            sigemptyset(&none);
            sigprocmask(SIG_SETMASK, &none, nullptr);
            if (r.fault != nullptr)
                set_fault(r);
            // Names that carry the checker's process id, which is this one's.
            for (const std::string &n : r.names)
                if (n.find("H.P.") != std::string::npos &&
                    plant(r.plant, to, run_name(n, getpid())) != 0)
                    _exit(125);
            if (chdir(target.path().c_str()) != 0 || (r.nobody && !become_nobody()))
                _exit(126);
        });
    }

    void finish(Instance &in)
    {
        finish_checker(in.run);
        std::string bytes = in.run.out;
        if (in.log) {
            EXPECT_EQ(in.run.out, "") << "with -o nothing goes to standard output";
            bytes = read_file_bytes(log_of(in));
            EXPECT_EQ(bytes.compare(0, 12, "earlier run\n"), 0) << "-o appends";
            bytes.erase(0, 12);
        }
        in.report = convert(bytes, code_set(in), "UTF-8");
    }

    // A name of a PLANTED row as the run with process id `pid` forms it.
    std::string run_name(std::string n, pid_t pid) const
    {
        char host[256] = {};
        gethostname(host, sizeof host - 1);
        if (n.find("H.P.") != std::string::npos)
            n.replace(n.find('P'), 1, std::to_string(pid)).replace(n.find('H'), 1, host);
        return n.replace(0, 1, n[0] == 'S' ? share.path() : target.path());
    }

    void check(const Row &r, const Instance &in, const std::string &partner);
    std::string normalised(const Instance &in) const;
    void check_planted(const Row &r, const std::vector<Instance> &v);
    void check_crossed_files(const std::vector<Instance> &v);

    TempDir share{"ntwshare", GetParam().share_mode}, target{"ntwtarget", GetParam().target_mode};
    TempDir logs{"ntwlog", 0777};
};

// [start, end] of the block of a test step inside [from, to); {-1, -1} when
// it is not there.
std::pair<int, int> block(const Lines &l, int level, ntw_text_id title, int from, int to)
{
    std::string tail = step_end(level, title, true);
    tail.resize(tail.size() - 4);
    for (int i = from; i < to; ++i)
        for (int j = i + 1; l[i] == step_start(level, title) && j < to; ++j)
            if (l[j].compare(0, tail.size(), tail) == 0)
                return {i, j};
    return {-1, -1};
}

// The lines of the catching step (KIND_COUNT: the whole report; the kind's
// title: the whole kind).
Lines catching_block(const Lines &l, Kind kind, ntw_text_id step)
{
    std::pair<int, int> b{0, static_cast<int>(l.size())};
    if (kind != KIND_COUNT) {
        const KindInfo &k = k_kinds[kind];
        b = block(l, 0, mode_title(k.mode), b.first, b.second);
        b = block(l, 1, k.object, b.first, b.second);
        b = block(l, 2, k.title, b.first, b.second);
        b = step == k.title ? b : block(l, 3, step, b.first, b.second);
    }
    return b.second < 0 ? Lines() : Lines(l.begin() + b.first, l.begin() + b.second);
}

bool any_begins(const Lines &l, const std::string &prefix)
{
    return std::any_of(l.begin(), l.end(), [&](const std::string &s) {
        return s.compare(0, prefix.size(), prefix) == 0;
    });
}

long count(const Lines &l, const std::string &line)
{
    return std::count(l.begin(), l.end(), line);
}

// The report with the run's own names replaced: S and T for the shared and
// target path, H and P for the host name and process id in the single
// tests' names, N for the number of a mutual work file.
std::string Scenario::normalised(const Instance &in) const
{
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    std::string s = in.report;
    const std::pair<std::string, std::string> names[] = {
        {share.path(), "S"},
        {target.path(), "T"},
        {std::string(in.host != nullptr ? in.host : host) + "." + std::to_string(in.run.pid) + ".",
         "H.P."},
        {".#ZEMLOCK.0", ".#ZEMLOCK.N"},
        {".#ZEMLOCK.1", ".#ZEMLOCK.N"}};
    for (const auto &n : names)
        for (size_t at = s.find(n.first); at != std::string::npos; at = s.find(n.first, at))
            s.replace(at, n.first.size(), n.second);
    // How often the poll for a forked child's lock is granted before the
    // child holds it is a race; it shows as a lock and a release each time.
    const std::string fork = progress(MT_FORK) + "\n",
                      granted = exclusive(MT_LOCK, false) + "\n" + progress(MT_UNLOCK) + "\n";
    for (size_t at = s.find(fork + granted); at != std::string::npos; at = s.find(fork + granted))
        s.erase(at + fork.size(), granted.size());
    return s;
}

// Whether the lines follow the golden report: each of its lines comes next,
// but one marked "?" (a race between the parties decides it) may be absent.
bool follows(const Lines &l, const Lines &golden)
{
    size_t i = 0;
    for (const std::string &g : golden) {
        const bool optional = g.compare(0, 1, "?") == 0;
        if (i < l.size() && l[i] == g.substr(optional ? 1 : 0))
            ++i;
        else if (!optional)
            return false;
    }
    return i == l.size();
}

void Scenario::check(const Row &r, const Instance &in, const std::string &partner)
{
    SCOPED_TRACE(std::string("instance ") + in.code + " " + (in.host != nullptr ? in.host : ""));
    const Lines l = split_lines(in.report);
    const std::vector<KindOutcome> outcome = in.faulty ? r.outcome : r.partner;
    EXPECT_EQ(in.run.status, in.faulty || !outcome.empty() ? r.status : 0)
        << in.report << in.run.err;
    Lines tree = test_lines(l), want = expected_tree(r.mode, outcome);
    for (Lines *t : {&tree, &want}) {
        auto at = r.racy && in.faulty ? std::find(t->begin(), t->end(), step_end(3, r.step, false))
                                      : t->end();
        if (at < t->end() - 1)
            t->erase(at + 2, t->end());
    }
    EXPECT_EQ(tree, want) << in.report;
    EXPECT_EQ(in.run.err, "");
    // Only an abort of the faulty instance, or a row that expects it, may
    // wait out a time-out (a stopping partner stops at once).
    bool may_time_out = in.faulty && any_begins(r.lines, error_line(MT_TIMEOUT));
    for (const KindOutcome &o : outcome)
        may_time_out = may_time_out || (in.faulty && o.result < 0);
    EXPECT_TRUE(may_time_out || !any_begins(l, error_line(MT_TIMEOUT))) << in.report;
    const bool stops = !in.faulty && !outcome.empty();
    const Lines inside = stops ? catching_block(l, outcome[0].kind, outcome[0].ng[0])
                               : catching_block(l, r.kind, r.step);
    const Lines &shown = in.faulty ? r.lines : r.partner_lines;
    EXPECT_TRUE(shown.empty() || !inside.empty()) << "the catching step did not run";
    for (const std::string &want : shown)
        EXPECT_TRUE(
            want[0] == '~'
                ? std::any_of(
                      inside.begin(), inside.end(),
                      [&](const std::string &s) { return fnmatch(&want[1], s.c_str(), 0) == 0; })
                : contains_line(inside, replace_first(replace_first(want, "@PARTNER", partner),
                                                      "@DIR", target.path())))
            << want << "\n"
            << in.report;
    for (const std::string &no : in.faulty ? r.absent : Lines())
        EXPECT_FALSE(any_begins(inside, no)) << no;
    if (!outcome.empty() || any_begins(r.lines, "        ! "))
        return;
    // A passing run: no error line, and the lines of the golden report of
    // its mode (so each forked process announced once, nothing left in the
    // output buffer at a fork; both work files closed before the barrier
    // after which the partner may remove them).
    EXPECT_FALSE(any_begins(l, "        ! ")) << in.report;
    if (!r.outcome.empty()) // the partner of a faulty instance: its lines about it differ
        return;
    const std::string golden = std::string(NTW_GOLDEN_DIR) + "/" + mode_name(r.mode) + ".txt";
    EXPECT_TRUE(follows(split_lines(normalised(in)), split_lines(read_file_bytes(golden))))
        << "differs from " << golden << ":\n"
        << normalised(in);
}

// The number (0 or 1) of the target path's mutual work file named by the
// first line beginning with `text` inside the kind; -1 when none.
int file_number(const Lines &l, Kind kind, ntw_text_id text, const std::string &dir)
{
    const std::string prefix = head(text) + dir + "/.#ZEMLOCK.";
    for (const std::string &s : catching_block(l, kind, k_kinds[kind].title))
        if (s.compare(0, prefix.size(), prefix) == 0 && s.size() > prefix.size())
            return s[prefix.size()] == '0' || s[prefix.size()] == '1' ? s[prefix.size()] - '0' : -1;
    return -1;
}

// Each host changes the owner of, and deletes, the file that the other host
// created: crossed numbers.
void Scenario::check_crossed_files(const std::vector<Instance> &v)
{
    int own[2], chowned[2];
    for (int i = 0; i < 2; ++i) {
        const Lines l = split_lines(v[i].report);
        own[i] = file_number(l, DT_DELETE, MT_OPEN, target.path());
        chowned[i] = file_number(l, DT_OPEN, MT_CHOWN, target.path());
        EXPECT_EQ(file_number(l, DT_DELETE, MT_DELETE, target.path()), 1 - own[i]) << v[i].report;
    }
    EXPECT_TRUE(own[0] >= 0 && own[0] + own[1] == 1) << "the hosts deleted the same file";
    EXPECT_TRUE(chowned[0] >= 0 && chowned[0] + chowned[1] == 1)
        << "the owner of one file changed twice";
}

// The test process plays a live pair: it holds both liveness bytes of the
// sync file (a lock of another process for the checker) and has made the
// end-wait file.  Returns the sync file's descriptor.
int play_live_pair(const TempDir &share)
{
    int fd = open(share.file(".#ZEMLOCK.master").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    struct flock fl = {F_WRLCK, SEEK_SET, 1, 2, 0};
    EXPECT_EQ(fcntl(fd, F_SETLK, &fl), 0);
    write_file_bytes(share.file("endwaitfile"), "");
    return fd;
}

// Every planted name that the checker opens itself is refused with its
// error number, or named as foreign (a work file): announced by its own
// open, or (the probe beside a file awaited) by the wait; a leftover is
// removed with its line.  A pairing's finish meets one name of the end-wait
// file and its probe; in mode single the other may be the forked partner's,
// which reports nothing.  The planted names are then taken away: the
// directories must be as empty as after any run.
void Scenario::check_planted(const Row &r, const std::vector<Instance> &v)
{
    std::string reports;
    for (const Instance &in : v) {
        EXPECT_EQ(in.run.status, r.status) << in.report << in.run.err;
        reports += in.report;
    }
    const Lines l = split_lines(reports);
    const bool leftover = std::string(r.plant) == "leftover";
    auto refused = [&](const std::string &name) {
        const std::string named =
            leftover ? replace_first(progress(MT_WORK_LEFTOVER_REMOVED), "%s", name)
                     : foreign_line(name);
        const Lines announced = {
            replace_first(progress(MT_OPEN), "%s", name),
            replace_first(progress(MT_WAIT_CREATED), "%s", replace_first(name, ".EXCL", ""))};
        for (size_t i = 0; i + 1 < l.size(); ++i)
            if ((r.refusal == 0 && l[i] == named) ||
                (contains_line(announced, l[i]) &&
                 l[i + 1] == error_line(MT_OPEN_FAILED, r.refusal)))
                return true;
        return false;
    };
    const pid_t pid = v[0].run.pid;
    bool finish_met = false;
    for (const std::string &n : r.names)
        finish_met =
            finish_met || (n.find("endwait") != std::string::npos && refused(run_name(n, pid)));
    for (const std::string &n : r.names) {
        const std::string name = run_name(n, pid);
        EXPECT_TRUE(refused(name) || (finish_met && n.find("endwait") != std::string::npos))
            << name << "\n"
            << reports;
        unlink(name.c_str());
    }
}

// Plants under `name` and, for a regular file, holds it open: whatever the
// run does to the name, the file can be looked at afterwards.
std::pair<std::string, int> plant_held(const std::string &kind, const std::string &to,
                                       const std::string &name)
{
    EXPECT_EQ(plant(kind, to, name), 0) << name;
    const bool regular = kind == "foreign" || kind == "leftover";
    return {name, regular ? open(name.c_str(), O_RDONLY | O_CLOEXEC) : -1};
}

// A planted regular file kept its owner, mode and content (the checker
// neither adopted nor changed it); the name is then taken away.
void expect_planted_untouched(const std::string &kind, const std::string &name, int fd)
{
    struct stat st = {};
    char data[8] = {};
    if (fd >= 0) {
        EXPECT_EQ(fstat(fd, &st), 0);
        EXPECT_EQ(st.st_uid, kind == "foreign" ? nobody().uid : getuid()) << name;
        EXPECT_EQ(st.st_mode & 07777, 0644u) << name;
        EXPECT_EQ(pread(fd, data, sizeof data - 1, 0), 6) << name;
        EXPECT_STREQ(data, "theirs") << name;
        close(fd);
    }
    unlink(name.c_str());
}

// Nothing was created through a link, and the linked file is unchanged.
void expect_untouched(const TempDir &logs)
{
    struct stat st;
    EXPECT_NE(lstat(logs.file("absent").c_str(), &st), 0) << "a file was created through the link";
    ASSERT_EQ(stat(logs.file("victim").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, getuid());
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(read_file_bytes(logs.file("victim")), "precious");
}

TEST_P(Scenario, Run)
{
    const Row &r = GetParam();
    std::vector<std::pair<std::string, int>> held; // planted before the run, kept open
    OperatorScript script = r.script;
    Lines op_seen = r.op_seen;
    if (r.plant != nullptr && r.drive != PLANTED) { // the stop file, or the operator's swap
        const std::string to = plant_target(r.plant, logs);
        if (r.swap_at > 0) {
            script.swap_at = r.swap_at;
            script.swap = [&r, to, target = target.file("target.dat")] {
                return unlink(target.c_str()) | plant(r.plant, to, target);
            };
            op_seen.push_back("swapped");
        } else {
            held.push_back(plant_held(r.plant, to, target.file("ZEMSTOP.stop")));
        }
    }
    for (const std::string &n : r.drive == PLANTED ? r.names : Lines())
        if (n.find("H.P.") == std::string::npos)
            held.push_back(plant_held(r.plant, plant_target(r.plant, logs), run_name(n, 0)));
    Operator op;
    if (r.mode == USERAPL && r.drive == PLAIN && (r.plant == nullptr || r.swap_at > 0))
        op = start_operator(target_file(), logs.file("operator"), script, target.path());
    if (r.drive == LONE) // an instance killed at the pairing left it; it never changes
        write_file_bytes(share.file(".#ZEMLOCK.master.hostB.4711.here"), "0000000007\n");
    const int live_pair = r.drive == THIRD ? play_live_pair(share) : -1;
    std::vector<Instance> v = instances(r);
    const time_t began = time(nullptr);
    for (Instance &in : v) {
        start(r, in);
        if (r.drive == APART)
            sleep(4);
    }
    const std::string fake = share.file(".#ZEMLOCK.master.fileserver01.4242.here");
    if (r.drive == LONE) { // not the checker's own user's: no partner
        const std::string made =
            replace_first(progress(MT_SYNC_NAME_MADE), "%s", share.file(".#ZEMLOCK.master"));
        ASSERT_TRUE(wait_for_line(v[0].run.out_file, made, 1, 60));
        sleep(1);
        write_file_bytes(fake, "0000000001\n");
        EXPECT_EQ(chown(fake.c_str(), nobody().uid, nobody().gid), 0);
    }
    for (int i = 0; r.drive == CODE_SETS && i < 5; ++i) {
        usleep(200000);
        kill(v[2].run.pid, SIGHUP);
    }
    if (r.drive == SIGNALLED || r.drive == KILLED) {
        Instance &in = v.back();
        const std::string file = in.log ? log_of(in) : in.run.out_file;
        ASSERT_TRUE(wait_for_line(file, r.marker, r.nth, 180)) << read_file_bytes(file);
        usleep(static_cast<useconds_t>(r.delay_ms) * 1000);
        kill(r.group ? -in.run.pid : in.run.pid, r.sig);
        const auto sent = std::chrono::steady_clock::now();
        finish(v[0]);
        if (r.drive == KILLED) {
            EXPECT_LT(std::chrono::steady_clock::now() - sent, std::chrono::seconds(90))
                << "the survivor must end within a bounded time";
            finish(in);
            EXPECT_EQ(in.run.signal, SIGKILL);
            check(r, v[0], "");
        } else {
            // At its next safe point: a poll of 20 ms, a look of 250 ms.
            EXPECT_LT(std::chrono::steady_clock::now() - sent, std::chrono::seconds(1))
                << "the run must end soon after the signal";
            const Lines l = split_lines(in.report);
            EXPECT_EQ(in.run.status, 1) << in.report;
            EXPECT_EQ(in.run.err, "");
            EXPECT_EQ(count(l, signal_line(r.sig)), 1) << in.report;
            EXPECT_EQ(l.empty() ? "" : l.back(), signal_line(r.sig));
        }
    } else {
        for (Instance &in : v)
            finish(in);
        for (size_t i = 0; i < v.size() && r.drive != PLANTED; ++i)
            check(r, v[i], v[(i + 1) % v.size()].host != nullptr ? v[(i + 1) % v.size()].host : "");
        if (r.drive == PLANTED)
            check_planted(r, v);
        if (r.mode == DOUBLE && r.outcome.empty() && r.drive != PLANTED)
            check_crossed_files(v);
        EXPECT_TRUE(r.timeout < 60 || time(nullptr) - began < r.timeout)
            << "a time-out was waited out";
    }
    const Lines seen = op.pid > 0 ? finish_operator(op) : Lines();
    for (const std::string &want : op_seen)
        EXPECT_TRUE(contains_line(seen, want)) << "the operator did not record: " << want;
    if (r.fault != nullptr) {
        EXPECT_EQ(read_file_bytes(logs.file("applied")).compare(0, strlen(r.fault), r.fault), 0)
            << "the fault never took effect";
    }
    if (r.plant != nullptr) {
        EXPECT_LT(time(nullptr) - began, 30) << "the refusal waited for a time-out";
        expect_untouched(logs);
    }
    for (const auto &[name, fd] : held)
        expect_planted_untouched(r.plant, name, fd);
    unlink(fake.c_str());
    if (live_pair >= 0) { // the pair's files are not the third instance's to remove
        EXPECT_EQ(share.entries(), (Lines{".#ZEMLOCK.master", "endwaitfile"}));
        close(live_pair);
        unlink(share.file(".#ZEMLOCK.master").c_str());
        unlink(share.file("endwaitfile").c_str());
    }
    expect_nothing_left({&share, &target}, r.drive == KILLED ? 20 : 5);
}

INSTANTIATE_TEST_SUITE_P(E2E, Scenario, ::testing::ValuesIn(rows()),
                         [](const ::testing::TestParamInfo<Row> &info) { return info.param.name; });

} // namespace
