// Mutual check between two instances on two hosts that share the shared path
// and the target path.  Both instances run the same tree of tests in the same
// order; every test is one pairing on the fixed synchronisation file, and
// the two sides meet at barriers that pair by count.  Each instance works on
// two files: its own (.#ZEMLOCK.<my_file_no>) and the partner's
// (.#ZEMLOCK.<other_file_no>); the pairing roles cross the numbers.
#include "ntw.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <initializer_list>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int kExclusive = 1;
constexpr int kShared = 0;
constexpr int kWait = 1;
constexpr int kNoWait = 0;

// Set by receive() in the lock-holding child when the instance's SIGTERM
// has arrived.
volatile sig_atomic_t s_term_received = 0;

// The two work files of one mutual test.  A name stays empty until it has
// been formed, so only formed names are ever removed.
struct WorkPair {
    char own[NTW_WORKNAME_LEN] = "";
    char other[NTW_WORKNAME_LEN] = "";
    int own_fd = -1;
    int other_fd = -1;
};

// A barrier; false when it failed or the partner has finished the pairing
// instead of coming (then no later barrier of the pairing is tried).
bool barrier(utlntw_sync_info *sync)
{
    return !sync->partner_finished && utlntw_sync_wait(sync) == 0;
}

// The last barrier of a test: passed, or the partner has finished the
// pairing, which leaves nothing of this test to do with it.
bool last_barrier(utlntw_sync_info *sync)
{
    return barrier(sync) || sync->partner_finished;
}

// A test cut short because the partner finished the pairing before its
// verdict ends NG: what it did not see is not proven.
int settle(const utlntw_sync_info *sync, int result)
{
    return sync->partner_finished && result < 0 ? NTW_NG : result;
}

int start_pairing(utlntw_sync_info *sync, const char *sync_dir, int timeout)
{
    return utlntw_sync_init(sync, sync_dir, timeout, NTW_MODE_DOUBLE, 0);
}

// Finishes a test's pairing.  An abort stops the mutual tests here, so it
// is shown first: a partner of this release stops at its barrier too, as
// it would wait out its time-out at the next test's pairing otherwise.
int finish_test_pairing(utlntw_sync_info *sync, int result)
{
    if (result < 0)
        utlntw_sync_abort(sync);
    return utlntw_sync_finish(sync) == 0 ? result : NTW_ABORT;
}

int form_work_names(const utlntw_sync_info *sync, const char *dir, WorkPair *w)
{
    if (create_path(NTW_MODE_DOUBLE, dir, sync->my_file_no, w->own, 0) != 0)
        return -1;
    return create_path(NTW_MODE_DOUBLE, dir, sync->other_file_no, w->other, 0);
}

// Closes what is open; a failed close turns an OK into NG.
int close_work_files(WorkPair *w, int result)
{
    for (int *fd : {&w->own_fd, &w->other_fd}) {
        if (*fd != -1 && close_file(*fd) != 0 && result == NTW_OK)
            result = NTW_NG;
        *fd = -1;
    }
    return result;
}

// Both instances remove both files, so one removal of each finds it gone.
void remove_work_files(const WorkPair &w)
{
    for (const char *name : {w.own, w.other}) {
        if (name[0] != '\0')
            remove_work_file(name);
    }
}

// ---------------------------------------------------------------------------
// Open test

// A result that goes on: NG or abort replaces what came before.
int combine(int result, int next)
{
    return next != NTW_OK ? next : result;
}

// Rewrites the own file under an exclusive lock, released in every case.
int rewrite_own_locked(const WorkPair &w, char test, int file_no, int timeout)
{
    if (lock_file(w.own_fd, kExclusive, kWait, timeout, 0) != 0)
        return test_failure_value();
    int result =
        data_write_record(w.own_fd, test, 2, file_no, timeout) == 0 ? NTW_OK : test_failure_value();
    if (unlock_file(w.own_fd, timeout) != 0)
        result = combine(result, test_failure_value());
    return result;
}

// The data steps.  Each instance reads the record that the partner wrote
// before the first barrier; after a barrier (no rewrite may overtake a
// first read) each rewrites its own file under an exclusive lock, and after
// one more the partner's second record must be read under a shared lock
// through the descriptor that read the first: a client that keeps serving
// what it read before would make the next writer destroy this update.
// Without the partner's file (its open failed: NG already, with its line)
// there is nothing to read, but the barriers and the own rewrite still run,
// so the partner's steps stay in step and it reads what it must.
int data_steps(utlntw_sync_info *sync, const WorkPair &w, char test, int timeout)
{
    const bool reading = w.other_fd >= 0;
    data_writer_info partner{};
    auto read_partner = [&](int write_no) {
        return data_read_record(w.other_fd, test, write_no, sync->other_file_no, &partner, timeout);
    };
    int result =
        reading ? test_named_step(MT_STEP_READ_PEERS, [&] { return read_partner(1); }) : NTW_OK;
    if (result < 0 || !barrier(sync))
        return NTW_ABORT;
    result = combine(result, rewrite_own_locked(w, test, sync->my_file_no, timeout));
    if (result < 0 || !barrier(sync))
        return NTW_ABORT;
    if (!reading)
        return result;
    return combine(result, test_named_step(MT_STEP_READ_PEERS_LOCKED, [&] {
                       if (lock_file(w.other_fd, kShared, kWait, timeout, 0) != 0)
                           return test_failure_value();
                       int r = read_partner(2);
                       if (unlock_file(w.other_fd, timeout) != 0)
                           r = combine(r, test_failure_value());
                       return r;
                   }));
}

int open_test_steps(utlntw_sync_info *sync, WorkPair *w, int timeout, const char *owner,
                    const char *group)
{
    const char test = owner != nullptr ? 'T' : 'S'; // only the target path's test has an owner
    w->own_fd = create_work_file(w->own, timeout, 0);
    if (w->own_fd < 0)
        return test_failure_value();
    // Written before it is known whether the partner reads it: a partner
    // without the data steps leaves the file alone, and the write counts
    // only with a partner that reads it.
    const int first_write = data_write_record(w->own_fd, test, 1, sync->my_file_no, timeout) == 0
                                ? NTW_OK
                                : test_failure_value();
    if (!barrier(sync))
        return NTW_ABORT;

    int result = test_named_step(MT_STEP_OPEN_PEERS, [&] {
        w->other_fd = open_partner_file(w->other, O_RDWR, timeout);
        return w->other_fd < 0 ? test_failure_value() : NTW_OK;
    });
    if (result == NTW_OK && owner != nullptr) {
        result = test_named_step(MT_STEP_CHOWN_PEERS, [&] {
            return change_owner(w->other, owner, group) < 0 ? NTW_NG : NTW_OK;
        });
    }
    const int capable = peer_has_data_capability(sync);
    if (capable < 0)
        return NTW_ABORT;
    if (capable == 0) {
        msg_statusmsg(0, "%s", msg_text(MT_PEER_DATA_SKIPPED));
    } else {
        result = combine(combine(result, first_write), data_steps(sync, *w, test, timeout));
        if (result < 0)
            return result;
    }
    // Past the next barrier the partner may remove both files; closing a
    // file that another host has removed can fail on a distributed file
    // system (stale handle), so nothing may still be open then.
    result = close_work_files(w, result);
    if (!last_barrier(sync))
        result = NTW_ABORT;
    return result;
}

// ---------------------------------------------------------------------------
// Delete test

int delete_test_steps(utlntw_sync_info *sync, const WorkPair &w, int timeout, time_t start)
{
    int fd = create_work_file(w.own, timeout, 0);
    if (fd < 0)
        return test_failure_value();
    if (close_file(fd) != 0)
        return NTW_NG;
    if (!barrier(sync) || wait_file_no_exists(w.other, start, timeout) != 0 || !barrier(sync))
        return NTW_ABORT;
    int result = test_named_step(MT_STEP_DELETE_PEERS, [&] {
        return check_partner_name(w.other) < 0 || delete_file(w.other) < 0 ? NTW_NG : NTW_OK;
    });
    return last_barrier(sync) ? result : NTW_ABORT;
}

// ---------------------------------------------------------------------------
// Lock tests

// Keeps SIGALRM on the time-out handler and the alarm armed for its scope.
class AlarmGuard {
public:
    explicit AlarmGuard(int timeout)
    {
        struct sigaction sa {};
        sa.sa_handler = alarm_handler;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = 0; // no restart: a blocked call must return at the alarm
        sigaction(SIGALRM, &sa, &old_);
        alarm(static_cast<unsigned>(timeout));
    }
    ~AlarmGuard()
    {
        alarm(0);
        sigaction(SIGALRM, &old_, nullptr);
    }
    AlarmGuard(const AlarmGuard &) = delete;
    AlarmGuard &operator=(const AlarmGuard &) = delete;

private:
    struct sigaction old_ {};
};

// The partner's file of tests 35 and 36.
struct PeerFile {
    int fd;
    int timeout;
};

// Whether another process holds a lock on the partner's file; silent, it
// takes no lock.  At the last barrier of tests 35 and 36 the partner holds
// none, unless it has gone on to its next test, whose first step locks its
// own file.
int peer_file_locked(const void *arg)
{
    const PeerFile *peer = static_cast<const PeerFile *>(arg);
    struct flock probe {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    probe.l_len = 1;
    int rc;
    {
        AlarmGuard guard(peer->timeout);
        sig_blocking_begin();
        rc = fcntl(peer->fd, F_GETLK, &probe);
        sig_blocking_end();
    }
    return rc == 0 && probe.l_type != F_UNLCK;
}

// Tests 35 and 36: the partner locks its own file and releases the lock;
// afterwards its file must grant an exclusive lock at once.  An NG ends the
// test without its last barrier, as every instance does; the partner then
// leaves that barrier out as well (see utlntw_sync_leave_out), so the two
// stay in step.
int released_lock_steps(int own_exclusive, utlntw_sync_info *sync, int own_fd, int other_fd,
                        int timeout)
{
    if (lock_file(own_fd, own_exclusive, kWait, timeout, 0) != 0)
        return NTW_ABORT;
    if (!barrier(sync) || unlock_file(own_fd, timeout) != 0 || !barrier(sync))
        return NTW_ABORT;
    if (lock_file(other_fd, kExclusive, kNoWait, timeout, 0) != 0 ||
        unlock_file(other_fd, timeout) != 0) {
        int result = test_failure_value();
        if (result == NTW_NG && utlntw_sync_leave_out(sync) != 0)
            return NTW_ABORT;
        return result;
    }
    const PeerFile peer{other_fd, timeout};
    return utlntw_sync_wait_last(sync, peer_file_locked, &peer) >= 0 ? NTW_OK : NTW_ABORT;
}

// A probe lock that was granted although the partner holds a conflicting
// lock is released before the next barrier, so that it cannot stand in the
// way of the partner's later locks where the file system does enforce it.
int probe_granted(int other_fd, ntw_text_id not_locked, int timeout)
{
    msg_errmsg(0, "%s", msg_text(not_locked));
    unlock_file(other_fd, timeout);
    return NTW_NG;
}

// A request that does not wait on the partner's file, which the partner
// holds locked: OK only when the conflict refused it.  Any other failure
// proves nothing about the partner's lock: NG, or an abort after a time-out.
int probe_refused(int other_fd, int exclusive, ntw_text_id not_locked, int timeout)
{
    int r = lock_file(other_fd, exclusive, kNoWait, timeout, 1);
    if (r == 0)
        return probe_granted(other_fd, not_locked, timeout);
    return r == NTW_LOCK_REFUSED ? NTW_OK : test_failure_value();
}

// Tests 29 and 32: the partner holds a lock on its own file, so an exclusive
// request that does not wait must be refused.
int locked_region_steps(ntw_text_id locked_ok, ntw_text_id not_locked, utlntw_sync_info *sync,
                        int other_fd, int timeout)
{
    if (!barrier(sync))
        return NTW_ABORT;
    int r = probe_refused(other_fd, kExclusive, not_locked, timeout);
    if (r == NTW_OK)
        msg_statusmsg(0, "%s", msg_text(locked_ok));
    return r;
}

int probe_shlocked_by_exclusive(int other_fd, int timeout)
{
    return probe_refused(other_fd, kExclusive, MT_PEER_NOT_SHLOCKED, timeout);
}

int probe_exlocked_by_shared(int other_fd, int timeout)
{
    return probe_refused(other_fd, kShared, MT_PEER_NOT_EXLOCKED, timeout);
}

int probe_exlocked_by_lockf_test(int other_fd, int timeout)
{
    int rc;
    int err;
    {
        AlarmGuard guard(timeout);
        sig_blocking_begin();
        rc = lockf(other_fd, F_TEST, 1);
        err = errno;
        sig_blocking_end();
    }
    if (rc == 0) {
        msg_errmsg(0, "%s", msg_text(MT_PEER_NOT_EXLOCKED));
        return NTW_NG;
    }
    if (err == EACCES || err == EAGAIN)
        return NTW_OK;
    msg_errmsg(err, "%s", msg_text(MT_PEER_EXLOCK_FAILED));
    return NTW_NG;
}

// Tests 31, 33 and 34: each instance hands the lock on its own file to a
// child, probes the lock of the partner's child, then makes a waiting
// request that the partner's child grants 3 seconds after its SIGTERM.
struct Handover {
    int child_exclusive; // the lock the child takes
    int (*probe)(int other_fd, int timeout);
    int wait_exclusive; // the waiting request on the partner's file
    bool relock_own;    // take the own exclusive lock again
    bool closing_barrier;
};

constexpr Handover kTest31{kShared, probe_shlocked_by_exclusive, kExclusive, true, false};
constexpr Handover kTest33{kExclusive, probe_exlocked_by_shared, kShared, true, true};
constexpr Handover kTest34{kExclusive, probe_exlocked_by_lockf_test, kExclusive, false, false};

// Ends a child that is still waiting for its signal (the test was left
// early), so that no lock holder outlives the test.
void end_child(pid_t child)
{
    kill(child, SIGTERM);
    sig_reap_child(child);
}

// Until the verdict, the result stays -1 unless an NG was seen, so a failed
// barrier ends the test as an abort or as the NG already found.  A probe
// that ran into the time-out aborts.
int handover_steps(const Handover &h, utlntw_sync_info *sync, const char *own_path, int own_fd,
                   int other_fd, int timeout)
{
    int result = NTW_ABORT;
    if (!barrier(sync))
        return result;
    pid_t child = double_child(own_fd, own_path, h.child_exclusive, kWait, timeout);
    if (child < 0)
        return result;
    if (!barrier(sync)) {
        end_child(child);
        return result;
    }
    int probed = h.probe(other_fd, timeout);
    if (probed == NTW_ABORT) {
        end_child(child);
        return probed;
    }
    if (probed != NTW_OK)
        result = NTW_NG;
    if (!barrier(sync)) {
        end_child(child);
        return result;
    }
    msg_statusmsg(0, "%s", msg_text(MT_SIGNAL_CHILD));
    kill(child, SIGTERM);
    if (test_lock_on_release(other_fd, h.wait_exclusive, timeout) != NTW_OK)
        result = NTW_NG;
    sig_reap_child(child);
    if (!barrier(sync))
        return result;
    if (unlock_file(other_fd, timeout) != 0)
        result = NTW_NG;
    if (!(h.closing_barrier ? barrier(sync) : last_barrier(sync)))
        return result;
    if (h.relock_own && lock_file(own_fd, kExclusive, kWait, timeout, 0) != 0)
        result = NTW_NG;
    if (h.closing_barrier && !last_barrier(sync))
        return result;
    return result == NTW_NG ? NTW_NG : NTW_OK;
}

// The numbered lock tests, each over the pair of work files.
using LockTest = int (*)(utlntw_sync_info *, const WorkPair &, int);

constexpr LockTest kNo29 = [](utlntw_sync_info *s, const WorkPair &w, int t) {
    return test_no_29(s, w.other_fd, t);
};
constexpr LockTest kNo30 = [](utlntw_sync_info *s, const WorkPair &w, int t) {
    return test_no_30(s, w.other_fd, t);
};
constexpr LockTest kNo31 = [](utlntw_sync_info *s, const WorkPair &w, int t) {
    return test_no_31(s, w.own, w.own_fd, w.other_fd, t);
};
constexpr LockTest kNo32 = [](utlntw_sync_info *s, const WorkPair &w, int t) {
    return test_no_32(s, w.other_fd, t);
};
constexpr LockTest kNo33 = [](utlntw_sync_info *s, const WorkPair &w, int t) {
    return test_no_33(s, w.own, w.own_fd, w.other_fd, t);
};
constexpr LockTest kNo34 = [](utlntw_sync_info *s, const WorkPair &w, int t) {
    return test_no_34(s, w.own, w.own_fd, w.other_fd, t);
};
constexpr LockTest kNo35 = [](utlntw_sync_info *s, const WorkPair &w, int t) {
    return test_no_35(s, w.own_fd, w.other_fd, t);
};
constexpr LockTest kNo36 = [](utlntw_sync_info *s, const WorkPair &w, int t) {
    return test_no_36(s, w.own_fd, w.other_fd, t);
};

// Runs lock tests in order into *result; false when one aborted.
bool run_lock_tests(std::initializer_list<LockTest> tests, utlntw_sync_info *sync,
                    const WorkPair &w, int timeout, int *result)
{
    for (LockTest test : tests) {
        int r = settle(sync, test(sync, w, timeout));
        if (r != NTW_OK)
            *result = r;
        if (r < 0 || sync->partner_finished)
            return false;
    }
    return true;
}

int lock_test_steps(utlntw_sync_info *sync, WorkPair *w, int timeout, bool share_set)
{
    // A partner of an earlier release opens (and so may create) this
    // instance's file before the barrier; this one opens the partner's only
    // after it, when the partner has created it.
    w->own_fd = create_work_file(w->own, timeout, NTW_WORK_PARTNER_FIRST);
    if (w->own_fd < 0)
        return test_failure_value();
    if (!barrier(sync))
        return NTW_ABORT;
    w->other_fd = open_partner_file(w->other, O_RDWR, timeout);
    if (w->other_fd < 0)
        return test_failure_value();

    int result = NTW_OK;
    if (!run_lock_tests(share_set ? std::initializer_list<LockTest>{kNo35, kNo36}
                                  : std::initializer_list<LockTest>{kNo36},
                        sync, *w, timeout, &result))
        return result;
    if (lock_file(w->own_fd, share_set ? kShared : kExclusive, kWait, timeout, 0) != 0)
        return test_failure_value();
    run_lock_tests(share_set
                       ? std::initializer_list<LockTest>{kNo29, kNo30, kNo31, kNo32, kNo33, kNo34}
                       : std::initializer_list<LockTest>{kNo32, kNo34},
                   sync, *w, timeout, &result);
    return result;
}

// ---------------------------------------------------------------------------
// Lock-holding child

// Suspends until the instance's SIGTERM.  An instance that was killed never
// sends it, so the wait also ends once this process has another parent.
// SIGTERM is blocked from before the fork and SIGALRM from here on; the
// suspension unblocks both in one step, so neither can slip by unnoticed.
void wait_for_term(pid_t instance)
{
    struct sigaction sa {};
    sa.sa_handler = alarm_handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    sigaction(SIGALRM, &sa, nullptr);
    sigset_t alarm_set;
    sigset_t old_mask;
    sigemptyset(&alarm_set);
    sigaddset(&alarm_set, SIGALRM);
    sigprocmask(SIG_BLOCK, &alarm_set, &old_mask);

    sigset_t none;
    sigemptyset(&none);
    while (!s_term_received && getppid() == instance) {
        alarm(1);
        sig_blocking_begin();
        sigsuspend(&none);
        sig_blocking_end();
    }
    alarm(0);
    sigprocmask(SIG_SETMASK, &old_mask, nullptr); // the time guard of the release needs SIGALRM
}

[[noreturn]] void run_lock_child(int own_fd, const char *own_path, int exclusive, int wait,
                                 int timeout, pid_t instance)
{
    msg_finish();
    s_term_received = 0;
    close_file(own_fd);
    int fd = open_file(own_path, O_RDWR, NTW_FILE_MODE, timeout, 0);
    lock_file(fd, exclusive, wait, timeout, 0);
    wait_for_term(instance);
    // The lock is held 3 s more after the instance's signal, and also once
    // the instance is gone (killed): the partner's waiting request must
    // really wait on a held lock, so that it is judged on the lock service,
    // not on how this instance ended.
    wait_sync_processing();
    unlock_file(fd, timeout);
    close_file(fd);
    exit(0);
}

// Polls until the child holds its lock: a probe lock on the own file is
// granted while the child has none, and refused by the conflict once it
// holds it; any other failure ends the wait.  The pause comes after the release:
// a release does not hand the lock to the waiting child, which must still
// be scheduled to take it, and a probe repeated at once would win that race
// again and again.  Bounded by the run's time-out.
int wait_for_child_lock(int own_fd, int timeout)
{
    time_t start = time(nullptr);
    int r;
    while ((r = lock_file(own_fd, kExclusive, kNoWait, timeout, 1)) == 0) {
        unlock_file(own_fd, timeout);
        sig_blocking_begin();
        usleep(20000);
        sig_blocking_end();
        if (is_timeout_occured(start, timeout))
            return -1;
    }
    return r == NTW_LOCK_REFUSED ? 0 : -1;
}

} // namespace

// ---------------------------------------------------------------------------
// Drivers

int try_test_double(const NtwParam *param)
{
    return test_driver_parts(MT_TITLE_DOUBLE, param,
                             {try_test_double_zemsharepath, try_test_double_targetpath});
}

int try_test_double_zemsharepath(const NtwParam *param)
{
    return test_driver_parts(MT_TITLE_SHARE_PATH, param,
                             {try_double_open_zemsharepath, try_double_lock_zemsharepath});
}

// The delete test runs when the lock test did not abort; the lock test, in
// turn, only ran because the open test did not abort.
int try_test_double_targetpath(const NtwParam *param)
{
    return test_driver_parts(
        MT_TITLE_TARGET_PATH, param,
        {try_double_open_targetpath, try_double_lock_targetpath, try_double_delete_targetpath});
}

int try_double_open_zemsharepath(const NtwParam *param)
{
    return test_named_step(MT_TITLE_KIND_OPEN, [&] {
        return try_double_open_test(param->timeout, param->share_path, param->share_path, nullptr,
                                    nullptr);
    });
}

int try_double_open_targetpath(const NtwParam *param)
{
    return test_named_step(MT_TITLE_KIND_OPEN, [&] {
        return try_double_open_test(param->timeout, param->share_path, param->target_path,
                                    param->owner, param->group);
    });
}

int try_double_lock_zemsharepath(const NtwParam *param)
{
    return test_named_step(MT_TITLE_KIND_LOCK, [&] {
        return try_double_lock_test(param->timeout, param->share_path, param->share_path, 1);
    });
}

int try_double_lock_targetpath(const NtwParam *param)
{
    return test_named_step(MT_TITLE_KIND_LOCK, [&] {
        return try_double_lock_test(param->timeout, param->share_path, param->target_path, 0);
    });
}

// ---------------------------------------------------------------------------
// Tests

// Each instance creates its own work file and opens the partner's; with an
// owner (target path) it also changes the owner of the partner's file; with
// a partner that shows the capability, both run the data steps.
int try_double_open_test(int timeout, const char *sync_dir, const char *dir, const char *owner,
                         const char *group)
{
    utlntw_sync_info sync{};
    WorkPair w;
    int result = NTW_ABORT;
    if (start_pairing(&sync, sync_dir, timeout) == 0 && form_work_names(&sync, dir, &w) == 0)
        result = settle(&sync, open_test_steps(&sync, &w, timeout, owner, group));
    result = close_work_files(&w, result);
    remove_work_files(w);
    return finish_test_pairing(&sync, result);
}

// share_flag 1: the shared-path set (35, 36, 29 to 34, own lock shared);
// 0: the target-path set (36, 32, 34, own lock exclusive).
int try_double_lock_test(int timeout, const char *sync_dir, const char *dir, int share_flag)
{
    utlntw_sync_info sync{};
    WorkPair w;
    int result = NTW_ABORT;
    if (start_pairing(&sync, sync_dir, timeout) == 0 && form_work_names(&sync, dir, &w) == 0)
        result = lock_test_steps(&sync, &w, timeout, share_flag != 0);
    result = finish_test_pairing(&sync, close_work_files(&w, result));
    remove_work_files(w);
    return result;
}

// Each instance creates its own file in the target path and deletes the
// partner's; it never removes its own (the partner does, or the clean-up at
// exit).
int try_double_delete_targetpath(const NtwParam *param)
{
    const time_t start = time(nullptr); // the wait for the partner's file counts from here
    return test_named_step(MT_TITLE_KIND_DELETE, [&] {
        utlntw_sync_info sync{};
        WorkPair w;
        int result = NTW_ABORT;
        if (start_pairing(&sync, param->share_path, param->timeout) == 0 &&
            form_work_names(&sync, param->target_path, &w) == 0)
            result = settle(&sync, delete_test_steps(&sync, w, param->timeout, start));
        return finish_test_pairing(&sync, result);
    });
}

int test_no_35(utlntw_sync_info *sync, int own_fd, int other_fd, int timeout)
{
    return test_named_step(MT_STEP_SHRELEASED_EXCL_NOWAIT, [&] {
        return released_lock_steps(kShared, sync, own_fd, other_fd, timeout);
    });
}

int test_no_36(utlntw_sync_info *sync, int own_fd, int other_fd, int timeout)
{
    return test_named_step(MT_STEP_EXRELEASED_EXCL_NOWAIT, [&] {
        return released_lock_steps(kExclusive, sync, own_fd, other_fd, timeout);
    });
}

int test_no_29(utlntw_sync_info *sync, int other_fd, int timeout)
{
    return test_named_step(MT_STEP_SHLOCKED_EXCL_NOWAIT, [&] {
        return locked_region_steps(MT_PEER_SHLOCKED_OK, MT_PEER_NOT_SHLOCKED, sync, other_fd,
                                   timeout);
    });
}

// Shared locks are compatible: the partner's shared lock must not keep a
// waiting shared request waiting.
int test_no_30(utlntw_sync_info *sync, int other_fd, int timeout)
{
    return test_named_step(MT_STEP_SHLOCKED_SHARED_WAIT, [&] {
        if (!barrier(sync))
            return NTW_ABORT;
        if (lock_file(other_fd, kShared, kWait, timeout, 0) != 0)
            return test_failure_value();
        unlock_file(other_fd, timeout);
        return NTW_OK;
    });
}

int test_no_32(utlntw_sync_info *sync, int other_fd, int timeout)
{
    return test_named_step(MT_STEP_EXLOCKED_EXCL_NOWAIT, [&] {
        return locked_region_steps(MT_PEER_EXLOCKED_OK, MT_PEER_NOT_EXLOCKED, sync, other_fd,
                                   timeout);
    });
}

int test_no_31(utlntw_sync_info *sync, const char *own_path, int own_fd, int other_fd, int timeout)
{
    return test_named_step(MT_STEP_SHLOCKED_EXCL_WAIT, [&] {
        return handover_steps(kTest31, sync, own_path, own_fd, other_fd, timeout);
    });
}

int test_no_33(utlntw_sync_info *sync, const char *own_path, int own_fd, int other_fd, int timeout)
{
    return test_named_step(MT_STEP_EXLOCKED_SHARED_WAIT, [&] {
        return handover_steps(kTest33, sync, own_path, own_fd, other_fd, timeout);
    });
}

int test_no_34(utlntw_sync_info *sync, const char *own_path, int own_fd, int other_fd, int timeout)
{
    return test_named_step(MT_STEP_EXLOCKED_EXCL_WAIT, [&] {
        return handover_steps(kTest34, sync, own_path, own_fd, other_fd, timeout);
    });
}

// Lock hand-over (tests 31, 33, 34), one instance and its child on the left,
// the partner on the right, which does the same at the same time:
//
//   instance                   child                      partner
//   --------                   -----                      -------
//   barrier <============================================> barrier
//   block SIGTERM, unlock own
//   "creating a process", fork ->
//                              reopen own file,
//   probe own: granted         waiting lock ...
//   release probe -----------> ... lock granted
//   probe own: refused, so the child holds it
//   barrier <============================================> barrier
//   probe partner's file: refused (its child holds it)    probes ours likewise
//   barrier <============================================> barrier
//   SIGTERM -----------------> sigsuspend returns
//   waiting lock on partner's  pause 3 s                  waiting lock on ours ...
//                              release, exit -----------> ... granted
//   ... granted when the partner's child releases
//   reap the child
//   barrier <============================================> barrier
//
// The child inherits SIGTERM blocked and receive() installed, so a SIGTERM
// sent at any moment after the fork stays pending until sigsuspend.
int double_child(int own_fd, const char *own_path, int exclusive, int wait, int timeout)
{
    struct sigaction term {};
    struct sigaction old_term {};
    term.sa_handler = receive;
    sigemptyset(&term.sa_mask);
    term.sa_flags = 0;
    sigaction(SIGTERM, &term, &old_term);
    sigset_t term_set;
    sigset_t old_mask;
    sigemptyset(&term_set);
    sigaddset(&term_set, SIGTERM);
    sigprocmask(SIG_BLOCK, &term_set, &old_mask);

    unlock_file(own_fd, timeout);
    const pid_t instance = getpid();
    msg_statusmsg(0, "%s", msg_text(MT_FORK));
    msg_flush(); // nothing of the instance's may be pending in the child's copy
    pid_t child = fork();
    int fork_errno = errno;
    if (child == 0)
        run_lock_child(own_fd, own_path, exclusive, wait, timeout, instance);
    if (child > 0)
        sig_add_child(child);
    // The old disposition first: a SIGTERM meant for the instance itself
    // then takes its usual course when it is unblocked.
    sigaction(SIGTERM, &old_term, nullptr);
    sigprocmask(SIG_SETMASK, &old_mask, nullptr);
    if (child < 0) {
        msg_errmsg(fork_errno, "%s", msg_text(MT_FORK_FAILED));
        return -1;
    }

    if (wait_for_child_lock(own_fd, timeout) != 0) {
        end_child(child);
        return -1;
    }
    msg_statusmsg(0, msg_text(MT_CHILD_LOCKED_OK),
                  msg_text(exclusive ? MT_LOCKWORD_EXCLUSIVE : MT_LOCKWORD_SHARED));
    return child;
}

void receive(int)
{
    s_term_received = 1;
}
