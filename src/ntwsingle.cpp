// Single-environment check: the test tree of mode single (also the first
// half of mode double).  Every test runs in the checker's own process,
// except the two-process byte-range lock tests, whose second party is a
// forked child that holds the locks while the parent probes them.
//
// Results: 0 OK, positive NG (the file system gave a wrong answer, the
// chain goes on), negative abort (time-out or broken synchronisation: the
// chain stops at every level).
#include "ntw.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <initializer_list>
#include <unistd.h>

namespace {

// The forked partner of the lock test under way.  One at a time: each lock
// test reaps its child before the next test starts.
pid_t s_partner_pid = -1;
// Set once the parent has ended the partner before the end of its test.
bool s_partner_stopped = false;

int own_work_path(const char *dir, int number, char *out)
{
    return create_path(NTW_MODE_SINGLE, dir, number, out, static_cast<int>(getpid()));
}

// Opens (with O_CREAT: creates) and closes `path`; 0, or the failure value
// of the open, or NG when the close fails.
int open_and_close(const char *path, int flags, int timeout)
{
    int fd = (flags & O_CREAT) != 0 ? create_work_file(path, timeout, 0)
                                    : open_file(path, flags, NTW_FILE_MODE, timeout, 0);
    if (fd < 0)
        return test_failure_value();
    return close_file(fd) == 0 ? NTW_OK : NTW_NG;
}

// ---------------------------------------------------------------------------
// One-process lock sequences

struct LockStep {
    ntw_text_id title;
    bool unlock; // release instead of request
    int exclusive;
    int wait;
};

// Runs the steps in order and then releases the last lock without a step of
// its own; the first failure ends the sequence with its failure value.
int run_one_lock_steps(int fd, int timeout, std::initializer_list<LockStep> steps)
{
    for (const LockStep &s : steps) {
        int r = test_named_step(s.title, [&] {
            int rc = s.unlock ? unlock_file(fd, timeout)
                              : lock_file(fd, s.exclusive, s.wait, timeout, 0);
            return rc == 0 ? NTW_OK : test_failure_value();
        });
        if (r != NTW_OK)
            return r;
    }
    return unlock_file(fd, timeout) == 0 ? NTW_OK : test_failure_value();
}

// The frame of both one-lock tests: a fresh work file, the steps, then
// close (a failed close is NG unless the test already aborted) and unlink.
int one_lock_test(const char *dir, int timeout, int name_failure,
                  std::initializer_list<LockStep> steps)
{
    char path[NTW_WORKNAME_LEN];
    if (own_work_path(dir, 0, path) != 0)
        return name_failure;
    int fd = test_open_work_file(path, timeout);
    int result = fd < 0 ? test_failure_value() : run_one_lock_steps(fd, timeout, steps);
    if (close_file(fd) != 0 && result != NTW_ABORT)
        result = NTW_NG;
    remove_work_file(path);
    return result;
}

// ---------------------------------------------------------------------------
// Two-process lock sequences: the parent's probing steps

// A no-wait exclusive request on a byte that the partner holds locked: it
// must be refused by the conflict.  A granted lock stays until the work
// files are closed.
int expect_refused(ntw_text_id title, int fd, int timeout, ntw_text_id refused_ok,
                   ntw_text_id granted_ng)
{
    return test_named_step(title, [&] {
        int r = lock_file(fd, 1, 0, timeout, 1);
        if (r == 0) {
            msg_errmsg(0, "%s", msg_text(granted_ng));
            return NTW_NG;
        }
        if (r != NTW_LOCK_REFUSED)
            return test_failure_value();
        msg_statusmsg(0, "%s", msg_text(refused_ok));
        return NTW_OK;
    });
}

// How a request that must be granted is made and answered.
enum Grant {
    AT_ONCE,    // no wait, the byte is free
    COMPATIBLE, // waiting, beside the partner's compatible lock: at once
    ON_RELEASE, // waiting, granted when the partner releases after its pause
};

// A request that must be granted; the lock is released again afterwards.
int expect_granted(ntw_text_id title, int fd, int exclusive, Grant grant, int timeout)
{
    int r = test_named_step(title, [&] {
        if (grant == ON_RELEASE)
            return test_lock_on_release(fd, exclusive, timeout);
        return lock_file(fd, exclusive, grant == COMPATIBLE, timeout, 0) == 0
                   ? NTW_OK
                   : test_failure_value();
    });
    if (r != NTW_OK)
        return r;
    return unlock_file(fd, timeout) == 0 ? NTW_OK : test_failure_value();
}

// The child's own lock operations: no steps, no messages (the child is
// silent), no waiting.
bool hold_lock(int fd, int exclusive, int timeout)
{
    return lock_file(fd, exclusive, 0, timeout, 0) == 0;
}

bool release_lock(int fd, int timeout)
{
    return unlock_file(fd, timeout) == 0;
}

// Holds the partner's lock for a moment after the barrier, so that the
// parent's waiting request is issued while the lock is still held.
bool release_after_pause(int fd, int timeout)
{
    wait_sync_processing();
    return release_lock(fd, timeout);
}

bool barrier(utlntw_sync_info *sync)
{
    return utlntw_sync_wait(sync) == 0;
}

// The last barrier decides the result of a two-lock test in both processes.
int final_barrier(utlntw_sync_info *sync)
{
    return barrier(sync) ? NTW_OK : NTW_ABORT;
}

// Shared path, two processes on the same work file F (the child's first,
// the parent's second descriptor).  Barriers are numbered; "pause" is the
// 3-second wait_sync_processing before the release, which the parent's
// waiting request opposite must really wait for (ON_RELEASE).
//
//   child (lock holder)            | parent (prober)
//   -------------------------------+-------------------------------------
//   shared lock                    |
//   ==== 1 ========================+=====================================
//                                  | A1 exclusive, no wait: refused
//                                  | A2 shared, wait: granted, release
//   ==== 2 ========================+=====================================
//   pause, release shared          | A3 exclusive, wait: granted, release
//   ==== 3 ========================+=====================================
//   exclusive lock                 |
//   ==== 4 ========================+=====================================
//                                  | B1 exclusive, no wait: refused
//   ==== 5 ========================+=====================================
//   pause, release exclusive       | B2 shared, wait: granted, release
//   ==== 6 ========================+=====================================
//   exclusive lock                 |
//   ==== 7 ========================+=====================================
//   pause, release exclusive       | B3 exclusive, wait: granted, release
//   ==== 8 ========================+=====================================
//   shared lock, release           |
//   ==== 9 ========================+=====================================
//                                  | C1 exclusive, no wait: granted, release
//   ==== 10 =======================+=====================================
//   exclusive lock, release        |
//   ==== 11 =======================+=====================================
//                                  | C2 exclusive, no wait: granted, release
//   ==== 12 =======================+=====================================
int share_lock_holder(utlntw_sync_info *sync, int fd, int timeout)
{
    if (!hold_lock(fd, 0, timeout) || !barrier(sync) || !barrier(sync))
        return NTW_ABORT;
    if (!release_after_pause(fd, timeout) || !barrier(sync))
        return NTW_ABORT;
    if (!hold_lock(fd, 1, timeout) || !barrier(sync) || !barrier(sync))
        return NTW_ABORT;
    if (!release_after_pause(fd, timeout) || !barrier(sync))
        return NTW_ABORT;
    if (!hold_lock(fd, 1, timeout) || !barrier(sync))
        return NTW_ABORT;
    if (!release_after_pause(fd, timeout) || !barrier(sync))
        return NTW_ABORT;
    if (!hold_lock(fd, 0, timeout) || !release_lock(fd, timeout) || !barrier(sync) ||
        !barrier(sync))
        return NTW_ABORT;
    if (!hold_lock(fd, 1, timeout) || !release_lock(fd, timeout) || !barrier(sync))
        return NTW_ABORT;
    return final_barrier(sync);
}

int share_lock_prober(utlntw_sync_info *sync, int fd, int timeout)
{
    int r;
    if (!barrier(sync))
        return NTW_ABORT;
    if ((r = expect_refused(MT_STEP_SHLOCKED_EXCL_NOWAIT, fd, timeout, MT_PEER_SHLOCKED_OK,
                            MT_PEER_NOT_SHLOCKED)) != NTW_OK)
        return r;
    if ((r = expect_granted(MT_STEP_SHLOCKED_SHARED_WAIT, fd, 0, COMPATIBLE, timeout)) != NTW_OK)
        return r;
    if (!barrier(sync))
        return NTW_ABORT;
    if ((r = expect_granted(MT_STEP_SHLOCKED_EXCL_WAIT, fd, 1, ON_RELEASE, timeout)) != NTW_OK)
        return r;
    if (!barrier(sync) || !barrier(sync))
        return NTW_ABORT;
    if ((r = expect_refused(MT_STEP_EXLOCKED_EXCL_NOWAIT, fd, timeout, MT_PEER_EXLOCKED_OK,
                            MT_PEER_NOT_EXLOCKED)) != NTW_OK)
        return r;
    if (!barrier(sync))
        return NTW_ABORT;
    if ((r = expect_granted(MT_STEP_EXLOCKED_SHARED_WAIT, fd, 0, ON_RELEASE, timeout)) != NTW_OK)
        return r;
    if (!barrier(sync) || !barrier(sync))
        return NTW_ABORT;
    if ((r = expect_granted(MT_STEP_EXLOCKED_EXCL_WAIT, fd, 1, ON_RELEASE, timeout)) != NTW_OK)
        return r;
    if (!barrier(sync) || !barrier(sync))
        return NTW_ABORT;
    if ((r = expect_granted(MT_STEP_SHRELEASED_EXCL_NOWAIT, fd, 1, AT_ONCE, timeout)) != NTW_OK)
        return r;
    if (!barrier(sync) || !barrier(sync))
        return NTW_ABORT;
    if ((r = expect_granted(MT_STEP_EXRELEASED_EXCL_NOWAIT, fd, 1, AT_ONCE, timeout)) != NTW_OK)
        return r;
    return final_barrier(sync);
}

// Target path, two processes on F (the child's first, the parent's second
// descriptor); the parent also locks its own first file G, which the child
// never touches.
//
//   child (lock holder)            | parent (prober)
//   -------------------------------+-------------------------------------
//   exclusive lock on F            | exclusive lock, no wait, on G
//   ==== 1 ========================+=====================================
//                                  | T1 exclusive, no wait: refused
//   ==== 2 ========================+=====================================
//   pause, release F               | T2 exclusive, wait: granted, release
//   ==== 3 ========================+=====================================
//   exclusive lock on F, release   |
//   ==== 4 ========================+=====================================
//                                  | T3 exclusive, no wait: granted, release
//   ==== 5 ========================+=====================================
int target_lock_holder(utlntw_sync_info *sync, int fd, int timeout)
{
    if (!hold_lock(fd, 1, timeout))
        return test_failure_value();
    if (!barrier(sync) || !barrier(sync))
        return NTW_ABORT;
    if (!release_after_pause(fd, timeout) || !barrier(sync))
        return NTW_ABORT;
    if (!hold_lock(fd, 1, timeout) || !release_lock(fd, timeout) || !barrier(sync))
        return NTW_ABORT;
    return final_barrier(sync);
}

int target_lock_prober(utlntw_sync_info *sync, int own_fd, int fd, int timeout)
{
    int r;
    if (lock_file(own_fd, 1, 0, timeout, 0) != 0)
        return test_failure_value();
    if (!barrier(sync))
        return NTW_ABORT;
    if ((r = expect_refused(MT_STEP_EXLOCKED_EXCL_NOWAIT, fd, timeout, MT_PEER_EXLOCKED_OK,
                            MT_PEER_NOT_EXLOCKED)) != NTW_OK)
        return r;
    if (!barrier(sync))
        return NTW_ABORT;
    if ((r = expect_granted(MT_STEP_EXLOCKED_EXCL_WAIT, fd, 1, ON_RELEASE, timeout)) != NTW_OK)
        return r;
    if (!barrier(sync) || !barrier(sync))
        return NTW_ABORT;
    if ((r = expect_granted(MT_STEP_EXRELEASED_EXCL_NOWAIT, fd, 1, AT_ONCE, timeout)) != NTW_OK)
        return r;
    return final_barrier(sync);
}

// Ends the forked partner when the parent leaves the two-process test before
// its last barrier (an NG, or a failed barrier): the partner is then waiting
// at a barrier that the parent never reaches, and would only leave it at the
// time-out.  It holds nothing but locks, which vanish with it, and the parent
// finishes the pairing alone.
void stop_partner(void)
{
    if (s_partner_pid <= 0)
        return;
    msg_statusmsg(0, "%s", msg_text(MT_SIGNAL_CHILD));
    kill(s_partner_pid, SIGKILL);
    sig_reap_child(s_partner_pid);
    s_partner_pid = -1;
    s_partner_stopped = true;
}

// The frame of both lock kinds: the one-process test, then, only when it
// passed, the forked partner and the two-process test.  The child leaves
// inside fork_singletest_end and never returns from here.
int try_single_lock(const NtwParam *param, const char *work_dir, int (*one_lock)(const char *, int),
                    int (*two_lock)(utlntw_sync_info *, int, int, int, int))
{
    return test_named_step(MT_TITLE_KIND_LOCK, [&] {
        singletest_info info{};
        int r = one_lock(work_dir, param->timeout);
        if (r == NTW_OK)
            r = fork_singletest_start(work_dir, param->share_path, &info, param->timeout,
                                      static_cast<int>(getpid()));
        if (r == NTW_OK)
            r = two_lock(&info.sync, info.work_fd[0], info.work_fd[1], param->timeout,
                         info.is_child);
        if (r != NTW_OK && !info.is_child)
            stop_partner();
        if (fork_singletest_end(&info) != 0)
            r = NTW_ABORT;
        return r;
    });
}

} // namespace

// ---------------------------------------------------------------------------
// The result convention shared by the test trees

int test_failure_value(void)
{
    return get_is_timeout() ? NTW_ABORT : NTW_NG;
}

// The partner's lock is released no sooner than its pause after both left
// the barrier, so a request granted within a third of the pause was granted
// while the lock was still held.  Only the pause bounds the check: a slow
// network or a loaded host makes the request wait longer, never shorter.
int test_lock_on_release(int fd, int exclusive, int timeout)
{
    const auto asked = std::chrono::steady_clock::now();
    if (lock_file(fd, exclusive, 1, timeout, 0) != 0)
        return test_failure_value();
    if (std::chrono::steady_clock::now() - asked >=
        std::chrono::milliseconds(NTW_SYNC_PAUSE_SECONDS * 1000 / 3))
        return NTW_OK;
    msg_errmsg(0, "%s", msg_text(MT_LOCK_GRANTED_WHILE_HELD));
    return NTW_NG;
}

int test_driver_parts(ntw_text_id title, const NtwParam *param,
                      std::initializer_list<int (*)(const NtwParam *)> parts)
{
    return test_named_step(title, [&] {
        int result = NTW_OK;
        for (auto part : parts) {
            int r = part(param);
            if (r != NTW_OK)
                result = r;
            if (r < 0)
                break;
        }
        return result;
    });
}

int test_open_work_file(const char *path, int timeout)
{
    if (work_is_remembered(path))
        return open_file(path, O_RDWR, NTW_FILE_MODE, timeout, 0);
    return create_work_file(path, timeout, 0);
}

// ---------------------------------------------------------------------------
// Drivers

int try_test_single(const NtwParam *param)
{
    return test_driver_parts(MT_TITLE_SINGLE, param,
                             {try_test_single_zemsharepath, try_test_single_targetpath});
}

int try_test_single_zemsharepath(const NtwParam *param)
{
    return test_driver_parts(MT_TITLE_SHARE_PATH, param,
                             {try_single_open_zemsharepath, try_single_lock_zemsharepath});
}

int try_test_single_targetpath(const NtwParam *param)
{
    return test_driver_parts(MT_TITLE_TARGET_PATH, param,
                             {try_single_open_targetpath, try_single_link_targetpath,
                              try_single_lock_targetpath, try_single_rw_targetpath,
                              try_single_delete_targetpath});
}

int try_single_open_zemsharepath(const NtwParam *param)
{
    return test_named_step(MT_TITLE_KIND_OPEN, [&] {
        return test_single_open_zemsharepath(param->share_path, param->timeout);
    });
}

int try_single_lock_zemsharepath(const NtwParam *param)
{
    return try_single_lock(param, param->share_path, test_single_one_lock_zemsharepath,
                           test_single_two_lock_zemsharepath);
}

int try_single_open_targetpath(const NtwParam *param)
{
    return test_named_step(MT_TITLE_KIND_OPEN, [&] {
        return test_single_open_targetpath(param->target_path, param->owner, param->group,
                                           param->timeout);
    });
}

int try_single_link_targetpath(const NtwParam *param)
{
    return test_named_step(MT_TITLE_KIND_LINK, [&] {
        return test_single_link_targetpath(param->target_path, param->timeout);
    });
}

int try_single_lock_targetpath(const NtwParam *param)
{
    return try_single_lock(param, param->target_path, test_single_one_lock_targetpath,
                           test_single_two_lock_targetpath);
}

int try_single_rw_targetpath(const NtwParam *param)
{
    return test_named_step(MT_TITLE_KIND_RW, [&] {
        return test_single_rw_targetpath(param->target_path, param->timeout);
    });
}

int try_single_delete_targetpath(const NtwParam *param)
{
    return test_named_step(MT_TITLE_KIND_DELETE, [&] {
        return test_single_delete_targetpath(param->target_path, param->timeout);
    });
}

// ---------------------------------------------------------------------------
// The forked partner

int fork_singletest_start(const char *work_dir, const char *sync_dir, singletest_info *info,
                          int timeout, int pid)
{
    info->work_fd[0] = -1;
    info->work_fd[1] = -1;
    // The parent creates both work files, so that both processes open files
    // that the checker created (the child knows them from its copy of the
    // parent's record).  Every name the child may create is registered for
    // deletion here first: a parent ended by a signal kills the child and
    // then removes what it knows of.
    char name[2][NTW_WORKNAME_LEN] = {};
    for (int number = 0; number < 2; ++number) {
        if (create_path(NTW_MODE_SINGLE, work_dir, number, name[number], pid) != 0)
            return -1;
        int fd = create_work_file(name[number], timeout, NTW_WORK_SILENT);
        if (fd < 0) {
            remove_work_file(name[0]);
            return test_failure_value();
        }
        close(fd);
    }
    info->started = 1;
    s_partner_stopped = false;
    if (utlntw_sync_register_names(sync_dir, NTW_MODE_SINGLE, pid) != 0)
        return -1;
    // The line goes out before fork: a line still buffered at fork would be
    // written a second time by the child's exit.
    msg_statusmsg(0, "%s", msg_text(MT_FORK));
    msg_flush();
    pid_t child = fork();
    if (child < 0) {
        int err = errno;
        msg_errmsg(err, "%s", msg_text(MT_FORK_FAILED));
        return -1;
    }
    if (child == 0) {
        msg_finish();
        info->is_child = 1;
    } else {
        sig_add_child(child);
        s_partner_pid = child;
        utlntw_sync_register_presence(sync_dir, NTW_MODE_SINGLE, pid, child);
    }

    // Both processes from here on: the same sync files (named after the
    // parent) and the same two work files, in swapped order.
    if (utlntw_sync_init(&info->sync, sync_dir, timeout, NTW_MODE_SINGLE, pid) != 0)
        return -1;
    const int numbers[2] = {info->sync.my_file_no, info->sync.other_file_no};
    for (int i = 0; i < 2; ++i) {
        if (create_path(NTW_MODE_SINGLE, work_dir, numbers[i], info->work_file[i], pid) != 0)
            return -1;
    }
    for (int i = 0; i < 2; ++i) {
        info->work_fd[i] = test_open_work_file(info->work_file[i], timeout);
        if (info->work_fd[i] < 0)
            return -1;
    }
    return utlntw_sync_wait(&info->sync) == 0 ? 0 : -1;
}

int fork_singletest_end(singletest_info *info)
{
    if (!info->started)
        return 0;
    int result = 0;
    // Closing drops every lock this process still holds on the work files.
    for (int i = 0; i < 2; ++i) {
        if (info->work_fd[i] != -1) {
            close_file(info->work_fd[i]);
            info->work_fd[i] = -1;
        }
    }
    int finished =
        s_partner_stopped ? utlntw_sync_finish_alone(&info->sync) : utlntw_sync_finish(&info->sync);
    if (finished < 0)
        result = -1;
    if (info->is_child)
        exit(result == 0 ? 0 : 255);

    for (int i = 0; i < 2; ++i) {
        if (info->work_file[i][0] != '\0')
            remove_work_file(info->work_file[i]);
    }
    if (s_partner_pid > 0) {
        sig_reap_child(s_partner_pid);
        s_partner_pid = -1;
    }
    return result;
}

// ---------------------------------------------------------------------------
// Shared-path tests

int test_single_open_zemsharepath(const char *dir, int timeout)
{
    return test_named_step(MT_STEP_OPEN_NEW, [&] {
        char path[NTW_WORKNAME_LEN];
        if (own_work_path(dir, 0, path) != 0)
            return NTW_ABORT;
        int result = open_and_close(path, O_RDWR | O_CREAT, timeout);
        remove_work_file(path);
        return result;
    });
}

int test_single_one_lock_zemsharepath(const char *dir, int timeout)
{
    return one_lock_test(dir, timeout, NTW_ABORT,
                         {{MT_STEP_EXCL_NOWAIT, false, 1, 0},
                          {MT_STEP_EXCL_RELEASE, true, 0, 0},
                          {MT_STEP_SHARED_WAIT, false, 0, 1},
                          {MT_STEP_SHARED_RELEASE, true, 0, 0},
                          {MT_STEP_EXCL_WAIT, false, 1, 1}});
}

int test_single_two_lock_zemsharepath(utlntw_sync_info *sync, int fd1, int fd2, int timeout,
                                      int is_child)
{
    return is_child ? share_lock_holder(sync, fd1, timeout) : share_lock_prober(sync, fd2, timeout);
}

// ---------------------------------------------------------------------------
// Target-path tests

int test_single_open_targetpath(const char *dir, const char *owner, const char *group, int timeout)
{
    char path[NTW_WORKNAME_LEN];
    if (own_work_path(dir, 0, path) != 0)
        return NTW_ABORT;

    // One running result: once a step is NG, every later step shows NG too.
    int r = test_named_step(MT_STEP_OPEN_MISSING, [&] {
        int fd = open_file(path, O_RDONLY, NTW_FILE_MODE, timeout, 1);
        if (fd < 0) {
            if (get_is_timeout())
                return NTW_ABORT;
            msg_statusmsg(0, "%s", msg_text(MT_OPEN_REFUSED_OK));
            return NTW_OK;
        }
        msg_errmsg(0, "%s", msg_text(MT_OPEN_GRANTED_NG));
        close_file(fd);
        return NTW_NG;
    });

    struct OpenStep {
        ntw_text_id title;
        int flags;
    };
    static constexpr OpenStep open_steps[] = {
        {MT_STEP_OPEN_NEW, O_RDWR | O_CREAT},
        {MT_STEP_OPEN_READ, O_RDONLY},
        {MT_STEP_OPEN_WRITE, O_WRONLY},
        {MT_STEP_OPEN_RDWR, O_RDWR},
    };
    for (const OpenStep &s : open_steps) {
        if (r == NTW_ABORT)
            break;
        r = test_named_step(s.title, [&] {
            int step = open_and_close(path, s.flags, timeout);
            return step != NTW_OK ? step : r;
        });
    }
    if (r != NTW_ABORT) {
        r = test_named_step(MT_STEP_CHOWN,
                            [&] { return change_owner(path, owner, group) < 0 ? NTW_NG : r; });
    }
    remove_work_file(path);
    return r;
}

int test_single_link_targetpath(const char *dir, int timeout)
{
    char name0[NTW_WORKNAME_LEN];
    char name1[NTW_WORKNAME_LEN];
    if (own_work_path(dir, 0, name0) != 0 || own_work_path(dir, 1, name1) != 0)
        return NTW_ABORT;

    int result = NTW_OK;
    int fd = test_open_work_file(name0, timeout);
    if (fd < 0) {
        result = test_failure_value();
    } else {
        close_file(fd);
        bool linked = false;
        result = test_named_step(MT_STEP_LINK_NEW, [&] {
            linked = link_file(name0, name1, 0) == 0;
            return linked ? NTW_OK : NTW_NG;
        });
        // name1 exists now as the new link, or is created here when the link
        // failed, so the second link always meets an existing name.  Two
        // links are the checker's own only when its link was made.
        if (linked)
            work_remember_alias(name0, name1);
        fd = linked ? open_file_max_links(name1, O_RDWR, NTW_FILE_MODE, timeout, 0, 2)
                    : create_work_file(name1, timeout, 0);
        if (fd < 0) {
            result = test_failure_value();
        } else {
            close_file(fd);
            result = test_named_step(MT_STEP_LINK_EXISTING, [&] {
                if (link_file(name0, name1, 1) != 0) {
                    msg_statusmsg(0, "%s", msg_text(MT_LINK_REFUSED_OK));
                    return result;
                }
                msg_errmsg(0, "%s", msg_text(MT_LINK_GRANTED_NG));
                return NTW_NG;
            });
        }
    }
    remove_work_file(name1);
    remove_work_file(name0);
    return result;
}

int test_single_one_lock_targetpath(const char *dir, int timeout)
{
    return one_lock_test(dir, timeout, NTW_NG,
                         {{MT_STEP_EXCL_NOWAIT, false, 1, 0},
                          {MT_STEP_EXCL_RELEASE, true, 0, 0},
                          {MT_STEP_EXCL_WAIT, false, 1, 1}});
}

int test_single_two_lock_targetpath(utlntw_sync_info *sync, int fd1, int fd2, int timeout,
                                    int is_child)
{
    return is_child ? target_lock_holder(sync, fd1, timeout)
                    : target_lock_prober(sync, fd1, fd2, timeout);
}

int test_single_rw_targetpath(const char *dir, int timeout)
{
    char path[NTW_WORKNAME_LEN];
    if (own_work_path(dir, 0, path) != 0)
        return NTW_ABORT;
    int fd = test_open_work_file(path, timeout);
    if (fd < 0)
        return test_failure_value();

    // The file stays for the delete test, which removes it.
    int result = test_named_step(MT_STEP_WRITE, [&] {
        return write_file(fd, timeout) == 0 ? NTW_OK : test_failure_value();
    });
    if (result == NTW_OK) {
        if (lseek(fd, 0, SEEK_SET) != 0) {
            int err = errno;
            msg_errmsg(err, "%s", msg_text(MT_SEEK_FAILED));
            result = NTW_NG;
        } else {
            result = test_named_step(MT_STEP_READ, [&] {
                return read_back_file(fd, timeout) == 0 ? NTW_OK : test_failure_value();
            });
        }
    }
    close_file(fd);
    return result;
}

int test_single_delete_targetpath(const char *dir, int timeout)
{
    char path[NTW_WORKNAME_LEN];
    if (own_work_path(dir, 0, path) != 0)
        return NTW_ABORT;
    int fd = test_open_work_file(path, timeout);
    if (fd < 0)
        return test_failure_value();
    close_file(fd);
    return test_named_step(MT_STEP_DELETE_OWN,
                           [&] { return delete_file(path) == 0 ? NTW_OK : NTW_NG; });
}
