// Tests of the file primitives: real files, real pipes and FIFOs, and a
// real second process holding locks.
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

using ntwtest::catalog;
using ntwtest::TempDir;

namespace {

// A catalogue text with its values filled in, as the report shows it.
template <typename... Args> std::string fmt(ntw_text_id id, Args... args)
{
    char buf[2048];
    snprintf(buf, sizeof buf, catalog(id).c_str(), args...);
    return buf;
}

std::string with_errno(const std::string &text, int err)
{
    if (err == 0)
        return text;
    return text + " ERRORCODE=" + std::to_string(err) + "(" + strerror(err) + ")";
}

std::string progress(const std::string &text, int err = 0)
{
    return "        " + with_errno(text, err);
}

std::string error(const std::string &text, int err = 0)
{
    return "        ! " + with_errno(text, err);
}

std::string progress(ntw_text_id id, int err = 0)
{
    return progress(catalog(id), err);
}
std::string error(ntw_text_id id, int err = 0)
{
    return error(catalog(id), err);
}

using Lines = std::vector<std::string>;

// A second process that holds a lock on a file until released.
class LockHolder {
public:
    enum Kind { FCNTL, LOCKF };

    // Takes the lock (type over [start, start+len), or a whole-file lockf)
    // and holds it until destroyed, or lets it go after release_after_ms.
    LockHolder(const std::string &path, Kind kind, short type, off_t start, off_t len,
               int release_after_ms = -1)
    {
        int ready[2], ctl[2];
        EXPECT_EQ(pipe(ready), 0);
        EXPECT_EQ(pipe(ctl), 0);
        pid_ = fork();
        if (pid_ == 0) {
            close(ctl[1]);
            int fd = open(path.c_str(), O_RDWR);
            struct flock fl = {};
            fl.l_type = type;
            fl.l_whence = SEEK_SET;
            fl.l_start = start;
            fl.l_len = len;
            char c =
                (kind == LOCKF ? lockf(fd, F_LOCK, 0) : fcntl(fd, F_SETLKW, &fl)) == 0 ? 'L' : 'E';
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
    LockHolder(const LockHolder &) = delete;
    LockHolder &operator=(const LockHolder &) = delete;

private:
    pid_t pid_ = -1;
    int ctl_ = -1;
};

class ComTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_pid = getpid();
        log_ = logdir_.file("report.log");
        ASSERT_EQ(ntwtest::start_report_log(log_), 0);
        clear_flag();
        file_ = dir_.file("work");
    }
    void TearDown() override
    {
        msg_finish();
        delete_allfile();
    }

    Lines lines() const { return ntwtest::split_lines(ntwtest::read_file_bytes(log_)); }
    void clear_lines() const { ASSERT_EQ(truncate(log_.c_str(), 0), 0); }

    // Leaves the time-out flag at 0 (every guarded primitive clears it).
    void clear_flag() const
    {
        int fd = open(log_.c_str(), O_RDONLY);
        unlock_file(fd, 2);
        close(fd);
        clear_lines();
    }

    int make_file(const std::string &path, const std::string &content) const
    {
        ntwtest::write_file_bytes(path, content);
        return open(path.c_str(), O_RDWR);
    }

    TempDir dir_{"ntwcom"};
    TempDir logdir_{"ntwcomlog"};
    std::string log_;
    std::string file_;
};

// ---------------------------------------------------------------------------
// Time-out flag, work-file names, pause

TEST_F(ComTest, TimeoutCheckFiresOnlyBeyondTheLimitAndThenStaysSilent)
{
    clear_flag();
    EXPECT_EQ(is_timeout_occured(0, 0), 0) << "limit 0 never times out";
    for (;;) {
        time_t now = time(nullptr);
        int r = is_timeout_occured(now - 5, 5);
        if (time(nullptr) == now) {
            EXPECT_EQ(r, 0) << "elapsed equal to the limit is not a time-out";
            break;
        }
        clear_flag();
    }
    EXPECT_EQ(lines(), Lines{});

    EXPECT_EQ(is_timeout_occured(time(nullptr) - 6, 5), 1);
    EXPECT_EQ(get_is_timeout(), 1);
    EXPECT_EQ(is_timeout_occured(time(nullptr), 0), 1) << "a set flag wins over limit 0";
    EXPECT_EQ(is_timeout_occured(time(nullptr), 600), 1);
    EXPECT_EQ(lines(), Lines{error(MT_TIMEOUT)}) << "the time-out line is written once";
}

TEST_F(ComTest, CreatePathFormsAndRegistersTheWorkFileNames)
{
    char host[256] = {};
    ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
    host[67] = '\0';
    char out[NTW_WORKNAME_LEN];

    ASSERT_EQ(create_path(NTW_MODE_SINGLE, dir_.path().c_str(), 0, out, 321), 0);
    EXPECT_EQ(std::string(out), dir_.path() + "/.#ZEMLOCK." + host + ".321.0");
    ntwtest::write_file_bytes(out, "x");

    ASSERT_EQ(create_path(NTW_MODE_DOUBLE, dir_.path().c_str(), 1, out, 0), 0);
    EXPECT_EQ(std::string(out), dir_.path() + "/.#ZEMLOCK.1");
    ntwtest::write_file_bytes(out, "x");

    strcpy(out, "untouched");
    EXPECT_EQ(create_path(NTW_MODE_USERAPL, dir_.path().c_str(), 0, out, 1), -1);
    EXPECT_STREQ(out, "untouched");
    EXPECT_EQ(lines(), Lines{});

    EXPECT_EQ(dir_.entries().size(), 2u);
    delete_allfile();
    EXPECT_EQ(dir_.entries(), std::vector<std::string>{}) << "both names were registered";
}

void ignore_signal(int) {}

TEST_F(ComTest, SyncPauseLastsThreeSecondsDespiteAnInterruptingSignal)
{
    struct sigaction sa = {}, old = {};
    sa.sa_handler = ignore_signal;
    sigaction(SIGUSR1, &sa, &old);
    pid_t self = getpid();
    pid_t child = fork();
    if (child == 0) {
        usleep(300000);
        kill(self, SIGUSR1);
        _exit(0);
    }
    time_t start = time(nullptr);
    wait_sync_processing();
    time_t elapsed = time(nullptr) - start;
    waitpid(child, nullptr, 0);
    sigaction(SIGUSR1, &old, nullptr);
    EXPECT_GE(elapsed, 2) << "the pause was cut short by the signal";
}

// ---------------------------------------------------------------------------
// Process state around the guarded primitives

bool sentinel_called = false;
void sentinel_handler(int)
{
    sentinel_called = true;
}

TEST_F(ComTest, UmaskAlarmAndSigalrmStateAreRestoredAndFilesCreated0666)
{
    std::string fifo = dir_.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    int fd = make_file(file_, "1234567890");
    LockHolder holder(file_, LockHolder::FCNTL, F_WRLCK, 0, 1);
    int empty_pipe[2];
    ASSERT_EQ(pipe(empty_pipe), 0);

    struct Case {
        const char *name;
        std::function<int()> op;
        bool times_out;
    };
    const Case cases[] = {
        {"open",
         [&] { return close(open_file(dir_.file("new").c_str(), O_RDWR | O_CREAT, 0666, 2, 0)); },
         false},
        {"open fifo, refused at once", [&] { return open_file(fifo.c_str(), O_RDONLY, 0, 1, 0); },
         false},
        {"read blocking pipe", [&] { return read_file(empty_pipe[0], 1); }, true},
        {"write", [&] { return write_file(fd, 2); }, false},
        {"waiting lock", [&] { return lock_file(fd, 1, 1, 1, 0); }, true},
        {"unlock", [&] { return unlock_file(fd, 2); }, false},
        {"lockf waiting",
         [&] {
             lseek(fd, 0, SEEK_SET);
             return lockf_file(fd, F_LOCK, 1, 0);
         },
         true},
    };
    for (const Case &c : cases) {
        for (bool blocked : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (blocked ? ", SIGALRM blocked" : ""));
            struct sigaction sa = {};
            sa.sa_handler = sentinel_handler;
            sa.sa_flags = SA_RESTART;
            sigaction(SIGALRM, &sa, nullptr);
            sigset_t set, after_mask;
            sigemptyset(&set);
            sigaddset(&set, SIGALRM);
            sigprocmask(blocked ? SIG_BLOCK : SIG_UNBLOCK, &set, nullptr);
            mode_t before_umask = umask(027);

            c.op();
            EXPECT_EQ(get_is_timeout(), c.times_out ? 1 : 0);

            EXPECT_EQ(umask(before_umask), 027u);
            EXPECT_EQ(alarm(0), 0u) << "an alarm was left pending";
            struct sigaction now = {};
            sigaction(SIGALRM, nullptr, &now);
            EXPECT_EQ(now.sa_handler, &sentinel_handler);
            EXPECT_EQ(now.sa_flags & SA_RESTART, SA_RESTART);
            sigprocmask(SIG_SETMASK, nullptr, &after_mask);
            EXPECT_EQ(sigismember(&after_mask, SIGALRM), blocked ? 1 : 0);
            sigset_t pending;
            sigpending(&pending);
            EXPECT_EQ(sigismember(&pending, SIGALRM), 0);
            sigprocmask(SIG_UNBLOCK, &set, nullptr);
        }
    }
    EXPECT_FALSE(sentinel_called);
    signal(SIGALRM, SIG_DFL);
    struct stat st;
    ASSERT_EQ(stat(dir_.file("new").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0666u) << "created under umask 027";
    close(fd);
    close(empty_pipe[0]);
    close(empty_pipe[1]);
}

// ---------------------------------------------------------------------------
// open, close, delete, link

TEST_F(ComTest, OpenReportsFailuresAsExpectedUnexpectedOrTimedOut)
{
    ntwtest::write_file_bytes(file_, "");
    std::string missing = dir_.file("missing");
    std::string fifo = dir_.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);

    EXPECT_EQ(open_file(missing.c_str(), O_RDONLY, 0666, 2, 1), -1);
    EXPECT_EQ(get_is_timeout(), 0);
    EXPECT_EQ(open_file(file_.c_str(), O_RDWR | O_CREAT | O_EXCL, 0666, 2, 0), -1);
    EXPECT_EQ(open_file(fifo.c_str(), O_RDONLY, 0, 1, 0), -1);
    EXPECT_EQ(get_is_timeout(), 0) << "a FIFO is refused without waiting for a writer";
    EXPECT_EQ(lines(),
              (Lines{progress(fmt(MT_OPEN, missing.c_str())), progress(MT_OPEN_FAILED, ENOENT),
                     progress(fmt(MT_OPEN, file_.c_str())), error(MT_OPEN_FAILED, EEXIST),
                     progress(fmt(MT_OPEN, fifo.c_str())), error(MT_OPEN_FAILED, EINVAL)}));
}

TEST_F(ComTest, CloseAcceptsMinusOneSilentlyAndReportsABadDescriptor)
{
    EXPECT_EQ(close_file(-1), 0);
    EXPECT_EQ(lines(), Lines{});
    EXPECT_EQ(close_file(open(log_.c_str(), O_RDONLY)), 0);
    EXPECT_EQ(close_file(1000), -1);
    EXPECT_EQ(lines(),
              (Lines{progress(MT_CLOSE), progress(MT_CLOSE), error(MT_CLOSE_FAILED, EBADF)}));
}

TEST_F(ComTest, DeleteAndLinkReportTheirOutcome)
{
    ntwtest::write_file_bytes(file_, "x");
    std::string other = dir_.file("other");

    EXPECT_EQ(link_file(file_.c_str(), other.c_str(), 0), 0);
    EXPECT_EQ(link_file(file_.c_str(), other.c_str(), 1), -1);
    EXPECT_EQ(link_file(file_.c_str(), other.c_str(), 0), -1);
    EXPECT_EQ(delete_file(other.c_str()), 0);
    EXPECT_EQ(delete_file(other.c_str()), -1);
    std::string link_line = progress(fmt(MT_LINK, file_.c_str(), other.c_str()));
    std::string delete_line = progress(fmt(MT_DELETE, other.c_str()));
    EXPECT_EQ(lines(), (Lines{link_line, link_line, progress(MT_LINK_FAILED, EEXIST), link_line,
                              error(MT_LINK_FAILED, EEXIST), delete_line, delete_line,
                              error(MT_DELETE_FAILED, ENOENT)}));
    EXPECT_EQ(dir_.entries(), std::vector<std::string>{"work"});
}

// ---------------------------------------------------------------------------
// change_owner

TEST_F(ComTest, ChangeOwnerResolvesOwnerAndGroupAsGiven)
{
    if (getuid() != 0)
        GTEST_SKIP() << "changing a file's owner to another user needs root";
    const passwd *nobody = getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    int uid = static_cast<int>(nobody->pw_uid);
    int gid = static_cast<int>(nobody->pw_gid);
    ntwtest::write_file_bytes(file_, "x");
    struct stat st;

    EXPECT_EQ(change_owner(file_.c_str(), "nobody", ""), 0);
    ASSERT_EQ(stat(file_.c_str(), &st), 0);
    EXPECT_EQ(static_cast<int>(st.st_uid), uid);
    EXPECT_EQ(static_cast<int>(st.st_gid), gid) << "empty group: the owner's primary group";

    EXPECT_EQ(change_owner(file_.c_str(), "", "no-such-group"), 0) << "group is not looked up";
    ASSERT_EQ(stat(file_.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, getuid());
    EXPECT_EQ(st.st_gid, getgid());

    EXPECT_EQ(change_owner(file_.c_str(), "nobody", "no-such-group"), -1);
    EXPECT_EQ(change_owner(file_.c_str(), "no-such-user", ""), -1);
    ASSERT_EQ(stat(file_.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, getuid()) << "a failed look-up changes nothing";

    // A failed look-up reports whatever errno the name service left, often
    // none: only the text before it is compared.
    const char *f = file_.c_str();
    Lines got = lines();
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0], progress(fmt(MT_CHOWN, f, uid, gid)));
    EXPECT_EQ(got[1],
              progress(fmt(MT_CHOWN, f, static_cast<int>(getuid()), static_cast<int>(getgid()))));
    std::string group_failed = progress(fmt(MT_CHOWN_GROUP_FAILED, "no-such-group"));
    std::string user_failed = error(fmt(MT_CHOWN_USER_FAILED, "no-such-user"));
    EXPECT_EQ(got[2].substr(0, group_failed.size()), group_failed);
    EXPECT_EQ(got[3].substr(0, user_failed.size()), user_failed);
}

// ---------------------------------------------------------------------------
// read and write

TEST_F(ComTest, ReadAcceptsOnlyTheTenBytesOfTestData)
{
    struct Case {
        const char *content;
        int result;
        std::string line;
    };
    const Case cases[] = {
        {"", -1, error(MT_READ_SIZE_BAD)},
        {"12345", -1, error(MT_READ_SIZE_BAD)},
        {"123456789X", -1, error(fmt(MT_READ_DATA_BAD, "123456789X"))},
        {"1234567890", 0, ""},
        {"1234567890 and more", 0, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.content);
        clear_lines();
        int fd = make_file(file_, c.content);
        EXPECT_EQ(read_file(fd, 2), c.result);
        EXPECT_EQ(get_is_timeout(), 0);
        Lines expected{progress(MT_READ)};
        if (!c.line.empty())
            expected.push_back(c.line);
        EXPECT_EQ(lines(), expected);
        close(fd);
    }
}

TEST_F(ComTest, ReadCollectsTheDataFromShortReads)
{
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    pid_t child = fork();
    if (child == 0) {
        for (const char *piece : {"123", "4567", "890"}) {
            if (write(p[1], piece, strlen(piece)) < 0)
                _exit(1);
            usleep(100000);
        }
        _exit(0);
    }
    close(p[1]);
    EXPECT_EQ(read_file(p[0], 5), 0);
    EXPECT_EQ(lines(), Lines{progress(MT_READ)});
    close(p[0]);
    waitpid(child, nullptr, 0);
}

TEST_F(ComTest, WriteAddsTheTestDataAtTheOffsetAndReadsBackAfterSeek)
{
    int fd = make_file(file_, "ab");
    ASSERT_EQ(lseek(fd, 0, SEEK_END), 2);
    EXPECT_EQ(write_file(fd, 2), 0);
    EXPECT_EQ(ntwtest::read_file_bytes(file_), "ab1234567890");
    EXPECT_EQ(read_file(fd, 2), -1) << "without repositioning the read is at end of file";
    lseek(fd, 2, SEEK_SET);
    EXPECT_EQ(read_file(fd, 2), 0);
    EXPECT_EQ(lines(), (Lines{progress(MT_WRITE), progress(MT_READ), error(MT_READ_SIZE_BAD),
                              progress(MT_READ)}));
    close(fd);

    clear_lines();
    fd = open(file_.c_str(), O_RDONLY);
    EXPECT_EQ(write_file(fd, 2), -1);
    EXPECT_EQ(read_file(-1, 2), -1);
    EXPECT_EQ(lines(), (Lines{progress(MT_WRITE), error(MT_WRITE_FAILED, EBADF), progress(MT_READ),
                              error(MT_READ_FAILED, EBADF)}));
    close(fd);
}

TEST_F(ComTest, BlockedReadAndWriteEndAtTheTimeOut)
{
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    EXPECT_EQ(read_file(p[0], 1), -1);
    EXPECT_EQ(get_is_timeout(), 1);

    fcntl(p[1], F_SETFL, O_NONBLOCK);
    char block[4096] = {};
    while (write(p[1], block, sizeof block) > 0) {
    }
    fcntl(p[1], F_SETFL, 0);
    EXPECT_EQ(write_file(p[1], 1), -1);
    EXPECT_EQ(get_is_timeout(), 1);
    EXPECT_EQ(lines(),
              (Lines{progress(MT_READ), error(MT_TIMEOUT), progress(MT_WRITE), error(MT_TIMEOUT)}));
    close(p[0]);
    close(p[1]);
}

// ---------------------------------------------------------------------------
// Waiting for a file

TEST_F(ComTest, WaitForDeletionEndsWhenTheFileIsGoneOrAtTheTimeOut)
{
    EXPECT_EQ(wait_file_exists(file_.c_str(), 0, 1), 0) << "a missing file counts as deleted";

    ntwtest::write_file_bytes(file_, "x");
    pid_t child = fork();
    if (child == 0) {
        usleep(1500000);
        unlink(file_.c_str());
        _exit(0);
    }
    EXPECT_EQ(wait_file_exists(file_.c_str(), time(nullptr), 30), 0);
    waitpid(child, nullptr, 0);

    ntwtest::write_file_bytes(file_, "x");
    EXPECT_EQ(wait_file_exists(file_.c_str(), time(nullptr), 1), -1);
    EXPECT_EQ(get_is_timeout(), 1);
    std::string wait_line = progress(fmt(MT_WAIT_DELETED, file_.c_str()));
    EXPECT_EQ(lines(), (Lines{wait_line, wait_line, wait_line, error(MT_TIMEOUT)}));

    clear_lines();
    EXPECT_EQ(wait_file_exists(file_.c_str(), time(nullptr), 600), -1)
        << "after a time-out the next wait ends at once";
    EXPECT_EQ(lines(), Lines{wait_line});
}

TEST_F(ComTest, WaitForDeletionTakesOnlyNoSuchFileAsTheRemoval)
{
    // A look that fails for another reason (here ELOOP on a planted link)
    // says nothing about the file: the wait goes on until the time-out.
    ASSERT_EQ(symlink(dir_.file("absent").c_str(), file_.c_str()), 0);
    EXPECT_EQ(wait_file_exists(file_.c_str(), time(nullptr), 1), -1);
    EXPECT_EQ(get_is_timeout(), 1);
    ASSERT_EQ(unlink(file_.c_str()), 0);
    clear_flag();
    ntwtest::write_file_bytes(file_, "x");
    EXPECT_EQ(wait_file_exists((file_ + "/under-a-file").c_str(), time(nullptr), 1), 0)
        << "ENOTDIR: no such file";
    EXPECT_EQ(get_is_timeout(), 0);
}

TEST_F(ComTest, WaitForCreationProbesTheDirectoryAndEndsWhenTheFileAppears)
{
    std::string probe = file_ + ".EXCL";
    pid_t child = fork();
    if (child == 0) {
        usleep(1500000);
        close(open(file_.c_str(), O_RDWR | O_CREAT, 0666));
        _exit(0);
    }
    EXPECT_EQ(wait_file_no_exists(file_.c_str(), time(nullptr), 30), 0);
    waitpid(child, nullptr, 0);
    EXPECT_EQ(wait_file_no_exists(file_.c_str(), time(nullptr), 30), 0);
    EXPECT_EQ(dir_.entries(), std::vector<std::string>{"work"}) << "the probe file is removed";

    std::string elsewhere = dir_.file("no-dir/work");
    EXPECT_EQ(wait_file_no_exists(elsewhere.c_str(), time(nullptr), 30), -1)
        << "a probe file that cannot be created ends the wait";

    ntwtest::write_file_bytes(probe, "planted");
    unlink(file_.c_str());
    EXPECT_EQ(wait_file_no_exists(file_.c_str(), time(nullptr), 1), -1);
    EXPECT_EQ(get_is_timeout(), 1);
    EXPECT_EQ(dir_.entries(), std::vector<std::string>{}) << "the probe file is removed";
    EXPECT_EQ(lines(), (Lines{progress(fmt(MT_WAIT_CREATED, file_.c_str())),
                              progress(fmt(MT_WAIT_CREATED, file_.c_str())),
                              progress(fmt(MT_WAIT_CREATED, elsewhere.c_str())),
                              error(MT_OPEN_FAILED, ENOENT),
                              progress(fmt(MT_WAIT_CREATED, file_.c_str())), error(MT_TIMEOUT)}));
}

// ---------------------------------------------------------------------------
// Names planted under the checker's names

// A symbolic link, a hard link or a FIFO found under a name that the checker
// formed is refused by every operation that opens the name: the open (an
// existing file or one to create), the owner change and the probe file of a
// wait.  The refusal is a failed open with its error number, made at once,
// and the planted link's target keeps its content, owner and mode.
TEST_F(ComTest, PlantedNamesAreRefusedAndTheirTargetsStayUntouched)
{
    if (getuid() != 0)
        GTEST_SKIP() << "the owner change to another user needs root";
    const struct passwd *nobody = getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    const std::string victim = logdir_.file("victim");
    const std::string probe = file_ + ".EXCL";
    const std::string chown_line = fmt(MT_CHOWN, file_.c_str(), static_cast<int>(nobody->pw_uid),
                                       static_cast<int>(nobody->pw_gid));
    struct Plant {
        const char *name;
        int (*make)(const char *victim, const char *name);
        int error;
    };
    const Plant plants[] = {
        {"symbolic link", [](const char *v, const char *n) { return symlink(v, n); }, ELOOP},
        {"hard link", [](const char *v, const char *n) { return link(v, n); }, EMLINK},
        {"fifo", [](const char *, const char *n) { return mkfifo(n, 0600); }, EINVAL},
    };
    struct Op {
        const char *name;
        const std::string &planted;
        std::function<int()> call;
        std::function<Lines(int)> expected;
    };
    const Op ops[] = {
        {"open existing", file_, [&] { return open_file(file_.c_str(), O_RDWR, 0666, 2, 0); },
         [&](int e) {
             return Lines{progress(fmt(MT_OPEN, file_.c_str())), error(MT_OPEN_FAILED, e)};
         }},
        {"open to create", file_,
         [&] { return open_file(file_.c_str(), O_RDWR | O_CREAT, 0666, 2, 0); },
         [&](int e) {
             return Lines{progress(fmt(MT_OPEN, file_.c_str())), error(MT_OPEN_FAILED, e)};
         }},
        {"owner change", file_, [&] { return change_owner(file_.c_str(), "nobody", ""); },
         [&](int e) {
             return Lines{progress(chown_line), error(MT_CHOWN_FAILED, e)};
         }},
        {"probe of a wait", probe,
         [&] { return wait_file_no_exists(file_.c_str(), time(nullptr), 30); },
         [&](int e) {
             return Lines{progress(fmt(MT_WAIT_CREATED, file_.c_str())), error(MT_OPEN_FAILED, e)};
         }},
    };
    for (const Plant &p : plants) {
        for (const Op &op : ops) {
            SCOPED_TRACE(std::string(p.name) + " under the name of the " + op.name);
            ntwtest::write_file_bytes(victim, "precious");
            ASSERT_EQ(chmod(victim.c_str(), 0640), 0);
            ASSERT_EQ(p.make(victim.c_str(), op.planted.c_str()), 0);
            clear_lines();
            const time_t start = time(nullptr);
            EXPECT_EQ(op.call(), -1);
            EXPECT_LE(time(nullptr) - start, 1);
            EXPECT_EQ(get_is_timeout(), 0);
            EXPECT_EQ(lines(), op.expected(p.error));
            struct stat st;
            ASSERT_EQ(stat(victim.c_str(), &st), 0);
            EXPECT_EQ(st.st_uid, getuid());
            EXPECT_EQ(st.st_mode & 07777, 0640u);
            EXPECT_EQ(ntwtest::read_file_bytes(victim), "precious");
            unlink(op.planted.c_str());
            unlink(victim.c_str());
        }
    }

    // A dangling link: O_CREAT does not create its target.
    const std::string absent = logdir_.file("absent");
    ASSERT_EQ(symlink(absent.c_str(), file_.c_str()), 0);
    EXPECT_EQ(open_file(file_.c_str(), O_RDWR | O_CREAT, 0666, 2, 0), -1);
    EXPECT_NE(access(absent.c_str(), F_OK), 0) << "O_CREAT created the link's target";
}

// The two names of the link test: two links are allowed where the checker
// made the second itself, a third is not.
TEST_F(ComTest, OpenAllowsOnlyTheLinksTheCheckerMade)
{
    ntwtest::write_file_bytes(file_, "");
    const std::string second = dir_.file("second");
    ASSERT_EQ(link(file_.c_str(), second.c_str()), 0);
    EXPECT_EQ(open_file(second.c_str(), O_RDWR, 0666, 2, 0), -1);
    int fd = open_file_max_links(second.c_str(), O_RDWR, 0666, 2, 0, 2);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0) << "the descriptor is left blocking";
    close(fd);
    ASSERT_EQ(link(file_.c_str(), dir_.file("third").c_str()), 0);
    EXPECT_EQ(open_file_max_links(second.c_str(), O_RDWR, 0666, 2, 0, 2), -1);
}

// The same plants under every kind of name that a real run of mode single
// opens: the work files of both paths (the two names of the link test
// among them), the sync file, the end-wait file and its probe.  The names
// carry the checker's process id; they are planted by the run's own process
// before it executes the checker.  Each planted name is refused with its
// error number, the planted link's target keeps its content, owner and
// mode, and the run ends within its time-outs and leaves no process behind.
TEST(PlantedNames, RealRunsRefuseThemAndLeaveTheirTargetsUntouched)
{
    if (getuid() != 0)
        GTEST_SKIP() << "the owner change to another user needs root";
    ntwtest::become_subreaper();
    char host[256] = {};
    ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
    struct Plant {
        const char *name;
        int (*make)(const char *victim, const char *name);
        int error;
    };
    const Plant plants[] = {
        {"symbolic link", [](const char *v, const char *n) { return symlink(v, n); }, ELOOP},
        {"hard link", [](const char *v, const char *n) { return link(v, n); }, EMLINK},
        {"fifo", [](const char *, const char *n) { return mkfifo(n, 0600); }, EINVAL},
    };
    // Names that do not keep each other from being reached share a run (a
    // failed sync file or end-wait file ends the chain of tests).  The names
    // of a pairing's finish are opened by whichever party gets there first
    // or last, and the forked partner reports nothing: for them only the
    // untouched target is checked.
    const std::vector<std::vector<std::string>> groups = {
        {"T/.#ZEMLOCK.H.P.0", "T/.#ZEMLOCK.H.P.1", "S/.#ZEMLOCK.H.P.0"},
        {"S/.#ZEMLOCK.H.P.master"},
        {"S/H.P.endwaitfile", "S/H.P.endwaitfile.EXCL"},
    };
    for (const Plant &p : plants) {
        for (const auto &group : groups) {
            SCOPED_TRACE(std::string(p.name) + " under " + group[0]);
            ntwtest::TempDir share("ntwplants", 0777), target("ntwplantt", 0777),
                victims("ntwplantv");
            const std::string victim = victims.file("victim");
            ntwtest::write_file_bytes(victim, "precious");
            ASSERT_EQ(chmod(victim.c_str(), 0640), 0);
            auto real_name = [&](std::string n, pid_t pid) {
                n.replace(n.find('P'), 1, std::to_string(pid));
                n.replace(n.find('H'), 1, host);
                return n.replace(0, 1, n[0] == 'S' ? share.path() : target.path());
            };
            ntwtest::RunOptions opt;
            opt.before_exec = [&] {
                for (const auto &n : group) {
                    if (p.make(victim.c_str(), real_name(n, getpid()).c_str()) != 0)
                        _exit(125);
                }
            };
            const time_t start = time(nullptr);
            ntwtest::Proc run =
                ntwtest::start_checker({"-8", "-m", "single", "-h", share.path(), "-p",
                                        target.path(), "-O", "nobody", "-t", "10"},
                                       opt);
            ntwtest::RunResult r = ntwtest::finish_checker(run);
            EXPECT_LE(time(nullptr) - start, 120);
            EXPECT_EQ(r.status, 255) << r.out << r.err;
            std::vector<std::string> lines = ntwtest::split_lines(r.out);
            for (const auto &n : group) {
                if (n.find("endwait") != std::string::npos)
                    continue;
                const std::string name = real_name(n, run.pid);
                const std::string opened = progress(fmt(MT_OPEN, name.c_str()));
                bool refused = false;
                for (size_t i = 0; i + 1 < lines.size(); ++i)
                    refused |= lines[i] == opened && lines[i + 1] == error(MT_OPEN_FAILED, p.error);
                EXPECT_TRUE(refused) << name << "\n" << r.out;
            }
            struct stat st;
            ASSERT_EQ(stat(victim.c_str(), &st), 0);
            EXPECT_EQ(st.st_uid, 0u);
            EXPECT_EQ(st.st_mode & 07777, 0640u);
            EXPECT_EQ(ntwtest::read_file_bytes(victim), "precious");
            EXPECT_EQ(ntwtest::leftover_children(), std::vector<pid_t>{});
        }
    }
}

// ---------------------------------------------------------------------------
// Locks against a second process

TEST_F(ComTest, NonWaitingRequestsConflictOnlyWithTheOtherProcessesByte0Lock)
{
    ntwtest::write_file_bytes(file_, "1234567890");
    struct Case {
        short held;
        off_t held_start;
        int exclusive;
        int result;
    };
    const Case cases[] = {
        {F_RDLCK, 0, 0, 0},  {F_RDLCK, 0, 1, -1}, {F_WRLCK, 0, 0, -1},
        {F_WRLCK, 0, 1, -1}, {F_WRLCK, 1, 1, 0},  {F_WRLCK, 1, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.held == F_RDLCK ? "shared" : "exclusive") + " held at " +
                     std::to_string(c.held_start) + ", request " +
                     (c.exclusive ? "exclusive" : "shared"));
        LockHolder holder(file_, LockHolder::FCNTL, c.held, c.held_start, 1);
        int fd = open(file_.c_str(), O_RDWR);
        clear_lines();
        for (int expect_failure : {0, 1}) {
            EXPECT_EQ(lock_file(fd, c.exclusive, 0, 2, expect_failure), c.result);
            EXPECT_EQ(get_is_timeout(), 0);
        }
        ntw_text_id word = c.exclusive ? MT_LOCKWORD_EXCLUSIVE : MT_LOCKWORD_SHARED;
        std::string request = progress(fmt(MT_LOCK, catalog(word).c_str()));
        Lines got = lines();
        if (c.result == 0) {
            EXPECT_EQ(got, (Lines{request, request}));
        } else {
            ASSERT_EQ(got.size(), 4u);
            std::string failed = fmt(MT_LOCK_FAILED, catalog(word).c_str());
            int err = got[1].find("ERRORCODE=" + std::to_string(EACCES)) != std::string::npos
                          ? EACCES
                          : EAGAIN;
            EXPECT_EQ(got, (Lines{request, error(failed, err), request, progress(failed, err)}));
        }
        close(fd);
    }
}

TEST_F(ComTest, WaitingLockIsGrantedWhenTheOtherProcessReleases)
{
    ntwtest::write_file_bytes(file_, "");
    LockHolder holder(file_, LockHolder::FCNTL, F_WRLCK, 0, 1, 1000);
    int fd = open(file_.c_str(), O_RDWR);
    EXPECT_EQ(lock_file(fd, 1, 1, 20, 0), 0);
    EXPECT_EQ(get_is_timeout(), 0);
    EXPECT_EQ(unlock_file(fd, 2), 0);
    EXPECT_EQ(unlock_file(fd, 2), 0) << "releasing a lock that is not held is fine";
    EXPECT_EQ(lines(), (Lines{progress(fmt(MT_LOCK, catalog(MT_LOCKWORD_EXCLUSIVE).c_str())),
                              progress(MT_UNLOCK), progress(MT_UNLOCK)}));
    close(fd);
}

TEST_F(ComTest, WaitingLockNeverReleasedEndsAtTheTimeOutWithFlagSet)
{
    ntwtest::write_file_bytes(file_, "");
    LockHolder holder(file_, LockHolder::FCNTL, F_WRLCK, 0, 1);
    int fd = open(file_.c_str(), O_RDWR);
    time_t start = time(nullptr);
    EXPECT_EQ(lock_file(fd, 0, 1, 1, 0), -1);
    EXPECT_LT(time(nullptr) - start, 30) << "the waiting lock did not end at the time-out";
    EXPECT_EQ(get_is_timeout(), 1);
    EXPECT_EQ(lines(), (Lines{progress(fmt(MT_LOCK, catalog(MT_LOCKWORD_SHARED).c_str())),
                              error(MT_TIMEOUT, EINTR)}));
    close(fd);
}

TEST_F(ComTest, WholeFileLocksRefuseOrTimeOutAgainstAHolder)
{
    ntwtest::write_file_bytes(file_, "1234567890");
    std::string excl = catalog(MT_LOCKWORD_EXCLUSIVE);
    int fd = open(file_.c_str(), O_RDWR);
    EXPECT_EQ(lockf_file(fd, F_TLOCK, 2, 0), 0);
    EXPECT_EQ(lockf_file(fd, F_ULOCK, 2, 0), 0);
    close(fd);
    EXPECT_EQ(lines(), (Lines{progress(fmt(MT_LOCK, excl.c_str())), progress(MT_UNLOCK)}));

    LockHolder holder(file_, LockHolder::LOCKF, F_WRLCK, 0, 0);
    fd = open(file_.c_str(), O_RDWR);
    clear_lines();
    EXPECT_EQ(lockf_file(fd, F_TLOCK, 2, 1), -1);
    EXPECT_EQ(get_is_timeout(), 0);
    EXPECT_EQ(lockf_file(fd, F_LOCK, 1, 0), 0) << "a waiting lock that times out counts as done";
    EXPECT_EQ(get_is_timeout(), 1);
    Lines got = lines();
    ASSERT_EQ(got.size(), 4u);
    std::string failed = fmt(MT_LOCK_FAILED, excl.c_str());
    int err =
        got[1].find("ERRORCODE=" + std::to_string(EACCES)) != std::string::npos ? EACCES : EAGAIN;
    EXPECT_EQ(got, (Lines{progress(fmt(MT_LOCK, excl.c_str())), progress(failed, err),
                          progress(fmt(MT_LOCK, excl.c_str())), error(MT_TIMEOUT, EINTR)}));
    close(fd);
}

// ---------------------------------------------------------------------------
// Deletion registry and directory part

TEST_F(ComTest, OnlyTheMainProcessDeletesTheRegisteredFiles)
{
    delete_allfile();
    std::string a = dir_.file("a"), b = dir_.file("b");
    ntwtest::write_file_bytes(a, "x");
    ntwtest::write_file_bytes(b, "x");
    add_deletefilename(a.c_str());
    add_deletefilename(b.c_str());
    add_deletefilename(a.c_str());

    pid_t child = fork();
    if (child == 0) {
        delete_allfile_async_safe();
        delete_allfile();
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_EQ(dir_.entries(), (std::vector<std::string>{"a", "b"}));

    delete_allfile_async_safe();
    EXPECT_EQ(dir_.entries(), std::vector<std::string>{});
    ntwtest::write_file_bytes(a, "x");
    delete_allfile();
    EXPECT_EQ(dir_.entries(), std::vector<std::string>{});

    ntwtest::write_file_bytes(a, "x");
    delete_allfile();
    EXPECT_EQ(dir_.entries(), std::vector<std::string>{"a"}) << "the registry was emptied";
}

TEST(ComDirname, GivesTheDirectoryPartUpToTheLastSlash)
{
    struct Case {
        const char *path;
        unsigned size;
        int result;
        const char *dir;
    };
    const Case cases[] = {
        {"/file", 259, 0, ""}, {"file", 259, -1, "untouched"}, {"top/sub/file", 2, 0, "to"},
        {"/x/", 259, 0, "/x"}, {"/a/b/c", 259, 0, "/a/b"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.path);
        char out[260] = "untouched";
        EXPECT_EQ(get_dirname(c.path, out, c.size), c.result);
        EXPECT_STREQ(out, c.dir);
    }
}

} // namespace
