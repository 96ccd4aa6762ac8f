// Fault injection for the end-to-end scenarios, loaded into the checker with
// LD_PRELOAD.  It makes one kind of file operation on the checker's work
// files misbehave the way a faulty or partial network file system does, for
// every process that has it loaded (forked children inherit it with the
// process image).  Synchronisation files are left alone, so pairing still
// works, unless the fault names them.  Only the calls that the checker makes
// are taken over.
//
// Configuration, read only by this library:
//   NTWFAULT        the fault's name (see the calls below)
//   NTWFAULT_DIR    only work files directly in this directory
//   NTWFAULT_KIND   "single" (.#ZEMLOCK.host.pid.N) or "mutual" (.#ZEMLOCK.N);
//                   for the sync-file fault: .#ZEMLOCK.host.pid.master or
//                   .#ZEMLOCK.master
//   NTWFAULT_FILE   one more path to treat as a work file (the operator's
//                   target file of mode userapl)
//   NTWFAULT_LOG    file to which one line per applied fault is appended, so
//                   a test can tell that the fault really took effect
//   NTWFAULT_HOST   only processes on the host of this name (a fault of one
//                   client of a network file system; default: every host)
//   NTWFAULT_AT     n: the fault acts only at its nth occasion in the
//                   checker's own process (the faults that say so below),
//                   never in its forked children
//
// The faults:
//   open-hang           opening a work file never returns
//   create-enospc       creating a work file fails with ENOSPC (a full disk)
//   open-missing        opening a missing work file for reading succeeds on
//                       an empty file (a stale directory cache)
//   stop-estale         looking at the operator's stop file while it exists
//                       fails with ESTALE (a stale handle)
//   sync-locks-private  record locks on the sync file are seen by their own
//                       process only: requests succeed without locking (a
//                       process never sees its own locks as conflicts)
//   nolock              record lock requests succeed without locking
//   lockwait-never      a waiting record lock request is never granted (AT)
//   lock-refused-once   a record lock request that does not wait is refused
//                       although the region is free (AT, by default the first)
//   lock-conflict-hang  a lock request that must be refused never returns
//                       (the lock server does not answer it) (AT)
//   lock-enolck         a lock request that does not wait and must be
//                       refused fails with ENOLCK (no lock service running)
//   lockwait-at-once    a waiting record lock request of the checker's own
//                       process on a held region is granted at once without
//                       locking (its forked lock holders really lock)
//   nolockf             lockf requests succeed without locking
//   link-refused        a hard link under a new name is refused (EPERM)
//   link-over           a hard link over an existing name succeeds
//   read-short          reads return one byte at a time (correct behaviour)
//   write-short         writes take one byte at a time (correct behaviour)
//   read-garbage        the byte at offset 9 reads as 'X'
//   fsync-eio           fsync fails with EIO
//   write-lost          the written bytes reach only this host's cache: once
//                       it is dropped, the file is empty (the server lost them)
//   chown-eperm         the owner change is refused (EPERM)
//   chown-ignored       the owner change reports success and changes nothing
//   stale-read          a work file read again from its start through the
//                       same descriptor serves what the first read there got
//                       (a client that keeps its cached pages)
//   write-ignored       writes to a work file report success and write
//                       nothing
//   hide-capability     record locks on the sync file beyond the pairing's
//                       bytes 0 to 7 succeed without locking (an instance
//                       of an earlier release, as seen by its partner)
//   chown-owner-only    the owner change changes the owner and not the group
//   open-existing-eacces  opening a work file that exists fails with EACCES,
//                       as where the hosts map their users differently (AT)
//   unlink-fail         unlink removes the file and still reports ENOENT, like
//                       a retried request whose first reply was lost (an
//                       unlink refusal that keeps the file is not offered: the
//                       checker's files would then stay behind, and its later
//                       tests would run on the stale names)

// The library defines the libc entry points under their own names: no
// large-file renaming and no fortified inline wrappers.
#undef _FILE_OFFSET_BITS
#undef _FORTIFY_SOURCE

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int MAX_FD = 4096;

enum Role : unsigned char { OTHER, WORK, SYNC };

const char *s_fault = "", *s_kind = "", *s_file = "", *s_log = "";
char s_prefix[4096]; // "<NTWFAULT_DIR>/.#ZEMLOCK."
int s_at;            // the one occasion at which the fault acts; 0: every one
pid_t s_checker;     // the process that loaded the library
Role s_role[MAX_FD]; // what each descriptor is open on
struct {
    int fd = -1; // "stale-read": what the first read at the start of fd got
    char bytes[256];
    size_t len;
} s_first_read;

// The next definition of a libc entry point, looked up once: after that no
// lock and no allocation, so it is safe in signal handlers and forked
// children.
#define REAL(fn)                                                                                   \
    ([]() {                                                                                        \
        static decltype(&::fn) real;                                                               \
        if (real == nullptr)                                                                       \
            real = reinterpret_cast<decltype(&::fn)>(dlsym(RTLD_NEXT, #fn));                       \
        return real;                                                                               \
    }())

// A setting; "" when it is not given.
const char *setting(const char *name)
{
    const char *value = getenv(name);
    return value != nullptr ? value : "";
}

__attribute__((constructor)) void read_configuration()
{
    const char *host = setting("NTWFAULT_HOST");
    char name[256] = "";
    gethostname(name, sizeof name - 1);
    if (*host == '\0' || strcmp(host, name) == 0)
        s_fault = setting("NTWFAULT");
    snprintf(s_prefix, sizeof s_prefix, "%s/.#ZEMLOCK.", setting("NTWFAULT_DIR"));
    s_kind = setting("NTWFAULT_KIND");
    s_file = setting("NTWFAULT_FILE");
    s_log = setting("NTWFAULT_LOG");
    s_checker = getpid();
    s_at = atoi(setting("NTWFAULT_AT"));
    if (s_at == 0 && strcmp(s_fault, "lock-refused-once") == 0)
        s_at = 1;
}

bool is(const char *fault)
{
    return strcmp(s_fault, fault) == 0;
}

// Counts an occasion of the fault; whether it acts at it.
bool due()
{
    static int seen;
    return s_at == 0 || (getpid() == s_checker && ++seen == s_at);
}

// Whether the file is one of the role's (WORK or SYNC): directly in the
// configured directory, named ".#ZEMLOCK.<host>.<pid>.<last>" (a single
// test's file) or ".#ZEMLOCK.<last>" (a mutual test's file) as the
// configured kind says, its last part "master" for the sync file and a
// number for a work file (the presence and probe files end otherwise); or,
// for WORK, the configured target file.
bool is_path(const char *path, Role role)
{
    if (role == WORK && *s_file != '\0' && strcmp(path, s_file) == 0)
        return true;
    const size_t pl = strlen(s_prefix);
    if (strncmp(path, s_prefix, pl) != 0 || strchr(path + pl, '/') != nullptr)
        return false;
    const char *name = path + pl, *dot = strrchr(name, '.');
    const char *last = dot != nullptr ? dot + 1 : name;
    const bool named = role == SYNC ? strcmp(last, "master") == 0
                                    : *last != '\0' && strspn(last, "0123456789") == strlen(last);
    return named && (*s_kind == '\0' || strcmp(s_kind, last == name ? "mutual" : "single") == 0);
}

bool is_fd(int fd, Role role)
{
    return fd >= 0 && fd < MAX_FD && s_role[fd] == role;
}

void remember(int fd, Role role)
{
    if (fd >= 0 && fd < MAX_FD)
        s_role[fd] = role;
}

// Appends "<fault>\n" to the log in one write, so lines of forked
// children do not interleave.
void note()
{
    if (*s_log == '\0')
        return;
    int saved = errno;
    char line[64];
    int n = snprintf(line, sizeof line, "%s\n", s_fault);
    int fd = REAL(open64)(s_log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    (void)!REAL(write)(fd, line, static_cast<size_t>(n) < sizeof line ? n : sizeof line - 1);
    REAL(close)(fd);
    errno = saved;
}

// The fault's answer in place of the call's: done although nothing was
// done (err 0), or failed with err.  A call fails with EINTR only once a
// signal has been handled: until then it blocks, like a request that the
// file system never answers.
int answer(int err)
{
    note();
    if (err == EINTR) {
        sigset_t current;
        sigprocmask(SIG_SETMASK, nullptr, &current);
        sigsuspend(&current);
    }
    if (err == 0)
        return 0;
    errno = err;
    return -1;
}

bool is_refusal(int r)
{
    return r != 0 && (errno == EAGAIN || errno == EACCES);
}

// The result of a lock request that does not wait; the lock server never
// answers one that it must refuse, or fails it for want of a lock service.
int refusal_answer(int r)
{
    if (is_refusal(r) && (is("lock-conflict-hang") || is("lock-enolck")) && due())
        return answer(is("lock-enolck") ? ENOLCK : EINTR);
    return r;
}

bool exists(const char *path)
{
    struct stat st;
    return lstat(path, &st) == 0;
}

} // namespace

extern "C" {

int open64(const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = (flags & O_CREAT) != 0 ? static_cast<mode_t>(va_arg(ap, int)) : 0;
    va_end(ap);
    // While the stop file exists; once it is really gone, the look says so.
    const char *slash = strrchr(path, '/');
    if (is("stop-estale") && (flags & O_CREAT) == 0 && slash != nullptr &&
        strcmp(slash, "/ZEMSTOP.stop") == 0 && exists(path))
        return answer(ESTALE);
    const bool work = is_path(path, WORK);
    if (work && is("open-hang"))
        return answer(EINTR);
    if (work && (flags & O_CREAT) != 0 && is("create-enospc") && !exists(path))
        return answer(ENOSPC);
    if (work && is("open-existing-eacces") && exists(path) && due())
        return answer(EACCES);
    int fd = REAL(open64)(path, flags, mode);
    if (fd < 0 && errno == ENOENT && work && (flags & (O_CREAT | O_ACCMODE)) == O_RDONLY &&
        is("open-missing")) {
        fd = memfd_create("ntwfault", MFD_CLOEXEC);
        note();
    }
    remember(fd, work ? WORK : is_path(path, SYNC) ? SYNC : OTHER);
    return fd;
}

int close(int fd)
{
    remember(fd, OTHER);
    s_first_read.fd = s_first_read.fd == fd ? -1 : s_first_read.fd;
    return REAL(close)(fd);
}

int fcntl64(int fd, int cmd, ...)
{
    va_list ap;
    va_start(ap, cmd);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    if (cmd != F_SETLK && cmd != F_SETLKW)
        return REAL(fcntl64)(fd, cmd, arg);
    const bool work = is_fd(fd, WORK);
    const bool locking = static_cast<struct flock *>(arg)->l_type != F_UNLCK;
    const bool sync = is_fd(fd, SYNC);
    if ((work && is("nolock")) || (sync && is("sync-locks-private")) ||
        (sync && static_cast<struct flock *>(arg)->l_start > 7 && is("hide-capability")))
        return answer(0);
    if (work && cmd == F_SETLKW && locking && is("lockwait-never") && due())
        return answer(EINTR);
    if (work && cmd == F_SETLKW && locking && is("lockwait-at-once") && getpid() == s_checker) {
        int r = REAL(fcntl64)(fd, F_SETLK, arg);
        return is_refusal(r) ? answer(0) : r;
    }
    if (work && cmd == F_SETLK && locking && is("lock-refused-once") && due())
        return answer(EAGAIN);
    int r = REAL(fcntl64)(fd, cmd, arg);
    return work && cmd == F_SETLK && locking ? refusal_answer(r) : r;
}

int lockf64(int fd, int cmd, off64_t len)
{
    const bool work = is_fd(fd, WORK);
    if (work && is("nolockf"))
        return answer(0);
    int r = REAL(lockf64)(fd, cmd, len);
    return work && cmd == F_TLOCK ? refusal_answer(r) : r;
}

int linkat(int olddirfd, const char *oldpath, int newdirfd, const char *newpath, int flags)
{
    const bool work = is_path(newpath, WORK);
    if (work && is("link-refused") && !exists(newpath))
        return answer(EPERM);
    int r = REAL(linkat)(olddirfd, oldpath, newdirfd, newpath, flags);
    return work && r != 0 && errno == EEXIST && is("link-over") ? answer(0) : r;
}

ssize_t read(int fd, void *buf, size_t count)
{
    if (!is_fd(fd, WORK))
        return REAL(read)(fd, buf, count);
    if (count > 1 && is("read-short")) {
        note();
        count = 1;
    }
    off_t at = lseek(fd, 0, SEEK_CUR);
    if (at == 0 && s_first_read.fd == fd && is("stale-read")) {
        const size_t n = count < s_first_read.len ? count : s_first_read.len;
        memcpy(buf, s_first_read.bytes, n);
        lseek(fd, static_cast<off_t>(n), SEEK_SET);
        note();
        return static_cast<ssize_t>(n);
    }
    ssize_t n = REAL(read)(fd, buf, count);
    if (at == 0 && n > 0 && is("stale-read")) {
        s_first_read.fd = fd;
        s_first_read.len = static_cast<size_t>(n) < sizeof s_first_read.bytes
                               ? static_cast<size_t>(n)
                               : sizeof s_first_read.bytes;
        memcpy(s_first_read.bytes, buf, s_first_read.len);
    }
    // The byte at offset 9, the last of the ten test-data bytes, changes.
    if (n > 0 && at <= 9 && at + n > 9 && is("read-garbage")) {
        static_cast<char *>(buf)[9 - at] = 'X';
        note();
    }
    return n;
}

ssize_t write(int fd, const void *buf, size_t count)
{
    if (count > 1 && is_fd(fd, WORK) && is("write-short")) {
        note();
        count = 1;
    }
    if (is_fd(fd, WORK) && is("write-ignored")) {
        note();
        return static_cast<ssize_t>(count);
    }
    return REAL(write)(fd, buf, count);
}

int fsync(int fd)
{
    return is_fd(fd, WORK) && is("fsync-eio") ? answer(EIO) : REAL(fsync)(fd);
}

int posix_fadvise64(int fd, off64_t offset, off64_t len, int advice)
{
    if (is_fd(fd, WORK) && advice == POSIX_FADV_DONTNEED && is("write-lost")) {
        note();
        REAL(ftruncate64)(fd, 0);
    }
    return REAL(posix_fadvise64)(fd, offset, len, advice);
}

int fchown(int fd, uid_t owner, gid_t group)
{
    if (is_fd(fd, WORK) && (is("chown-eperm") || is("chown-ignored")))
        return answer(is("chown-eperm") ? EPERM : 0);
    if (is_fd(fd, WORK) && is("chown-owner-only")) {
        note();
        group = static_cast<gid_t>(-1);
    }
    return REAL(fchown)(fd, owner, group);
}

int unlink(const char *path)
{
    int r = REAL(unlink)(path);
    return r == 0 && is("unlink-fail") && is_path(path, WORK) ? answer(ENOENT) : r;
}

} // extern "C"
