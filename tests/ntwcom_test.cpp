// Tests of the file primitives: real files, pipes and FIFOs, and a real
// second process holding locks.
#include "testutil.h"

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <dlfcn.h>
#include <fcntl.h>
#include <functional>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace ntwtest;

// Opens of names ending in ".eio" fail with EIO, as on a network file
// system whose server does not answer; every other open goes through.
extern "C" int open64(const char *path, int flags, ...)
{
    static auto real =
        reinterpret_cast<int (*)(const char *, int, ...)>(dlsym(RTLD_NEXT, "open64"));
    va_list ap;
    va_start(ap, flags);
    mode_t mode = (flags & (O_CREAT | O_TMPFILE)) != 0 ? va_arg(ap, mode_t) : 0;
    va_end(ap);
    const size_t n = strlen(path);
    if (n > 4 && strcmp(path + n - 4, ".eio") == 0) {
        errno = EIO;
        return -1;
    }
    return real(path, flags, mode);
}

namespace {

using Lines = std::vector<std::string>;

// A second process holding a lock (fcntl on byte `start`, or lockf on the
// whole file) until destroyed, or until release_after_ms.
class LockHolder {
public:
    LockHolder(const std::string &path, bool whole, short type, off_t start, int release_ms = -1)
    {
        int ready[2];
        EXPECT_EQ(0, pipe(ready));
        pid_ = fork();
        if (pid_ == 0) {
            int fd = open(path.c_str(), O_RDWR);
            struct flock fl = {type, SEEK_SET, start, 1, 0};
            char c = (whole ? lockf(fd, F_LOCK, 0) : fcntl(fd, F_SETLKW, &fl)) == 0 ? 'L' : 'E';
            if (write(ready[1], &c, 1) != 1 || release_ms < 0)
                pause();
            usleep(static_cast<useconds_t>(release_ms) * 1000);
            _exit(0);
        }
        char c = 0;
        EXPECT_TRUE(read(ready[0], &c, 1) == 1 && c == 'L') << "the holder has no lock";
        close(ready[0]);
        close(ready[1]);
    }
    ~LockHolder()
    {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }

private:
    pid_t pid_;
};

class ComTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_pid = getpid();
        ASSERT_EQ(start_report_log(log_), 0);
        clear_flag();
    }
    void TearDown() override
    {
        msg_finish();
        delete_allfile();
    }
    Lines lines() const { return split_lines(read_file_bytes(log_)); }
    void clear_lines() const { ASSERT_EQ(truncate(log_.c_str(), 0), 0); }
    // Every guarded primitive clears the time-out flag.
    void clear_flag() const
    {
        int fd = open(log_.c_str(), O_RDONLY);
        unlock_file(fd, 2);
        close(fd);
        clear_lines();
    }
    int make_file(const std::string &path, const std::string &content) const
    {
        write_file_bytes(path, content);
        return open(path.c_str(), O_RDWR);
    }

    TempDir dir_{"ntwcom"}, logdir_{"ntwcomlog"};
    std::string log_ = logdir_.file("report.log"), file_ = dir_.file("work");
};

// What the time guard must leave as it found it: umask, pending alarm,
// SIGALRM disposition, mask and pending state.
std::string process_state()
{
    const mode_t mask = umask(0);
    umask(mask);
    struct sigaction sa = {};
    sigaction(SIGALRM, nullptr, &sa);
    sigset_t blocked, pending;
    sigprocmask(SIG_SETMASK, nullptr, &blocked);
    sigpending(&pending);
    const unsigned left = alarm(0);
    return "umask " + std::to_string(mask) + " alarm " + std::to_string(left) + " handler " +
           std::to_string(reinterpret_cast<uintptr_t>(sa.sa_handler)) + " flags " +
           std::to_string(sa.sa_flags & SA_RESTART) + " blocked " +
           std::to_string(sigismember(&blocked, SIGALRM)) + " pending " +
           std::to_string(sigismember(&pending, SIGALRM));
}

bool sentinel_called = false;
void sentinel_handler(int)
{
    sentinel_called = true;
}

// Each checked operation returns its result, sets the time-out flag only
// when it timed out, and reports exactly its lines (a failure the caller
// expects is a progress line, any other an error line).  Around each, the
// time guard leaves umask, alarm and SIGALRM disposition and mask as they
// were, with SIGALRM blocked for every other row.
TEST_F(ComTest, CheckedOperationsReportTheirOutcomeAndLeaveTheProcessStateAsItWas)
{
    const std::string other = dir_.file("other"), missing = dir_.file("missing");
    const std::string link_name = dir_.file("link"), victim = logdir_.file("victim");
    const std::string fifo = dir_.file("fifo"), whole = dir_.file("whole");
    const std::string created = dir_.file("new"), data = dir_.file("data"), third = dir_.file("3");
    // Names planted where the checker forms its own: links to a victim file
    // (whose content and mode must stay), a dangling link, a FIFO.
    const std::string alias = dir_.file("alias"), dangling = dir_.file("dangling");
    const std::string absent = logdir_.file("absent"), probed = dir_.file("probed");
    write_file_bytes(victim, "precious");
    ASSERT_EQ(chmod(victim.c_str(), 0640) | symlink(victim.c_str(), link_name.c_str()) |
                  link(victim.c_str(), alias.c_str()) | symlink(absent.c_str(), dangling.c_str()) |
                  symlink(victim.c_str(), (probed + ".EXCL").c_str()),
              0);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    int fd = make_file(file_, "ab"), whole_fd = make_file(whole, ""), empty[2], full[2];
    ASSERT_EQ(0, pipe(empty) | pipe2(full, O_NONBLOCK));
    while (write(full[1], victim.c_str(), 8) > 0) {
    }
    fcntl(full[1], F_SETFL, 0);
    LockHolder fcntl_holder(file_, false, F_WRLCK, 0), lockf_holder(whole, true, F_WRLCK, 0);
    // A lock request against another process's lock on byte 0 or 1,
    // released after release_ms (-1: held throughout).
    const std::string locks = dir_.file("locks");
    write_file_bytes(locks, "");
    auto against = [&](short held, off_t start, int exclusive, int wait, int release_ms = -1,
                       int expected = 0) {
        return [=] {
            LockHolder holder(locks, false, held, start, release_ms);
            int f = open(locks.c_str(), O_RDWR), r = lock_file(f, exclusive, wait, 20, expected);
            close(f);
            return r;
        };
    };
    // An operation while another process acts half a second later.
    auto meanwhile = [](const std::function<void()> &act, const std::function<int()> &op) {
        const pid_t actor = fork();
        if (actor == 0) {
            usleep(500000);
            act();
            _exit(0);
        }
        const int r = op();
        return waitpid(actor, nullptr, 0) == actor ? r : 9;
    };
    auto write_pieces = [&] {
        for (const char *piece : {"123", "4567", "890"})
            if (write(empty[1], piece, strlen(piece)) > 0)
                usleep(100000);
    };
    auto read_of = [&](const char *content) {
        return [=] {
            int f = make_file(data, content), r = read_file(f, 2);
            close(f);
            return r;
        };
    };
    const std::string open_line = report_line(0, filled(MT_OPEN, file_)),
                      link_line = report_line(0, filled(MT_LINK, file_, other));
    const std::string read_line = progress(MT_READ), size_bad = error_line(MT_READ_SIZE_BAD);
    const std::string excl_word = catalog(MT_LOCKWORD_EXCLUSIVE),
                      shared_word = catalog(MT_LOCKWORD_SHARED);
    const std::string excl = report_line(0, filled(MT_LOCK, excl_word)),
                      shared = report_line(0, filled(MT_LOCK, shared_word));
    const std::string timed_out = error_line(MT_TIMEOUT);
    const std::string under = file_ + "/under", eio = dir_.file("work.eio"),
                      made = dir_.file("made");
    const std::string later = dir_.file("later"), no_dir = dir_.file("no-dir/work"),
                      stale = dir_.file("stale");
    write_file_bytes(later, "");
    write_file_bytes(stale + ".EXCL", "left by a killed run");
    auto deletion = [](const std::string &p) { return report_line(0, filled(MT_WAIT_DELETED, p)); };
    auto creation = [](const std::string &p) { return report_line(0, filled(MT_WAIT_CREATED, p)); };
    // An owner change to the running user, refused before any change.
    auto chown_of = [](const std::string &path) {
        return [path] { return change_owner(path.c_str(), "", ""); };
    };
    auto chown_line = [](const std::string &path) {
        char text[2048];
        snprintf(text, sizeof text, catalog(MT_CHOWN).c_str(), path.c_str(),
                 static_cast<int>(getuid()), static_cast<int>(getgid()));
        return report_line(0, text);
    };
    const struct {
        const char *name;
        std::function<int()> op;
        int result, times_out;
        Lines expected;
    } rows[] = {
        // clang-format off
        {"open to create", [&] { return close(open_file(created.c_str(), O_RDWR | O_CREAT, 0666, 2, 0)); }, 0, 0, {report_line(0, filled(MT_OPEN, created))}},
        {"open missing, expected", [&] { return open_file(missing.c_str(), O_RDONLY, 0, 2, 1); }, -1, 0, {report_line(0, filled(MT_OPEN, missing)), report_line(0, filled(MT_OPEN_FAILED), ENOENT)}},
        {"open existing exclusively", [&] { return open_file(file_.c_str(), O_RDWR | O_CREAT | O_EXCL, 0666, 2, 0); }, -1, 0, {open_line, report_line(1, filled(MT_OPEN_FAILED), EEXIST)}},
        {"open a planted link", [&] { return open_file(link_name.c_str(), O_RDWR | O_TRUNC, 0, 2, 0); }, -1, 0, {report_line(0, filled(MT_OPEN, link_name)), report_line(1, filled(MT_OPEN_FAILED), ELOOP)}},
        {"open a fifo", [&] { return open_file(fifo.c_str(), O_RDONLY, 0, 1, 0); }, -1, 0, {report_line(0, filled(MT_OPEN, fifo)), report_line(1, filled(MT_OPEN_FAILED), EINVAL)}},
        {"create through a planted link", [&] { return open_file(dangling.c_str(), O_RDWR | O_CREAT, 0666, 2, 0); }, -1, 0, {report_line(0, filled(MT_OPEN, dangling)), report_line(1, filled(MT_OPEN_FAILED), ELOOP)}},
        {"change owner through a planted link", chown_of(link_name), -1, 0, {chown_line(link_name), report_line(1, filled(MT_CHOWN_FAILED), ELOOP)}},
        {"change owner of a planted hard link", chown_of(alias), -1, 0, {chown_line(alias), report_line(1, filled(MT_CHOWN_FAILED), EMLINK)}},
        {"change owner of a fifo", chown_of(fifo), -1, 0, {chown_line(fifo), report_line(1, filled(MT_CHOWN_FAILED), EINVAL)}},
        {"wait, probe name planted", [&] { return wait_file_no_exists(probed.c_str(), time(nullptr), 30); }, -1, 0, {report_line(0, filled(MT_WAIT_CREATED, probed)), report_line(1, filled(MT_OPEN_FAILED), ELOOP)}},
        // A wait for deletion ends on "no such file" only: any other failed
        // look (EIO) says nothing, and the wait goes on to its time-out.
        {"wait for deletion, gone", [&] { return wait_file_exists(missing.c_str(), 0, 1); }, 0, 0, {deletion(missing)}},
        {"wait for deletion, not a directory", [&] { return wait_file_exists(under.c_str(), 0, 1); }, 0, 0, {deletion(under)}},
        {"wait for deletion, EIO", [&] { return wait_file_exists(eio.c_str(), time(nullptr), 1); }, -1, 1, {deletion(eio), timed_out}},
        {"wait for deletion, deleted later", [&] { return meanwhile([&] { unlink(later.c_str()); }, [&] { return wait_file_exists(later.c_str(), time(nullptr), 30); }); }, 0, 0, {deletion(later)}},
        {"wait for creation, made later", [&] { return meanwhile([&] { close(creat(made.c_str(), 0666)); }, [&] { return wait_file_no_exists(made.c_str(), time(nullptr), 30); }); }, 0, 0, {creation(made)}},
        {"wait for creation, no directory", [&] { return wait_file_no_exists(no_dir.c_str(), time(nullptr), 30); }, -1, 0, {creation(no_dir), report_line(1, filled(MT_OPEN_FAILED), ENOENT)}},
        // A probe left by a killed run is reused.
        {"wait for creation, stale probe", [&] { return wait_file_no_exists(stale.c_str(), time(nullptr), 1); }, -1, 1, {creation(stale), timed_out}},
        {"close nothing", [] { return close_file(-1); }, 0, 0, {}},
        {"close bad", [] { return close_file(1000); }, -1, 0, {report_line(0, filled(MT_CLOSE)), report_line(1, filled(MT_CLOSE_FAILED), EBADF)}},
        {"link", [&] { return link_file(file_.c_str(), other.c_str(), 0); }, 0, 0, {link_line}},
        {"link again, expected", [&] { return link_file(file_.c_str(), other.c_str(), 1); }, -1, 0, {link_line, report_line(0, filled(MT_LINK_FAILED), EEXIST)}},
        {"link again", [&] { return link_file(file_.c_str(), other.c_str(), 0); }, -1, 0, {link_line, report_line(1, filled(MT_LINK_FAILED), EEXIST)}},
        // Two links where the checker made the second itself; a third is not its own.
        {"open a second link", [&] { return open_file(other.c_str(), O_RDWR, 0, 2, 0); }, -1, 0, {report_line(0, filled(MT_OPEN, other)), report_line(1, filled(MT_OPEN_FAILED), EMLINK)}},
        {"open both links", [&] { return close(open_file_max_links(other.c_str(), O_RDWR, 0, 2, 0, 2)); }, 0, 0, {report_line(0, filled(MT_OPEN, other))}},
        {"open three links", [&] { return link(file_.c_str(), third.c_str()) | open_file_max_links(other.c_str(), O_RDWR, 0, 2, 0, 2); }, -1, 0, {report_line(0, filled(MT_OPEN, other)), report_line(1, filled(MT_OPEN_FAILED), EMLINK)}},
        {"delete", [&] { return unlink(third.c_str()) | delete_file(other.c_str()); }, 0, 0, {report_line(0, filled(MT_DELETE, other))}},
        {"delete again", [&] { return delete_file(other.c_str()); }, -1, 0, {report_line(0, filled(MT_DELETE, other)), report_line(1, filled(MT_DELETE_FAILED), ENOENT)}},
        {"write at the end", [&] { return lseek(fd, 2, SEEK_SET) == 2 ? write_file(fd, 2) : 9; }, 0, 0, {report_line(0, filled(MT_WRITE))}},
        {"read at the end", [&] { return read_file(fd, 2); }, -1, 0, {read_line, size_bad}},
        {"read after seek", [&] { return lseek(fd, 2, SEEK_SET) == 2 ? read_file(fd, 2) : 9; }, 0, 0, {read_line}},
        {"read empty", read_of(""), -1, 0, {read_line, size_bad}},
        {"read short", read_of("12345"), -1, 0, {read_line, size_bad}},
        {"read wrong data", read_of("123456789X"), -1, 0, {read_line, report_line(1, filled(MT_READ_DATA_BAD, "123456789X"))}},
        {"read more", read_of("1234567890 and more"), 0, 0, {read_line}},
        {"read in short pieces", [&] { return meanwhile(write_pieces, [&] { return read_file(empty[0], 5); }); }, 0, 0, {read_line}},
        {"read bad", [] { return read_file(-1, 2); }, -1, 0, {read_line, report_line(1, filled(MT_READ_FAILED), EBADF)}},
        {"read empty pipe", [&] { return read_file(empty[0], 1); }, -1, 1, {read_line, timed_out}},
        {"write read-only", [&] { return write_file(open(file_.c_str(), O_RDONLY), 2); }, -1, 0, {report_line(0, filled(MT_WRITE)), report_line(1, filled(MT_WRITE_FAILED), EBADF)}},
        {"write full pipe", [&] { return write_file(full[1], 1); }, -1, 1, {report_line(0, filled(MT_WRITE)), timed_out}},
        {"waiting lock", [&] { return lock_file(fd, 1, 1, 1, 0); }, -1, 1, {excl, report_line(1, filled(MT_TIMEOUT), EINTR)}},
        {"unlock", [&] { return unlock_file(fd, 2); }, 0, 0, {report_line(0, filled(MT_UNLOCK))}},
        // A whole-file lock still not granted at the time-out counts as taken.
        {"lockf waiting", [&] { return lockf_file(whole_fd, F_LOCK, 1, 0); }, 0, 1, {excl, report_line(1, filled(MT_TIMEOUT), EINTR)}},
        {"lockf refused, expected", [&] { return lockf_file(whole_fd, F_TLOCK, 1, 1); }, -1, 0, {excl, report_line(0, filled(MT_LOCK_FAILED, catalog(MT_LOCKWORD_EXCLUSIVE)), EAGAIN)}},
        {"lockf free", [&] { return lockf_file(fd, F_TLOCK, 2, 0); }, 0, 0, {excl}},
        // A request that does not wait conflicts only with another process's lock on byte 0.
        {"shared, shared held", against(F_RDLCK, 0, 0, 0), 0, 0, {shared}},
        {"exclusive, shared held", against(F_RDLCK, 0, 1, 0), -1, 0, {excl, report_line(1, filled(MT_LOCK_FAILED, excl_word), EAGAIN)}},
        {"shared, exclusive held", against(F_WRLCK, 0, 0, 0), -1, 0, {shared, report_line(1, filled(MT_LOCK_FAILED, shared_word), EAGAIN)}},
        {"shared, exclusive held, expected", against(F_WRLCK, 0, 0, 0, -1, 1), -1, 0, {shared, report_line(0, filled(MT_LOCK_FAILED, shared_word), EAGAIN)}},
        {"exclusive, byte 1 held", against(F_WRLCK, 1, 1, 0), 0, 0, {excl}},
        {"waiting, released", against(F_WRLCK, 0, 1, 1, 1000), 0, 0, {excl}},
        // clang-format on
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
        const bool blocked = i % 2 == 1;
        SCOPED_TRACE(std::string(rows[i].name) + (blocked ? ", SIGALRM blocked" : ""));
        clear_flag();
        struct sigaction sa = {};
        sa.sa_handler = sentinel_handler;
        sa.sa_flags = SA_RESTART;
        sigaction(SIGALRM, &sa, nullptr);
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGALRM);
        sigprocmask(blocked ? SIG_BLOCK : SIG_UNBLOCK, &set, nullptr);
        umask(027);
        const std::string before = process_state();
        EXPECT_EQ(rows[i].op(), rows[i].result);
        EXPECT_EQ(get_is_timeout(), rows[i].times_out);
        EXPECT_EQ(lines(), rows[i].expected);
        EXPECT_EQ(before, process_state());
        sigprocmask(SIG_UNBLOCK, &set, nullptr);
    }
    EXPECT_FALSE(sentinel_called);
    signal(SIGALRM, SIG_DFL);
    EXPECT_EQ(read_file_bytes(file_), "ab1234567890");
    EXPECT_EQ(read_file_bytes(victim), "precious");
    EXPECT_NE(access(absent.c_str(), F_OK), 0) << "created through a link";
    EXPECT_FALSE(access((made + ".EXCL").c_str(), F_OK) == 0 ||
                 access((stale + ".EXCL").c_str(), F_OK) == 0)
        << "a probe file was left";
    struct stat st;
    ASSERT_EQ(stat(victim.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    ASSERT_EQ(stat(created.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0666u) << "created under umask 027";
    umask(022);
    for (int d : {fd, whole_fd, empty[0], empty[1], full[0], full[1]})
        close(d);
}

TEST_F(ComTest, ChangeOwnerResolvesOwnerAndGroupAsGiven)
{
    if (getuid() != 0)
        GTEST_SKIP() << "changing a file's owner to another user needs root";
    const passwd nobody = *getpwnam("nobody"); // copied: the look-ups below reuse it
    write_file_bytes(file_, "x");
    struct stat st;
    EXPECT_EQ(change_owner(file_.c_str(), "nobody", ""), 0);
    ASSERT_EQ(stat(file_.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, nobody.pw_uid);
    EXPECT_EQ(st.st_gid, nobody.pw_gid) << "empty group: the owner's primary group";
    EXPECT_EQ(change_owner(file_.c_str(), "", "no-such-group"), 0) << "group is not looked up";
    EXPECT_EQ(change_owner(file_.c_str(), "nobody", "no-such-group"), -1);
    EXPECT_EQ(change_owner(file_.c_str(), "no-such-user", ""), -1);
    ASSERT_EQ(stat(file_.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u) << "a failed look-up changed the owner";
    // An unknown group is a progress line, an unknown user an error line,
    // each with whatever errno the name service left.
    const Lines got = lines();
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[2].rfind(report_line(0, filled(MT_CHOWN_GROUP_FAILED, "no-such-group")), 0), 0u);
    EXPECT_EQ(got[3].rfind(report_line(1, filled(MT_CHOWN_USER_FAILED, "no-such-user")), 0), 0u);
}

TEST_F(ComTest, TimeoutCheckFiresOnlyBeyondTheLimitOnce)
{
    EXPECT_EQ(is_timeout_occured(0, 0), 0) << "limit 0 never times out";
    for (;;) { // elapsed equal to the limit is not a time-out
        const time_t now = time(nullptr);
        const int r = is_timeout_occured(now - 5, 5);
        if (time(nullptr) == now) {
            EXPECT_EQ(r, 0);
            break;
        }
        clear_flag();
    }
    EXPECT_EQ(is_timeout_occured(time(nullptr) - 6, 5), 1);
    EXPECT_EQ(is_timeout_occured(time(nullptr), 0), 1) << "a set flag wins over limit 0";
    EXPECT_EQ(lines(), Lines{error_line(MT_TIMEOUT)}) << "the time-out line is written once";
}

TEST_F(ComTest, SyncPauseLastsThreeSecondsDespiteAnInterruptingSignal)
{
    struct sigaction sa = {}, old = {};
    sa.sa_handler = sentinel_handler;
    sigaction(SIGALRM, &sa, &old);
    sentinel_called = false;
    alarm(1);
    const time_t start = time(nullptr);
    wait_sync_processing();
    EXPECT_GE(time(nullptr) - start, 2) << "the pause was cut short by the signal";
    EXPECT_TRUE(sentinel_called) << "no signal came during the pause";
    sigaction(SIGALRM, &old, nullptr);
}

// The work-file names are registered (the scenario rows that plant them pin
// their form); only the main process deletes the registered files, and
// delete_allfile also empties the registry.
TEST_F(ComTest, WorkFileNamesAreRegisteredAndOnlyTheMainProcessDeletesThem)
{
    char single[NTW_WORKNAME_LEN], pair[NTW_WORKNAME_LEN] = "untouched";
    EXPECT_EQ(create_path(NTW_MODE_USERAPL, dir_.path().c_str(), 0, pair, 1), -1);
    EXPECT_STREQ(pair, "untouched");
    ASSERT_EQ(create_path(NTW_MODE_SINGLE, dir_.path().c_str(), 0, single, 321), 0);
    ASSERT_EQ(create_path(NTW_MODE_DOUBLE, dir_.path().c_str(), 1, pair, 0), 0);
    add_deletefilename(dir_.file("a").c_str());
    for (const std::string &name : {std::string(single), std::string(pair), dir_.file("a")})
        write_file_bytes(name, "x");
    if (fork() == 0) {
        delete_allfile_async_safe();
        delete_allfile();
        _exit(0);
    }
    wait(nullptr);
    EXPECT_EQ(dir_.entries().size(), 3u) << "a forked child deleted";
    delete_allfile_async_safe();
    EXPECT_EQ(dir_.entries(), Lines{});
    write_file_bytes(dir_.file("a"), "x");
    delete_allfile();
    EXPECT_EQ(dir_.entries(), Lines{});
    write_file_bytes(dir_.file("a"), "x");
    delete_allfile();
    EXPECT_EQ(dir_.entries(), Lines{"a"}) << "the registry was emptied";
}

} // namespace
