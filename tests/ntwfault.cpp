// Fault injection for the end-to-end scenarios, loaded into the checker with
// LD_PRELOAD.  It makes one kind of file operation on the checker's work
// files misbehave the way a faulty or partial network file system does, for
// every process that has it loaded (forked children inherit it with the
// process image).  Synchronisation files are left alone, so pairing still
// works, unless the fault names them.  Only the calls that the checker and
// the operator's application make are taken over.
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
constexpr char WORK_PREFIX[] = ".#ZEMLOCK.";

const char *s_fault = "", *s_dir = "", *s_kind, *s_file, *s_log;
bool s_work_fd[MAX_FD]; // descriptors open on work files
// Per sync-file descriptor, a private file whose locks stand in for the
// sync file's (0: none): another process never sees them.
int s_standin[MAX_FD];
bool s_refused_once; // the one refusal of "lock-refused-once" has been made

template <typename T> T next_symbol(T &cache, const char *name)
{
    if (cache == nullptr)
        cache = reinterpret_cast<T>(dlsym(RTLD_NEXT, name));
    return cache;
}

#define REAL(fn)                                                                                   \
    ([]() {                                                                                        \
        static decltype(&::fn) real;                                                               \
        return next_symbol(real, #fn);                                                             \
    }())

// A setting; nullptr when it is not given or empty.
const char *setting(const char *name)
{
    const char *value = getenv(name);
    return value != nullptr && *value != '\0' ? value : nullptr;
}

__attribute__((constructor)) void read_configuration()
{
    const char *host = setting("NTWFAULT_HOST");
    char name[256] = "";
    gethostname(name, sizeof name - 1);
    if (setting("NTWFAULT") != nullptr && (host == nullptr || strcmp(host, name) == 0))
        s_fault = setting("NTWFAULT");
    s_dir = setting("NTWFAULT_DIR") != nullptr ? setting("NTWFAULT_DIR") : "";
    s_kind = setting("NTWFAULT_KIND");
    s_file = setting("NTWFAULT_FILE");
    s_log = setting("NTWFAULT_LOG");
}

bool is(const char *fault)
{
    return strcmp(s_fault, fault) == 0;
}

// The name after WORK_PREFIX of a file directly in the configured
// directory; nullptr for any other path.
const char *work_name(const char *path)
{
    const char *slash = strrchr(path, '/');
    size_t dl = strlen(s_dir);
    if (slash == nullptr || static_cast<size_t>(slash - path) != dl ||
        strncmp(path, s_dir, dl) != 0 || strncmp(slash + 1, WORK_PREFIX, sizeof WORK_PREFIX - 1))
        return nullptr;
    return slash + sizeof WORK_PREFIX;
}

bool kind_is(bool mutual)
{
    return s_kind == nullptr || strcmp(s_kind, mutual ? "mutual" : "single") == 0;
}

// The last dot-separated part of a name of the work-file pattern:
// "<host>.<pid>.<part>" in mode single, "<part>" in the mutual tests.
const char *last_part(const char *name)
{
    const char *dot = strrchr(name, '.');
    return dot != nullptr ? dot + 1 : name;
}

// A work file (a number as its last part: not the sync file, a presence
// file or a probe), or the configured target file.
bool is_work_path(const char *path)
{
    if (s_file != nullptr && strcmp(path, s_file) == 0)
        return true;
    const char *name = work_name(path);
    const char *part = name != nullptr ? last_part(name) : "";
    return *part != '\0' && strspn(part, "0123456789") == strlen(part) && kind_is(part == name);
}

bool is_sync_path(const char *path)
{
    const char *name = work_name(path);
    return name != nullptr && strcmp(last_part(name), "master") == 0 &&
           kind_is(last_part(name) == name);
}

bool in_table(int fd)
{
    return fd >= 0 && fd < MAX_FD;
}

bool is_work_fd(int fd)
{
    return in_table(fd) && s_work_fd[fd];
}

// Appends "<fault>\n" to the log in one write, so lines of forked
// children do not interleave.
void note()
{
    if (s_log == nullptr)
        return;
    int saved = errno;
    char line[64];
    int n = snprintf(line, sizeof line, "%s\n", s_fault);
    int fd = REAL(open64)(s_log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    (void)!REAL(write)(fd, line, static_cast<size_t>(n) < sizeof line ? n : sizeof line - 1);
    REAL(close)(fd);
    errno = saved;
}

bool applies(const char *fault, const char *path)
{
    return is(fault) && path != nullptr && is_work_path(path);
}

bool applies_fd(const char *fault, int fd)
{
    return is(fault) && is_work_fd(fd);
}

int fail(int err)
{
    note();
    errno = err;
    return -1;
}

// A call reported done although nothing was done.
int pretend()
{
    note();
    return 0;
}

// Blocks until a signal has been handled, like a request that the file
// system never answers; the interrupted call fails with EINTR.
int block_until_signal()
{
    note();
    sigset_t current;
    sigprocmask(SIG_SETMASK, nullptr, &current);
    sigsuspend(&current);
    errno = EINTR;
    return -1;
}

bool exists(const char *path)
{
    struct stat st;
    return lstat(path, &st) == 0;
}

void drop_standin(int fd)
{
    if (in_table(fd) && s_standin[fd] > 0) {
        REAL(close)(s_standin[fd]);
        s_standin[fd] = 0;
    }
}

} // namespace

extern "C" {

int open64(const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = (flags & O_CREAT) != 0 ? static_cast<mode_t>(va_arg(ap, int)) : 0;
    va_end(ap);
    // Looking at the stop file while it exists fails as on a file system
    // whose handles went stale; once it is really gone the look says so.
    const char *slash = strrchr(path, '/');
    if (is("stop-estale") && (flags & O_CREAT) == 0 && slash != nullptr &&
        strcmp(slash, "/ZEMSTOP.stop") == 0 && exists(path))
        return fail(ESTALE);
    const bool work = is_work_path(path);
    if (work && is("open-hang"))
        return block_until_signal();
    if (work && (flags & O_CREAT) != 0 && is("create-enospc") && !exists(path))
        return fail(ENOSPC);
    int fd = REAL(open64)(path, flags, mode);
    if (fd < 0 && errno == ENOENT && work && (flags & (O_CREAT | O_ACCMODE)) == O_RDONLY &&
        is("open-missing")) {
        // A stale directory cache: the name still opens, on no data.
        fd = memfd_create("ntwfault", MFD_CLOEXEC);
        note();
    }
    if (in_table(fd)) {
        s_work_fd[fd] = work;
        drop_standin(fd);
        if (is("sync-locks-private") && is_sync_path(path)) {
            s_standin[fd] = memfd_create("ntwfault-sync", MFD_CLOEXEC);
            note();
        }
    }
    return fd;
}

int close(int fd)
{
    if (in_table(fd))
        s_work_fd[fd] = false;
    drop_standin(fd);
    return REAL(close)(fd);
}

int fcntl64(int fd, int cmd, ...)
{
    va_list ap;
    va_start(ap, cmd);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    using Fn = int (*)(int, int, ...);
    static Fn real;
    next_symbol(real, "fcntl64");
    const bool setting = cmd == F_SETLK || cmd == F_SETLKW;
    if (setting && in_table(fd) && s_standin[fd] > 0)
        return real(s_standin[fd], cmd, arg);
    const bool locking = setting && static_cast<struct flock *>(arg)->l_type != F_UNLCK;
    if (cmd == F_SETLKW && locking && applies_fd("lockwait-never", fd))
        return block_until_signal();
    if (setting && applies_fd("nolock", fd))
        return pretend();
    if (cmd == F_SETLK && locking && !s_refused_once && applies_fd("lock-refused-once", fd)) {
        s_refused_once = true;
        return fail(EAGAIN);
    }
    int r = real(fd, cmd, arg);
    // The lock server never answers a request that it must refuse.
    if (r != 0 && (errno == EAGAIN || errno == EACCES) && cmd == F_SETLK && locking &&
        applies_fd("lock-conflict-hang", fd))
        return block_until_signal();
    return r;
}

int lockf64(int fd, int cmd, off64_t len)
{
    if (applies_fd("nolockf", fd))
        return pretend();
    int r = REAL(lockf64)(fd, cmd, len);
    if (r != 0 && (errno == EAGAIN || errno == EACCES) && cmd == F_TLOCK &&
        applies_fd("lock-conflict-hang", fd))
        return block_until_signal();
    return r;
}

int linkat(int olddirfd, const char *oldpath, int newdirfd, const char *newpath, int flags)
{
    if (applies("link-refused", newpath) && !exists(newpath))
        return fail(EPERM);
    int r = REAL(linkat)(olddirfd, oldpath, newdirfd, newpath, flags);
    if (r != 0 && errno == EEXIST && applies("link-over", newpath))
        return pretend();
    return r;
}

ssize_t read(int fd, void *buf, size_t count)
{
    if (!is_work_fd(fd))
        return REAL(read)(fd, buf, count);
    if (count > 1 && is("read-short")) {
        note();
        count = 1;
    }
    off_t at = lseek(fd, 0, SEEK_CUR);
    ssize_t n = REAL(read)(fd, buf, count);
    // The byte at offset 9, the last of the ten test-data bytes, changes.
    if (n > 0 && at <= 9 && at + n > 9 && is("read-garbage")) {
        static_cast<char *>(buf)[9 - at] = 'X';
        note();
    }
    return n;
}

ssize_t write(int fd, const void *buf, size_t count)
{
    if (count > 1 && applies_fd("write-short", fd)) {
        note();
        count = 1;
    }
    return REAL(write)(fd, buf, count);
}

int fsync(int fd)
{
    return applies_fd("fsync-eio", fd) ? fail(EIO) : REAL(fsync)(fd);
}

// The owner change, on a file the checker has opened: refused, or reported
// done without changing anything.
int fchown(int fd, uid_t owner, gid_t group)
{
    if (applies_fd("chown-eperm", fd))
        return fail(EPERM);
    if (applies_fd("chown-ignored", fd))
        return pretend();
    return REAL(fchown)(fd, owner, group);
}

// The failing unlink removes the file and still reports ENOENT, like a
// retried request whose first reply was lost.  (An unlink refusal that keeps
// the file is not offered: the checker's files would then stay behind, and
// its later tests would run on the stale names.)
int unlink(const char *path)
{
    int r = REAL(unlink)(path);
    return applies("unlink-fail", path) ? fail(r == 0 ? ENOENT : errno) : r;
}

} // extern "C"
