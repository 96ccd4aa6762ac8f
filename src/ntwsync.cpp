// ntwsync: two-party synchronisation.
//
// Two parties (a checker and the child it forked, or two instances on two
// hosts sharing a directory over a network file system) meet, pass barriers
// in lock step and part, using nothing but one-byte fcntl record locks on an
// empty synchronisation file (the sync file) and the existence of one
// marker file (the end-wait file).  No signals, pipes or shared memory pass
// between the parties, so the protocol works wherever record locks do.
// Every lock request is non-waiting; a party waits by polling every 20 ms,
// and every wait is bounded by the pairing's time-out.
//
// Lock bytes of the sync file (all locks lie beyond its end; it stays empty):
//
//   byte  lock       held                 meaning
//   0     exclusive  a few requests long  guard: inspect or change the others
//   1     exclusive  whole pairing        liveness byte of the first party
//   2     exclusive  whole pairing        liveness byte of the second party
//   3     shared     during a handshake   busy: a finisher waits until free
//   4, 5  exclusive  barrier to barrier   first barrier pair
//   6, 7  exclusive  barrier to barrier   second barrier pair (alternates)
//   8, 9  exclusive  from the role on     capabilities of the first and the
//                                          second party (ntwpeer)
//   10,11 exclusive  one barrier long     the first / second party left out
//                                          a barrier (below)
//   12,13 exclusive  abort to file removal the first / second party's test
//                                          aborted (below)
//
// A handshake on byte n: under the guard, whoever takes byte n first keeps
// it and polls (guard released between polls) until byte n+1 is held by the
// other party; the later party finds n taken and takes n+1.  The first
// handshake runs on byte 1, so its bytes become the liveness bytes, and
// decides the roles (first: liveness 1, work file 0; second: 2 and 1).
// Record locks vanish when their holder ends, so a free liveness byte means
// the partner is gone.
//
// One pairing, A arriving first ("G" = guard taken, "b3" = busy byte):
//
//   A                                     B
//   init: open/create sync file
//   G, b3, take 1, release G  ------.
//   poll: G, 2 free? release G      |     init: open sync file
//     ...                           `---> G, b3, 1 taken -> take 2 (role 2)
//   G, 2 held -> role 1, release  <-----  release b3, G
//   barrier 1: take 4, poll for 5         barrier 1: 4 taken -> take 5
//     (probing B's byte 2 each poll)
//   5 held -> pass                        pass
//   barrier 2: release 4, take 6  ----->  barrier 2: poll until 4 is free,
//   poll for 7                            release 4 and 5; 6 taken -> take 7
//   7 held -> pass                        pass
//   finish: G, b3 free, B's byte 2        finish: G (after A let go), b3 free,
//     held -> A finishes first:             A's byte 1 free -> B is last:
//     create end-wait file, release         release all, close, remove the
//     all, close, poll until the            sync file, wait until the end-wait
//     end-wait file is gone  <------------  file is visible, remove it
//
// Every wait above ends at the latest `timeout` seconds after the start of
// the call that waits: the time-out line is printed and the call fails.
// A party whose start failed before it got a role removes the files only
// when no other process holds byte 1 or 2, so a third party that came while
// two were paired leaves their pairing alone.
//
// A test that ends without its last barrier (an NG in some mutual tests;
// every instance does so, and the partner relies on the count).  X leaves
// barrier k out, Y has done its steps before k; "==" is a handshake:
//
//   X                                     Y
//   barrier k-1 <======================>  barrier k-1
//   NG: leave out barrier k:              steps before barrier k
//     take the mark (byte 9 + liveness)
//     let go of k-1's byte, wait until    barrier k: let go of k-1's byte,
//     Y lets go of its one  <-----------    wait until X lets go of its one
//   next test: lock own file (so the      X's mark held, or X's file locked:
//     partner's steps of k are done)        X left k out; so does Y ("the
//                                           partner ended the test early")
//   barrier k+1: drop the mark  <======>  barrier k+1: in step
//
// A partner that marks nothing (it follows the protocol only) takes the
// lock of its next test before it lets go of its byte, so either sign is
// there when Y looks.  (A partner that does not look pairs its barrier k
// with X's k+1 and stays one barrier behind to the end of the pairing.)
//
// A partner that finishes the pairing while this party still has a barrier
// to pass (its test ended early) is found finished, not ended:
//
//   X (finishes first)                    Y (a barrier to pass)
//   finish: guard, byte 3 free            barrier: let go of its byte; holding
//                                           the even one, wait outside any
//                                           handshake (byte 3 free) until X
//                                           lets go of the odd one
//   end-wait file, drop every byte  ---->   handshake: X's liveness byte free
//   wait until the end-wait file is         and the end-wait file there: X
//   gone                                    has finished the pairing; the test
//                                           ends, Y finishes last:
//                                   <----   removes the sync and end-wait files
//
// A partner whose test aborted stops the mutual tests, so Y must not go on
// to the next test (it would wait there in vain).  X shows its abort:
//
//   X (its test aborts)                   Y (a barrier to pass)
//   take the abort mark (byte 11 +        waiting for X inside a handshake:
//     liveness), drop a left-out mark       X's abort mark held -> the
//   finish as above, but keep the sync      barrier fails ("同期処理が
//     file open (so the mark) until the     失敗しました。")
//     end-wait file is gone       ---->   or, X found finished: its abort
//                                           mark held -> X has ended its
//                                           test ("相手プロセスは終了して
//                                           います。"), the barrier fails
//                                   <----   Y aborts, finishes last
//
// The mark outlives X's liveness byte: Y looks for it only after that byte
// is free, and removes the end-wait file only after it has looked.  A
// partner that shows no mark (it follows the protocol only) is taken as
// one that ended its test early.
//
// Every wait is bounded by the pairing's time-out.
//
// What a party learns about its partner beyond these locks (the presence
// files that explain a failed pairing, the capability bytes) is ntwpeer's.
#include "ntw.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <initializer_list>
#include <sys/stat.h>
#include <unistd.h>

static_assert(sizeof(off_t) == 8, "lock offsets must be 64-bit");

namespace {

constexpr int SYNC_GUARD_BYTE = 0;
constexpr int SYNC_FIRST_ALIVE_BYTE = 1;
constexpr int SYNC_SECOND_ALIVE_BYTE = 2;
constexpr int SYNC_BUSY_BYTE = 3;
constexpr int SYNC_PAIR_ONE = 4; // bytes 4 and 5
constexpr int SYNC_PAIR_TWO = 6; // bytes 6 and 7
// Byte 9 + liveness byte (10 or 11): that party left out a barrier.
constexpr int SYNC_LEFT_OUT_BASE = 9;
// Byte 11 + liveness byte (12 or 13): that party's test aborted.
constexpr int SYNC_ABORTED_BASE = 11;
constexpr useconds_t SYNC_POLL_US = 20000;
constexpr useconds_t FINISH_SETTLE_US = 3 * SYNC_POLL_US;
// A partner that is already at the barrier lets go of its byte within one
// of its own polls, so a release is first looked for at a finer pace; one
// still busy with its steps is then polled at the usual pace.
constexpr useconds_t RELEASE_QUICK_POLL_US = 2000;
constexpr int RELEASE_QUICK_POLLS = 25;
constexpr size_t SYNC_HOSTNAME_LEN = 68;
constexpr unsigned STOP_DIR_LIMIT = 259;

struct SyncRole {
    int32_t my_alive_no;
    int32_t other_alive_no;
    int32_t my_file_no;
    int32_t other_file_no;
};

// Row 0: the party that took the handshake byte itself; row 1: the party
// that found it taken by the partner.
constexpr SyncRole s_roles[2] = {{1, 2, 0, 1}, {2, 1, 1, 0}};

enum SyncPartner { PARTNER_GONE, PARTNER_ALIVE, PARTNER_OF_OTHERS };

void report_progress(ntw_text_id id)
{
    msg_statusmsg(0, "%s", msg_text(id));
}

void report_error(ntw_text_id id)
{
    msg_errmsg(0, "%s", msg_text(id));
}

// One non-waiting lock request as s_lock makes it, keeping the error
// number of a failed request for a second report line.
int lock_byte(int fd, int type, int offset, int *err)
{
    if (file_control(fd, type, offset) == 0)
        return 0;
    *err = errno;
    if (*err == EACCES || *err == EAGAIN)
        return 1;
    msg_errmsg(*err, "%s", msg_text(MT_SYNC_LOCK_FAILED));
    return -1;
}

// ---------------------------------------------------------------------------
// Handshake

// One pause of a polling loop; -1 when a signal cut it short.  A waiting
// party keeps its presence file fresh and, until it has met its partner,
// looks for the partner's.
int sync_pause_for(const utlntw_sync_info *info, useconds_t us)
{
    peer_keep_shown(info->my_alive_no == 0);
    sig_blocking_begin();
    int rc = usleep(us);
    sig_blocking_end();
    return rc;
}

int sync_pause(const utlntw_sync_info *info)
{
    return sync_pause_for(info, SYNC_POLL_US);
}

void assign_role(utlntw_sync_info *info, int row)
{
    info->my_alive_no = s_roles[row].my_alive_no;
    info->other_alive_no = s_roles[row].other_alive_no;
    info->my_file_no = s_roles[row].my_file_no;
    info->other_file_no = s_roles[row].other_file_no;
}

// Whether the partner holds its mark on byte base + its liveness byte.
bool partner_marked(utlntw_sync_info *info, int base)
{
    int err = 0;
    int byte = base + info->other_alive_no;
    int r = lock_byte(info->fd, F_WRLCK, byte, &err);
    if (r == 0)
        s_unlock(info->fd, byte);
    return r == 1;
}

// Under the guard: the partner has let go of its liveness byte and made the
// end-wait file, so it has finished the pairing as its first finisher
// (alive, waiting for this party to remove the files), not ended.  One that
// shows its abort mark (held until this party removes the files) stopped
// its test: this barrier fails as for a partner that has ended.
bool partner_finished_pairing(utlntw_sync_info *info)
{
    int err = 0;
    if (lock_byte(info->fd, F_WRLCK, info->other_alive_no, &err) != 0)
        return false;
    s_unlock(info->fd, info->other_alive_no);
    struct stat st;
    sig_blocking_begin();
    int r = lstat(info->endwait_filename, &st);
    sig_blocking_end();
    return r == 0 && S_ISREG(st.st_mode) && !partner_marked(info, SYNC_ABORTED_BASE);
}

// The first party of a handshake waits, guard released between polls,
// until the partner holds the byte after its own.
int wait_for_partner_byte(utlntw_sync_info *info, time_t start, bool *guard_held)
{
    for (;;) {
        if (s_unlock_sync_file(info) != 0)
            return -1;
        *guard_held = false;
        if (is_timeout_occured(start, info->timeout))
            return -1;
        if (sync_pause(info) == -1)
            return -1;
        if (lock_sync_file(info, start) != 0)
            return -1;
        *guard_held = true;
        int r = s_lock(info->fd, F_WRLCK, info->lock_no + 1);
        if (r == -1)
            return -1;
        if (r == 1)
            return 0;
        if (s_unlock(info->fd, info->lock_no + 1) != 0)
            return -1;
        if (info->my_alive_no != 0 && partner_finished_pairing(info)) {
            info->partner_finished = 1;
            return -1;
        }
        if (info->my_alive_no != 0 &&
            (is_alive_other_process(info) == 0 || partner_marked(info, SYNC_ABORTED_BASE)))
            return -1;
    }
}

// The body of a handshake, between taking the guard and releasing the busy
// byte and the guard (which the caller does in every case).
int handshake(utlntw_sync_info *info, time_t start, bool *guard_held)
{
    if (lock_sync_file(info, start) != 0)
        return -1;
    *guard_held = true;

    report_progress(MT_SYNC_BUSY_SET);
    if (s_lock(info->fd, F_RDLCK, SYNC_BUSY_BYTE) == -1)
        return -1;

    report_progress(MT_SYNC_INFO_SET);
    int taken_by_partner = s_lock(info->fd, F_WRLCK, info->lock_no);
    if (taken_by_partner == 0) {
        report_progress(MT_SYNC_WAIT_PARTNER);
        if (wait_for_partner_byte(info, start, guard_held) != 0)
            return -1;
    } else {
        report_progress(MT_SYNC_PARTNER_FIRST);
        if (taken_by_partner == -1)
            return -1;
        info->lock_no += 1;
        if (s_lock(info->fd, F_WRLCK, info->lock_no) != 0)
            return -1;
    }
    if (info->my_alive_no == 0) {
        assign_role(info, taken_by_partner);
        peer_show_data_capability(info);
        peer_forget_sightings(); // met: what follows is no longer the start
    }
    return 0;
}

// Forms the sync-file and end-wait-file names of a pairing.
int make_sync_names(utlntw_sync_info *info, const char *dir, int kind, int number)
{
    int n1, n2;
    if (kind == NTW_MODE_SINGLE) {
        char host[SYNC_HOSTNAME_LEN];
        if (gethostname(host, sizeof host) != 0) {
            msg_errmsg(errno, "%s", msg_text(MT_HOSTNAME_FAILED));
            return -1;
        }
        host[sizeof host - 1] = '\0';
        n1 = snprintf(info->sync_filename, sizeof info->sync_filename, "%s/.#ZEMLOCK.%s.%d.master",
                      dir, host, number);
        n2 = snprintf(info->endwait_filename, sizeof info->endwait_filename, "%s/%s.%d.endwaitfile",
                      dir, host, number);
    } else {
        n1 = snprintf(info->sync_filename, sizeof info->sync_filename, "%s/.#ZEMLOCK.master", dir);
        n2 = snprintf(info->endwait_filename, sizeof info->endwait_filename, "%s/endwaitfile", dir);
    }
    // A cut name could lose the process id and so meet a stranger's pairing.
    if (n1 < 0 || n2 < 0 || n1 >= static_cast<int>(sizeof info->sync_filename) ||
        n2 >= static_cast<int>(sizeof info->endwait_filename)) {
        msg_errmsg(ENAMETOOLONG, "%s", msg_text(MT_OPEN_FAILED));
        return -1;
    }
    return 0;
}

// Polls until this party can lock the byte, i.e. the partner has let go of
// it; the probe's own lock is released again.
int wait_until_released(utlntw_sync_info *info, int byte, time_t start)
{
    for (int polls = 0;; ++polls) {
        int r = s_lock(info->fd, F_WRLCK, byte);
        if (r == 0)
            return s_unlock(info->fd, byte) == 0 ? 0 : -1;
        if (r == -1 || is_timeout_occured(start, info->timeout))
            return -1;
        sync_pause_for(info, polls < RELEASE_QUICK_POLLS ? RELEASE_QUICK_POLL_US : SYNC_POLL_US);
    }
}

// Barrier step before the handshake: let go of the previous barrier's byte
// once it is safe.  The holder of the odd byte keeps it until the partner
// has released the even byte, i.e. has seen the odd byte held and moved on.
// The holder of the even byte then waits, outside any handshake, until the
// partner has let go of the odd byte, i.e. has come to this barrier too or
// has finished the pairing: a partner that finishes waits until nobody is
// inside a handshake, so this party must not wait inside one for a partner
// that will not come.
int leave_previous_barrier(utlntw_sync_info *info, time_t start)
{
    switch (info->lock_no) {
    case SYNC_PAIR_ONE:
    case SYNC_PAIR_TWO:
        if (s_unlock(info->fd, info->lock_no) != 0)
            return -1;
        return wait_until_released(info, info->lock_no + 1, start);
    case SYNC_PAIR_ONE + 1:
    case SYNC_PAIR_TWO + 1:
        if (wait_until_released(info, info->lock_no - 1, start) != 0)
            return -1;
        return s_unlock(info->fd, info->lock_no) == 0 ? 0 : -1;
    default:
        return 0; // after the start: the byte is the liveness byte
    }
}

// Arrives at a barrier: lets go of the previous one, unless a barrier left
// out did so already (its mark, if any, has served: the partner has come to
// the barrier left out, or beyond it).
int arrive(utlntw_sync_info *info, time_t start)
{
    if (info->left_out < 0)
        return -1;
    if (info->left_out == 0)
        return leave_previous_barrier(info, start);
    info->left_out = 0;
    if (info->marked) {
        info->marked = 0;
        return s_unlock(info->fd, SYNC_LEFT_OUT_BASE + info->my_alive_no) == 0 ? 0 : -1;
    }
    return 0;
}

// The handshake of a barrier, once arrived.
int meet(utlntw_sync_info *info)
{
    bool on_pair_one = info->lock_no == SYNC_PAIR_ONE || info->lock_no == SYNC_PAIR_ONE + 1;
    info->lock_no = on_pair_one ? SYNC_PAIR_TWO : SYNC_PAIR_ONE;
    if (syncronize(info) == 0) {
        report_progress(MT_SYNC_DONE);
        return 0;
    }
    if (info->partner_finished) {
        report_progress(MT_PARTNER_FINISHED_EARLY);
        return 1;
    }
    report_error(MT_SYNC_FAILED);
    return -1;
}

// Takes the guard at a moment when nobody is inside a handshake.
int take_guard_when_idle(utlntw_sync_info *info, time_t start)
{
    for (;;) {
        if (lock_sync_file(info, start) != 0)
            return -1;
        int r = s_lock(info->fd, F_WRLCK, SYNC_BUSY_BYTE);
        if (r == 0)
            return s_unlock(info->fd, SYNC_BUSY_BYTE) == 0 ? 0 : -1;
        if (r == -1)
            return -1;
        if (s_unlock_sync_file(info) != 0)
            return -1;
        if (is_timeout_occured(start, info->timeout))
            return -1;
        sync_pause(info);
    }
}

// A party whose first handshake never completed has no partner byte to
// probe.  If another process holds byte 1 or 2, a pairing lives on this file
// without this party (it came third, or its partner came too late): that
// pairing's files are not this party's to remove, and it need not wait for
// a quiet moment of that pairing either.  Called with the guard held.
SyncPartner probe_pairing_without_role(utlntw_sync_info *info)
{
    for (int byte : {SYNC_FIRST_ALIVE_BYTE, SYNC_SECOND_ALIVE_BYTE}) {
        int err = 0;
        int r = lock_byte(info->fd, F_WRLCK, byte, &err);
        if (r == -1) {
            msg_errmsg(err, "%s", msg_text(MT_PARTNER_UNKNOWN));
            return PARTNER_OF_OTHERS;
        }
        if (r == 1)
            return PARTNER_OF_OTHERS;
        s_unlock(info->fd, byte);
    }
    peer_report_absent();
    return PARTNER_GONE;
}

// Takes the guard and finds out whether the partner is still there.
int take_guard_and_probe_partner(utlntw_sync_info *info, time_t start, SyncPartner *partner)
{
    if (info->my_alive_no == 0) {
        if (lock_sync_file(info, start) != 0)
            return -1;
        *partner = probe_pairing_without_role(info);
        return 0;
    }
    if (take_guard_when_idle(info, start) != 0)
        return -1;
    *partner = is_alive_other_process(info) ? PARTNER_ALIVE : PARTNER_GONE;
    return 0;
}

// Closed: a second finish must not act on a descriptor reused since.
void close_sync_file(utlntw_sync_info *info)
{
    if (info->fd == -1)
        return;
    close_file(info->fd);
    info->fd = -1;
}

// The first finisher marks its leaving with the end-wait file (while it
// still holds the guard), drops its locks and waits until the last
// finisher has removed the sync file and then the end-wait file.  An
// aborted party closes the sync file (which drops its abort mark) only
// then: the last finisher looks for the mark after the liveness byte is free.
int finish_first(utlntw_sync_info *info, time_t start)
{
    int fd = open_file(info->endwait_filename, O_RDWR | O_CREAT, NTW_FILE_MODE, info->timeout, 0);
    if (fd < 0)
        return -1;
    close_file(fd);
    cleanup(info, 0, start, info->timeout);
    // The last finisher needs a couple of its polls to notice that this
    // party has let go and to remove the files; a look before then would
    // only find the end-wait file and cost a whole interval of the wait.
    sig_blocking_begin();
    usleep(FINISH_SETTLE_US);
    sig_blocking_end();
    int gone = wait_file_exists(info->endwait_filename, start, info->timeout);
    close_sync_file(info);
    return gone == 0 ? 0 : -1;
}

int finish_pairing(utlntw_sync_info *info, time_t start)
{
    if (info->fd == 0 || info->fd == -1)
        return -1;
    SyncPartner partner;
    if (take_guard_and_probe_partner(info, start, &partner) != 0)
        return -1;
    switch (partner) {
    case PARTNER_ALIVE:
        return finish_first(info, start);
    case PARTNER_GONE:
        return cleanup(info, 1, start, info->timeout);
    case PARTNER_OF_OTHERS:
        return cleanup(info, 0, start, info->timeout);
    }
    return -1;
}

// The stop file lies in the target file's directory.
int make_stop_name(const char *target_file, char *out, size_t size)
{
    char dir[STOP_DIR_LIMIT + 1];
    int n;
    if (get_dirname(target_file, dir, STOP_DIR_LIMIT) != 0)
        n = snprintf(out, size, "./ZEMSTOP.stop");
    else
        n = snprintf(out, size, "%s/ZEMSTOP.stop", dir);
    return n < 0 || static_cast<size_t>(n) >= size ? -1 : 0;
}

int wait_for_stop_file_deletion(const char *target_file, int timeout, time_t start)
{
    char stop[STOP_DIR_LIMIT + 32];
    if (make_stop_name(target_file, stop, sizeof stop) != 0)
        return -1;
    // Created exclusively: a stop file that is already there is not this
    // run's (the run removes its own at each step), and one planted by
    // someone else must not stand for the operator's answer.
    int fd = create_work_file(stop, timeout, NTW_WORK_NEW_ONLY);
    if (fd < 0)
        return -1;
    add_deletefilename(stop);
    close_file(fd);
    report_progress(MT_STOPFILE_WAIT);
    if (wait_file_exists(stop, start, timeout) != 0) {
        delete_file(stop);
        return -1;
    }
    return 0;
}

} // namespace

// ---------------------------------------------------------------------------
// Lock primitives

int file_control(int fd, int type, int offset)
{
    struct flock lock;
    std::memset(&lock, 0, sizeof lock);
    lock.l_type = static_cast<short>(type);
    lock.l_whence = SEEK_SET;
    lock.l_start = static_cast<off_t>(offset);
    lock.l_len = 1;
    return fcntl(fd, F_SETLK, &lock);
}

int s_lock(int fd, int type, int offset)
{
    int err = 0;
    return lock_byte(fd, type, offset, &err);
}

int s_unlock(int fd, int offset)
{
    if (file_control(fd, F_UNLCK, offset) == 0)
        return 0;
    msg_errmsg(errno, "%s", msg_text(MT_UNLOCK_FAILED));
    return -1;
}

int lock_sync_file(utlntw_sync_info *info, time_t start)
{
    int r = s_lock(info->fd, F_WRLCK, SYNC_GUARD_BYTE);
    while (r == 1) {
        if (is_timeout_occured(start, info->timeout))
            return 1;
        sync_pause(info);
        r = s_lock(info->fd, F_WRLCK, SYNC_GUARD_BYTE);
    }
    return r;
}

int s_unlock_sync_file(utlntw_sync_info *info)
{
    return s_unlock(info->fd, SYNC_GUARD_BYTE) == 0 ? 0 : -1;
}

int is_alive_other_process(utlntw_sync_info *info)
{
    int err = 0;
    int r = lock_byte(info->fd, F_WRLCK, info->other_alive_no, &err);
    if (r == 1)
        return 1;
    if (r == 0) {
        peer_forget_sightings(); // judge by what the partner shows from now on
        peer_report_absent();
        s_unlock(info->fd, info->other_alive_no);
        return 0;
    }
    msg_errmsg(err, "%s", msg_text(MT_PARTNER_UNKNOWN));
    return 0;
}

int syncronize(utlntw_sync_info *info)
{
    time_t start = time(nullptr);
    report_progress(MT_SYNC_PRE);
    bool guard_held = false;
    int result = handshake(info, start, &guard_held);
    if (s_unlock(info->fd, SYNC_BUSY_BYTE) != 0)
        result = -1;
    if (guard_held && s_unlock_sync_file(info) != 0)
        result = -1;
    return result;
}

// ---------------------------------------------------------------------------
// Pairing lifecycle

int utlntw_sync_register_names(const char *dir, int kind, int number)
{
    utlntw_sync_info names{};
    if (make_sync_names(&names, dir, kind, number) != 0)
        return -1;
    add_deletefilename(names.sync_filename);
    add_deletefilename(names.endwait_filename);
    return 0;
}

int utlntw_sync_register_presence(const char *dir, int kind, int number, pid_t party)
{
    utlntw_sync_info names{};
    char path[PEER_PRESENCE_NAME_LEN];
    if (make_sync_names(&names, dir, kind, number) != 0 ||
        peer_presence_name(names.sync_filename, party, path, sizeof path) != 0)
        return -1;
    add_deletefilename(path);
    return 0;
}

int utlntw_sync_init(utlntw_sync_info *info, const char *dir, int timeout, int kind, int number)
{
    std::memset(info, 0, sizeof *info);
    report_progress(MT_SYNC_INIT_START);
    info->timeout = timeout;
    info->save_umask = static_cast<int32_t>(umask(0));
    if (make_sync_names(info, dir, kind, number) != 0)
        return -1;
    msg_statusmsg(0, msg_text(MT_SYNC_NAME_MADE), info->sync_filename);
    // The files are removed at exit only by a party that made them or took
    // part in the pairing: one that meets a pairing of two others (it came
    // third) leaves their files alone.
    int made = create_private_file(info->sync_filename, info->timeout);
    bool registered = made >= 0;
    if (registered) {
        add_deletefilename(info->sync_filename);
        close(made);
    }
    info->fd = open_file(info->sync_filename, O_RDWR | O_CREAT, NTW_FILE_MODE, info->timeout, 0);
    if (info->fd < 0) {
        info->fd = -1;
        return -1;
    }
    peer_start(info);
    info->lock_no = SYNC_FIRST_ALIVE_BYTE;
    int result = syncronize(info);
    if (result != 0 && info->my_alive_no == 0 && get_is_timeout())
        peer_report_unmet();
    if (info->my_alive_no != 0) {
        if (!registered)
            add_deletefilename(info->sync_filename);
        add_deletefilename(info->endwait_filename);
    }
    return result;
}

int utlntw_sync_wait(utlntw_sync_info *info)
{
    time_t start = time(nullptr);
    report_progress(MT_SYNC_START);
    if (arrive(info, start) == 0)
        return meet(info);
    report_error(MT_SYNC_FAILED);
    return -1;
}

int utlntw_sync_wait_last(utlntw_sync_info *info, int (*went_on)(const void *), const void *arg)
{
    time_t start = time(nullptr);
    report_progress(MT_SYNC_START);
    if (arrive(info, start) != 0) {
        report_error(MT_SYNC_FAILED);
        return -1;
    }
    // The partner has let go of its previous byte: it is at this barrier,
    // or at its next one with the first step of its next test done.
    if (partner_marked(info, SYNC_LEFT_OUT_BASE) || went_on(arg)) {
        info->left_out = 1;
        report_progress(MT_PARTNER_LEFT_TEST);
        return 2;
    }
    return meet(info);
}

int utlntw_sync_leave_out(utlntw_sync_info *info)
{
    if (s_lock(info->fd, F_WRLCK, SYNC_LEFT_OUT_BASE + info->my_alive_no) == 0)
        info->marked = 1;
    if (leave_previous_barrier(info, time(nullptr)) != 0) {
        info->left_out = -1; // the pairing is broken: the next barrier fails
        report_error(MT_SYNC_FAILED);
        return -1;
    }
    info->left_out = 1;
    return 0;
}

int utlntw_sync_abort(utlntw_sync_info *info)
{
    if (info->my_alive_no == 0 || info->fd == 0 || info->fd == -1)
        return -1;
    if (info->marked && s_unlock(info->fd, SYNC_LEFT_OUT_BASE + info->my_alive_no) == 0)
        info->marked = 0; // superseded: the partner is to stop, not to go on
    if (s_lock(info->fd, F_WRLCK, SYNC_ABORTED_BASE + info->my_alive_no) != 0)
        return -1;
    info->aborted = 1;
    return 0;
}

int utlntw_sync_finish(utlntw_sync_info *info)
{
    time_t start = time(nullptr);
    umask(static_cast<mode_t>(info->save_umask));
    report_progress(MT_SYNC_FINISH_START);
    // Gone from the files before any lock goes: a partner that finds this
    // party's locks released must not see it as running.
    peer_end_own();
    int result = finish_pairing(info, start);
    peer_leave();
    if (result != 0) {
        report_error(MT_SYNC_FINISH_FAILED);
        return -1;
    }
    report_progress(MT_SYNC_FINISH_DONE);
    return 0;
}

// The partner has been ended by this party (a forked partner stopped after
// its test was cut short): it never finishes, so no end-wait file will come.
// Closing the sync file drops every byte held; both files go at once.
int utlntw_sync_finish_alone(utlntw_sync_info *info)
{
    umask(static_cast<mode_t>(info->save_umask));
    report_progress(MT_SYNC_FINISH_START);
    if (info->fd == 0 || info->fd == -1) {
        report_error(MT_SYNC_FINISH_FAILED);
        return -1;
    }
    peer_end_own();
    close_file(info->fd);
    info->fd = -1;
    unlink(info->sync_filename);
    unlink(info->endwait_filename);
    peer_remove_ended_partner();
    msg_statusmsg(0, msg_text(MT_SYNC_REMOVED), msg_text(MT_SYNC_BY_SELF), info->sync_filename);
    report_progress(MT_SYNC_FINISH_DONE);
    return 0;
}

int cleanup(utlntw_sync_info *info, int delete_flag, time_t start, int timeout)
{
    if (info->lock_no != 0)
        s_unlock(info->fd, info->lock_no);
    if (info->my_alive_no != 0)
        s_unlock(info->fd, info->my_alive_no);
    s_unlock_sync_file(info);
    if (delete_flag || !info->aborted)
        close_sync_file(info);
    if (delete_flag) {
        unlink(info->sync_filename);
        peer_remove_stale();
        // The first finisher created the end-wait file before it let go of
        // its locks; on a network file system it may become visible late.
        if (!get_is_timeout() && wait_file_no_exists(info->endwait_filename, start, timeout) != 0)
            return -1;
        unlink(info->endwait_filename);
    }
    msg_statusmsg(0, msg_text(MT_SYNC_REMOVED),
                  msg_text(delete_flag ? MT_SYNC_BY_SELF : MT_SYNC_BY_PARTNER),
                  info->sync_filename);
    return 0;
}

// ---------------------------------------------------------------------------
// Stop-file pause of mode userapl

int usrapl_sync_wait(const char *target_file, int timeout)
{
    time_t start = time(nullptr);
    report_progress(MT_SYNC_START);
    if (wait_for_stop_file_deletion(target_file, timeout, start) != 0) {
        report_error(MT_SYNC_FAILED);
        return -1;
    }
    report_progress(MT_SYNC_DONE);
    return 0;
}
