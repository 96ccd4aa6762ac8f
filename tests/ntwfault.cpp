// Fault injection for the detection tests, loaded into the checker with
// LD_PRELOAD.  It makes chosen file operations on the checker's work files
// misbehave the way a faulty or partial network file system does, for every
// process that has it loaded (forked children inherit it with the process
// image).  Synchronisation files are left alone, so pairing still works,
// unless a fault names them.
//
// Configuration, read only by this library:
//   NTWFAULT        comma-separated fault names (see s_faults below)
//   NTWFAULT_DIR    only work files directly in this directory (default: all)
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
// large-file renaming (off_t is 64 bits on the platforms it is built for)
// and no fortified inline wrappers.
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
#include <sys/types.h>
#include <unistd.h>

namespace {

enum Fault : unsigned {
    F_NOLOCK = 1u << 0,              // fcntl record locks succeed without locking
    F_LOCKWAIT_NEVER = 1u << 1,      // a waiting record lock is never granted
    F_NOLOCKF = 1u << 2,             // lockf succeeds without locking
    F_OPEN_MISSING = 1u << 3,        // a missing file opens for reading
    F_LINK_OVER = 1u << 4,           // a hard link over an existing name succeeds
    F_READ_GARBAGE = 1u << 5,        // the byte at offset 9 reads back as 'X'
    F_READ_SHORT = 1u << 6,          // reads return one byte at a time
    F_FSYNC_EIO = 1u << 7,           // fsync fails with EIO
    F_CHOWN_EPERM = 1u << 8,         // owner change refused with EPERM
    F_UNLINK_FAIL = 1u << 9,         // unlink removes the file but reports ENOENT
    F_OPEN_HANG = 1u << 10,          // open blocks until a signal, then EINTR
    F_CREATE_ENOSPC = 1u << 11,      // creating a file fails with ENOSPC
    F_WRITE_SHORT = 1u << 12,        // writes take one byte at a time
    F_CONFLICT_HANG = 1u << 13,      // a lock request that must be refused never returns
    F_SYNC_LOCKS_PRIVATE = 1u << 14, // sync-file locks are seen by their own process only
    F_STOP_ESTALE = 1u << 15,        // looking at an existing stop file fails with ESTALE
    F_CHOWN_IGNORED = 1u << 16,      // owner change reports success and changes nothing
    F_REFUSED_ONCE = 1u << 17,       // the first lock request that does not wait is refused
};

struct FaultName {
    const char *name;
    Fault fault;
};

constexpr FaultName s_faults[] = {
    {"nolock", F_NOLOCK},
    {"lockwait-never", F_LOCKWAIT_NEVER},
    {"nolockf", F_NOLOCKF},
    {"open-missing", F_OPEN_MISSING},
    {"link-over", F_LINK_OVER},
    {"read-garbage", F_READ_GARBAGE},
    {"read-short", F_READ_SHORT},
    {"fsync-eio", F_FSYNC_EIO},
    {"chown-eperm", F_CHOWN_EPERM},
    {"unlink-fail", F_UNLINK_FAIL},
    {"open-hang", F_OPEN_HANG},
    {"create-enospc", F_CREATE_ENOSPC},
    {"write-short", F_WRITE_SHORT},
    {"lock-conflict-hang", F_CONFLICT_HANG},
    {"sync-locks-private", F_SYNC_LOCKS_PRIVATE},
    {"stop-estale", F_STOP_ESTALE},
    {"chown-ignored", F_CHOWN_IGNORED},
    {"lock-refused-once", F_REFUSED_ONCE},
};

constexpr int MAX_FD = 4096;
constexpr char WORK_PREFIX[] = ".#ZEMLOCK.";
constexpr char STOP_NAME[] = "ZEMSTOP.stop";

unsigned s_active;
const char *s_dir;
const char *s_kind;
const char *s_file;
const char *s_log;
bool s_work_fd[MAX_FD]; // descriptors open on work files
// Per sync-file descriptor, a private file whose locks stand in for the
// sync file's (0: none): another process never sees them.
int s_standin[MAX_FD];
bool s_refused_once; // the one refusal of F_REFUSED_ONCE has been made

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

bool on_faulty_host()
{
    const char *host = getenv("NTWFAULT_HOST");
    char name[256] = "";
    gethostname(name, sizeof name - 1);
    return host == nullptr || strcmp(host, name) == 0;
}

__attribute__((constructor)) void read_configuration()
{
    const char *list = getenv("NTWFAULT");
    s_dir = getenv("NTWFAULT_DIR");
    s_kind = getenv("NTWFAULT_KIND");
    s_file = getenv("NTWFAULT_FILE");
    s_log = getenv("NTWFAULT_LOG");
    if (list == nullptr || !on_faulty_host())
        return;
    for (const FaultName &f : s_faults) {
        size_t n = strlen(f.name);
        for (const char *p = list; (p = strstr(p, f.name)) != nullptr; p += n) {
            bool starts = p == list || p[-1] == ',';
            bool ends = p[n] == '\0' || p[n] == ',';
            if (starts && ends)
                s_active |= f.fault;
        }
    }
}

bool ends_with(const char *s, const char *suffix)
{
    size_t ls = strlen(s), lx = strlen(suffix);
    return ls >= lx && strcmp(s + ls - lx, suffix) == 0;
}

bool all_digits(const char *s)
{
    if (*s == '\0')
        return false;
    for (; *s != '\0'; ++s)
        if (*s < '0' || *s > '9')
            return false;
    return true;
}

const char *base_name(const char *path)
{
    const char *slash = strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

bool in_configured_dir(const char *path)
{
    if (s_dir == nullptr)
        return true;
    size_t dl = strlen(s_dir);
    const char *base = base_name(path);
    return base != path && static_cast<size_t>(base - 1 - path) == dl &&
           strncmp(path, s_dir, dl) == 0;
}

bool kind_is(const char *kind)
{
    return s_kind == nullptr || strcmp(s_kind, kind) == 0;
}

// A work file: ".#ZEMLOCK.<...>", but not the sync file (".master"), a
// presence file (".here"), the end-wait file or the probe file (".EXCL");
// or the configured target file.
bool is_work_path(const char *path)
{
    if (path == nullptr)
        return false;
    if (s_file != nullptr && strcmp(path, s_file) == 0)
        return true;
    const char *base = base_name(path);
    if (strncmp(base, WORK_PREFIX, sizeof WORK_PREFIX - 1) != 0)
        return false;
    if (ends_with(base, ".master") || ends_with(base, ".here") ||
        strstr(base, "endwaitfile") != nullptr || ends_with(base, ".EXCL"))
        return false;
    bool mutual = all_digits(base + sizeof WORK_PREFIX - 1);
    return kind_is(mutual ? "mutual" : "single") && in_configured_dir(path);
}

// A sync file: ".#ZEMLOCK.master" (mutual) or ".#ZEMLOCK.<host>.<pid>.master".
bool is_sync_path(const char *path)
{
    const char *base = base_name(path);
    if (strncmp(base, WORK_PREFIX, sizeof WORK_PREFIX - 1) != 0 || !ends_with(base, ".master"))
        return false;
    bool mutual = strcmp(base + sizeof WORK_PREFIX - 1, "master") == 0;
    return kind_is(mutual ? "mutual" : "single") && in_configured_dir(path);
}

bool is_stop_path(const char *path)
{
    return strcmp(base_name(path), STOP_NAME) == 0 && in_configured_dir(path);
}

bool is_work_fd(int fd)
{
    return fd >= 0 && fd < MAX_FD && s_work_fd[fd];
}

void track(int fd, bool work)
{
    if (fd >= 0 && fd < MAX_FD)
        s_work_fd[fd] = work;
}

// Appends "<fault> <detail>\n" to the log in one write, so lines of forked
// children do not interleave.
void note(const char *fault, const char *detail)
{
    if (s_log == nullptr)
        return;
    int saved = errno;
    char line[600];
    int n = snprintf(line, sizeof line, "%s %s\n", fault, detail != nullptr ? detail : "");
    int fd = REAL(open)(s_log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd >= 0) {
        if (n > 0)
            (void)!REAL(write)(fd, line,
                               static_cast<size_t>(n) < sizeof line ? n : sizeof line - 1);
        REAL(close)(fd);
    }
    errno = saved;
}

bool applies(Fault f, const char *path)
{
    return (s_active & f) != 0 && is_work_path(path);
}

bool applies_fd(Fault f, int fd)
{
    return (s_active & f) != 0 && is_work_fd(fd);
}

// Blocks until a signal has been handled, like a request that the file
// system never answers; the interrupted call fails with EINTR.
int block_until_signal()
{
    sigset_t current;
    sigprocmask(SIG_SETMASK, nullptr, &current);
    sigsuspend(&current);
    errno = EINTR;
    return -1;
}

// Relative names under another directory descriptor are never the
// checker's: it always names its files from the directory it was given.
bool names_whole_path(int dirfd, const char *path)
{
    return dirfd == AT_FDCWD || path[0] == '/';
}

bool wants_mode(int flags)
{
    return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
}

// Looking at the stop file (an open without O_CREAT) while it exists fails
// as on a file system whose handles went stale; once it is really gone the
// look says so.
bool fails_stale(const char *path, int flags)
{
    if ((s_active & F_STOP_ESTALE) == 0 || (flags & O_CREAT) != 0 || !is_stop_path(path))
        return false;
    struct stat st;
    if (lstat(path, &st) != 0)
        return false;
    note("stop-estale", path);
    errno = ESTALE;
    return true;
}

void make_standin(int fd, const char *path)
{
    if (fd < 0 || fd >= MAX_FD || (s_active & F_SYNC_LOCKS_PRIVATE) == 0 || !is_sync_path(path))
        return;
    int standin = memfd_create("ntwfault-sync", MFD_CLOEXEC);
    if (standin < 0)
        return;
    s_standin[fd] = standin;
    note("sync-locks-private", path);
}

void drop_standin(int fd)
{
    if (fd >= 0 && fd < MAX_FD && s_standin[fd] > 0) {
        REAL(close)(s_standin[fd]);
        s_standin[fd] = 0;
    }
}

template <typename OpenFn>
int faulty_open(OpenFn real_open, const char *path, int flags, mode_t mode)
{
    if (path != nullptr && fails_stale(path, flags))
        return -1;
    bool work = is_work_path(path);
    if (work && applies(F_OPEN_HANG, path)) {
        note("open-hang", path);
        return block_until_signal();
    }
    if (work && (flags & O_CREAT) != 0 && applies(F_CREATE_ENOSPC, path)) {
        struct stat st;
        if (lstat(path, &st) != 0 && errno == ENOENT) {
            note("create-enospc", path);
            errno = ENOSPC;
            return -1;
        }
    }
    int fd = real_open(path, flags, mode);
    if (fd < 0 && errno == ENOENT && work && (flags & O_CREAT) == 0 &&
        (flags & O_ACCMODE) == O_RDONLY && applies(F_OPEN_MISSING, path)) {
        // A stale directory cache: the name still opens, on no data.
        fd = memfd_create("ntwfault", MFD_CLOEXEC);
        if (fd >= 0)
            note("open-missing", path);
        else
            errno = ENOENT;
    }
    if (fd >= 0) {
        track(fd, work);
        drop_standin(fd);
        make_standin(fd, path);
    }
    return fd;
}

int flock_type(int cmd, void *arg)
{
    switch (cmd) {
    case F_SETLK:
    case F_SETLKW:
    case F_GETLK:
    case F_OFD_SETLK:
    case F_OFD_SETLKW:
    case F_OFD_GETLK:
        return static_cast<struct flock *>(arg)->l_type;
    default:
        return -1;
    }
}

template <typename FcntlFn> int faulty_fcntl(FcntlFn real_fcntl, int fd, int cmd, void *arg)
{
    int type = flock_type(cmd, arg);
    if (type >= 0 && fd >= 0 && fd < MAX_FD && s_standin[fd] > 0)
        return real_fcntl(s_standin[fd], cmd, arg);
    if (type >= 0 && is_work_fd(fd)) {
        bool waiting = cmd == F_SETLKW || cmd == F_OFD_SETLKW;
        bool getting = cmd == F_GETLK || cmd == F_OFD_GETLK;
        if (waiting && type != F_UNLCK && applies_fd(F_LOCKWAIT_NEVER, fd)) {
            note("lockwait-never", "F_SETLKW");
            return block_until_signal();
        }
        if (applies_fd(F_NOLOCK, fd)) {
            note("nolock", getting ? "F_GETLK" : "F_SETLK");
            if (getting)
                static_cast<struct flock *>(arg)->l_type = F_UNLCK;
            return 0;
        }
        bool trying = cmd == F_SETLK || cmd == F_OFD_SETLK;
        if (trying && type != F_UNLCK && !s_refused_once && applies_fd(F_REFUSED_ONCE, fd)) {
            s_refused_once = true;
            note("lock-refused-once", "F_SETLK");
            errno = EAGAIN;
            return -1;
        }
        if (trying && type != F_UNLCK && applies_fd(F_CONFLICT_HANG, fd)) {
            int r = real_fcntl(fd, cmd, arg);
            if (r == 0 || (errno != EAGAIN && errno != EACCES))
                return r;
            // The lock server never answers a request that it must refuse.
            note("lock-conflict-hang", "F_SETLK");
            return block_until_signal();
        }
    }
    return real_fcntl(fd, cmd, arg);
}

template <typename LockfFn> int faulty_lockf(LockfFn real_lockf, int fd, int cmd, off_t len)
{
    if (applies_fd(F_NOLOCKF, fd)) {
        note("nolockf", cmd == F_TEST ? "F_TEST" : "F_LOCK");
        return 0;
    }
    if (cmd == F_TLOCK && applies_fd(F_CONFLICT_HANG, fd)) {
        int r = real_lockf(fd, cmd, len);
        if (r == 0 || (errno != EAGAIN && errno != EACCES))
            return r;
        note("lock-conflict-hang", "F_TLOCK");
        return block_until_signal();
    }
    return real_lockf(fd, cmd, len);
}

// The failing unlink removes the file and still reports ENOENT, like a
// retried request whose first reply was lost.  (An unlink refusal that keeps
// the file is not offered: the checker's files would then stay behind, and
// its later tests would run on the stale names.)
template <typename UnlinkFn> int faulty_unlink(UnlinkFn real_unlink, const char *path)
{
    if (applies(F_UNLINK_FAIL, path)) {
        int r = real_unlink(path);
        note("unlink-fail", path);
        if (r == 0)
            errno = ENOENT;
        return -1;
    }
    return real_unlink(path);
}

// The byte at file offset 9 (the last of the ten test-data bytes) comes
// back changed.
void garble(int fd, char *buf, ssize_t n, off_t at)
{
    for (ssize_t i = 0; i < n; ++i) {
        if (at + i == 9) {
            buf[i] = 'X';
            char detail[32];
            snprintf(detail, sizeof detail, "fd %d", fd);
            note("read-garbage", detail);
        }
    }
}

} // namespace

extern "C" {

int open(const char *path, int flags, ...)
{
    mode_t mode = 0;
    if (wants_mode(flags)) {
        va_list ap;
        va_start(ap, flags);
        mode = static_cast<mode_t>(va_arg(ap, int));
        va_end(ap);
    }
    return faulty_open(REAL(open), path, flags, mode);
}

int open64(const char *path, int flags, ...)
{
    mode_t mode = 0;
    if (wants_mode(flags)) {
        va_list ap;
        va_start(ap, flags);
        mode = static_cast<mode_t>(va_arg(ap, int));
        va_end(ap);
    }
    return faulty_open(REAL(open64), path, flags, mode);
}

int __open_2(const char *path, int flags)
{
    return faulty_open(REAL(open), path, flags, 0);
}

int __open64_2(const char *path, int flags)
{
    return faulty_open(REAL(open64), path, flags, 0);
}

int openat(int dirfd, const char *path, int flags, ...)
{
    mode_t mode = 0;
    if (wants_mode(flags)) {
        va_list ap;
        va_start(ap, flags);
        mode = static_cast<mode_t>(va_arg(ap, int));
        va_end(ap);
    }
    auto real = REAL(openat);
    if (!names_whole_path(dirfd, path)) {
        int fd = real(dirfd, path, flags, mode);
        track(fd, false);
        return fd;
    }
    return faulty_open([real](const char *p, int f, mode_t m) { return real(AT_FDCWD, p, f, m); },
                       path, flags, mode);
}

int openat64(int dirfd, const char *path, int flags, ...)
{
    mode_t mode = 0;
    if (wants_mode(flags)) {
        va_list ap;
        va_start(ap, flags);
        mode = static_cast<mode_t>(va_arg(ap, int));
        va_end(ap);
    }
    auto real = REAL(openat64);
    if (!names_whole_path(dirfd, path)) {
        int fd = real(dirfd, path, flags, mode);
        track(fd, false);
        return fd;
    }
    return faulty_open([real](const char *p, int f, mode_t m) { return real(AT_FDCWD, p, f, m); },
                       path, flags, mode);
}

int close(int fd)
{
    track(fd, false);
    drop_standin(fd);
    return REAL(close)(fd);
}

int fcntl(int fd, int cmd, ...)
{
    va_list ap;
    va_start(ap, cmd);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    return faulty_fcntl(REAL(fcntl), fd, cmd, arg);
}

int fcntl64(int fd, int cmd, ...)
{
    va_list ap;
    va_start(ap, cmd);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    using Fn = int (*)(int, int, ...);
    static Fn real;
    return faulty_fcntl(next_symbol(real, "fcntl64"), fd, cmd, arg);
}

int lockf(int fd, int cmd, off_t len)
{
    return faulty_lockf(REAL(lockf), fd, cmd, len);
}

int lockf64(int fd, int cmd, off64_t len)
{
    return faulty_lockf(REAL(lockf64), fd, cmd, len);
}

int link(const char *oldpath, const char *newpath)
{
    int r = REAL(link)(oldpath, newpath);
    if (r != 0 && errno == EEXIST && applies(F_LINK_OVER, newpath)) {
        note("link-over", newpath);
        return 0;
    }
    return r;
}

int linkat(int olddirfd, const char *oldpath, int newdirfd, const char *newpath, int flags)
{
    int r = REAL(linkat)(olddirfd, oldpath, newdirfd, newpath, flags);
    if (r != 0 && errno == EEXIST && names_whole_path(newdirfd, newpath) &&
        applies(F_LINK_OVER, newpath)) {
        note("link-over", newpath);
        return 0;
    }
    return r;
}

ssize_t read(int fd, void *buf, size_t count)
{
    if (!is_work_fd(fd))
        return REAL(read)(fd, buf, count);
    if (count > 1 && applies_fd(F_READ_SHORT, fd)) {
        note("read-short", "");
        count = 1;
    }
    off_t at = lseek(fd, 0, SEEK_CUR);
    ssize_t n = REAL(read)(fd, buf, count);
    if (n > 0 && at >= 0 && applies_fd(F_READ_GARBAGE, fd))
        garble(fd, static_cast<char *>(buf), n, at);
    return n;
}

ssize_t __read_chk(int fd, void *buf, size_t count, size_t buflen)
{
    if (count > buflen)
        abort();
    return read(fd, buf, count);
}

ssize_t write(int fd, const void *buf, size_t count)
{
    if (count > 1 && applies_fd(F_WRITE_SHORT, fd)) {
        note("write-short", "");
        count = 1;
    }
    return REAL(write)(fd, buf, count);
}

int fsync(int fd)
{
    if (applies_fd(F_FSYNC_EIO, fd)) {
        note("fsync-eio", "");
        errno = EIO;
        return -1;
    }
    return REAL(fsync)(fd);
}

int fdatasync(int fd)
{
    if (applies_fd(F_FSYNC_EIO, fd)) {
        note("fsync-eio", "");
        errno = EIO;
        return -1;
    }
    return REAL(fdatasync)(fd);
}

static int refuse_owner_change(const char *path)
{
    note("chown-eperm", path);
    errno = EPERM;
    return -1;
}

static int ignore_owner_change(const char *path)
{
    note("chown-ignored", path);
    return 0;
}

int chown(const char *path, uid_t owner, gid_t group)
{
    if (applies(F_CHOWN_EPERM, path))
        return refuse_owner_change(path);
    if (applies(F_CHOWN_IGNORED, path))
        return ignore_owner_change(path);
    return REAL(chown)(path, owner, group);
}

int lchown(const char *path, uid_t owner, gid_t group)
{
    if (applies(F_CHOWN_EPERM, path))
        return refuse_owner_change(path);
    if (applies(F_CHOWN_IGNORED, path))
        return ignore_owner_change(path);
    return REAL(lchown)(path, owner, group);
}

int fchownat(int dirfd, const char *path, uid_t owner, gid_t group, int flags)
{
    if (names_whole_path(dirfd, path) && applies(F_CHOWN_EPERM, path))
        return refuse_owner_change(path);
    if (names_whole_path(dirfd, path) && applies(F_CHOWN_IGNORED, path))
        return ignore_owner_change(path);
    return REAL(fchownat)(dirfd, path, owner, group, flags);
}

int fchown(int fd, uid_t owner, gid_t group)
{
    if (applies_fd(F_CHOWN_EPERM, fd))
        return refuse_owner_change("(descriptor)");
    if (applies_fd(F_CHOWN_IGNORED, fd))
        return ignore_owner_change("(descriptor)");
    return REAL(fchown)(fd, owner, group);
}

int unlink(const char *path)
{
    return faulty_unlink(REAL(unlink), path);
}

int unlinkat(int dirfd, const char *path, int flags)
{
    auto real = REAL(unlinkat);
    if (!names_whole_path(dirfd, path))
        return real(dirfd, path, flags);
    return faulty_unlink([real, flags](const char *p) { return real(AT_FDCWD, p, flags); }, path);
}

int remove(const char *path)
{
    return faulty_unlink(REAL(remove), path);
}

} // extern "C"
