// ntwcom: the file-operation primitives of the checker.
//
// Every file operation that a test makes on the checked directories goes
// through a wrapper here that announces it, bounds it by the run's time-out
// where it can block, reports a failure in fixed words with the error
// number, and returns 0 (or a descriptor) or -1.  The wrappers never judge:
// the tests do.  Also here: the time-out flag, the work-file names and the
// registry of files that the main process deletes at exit.
#include "ntw.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr char TEST_DATA[] = "1234567890";
constexpr int TEST_DATA_LEN = sizeof(TEST_DATA) - 1;
// The polling waits for a file look at the file system at most ten times a
// second, so each ends within about a tenth of a second of the event.
constexpr long POLL_INTERVAL_NS = 100L * 1000 * 1000;
constexpr size_t HOSTNAME_MAX_CHARS = 67;
constexpr size_t PROBE_NAME_LEN = 1024;
constexpr size_t DELETE_NAME_LEN = 1024;

// Written by the SIGALRM handler; read and cleared by the primitives.
volatile sig_atomic_t timeout_occurred = 0;

void clear_timeout(void)
{
    timeout_occurred = 0;
}

// Bounds the system calls made while it lives by the run's time-out.  The
// handler is installed without SA_RESTART, so a call blocked when the alarm
// fires returns EINTR.  The timer repeats every second after the first
// expiry: should the first signal land just before the call starts, the
// next one still ends the call.  SIGALRM is unblocked meanwhile (a mask
// inherited through exec must not turn a waiting lock into a hang).  The
// timer, the signal mask and the previous disposition are restored on every
// way out.
class TimeGuard {
public:
    explicit TimeGuard(int timeout)
    {
        struct sigaction sa = {};
        sa.sa_handler = alarm_handler;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = 0;
        sigaction(SIGALRM, &sa, &old_action_);

        sigset_t alrm;
        sigemptyset(&alrm);
        sigaddset(&alrm, SIGALRM);
        sigprocmask(SIG_UNBLOCK, &alrm, &old_mask_);

        if (timeout > 0) {
            struct itimerval tv = {};
            tv.it_value.tv_sec = timeout;
            tv.it_interval.tv_sec = 1;
            setitimer(ITIMER_REAL, &tv, nullptr);
        }
    }
    ~TimeGuard()
    {
        struct itimerval off = {};
        setitimer(ITIMER_REAL, &off, nullptr);
        sigprocmask(SIG_SETMASK, &old_mask_, nullptr);
        sigaction(SIGALRM, &old_action_, nullptr);
    }
    TimeGuard(const TimeGuard &) = delete;
    TimeGuard &operator=(const TimeGuard &) = delete;

private:
    struct sigaction old_action_;
    sigset_t old_mask_;
};

// Files created by open_file get exactly the mode asked for.
class UmaskGuard {
public:
    UmaskGuard() : old_(umask(0)) {}
    ~UmaskGuard() { umask(old_); }
    UmaskGuard(const UmaskGuard &) = delete;
    UmaskGuard &operator=(const UmaskGuard &) = delete;

private:
    mode_t old_;
};

// An interrupted call is retried unless the alarm caused it: only the
// time-out may end a guarded call early (terminating signals end the
// process from inside the blocking section).
bool interrupted_by_other_signal(int result, int err)
{
    return result < 0 && err == EINTR && !timeout_occurred;
}

// A failure that the caller expects is a progress line, otherwise an error.
void report_failure(int expect_failure, int err, ntw_text_id text)
{
    if (expect_failure)
        msg_statusmsg(err, "%s", msg_text(text));
    else
        msg_errmsg(err, "%s", msg_text(text));
}

void report_timeout(int err)
{
    msg_errmsg(err, "%s", msg_text(MT_TIMEOUT));
}

void report_foreign(const char *path)
{
    msg_errmsg(0, msg_text(MT_WORK_FOREIGN), path);
}

void sleep_poll_interval(void)
{
    struct timespec interval = {0, POLL_INTERVAL_NS};
    sig_blocking_begin();
    nanosleep(&interval, nullptr);
    sig_blocking_end();
}

// Only "no such file" says that a name is gone.  Any other error of a look
// (ESTALE, EIO, EACCES, a planted link ...) says nothing about the file, so
// the wait goes on.
bool is_gone(int err)
{
    return err == ENOENT || err == ENOTDIR;
}

// Flushes the file to the file system (result of no interest: the close
// decides) and closes it; both may wait on a network file system.  Returns
// the result of the close, its errno in *err.
int flush_and_close(int fd, int *err)
{
    sig_blocking_begin();
    fsync(fd);
    sig_blocking_end();
    sig_blocking_begin();
    int r = close(fd);
    *err = errno;
    sig_blocking_end();
    return r;
}

// Opens a file that a polling wait looks at; never through a symbolic link,
// and without waiting for a writer when the name is a FIFO.  The error
// number of a failed open in *err.
int open_for_poll(const char *path, int flags, int *err)
{
    sig_blocking_begin();
    int fd = open(path, flags | O_NOFOLLOW | O_NONBLOCK, NTW_FILE_MODE);
    *err = errno;
    sig_blocking_end();
    return fd;
}

// The checker forms its names in directories that others may write, so
// whatever it finds under such a name may have been planted there.  A file
// that it opened is used only when it is a regular file with no more links
// than the checker made itself: a FIFO or a device is not the checker's
// file, and an extra link makes the name an alias of another file (one
// outside the directory, perhaps), whose owner or data the checker would
// change.  Only "more links than made" is judged: some file systems report
// a link count of 0 or 1 whatever the links.  The open was made without
// blocking; that mode is cleared here.  Returns 0, or the error number of
// the refusal: EINVAL for a file that is not regular, EMLINK for too many
// links, or that of the failed fstat or fcntl; the file's status in *opened.
int verify_opened(int fd, int max_links, struct stat *opened)
{
    struct stat &st = *opened;
    if (fstat(fd, &st) != 0)
        return errno;
    if (!S_ISREG(st.st_mode))
        return EINVAL;
    if (st.st_nlink > static_cast<nlink_t>(max_links))
        return EMLINK;
    int fl = fcntl(fd, F_GETFL);
    if (fl == -1 || fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) == -1)
        return errno;
    return 0;
}

// Opens a name that the checker formed (see verify_opened).  A refusal is a
// failed open like any other, with its error number.
int open_guarded(const char *path, int flags, int mode, int timeout, int expect_failure,
                 int max_links)
{
    int fd;
    int err;
    {
        UmaskGuard mask;
        clear_timeout();
        msg_statusmsg(0, msg_text(MT_OPEN), path);
        TimeGuard guard(timeout);
        do {
            sig_blocking_begin();
            fd = open(path, flags | O_NOFOLLOW | O_NONBLOCK, mode);
            err = errno;
            sig_blocking_end();
        } while (interrupted_by_other_signal(fd, err));
    }
    if (timeout_occurred) {
        report_timeout(fd < 0 ? err : 0);
        if (fd >= 0)
            close(fd);
        return -1;
    }
    if (fd >= 0) {
        struct stat st;
        err = verify_opened(fd, max_links, &st);
        if (err == 0 && (!work_is_remembered(path) || work_matches(path, &st)))
            return fd;
        close(fd);
        if (err == 0) {
            report_foreign(path);
            return -1;
        }
    }
    report_failure(expect_failure, err, MT_OPEN_FAILED);
    return -1;
}

// Looks at what lies under a work-file name that exclusive creation found
// taken, without following a link or waiting on a FIFO.  1 when it is a
// leftover of the checker's own: a regular file with one link that has the
// owner of the checker's files; 0 when it is not; -1 (errno set) when it
// cannot be looked at.
int is_own_leftover(const char *path)
{
    sig_blocking_begin();
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    int err = errno;
    sig_blocking_end();
    if (fd < 0) {
        errno = err;
        return err == ELOOP ? 0 : -1;
    }
    struct stat st;
    int own = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1 &&
              st.st_uid == work_own_owner(st.st_dev);
    close(fd);
    return own;
}

// Takes the work file that the partner created first under the checker's
// own name (its open made the name before this instance's creation).
int take_partners_creation(const char *path)
{
    sig_blocking_begin();
    int fd = open(path, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    sig_blocking_end();
    struct stat st;
    if (fd >= 0 && verify_opened(fd, 1, &st) == 0 && work_matches(path, &st) &&
        work_remember(path, &st) == 0)
        return fd;
    if (fd >= 0)
        close(fd);
    report_foreign(path);
    return -1;
}

} // namespace

// ---------------------------------------------------------------------------
// Time-out flag, pause, work-file names

int get_is_timeout(void)
{
    return timeout_occurred;
}

void set_is_timeout(void)
{
    timeout_occurred = 1;
}

void alarm_handler(int)
{
    timeout_occurred = 1;
}

// The holder of a lock pauses before releasing it, so that the partner's
// waiting request really waits.  Another signal must not cut the pause
// short; a terminating one ends the process inside the blocking section.
void wait_sync_processing(void)
{
    struct timespec left = {NTW_SYNC_PAUSE_SECONDS, 0};
    for (;;) {
        struct timespec rest = {0, 0};
        sig_blocking_begin();
        int r = nanosleep(&left, &rest);
        int err = errno;
        sig_blocking_end();
        if (r == 0 || err != EINTR)
            return;
        left = rest;
    }
}

int is_timeout_occured(time_t start, int limit)
{
    sig_exit_if_signalled();
    if (timeout_occurred)
        return 1;
    if (limit == 0)
        return 0;
    if (time(nullptr) - start <= limit)
        return 0;
    msg_errmsg(0, "%s", msg_text(MT_TIMEOUT));
    timeout_occurred = 1;
    return 1;
}

int create_path(int kind, const char *dir, int number, char *out, int pid)
{
    char name[NTW_WORKNAME_LEN];
    int len;
    if (kind == NTW_MODE_SINGLE) {
        char host[256];
        if (gethostname(host, sizeof host) != 0) {
            msg_errmsg(errno, "%s", msg_text(MT_HOSTNAME_FAILED));
            return -1;
        }
        host[sizeof host - 1] = '\0';
        if (strlen(host) > HOSTNAME_MAX_CHARS)
            host[HOSTNAME_MAX_CHARS] = '\0';
        len = snprintf(name, sizeof name, "%s/.#ZEMLOCK.%s.%d.%d", dir, host, pid, number);
    } else if (kind == NTW_MODE_DOUBLE) {
        len = snprintf(name, sizeof name, "%s/.#ZEMLOCK.%d", dir, number);
    } else {
        return -1;
    }
    // A cut name would be another file than the one meant.
    if (len < 0 || len >= static_cast<int>(sizeof name))
        return -1;
    memcpy(out, name, static_cast<size_t>(len) + 1);
    add_deletefilename(out);
    return 0;
}

// ---------------------------------------------------------------------------
// Checked file operations

int open_file(const char *path, int flags, int mode, int timeout, int expect_failure)
{
    return open_guarded(path, flags, mode, timeout, expect_failure, 1);
}

int open_file_max_links(const char *path, int flags, int mode, int timeout, int expect_failure,
                        int max_links)
{
    return open_guarded(path, flags, mode, timeout, expect_failure, max_links);
}

int create_private_file(const char *path, int timeout)
{
    int fd;
    int err;
    {
        UmaskGuard mask;
        clear_timeout();
        TimeGuard guard(timeout);
        do {
            sig_blocking_begin();
            fd = open(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, NTW_FILE_MODE);
            err = errno;
            sig_blocking_end();
        } while (interrupted_by_other_signal(fd, err));
    }
    errno = err;
    return fd;
}

int create_work_file(const char *path, int timeout, int how)
{
    if ((how & NTW_WORK_SILENT) == 0)
        msg_statusmsg(0, msg_text(MT_OPEN), path);
    // The second attempt ends the loop whatever it meets.
    for (int attempt = 0;; ++attempt) {
        int fd = create_private_file(path, timeout);
        int err = errno;
        struct stat st;
        if (fd >= 0 && fstat(fd, &st) == 0) {
            work_remember_created(path, &st);
            return fd;
        }
        if (fd >= 0) {
            err = errno;
            close(fd);
        }
        if (timeout_occurred) {
            report_timeout(err);
            return -1;
        }
        if (err != EEXIST) {
            msg_errmsg(err, "%s", msg_text(MT_OPEN_FAILED));
            return -1;
        }
        // A second find is someone else's creation between the two.
        int own = attempt == 0 && (how & NTW_WORK_NEW_ONLY) == 0 ? is_own_leftover(path) : 0;
        if (own < 0 && is_gone(errno))
            continue;
        if (own <= 0) {
            report_foreign(path);
            return -1;
        }
        if ((how & NTW_WORK_PARTNER_FIRST) != 0)
            return take_partners_creation(path);
        msg_statusmsg(0, msg_text(MT_WORK_LEFTOVER_REMOVED), path);
        unlink(path);
    }
}

int open_partner_file(const char *path, int flags, int timeout)
{
    work_forget(path);
    int fd = open_file(path, flags, 0, timeout, 0);
    if (fd < 0)
        return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !work_matches(path, &st) || work_remember(path, &st) != 0) {
        close(fd);
        report_foreign(path);
        return -1;
    }
    return fd;
}

int check_partner_name(const char *path)
{
    struct stat st;
    if (lstat(path, &st) != 0 ||
        (S_ISREG(st.st_mode) && st.st_nlink == 1 && st.st_uid == work_own_owner(st.st_dev)))
        return 0;
    report_foreign(path);
    return -1;
}

void remove_work_file(const char *path)
{
    struct stat st;
    if (lstat(path, &st) == 0 && work_same_file(path, &st))
        unlink(path);
    work_forget(path);
}

int close_file(int fd)
{
    if (fd == -1)
        return 0;
    msg_statusmsg(0, "%s", msg_text(MT_CLOSE));
    int err = 0;
    int r = flush_and_close(fd, &err);
    if (r != 0)
        msg_errmsg(err, "%s", msg_text(MT_CLOSE_FAILED));
    return r;
}

int delete_file(const char *path)
{
    msg_statusmsg(0, msg_text(MT_DELETE), path);
    // A work file's name is removed only while it holds the file created.
    struct stat st;
    if (work_is_remembered(path) && lstat(path, &st) == 0 && !work_same_file(path, &st)) {
        report_foreign(path);
        return -1;
    }
    work_forget(path);
    int r = unlink(path);
    if (r != 0)
        msg_errmsg(errno, "%s", msg_text(MT_DELETE_FAILED));
    return r;
}

namespace {

// Whether the open file has the owner and group that were asked for.  Some
// file systems accept an owner change and keep the old owner (SMB without
// POSIX extensions, FAT, some FUSE file systems), others show a different
// one (NFSv4 with broken id mapping): only a look at the file tells.
int check_owner(int fd, uid_t uid, gid_t gid)
{
    struct stat st;
    if (fstat(fd, &st) != 0) {
        msg_errmsg(errno, "%s", msg_text(MT_CHOWN_FAILED));
        return -1;
    }
    if (st.st_uid == uid && st.st_gid == gid)
        return 0;
    msg_errmsg(0, msg_text(MT_CHOWN_NOT_APPLIED), static_cast<int>(uid), static_cast<int>(gid),
               static_cast<int>(st.st_uid), static_cast<int>(st.st_gid));
    return -1;
}

} // namespace

int change_owner(const char *path, const char *owner, const char *group)
{
    uid_t uid;
    gid_t gid;
    if (owner == nullptr || owner[0] == '\0') {
        uid = getuid();
        gid = getgid();
    } else {
        errno = 0;
        const struct passwd *pw = getpwnam(owner);
        if (pw == nullptr) {
            msg_errmsg(errno, msg_text(MT_CHOWN_USER_FAILED), owner);
            return -1;
        }
        uid = pw->pw_uid;
        gid = pw->pw_gid;
        if (group != nullptr && group[0] != '\0') {
            errno = 0;
            const struct group *gr = getgrnam(group);
            if (gr == nullptr) {
                msg_statusmsg(errno, msg_text(MT_CHOWN_GROUP_FAILED), group);
                return -1;
            }
            gid = gr->gr_gid;
        }
    }
    msg_statusmsg(0, msg_text(MT_CHOWN), path, static_cast<int>(uid), static_cast<int>(gid));
    // By descriptor, on a file verified as the checker's own: never through
    // a symbolic link or an extra hard link planted under the name, and for
    // a work file only on the file created (or taken from the partner) with
    // the owner it had then.
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat st;
    int err = fd < 0 ? errno : verify_opened(fd, 1, &st);
    if (err == 0 && work_is_remembered(path) && !work_matches(path, &st)) {
        close(fd);
        report_foreign(path);
        return -1;
    }
    if (err == 0 && fchown(fd, uid, gid) != 0)
        err = errno;
    if (err != 0) {
        if (fd >= 0)
            close(fd);
        msg_errmsg(err, "%s", msg_text(MT_CHOWN_FAILED));
        return -1;
    }
    int r = check_owner(fd, uid, gid);
    if (r == 0)
        work_owner_changed(path, uid);
    close(fd);
    return r;
}

int link_file(const char *oldpath, const char *newpath, int expect_failure)
{
    msg_statusmsg(0, msg_text(MT_LINK), oldpath, newpath);
    // Flags 0: a symbolic link as the existing name is linked itself, not
    // its target.
    int r = linkat(AT_FDCWD, oldpath, AT_FDCWD, newpath, 0);
    if (r != 0)
        report_failure(expect_failure, errno, MT_LINK_FAILED);
    return r;
}

namespace {

// Moves `len` bytes with repeated calls of `call` (a read or a write at the
// current offset, given the bytes moved so far) under the time guard: a file
// system may hand them over in pieces.  Returns MT_COUNT when all moved, else
// the text of the failure with its error number in *err; *done counts the
// bytes moved.  `at_end` is the failure of a call that moves nothing (a read
// at the end of the file); MT_COUNT calls again.
template <typename Call>
ntw_text_id move_data(int len, int timeout, ntw_text_id call_failed, ntw_text_id at_end, int *err,
                      int *done, Call call)
{
    *err = 0;
    *done = 0;
    TimeGuard guard(timeout);
    while (*done < len) {
        ssize_t n;
        int call_err;
        do {
            sig_blocking_begin();
            n = call(*done);
            call_err = errno;
            sig_blocking_end();
        } while (interrupted_by_other_signal(static_cast<int>(n), call_err));
        if (timeout_occurred)
            return MT_TIMEOUT;
        if (n < 0) {
            *err = call_err;
            return call_failed;
        }
        if (n == 0 && at_end != MT_COUNT)
            return at_end;
        *done += static_cast<int>(n);
    }
    return MT_COUNT;
}

template <typename Call>
ntw_text_id move_test_data(int timeout, ntw_text_id call_failed, ntw_text_id at_end, int *err,
                           Call call)
{
    int done;
    return move_data(TEST_DATA_LEN, timeout, call_failed, at_end, err, &done, call);
}

int flush_written(int fd)
{
    sig_blocking_begin();
    int r = fsync(fd);
    int err = errno;
    sig_blocking_end();
    if (r != 0) {
        msg_errmsg(err, "%s", msg_text(MT_FLUSH_FAILED));
        return -1;
    }
    return 0;
}

// Where the data steps read and write: the start of the file.
int seek_to_start(int fd)
{
    if (lseek(fd, 0, SEEK_SET) == 0)
        return 0;
    msg_errmsg(errno, "%s", msg_text(MT_SEEK_FAILED));
    return -1;
}

// Moves a record at the start of the file (move_data); a read that meets
// the end of the file stops there.  The bytes moved, or -1 reported.
template <typename Call>
int move_record(int fd, int size, int timeout, ntw_text_id call_failed, ntw_text_id at_end,
                Call call)
{
    clear_timeout();
    if (seek_to_start(fd) != 0)
        return -1;
    int err;
    int done;
    ntw_text_id failure = move_data(size, timeout, call_failed, at_end, &err, &done, call);
    if (failure != MT_COUNT && failure != at_end) {
        msg_errmsg(err, "%s", msg_text(failure));
        return -1;
    }
    return done;
}

} // namespace

// Reads the ten bytes of the test data from the current offset; bytes after
// the tenth are not looked at.
int read_file(int fd, int timeout)
{
    char buf[TEST_DATA_LEN + 1] = {};
    int err;

    clear_timeout();
    msg_statusmsg(0, "%s", msg_text(MT_READ));
    ntw_text_id failure =
        move_test_data(timeout, MT_READ_FAILED, MT_READ_SIZE_BAD, &err, [&](int done) {
            return read(fd, buf + done, static_cast<size_t>(TEST_DATA_LEN - done));
        });
    if (failure != MT_COUNT) {
        msg_errmsg(err, "%s", msg_text(failure));
        return -1;
    }
    if (memcmp(buf, TEST_DATA, TEST_DATA_LEN) != 0) {
        msg_errmsg(0, msg_text(MT_READ_DATA_BAD), buf);
        return -1;
    }
    return 0;
}

// Writes the ten bytes of the test data at the current offset and flushes
// them to the file system.
int write_file(int fd, int timeout)
{
    int err;

    clear_timeout();
    msg_statusmsg(0, "%s", msg_text(MT_WRITE));
    ntw_text_id failure = move_test_data(timeout, MT_WRITE_FAILED, MT_COUNT, &err, [&](int done) {
        return write(fd, TEST_DATA + done, static_cast<size_t>(TEST_DATA_LEN - done));
    });
    if (failure != MT_COUNT) {
        msg_errmsg(err, "%s", msg_text(failure));
        return -1;
    }
    return flush_written(fd);
}

int read_data(int fd, char *buf, int size, int timeout)
{
    return move_record(fd, size, timeout, MT_READ_FAILED, MT_READ_SIZE_BAD,
                       [&](int at) { return read(fd, buf + at, static_cast<size_t>(size - at)); });
}

int write_data(int fd, const char *buf, int size, int timeout)
{
    if (move_record(fd, size, timeout, MT_WRITE_FAILED, MT_COUNT, [&](int at) {
            return write(fd, buf + at, static_cast<size_t>(size - at));
        }) < 0)
        return -1;
    return flush_written(fd);
}

// Reads the test data back from the file system, not from this host's
// memory: the file's cached pages are dropped first (the write has flushed
// them, so none is dirty; O_DIRECT would also bypass the cache, but many
// network file systems refuse it), so that a server that lost the bytes is
// seen.  The file must then hold exactly the ten bytes.
int read_back_file(int fd, int timeout)
{
    int err = posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    if (err != 0) {
        msg_errmsg(err, "%s", msg_text(MT_READ_FAILED));
        return -1;
    }
    if (read_file(fd, timeout) != 0)
        return -1;
    struct stat st;
    if (fstat(fd, &st) != 0) {
        msg_errmsg(errno, "%s", msg_text(MT_READ_FAILED));
        return -1;
    }
    if (st.st_size != TEST_DATA_LEN) {
        msg_errmsg(0, "%s", msg_text(MT_READ_SIZE_BAD));
        return -1;
    }
    return 0;
}

// Waits until the file is gone: an open of it fails with "no such file".
int wait_file_exists(const char *path, time_t start, int limit)
{
    msg_statusmsg(0, msg_text(MT_WAIT_DELETED), path);
    for (;;) {
        int err = 0;
        int fd = open_for_poll(path, O_RDWR | O_SYNC, &err);
        if (fd < 0 && is_gone(err))
            return 0;
        int ignored;
        if (fd >= 0)
            flush_and_close(fd, &ignored);
        if (is_timeout_occured(start, limit))
            return -1;
        sleep_poll_interval();
    }
}

// Waits until the file can be opened (it was created).  Before each look a
// sibling file is created, written, flushed and removed, which makes a
// network file system refresh what it knows of the directory.
int wait_file_no_exists(const char *path, time_t start, int limit)
{
    msg_statusmsg(0, msg_text(MT_WAIT_CREATED), path);
    char probe[PROBE_NAME_LEN];
    int len = snprintf(probe, sizeof probe, "%s.EXCL", path);
    if (len < 0 || len >= static_cast<int>(sizeof probe))
        return -1;
    add_deletefilename(probe);
    for (;;) {
        // A probe left by an earlier run that was killed is reused; anything
        // else found under the name is never written to.
        int err = 0;
        int pfd = open_for_poll(probe, O_RDWR | O_SYNC | O_CREAT, &err);
        struct stat st;
        int refused = pfd < 0 ? err : verify_opened(pfd, 1, &st);
        if (refused != 0) {
            if (pfd >= 0)
                close(pfd);
            msg_errmsg(refused, "%s", msg_text(MT_OPEN_FAILED));
            return -1;
        }
        // Failures of the probe's own write, flush and removal are of no
        // interest: only its creation tells whether the directory is usable.
        ssize_t written = write(pfd, "1", 1);
        (void)written;
        int ignored;
        flush_and_close(pfd, &ignored);
        unlink(probe);

        int fd = open_for_poll(path, O_RDWR | O_SYNC, &err);
        if (fd >= 0) {
            close(fd);
            return 0;
        }
        if (is_timeout_occured(start, limit))
            return -1;
        sleep_poll_interval();
    }
}

// ---------------------------------------------------------------------------
// Locks
//
// Traps of POSIX locks that the tests are built around:
// - fcntl record locks belong to the process and the file, not to the
//   descriptor: closing ANY descriptor of the file (even one opened
//   elsewhere for another purpose) drops all the process's locks on it.
// - Locks are not inherited across fork: a child holds none of its
//   parent's locks, which is why a second party must lock for itself.
// - A process never conflicts with itself: re-locking its own byte, even
//   shared over exclusive, is granted and simply converts the lock.  A
//   conflict can only be seen from another process.
// - On Linux lockf is built on fcntl locks, so the two kinds interact (a
//   lockf lock conflicts with another process's fcntl lock on the same
//   bytes); on other systems they may be independent.  Keep them apart.

namespace {

const char *lock_word(int exclusive)
{
    return msg_text(exclusive ? MT_LOCKWORD_EXCLUSIVE : MT_LOCKWORD_SHARED);
}

// One fcntl request on byte 0, under the time guard.  Returns the result;
// the errno of the call in *err.
int guarded_fcntl(int fd, int command, short type, int timeout, int *err)
{
    struct flock fl = {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = 0;
    fl.l_len = 1;
    int r;
    TimeGuard guard(timeout);
    do {
        sig_blocking_begin();
        r = fcntl(fd, command, &fl);
        *err = errno;
        sig_blocking_end();
    } while (interrupted_by_other_signal(r, *err));
    return r;
}

// The end of a lock request that the file system did not grant.  Only
// EACCES and EAGAIN say that a conflicting lock stands in the way (fcntl
// and lockf answer a conflict with one of them); any other error (ENOLCK of
// a lock service that is not running, EIO, ...) says nothing about the
// partner's lock.  A refusal that the caller expects is a progress line;
// everything else an error line.
int lock_failure(int err, int exclusive, int expect_refusal)
{
    if (expect_refusal && (err == EACCES || err == EAGAIN)) {
        msg_statusmsg(err, msg_text(MT_LOCK_FAILED), lock_word(exclusive));
        return NTW_LOCK_REFUSED;
    }
    msg_errmsg(err, msg_text(MT_LOCK_FAILED), lock_word(exclusive));
    return -1;
}

} // namespace

int lock_file(int fd, int exclusive, int wait, int timeout, int expect_refusal)
{
    clear_timeout();
    msg_statusmsg(0, msg_text(MT_LOCK), lock_word(exclusive));
    int err = 0;
    int r =
        guarded_fcntl(fd, wait ? F_SETLKW : F_SETLK, exclusive ? F_WRLCK : F_RDLCK, timeout, &err);
    if (timeout_occurred) {
        report_timeout(r < 0 ? err : 0);
        return -1;
    }
    return r == 0 ? 0 : lock_failure(err, exclusive, expect_refusal);
}

int unlock_file(int fd, int timeout)
{
    clear_timeout();
    msg_statusmsg(0, "%s", msg_text(MT_UNLOCK));
    int err = 0;
    int r = guarded_fcntl(fd, F_SETLK, F_UNLCK, timeout, &err);
    if (timeout_occurred) {
        report_timeout(r < 0 ? err : 0);
        return -1;
    }
    if (r != 0) {
        msg_errmsg(err, "%s", msg_text(MT_UNLOCK_FAILED));
        return -1;
    }
    return 0;
}

// Whole-file lock from the current offset to the end of the file and
// beyond.  A waiting request (F_LOCK) that runs into the time-out counts as
// done: the caller only needs to know that the lock was honoured.
int lockf_file(int fd, int command, int timeout, int expect_refusal)
{
    clear_timeout();
    if (command == F_ULOCK)
        msg_statusmsg(0, "%s", msg_text(MT_UNLOCK));
    else
        msg_statusmsg(0, msg_text(MT_LOCK), lock_word(1));
    int r;
    int err;
    {
        TimeGuard guard(timeout);
        do {
            sig_blocking_begin();
            r = lockf(fd, command, 0);
            err = errno;
            sig_blocking_end();
        } while (interrupted_by_other_signal(r, err));
    }
    if (timeout_occurred) {
        report_timeout(r < 0 ? err : 0);
        return command == F_LOCK ? 0 : -1;
    }
    if (r == 0)
        return 0;
    if (command != F_ULOCK)
        return lock_failure(err, 1, expect_refusal);
    msg_errmsg(err, "%s", msg_text(MT_UNLOCK_FAILED));
    return -1;
}

// ---------------------------------------------------------------------------
// Deletion registry
//
// A singly linked list in registration order behind the fixed head
// fname_list; list_head is the tail.  The signal handler may walk it at any
// moment (delete_allfile_async_safe), so a node is complete before the
// store that links it in.

namespace {

struct DeleteNode {
    char name[DELETE_NAME_LEN];
    DeleteNode *next;
};

DeleteNode fname_list = {};
DeleteNode *list_head = &fname_list;

} // namespace

void add_deletefilename(const char *name)
{
    // A name that does not fit would be cut into another file's name.
    if (strlen(name) >= DELETE_NAME_LEN)
        return;
    DeleteNode *node = static_cast<DeleteNode *>(calloc(1, sizeof(DeleteNode)));
    if (node == nullptr)
        return;
    strcpy(node->name, name);
    std::atomic_signal_fence(std::memory_order_release);
    list_head->next = node;
    list_head = node;
}

// Unlinks every registered name, then empties the list before freeing it,
// so a signal handler running meanwhile never follows a freed node.
// Only the main process deletes: a forked partner shares the directories
// but not the ownership of the files.
void delete_allfile(void)
{
    if (!sig_is_main_process())
        return;
    delete_allfile_async_safe();
    DeleteNode *node = fname_list.next;
    fname_list.next = nullptr;
    list_head = &fname_list;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    while (node != nullptr) {
        DeleteNode *next = node->next;
        free(node);
        node = next;
    }
}

void delete_allfile_async_safe(void)
{
    if (!sig_is_main_process())
        return;
    for (const DeleteNode *node = fname_list.next; node != nullptr; node = node->next)
        unlink(node->name);
}

int get_dirname(const char *path, char *out, unsigned size)
{
    const char *slash = strrchr(path, '/');
    if (slash == nullptr)
        return -1;
    size_t n = static_cast<size_t>(slash - path);
    if (n > size)
        n = size;
    memcpy(out, path, n);
    out[n] = '\0';
    return 0;
}
