// Tests of the ntwmain module.
#include "testutil.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace ntwtest;

namespace {

const std::string k_usage =
    "USAGE:zemntwchk {-s|-e|-8} -m single -p targetpath -h zemsharepath [-O Owner [-G Group]] "
    "[-o logfile] [-t timeout]\n"
    "      zemntwchk {-s|-e|-8} -m double -p targetpath -h zemsharepath [-O Owner [-G Group]] "
    "[-o logfile] [-t timeout]\n"
    "      zemntwchk {-s|-e|-8} -m userapl -f targetfile [-o logfile] [-t timeout]\n";

struct ArgvHolder {
    explicit ArgvHolder(const std::vector<std::string> &args) : strings(args)
    {
        strings.insert(strings.begin(), "zemntwchk");
        for (auto &s : strings)
            ptrs.push_back(&s[0]);
        ptrs.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(ptrs.size()) - 1; }
    char **argv() { return ptrs.data(); }
    std::vector<std::string> strings;
    std::vector<char *> ptrs;
};

struct ArgOutcome {
    int result;
    NtwParam param;
    std::string out, err;
};

ArgOutcome parse(const std::vector<std::string> &args)
{
    ArgOutcome o{};
    ArgvHolder a(args);
    FdCapture out(STDOUT_FILENO);
    FdCapture err(STDERR_FILENO);
    o.result = check_arg(a.argc(), a.argv(), &o.param);
    o.err = err.finish();
    o.out = out.finish();
    return o;
}

std::string text_of(const std::vector<std::string> &args)
{
    std::string s;
    for (const auto &a : args)
        s += "[" + a + "]";
    return s;
}

// Fails on processes that outlived their run, and ends them.
void expect_no_leftover_children()
{
    std::vector<pid_t> left = leftover_children();
    EXPECT_EQ(std::vector<pid_t>{}, left);
    for (pid_t pid : left) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
}

std::string end_line_ok(const std::string &name)
{
    return "テスト " + name + "が終了しました。 ... [ OK ]";
}

const std::string P200(200, 'p');
const std::string P201(201, 'p');
const std::string N14(14, 'n');
const std::string N15(15, 'n');

} // namespace

TEST(CheckArg, AcceptedCommandLinesFillTheRecord)
{
    struct Case {
        std::vector<std::string> args;
        int mode, timeout, code_set;
        std::string share, target, file, log, owner, group;
    };
    // clang-format off
    const Case cases[] = {
        {{"-s", "-m", "single", "-h", "/s", "-p", "/t"}, 1, 30, 2, "/s", "/t", "", "", "", ""},
        {{"-m", "double", "-e", "-p", "/t", "-h", "/s", "-t", "600"}, 3, 600, 1, "/s", "/t", "",
         "", "", ""},
        {{"-8", "-m", "single", "-h", "/s", "-p", "/t", "-t", "10"}, 1, 10, 3, "/s", "/t", "",
         "", "", ""},
        {{"-8", "-m", "single", "-h", "/s", "-p", "/t", "-t", "010"}, 1, 10, 3, "/s", "/t", "",
         "", "", ""},
        {{"-8", "-m", "single", "-h", "/s", "-p", "/t", "-t", "000000000000000000000600"}, 1,
         600, 3, "/s", "/t", "", "", "", ""},
        {{"-8", "-m", "userapl", "-f", "/x/f", "-o", "/l", "-t", "45"}, 4, 45, 3, "", "", "/x/f",
         "/l", "", ""},
        // Owner and group play no part in mode userapl; -G alone is allowed.
        {{"-e", "-m", "userapl", "-f", "f", "-G", "g"}, 4, 30, 1, "", "", "f", "", "", "g"},
        {{"-s", "-m", "single", "-h", P200, "-p", P200, "-o", P200, "-O", N14, "-G", N14}, 1,
         30, 2, P200, P200, "", P200, N14, N14},
        {{"-s", "-m", "userapl", "-f", P200}, 4, 30, 2, "", "", P200, "", "", ""},
        // A value is the next argument whatever it looks like.
        {{"-8", "-m", "single", "-p", "-h", "-h", "-p"}, 1, 30, 3, "-p", "-h", "", "", "", ""},
        {{"-8", "-m", "single", "-h", "/s", "-p", "/t", "-O", "-G"}, 1, 30, 3, "/s", "/t", "",
         "", "-G", ""},
        // An empty value leaves the field unset, so the option may come again.
        {{"-8", "-m", "single", "-h", "", "-h", "/s", "-p", "/t"}, 1, 30, 3, "/s", "/t", "",
         "", "", ""},
    };
    // clang-format on
    for (const Case &c : cases) {
        SCOPED_TRACE(text_of(c.args));
        ArgOutcome o = parse(c.args);
        ASSERT_EQ(0, o.result);
        EXPECT_EQ("", o.out);
        EXPECT_EQ("", o.err);
        EXPECT_EQ(c.mode, o.param.mode);
        EXPECT_EQ(c.timeout, o.param.timeout);
        EXPECT_EQ(c.code_set, o.param.code_set);
        EXPECT_EQ(c.share, o.param.share_path);
        EXPECT_EQ(c.target, o.param.target_path);
        EXPECT_EQ(c.file, o.param.target_file);
        EXPECT_EQ(c.log, o.param.log_file);
        EXPECT_EQ(c.owner, o.param.owner);
        EXPECT_EQ(c.group, o.param.group);
    }
}

TEST(CheckArg, RejectedCommandLinesPrintOnlyTheUsageText)
{
    const std::vector<std::string> ok = {"-s", "-m", "single", "-h", "/s", "-p", "/t"};
    auto with = [&](std::vector<std::string> extra) {
        std::vector<std::string> v = ok;
        v.insert(v.end(), extra.begin(), extra.end());
        return v;
    };
    const std::vector<std::vector<std::string>> groups[] = {
        // Nothing, unknown or malformed arguments.
        {{},
         {"-x"},
         with({"extra"}),
         with({"-t10"}),
         with({"--"}),
         with({"-S"}),
         with({"-se"}),
         {"-s", "-msingle", "-h", "/s", "-p", "/t"}},
        // An option that takes a value, given last.
        {with({"-t"}), with({"-o"}), with({"-O"}), {"-s", "-h", "/s", "-p", "/t", "-m"}},
        // Mode word.
        {{"-s", "-h", "/s", "-p", "/t"},
         {"-s", "-m", "Single", "-h", "/s", "-p", "/t"},
         {"-s", "-m", "USERAPL", "-f", "f"},
         {"-s", "-m", "", "-h", "/s", "-p", "/t"},
         {"-s", "-m", "triple", "-h", "/s", "-p", "/t"},
         with({"-m", "single"})},
        // Options a mode requires or forbids.
        {{"-s", "-m", "single", "-h", "/s"},
         {"-s", "-m", "double", "-p", "/t"},
         with({"-f", "f"}),
         {"-s", "-m", "userapl"},
         {"-s", "-m", "userapl", "-f", "f", "-p", "/t"},
         {"-s", "-m", "userapl", "-f", "f", "-h", "/s"},
         with({"-G", "g"}),
         {"-s", "-m", "double", "-h", "/s", "-p", "/t", "-G", "g"}},
        // Time-out values, including digit strings that would wrap into
        // range in 32 or 64 bits.
        {with({"-t", "601"}), with({"-t", "9"}), with({"-t", ""}), with({"-t", "0"}),
         with({"-t", "1a"}), with({"-t", "+30"}), with({"-t", "-30"}), with({"-t", " 30"}),
         with({"-t", "30 "}), with({"-t", "4294967306"}), with({"-t", "4294967896"}),
         with({"-t", "18446744073709551626"}), with({"-t", "99999999999999999999"}),
         with({"-t", "30", "-t", "30"})},
        // Code sets: none, the same twice, two different ones.
        {{"-m", "single", "-h", "/s", "-p", "/t"}, with({"-s"}), with({"-e"}), with({"-8"})},
        // Length limits and repeats.
        {with({"-o", P201}),
         {"-s", "-m", "single", "-h", P201, "-p", "/t"},
         {"-s", "-m", "single", "-h", "/s", "-p", P201},
         {"-s", "-m", "userapl", "-f", P201},
         with({"-O", N15}),
         with({"-O", "u", "-G", N15}),
         {"-s", "-m", "userapl", "-f", "f", "-O", N15},
         with({"-p", "/t"}),
         with({"-h", "/s"}),
         with({"-o", "/l", "-o", "/l"}),
         with({"-O", "u", "-O", "u"}),
         with({"-O", "u", "-G", "g", "-G", "g"}),
         {"-s", "-m", "userapl", "-f", "f", "-f", "f"}},
    };
    for (const auto &group : groups) {
        for (const auto &args : group) {
            SCOPED_TRACE(text_of(args));
            ArgOutcome o = parse(args);
            EXPECT_EQ(-1, o.result);
            EXPECT_EQ(k_usage, o.err);
            EXPECT_EQ("", o.out);
        }
    }
}

TEST(CheckArg, ClearsCodeSetAndLogFileOnEntry)
{
    ArgOutcome o{};
    std::snprintf(o.param.log_file, sizeof o.param.log_file, "old");
    o.param.code_set = NTW_CODE_SJIS;
    ArgvHolder a({"-m", "single", "-h", "/s", "-p", "/t", "-o", "/l"});
    FdCapture err(STDERR_FILENO);
    // No code-set option: the stale value must not count.
    EXPECT_EQ(-1, check_arg(a.argc(), a.argv(), &o.param));
    EXPECT_EQ(k_usage, err.finish());
}

// ---------------------------------------------------------------------------
// Environment check through the real program

namespace {

struct EnvCase {
    const char *what;
    std::vector<std::string> args; // after the code-set option
    ntw_text_id message;
    bool with_strerror;
};

} // namespace

TEST(EnvironmentCheck, EachFailureWritesItsMessageToStandardErrorOnly)
{
    TempDir dir("ntwenv");
    const std::string share = dir.file("share"), target = dir.file("target");
    mkdir(share.c_str(), 0755);
    mkdir(target.c_str(), 0755);
    const std::string plain = dir.file("plain"), missing = dir.file("missing");
    write_file_bytes(plain, "x");
    const std::string log = dir.file("report.log");

    // clang-format off
    const EnvCase cases[] = {
        {"share missing", {"-m", "single", "-h", missing, "-p", target},
         MT_ENV_SHARE_PATH_MISSING, false},
        {"both missing: share first", {"-m", "double", "-h", missing, "-p", missing},
         MT_ENV_SHARE_PATH_MISSING, false},
        {"share not a directory", {"-m", "single", "-h", plain, "-p", missing},
         MT_ENV_SHARE_PATH_BAD, false},
        {"target missing", {"-m", "double", "-h", share, "-p", missing},
         MT_ENV_TARGET_PATH_MISSING, false},
        {"target not a directory", {"-m", "single", "-h", share, "-p", plain},
         MT_ENV_TARGET_PATH_BAD, false},
        {"unknown user", {"-m", "single", "-h", share, "-p", target, "-O", "nosuchuser9"},
         MT_ENV_USER_UNKNOWN, false},
        {"user before group",
         {"-m", "single", "-h", share, "-p", target, "-O", "nosuchuser9", "-G", "nosuchgrp9"},
         MT_ENV_USER_UNKNOWN, false},
        {"unknown group", {"-m", "single", "-h", share, "-p", target, "-O", "root", "-G",
                           "nosuchgrp9"},
         MT_ENV_GROUP_UNKNOWN, false},
        {"target file exists", {"-m", "userapl", "-f", plain}, MT_ENV_TARGET_FILE_EXISTS,
         false},
        {"target file directory missing", {"-m", "userapl", "-f", missing + "/f"},
         MT_ENV_TARGET_FILE_BAD_ERRNO, true},
        {"target file directory is a file", {"-m", "userapl", "-f", plain + "/f"},
         MT_ENV_TARGET_FILE_BAD, false},
    };
    // clang-format on
    const struct {
        const char *option;
        const char *charset;
    } code_sets[] = {{"-8", "UTF-8"}, {"-s", "SHIFT_JIS"}, {"-e", "EUC-JP"}};

    for (const EnvCase &c : cases) {
        for (const auto &cs : code_sets) {
            for (bool with_log : {false, true}) {
                SCOPED_TRACE(std::string(c.what) + " " + cs.option + (with_log ? " -o" : ""));
                unlink(log.c_str());
                std::vector<std::string> args = c.args;
                args.insert(args.begin(), cs.option);
                if (with_log) {
                    args.push_back("-o");
                    args.push_back(log);
                }
                RunResult r = run_checker(args);
                std::string expected = catalog(c.message);
                if (c.with_strerror) {
                    expected.replace(expected.find("%s"), 2, std::strerror(ENOENT));
                }
                EXPECT_EQ(255, r.status);
                EXPECT_EQ(convert(expected + "\n", "UTF-8", cs.charset), r.err);
                EXPECT_EQ("", r.out);
                if (with_log) {
                    struct stat st;
                    EXPECT_EQ(0, stat(log.c_str(), &st)) << "the log file is created";
                    EXPECT_EQ("", read_file_bytes(log));
                }
            }
        }
    }
}

TEST(EnvironmentCheck, UsableEnvironmentsPass)
{
    TempDir dir("ntwenv");
    NtwParam p{};
    p.code_set = NTW_CODE_UTF8;
    ASSERT_EQ(0, msg_init(&p));
    FdCapture err(STDERR_FILENO);

    p.mode = NTW_MODE_SINGLE;
    std::snprintf(p.share_path, sizeof p.share_path, "%s", dir.path().c_str());
    std::snprintf(p.target_path, sizeof p.target_path, "%s", dir.path().c_str());
    std::snprintf(p.owner, sizeof p.owner, "root");
    std::snprintf(p.group, sizeof p.group, "root");
    EXPECT_EQ(0, ntw_is_env_bad_condition(&p));

    NtwParam u{};
    u.mode = NTW_MODE_USERAPL;
    // No directory part: nothing more to check.
    std::snprintf(u.target_file, sizeof u.target_file, "no-such-file-here.ntw");
    EXPECT_EQ(0, ntw_is_env_bad_condition(&u));
    std::snprintf(u.target_file, sizeof u.target_file, "%s", dir.file("new").c_str());
    EXPECT_EQ(0, ntw_is_env_bad_condition(&u));
    // A file directly under the root directory.
    std::snprintf(u.target_file, sizeof u.target_file, "/no-such-file-here.ntw");
    EXPECT_EQ(0, ntw_is_env_bad_condition(&u));

    std::string err_text = err.finish();
    msg_finish();
    EXPECT_EQ("", err_text);
}

TEST(ExitStatus, BadCommandLineEndsWith255AndUsage)
{
    RunResult r = run_checker({"-8", "-m", "single"});
    EXPECT_EQ(255, r.status);
    EXPECT_EQ(k_usage, r.err);
    EXPECT_EQ("", r.out);
}

// A passing run, started normally, without one of its standard descriptors
// (each closed one is replaced by /dev/null, so no work or sync file takes
// its number), and with SIGHUP ignored as under nohup (a SIGHUP sent during
// the run then passes it by).
TEST(ExitStatus, PassingSingleRunEndsWith0AndLeavesNothing)
{
    become_subreaper();
    struct Row {
        const char *name;
        std::vector<int> closed_fds;
        bool sighup_ignored;
        bool report_on_stdout;
    };
    const Row rows[] = {
        {"normal", {}, false, true},
        {"stdin closed", {STDIN_FILENO}, false, true},
        {"stdout closed", {STDOUT_FILENO}, false, false},
        {"stderr closed, SIGHUP ignored and sent", {STDERR_FILENO}, true, true},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        TempDir share("ntwshare"), target("ntwtarget");
        RunOptions opt;
        opt.closed_fds = row.closed_fds;
        if (row.sighup_ignored)
            opt.ignored_signals = {SIGHUP};
        Proc p = start_checker(
            {"-8", "-m", "single", "-h", share.path(), "-p", target.path(), "-t", "10"}, opt);
        if (row.sighup_ignored) {
            for (int i = 0; i < 5; ++i) {
                usleep(200000);
                kill(p.pid, SIGHUP);
            }
        }
        RunResult r = finish_checker(p);
        EXPECT_EQ(0, r.status) << r.out << r.err;
        if (row.report_on_stdout) {
            std::vector<std::string> lines = split_lines(r.out);
            ASSERT_FALSE(lines.empty());
            EXPECT_EQ(end_line_ok(catalog(MT_TITLE_SINGLE)), lines.back());
            EXPECT_EQ(r.out.find("NG ]"), std::string::npos) << r.out;
        }
        EXPECT_TRUE(share.entries().empty());
        EXPECT_TRUE(target.entries().empty());
        expect_no_leftover_children();
    }
}

// Paths are written as their own bytes in every code set: a UTF-8 Japanese
// directory name stands unchanged in the report of -e, -s and -8, no line is
// lost (nothing on standard error), and the rest of each report is in its
// code set, with the same steps and verdicts.
TEST(ExitStatus, Utf8JapanesePathsAreWrittenAsTheyAreInEveryCodeSet)
{
    become_subreaper();
    struct CodeSet {
        const char *option;
        const char *iconv_name;
    };
    const CodeSet sets[] = {{"-e", "EUC-JP"}, {"-s", "SHIFT_JIS"}, {"-8", "UTF-8"}};
    std::vector<std::unique_ptr<TempDir>> dirs;
    std::vector<Proc> runs;
    for (const CodeSet &set : sets) {
        dirs.emplace_back(new TempDir("共有パス"));
        dirs.emplace_back(new TempDir("確認対象ディレクトリ"));
        runs.push_back(
            start_checker({set.option, "-m", "single", "-h", dirs[dirs.size() - 2]->path(), "-p",
                           dirs.back()->path(), "-t", "10"}));
    }
    const std::string open_text = catalog(MT_OPEN);
    const std::string open_head = "        " + open_text.substr(0, open_text.find("%s"));
    std::vector<std::vector<std::string>> steps;
    for (size_t i = 0; i < runs.size(); ++i) {
        SCOPED_TRACE(sets[i].option);
        RunResult r = finish_checker(runs[i]);
        EXPECT_EQ(0, r.status) << r.out;
        EXPECT_EQ("", r.err);
        std::string out = r.out;
        for (size_t d = 2 * i; d < 2 * i + 2; ++d) {
            const std::string &path = dirs[d]->path();
            std::string line_head = convert(open_head, "UTF-8", sets[i].iconv_name) + path;
            EXPECT_NE(out.find(line_head + "/.#ZEMLOCK."), std::string::npos) << r.out;
            for (size_t at = out.find(path); at != std::string::npos; at = out.find(path, at))
                out.replace(at, path.size(), "@");
        }
        steps.push_back(test_lines(split_lines(convert(out, sets[i].iconv_name, "UTF-8"))));
    }
    EXPECT_EQ(steps[2], steps[0]);
    EXPECT_EQ(steps[2], steps[1]);
    expect_no_leftover_children();
}

// ---------------------------------------------------------------------------
// Terminating signals, driven in a forked copy of this process that has been
// started up like the program (ntw_init on temporary directories).

namespace {

const std::string k_signal_line_prefix = "        ! シグナルを受信しました SIGNUM=";

enum class Activity {
    WaitingLock,    // blocked in F_SETLKW on a byte another process holds
    WritingLines,   // writing report lines as fast as it can
    LinesAndSleeps, // report lines with short blocking sleeps in between
};

struct SignalRun {
    int status = -1;
    std::vector<std::string> lines; // the report, UTF-8
    bool work_file_left = true;
};

class StartedRun {
public:
    StartedRun() : share("ntwsig"), target("ntwsig") {}
    TempDir share, target;
    std::string work() const { return target.file("work"); }
    std::string log() const { return share.file("report.log"); }
    std::string out() const { return share.file("stdout"); }

    // In the child: start up as the program would, register a work file
    // and a long-lived child of our own.
    void child_start_up(bool with_log)
    {
        if (!with_log) {
            int fd = open(out().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(fd, STDOUT_FILENO);
            close(fd);
        }
        std::vector<std::string> args = {"-8", "-m",          "single", "-h", share.path(),
                                         "-p", target.path(), "-t",     "10"};
        if (with_log) {
            args.push_back("-o");
            args.push_back(log());
        }
        ArgvHolder a(args);
        static NtwParam param;
        if (ntw_init(a.argc(), a.argv(), &param) != 0)
            _exit(100);
        close(open(work().c_str(), O_WRONLY | O_CREAT, 0644));
        add_deletefilename(work().c_str());
        msg_flush();
        pid_t helper = fork();
        if (helper == 0) {
            msg_finish();
            for (;;)
                pause();
        }
        sig_add_child(helper);
    }

    SignalRun collect(pid_t pid, bool with_log)
    {
        SignalRun r;
        int st = 0;
        // A run that does not end on the signal is a failure, not a hang.
        for (int waited_ms = 0; waitpid(pid, &st, WNOHANG) == 0; waited_ms += 10) {
            if (waited_ms > 60000) {
                ADD_FAILURE() << "the run did not end within 60 s of the signal";
                kill(pid, SIGKILL);
                waitpid(pid, &st, 0);
                break;
            }
            usleep(10000);
        }
        r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -WTERMSIG(st);
        r.lines = split_lines(read_file_bytes(with_log ? log() : out()));
        struct stat sb;
        r.work_file_left = stat(work().c_str(), &sb) == 0;
        return r;
    }
};

void wait_ready(int fd)
{
    char c;
    while (read(fd, &c, 1) == -1 && errno == EINTR) {
    }
    close(fd);
}

void tell_ready(int fd)
{
    char c = 'r';
    if (write(fd, &c, 1) != 1)
        _exit(101);
    close(fd);
}

[[noreturn]] void child_activity(Activity act, const std::string &lock_path)
{
    switch (act) {
    case Activity::WaitingLock: {
        int fd = open(lock_path.c_str(), O_RDWR);
        struct flock fl {};
        fl.l_type = F_WRLCK;
        fl.l_whence = SEEK_SET;
        fl.l_start = 0;
        fl.l_len = 1;
        sig_blocking_begin();
        fcntl(fd, F_SETLKW, &fl);
        sig_blocking_end();
        break;
    }
    case Activity::WritingLines:
        // Full speed at first; slowed down later so that a signal delayed
        // by a loaded machine still finds the run going.
        for (int i = 0; i < 300000; ++i) {
            msg_statusmsg(0, "line %d", i);
            if (i >= 200000)
                usleep(1000);
        }
        break;
    case Activity::LinesAndSleeps:
        for (int i = 0; i < 100000; ++i) {
            msg_statusmsg(0, "line %d", i);
            sig_blocking_begin();
            usleep(100);
            sig_blocking_end();
        }
        break;
    }
    _exit(0);
}

SignalRun run_and_signal(Activity act, int sig, int delay_us, bool with_log)
{
    StartedRun run;
    const std::string lock_path = run.share.file("lock");
    int lock_fd = open(lock_path.c_str(), O_RDWR | O_CREAT, 0644);
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_len = 1;
    fcntl(lock_fd, F_SETLK, &fl);

    int ready[2];
    if (pipe(ready) != 0)
        ADD_FAILURE() << "pipe";
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        close(ready[0]);
        run.child_start_up(with_log);
        tell_ready(ready[1]);
        child_activity(act, lock_path);
    }
    close(ready[1]);
    wait_ready(ready[0]);
    usleep(static_cast<useconds_t>(delay_us));
    kill(pid, sig);
    SignalRun r = run.collect(pid, with_log);
    close(lock_fd);
    return r;
}

} // namespace

TEST(Signals, InterruptAtManyMomentsEndsWithStatus1LineOnceAndNoWorkFile)
{
    become_subreaper();
    const int delays_us[] = {0, 100, 500, 2000, 7000, 20000, 60000};
    for (Activity act : {Activity::WaitingLock, Activity::WritingLines, Activity::LinesAndSleeps}) {
        for (int sig : {SIGINT, SIGHUP, SIGTERM}) {
            for (bool with_log : {true, false}) {
                for (int delay : delays_us) {
                    SCOPED_TRACE(::testing::Message()
                                 << "activity " << static_cast<int>(act) << " signal " << sig
                                 << (with_log ? " log" : " stdout") << " delay " << delay);
                    SignalRun r = run_and_signal(act, sig, delay, with_log);
                    EXPECT_EQ(1, r.status);
                    EXPECT_FALSE(r.work_file_left);
                    expect_no_leftover_children();
                    ASSERT_FALSE(r.lines.empty());
                    const std::string signal_line = k_signal_line_prefix + std::to_string(sig);
                    EXPECT_EQ(signal_line, r.lines.back());
                    // Every line before it is whole and in order.
                    for (size_t i = 0; i + 1 < r.lines.size(); ++i) {
                        if (r.lines[i] != "        line " + std::to_string(i)) {
                            ADD_FAILURE() << "line " << i << " is \"" << r.lines[i] << "\"";
                            break;
                        }
                    }
                }
            }
        }
    }
}

TEST(Signals, SigpipeOnClosedStandardOutputEndsWithStatus1)
{
    become_subreaper();
    StartedRun run;
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int p[2];
        if (pipe(p) != 0)
            _exit(102);
        close(p[0]);
        run.child_start_up(true);
        // The report goes to the log; a closed pipe on standard output
        // raises SIGPIPE on the flush before a blocking call.
        dup2(p[1], STDOUT_FILENO);
        std::fputs("pending\n", stdout);
        sig_blocking_begin();
        sig_blocking_end();
        msg_statusmsg(0, "%s", "after");
        _exit(0);
    }
    SignalRun r = run.collect(pid, true);
    EXPECT_EQ(1, r.status);
    EXPECT_FALSE(r.work_file_left);
    expect_no_leftover_children();
    EXPECT_EQ(std::vector<std::string>{k_signal_line_prefix + std::to_string(SIGPIPE)}, r.lines);
}

// A forked partner has switched its messages off: a signal ends it with
// status 1, writes nothing and deletes nothing; the main process goes on,
// and at its normal exit removes the files and its still-registered child.
TEST(Signals, ForkedPartnerEndsSilentlyWithStatus1AndDeletesNothing)
{
    become_subreaper();
    for (bool partner_blocked : {true, false}) {
        SCOPED_TRACE(partner_blocked ? "partner blocked" : "partner busy");
        StartedRun run;
        int ready[2];
        ASSERT_EQ(0, pipe(ready));
        std::fflush(nullptr);
        pid_t pid = fork();
        if (pid == 0) {
            close(ready[0]);
            run.child_start_up(true);
            msg_flush();
            pid_t partner = fork();
            if (partner == 0) {
                msg_finish();
                pid_t self = getpid();
                if (write(ready[1], &self, sizeof self) != sizeof self)
                    _exit(103);
                for (;;) {
                    if (partner_blocked) {
                        sig_blocking_begin();
                        pause();
                        sig_blocking_end();
                    } else {
                        msg_statusmsg(0, "%s", "partner line");
                    }
                }
            }
            sig_add_child(partner);
            int st = 0;
            while (waitpid(partner, &st, 0) == -1 && errno == EINTR) {
            }
            sig_remove_child(partner);
            struct stat sb;
            bool kept = stat(run.work().c_str(), &sb) == 0;
            msg_statusmsg(0, "partner status %d kept %d", WIFEXITED(st) ? WEXITSTATUS(st) : -1,
                          kept);
            exit(0);
        }
        close(ready[1]);
        pid_t partner = -1;
        ASSERT_EQ(static_cast<ssize_t>(sizeof partner), read(ready[0], &partner, sizeof partner));
        close(ready[0]);
        usleep(20000);
        kill(partner, SIGINT);
        SignalRun r = run.collect(pid, true);
        EXPECT_EQ(0, r.status);
        EXPECT_FALSE(r.work_file_left);
        EXPECT_EQ(std::vector<std::string>{"        partner status 1 kept 1"}, r.lines);
        expect_no_leftover_children();
    }
}

// The real program, interrupted at many moments of a run of mode single.
TEST(Signals, InterruptedProgramEndsWithStatus1AndLeavesNothing)
{
    become_subreaper();
    int interrupted = 0;
    constexpr int k_run_signals[] = {SIGINT, SIGHUP, SIGTERM};
    const int delays_ms[] = {5, 30, 80, 150, 300, 600, 1000};
    for (int delay : delays_ms) {
        for (bool with_log : {true, false}) {
            const int sig = k_run_signals[(delay + with_log) % 3];
            SCOPED_TRACE(::testing::Message() << "delay " << delay << " ms signal " << sig
                                              << (with_log ? " log" : " stdout"));
            TempDir share("ntwsigshare"), target("ntwsigtarget"), logdir("ntwsiglog");
            std::vector<std::string> args = {"-8", "-m",          "single", "-h", share.path(),
                                             "-p", target.path(), "-t",     "10"};
            const std::string log = logdir.file("report.log");
            if (with_log) {
                args.push_back("-o");
                args.push_back(log);
            }
            Proc p = start_checker(args);
            usleep(static_cast<useconds_t>(delay) * 1000);
            // Half of the runs get it like a terminal does, with every
            // process of the run's group.
            kill(delay % 3 == 0 ? -p.pid : p.pid, sig);
            RunResult r = finish_checker(p);
            std::vector<std::string> lines = split_lines(with_log ? read_file_bytes(log) : r.out);
            const std::string signal_line = k_signal_line_prefix + std::to_string(sig);
            size_t count = 0;
            for (const auto &l : lines)
                count += l == signal_line;
            if (r.status == 1) {
                ++interrupted;
                EXPECT_EQ(1u, count);
                ASSERT_FALSE(lines.empty());
                EXPECT_EQ(signal_line, lines.back());
            } else {
                EXPECT_EQ(0u, count);
            }
            EXPECT_EQ("", r.err);
            EXPECT_EQ(std::vector<std::string>{}, share.entries())
                << "pid " << p.pid << " status " << r.status << " signal " << r.signal << "\n"
                << (with_log ? read_file_bytes(log) : r.out);
            EXPECT_EQ(std::vector<std::string>{}, target.entries());
            expect_no_leftover_children();
        }
    }
    EXPECT_GT(interrupted, 0) << "no run lasted long enough to be interrupted";
}
