// Tests of the file primitives: real files, pipes and FIFOs, and locks held
// through another open file description.
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
#include <tuple>
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
    // Every guarded primitive clears the time-out flag; an unlock of no
    // descriptor changes nothing else.
    void clear_flag() const
    {
        unlock_file(-1, 2);
        ASSERT_EQ(truncate(log_.c_str(), 0), 0);
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
    char state[256];
    snprintf(state, sizeof state, "umask %o alarm %u handler %p restart %d blocked %d pending %d",
             mask, alarm(0), reinterpret_cast<void *>(sa.sa_handler), sa.sa_flags & SA_RESTART,
             sigismember(&blocked, SIGALRM), sigismember(&pending, SIGALRM));
    return state;
}

int sentinel_calls = 0;
void sentinel_handler(int)
{
    ++sentinel_calls;
}

// The failure paths that no passing run reaches (names planted where the
// checker forms its own, link counts, time-outs, failed calls): each
// operation returns its result, sets the time-out flag only when it timed
// out, and reports exactly its lines.  Around each, the time guard leaves
// umask, alarm and SIGALRM disposition and mask as they were, with SIGALRM
// blocked for every other row.
TEST_F(ComTest, CheckedOperationsReportTheirOutcomeAndLeaveTheProcessStateAsItWas)
{
    // Names planted where the checker forms its own: links to a victim file
    // (whose content must stay), a dangling link, a FIFO.
    const std::string link_name = dir_.file("link"), victim = logdir_.file("victim");
    const std::string alias = dir_.file("alias"), dangling = dir_.file("dangling");
    const std::string absent = logdir_.file("absent"), probed = dir_.file("probed");
    const std::string fifo = dir_.file("fifo"), created = dir_.file("new");
    write_file_bytes(victim, "precious");
    ASSERT_EQ(symlink(victim.c_str(), link_name.c_str()) | link(victim.c_str(), alias.c_str()) |
                  symlink(absent.c_str(), dangling.c_str()) |
                  symlink(victim.c_str(), (probed + ".EXCL").c_str()) | mkfifo(fifo.c_str(), 0600),
              0);
    // Links that the checker made itself: two names of one file.
    const std::string other = dir_.file("other"), third = dir_.file("3"), shorter = dir_.file("5");
    write_file_bytes(file_, "");
    write_file_bytes(shorter, "12345");
    const int fd = open(file_.c_str(), O_RDWR), held_fd = open(file_.c_str(), O_RDWR);
    const int short_fd = open(shorter.c_str(), O_RDWR), byte1_fd = open(shorter.c_str(), O_RDWR);
    int empty[2], full[2];
    ASSERT_EQ(0, link(file_.c_str(), other.c_str()) | pipe(empty) | pipe2(full, O_NONBLOCK));
    while (write(full[1], victim.c_str(), 8) > 0) {
    }
    fcntl(full[1], F_SETFL, 0);
    // Locks through other open file descriptions (Linux) conflict with the
    // process's own fcntl and lockf locks as another process's locks would:
    // on the whole work file, and on byte 1 only of the short file.
    struct flock whole = {F_WRLCK, SEEK_SET, 0, 0, 0}, byte1 = {F_WRLCK, SEEK_SET, 1, 1, 0};
    ASSERT_EQ(fcntl(held_fd, F_OFD_SETLK, &whole) | fcntl(byte1_fd, F_OFD_SETLK, &byte1), 0);
    const std::string under = file_ + "/under", eio = dir_.file("work.eio");
    const std::string no_dir = dir_.file("no-dir/work"), stale = dir_.file("stale");
    write_file_bytes(stale + ".EXCL", "left by a killed run");
    // An owner change to the running user, refused before any change.
    auto chown_line = [](const std::string &path) {
        char text[2048];
        snprintf(text, sizeof text, catalog(MT_CHOWN).c_str(), path.c_str(),
                 static_cast<int>(getuid()), static_cast<int>(getgid()));
        return report_line(0, text);
    };
    auto at_the_limit = [] {
        for (const time_t t = time(nullptr); time(nullptr) == t;)
            usleep(1000); // a second has just begun: the check below ends within it
        return is_timeout_occured(time(nullptr) - 5, 5);
    };
    auto said = [](ntw_text_id id, const std::string &p) { return report_line(0, filled(id, p)); };
    auto refused = [](int err) { return report_line(1, filled(MT_OPEN_FAILED), err); };
    const std::string read_line = progress(MT_READ), write_line = progress(MT_WRITE);
    const std::string timed_out = error_line(MT_TIMEOUT);
    const std::string excl = report_line(0, filled(MT_LOCK, catalog(MT_LOCKWORD_EXCLUSIVE)));
    const struct {
        const char *name;
        std::function<int()> op;
        int result, times_out;
        Lines expected;
    } rows[] = {
        // clang-format off
        {"open to create", [&] { return close(open_file(created.c_str(), O_RDWR | O_CREAT, 0666, 2, 0)); }, 0, 0, {said(MT_OPEN, created)}},
        {"open a planted link", [&] { return open_file(link_name.c_str(), O_RDWR | O_TRUNC, 0, 2, 0); }, -1, 0, {said(MT_OPEN, link_name), refused(ELOOP)}},
        {"open a fifo", [&] { return open_file(fifo.c_str(), O_RDONLY, 0, 1, 0); }, -1, 0, {said(MT_OPEN, fifo), refused(EINVAL)}},
        {"create through a planted link", [&] { return open_file(dangling.c_str(), O_RDWR | O_CREAT, 0666, 2, 0); }, -1, 0, {said(MT_OPEN, dangling), refused(ELOOP)}},
        {"open a second link", [&] { return open_file(other.c_str(), O_RDWR, 0, 2, 0); }, -1, 0, {said(MT_OPEN, other), refused(EMLINK)}},
        // Two links where the checker made the second itself; a third is not its own.
        {"open three links", [&] { return link(file_.c_str(), third.c_str()) | open_file_max_links(other.c_str(), O_RDWR, 0, 2, 0, 2); }, -1, 0, {said(MT_OPEN, other), refused(EMLINK)}},
        {"change owner through a planted link", [&] { return change_owner(link_name.c_str(), "", ""); }, -1, 0, {chown_line(link_name), report_line(1, filled(MT_CHOWN_FAILED), ELOOP)}},
        {"change owner of a planted hard link", [&] { return change_owner(alias.c_str(), "", ""); }, -1, 0, {chown_line(alias), report_line(1, filled(MT_CHOWN_FAILED), EMLINK)}},
        {"change owner of a fifo", [&] { return change_owner(fifo.c_str(), "", ""); }, -1, 0, {chown_line(fifo), report_line(1, filled(MT_CHOWN_FAILED), EINVAL)}},
        {"wait, probe name planted", [&] { return wait_file_no_exists(probed.c_str(), time(nullptr), 30); }, -1, 0, {said(MT_WAIT_CREATED, probed), refused(ELOOP)}},
        // A wait for deletion ends on "no such file" only: any other failed
        // look (EIO) says nothing, and the wait goes on to its time-out.
        {"wait for deletion, not a directory", [&] { return wait_file_exists(under.c_str(), 0, 1); }, 0, 0, {said(MT_WAIT_DELETED, under)}},
        {"wait for deletion, EIO", [&] { return wait_file_exists(eio.c_str(), time(nullptr), 1); }, -1, 1, {said(MT_WAIT_DELETED, eio), timed_out}},
        {"wait for creation, no directory", [&] { return wait_file_no_exists(no_dir.c_str(), time(nullptr), 30); }, -1, 0, {said(MT_WAIT_CREATED, no_dir), refused(ENOENT)}},
        // A probe left by a killed run is reused.
        {"wait for creation, stale probe", [&] { return wait_file_no_exists(stale.c_str(), time(nullptr), 1); }, -1, 1, {said(MT_WAIT_CREATED, stale), timed_out}},
        // The holder of a lock pauses before releasing it; a signal whose
        // handler returns (here the row's own alarm) does not cut the pause
        // short.  On a row with SIGALRM unblocked.
        {"pause despite a signal", [] { const time_t t = time(nullptr); alarm(1); wait_sync_processing(); return time(nullptr) - t >= 2 ? 0 : 1; }, 0, 0, {}},
        // The polling waits end only when more than the limit has passed;
        // the time-out line is written once, and a set flag wins over limit 0.
        {"time-out check without a limit", [] { return is_timeout_occured(0, 0); }, 0, 0, {}},
        {"time-out check at the limit", at_the_limit, 0, 0, {}},
        {"time-out check beyond the limit", [] { return is_timeout_occured(time(nullptr) - 6, 5) + is_timeout_occured(time(nullptr), 0); }, 2, 1, {timed_out}},
        {"close bad", [] { return close_file(1000); }, -1, 0, {progress(MT_CLOSE), report_line(1, filled(MT_CLOSE_FAILED), EBADF)}},
        {"read short", [&] { return read_file(short_fd, 2); }, -1, 0, {read_line, error_line(MT_READ_SIZE_BAD)}},
        {"read bad", [] { return read_file(-1, 2); }, -1, 0, {read_line, report_line(1, filled(MT_READ_FAILED), EBADF)}},
        {"read empty pipe", [&] { return read_file(empty[0], 1); }, -1, 1, {read_line, timed_out}},
        {"write full pipe", [&] { return write_file(full[1], 1); }, -1, 1, {write_line, timed_out}},
        {"write read-only", [&] { return write_file(empty[0], 2); }, -1, 0, {write_line, report_line(1, filled(MT_WRITE_FAILED), EBADF)}},
        {"waiting lock", [&] { return lock_file(fd, 1, 1, 1, 0); }, -1, 1, {excl, report_line(1, filled(MT_TIMEOUT), EINTR)}},
        // A whole-file lock still not granted at the time-out counts as taken.
        {"lockf waiting", [&] { return lockf_file(fd, F_LOCK, 1, 0); }, 0, 1, {excl, report_line(1, filled(MT_TIMEOUT), EINTR)}},
        // A request conflicts only with a lock on byte 0.
        {"exclusive, byte 1 held", [&] { return lock_file(short_fd, 1, 0, 2, 0); }, 0, 0, {excl}},
        {"close nothing", [] { return close_file(-1); }, 0, 0, {}},
        // clang-format on
    };
    sentinel_calls = 0;
    struct sigaction sa = {};
    sa.sa_handler = sentinel_handler;
    sa.sa_flags = SA_RESTART;
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGALRM);
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
        const bool blocked = i % 2 == 1;
        SCOPED_TRACE(std::string(rows[i].name) + (blocked ? ", SIGALRM blocked" : ""));
        clear_flag(); // by a guarded primitive: the row's guard must restore what is set here
        sigaction(SIGALRM, &sa, nullptr);
        sigprocmask(blocked ? SIG_BLOCK : SIG_UNBLOCK, &set, nullptr);
        umask(027);
        const std::string before = process_state();
        EXPECT_EQ(rows[i].op(), rows[i].result);
        EXPECT_EQ(get_is_timeout(), rows[i].times_out);
        EXPECT_EQ(split_lines(read_file_bytes(log_)), rows[i].expected);
        EXPECT_EQ(before, process_state());
        sigprocmask(SIG_UNBLOCK, &set, nullptr);
    }
    EXPECT_EQ(sentinel_calls, 1) << "an alarm other than the pause row's reached the handler";
    signal(SIGALRM, SIG_DFL);
    EXPECT_EQ(read_file_bytes(victim), "precious");
    EXPECT_NE(access(absent.c_str(), F_OK), 0) << "created through a link";
    EXPECT_NE(access((stale + ".EXCL").c_str(), F_OK), 0) << "a probe file was left";
    struct stat st;
    ASSERT_EQ(stat(created.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0666u) << "created under umask 027";
    umask(022);
    for (int d : {fd, held_fd, short_fd, byte1_fd, empty[0], empty[1], full[0], full[1]})
        close(d);
}

// An owner given by name brings its primary group unless a group is named;
// without an owner the checker's own ids are used and the group is not
// looked up.
TEST_F(ComTest, ChangeOwnerResolvesOwnerAndGroupAsGiven)
{
    if (getuid() != 0)
        GTEST_SKIP() << "changing a file's owner to another user needs root";
    const passwd nobody = *getpwnam("nobody"); // copied: the look-ups below reuse it
    write_file_bytes(file_, "x");
    const std::tuple<const char *, const char *, uid_t, gid_t> rows[] = {
        {"nobody", "", nobody.pw_uid, nobody.pw_gid},
        {"nobody", "root", nobody.pw_uid, 0},
        {"", "no-such-group", getuid(), getgid()}};
    for (const auto &[owner, group, uid, gid] : rows) {
        struct stat st;
        EXPECT_EQ(change_owner(file_.c_str(), owner, group), 0) << owner << ":" << group;
        EXPECT_TRUE(stat(file_.c_str(), &st) == 0 && st.st_uid == uid && st.st_gid == gid)
            << owner << ":" << group << " gave " << st.st_uid << ":" << st.st_gid;
    }
}

// Only the main process deletes the registered files (a forked partner
// shares the directories, not the files), and delete_allfile also empties
// the registry.
TEST_F(ComTest, OnlyTheMainProcessDeletesTheRegisteredFiles)
{
    write_file_bytes(dir_.file("a"), "x");
    add_deletefilename(dir_.file("a").c_str());
    if (fork() == 0) {
        delete_allfile_async_safe();
        delete_allfile();
        _exit(0);
    }
    wait(nullptr);
    EXPECT_EQ(dir_.entries(), Lines{"a"}) << "a forked child deleted";
    delete_allfile();
    EXPECT_EQ(dir_.entries(), Lines{});
    write_file_bytes(dir_.file("a"), "x");
    delete_allfile();
    EXPECT_EQ(dir_.entries(), Lines{"a"}) << "the registry was emptied";
}

} // namespace
