// End-to-end scenarios: the real checker on real directories, with its real
// forked partners, a second instance playing another host, the scripted
// operator, and file systems made faulty by the fault-injection library
// (ntwfault, LD_PRELOAD).  Each row is one CTest test.  Every run is checked
// against the model of the report tree (testutil): its test lines, its exit
// status, the lines of the step that must catch a fault, no time-out waited
// out without an abort, nothing left on disk and no process left.
#include "testutil.h"

#include <algorithm>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace ntwtest;
using Lines = std::vector<std::string>;

// Where a fault acts: the work files of the shared or the target path, or
// the operator's target file.
enum Scope { SHARE, TARGET, TARGET_FILE };

// How a row drives the checker.
enum Drive {
    PLAIN,     // one run (mode double: two hosts started together)
    CODE_SETS, // three single runs on the same directories: -8 file, -e log, -s pipe
    APART,     // mode double, the second host four seconds later, -e and -s
    LONE,      // mode double without a partner, beside a stale presence file
    KILLED,    // mode double, the partner killed while its child holds a lock
    SIGNALLED, // a signal at a moment of the run
    USAGE,     // a bad command line
    THIRD,     // mode double beside a live pair (one process holds its sync bytes)
    PLANTED,   // mode single with names planted under the checker's own names
};

struct Row {
    std::string name;
    Mode mode;
    std::vector<KindOutcome> outcome; // the faulty instance's kinds that do not pass
    int status;                       // its exit status; other instances pass
    // The step that must catch the fault (KIND_COUNT: the whole report; step
    // -1: the whole kind), lines it must show and line beginnings it must not.
    Kind kind = KIND_COUNT;
    int step = -1;
    Lines lines = {};
    Lines absent = {};
    const char *fault = nullptr;
    Scope scope = TARGET;
    const char *fault_kind = nullptr; // NTWFAULT_KIND; mode double: "mutual" by default
    // A hostile writer of the target file's directory: the operator's
    // "--swap" (PATH given as @), or the kind of name planted as the stop file.
    const char *swap = nullptr, *plant = nullptr;
    // PLANTED: the names of a run of mode single planted before it starts
    // (S, T: the shared or target path; H: the host name; P: the checker's
    // process id); the error number of their refusal.
    Lines names = {};
    int refusal = 0;
    bool log = false;           // the report goes to a log file (-o)
    bool relative = false;      // mode userapl: the target file named without a directory
    const char *host = nullptr; // the only host that sees the fault
    Lines args = {};
    int timeout = 10;
    Drive drive = PLAIN;
    bool nobody = false;
    mode_t share_mode = 0700, target_mode = 0700;
    Lines op_options = {};
    Lines op_seen = {}; // lines the operator must have recorded
    int sig = 0;
    std::string marker = {}; // signal or kill after its nth appearance (+ delay)
    int nth = 1, delay_ms = 0;
    bool group = false; // the signal goes to the whole process group

    // clang-format off
    Row &catches(Kind k, int s, Lines l, Lines no = {}) { return kind = k, step = s, lines = std::move(l), absent = std::move(no), *this; }
    Row &faulty(const char *f, Scope s, const char *h = nullptr) { return fault = f, scope = s, host = h, *this; }
    Row &with(Lines a, int t = 10) { return args = std::move(a), timeout = t, *this; }
    Row &driven(Drive d, int s = 0, std::string m = {}, int n = 1, int delay = 0, bool g = false)
    {
        return drive = d, sig = s, marker = std::move(m), nth = n, delay_ms = delay, group = g, *this;
    }
    Row &as_nobody(mode_t share, mode_t target) { return nobody = true, share_mode = share, target_mode = target, *this; }
    Row &operating(Lines o, Lines seen = {}) { return op_options = std::move(o), op_seen = std::move(seen), *this; }
    Row &routed(bool to_log, bool rel, const char *k = nullptr) { return log = to_log, relative = rel, fault_kind = k, *this; }
    Row &hostile(const char *s, const char *p, int err) { return swap = s, plant = p, catches(KIND_COUNT, -1, {error_line(MT_OPEN_FAILED, err)}); }
    Row &planted(const char *p, Lines n, int err) { return drive = PLANTED, plant = p, names = std::move(n), refusal = err, args = {"-O", "nobody"}, *this; }
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

// An owner change to "nobody" that left the file with the checker's owner.
std::string owner_unchanged_line()
{
    const RunOptions nobody = as_nobody();
    char buf[1024];
    snprintf(buf, sizeof buf, catalog(MT_CHOWN_NOT_APPLIED).c_str(), static_cast<int>(nobody.uid),
             static_cast<int>(nobody.gid), static_cast<int>(getuid()), static_cast<int>(getgid()));
    return "        ! " + std::string(buf);
}

void replace_all(std::string &s, const std::string &from, const std::string &to)
{
    for (size_t p = s.find(from); p != std::string::npos; p = s.find(from, p + to.size()))
        s.replace(p, from.size(), to);
}

std::string signal_line(int sig)
{
    return replace_first(error_line(MT_SIGNAL_RECEIVED), "%d", std::to_string(sig));
}

// A hostile name under `name`: a symbolic link to `to`, a hard link of it,
// or a FIFO.
int plant(const std::string &kind, const std::string &to, const std::string &name)
{
    return kind.compare(0, 7, "symlink") == 0    ? symlink(to.c_str(), name.c_str())
           : kind.compare(0, 8, "hardlink") == 0 ? link(to.c_str(), name.c_str())
                                                 : mkfifo(name.c_str(), 0666);
}

// The file a planted link leads to: a victim with content, or (for a
// symbolic link) a name that must never be created.
std::string plant_target(const std::string &kind, const TempDir &logs)
{
    write_file_bytes(logs.file("victim"), "precious");
    chmod(logs.file("victim").c_str(), 0640);
    return logs.file(kind.compare(0, 7, "symlink") == 0 ? "absent" : "victim");
}

// The rows, longest first so that CTest starts them first.  Rows d01-d28 are
// the faulty file systems of docs/detection.md, in its order.
std::vector<Row> rows()
{
    const Lines owner = {"-O", "nobody"};
    const std::string timeout = error_line(MT_TIMEOUT, EINTR);
    const std::string refused = exclusive(MT_LOCK_FAILED, false);
    const std::string eagain = " ERRORCODE=11(" + std::string(strerror(EAGAIN)) + ")";
    const std::string garbage = replace_first(error_line(MT_READ_DATA_BAD), "%s", "123456789X");
    const std::string unseen = replace_first(error_line(MT_PARTNER_LOCKS_UNSEEN), "%s", "@PARTNER");
    const Lines never_ended = {progress(MT_PARTNER_ENDED), error_line(MT_PARTNER_NOT_SEEN)};
    // Names that do not keep each other from being reached share a row.
    const Lines work_files = {"T/.#ZEMLOCK.H.P.0", "T/.#ZEMLOCK.H.P.1", "S/.#ZEMLOCK.H.P.0"};
    const Lines end_wait = {"S/H.P.endwaitfile", "S/H.P.endwaitfile.EXCL"};
    const std::string shared_held =
        replace_first(progress(MT_CHILD_LOCKED_OK), "%s", catalog(MT_LOCKWORD_SHARED));
    // clang-format off
    return {
        Row{"double_partner_killed_while_its_child_holds_a_lock", DOUBLE, {{DS_LOCK, "OOOON", -1}}, 255}.driven(KILLED, SIGKILL, shared_held),
        Row{"double_started_apart_euc_sjis_with_owner", DOUBLE, {}, 0}.driven(APART).with({"-O", "nobody", "-G", "nogroup"}, 30),
        Row{"double_lone_instance_times_out_at_first_pairing", DOUBLE, {{DS_OPEN, "", -1}}, 255}.driven(LONE)
            .catches(KIND_COUNT, -1, {error_line(MT_TIMEOUT), error_line(MT_PARTNER_NOT_SEEN)}, {head(MT_PARTNER_LOCKS_UNSEEN).insert(8, "! ")}),
        Row{"d01_nolock_share_single", SINGLE, {{S_LOCK, "OOOOON", 1}}, 255}.faulty("nolock", SHARE)
            .catches(S_LOCK, 5, {error_line(MT_PEER_NOT_SHLOCKED)}).with({}, 60),
        Row{"d02_nolock_target_single", SINGLE, {{T_LOCK, "OOON", 1}}, 255}.faulty("nolock", TARGET)
            .catches(T_LOCK, 3, {error_line(MT_PEER_NOT_EXLOCKED)}).with({}, 60),
        Row{"d03_nolock_share_double", DOUBLE, {{DS_LOCK, "OONON", -1}}, 255}.faulty("nolock", SHARE)
            .catches(DS_LOCK, 2, {error_line(MT_PEER_NOT_SHLOCKED)}),
        Row{"d04_conflict_hang_share_single", SINGLE, {{S_LOCK, "OOOOON", -1}}, 255}.faulty("lock-conflict-hang", SHARE)
            .catches(S_LOCK, 5, {timeout}, {progress(MT_PEER_SHLOCKED_OK)}),
        Row{"d05_conflict_hang_target_double", DOUBLE, {{DT_LOCK, "ON", -1}}, 255}.faulty("lock-conflict-hang", TARGET)
            .catches(DT_LOCK, 1, {timeout}, {progress(MT_PEER_EXLOCKED_OK)}),
        Row{"d06_lockwait_never_target_single", SINGLE, {{T_LOCK, "OON", -1}}, 255}.faulty("lockwait-never", TARGET)
            .catches(T_LOCK, 2, {timeout}),
        Row{"d07_nolockf_userapl", USERAPL, {{U_LOCK, "ONO", 1}}, 255}.faulty("nolockf", TARGET_FILE)
            .catches(U_LOCK, 1, {exclusive(MT_LOCK, false)}, {refused}),
        Row{"d08_open_missing_target_single", SINGLE, {{T_OPEN, "NNNNNN", 1}}, 255}.faulty("open-missing", TARGET)
            .catches(T_OPEN, 0, {error_line(MT_OPEN_GRANTED_NG)}),
        Row{"d09_link_over_target_single", SINGLE, {{T_LINK, "ON", 1}}, 255}.faulty("link-over", TARGET)
            .catches(T_LINK, 1, {error_line(MT_LINK_GRANTED_NG)}),
        Row{"d10_read_garbage_target_single", SINGLE, {{T_RW, "ON", 1}}, 255}.faulty("read-garbage", TARGET)
            .catches(T_RW, 1, {garbage}),
        Row{"d11_read_short_target_single", SINGLE, {}, 0}.faulty("read-short", TARGET),
        Row{"d12_write_short_target_single", SINGLE, {}, 0}.faulty("write-short", TARGET),
        Row{"d13_fsync_eio_target_single", SINGLE, {{T_RW, "N", 1}}, 255}.faulty("fsync-eio", TARGET)
            .catches(T_RW, 0, {error_line(MT_FLUSH_FAILED, EIO)}),
        Row{"d14_chown_eperm_target_single", SINGLE, {{T_OPEN, "OOOOON", 1}}, 255}.faulty("chown-eperm", TARGET)
            .catches(T_OPEN, 5, {error_line(MT_CHOWN_FAILED, EPERM)}),
        Row{"d15_chown_eperm_target_double", DOUBLE, {{DT_OPEN, "ON", 1}}, 255}.faulty("chown-eperm", TARGET)
            .catches(DT_OPEN, 1, {error_line(MT_CHOWN_FAILED, EPERM)}),
        Row{"d16_unlink_fail_target_single", SINGLE, {{T_DELETE, "N", 1}}, 255}.faulty("unlink-fail", TARGET)
            .catches(T_DELETE, 0, {error_line(MT_DELETE_FAILED, ENOENT)}),
        Row{"d17_open_hang_share_single", SINGLE, {{S_OPEN, "N", -1}}, 255}.faulty("open-hang", SHARE)
            .catches(S_OPEN, 0, {timeout}),
        Row{"d18_open_hang_target_single", SINGLE, {{T_OPEN, "N", -1}}, 255}.faulty("open-hang", TARGET)
            .catches(T_OPEN, 0, {timeout}, {progress(MT_OPEN_REFUSED_OK)}),
        Row{"d19_create_enospc_share_single", SINGLE, {{S_OPEN, "N", 1}, {S_LOCK, "", 1}}, 255}.faulty("create-enospc", SHARE)
            .catches(S_OPEN, 0, {error_line(MT_OPEN_FAILED, ENOSPC)}),
        Row{"d20_conflict_hang_userapl", USERAPL, {{U_LOCK, "ON", -1}}, 255}.faulty("lock-conflict-hang", TARGET_FILE, "hostA")
            .catches(U_LOCK, 1, {timeout}, {refused}),
        Row{"d21_chown_ignored_target_single", SINGLE, {{T_OPEN, "OOOOON", 1}}, 255}.faulty("chown-ignored", TARGET)
            .catches(T_OPEN, 5, {owner_unchanged_line()}).with(owner),
        Row{"d22_chown_ignored_target_double", DOUBLE, {{DT_OPEN, "ON", 1}}, 255}.faulty("chown-ignored", TARGET)
            .catches(DT_OPEN, 1, {owner_unchanged_line()}).with(owner),
        Row{"d23_refused_once_share_double", DOUBLE, {{DS_LOCK, "NOOOOOOO", 1}}, 255}.faulty("lock-refused-once", SHARE, "hostA")
            .catches(DS_LOCK, 0, {exclusive(MT_LOCK_FAILED, true) + eagain}),
        Row{"d24_stop_estale_userapl", USERAPL, {}, 0}.faulty("stop-estale", TARGET_FILE),
        Row{"d25_link_refused_target_single", SINGLE, {{T_LINK, "NN", 1}}, 255}.faulty("link-refused", TARGET)
            .catches(T_LINK, 0, {error_line(MT_LINK_FAILED, EPERM)}),
        Row{"d26_single_half_ng_in_double", DOUBLE, {{T_RW, "ON", 1}}, 255}.faulty("read-garbage", TARGET)
            .routed(false, false, "single").catches(T_RW, 1, {garbage}),
        Row{"d27_sync_locks_private_single", SINGLE, {{S_LOCK, "OOOOO", -1}}, 255}.faulty("sync-locks-private", SHARE, "hostS")
            .catches(KIND_COUNT, -1, {unseen}, never_ended),
        Row{"d28_sync_locks_private_double", DOUBLE, {{DS_OPEN, "", -1}}, 255}.faulty("sync-locks-private", SHARE)
            .catches(DS_OPEN, -1, {unseen}, never_ended),
        Row{"userapl_l3_held_past_timeout_no_slash", USERAPL, {}, 0}.routed(false, true).catches(U_LOCK, 2, {timeout})
            .operating({"--l3", "hold"}, {"L1 tlock refused", "L2 app locked", "L3 app held until file removed"}),
        Row{"userapl_passes_prompts_in_log", USERAPL, {}, 0}.routed(true, false)
            .operating({}, {"O1 opened", "O2 created mode 0666", "L1 tlock refused", "L2 app locked", "L3 app released while checker waiting"})
            .catches(KIND_COUNT, -1, {progress(MT_UA_ASK_APP_OPEN), progress(MT_UA_ASK_CLOSE_AFTER_CHECK),
                progress(MT_UA_ASK_CLOSE_AFTER_CREATE), progress(MT_UA_ASK_WITHIN_TIMEOUT), progress(MT_UA_ASK_LOCK), refused + eagain}),
        Row{"userapl_idle_operator_aborts_o1", USERAPL, {{U_OPEN, "N", -1}}, 255}.catches(U_OPEN, 0, {error_line(MT_SYNC_FAILED)})
            .operating({"--behaviour", "idle"}, {"prompt 1 seen", "stop file removed by checker"}),
        Row{"userapl_nobody_read_only_file", USERAPL, {{U_OPEN, "OONN", 1}, {U_LOCK, "", -1}}, 255}.as_nobody(0700, 0777)
            .operating({"--o2-mode", "0444"}, {"O2 created mode 0444"}),
        Row{"double_third_instance_beside_live_pair", DOUBLE, {{DS_OPEN, "", -1}}, 255}.driven(THIRD).catches(KIND_COUNT, -1, {progress(MT_SYNC_PARTNER_FIRST)}),
        Row{"userapl_target_swapped_for_symlink_at_l3", USERAPL, {{U_LOCK, "OO", 1}}, 255}.hostile("4:symlink:@", nullptr, ELOOP).operating({}, {"swapped symlink"}),
        Row{"userapl_target_swapped_for_hardlink_at_o2", USERAPL, {{U_OPEN, "ON", -1}}, 255}.hostile("2:hardlink:@", nullptr, EMLINK).operating({}, {"swapped hardlink"}),
        Row{"userapl_target_swapped_for_fifo_at_o2", USERAPL, {{U_OPEN, "ON", -1}}, 255}.hostile("2:fifo:@", nullptr, EINVAL).operating({}, {"swapped fifo"}),
        Row{"userapl_stop_file_planted_as_symlink", USERAPL, {{U_OPEN, "N", -1}}, 255}.hostile(nullptr, "symlink", ELOOP),
        Row{"userapl_stop_file_planted_as_hardlink", USERAPL, {{U_OPEN, "N", -1}}, 255}.hostile(nullptr, "hardlink", EMLINK),
        Row{"userapl_stop_file_planted_as_fifo", USERAPL, {{U_OPEN, "N", -1}}, 255}.hostile(nullptr, "fifo", EINVAL),
        Row{"single_code_sets_and_routes_together", SINGLE, {}, 0}.driven(CODE_SETS),
        Row{"single_symlinks_planted_as_work_files", SINGLE, {}, 255}.planted("symlink", work_files, ELOOP),
        Row{"single_hardlinks_planted_as_work_files", SINGLE, {}, 255}.planted("hardlink", work_files, EMLINK),
        Row{"single_fifos_planted_as_work_files", SINGLE, {}, 255}.planted("fifo", work_files, EINVAL),
        Row{"single_symlink_planted_as_sync_file", SINGLE, {}, 255}.planted("symlink", {"S/.#ZEMLOCK.H.P.master"}, ELOOP),
        Row{"single_hardlink_planted_as_sync_file", SINGLE, {}, 255}.planted("hardlink", {"S/.#ZEMLOCK.H.P.master"}, EMLINK),
        Row{"single_fifo_planted_as_sync_file", SINGLE, {}, 255}.planted("fifo", {"S/.#ZEMLOCK.H.P.master"}, EINVAL),
        Row{"single_symlinks_planted_as_end_wait_and_probe", SINGLE, {}, 255}.planted("symlink", end_wait, ELOOP),
        Row{"single_hardlinks_planted_as_end_wait_and_probe", SINGLE, {}, 255}.planted("hardlink", end_wait, EMLINK),
        Row{"single_fifos_planted_as_end_wait_and_probe", SINGLE, {}, 255}.planted("fifo", end_wait, EINVAL),
        Row{"single_nobody_target_without_create_right", SINGLE,
            {{T_OPEN, "ONNNNN", 1}, {T_LINK, "", 1}, {T_LOCK, "", 1}, {T_RW, "", 1}, {T_DELETE, "", 1}}, 255}
            .as_nobody(0777, 0755).catches(T_OPEN, 0, {progress(MT_OPEN_REFUSED_OK)}),
        Row{"single_nobody_share_without_create_right", SINGLE, {{S_OPEN, "N", 1}, {S_LOCK, "", 1}, {T_LOCK, "OOO", -1}}, 255}
            .as_nobody(0755, 0777),
        Row{"signal_sigint_at_first_fork", SINGLE, {}, 1}.driven(SIGNALLED, SIGINT, progress(MT_FORK)),
        Row{"signal_sighup_while_waiting_for_child_lock", SINGLE, {}, 1}
            .driven(SIGNALLED, SIGHUP, step_start(3, MT_STEP_SHLOCKED_EXCL_WAIT), 1, 1000),
        Row{"signal_sigpipe_to_group_at_pairing_end", SINGLE, {}, 1}.routed(true, false)
            .driven(SIGNALLED, SIGPIPE, progress(MT_SYNC_FINISH_START), 1, 200, true),
        Row{"signal_sigterm_to_group_in_target_lock", SINGLE, {}, 1}
            .driven(SIGNALLED, SIGTERM, step_start(3, MT_STEP_EXLOCKED_EXCL_WAIT), 2, 1000, true),
        Row{"signal_sigint_at_userapl_prompt", USERAPL, {}, 1}.driven(SIGNALLED, SIGINT, progress(MT_UA_ASK_APP_OPEN)),
        Row{"usage_bad_command_line", SINGLE, {}, 255}.driven(USAGE),
    };
    // clang-format on
}

// One instance of the checker in a row's run.
struct Instance {
    const char *code = "-8"; // -8, -e or -s
    enum { FILE_OUT, PIPE_OUT, LOG } route = FILE_OUT;
    const char *host = nullptr;
    bool faulty = true;
    int closed = -1;          // a standard descriptor it starts without
    bool hup_ignored = false; // started with SIGHUP ignored, as under nohup
    Proc proc;
    RunResult res;
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
    v[0].route = r.log ? Instance::LOG : Instance::FILE_OUT;
    if (r.drive == CODE_SETS) {
        v.resize(3);
        v[0].route = Instance::PIPE_OUT, v[0].code = "-s";
        v[1].route = Instance::LOG, v[1].code = "-e";
        // Started without one standard descriptor each, and with SIGHUP
        // ignored as under nohup (a SIGHUP sent during the run passes it by).
        v[0].closed = 0, v[1].closed = 1, v[2].closed = 2, v[2].hup_ignored = true;
    } else if (v.size() == 2) {
        v[1].host = "hostB";
        if (r.drive == APART)
            v[0].code = "-e", v[1].code = "-s";
    }
    for (Instance &in : v)
        in.faulty = r.mode != DOUBLE || r.host == nullptr || std::strcmp(r.host, in.host) == 0;
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

    Lines fault_env(const Row &r) const
    {
        if (r.fault == nullptr)
            return {};
        const char *asan = getenv("ASAN_OPTIONS");
        const char *kind = r.fault_kind != nullptr ? r.fault_kind
                           : r.mode == DOUBLE      ? "mutual"
                                                   : "";
        return {std::string("LD_PRELOAD=") + NTWFAULT_LIB, std::string("NTWFAULT=") + r.fault,
                "NTWFAULT_DIR=" + (r.scope == SHARE ? share.path() : target.path()),
                "NTWFAULT_LOG=" + logs.file("applied"), std::string("NTWFAULT_KIND=") + kind,
                std::string("NTWFAULT_HOST=") + (r.host != nullptr ? r.host : ""),
                "NTWFAULT_FILE=" + (r.scope == TARGET_FILE ? target_file() : ""),
                // In sanitizer builds the library comes ahead of the sanitizer
                // runtime; its calls still reach the interceptors.
                std::string("ASAN_OPTIONS=") + (asan != nullptr ? asan : "") +
                    ":verify_asan_link_order=0"};
    }

    void start(const Row &r, Instance &in)
    {
        const char *mode = r.mode == SINGLE ? "single" : r.mode == DOUBLE ? "double" : "userapl";
        Lines args = {in.code, "-m", mode, "-t", std::to_string(r.timeout)};
        if (r.mode == USERAPL)
            args.insert(args.end(), {"-f", target_file()});
        else
            args.insert(args.end(), {"-h", share.path(), "-p", target.path()});
        if (in.route == Instance::LOG) {
            args.insert(args.end(), {"-o", log_of(in)});
            write_file_bytes(log_of(in), "earlier run\n");
        }
        args.insert(args.end(), r.args.begin(), r.args.end());
        RunOptions opt = r.nobody ? as_nobody() : RunOptions();
        opt.kill_after_s = 300;
        opt.env = fault_env(r);
        opt.stdout_pipe = in.route == Instance::PIPE_OUT;
        opt.closed_fds = in.closed >= 0 ? std::vector<int>{in.closed} : std::vector<int>();
        opt.ignored_signals = in.hup_ignored ? std::vector<int>{SIGHUP} : std::vector<int>();
        opt.cwd = target.path();
        if (r.drive == PLANTED) {
            const std::string to = plant_target(r.plant, logs);
            opt.before_exec = [this, &r, to] {
                for (const std::string &n : r.names)
                    if (plant(r.plant, to, run_name(n, getpid())) != 0)
                        _exit(125);
            };
        }
        in.proc = start_checker(args, in.host != nullptr ? on_host(opt, in.host) : opt);
    }

    void finish(Instance &in)
    {
        in.res = finish_checker(in.proc);
        std::string bytes = in.res.out;
        if (in.route == Instance::LOG) {
            EXPECT_EQ(in.res.out, "") << "with -o nothing goes to standard output";
            bytes = read_file_bytes(log_of(in));
            EXPECT_EQ(bytes.compare(0, 12, "earlier run\n"), 0) << "-o appends";
            bytes.erase(0, 12);
        }
        // Paths are written as their own bytes in every code set: they are
        // taken out for the conversion and put back after it.
        const std::string opened = convert(head(MT_OPEN), "UTF-8", code_set(in)) + share.path();
        EXPECT_TRUE(GetParam().mode == USERAPL || bytes.find(opened) != std::string::npos);
        const std::string paths[] = {share.path(), target.path()};
        for (size_t i = 0; i < 2; ++i)
            replace_all(bytes, paths[i], std::string(1, static_cast<char>(1 + i)));
        in.report = convert(bytes, code_set(in), "UTF-8");
        for (size_t i = 0; i < 2; ++i)
            replace_all(in.report, std::string(1, static_cast<char>(1 + i)), paths[i]);
    }

    // A name of a PLANTED row as the run with process id `pid` forms it.
    std::string run_name(std::string n, pid_t pid) const
    {
        char host[256] = {};
        gethostname(host, sizeof host - 1);
        n.replace(n.find('P'), 1, std::to_string(pid)).replace(n.find('H'), 1, host);
        return n.replace(0, 1, n[0] == 'S' ? share.path() : target.path());
    }

    void check(const Row &r, const Instance &in, const std::string &partner);
    void check_planted(const Row &r, const Instance &in);
    void check_crossed_files(const std::vector<Instance> &v);

    TempDir share{"共有パス", GetParam().share_mode}, target{"確認対象", GetParam().target_mode};
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

// The lines of the catching step (KIND_COUNT: the whole report; step -1:
// the whole kind).
Lines catching_block(const Lines &l, Kind kind, int step)
{
    std::pair<int, int> b{0, static_cast<int>(l.size())};
    if (kind != KIND_COUNT) {
        const KindInfo &k = kind_info(kind);
        b = block(l, 0, mode_title(k.mode), b.first, b.second);
        b = block(l, 1, k.object, b.first, b.second);
        b = block(l, 2, k.title, b.first, b.second);
        b = step < 0 ? b : block(l, 3, k.steps[step], b.first, b.second);
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

void Scenario::check(const Row &r, const Instance &in, const std::string &partner)
{
    SCOPED_TRACE(std::string("instance ") + in.code + " " + (in.host != nullptr ? in.host : ""));
    const Lines l = split_lines(in.report);
    const std::vector<KindOutcome> outcome = in.faulty ? r.outcome : std::vector<KindOutcome>();
    EXPECT_EQ(in.res.status, in.faulty ? r.status : 0) << in.report << in.res.err;
    EXPECT_EQ(test_lines(l), expected_tree(r.mode, outcome)) << in.report;
    EXPECT_EQ(in.res.err, "");
    // Only an abort, or a row that expects it, may wait out a time-out.
    bool may_time_out = any_begins(r.lines, error_line(MT_TIMEOUT));
    for (const KindOutcome &o : outcome)
        may_time_out = may_time_out || o.result < 0;
    EXPECT_TRUE(may_time_out || !any_begins(l, error_line(MT_TIMEOUT))) << in.report;
    const Lines inside = catching_block(l, r.kind, r.step);
    EXPECT_TRUE(!in.faulty || r.lines.empty() || !inside.empty())
        << "the catching step did not run";
    for (const std::string &want : in.faulty ? r.lines : Lines())
        EXPECT_TRUE(contains_line(inside, replace_first(want, "@PARTNER", partner))) << want << "\n"
                                                                                     << in.report;
    for (const std::string &no : in.faulty ? r.absent : Lines())
        EXPECT_FALSE(any_begins(inside, no)) << no;
    if (!outcome.empty() || any_begins(r.lines, "        ! "))
        return;
    // A passing run: no error line; each forked process announced exactly
    // once (nothing left in the output buffer at a fork).
    EXPECT_FALSE(any_begins(l, "        ! ")) << in.report;
    EXPECT_EQ(count(l, progress(MT_FORK)), r.mode == SINGLE ? 2 : r.mode == DOUBLE ? 6 : 0);
    if (r.mode != DOUBLE)
        return;
    auto locked = [](ntw_text_id w) {
        return replace_first(progress(MT_CHILD_LOCKED_OK), "%s", catalog(w));
    };
    EXPECT_EQ(count(l, locked(MT_LOCKWORD_SHARED)), 1);
    EXPECT_EQ(count(l, locked(MT_LOCKWORD_EXCLUSIVE)), 3);
    EXPECT_EQ(count(l, progress(MT_SIGNAL_CHILD)), 4);
    // Both work files are closed before the barrier after which the partner
    // may remove them.
    for (ntw_text_id step : {MT_STEP_OPEN_PEERS, MT_STEP_CHOWN_PEERS}) {
        auto at = std::find(l.begin(), l.end(), step_end(3, step, true));
        ASSERT_LT(at + 3, l.end());
        EXPECT_EQ(Lines(at + 1, at + 4),
                  (Lines{progress(MT_CLOSE), progress(MT_CLOSE), progress(MT_SYNC_START)}));
    }
}

// The number (0 or 1) of the target path's mutual work file named by the
// first line beginning with `text` inside the kind; -1 when none.
int file_number(const Lines &l, Kind kind, ntw_text_id text, const std::string &dir)
{
    const std::string prefix = head(text) + dir + "/.#ZEMLOCK.";
    for (const std::string &s : catching_block(l, kind, -1))
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

// A process that holds both liveness bytes of the sync file and has made
// the end-wait file, as a live pair does; it ends when `release` closes.
pid_t start_live_pair(const TempDir &share, int *release)
{
    int ready[2], hold[2];
    if (pipe(ready) != 0 || pipe(hold) != 0)
        return -1;
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        close(hold[1]);
        int fd = open(share.file(".#ZEMLOCK.master").c_str(), O_RDWR | O_CREAT, 0666);
        close(open(share.file("endwaitfile").c_str(), O_RDWR | O_CREAT, 0666));
        struct flock fl = {F_WRLCK, SEEK_SET, 1, 2, 0};
        char c = fcntl(fd, F_SETLK, &fl) == 0 ? 'y' : 'n';
        if (write(ready[1], &c, 1) == 1)
            while (read(hold[0], &c, 1) > 0) {
            }
        _exit(0);
    }
    char c = 0;
    close(ready[1]);
    close(hold[0]);
    EXPECT_TRUE(read(ready[0], &c, 1) == 1 && c == 'y');
    close(ready[0]);
    *release = hold[1];
    return pid;
}

// Plants the row's hostile name: the stop file, or the operator's swap.
Lines plant_names(const Row &r, const TempDir &target, const TempDir &logs, Lines options)
{
    const std::string kind = r.swap != nullptr ? std::string(r.swap + 2) : r.plant;
    const std::string to = plant_target(kind, logs);
    const std::string stop = target.file("ZEMSTOP.stop");
    if (r.swap != nullptr)
        options.insert(options.end(), {"--swap", replace_first(r.swap, "@", to)});
    else
        EXPECT_EQ(plant(kind, to, stop), 0);
    return options;
}

// Every planted name that the checker opens itself is refused with its
// error number (those of a pairing's finish may be met by the forked
// partner, which reports nothing).  The planted names are then taken away:
// the directories must be as empty as after any run.
void Scenario::check_planted(const Row &r, const Instance &in)
{
    EXPECT_EQ(in.res.status, r.status) << in.report << in.res.err;
    const Lines l = split_lines(in.report);
    for (const std::string &n : r.names) {
        const std::string name = run_name(n, in.proc.pid);
        bool refused = n.find("endwait") != std::string::npos;
        for (size_t i = 0; i + 1 < l.size(); ++i)
            refused = refused || (l[i] == replace_first(progress(MT_OPEN), "%s", name) &&
                                  l[i + 1] == error_line(MT_OPEN_FAILED, r.refusal));
        EXPECT_TRUE(refused) << name << "\n" << in.report;
        unlink(name.c_str());
    }
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
    if (r.drive == USAGE) {
        Proc usage = start_checker({"-8", "-m", "single", "-x"});
        const RunResult res = finish_checker(usage);
        EXPECT_EQ(res.status, 255);
        EXPECT_EQ(res.out, "");
        EXPECT_EQ(res.err.compare(0, 16, "USAGE:zemntwchk "), 0) << res.err;
        return;
    }
    const bool hostile = r.swap != nullptr || r.plant != nullptr;
    const Lines options =
        hostile && r.drive != PLANTED ? plant_names(r, target, logs, r.op_options) : r.op_options;
    Operator op;
    if (r.mode == USERAPL && r.drive != SIGNALLED && r.plant == nullptr)
        op = start_operator(target_file(), logs.file("operator"), options, fault_env(r),
                            target.path());
    if (r.drive == LONE) // an instance killed at the pairing left it; it never changes
        write_file_bytes(share.file(".#ZEMLOCK.master.hostB.4711.here"), "0000000007\n");
    int release = -1;
    const pid_t live_pair = r.drive == THIRD ? start_live_pair(share, &release) : -1;
    std::vector<Instance> v = instances(r);
    const time_t began = time(nullptr);
    for (Instance &in : v) {
        start(r, in);
        if (r.drive == APART)
            sleep(4);
    }
    for (int i = 0; r.drive == CODE_SETS && i < 5; ++i) {
        usleep(200000);
        kill(v[2].proc.pid, SIGHUP);
    }
    if (r.drive == SIGNALLED || r.drive == KILLED) {
        Instance &in = v.back();
        const std::string file = in.route == Instance::LOG ? log_of(in) : in.proc.out_file;
        ASSERT_TRUE(wait_for_line(file, r.marker, r.nth, 180)) << read_file_bytes(file);
        usleep(static_cast<useconds_t>(r.delay_ms) * 1000);
        kill(r.group ? -in.proc.pid : in.proc.pid, r.sig);
        const time_t sent = time(nullptr);
        finish(v[0]);
        if (r.drive == KILLED) {
            EXPECT_LT(time(nullptr) - sent, 90) << "the survivor must end within a bounded time";
            finish(in);
            EXPECT_EQ(in.res.signal, SIGKILL);
            check(r, v[0], "");
        } else {
            EXPECT_LE(time(nullptr) - sent, 3) << "the run must end soon after the signal";
            const Lines l = split_lines(in.report);
            EXPECT_EQ(in.res.status, 1) << in.report;
            EXPECT_EQ(in.res.err, "");
            EXPECT_EQ(count(l, signal_line(r.sig)), 1) << in.report;
            EXPECT_EQ(l.empty() ? "" : l.back(), signal_line(r.sig));
        }
    } else {
        for (Instance &in : v)
            finish(in);
        for (size_t i = 0; i < v.size() && r.drive != PLANTED; ++i)
            check(r, v[i], v[(i + 1) % v.size()].host != nullptr ? v[(i + 1) % v.size()].host : "");
        if (r.drive == PLANTED)
            check_planted(r, v[0]);
        if (r.mode == DOUBLE && r.outcome.empty())
            check_crossed_files(v);
        EXPECT_TRUE(r.timeout < 60 || time(nullptr) - began < r.timeout)
            << "a time-out was waited out";
    }
    const Lines seen = op.pid > 0 ? finish_operator(op) : Lines();
    for (const std::string &want : r.op_seen)
        EXPECT_TRUE(contains_line(seen, want)) << "the operator did not record: " << want;
    if (r.fault != nullptr) {
        EXPECT_EQ(read_file_bytes(logs.file("applied")).compare(0, strlen(r.fault), r.fault), 0)
            << "the fault never took effect";
    }
    if (hostile) {
        EXPECT_LT(time(nullptr) - began, 30) << "the refusal waited for a time-out";
        expect_untouched(logs);
    }
    if (live_pair > 0) { // the pair's files are not the third instance's to remove
        EXPECT_EQ(share.entries(), (Lines{".#ZEMLOCK.master", "endwaitfile"}));
        close(release);
        waitpid(live_pair, nullptr, 0);
        unlink(share.file(".#ZEMLOCK.master").c_str());
        unlink(share.file("endwaitfile").c_str());
    }
    expect_nothing_left({&share, &target}, r.drive == KILLED ? 20 : 5);
}

INSTANTIATE_TEST_SUITE_P(E2E, Scenario, ::testing::ValuesIn(rows()),
                         [](const ::testing::TestParamInfo<Row> &info) { return info.param.name; });

} // namespace
