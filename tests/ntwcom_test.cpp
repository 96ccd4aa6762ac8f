// Tests of the file primitives: real files, pipes and FIFOs, and a lock held
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

// The failure paths that no passing run reaches (names planted where the
// checker forms its own, link counts, time-outs, failed calls): each
// operation returns its result, sets the time-out flag only when it timed
// out, and reports exactly its lines.  Around each, the time guard leaves
// umask, alarm and SIGALRM disposition and mask as they were, with SIGALRM
// blocked for every other row.  Waiting fcntl and lockf locks that run into
// the time-out are left to the detection and operator scenarios.
TEST(ComTest, CheckedOperationsReportTheirOutcomeAndLeaveTheProcessStateAsItWas)
{
    TempDir dir("ntwcom"), logdir("ntwcomlog");
    const std::string log = logdir.file("report.log"), work = dir.file("work");
    ASSERT_EQ(start_report_log(log), 0);
    // Names planted where the checker forms its own: a symbolic and a hard
    // link to a victim file (the hard link makes a followed symbolic link
    // fail with EMLINK, not ELOOP), a FIFO.
    const std::string link_name = dir.file("link"), victim = logdir.file("victim");
    const std::string alias = dir.file("alias"), probed = dir.file("probed");
    const std::string fifo = dir.file("fifo"), created = dir.file("new");
    write_file_bytes(victim, "precious");
    ASSERT_EQ(symlink(victim.c_str(), link_name.c_str()) | link(victim.c_str(), alias.c_str()) |
                  symlink(victim.c_str(), (probed + ".EXCL").c_str()) | mkfifo(fifo.c_str(), 0600),
              0);
    // Files of the checker's own: the work file, with a second name that it
    // made itself, and a file shorter than the test data.
    const std::string other = dir.file("other"), third = dir.file("3"), shorter = dir.file("5");
    const std::string under = work + "/under", eio = dir.file("work.eio");
    const std::string no_dir = dir.file("no-dir/work"), stale = dir.file("stale");
    write_file_bytes(work, "");
    write_file_bytes(shorter, "12345");
    write_file_bytes(stale + ".EXCL", "left by a killed run");
    // Work files: a leftover of an earlier run, nobody's file, and one
    // swapped for a twin of the same owner after its creation.
    const std::string leftover = dir.file("leftover"), theirs = dir.file("theirs");
    const std::string swapped = dir.file("swapped"), twin = dir.file("twin");
    write_file_bytes(leftover, "");
    write_file_bytes(theirs, "");
    write_file_bytes(twin, "");
    ASSERT_EQ(chown(theirs.c_str(), nobody().uid, nobody().gid), 0);
    const int short_fd = open(shorter.c_str(), O_RDWR), byte1_fd = open(shorter.c_str(), O_RDWR);
    int empty[2], full[2];
    ASSERT_EQ(0, link(work.c_str(), other.c_str()) | pipe(empty) | pipe2(full, O_NONBLOCK));
    while (write(full[1], "precious", 8) > 0) {
    }
    fcntl(full[1], F_SETFL, 0);
    // A lock through another open file description (Linux) conflicts with
    // the process's own locks as another process's lock would: on byte 1.
    struct flock byte1 = {F_WRLCK, SEEK_SET, 1, 1, 0};
    ASSERT_EQ(fcntl(byte1_fd, F_OFD_SETLK, &byte1), 0);
    auto chown_line = [](const std::string &path, uid_t uid, gid_t gid) {
        char text[2048];
        snprintf(text, sizeof text, catalog(MT_CHOWN).c_str(), path.c_str(), static_cast<int>(uid),
                 static_cast<int>(gid));
        return report_line(0, text);
    };
    auto said = [](ntw_text_id id, const std::string &p) { return report_line(0, filled(id, p)); };
    auto refused = [](int err) { return report_line(1, filled(MT_OPEN_FAILED), err); };
    auto chown_refused = [](int err) { return report_line(1, filled(MT_CHOWN_FAILED), err); };
    auto foreign = [](const std::string &p) { return report_line(1, filled(MT_WORK_FOREIGN, p)); };
    const std::string timed_out = error_line(MT_TIMEOUT);
    const struct {
        const char *name;
        std::function<int()> op;
        int result, times_out;
        Lines expected;
    } rows[] = {
        // clang-format off
        // The holder of a lock pauses before releasing it; a signal whose
        // handler returns (here the row's own alarm, SIGALRM unblocked on
        // this first row) does not cut the pause short.
        {"pause despite a signal", [] { const time_t t = time(nullptr); alarm(1); wait_sync_processing(); return time(nullptr) - t >= 2 ? 0 : 1; }, 0, 0, {}},
        // Created with exactly the mode asked for, whatever the umask (027).
        {"open to create", [&] { struct stat st; const int fd = open_file(created.c_str(), O_RDWR | O_CREAT, 0666, 2, 0); return fstat(fd, &st) | close(fd) ? -1 : static_cast<int>(st.st_mode & 07777); }, 0666, 0, {said(MT_OPEN, created)}},
        {"open a planted link", [&] { return open_file(link_name.c_str(), O_RDWR | O_TRUNC, 0, 2, 0); }, -1, 0, {said(MT_OPEN, link_name), refused(ELOOP)}},
        {"open a fifo", [&] { return open_file(fifo.c_str(), O_RDONLY, 0, 1, 0); }, -1, 0, {said(MT_OPEN, fifo), refused(EINVAL)}},
        {"open a second link", [&] { return open_file(other.c_str(), O_RDWR, 0, 2, 0); }, -1, 0, {said(MT_OPEN, other), refused(EMLINK)}},
        // Two links where the checker made the second itself; a third is not its own.
        {"open three links", [&] { return link(work.c_str(), third.c_str()) | open_file_max_links(other.c_str(), O_RDWR, 0, 2, 0, 2); }, -1, 0, {said(MT_OPEN, other), refused(EMLINK)}},
        // Without an owner the checker's own ids; a named group replaces the owner's primary group.
        {"change owner through a planted link", [&] { return change_owner(link_name.c_str(), "", ""); }, -1, 0, {chown_line(link_name, getuid(), getgid()), chown_refused(ELOOP)}},
        {"change owner of a planted hard link", [&] { return change_owner(alias.c_str(), "", ""); }, -1, 0, {chown_line(alias, getuid(), getgid()), chown_refused(EMLINK)}},
        {"change owner of a fifo", [&] { return change_owner(fifo.c_str(), "nobody", "root"); }, -1, 0, {chown_line(fifo, nobody().uid, 0), chown_refused(EINVAL)}},
        // Work files: only the file created is acted on, by every later operation.
        {"create over a leftover", [&] { const int fd = create_work_file(leftover.c_str(), 2, 0); return fd < 0 ? -1 : close(fd); }, 0, 0, {said(MT_OPEN, leftover), said(MT_WORK_LEFTOVER_REMOVED, leftover)}},
        // A file that the partner made under the name first is taken as it is.
        {"create a name the partner made first", [&] { struct stat made, got; const int fd = stat(leftover.c_str(), &made) | create_work_file(leftover.c_str(), 2, NTW_WORK_PARTNER_FIRST); return fd < 0 || fstat(fd, &got) || got.st_ino != made.st_ino ? -1 : close(fd); }, 0, 0, {said(MT_OPEN, leftover)}},
        {"create over nobody's file", [&] { return create_work_file(theirs.c_str(), 2, NTW_WORK_SILENT); }, -1, 0, {foreign(theirs)}},
        {"partner's file of another owner", [&] { return open_partner_file(theirs.c_str(), O_RDWR, 2); }, -1, 0, {said(MT_OPEN, theirs), foreign(theirs)}},
        {"open a swapped work file", [&] { close(create_work_file(swapped.c_str(), 2, NTW_WORK_SILENT)); return rename(twin.c_str(), swapped.c_str()) | open_file(swapped.c_str(), O_RDWR, 0, 2, 0); }, -1, 0, {said(MT_OPEN, swapped), foreign(swapped)}},
        {"change owner of a swapped work file", [&] { return change_owner(swapped.c_str(), "nobody", ""); }, -1, 0, {chown_line(swapped, nobody().uid, nobody().gid), foreign(swapped)}},
        {"delete a swapped work file", [&] { return delete_file(swapped.c_str()) | access(swapped.c_str(), F_OK); }, -1, 0, {said(MT_DELETE, swapped), foreign(swapped)}},
        {"wait, probe name planted", [&] { return wait_file_no_exists(probed.c_str(), time(nullptr), 30); }, -1, 0, {said(MT_WAIT_CREATED, probed), refused(ELOOP)}},
        // A wait for deletion ends on "no such file" only: any other failed
        // look (EIO) says nothing, and the wait goes on to its time-out.
        {"wait for deletion, not a directory", [&] { return wait_file_exists(under.c_str(), 0, 1); }, 0, 0, {said(MT_WAIT_DELETED, under)}},
        {"wait for deletion, EIO", [&] { return wait_file_exists(eio.c_str(), time(nullptr), 1); }, -1, 1, {said(MT_WAIT_DELETED, eio), timed_out}},
        {"wait for creation, no directory", [&] { return wait_file_no_exists(no_dir.c_str(), time(nullptr), 30); }, -1, 0, {said(MT_WAIT_CREATED, no_dir), refused(ENOENT)}},
        // A probe left by a killed run is reused.
        {"wait for creation, stale probe", [&] { return wait_file_no_exists(stale.c_str(), time(nullptr), 1); }, -1, 1, {said(MT_WAIT_CREATED, stale), timed_out}},
        // The polling waits end only when more than the limit has passed;
        // the time-out line is written once, and a set flag wins over limit 0.
        {"time-out check without a limit", [] { return is_timeout_occured(0, 0); }, 0, 0, {}},
        // A second has just begun when the check is made: it ends within it.
        {"time-out check at the limit", [] { for (const time_t t = time(nullptr); time(nullptr) == t;) usleep(1000); return is_timeout_occured(time(nullptr) - 5, 5); }, 0, 0, {}},
        {"time-out check beyond the limit", [] { return is_timeout_occured(time(nullptr) - 6, 5) + is_timeout_occured(time(nullptr), 0); }, 2, 1, {timed_out}},
        {"close bad", [] { return close_file(1000); }, -1, 0, {progress(MT_CLOSE), report_line(1, filled(MT_CLOSE_FAILED), EBADF)}},
        {"read short", [&] { return read_file(short_fd, 2); }, -1, 0, {progress(MT_READ), error_line(MT_READ_SIZE_BAD)}},
        {"read bad", [] { return read_file(-1, 2); }, -1, 0, {progress(MT_READ), report_line(1, filled(MT_READ_FAILED), EBADF)}},
        {"read empty pipe", [&] { return read_file(empty[0], 1); }, -1, 1, {progress(MT_READ), timed_out}},
        {"write full pipe", [&] { return write_file(full[1], 1); }, -1, 1, {progress(MT_WRITE), timed_out}},
        {"write read-only", [&] { return write_file(empty[0], 2); }, -1, 0, {progress(MT_WRITE), report_line(1, filled(MT_WRITE_FAILED), EBADF)}},
        // A request conflicts only with a lock on byte 0.
        {"exclusive, byte 1 held", [&] { return lock_file(short_fd, 1, 0, 2, 0); }, 0, 0, {report_line(0, filled(MT_LOCK, catalog(MT_LOCKWORD_EXCLUSIVE)))}},
        {"close nothing", [] { return close_file(-1); }, 0, 0, {}},
        // clang-format on
    };
    struct sigaction sa = {};
    sa.sa_handler = [](int) {};
    sa.sa_flags = SA_RESTART;
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGALRM);
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
        const bool blocked = i % 2 == 1;
        SCOPED_TRACE(std::string(rows[i].name) + (blocked ? ", SIGALRM blocked" : ""));
        // Clears the time-out flag, by a guarded primitive: the row's guard
        // must restore what is set after it.
        unlock_file(-1, 2);
        ASSERT_EQ(truncate(log.c_str(), 0), 0);
        sigaction(SIGALRM, &sa, nullptr);
        sigprocmask(blocked ? SIG_BLOCK : SIG_UNBLOCK, &set, nullptr);
        umask(027);
        const std::string before = process_state();
        EXPECT_EQ(rows[i].op(), rows[i].result);
        EXPECT_EQ(get_is_timeout(), rows[i].times_out);
        EXPECT_EQ(split_lines(read_file_bytes(log)), rows[i].expected);
        EXPECT_EQ(before, process_state());
    }
    EXPECT_NE(access((stale + ".EXCL").c_str(), F_OK), 0) << "a probe file was left";
    msg_finish();
    for (int d : {short_fd, byte1_fd, empty[0], empty[1], full[0], full[1]})
        close(d);
}

// Only the main process deletes the registered files (a forked partner
// shares the directories, not the files), and delete_allfile also empties
// the registry.
TEST(ComTest, OnlyTheMainProcessDeletesTheRegisteredFiles)
{
    TempDir dir("ntwcom");
    g_pid = getpid();
    write_file_bytes(dir.file("a"), "x");
    add_deletefilename(dir.file("a").c_str());
    if (fork() == 0) {
        delete_allfile_async_safe();
        delete_allfile();
        _exit(0);
    }
    wait(nullptr);
    EXPECT_EQ(dir.entries(), Lines{"a"}) << "a forked child deleted";
    delete_allfile();
    EXPECT_EQ(dir.entries(), Lines{});
    write_file_bytes(dir.file("a"), "x");
    delete_allfile();
    EXPECT_EQ(dir.entries(), Lines{"a"}) << "the registry was emptied";
}

} // namespace
