// End-to-end detection tests: the real checker runs on directories whose
// file system the fault-injection library (ntwfault, LD_PRELOAD) makes
// misbehave.  Each fault must be caught by the step built to catch it, with
// that step's own line; the step tree around it must follow the result
// rules (an NG lets later steps run, an abort ends the chain); the exit
// status must say so; and the run must still clean up after itself.
//
// The table of cases is also the document docs/detection.md ("What the
// checker detects"): the test renders it from the expectations and the
// observations and compares it with the committed file.  After a change to
// the table, run with NTW_UPDATE_DETECTION=1 to rewrite the file.
#include "testutil.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <pwd.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace ntwtest;

enum Mode { SINGLE, DOUBLE, USERAPL };

constexpr int k_short_timeout = 10;

// Where the fault acts: the work files of one directory (in mode double
// only the mutual tests' files), or the operator's target file.
enum Scope { SCOPE_SHARE, SCOPE_TARGET, SCOPE_TARGET_FILE };

// The kinds of processing of each mode's test tree, in the order the
// drivers run them.
enum Kind {
    S_OPEN,
    S_LOCK,
    T_OPEN,
    T_LINK,
    T_LOCK,
    T_RW,
    T_DELETE, // single
    DS_OPEN,
    DS_LOCK,
    DT_OPEN,
    DT_LOCK,
    DT_DELETE, // mutual
    U_OPEN,
    U_LOCK, // userapl
    KIND_COUNT
};

struct KindInfo {
    Mode mode;
    ntw_text_id object;
    ntw_text_id title;
    std::vector<ntw_text_id> steps; // the steps of a run in which all pass
};

const std::vector<KindInfo> &kinds()
{
    static const std::vector<KindInfo> table = {
        {SINGLE, MT_TITLE_SHARE_PATH, MT_TITLE_KIND_OPEN, {MT_STEP_OPEN_NEW}},
        {SINGLE,
         MT_TITLE_SHARE_PATH,
         MT_TITLE_KIND_LOCK,
         {MT_STEP_EXCL_NOWAIT, MT_STEP_EXCL_RELEASE, MT_STEP_SHARED_WAIT, MT_STEP_SHARED_RELEASE,
          MT_STEP_EXCL_WAIT, MT_STEP_SHLOCKED_EXCL_NOWAIT, MT_STEP_SHLOCKED_SHARED_WAIT,
          MT_STEP_SHLOCKED_EXCL_WAIT, MT_STEP_EXLOCKED_EXCL_NOWAIT, MT_STEP_EXLOCKED_SHARED_WAIT,
          MT_STEP_EXLOCKED_EXCL_WAIT, MT_STEP_SHRELEASED_EXCL_NOWAIT,
          MT_STEP_EXRELEASED_EXCL_NOWAIT}},
        {SINGLE,
         MT_TITLE_TARGET_PATH,
         MT_TITLE_KIND_OPEN,
         {MT_STEP_OPEN_MISSING, MT_STEP_OPEN_NEW, MT_STEP_OPEN_READ, MT_STEP_OPEN_WRITE,
          MT_STEP_OPEN_RDWR, MT_STEP_CHOWN}},
        {SINGLE,
         MT_TITLE_TARGET_PATH,
         MT_TITLE_KIND_LINK,
         {MT_STEP_LINK_NEW, MT_STEP_LINK_EXISTING}},
        {SINGLE,
         MT_TITLE_TARGET_PATH,
         MT_TITLE_KIND_LOCK,
         {MT_STEP_EXCL_NOWAIT, MT_STEP_EXCL_RELEASE, MT_STEP_EXCL_WAIT,
          MT_STEP_EXLOCKED_EXCL_NOWAIT, MT_STEP_EXLOCKED_EXCL_WAIT,
          MT_STEP_EXRELEASED_EXCL_NOWAIT}},
        {SINGLE, MT_TITLE_TARGET_PATH, MT_TITLE_KIND_RW, {MT_STEP_WRITE, MT_STEP_READ}},
        {SINGLE, MT_TITLE_TARGET_PATH, MT_TITLE_KIND_DELETE, {MT_STEP_DELETE_OWN}},
        // Mutual tests 35, 36, 29, 30, 31, 32, 33, 34 on the shared path.
        {DOUBLE, MT_TITLE_SHARE_PATH, MT_TITLE_KIND_OPEN, {MT_STEP_OPEN_PEERS}},
        {DOUBLE,
         MT_TITLE_SHARE_PATH,
         MT_TITLE_KIND_LOCK,
         {MT_STEP_SHRELEASED_EXCL_NOWAIT, MT_STEP_EXRELEASED_EXCL_NOWAIT,
          MT_STEP_SHLOCKED_EXCL_NOWAIT, MT_STEP_SHLOCKED_SHARED_WAIT, MT_STEP_SHLOCKED_EXCL_WAIT,
          MT_STEP_EXLOCKED_EXCL_NOWAIT, MT_STEP_EXLOCKED_SHARED_WAIT, MT_STEP_EXLOCKED_EXCL_WAIT}},
        {DOUBLE,
         MT_TITLE_TARGET_PATH,
         MT_TITLE_KIND_OPEN,
         {MT_STEP_OPEN_PEERS, MT_STEP_CHOWN_PEERS}},
        // Mutual tests 36, 32, 34 on the target path.
        {DOUBLE,
         MT_TITLE_TARGET_PATH,
         MT_TITLE_KIND_LOCK,
         {MT_STEP_EXRELEASED_EXCL_NOWAIT, MT_STEP_EXLOCKED_EXCL_NOWAIT,
          MT_STEP_EXLOCKED_EXCL_WAIT}},
        {DOUBLE, MT_TITLE_TARGET_PATH, MT_TITLE_KIND_DELETE, {MT_STEP_DELETE_PEERS}},
        {USERAPL,
         MT_TITLE_TARGET_FILE,
         MT_TITLE_KIND_OPEN,
         {MT_STEP_O1, MT_STEP_O2, MT_STEP_O3, MT_STEP_O4}},
        {USERAPL,
         MT_TITLE_TARGET_FILE,
         MT_TITLE_KIND_WHOLE_LOCK,
         {MT_STEP_L1, MT_STEP_L2, MT_STEP_L3}},
    };
    return table;
}

// How one kind ends when it differs from a clean pass: the verdicts of the
// steps that run ('O' OK, 'N' NG; the steps after the last one given do not
// run) and the kind's result (0 OK, 1 NG, -1 abort).
struct KindOutcome {
    Kind kind;
    const char *verdicts;
    int result;
};

struct Case {
    const char *fault; // NTWFAULT value
    const char *what;  // the fault, for the document
    Scope scope;
    Kind kind;                        // where the fault must be caught ...
    int step;                         // ... index into the kind's steps
    std::vector<std::string> lines;   // exact lines inside the catching step
    std::vector<std::string> absent;  // line beginnings that must not be there
    std::vector<KindOutcome> outcome; // kinds that do not simply pass
    int exit_status;
    const char *expected; // the expectation in words, for the document
    // The host whose processes see the fault (every process when none).  In
    // mode double the instance on the other host must pass every test.
    const char *only_host = nullptr;
    std::vector<std::string> args = {}; // more options for the checker
    // The checker's time-out (-t).  A row that gives one longer than a whole
    // run must end within it: that shows that no time-out was waited out,
    // even where nothing is printed while it is.
    int timeout = k_short_timeout;
};

std::string err_line(ntw_text_id id, int err = 0)
{
    std::string s = "        ! " + catalog(id);
    if (err != 0)
        s += " ERRORCODE=" + std::to_string(err) + "(" + strerror(err) + ")";
    return s;
}

std::string replace_first(std::string s, const std::string &from, const std::string &to)
{
    size_t p = s.find(from);
    if (p != std::string::npos)
        s.replace(p, from.size(), to);
    return s;
}

// A progress line about an exclusive lock.
std::string lock_line(ntw_text_id id)
{
    return "        " + replace_first(catalog(id), "%s", catalog(MT_LOCKWORD_EXCLUSIVE));
}

// The refusal of an exclusive lock that was not expected.
std::string lock_refused_line()
{
    return "        ! " +
           replace_first(catalog(MT_LOCK_FAILED), "%s", catalog(MT_LOCKWORD_EXCLUSIVE)) +
           " ERRORCODE=" + std::to_string(EAGAIN) + "(" + strerror(EAGAIN) + ")";
}

// An owner change to "nobody" that left the file with the checker's owner.
std::string owner_unchanged_line()
{
    const struct passwd *pw = getpwnam("nobody");
    char buf[2048];
    snprintf(buf, sizeof buf, catalog(MT_CHOWN_NOT_APPLIED).c_str(),
             pw != nullptr ? static_cast<int>(pw->pw_uid) : -1,
             pw != nullptr ? static_cast<int>(pw->pw_gid) : -1, static_cast<int>(getuid()),
             static_cast<int>(getgid()));
    return "        ! " + std::string(buf);
}

const std::vector<Case> &cases()
{
    static const std::vector<Case> table = {
        {"nolock",
         "record locks that other processes do not see (a lock request succeeds without a lock)",
         SCOPE_SHARE,
         S_LOCK,
         5,
         {err_line(MT_PEER_NOT_SHLOCKED)},
         {},
         {{S_LOCK, "OOOOON", 1}},
         255,
         "NG with `! 対向ファイルは共有ロックされていません。`; no further two-process step; no "
         "time-out waited (run with `-t 60`, it ends within it); the target path still runs; "
         "exit 255",
         nullptr,
         {},
         60},
        {"nolock",
         "record locks that other processes do not see",
         SCOPE_TARGET,
         T_LOCK,
         3,
         {err_line(MT_PEER_NOT_EXLOCKED)},
         {},
         {{T_LOCK, "OOON", 1}},
         255,
         "NG with `! 対向ファイルは排他ロックされていません。`; no time-out waited (run with `-t "
         "60`, it ends within it); read/write and delete still run; exit 255",
         nullptr,
         {},
         60},
        {"nolock",
         "record locks that the other host does not see",
         SCOPE_SHARE,
         DS_LOCK,
         2,
         {err_line(MT_PEER_NOT_SHLOCKED)},
         {},
         {{DS_LOCK, "OONON", -1}},
         255,
         "on both hosts: NG with `! 対向ファイルは共有ロックされていません。`; test 30 OK; test 31 "
         "aborts when the child's lock never shows (time-out); the target path's mutual tests do "
         "not run; exit 255"},
        {"lock-conflict-hang",
         "a lock request that must be refused never returns (the lock server does not answer)",
         SCOPE_SHARE,
         S_LOCK,
         5,
         {err_line(MT_TIMEOUT, EINTR)},
         {"        " + catalog(MT_PEER_SHLOCKED_OK)},
         {{S_LOCK, "OOOOON", -1}},
         255,
         "abort, not the expected refusal: time-out line and no `正しい結果です。`; the target "
         "path does not run; exit 255"},
        {"lock-conflict-hang",
         "a lock request that must be refused never returns",
         SCOPE_TARGET,
         DT_LOCK,
         1,
         {err_line(MT_TIMEOUT, EINTR)},
         {"        " + catalog(MT_PEER_EXLOCKED_OK)},
         {{DT_LOCK, "ON", -1}},
         255,
         "on both hosts: abort, not the expected refusal (test 32): time-out line and no "
         "`正しい結果です。`; the delete test does not run; exit 255"},
        {"lockwait-never",
         "a waiting lock request that is never granted",
         SCOPE_TARGET,
         T_LOCK,
         2,
         {err_line(MT_TIMEOUT, EINTR)},
         {},
         {{T_LOCK, "OON", -1}},
         255,
         "time-out line after `-t` seconds; abort: read/write and delete do not run; exit 255"},
        {"nolockf",
         "`lockf` locks that other processes do not see (the operator's application on the same "
         "file system)",
         SCOPE_TARGET_FILE,
         U_LOCK,
         1,
         {lock_line(MT_LOCK)},
         {lock_line(MT_LOCK_FAILED)},
         {{U_LOCK, "ONO", 1}},
         255,
         "NG: the no-wait lock is granted while the application holds its lock (no line of its "
         "own; no refusal line after `排他ロックを取得します。`); exit 255"},
        {"open-missing",
         "opening a missing file for reading succeeds",
         SCOPE_TARGET,
         T_OPEN,
         0,
         {err_line(MT_OPEN_GRANTED_NG)},
         {},
         {{T_OPEN, "NNNNNN", 1}},
         255,
         "NG with `! ファイルをオープンすることができてしまいました。`; every later open step "
         "shows "
         "NG; the other kinds run; exit 255"},
        {"link-over",
         "a hard link over an existing name succeeds",
         SCOPE_TARGET,
         T_LINK,
         1,
         {err_line(MT_LINK_GRANTED_NG)},
         {},
         {{T_LINK, "ON", 1}},
         255,
         "NG with `! ファイルをリンクすることができてしまいました。`; later kinds run; exit 255"},
        {"read-garbage",
         "reading returns other bytes than were written (offset 9 reads as X)",
         SCOPE_TARGET,
         T_RW,
         1,
         {replace_first(err_line(MT_READ_DATA_BAD), "%s", "123456789X")},
         {},
         {{T_RW, "ON", 1}},
         255,
         "NG with `! 読み込んだデータが不正です。 DATA=123456789X`; delete still runs; exit 255"},
        {"read-short",
         "reads return one byte at a time (a correct file system may do this)",
         SCOPE_TARGET,
         T_RW,
         1,
         {},
         {},
         {},
         0,
         "every step OK; exit 0"},
        {"write-short",
         "writes take one byte at a time (a correct file system may do this)",
         SCOPE_TARGET,
         T_RW,
         0,
         {},
         {},
         {},
         0,
         "every step OK; exit 0"},
        {"fsync-eio",
         "fsync fails with EIO",
         SCOPE_TARGET,
         T_RW,
         0,
         {err_line(MT_FLUSH_FAILED, EIO)},
         {},
         {{T_RW, "N", 1}},
         255,
         "NG with `! ファイルのフラッシュ処理に失敗しました。 ERRORCODE=5(...)`; the read step "
         "does "
         "not run; delete still runs; exit 255"},
        {"chown-eperm",
         "the owner change is refused (EPERM)",
         SCOPE_TARGET,
         T_OPEN,
         5,
         {err_line(MT_CHOWN_FAILED, EPERM)},
         {},
         {{T_OPEN, "OOOOON", 1}},
         255,
         "NG with `! ファイルの所有者及び所有グループの変更に失敗しました。 ERRORCODE=1(...)`; "
         "later "
         "kinds run; exit 255"},
        {"chown-eperm",
         "the owner change of the other host's file is refused (EPERM)",
         SCOPE_TARGET,
         DT_OPEN,
         1,
         {err_line(MT_CHOWN_FAILED, EPERM)},
         {},
         {{DT_OPEN, "ON", 1}},
         255,
         "on both hosts: NG with `! ファイルの所有者及び所有グループの変更に失敗しました。 "
         "ERRORCODE=1(...)`; the mutual lock and delete tests still run; exit 255"},
        {"unlink-fail",
         "unlinking a file fails (the file is removed, but the call reports ENOENT, as when the "
         "reply to the first request was lost)",
         SCOPE_TARGET,
         T_DELETE,
         0,
         {err_line(MT_DELETE_FAILED, ENOENT)},
         {},
         {{T_DELETE, "N", 1}},
         255,
         "NG with `! ファイル削除に失敗しました。 ERRORCODE=2(...)`; exit 255"},
        {"open-hang",
         "an open that blocks longer than the time-out",
         SCOPE_SHARE,
         S_OPEN,
         0,
         {err_line(MT_TIMEOUT, EINTR)},
         {},
         {{S_OPEN, "N", -1}},
         255,
         "time-out line after `-t` seconds; abort: the lock kind and the whole target path do not "
         "run; exit 255"},
        {"open-hang",
         "an open that blocks longer than the time-out, where the open must be refused",
         SCOPE_TARGET,
         T_OPEN,
         0,
         {err_line(MT_TIMEOUT, EINTR)},
         {"        " + catalog(MT_OPEN_REFUSED_OK)},
         {{T_OPEN, "N", -1}},
         255,
         "abort, not the expected refusal: time-out line and no `正しい結果です。`; the rest of "
         "the "
         "target path does not run; exit 255"},
        {"create-enospc",
         "creating a file fails with ENOSPC",
         SCOPE_SHARE,
         S_OPEN,
         0,
         {err_line(MT_OPEN_FAILED, ENOSPC)},
         {},
         {{S_OPEN, "N", 1}, {S_LOCK, "", 1}},
         255,
         "NG with `! ファイルオープンに失敗しました。 ERRORCODE=28(...)`; the lock kind ends NG "
         "without steps; the target path runs; exit 255"},
        {"lock-conflict-hang",
         "a whole-file lock request that must be refused never returns (the lock service of the "
         "checker's host does not answer; the operator's application is not affected)",
         SCOPE_TARGET_FILE,
         U_LOCK,
         1,
         {err_line(MT_TIMEOUT, EINTR)},
         {lock_line(MT_LOCK_FAILED)},
         {{U_LOCK, "ON", -1}},
         255,
         "abort, not the expected refusal: time-out line and no refusal line; L3 does not run; "
         "exit 255",
         "hostA"},
        {"chown-ignored",
         "the owner change reports success and changes nothing (SMB without POSIX extensions, "
         "FAT); run with `-O nobody`",
         SCOPE_TARGET,
         T_OPEN,
         5,
         {owner_unchanged_line()},
         {},
         {{T_OPEN, "OOOOON", 1}},
         255,
         "NG with `! ファイルの所有者及び所有グループが変更されていません。 指定: UID=(nobody) "
         "GID=(its group) 実際: UID=0 GID=0`; later kinds run; exit 255",
         nullptr,
         {"-O", "nobody"}},
        {"chown-ignored",
         "the owner change of the other host's file reports success and changes nothing; run with "
         "`-O nobody`",
         SCOPE_TARGET,
         DT_OPEN,
         1,
         {owner_unchanged_line()},
         {},
         {{DT_OPEN, "ON", 1}},
         255,
         "on both hosts: NG with `! ファイルの所有者及び所有グループが変更されていません。 ...`; "
         "the mutual lock and delete tests still run; exit 255",
         nullptr,
         {"-O", "nobody"}},
        {"lock-refused-once",
         "one host refuses one lock request that does not wait although the region is free (host "
         "A, test 35 only)",
         SCOPE_SHARE,
         DS_LOCK,
         0,
         {lock_refused_line()},
         {},
         {{DS_LOCK, "NOOOOOOO", 1}},
         255,
         "host A: NG with `! ファイルの排他ロックに失敗しました。 ERRORCODE=11(...)`, every later "
         "mutual step OK (no drift of the barriers), exit 255; host B: every step OK, exit 0",
         "hostA"},
        {"stop-estale",
         "looking at the operator's stop file fails with ESTALE while the file is there",
         SCOPE_TARGET_FILE,
         U_OPEN,
         1,
         {},
         {},
         {},
         0,
         "the error is not taken for the operator's deletion: each pause lasts until the operator "
         "has acted and really deleted the stop file; every step OK; exit 0"},
    };
    return table;
}

Mode mode_of(const Case &c)
{
    return kinds()[c.kind].mode;
}

ntw_text_id top_title(Mode mode)
{
    return mode == SINGLE ? MT_TITLE_SINGLE : mode == DOUBLE ? MT_TITLE_DOUBLE : MT_TITLE_USRAPL;
}

std::string start_line(int level, ntw_text_id title)
{
    char buf[2048];
    snprintf(buf, sizeof buf, catalog(MT_TEST_START_LINE).c_str(), 2 * level, "",
             catalog(title).c_str());
    std::string s = buf;
    return s.substr(0, s.size() - 1);
}

std::string end_line(int level, ntw_text_id title, int result)
{
    char buf[2048];
    snprintf(buf, sizeof buf, catalog(MT_TEST_END_LINE).c_str(), 2 * level, "",
             catalog(title).c_str(), result == 0 ? "OK" : "NG");
    std::string s = buf;
    return s.substr(0, s.size() - 1);
}

// Appends the test lines of one mode's tree when its kinds end as given.
// In modes single and double each driver keeps the last non-zero result and
// stops after an abort; in mode userapl the first non-zero result of the two
// kinds stands, and an abort of the open kind skips the lock kind.
void append_tree(Mode mode, const std::vector<KindOutcome> &outcome, std::vector<std::string> &out)
{
    std::vector<ntw_text_id> objects = {MT_TITLE_TARGET_FILE};
    if (mode != USERAPL)
        objects = {MT_TITLE_SHARE_PATH, MT_TITLE_TARGET_PATH};
    out.push_back(start_line(0, top_title(mode)));
    int top = 0;
    for (ntw_text_id object : objects) {
        if (top < 0)
            break;
        out.push_back(start_line(1, object));
        int obj = 0;
        bool aborted = false;
        for (int k = 0; k < KIND_COUNT && !aborted; ++k) {
            const KindInfo &info = kinds()[k];
            if (info.mode != mode || info.object != object)
                continue;
            out.push_back(start_line(2, info.title));
            const char *v = outcome[k].verdicts;
            size_t n = v != nullptr ? strlen(v) : info.steps.size();
            for (size_t i = 0; i < n; ++i) {
                int r = v != nullptr && v[i] == 'N' ? 1 : 0;
                out.push_back(start_line(3, info.steps[i]));
                out.push_back(end_line(3, info.steps[i], r));
            }
            out.push_back(end_line(2, info.title, outcome[k].result));
            if (outcome[k].result != 0 && (mode != USERAPL || obj == 0))
                obj = outcome[k].result;
            aborted = outcome[k].result < 0;
        }
        out.push_back(end_line(1, object, obj));
        if (obj != 0)
            top = obj;
    }
    out.push_back(end_line(0, top_title(mode), top));
}

// The test lines the run must print; an instance that does not see the
// fault passes everything.  Mode double runs the single tests first (here
// they all pass) and then the mutual tests.
std::vector<std::string> expected_tree(const Case &c, bool faulty)
{
    std::vector<KindOutcome> outcome(KIND_COUNT);
    for (int k = 0; k < KIND_COUNT; ++k)
        outcome[k] = {static_cast<Kind>(k), nullptr, 0};
    for (const KindOutcome &o : c.outcome)
        if (faulty)
            outcome[o.kind] = o;

    std::vector<std::string> out;
    if (mode_of(c) == DOUBLE)
        append_tree(SINGLE, outcome, out);
    append_tree(mode_of(c), outcome, out);
    return out;
}

// Index range [begin, end] of a test step (its start and end line) inside
// lines[from, to); {-1, -1} when it is not there.
std::pair<int, int> find_step(const std::vector<std::string> &lines, int level, ntw_text_id title,
                              int from, int to)
{
    std::string head = start_line(level, title);
    std::string tail = replace_first(end_line(level, title, 0), "[ OK ]", "[ ");
    for (int i = from; i < to; ++i) {
        if (lines[i] != head)
            continue;
        for (int j = i + 1; j < to; ++j)
            if (lines[j].compare(0, tail.size(), tail) == 0)
                return {i, j};
        return {i, -1};
    }
    return {-1, -1};
}

// What one run of the checker showed.
struct Report {
    bool faulty = true; // the instance saw the fault
    int status = -1;
    bool tree_ok = false;
    std::string catch_verdict = "missing";
    bool lines_seen = false;
    bool timeout_seen = false;
};

// Only an abort may cost a time-out: an NG must come without waiting one out.
bool may_time_out(const Case &c, bool faulty)
{
    for (const KindOutcome &o : c.outcome)
        if (faulty && o.result < 0)
            return true;
    return false;
}

std::string verdict_of(const std::string &end)
{
    return end.size() >= 5 && end.compare(end.size() - 4, 4, "OK ]") == 0 ? "OK" : "NG";
}

// Looks at the catching step's block (and at the kind around it).
void observe_catch(const Case &c, const std::vector<std::string> &r, Report &rep)
{
    int n = static_cast<int>(r.size());
    const KindInfo &info = kinds()[c.kind];
    auto top = find_step(r, 0, top_title(info.mode), 0, n);
    if (top.first < 0 || top.second < 0)
        return;
    auto object = find_step(r, 1, info.object, top.first, top.second);
    if (object.first < 0 || object.second < 0)
        return;
    auto kind = find_step(r, 2, info.title, object.first, object.second);
    if (kind.first < 0 || kind.second < 0)
        return;
    auto step = find_step(r, 3, info.steps[c.step], kind.first, kind.second);
    if (step.first < 0 || step.second < 0)
        return;
    rep.catch_verdict = verdict_of(r[step.second]);
    rep.lines_seen = true;
    for (const std::string &want : c.lines) {
        bool found = false;
        for (int i = step.first; i < step.second; ++i)
            found = found || r[i] == want;
        if (!found)
            rep.lines_seen = false;
    }
    for (const std::string &unwanted : c.absent)
        for (int i = step.first; i < step.second; ++i)
            if (r[i].compare(0, unwanted.size(), unwanted) == 0)
                rep.lines_seen = false;
}

Report examine(const Case &c, const RunResult &res, bool faulty)
{
    Report rep;
    rep.faulty = faulty;
    rep.status = res.status;
    std::vector<std::string> lines = split_lines(res.out);
    observe_catch(c, lines, rep);
    const std::string timeout = err_line(MT_TIMEOUT);
    for (const std::string &l : lines)
        rep.timeout_seen = rep.timeout_seen || l.compare(0, timeout.size(), timeout) == 0;
    rep.tree_ok = test_lines(lines) == expected_tree(c, faulty);
    EXPECT_TRUE(rep.tree_ok) << "unexpected step tree; report:\n" << res.out;
    EXPECT_TRUE(res.err.empty()) << "standard error: " << res.err;
    return rep;
}

struct Observation {
    std::vector<Report> reports; // one per instance
    bool fault_applied = false;
    std::vector<std::string> left;
    size_t processes_left = 0;
    bool within_timeout = false; // every instance ended before -t seconds
};

std::vector<std::string> fault_environment(const Case &c, const std::string &dir,
                                           const std::string &target_file, const std::string &log)
{
    std::string asan = getenv("ASAN_OPTIONS") != nullptr ? getenv("ASAN_OPTIONS") : "";
    std::vector<std::string> env = {
        std::string("LD_PRELOAD=") + NTWFAULT_LIB, std::string("NTWFAULT=") + c.fault,
        "NTWFAULT_DIR=" + dir, "NTWFAULT_LOG=" + log,
        // In sanitizer builds the library comes ahead of the sanitizer
        // runtime; its calls still reach the interceptors.
        "ASAN_OPTIONS=" + asan + (asan.empty() ? "" : ":") + "verify_asan_link_order=0"};
    if (mode_of(c) == DOUBLE)
        env.push_back("NTWFAULT_KIND=mutual");
    if (c.only_host != nullptr)
        env.push_back(std::string("NTWFAULT_HOST=") + c.only_host);
    if (!target_file.empty())
        env.push_back("NTWFAULT_FILE=" + target_file);
    return env;
}

// The scripted operator and its application, on the same faulty file system
// as the checker.
pid_t start_operator(const std::string &target_file, const std::string &record,
                     const std::vector<std::string> &env)
{
    std::vector<std::string> args = {NTWOPERATOR_BIN, "--target",    target_file,   "--record",
                                     record,          "--behaviour", "cooperative", "--l3",
                                     "release",       "--deadline",  "90"};
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        for (const std::string &e : env)
            putenv(strdup(e.c_str()));
        std::vector<char *> argv;
        for (std::string &a : args)
            argv.push_back(&a[0]);
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

// The host names of the two instances of mode double.
std::string host_name(size_t instance)
{
    return instance == 0 ? "hostA" : "hostB";
}

// Two instances in their own UTS namespaces play two hosts.
RunOptions on_host(RunOptions opt, const std::string &host)
{
    opt.prefix = {"unshare", "--uts", "sh", "-c", "hostname " + host + " && exec \"$0\" \"$@\""};
    return opt;
}

// ".#ZEMLOCK.host.1234.0" -> ".0": host name and process id vary.
std::string work_file_suffix(const std::string &name)
{
    size_t dot = name.rfind('.');
    return name.compare(0, 10, ".#ZEMLOCK.") == 0 && dot != std::string::npos ? name.substr(dot)
                                                                              : name;
}

// One case under way: its directories and its processes.
struct CaseRun {
    const Case *c = nullptr;
    std::unique_ptr<TempDir> share{new TempDir("ntwdet_share")};
    std::unique_ptr<TempDir> target{new TempDir("ntwdet_target")};
    std::unique_ptr<TempDir> logs{new TempDir("ntwdet_log")};
    std::vector<Proc> checkers; // two in mode double
    pid_t operator_pid = -1;
    time_t started = time(nullptr);
};

std::unique_ptr<CaseRun> start_case(const Case &c)
{
    std::unique_ptr<CaseRun> run(new CaseRun);
    run->c = &c;
    const TempDir &share = *run->share, &target = *run->target;
    const std::string &dir = c.scope == SCOPE_SHARE ? share.path() : target.path();
    const std::string target_file = mode_of(c) == USERAPL ? target.file("target.dat") : "";

    RunOptions opt;
    opt.kill_after_s = 300;
    opt.env = fault_environment(c, dir, target_file, run->logs->file("applied"));
    std::vector<std::string> paths = {"-p",         target.path(), "-h",
                                      share.path(), "-t",          std::to_string(c.timeout)};
    paths.insert(paths.end(), c.args.begin(), c.args.end());
    std::vector<std::string> args = {"-8", "-m"};
    // Mode double always plays two hosts; the other modes play the faulty
    // host when the fault is bound to one.
    RunOptions one = c.only_host != nullptr ? on_host(opt, c.only_host) : opt;
    switch (mode_of(c)) {
    case SINGLE:
        args.push_back("single");
        args.insert(args.end(), paths.begin(), paths.end());
        run->checkers.push_back(start_checker(args, one));
        break;
    case DOUBLE:
        args.push_back("double");
        args.insert(args.end(), paths.begin(), paths.end());
        run->checkers.push_back(start_checker(args, on_host(opt, host_name(0))));
        run->checkers.push_back(start_checker(args, on_host(opt, host_name(1))));
        break;
    case USERAPL:
        run->operator_pid = start_operator(target_file, run->logs->file("operator"), opt.env);
        args.insert(args.end(), {"userapl", "-f", target_file, "-t", std::to_string(c.timeout)});
        run->checkers.push_back(start_checker(args, one));
        break;
    }
    return run;
}

Observation finish_case(CaseRun &run)
{
    const Case &c = *run.c;
    Observation ob;
    for (size_t i = 0; i < run.checkers.size(); ++i) {
        bool faulty = c.only_host == nullptr || mode_of(c) != DOUBLE || host_name(i) == c.only_host;
        ob.reports.push_back(examine(c, finish_checker(run.checkers[i]), faulty));
    }
    ob.within_timeout = time(nullptr) - run.started < c.timeout;
    if (run.operator_pid > 0) {
        int status = 0;
        waitpid(run.operator_pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "operator failed";
    }
    std::string applied = read_file_bytes(run.logs->file("applied"));
    ob.fault_applied = applied.compare(0, strlen(c.fault), c.fault) == 0;
    for (const TempDir *d : {run.share.get(), run.target.get()})
        for (const std::string &name : d->entries())
            ob.left.push_back(work_file_suffix(name));
    return ob;
}

std::string catching_step_name(const Case &c)
{
    const KindInfo &info = kinds()[c.kind];
    return catalog(top_title(info.mode)) + " / " + catalog(info.object) + " / " +
           catalog(info.title) + " / " + catalog(info.steps[c.step]);
}

std::string where(const Case &c)
{
    const char *mode = mode_of(c) == SINGLE   ? "single"
                       : mode_of(c) == DOUBLE ? "double"
                                              : "userapl";
    const char *place = c.scope == SCOPE_SHARE    ? "shared path"
                        : c.scope == SCOPE_TARGET ? "target path"
                                                  : "target file";
    return std::string(mode) + ", " + place + (mode_of(c) == DOUBLE ? " (mutual files)" : "");
}

std::string observed_text(const Case &c, const Observation &ob)
{
    bool has_lines = !c.lines.empty() || !c.absent.empty();
    std::ostringstream s;
    for (size_t i = 0; i < ob.reports.size(); ++i) {
        const Report &r = ob.reports[i];
        if (ob.reports.size() > 1)
            s << (i == 0 ? "host A: " : "host B: ");
        s << "step " << r.catch_verdict;
        if (has_lines && r.faulty)
            s << (r.lines_seen ? ", its line seen" : ", line missing");
        s << "; step tree " << (r.tree_ok ? "as expected" : "differs") << "; "
          << (r.timeout_seen ? "time-out waited" : "no time-out") << "; exit " << r.status << "; ";
    }
    if (ob.left.empty()) {
        s << "nothing left";
    } else {
        s << "left:";
        for (const std::string &l : ob.left)
            s << " `" << l << "`";
    }
    if (c.timeout != k_short_timeout)
        s << "; " << (ob.within_timeout ? "ended within" : "ran beyond") << " `-t " << c.timeout
          << "`";
    s << "; " << (ob.processes_left == 0 ? "no process left" : "PROCESSES LEFT")
      << (ob.fault_applied ? "" : "; FAULT NEVER APPLIED");
    return s.str();
}

std::string render_document(const std::vector<std::string> &rows)
{
    std::ostringstream s;
    s << "# What the checker detects\n\n"
         "Each row is a simulated faulty file system: the fault-injection library\n"
         "`tests/ntwfault.cpp` (loaded with `LD_PRELOAD`) makes one kind of operation on\n"
         "the checker's work files misbehave in one directory, for every process alike\n"
         "(the checker, its forked children, the second instance, the operator's\n"
         "application), while the synchronisation files work normally. The test\n"
         "`tests/ntwdetect_test.cpp` runs the real `zemntwchk ... -t 10` (`-t 60` where\n"
         "a row says so) for each row and checks that the step in the fourth column ends\n"
         "with the expected verdict and\n"
         "line, that the whole tree of test steps follows the result rules (an NG lets the\n"
         "later steps run, an abort ends the chain), the exit status, and that no file or\n"
         "process of the checker is left. The observed column is written from those\n"
         "checks; the test fails when this file no longer matches them (rewrite it with\n"
         "`NTW_UPDATE_DETECTION=1`).\n\n"
         "| # | Fault | Mode, where | Step that must catch it | Expected | Observed |\n"
         "|---|---|---|---|---|---|\n";
    for (const std::string &r : rows)
        s << r << "\n";
    s << "\nNotes.\n\n"
         "- Rows 1 and 2: when the parent ends the two-process lock test early, its forked\n"
         "  partner is still waiting at a barrier that the parent will not reach; the parent\n"
         "  ends the partner and finishes the pairing alone, so the NG costs no time-out and\n"
         "  the rest of the chain runs.\n"
         "- Rows bound to one host (`NTWFAULT_HOST`) play a fault of one client of the\n"
         "  network file system; in mode double the other instance must pass every test, and\n"
         "  the faulty one every test but the caught one: an instance that ends a mutual test\n"
         "  early still passes that test's barriers, so the two never pair one barrier apart.\n"
         "- No row may wait out a time-out unless it expects an abort.\n"
         "- An unlink that is refused and keeps the file is not in the table: the open and\n"
         "  link tests do not look at their unlink results, so their names stay behind as\n"
         "  hard links of one file, and the target path's two-process lock test then ends\n"
         "  NG or aborts on them (depending on which process locks first) before the delete\n"
         "  step can report the refusal. The run still fails (exit 255), but the files\n"
         "  stay behind.\n";
    return s.str();
}

std::string document_path()
{
    std::string here = __FILE__;
    return here.substr(0, here.rfind('/')) + "/../docs/detection.md";
}

bool can_make_hosts()
{
    return std::system("unshare --uts true >/dev/null 2>&1") == 0;
}

// Cases run a few at a time: the runs mostly wait (lock hand-overs, time-outs),
// and each case has its own directories, file names and host names.
constexpr size_t BATCH = 4;

TEST(DetectionTest, EveryFaultIsCaughtByItsStepAndTheRunCleansUp)
{
    if (geteuid() != 0 || !can_make_hosts())
        GTEST_SKIP() << "needs root (owner changes) and 'unshare --uts' (two hosts)";
    become_subreaper();
    const std::vector<Case> &all = cases();
    std::vector<std::string> rows;
    for (size_t first = 0; first < all.size(); first += BATCH) {
        size_t end = std::min(all.size(), first + BATCH);
        std::vector<std::unique_ptr<CaseRun>> runs;
        for (size_t i = first; i < end; ++i)
            runs.push_back(start_case(all[i]));
        std::vector<Observation> obs;
        for (size_t i = first; i < end; ++i) {
            const Case &c = all[i];
            SCOPED_TRACE("row " + std::to_string(i + 1) + ": fault " + c.fault + ", " + where(c));
            obs.push_back(finish_case(*runs[i - first]));
            const Observation &ob = obs.back();
            for (const Report &r : ob.reports) {
                int status = r.faulty ? c.exit_status : 0;
                EXPECT_EQ(r.status, status);
                EXPECT_EQ(r.catch_verdict, status == 0 ? "OK" : "NG");
                EXPECT_TRUE(r.lines_seen || !r.faulty) << "the catching step lacks its line";
                EXPECT_TRUE(!r.timeout_seen || may_time_out(c, r.faulty))
                    << "a time-out was waited out without an abort";
            }
            EXPECT_TRUE(ob.fault_applied) << "the fault never took effect";
            if (c.timeout != k_short_timeout) {
                EXPECT_TRUE(ob.within_timeout) << "the run waited out its time-out";
            }
            EXPECT_TRUE(ob.left.empty());
        }
        // Every run of the batch has ended: none may have left a process.
        size_t processes_left = leftover_children().size();
        EXPECT_EQ(processes_left, 0u) << "rows " << first + 1 << " to " << end;
        for (size_t i = first; i < end; ++i) {
            const Case &c = all[i];
            Observation &ob = obs[i - first];
            ob.processes_left = processes_left;
            std::ostringstream row;
            row << "| " << i + 1 << " | " << c.what << " | " << where(c) << " | "
                << catching_step_name(c) << " | " << c.expected << " | " << observed_text(c, ob)
                << " |";
            rows.push_back(row.str());
        }
    }

    std::string doc = render_document(rows);
    if (getenv("NTW_UPDATE_DETECTION") != nullptr) {
        std::string path = document_path();
        mkdir(path.substr(0, path.rfind('/')).c_str(), 0755);
        write_file_bytes(path, doc);
        return;
    }
    EXPECT_TRUE(read_file_bytes(document_path()) == doc)
        << "docs/detection.md is out of date; the new text is:\n"
        << doc;
}

// A shared path whose files are shared but whose record locks are not: each
// process sees only its own locks on the sync file.  The first pairing
// fails; the report names the partner, which it sees running through its
// presence file, and never says that the partner has ended.
TEST(DetectionTest, PartnerWhoseLocksAreNotSeenIsNamedAndNeverCalledEnded)
{
    if (geteuid() != 0 || !can_make_hosts())
        GTEST_SKIP() << "needs root and 'unshare --uts' (host names)";
    become_subreaper();
    struct Run {
        const char *mode;
        std::vector<std::string> hosts;
    };
    const std::vector<Run> runs = {{"single", {"hostS"}}, {"double", {"hostA", "hostB"}}};
    std::vector<std::unique_ptr<TempDir>> dirs;
    std::vector<std::vector<Proc>> procs;
    for (const Run &r : runs) {
        for (const char *tag : {"ntwdet_share", "ntwdet_target", "ntwdet_log"})
            dirs.emplace_back(new TempDir(tag));
        const TempDir &share = *dirs[dirs.size() - 3], &target = *dirs[dirs.size() - 2];
        RunOptions opt;
        opt.kill_after_s = 300;
        opt.env = {std::string("LD_PRELOAD=") + NTWFAULT_LIB, "NTWFAULT=sync-locks-private",
                   "NTWFAULT_DIR=" + share.path(), "NTWFAULT_LOG=" + dirs.back()->file("applied"),
                   std::string("NTWFAULT_KIND=") + (r.hosts.size() == 1 ? "single" : "mutual")};
        procs.emplace_back();
        for (const std::string &host : r.hosts)
            procs.back().push_back(start_checker(
                {"-8", "-m", r.mode, "-p", target.path(), "-h", share.path(), "-t", "10"},
                on_host(opt, host)));
    }
    for (size_t i = 0; i < runs.size(); ++i) {
        SCOPED_TRACE(runs[i].mode);
        const std::vector<std::string> &hosts = runs[i].hosts;
        for (size_t h = 0; h < procs[i].size(); ++h) {
            RunResult res = finish_checker(procs[i][h]);
            std::vector<std::string> lines = split_lines(res.out);
            // Mode double: the mutual part (the single part's pairings succeed).
            auto mutual = std::find(lines.begin(), lines.end(), start_line(0, MT_TITLE_DOUBLE));
            const bool reached_mutual = mutual != lines.end();
            lines.erase(lines.begin(), mutual == lines.end() ? lines.begin() : mutual);
            const std::string partner = hosts[(h + 1) % hosts.size()];
            EXPECT_EQ(res.status, 255);
            EXPECT_TRUE(contains_line(
                lines, replace_first(err_line(MT_PARTNER_LOCKS_UNSEEN), "%s", partner)))
                << res.out;
            EXPECT_FALSE(contains_line(lines, "        " + catalog(MT_PARTNER_ENDED)));
            EXPECT_FALSE(contains_line(lines, err_line(MT_PARTNER_NOT_SEEN)));
            EXPECT_EQ(reached_mutual, hosts.size() == 2)
                << "mode double: the single part's own pairings are not affected";
        }
        const TempDir &log = *dirs[3 * i + 2];
        EXPECT_EQ(read_file_bytes(log.file("applied")).compare(0, 18, "sync-locks-private"), 0);
        EXPECT_TRUE(dirs[3 * i]->entries().empty());
        EXPECT_TRUE(dirs[3 * i + 1]->entries().empty());
    }
    EXPECT_TRUE(leftover_children().empty());
}

} // namespace
