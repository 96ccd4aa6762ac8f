// Tests of the file primitives: real files, pipes and FIFOs, and a real
// second process holding locks.
#include "testutil.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <functional>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace ntwtest;

namespace {

using Lines = std::vector<std::string>;

// A report line: progress or error, with the error number part if any.
std::string ln(bool is_error, const std::string &text, int err = 0)
{
    std::string s = (is_error ? "        ! " : "        ") + text;
    return err == 0 ? s : s + " ERRORCODE=" + std::to_string(err) + "(" + strerror(err) + ")";
}

// A catalogue text with its values filled in.
std::string txt(ntw_text_id id, const std::string &a = "", const std::string &b = "")
{
    char buf[2048];
    snprintf(buf, sizeof buf, catalog(id).c_str(), a.c_str(), b.c_str());
    return buf;
}

// A second process that holds a lock (fcntl on byte `start`, or lockf on
// the whole file) until destroyed, or lets it go after release_after_ms.
class LockHolder {
public:
    LockHolder(const std::string &path, bool use_lockf, short type, off_t start,
               int release_after_ms = -1)
    {
        int ready[2], ctl[2];
        EXPECT_EQ(0, pipe(ready) | pipe(ctl));
        pid_ = fork();
        if (pid_ == 0) {
            close(ctl[1]);
            int fd = open(path.c_str(), O_RDWR);
            struct flock fl = {type, SEEK_SET, start, 1, 0};
            char c = (use_lockf ? lockf(fd, F_LOCK, 0) : fcntl(fd, F_SETLKW, &fl)) == 0 ? 'L' : 'E';
            if (write(ready[1], &c, 1) == 1 && release_after_ms >= 0) {
                usleep(static_cast<useconds_t>(release_after_ms) * 1000);
                close(fd);
            }
            while (read(ctl[0], &c, 1) > 0) {
            }
            _exit(0);
        }
        close(ready[1]);
        close(ctl[0]);
        ctl_ = ctl[1];
        char c = 0;
        EXPECT_TRUE(read(ready[0], &c, 1) == 1 && c == 'L') << "the holder has no lock";
        close(ready[0]);
    }
    ~LockHolder()
    {
        close(ctl_);
        waitpid(pid_, nullptr, 0);
    }

private:
    pid_t pid_ = -1;
    int ctl_ = -1;
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

bool sentinel_called = false;
void sentinel_handler(int)
{
    sentinel_called = true;
}

// Every time-out of a blocked call (a FIFO without writer, an empty or full
// pipe, a waiting fcntl or lockf lock) sets the flag, and afterwards the
// process's umask, alarm and SIGALRM disposition and mask are as before.
TEST_F(ComTest, TimeGuardEndsBlockedCallsAndRestoresUmaskAlarmAndSigalrmState)
{
    const std::string fifo = dir_.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    int fd = make_file(file_, "1234567890");
    LockHolder fcntl_holder(file_, false, F_WRLCK, 0);
    const std::string whole = dir_.file("whole");
    int whole_fd = make_file(whole, "");
    LockHolder lockf_holder(whole, true, F_WRLCK, 0);
    int empty[2], full[2];
    ASSERT_EQ(0, pipe(empty) | pipe(full));
    fcntl(full[1], F_SETFL, O_NONBLOCK);
    char block[4096] = {};
    while (write(full[1], block, sizeof block) > 0) {
    }
    fcntl(full[1], F_SETFL, 0);
    const std::string created = dir_.file("new");
    const struct {
        const char *name;
        std::function<int()> op;
        int result, times_out;
    } cases[] = {
        {"open", [&] { return close(open_file(created.c_str(), O_RDWR | O_CREAT, 0666, 2, 0)); }, 0,
         0},
        {"fifo", [&] { return open_file(fifo.c_str(), O_RDONLY, 0, 1, 0); }, -1, 1},
        {"empty pipe", [&] { return read_file(empty[0], 1); }, -1, 1},
        {"full pipe", [&] { return write_file(full[1], 1); }, -1, 1},
        {"write", [&] { return write_file(fd, 2); }, 0, 0},
        {"waiting lock", [&] { return lock_file(fd, 1, 1, 1, 0); }, -1, 1},
        {"unlock", [&] { return unlock_file(fd, 2); }, 0, 0},
        // A whole-file lock that is still not granted at the time-out counts as taken.
        {"lockf", [&] { return lockf_file(whole_fd, F_LOCK, 1, 0); }, 0, 1},
        {"lockf free",
         [&] { return lockf_file(fd, F_ULOCK, 2, 0) | lockf_file(fd, F_TLOCK, 2, 0); }, 0, 0},
    };
    for (const auto &c : cases) {
        for (bool blocked : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (blocked ? ", SIGALRM blocked" : ""));
            struct sigaction sa = {}, now = {};
            sa.sa_handler = sentinel_handler;
            sa.sa_flags = SA_RESTART;
            sigaction(SIGALRM, &sa, nullptr);
            sigset_t set, mask, pending;
            sigemptyset(&set);
            sigaddset(&set, SIGALRM);
            sigprocmask(blocked ? SIG_BLOCK : SIG_UNBLOCK, &set, nullptr);
            mode_t before_umask = umask(027);
            const time_t start = time(nullptr);
            EXPECT_EQ(c.op(), c.result);
            EXPECT_LE(time(nullptr) - start, 3);
            EXPECT_EQ(get_is_timeout(), c.times_out);
            EXPECT_EQ(umask(before_umask), 027u);
            EXPECT_EQ(alarm(0), 0u) << "an alarm was left pending";
            sigaction(SIGALRM, nullptr, &now);
            EXPECT_EQ(now.sa_handler, &sentinel_handler);
            EXPECT_EQ(now.sa_flags & SA_RESTART, SA_RESTART);
            sigprocmask(SIG_SETMASK, nullptr, &mask);
            EXPECT_EQ(sigismember(&mask, SIGALRM), blocked ? 1 : 0);
            sigpending(&pending);
            EXPECT_EQ(sigismember(&pending, SIGALRM), 0);
            sigprocmask(SIG_UNBLOCK, &set, nullptr);
        }
    }
    EXPECT_FALSE(sentinel_called);
    signal(SIGALRM, SIG_DFL);
    struct stat st;
    ASSERT_EQ(stat(created.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0666u) << "created under umask 027";
    for (int d : {fd, whole_fd, empty[0], empty[1], full[0], full[1]})
        close(d);
}

// Each checked operation returns its result and reports exactly its lines:
// a failure the caller expects is a progress line, any other an error line.
TEST_F(ComTest, CheckedOperationsReportTheirOutcome)
{
    const std::string other = dir_.file("other"), missing = dir_.file("missing");
    const std::string link_name = dir_.file("link"), victim = logdir_.file("victim");
    write_file_bytes(victim, "precious");
    ASSERT_EQ(symlink(victim.c_str(), link_name.c_str()), 0);
    int fd = make_file(file_, "ab");
    lseek(fd, 0, SEEK_END);
    const std::string open_file_line = ln(false, txt(MT_OPEN, file_));
    const std::string link_line = ln(false, txt(MT_LINK, file_, other));
    auto read_of = [&](const char *content) {
        return [this, content] {
            int f = make_file(dir_.file("data"), content), r = read_file(f, 2);
            close(f);
            return r;
        };
    };
    const struct {
        const char *name;
        std::function<int()> op;
        int result;
        Lines expected;
    } cases[] = {
        {"open missing, expected",
         [&] { return open_file(missing.c_str(), O_RDONLY, 0, 2, 1); },
         -1,
         {ln(false, txt(MT_OPEN, missing)), ln(false, txt(MT_OPEN_FAILED), ENOENT)}},
        {"open existing exclusively",
         [&] { return open_file(file_.c_str(), O_RDWR | O_CREAT | O_EXCL, 0666, 2, 0); },
         -1,
         {open_file_line, ln(true, txt(MT_OPEN_FAILED), EEXIST)}},
        {"open through a planted link",
         [&] { return open_file(link_name.c_str(), O_RDWR | O_TRUNC, 0, 2, 0); },
         -1,
         {ln(false, txt(MT_OPEN, link_name)), ln(true, txt(MT_OPEN_FAILED), ELOOP)}},
        {"close nothing", [] { return close_file(-1); }, 0, {}},
        {"close bad",
         [] { return close_file(1000); },
         -1,
         {ln(false, txt(MT_CLOSE)), ln(true, txt(MT_CLOSE_FAILED), EBADF)}},
        {"link", [&] { return link_file(file_.c_str(), other.c_str(), 0); }, 0, {link_line}},
        {"link again, expected",
         [&] { return link_file(file_.c_str(), other.c_str(), 1); },
         -1,
         {link_line, ln(false, txt(MT_LINK_FAILED), EEXIST)}},
        {"link again",
         [&] { return link_file(file_.c_str(), other.c_str(), 0); },
         -1,
         {link_line, ln(true, txt(MT_LINK_FAILED), EEXIST)}},
        {"delete",
         [&] { return delete_file(other.c_str()); },
         0,
         {ln(false, txt(MT_DELETE, other))}},
        {"delete again",
         [&] { return delete_file(other.c_str()); },
         -1,
         {ln(false, txt(MT_DELETE, other)), ln(true, txt(MT_DELETE_FAILED), ENOENT)}},
        {"write at the end", [&] { return write_file(fd, 2); }, 0, {ln(false, txt(MT_WRITE))}},
        {"read at the end",
         [&] { return read_file(fd, 2); },
         -1,
         {ln(false, txt(MT_READ)), ln(true, txt(MT_READ_SIZE_BAD))}},
        {"read after seek",
         [&] { return lseek(fd, 2, SEEK_SET) == 2 ? read_file(fd, 2) : 9; },
         0,
         {ln(false, txt(MT_READ))}},
        {"read empty", read_of(""), -1, {ln(false, txt(MT_READ)), ln(true, txt(MT_READ_SIZE_BAD))}},
        {"read short",
         read_of("12345"),
         -1,
         {ln(false, txt(MT_READ)), ln(true, txt(MT_READ_SIZE_BAD))}},
        {"read wrong data",
         read_of("123456789X"),
         -1,
         {ln(false, txt(MT_READ)), ln(true, txt(MT_READ_DATA_BAD, "123456789X"))}},
        {"read more", read_of("1234567890 and more"), 0, {ln(false, txt(MT_READ))}},
        {"read bad",
         [] { return read_file(-1, 2); },
         -1,
         {ln(false, txt(MT_READ)), ln(true, txt(MT_READ_FAILED), EBADF)}},
        {"write read-only",
         [&] { return write_file(open(file_.c_str(), O_RDONLY), 2); },
         -1,
         {ln(false, txt(MT_WRITE)), ln(true, txt(MT_WRITE_FAILED), EBADF)}},
        {"read in short pieces",
         [] {
             int p[2];
             if (pipe(p) != 0)
                 return 9;
             if (fork() == 0) {
                 for (const char *piece : {"123", "4567", "890"}) {
                     if (write(p[1], piece, strlen(piece)) < 0 || usleep(100000) != 0)
                         _exit(1);
                 }
                 _exit(0);
             }
             close(p[1]);
             int r = read_file(p[0], 5);
             close(p[0]);
             wait(nullptr);
             return r;
         },
         0,
         {ln(false, txt(MT_READ))}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        clear_lines();
        EXPECT_EQ(c.op(), c.result);
        EXPECT_EQ(get_is_timeout(), 0);
        EXPECT_EQ(lines(), c.expected);
    }
    EXPECT_EQ(read_file_bytes(file_), "ab1234567890");
    EXPECT_EQ(read_file_bytes(victim), "precious");
    int op_fd = open_operator_file(link_name.c_str(), O_RDONLY, 0, 2, 0);
    EXPECT_GE(op_fd, 0) << "the operator's own file name is opened as given";
    close(op_fd);
    close(fd);
}

TEST_F(ComTest, ChangeOwnerResolvesOwnerAndGroupAsGivenAndNeverFollowsALink)
{
    if (getuid() != 0)
        GTEST_SKIP() << "changing a file's owner to another user needs root";
    const passwd *nobody = getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    write_file_bytes(file_, "x");
    const std::string victim = dir_.file("victim"), link_name = dir_.file("link");
    write_file_bytes(victim, "x");
    ASSERT_EQ(symlink(victim.c_str(), link_name.c_str()), 0);
    struct stat st;
    EXPECT_EQ(change_owner(file_.c_str(), "nobody", ""), 0);
    ASSERT_EQ(stat(file_.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, nobody->pw_uid);
    EXPECT_EQ(st.st_gid, nobody->pw_gid) << "empty group: the owner's primary group";
    EXPECT_EQ(change_owner(file_.c_str(), "", "no-such-group"), 0) << "group is not looked up";
    EXPECT_EQ(change_owner(file_.c_str(), "nobody", "no-such-group"), -1);
    EXPECT_EQ(change_owner(file_.c_str(), "no-such-user", ""), -1);
    ASSERT_EQ(stat(file_.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u) << "a failed look-up changes nothing";
    EXPECT_EQ(change_owner(link_name.c_str(), "nobody", ""), -1);
    ASSERT_EQ(stat(victim.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u) << "the link's target changed owner";
    // A failed look-up reports whatever errno the name service left: only
    // the text before it is compared.
    Lines got = lines();
    ASSERT_GE(got.size(), 4u);
    char chown_line[2048];
    snprintf(chown_line, sizeof chown_line, catalog(MT_CHOWN).c_str(), file_.c_str(),
             static_cast<int>(nobody->pw_uid), static_cast<int>(nobody->pw_gid));
    EXPECT_EQ(got[0], ln(false, chown_line));
    EXPECT_EQ(got[2].rfind(ln(false, txt(MT_CHOWN_GROUP_FAILED, "no-such-group")), 0), 0u);
    EXPECT_EQ(got[3].rfind(ln(true, txt(MT_CHOWN_USER_FAILED, "no-such-user")), 0), 0u);
}

TEST_F(ComTest, TimeoutCheckFiresOnlyBeyondTheLimitOnce)
{
    EXPECT_EQ(is_timeout_occured(0, 0), 0) << "limit 0 never times out";
    EXPECT_EQ(is_timeout_occured(time(nullptr) - 4, 5), 0);
    EXPECT_EQ(is_timeout_occured(time(nullptr) - 6, 5), 1);
    EXPECT_EQ(is_timeout_occured(time(nullptr), 0), 1) << "a set flag wins over limit 0";
    EXPECT_EQ(lines(), Lines{ln(true, txt(MT_TIMEOUT))}) << "the time-out line is written once";
}

TEST_F(ComTest, CreatePathFormsAndRegistersTheWorkFileNames)
{
    char host[256] = {}, out[NTW_WORKNAME_LEN] = "untouched";
    ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
    host[67] = '\0';
    EXPECT_EQ(create_path(NTW_MODE_USERAPL, dir_.path().c_str(), 0, out, 1), -1);
    EXPECT_STREQ(out, "untouched");
    ASSERT_EQ(create_path(NTW_MODE_SINGLE, dir_.path().c_str(), 0, out, 321), 0);
    EXPECT_EQ(std::string(out), dir_.path() + "/.#ZEMLOCK." + host + ".321.0");
    write_file_bytes(out, "x");
    ASSERT_EQ(create_path(NTW_MODE_DOUBLE, dir_.path().c_str(), 1, out, 0), 0);
    EXPECT_EQ(std::string(out), dir_.path() + "/.#ZEMLOCK.1");
    write_file_bytes(out, "x");
    delete_allfile();
    EXPECT_EQ(dir_.entries(), Lines{}) << "both names were registered";
}

void ignore_signal(int) {}

TEST_F(ComTest, SyncPauseLastsThreeSecondsDespiteAnInterruptingSignal)
{
    struct sigaction sa = {}, old = {};
    sa.sa_handler = ignore_signal;
    sigaction(SIGUSR1, &sa, &old);
    pid_t self = getpid(), child = fork();
    if (child == 0) {
        usleep(300000);
        kill(self, SIGUSR1);
        _exit(0);
    }
    time_t start = time(nullptr);
    wait_sync_processing();
    EXPECT_GE(time(nullptr) - start, 2) << "the pause was cut short by the signal";
    waitpid(child, nullptr, 0);
    sigaction(SIGUSR1, &old, nullptr);
}

// Only "no such file" is a removal: any other failed look (a directory
// under the name) says nothing, and the wait goes on to its time-out.
TEST_F(ComTest, WaitForDeletionEndsWhenTheFileIsGoneOrAtTheTimeOut)
{
    EXPECT_EQ(wait_file_exists(file_.c_str(), 0, 1), 0) << "a missing file counts as deleted";
    write_file_bytes(file_, "x");
    EXPECT_EQ(wait_file_exists((file_ + "/under").c_str(), 0, 1), 0) << "so does ENOTDIR";
    pid_t child = fork();
    if (child == 0) {
        usleep(1500000);
        unlink(file_.c_str());
        _exit(0);
    }
    EXPECT_EQ(wait_file_exists(file_.c_str(), time(nullptr), 30), 0);
    waitpid(child, nullptr, 0);
    ASSERT_EQ(mkdir(file_.c_str(), 0700), 0);
    clear_lines();
    EXPECT_EQ(wait_file_exists(file_.c_str(), time(nullptr), 1), -1);
    EXPECT_EQ(get_is_timeout(), 1);
    EXPECT_EQ(wait_file_exists(file_.c_str(), time(nullptr), 600), -1)
        << "after a time-out the next wait ends at once";
    const std::string wait_line = ln(false, txt(MT_WAIT_DELETED, file_));
    EXPECT_EQ(lines(), (Lines{wait_line, ln(true, txt(MT_TIMEOUT)), wait_line}));
}

TEST_F(ComTest, WaitForCreationProbesTheDirectoryAndEndsWhenTheFileAppears)
{
    pid_t child = fork();
    if (child == 0) {
        usleep(1500000);
        close(open(file_.c_str(), O_RDWR | O_CREAT, 0666));
        _exit(0);
    }
    EXPECT_EQ(wait_file_no_exists(file_.c_str(), time(nullptr), 30), 0);
    waitpid(child, nullptr, 0);
    EXPECT_EQ(dir_.entries(), Lines{"work"}) << "the probe file is removed";
    const std::string elsewhere = dir_.file("no-dir/work");
    EXPECT_EQ(wait_file_no_exists(elsewhere.c_str(), time(nullptr), 30), -1)
        << "a probe file that cannot be created ends the wait";
    write_file_bytes(file_ + ".EXCL", "planted");
    unlink(file_.c_str());
    clear_lines();
    EXPECT_EQ(wait_file_no_exists(file_.c_str(), time(nullptr), 1), -1);
    EXPECT_EQ(get_is_timeout(), 1);
    EXPECT_EQ(dir_.entries(), Lines{}) << "the probe file is removed";
    EXPECT_EQ(lines(), (Lines{ln(false, txt(MT_WAIT_CREATED, file_)), ln(true, txt(MT_TIMEOUT))}));
}

// Requests that do not wait conflict only with another process's lock on
// byte 0; a waiting one is granted when the other process lets go.
TEST_F(ComTest, LocksConflictOnlyWithTheOtherProcessesByte0Lock)
{
    write_file_bytes(file_, "1234567890");
    const struct {
        short held;
        off_t held_start;
        int exclusive, result;
    } cases[] = {{F_RDLCK, 0, 0, 0},
                 {F_RDLCK, 0, 1, -1},
                 {F_WRLCK, 0, 0, -1},
                 {F_WRLCK, 1, 1, 0},
                 {F_WRLCK, 1, 0, 0}};
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.held) + " at " + std::to_string(c.held_start) +
                     ", exclusive " + std::to_string(c.exclusive));
        LockHolder holder(file_, false, c.held, c.held_start);
        int fd = open(file_.c_str(), O_RDWR);
        clear_lines();
        const std::string word = catalog(c.exclusive ? MT_LOCKWORD_EXCLUSIVE : MT_LOCKWORD_SHARED);
        for (int expect_failure : {0, 1}) {
            EXPECT_EQ(lock_file(fd, c.exclusive, 0, 2, expect_failure), c.result);
            Lines got = lines();
            ASSERT_EQ(got.size(), c.result == 0 ? 1u : 2u);
            EXPECT_EQ(got[0], ln(false, txt(MT_LOCK, word)));
            if (c.result != 0) {
                EXPECT_EQ(got[1].rfind(ln(!expect_failure, txt(MT_LOCK_FAILED, word)), 0), 0u);
            }
            clear_lines();
        }
        close(fd);
    }
    LockHolder lockf_holder(file_, true, F_WRLCK, 0);
    int fd = open(file_.c_str(), O_RDWR);
    EXPECT_EQ(lockf_file(fd, F_TLOCK, 2, 1), -1);
    close(fd);
    const std::string released = dir_.file("released");
    write_file_bytes(released, "");
    LockHolder holder(released, false, F_WRLCK, 0, 1000);
    fd = open(released.c_str(), O_RDWR);
    EXPECT_EQ(lock_file(fd, 1, 1, 20, 0), 0);
    EXPECT_EQ(get_is_timeout(), 0);
    close(fd);
}

TEST_F(ComTest, OnlyTheMainProcessDeletesTheRegisteredFiles)
{
    const std::string a = dir_.file("a"), b = dir_.file("b");
    write_file_bytes(a, "x");
    write_file_bytes(b, "x");
    add_deletefilename(a.c_str());
    add_deletefilename(b.c_str());
    add_deletefilename(a.c_str());
    if (fork() == 0) {
        delete_allfile_async_safe();
        delete_allfile();
        _exit(0);
    }
    wait(nullptr);
    EXPECT_EQ(dir_.entries(), (Lines{"a", "b"}));
    delete_allfile_async_safe();
    EXPECT_EQ(dir_.entries(), Lines{});
    write_file_bytes(a, "x");
    delete_allfile();
    EXPECT_EQ(dir_.entries(), Lines{});
    write_file_bytes(a, "x");
    delete_allfile();
    EXPECT_EQ(dir_.entries(), Lines{"a"}) << "the registry was emptied";
}

TEST(ComDirname, GivesTheDirectoryPartUpToTheLastSlash)
{
    const struct {
        const char *path;
        unsigned size;
        int result;
        const char *dir;
    } cases[] = {{"/file", 259, 0, ""},
                 {"file", 259, -1, "untouched"},
                 {"top/sub/file", 2, 0, "to"},
                 {"/x/", 259, 0, "/x"},
                 {"/a/b/c", 259, 0, "/a/b"}};
    for (const auto &c : cases) {
        char out[260] = "untouched";
        EXPECT_EQ(get_dirname(c.path, out, c.size), c.result) << c.path;
        EXPECT_STREQ(out, c.dir) << c.path;
    }
}

} // namespace
