#include "testutil.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <iconv.h>
#include <pwd.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace ntwtest {

namespace fs = std::filesystem;

TempDir::TempDir(const char *tag, mode_t mode)
{
    std::string name = std::string("/tmp/") + tag + ".XXXXXX";
    if (mkdtemp(&name[0]) == nullptr)
        ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
    path_ = name;
    chmod(path_.c_str(), mode);
}

TempDir::~TempDir()
{
    std::error_code ec;
    fs::remove_all(path_, ec);
}

std::vector<std::string> TempDir::entries() const
{
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto &e : fs::directory_iterator(path_, ec))
        names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

static std::string temp_file()
{
    char name[] = "/tmp/ntwout.XXXXXX";
    int fd = mkstemp(name);
    fchmod(fd, 0666); // the checker may run as another user
    close(fd);
    return name;
}

// Runs argv in a new process with standard input on /dev/null; exits 127
// when it cannot be run.
static pid_t spawn(std::vector<std::string> args, const std::function<void()> &prepare)
{
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(open("/dev/null", O_RDONLY), 0);
        prepare();
        execvp(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

// Standard output through a pipe: a copying process writes it to the file.
static int pipe_to_file(const std::string &file, pid_t *copier)
{
    int fds[2];
    if (pipe(fds) != 0)
        return -1;
    *copier = spawn({"cat"}, [&] {
        dup2(fds[0], 0);
        dup2(open(file.c_str(), O_WRONLY | O_TRUNC), 1);
        close(fds[1]);
    });
    close(fds[0]);
    return fds[1];
}

Proc start_checker(const std::vector<std::string> &args, const RunOptions &opt)
{
    Proc p;
    p.kill_after_s = opt.kill_after_s;
    p.out_file = temp_file();
    p.err_file = temp_file();
    pid_t copier = -1;
    int out = opt.stdout_pipe ? pipe_to_file(p.out_file, &copier) : -1;
    std::vector<std::string> argv = opt.prefix;
    argv.push_back(ZEMNTWCHK_BIN);
    argv.insert(argv.end(), args.begin(), args.end());
    p.pid = spawn(argv, [&] {
        setpgid(0, 0);
        dup2(out >= 0 ? out : open(p.out_file.c_str(), O_WRONLY | O_TRUNC), 1);
        dup2(open(p.err_file.c_str(), O_WRONLY | O_TRUNC), 2);
        for (int sig : {SIGINT, SIGHUP, SIGPIPE, SIGTERM, SIGALRM})
            signal(sig, SIG_DFL);
        for (int sig : opt.ignored_signals)
            signal(sig, SIG_IGN);
        for (int fd : opt.closed_fds)
            close(fd);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        for (const auto &e : opt.env)
            putenv(strdup(e.c_str()));
        if (!opt.cwd.empty() && chdir(opt.cwd.c_str()) != 0)
            _exit(126);
        if (opt.before_exec)
            opt.before_exec();
        if (opt.drop_privileges &&
            (setgroups(0, nullptr) != 0 || setgid(opt.gid) != 0 || setuid(opt.uid) != 0))
            _exit(126);
    });
    if (out >= 0)
        close(out);
    p.copier = copier;
    return p;
}

RunResult finish_checker(Proc &p)
{
    RunResult r;
    int status = 0;
    for (time_t end = time(nullptr) + p.kill_after_s; waitpid(p.pid, &status, WNOHANG) == 0;) {
        if (time(nullptr) > end) {
            ADD_FAILURE() << "checker did not end within " << p.kill_after_s << " s; killed";
            kill(-p.pid, SIGKILL);
        }
        usleep(20000);
    }
    // A process left behind may hold the pipe open: the copy ends anyway.
    for (int i = 0; p.copier > 0 && waitpid(p.copier, nullptr, WNOHANG) == 0; ++i) {
        if (i == 100)
            kill(p.copier, SIGKILL);
        usleep(50000);
    }
    r.out = read_file_bytes(p.out_file);
    r.err = read_file_bytes(p.err_file);
    unlink(p.out_file.c_str());
    unlink(p.err_file.c_str());
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    return r;
}

bool can_make_hosts()
{
    static const bool ok = geteuid() == 0 && std::system("unshare --uts true >/dev/null 2>&1") == 0;
    return ok;
}

RunOptions on_host(RunOptions opt, const std::string &host)
{
    opt.prefix = {"unshare", "--uts", "sh", "-c", "hostname " + host + " && exec \"$0\" \"$@\""};
    return opt;
}

RunOptions as_nobody(RunOptions opt)
{
    const struct passwd *pw = getpwnam("nobody");
    opt.drop_privileges = true;
    opt.uid = pw != nullptr ? pw->pw_uid : 65534;
    opt.gid = pw != nullptr ? pw->pw_gid : 65534;
    return opt;
}

Operator start_operator(const std::string &target, const std::string &record,
                        const std::vector<std::string> &options,
                        const std::vector<std::string> &env, const std::string &cwd)
{
    std::vector<std::string> args = {NTWOPERATOR_BIN, "--target", target, "--record", record};
    args.insert(args.end(), options.begin(), options.end());
    return {spawn(args,
                  [&] {
                      for (const std::string &e : env)
                          putenv(strdup(e.c_str()));
                      if (!cwd.empty() && chdir(cwd.c_str()) != 0)
                          _exit(126);
                  }),
            record};
}

std::vector<std::string> finish_operator(Operator &op)
{
    int status = 0;
    for (time_t end = time(nullptr) + 150; waitpid(op.pid, &status, WNOHANG) == 0;) {
        if (time(nullptr) > end) { // past the operator's own deadline
            ADD_FAILURE() << "operator did not end; killed";
            kill(op.pid, SIGKILL);
        }
        usleep(50000);
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "operator status " << status;
    return split_lines(read_file_bytes(op.record));
}

std::string convert(const std::string &text, const char *from, const char *to)
{
    iconv_t cd = iconv_open(to, from);
    std::string out(text.size() * 4 + 16, '\0');
    char *src = const_cast<char *>(text.data());
    char *dst = &out[0];
    size_t src_left = text.size(), dst_left = out.size();
    if (cd == reinterpret_cast<iconv_t>(-1) ||
        iconv(cd, &src, &src_left, &dst, &dst_left) == static_cast<size_t>(-1))
        ADD_FAILURE() << "text is not valid " << from << ": " << std::strerror(errno);
    iconv_close(cd);
    out.resize(out.size() - dst_left);
    return out;
}

std::vector<std::string> split_lines(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::vector<std::string> test_lines(const std::vector<std::string> &lines)
{
    std::vector<std::string> out;
    for (const auto &l : lines) {
        size_t p = l.find_first_not_of(' ');
        if (p != std::string::npos && p < 8 && l.compare(p, 10, "テスト ") == 0)
            out.push_back(l);
    }
    return out;
}

bool contains_line(const std::vector<std::string> &lines, const std::string &line)
{
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

std::string catalog(ntw_text_id id)
{
    return msg_text_utf8(id);
}

std::string step_start(int level, ntw_text_id title)
{
    return std::string(2 * level, ' ') + "テスト " + catalog(title) + "を開始します。";
}

std::string step_end(int level, ntw_text_id title, bool ok)
{
    return std::string(2 * level, ' ') + "テスト " + catalog(title) + "が終了しました。 ... [ " +
           (ok ? "OK" : "NG") + " ]";
}

std::string report_line(bool is_error, const std::string &text, int err)
{
    std::string s = (is_error ? "        ! " : "        ") + text;
    return err == 0 ? s : s + " ERRORCODE=" + std::to_string(err) + "(" + std::strerror(err) + ")";
}

std::string progress(ntw_text_id id)
{
    return report_line(false, catalog(id));
}

std::string error_line(ntw_text_id id, int err)
{
    return report_line(true, catalog(id), err);
}

std::string filled(ntw_text_id id, const std::string &a, const std::string &b)
{
    char buf[2048];
    std::snprintf(buf, sizeof buf, catalog(id).c_str(), a.c_str(), b.c_str());
    return buf;
}

std::string replace_first(std::string s, const std::string &from, const std::string &to)
{
    size_t p = s.find(from);
    if (p != std::string::npos)
        s.replace(p, from.size(), to);
    return s;
}

const KindInfo &kind_info(Kind kind)
{
    // clang-format off
    static const KindInfo table[KIND_COUNT] = {
        {SINGLE, MT_TITLE_SHARE_PATH, MT_TITLE_KIND_OPEN, {MT_STEP_OPEN_NEW}},
        {SINGLE, MT_TITLE_SHARE_PATH, MT_TITLE_KIND_LOCK,
         {MT_STEP_EXCL_NOWAIT, MT_STEP_EXCL_RELEASE, MT_STEP_SHARED_WAIT, MT_STEP_SHARED_RELEASE,
          MT_STEP_EXCL_WAIT, MT_STEP_SHLOCKED_EXCL_NOWAIT, MT_STEP_SHLOCKED_SHARED_WAIT,
          MT_STEP_SHLOCKED_EXCL_WAIT, MT_STEP_EXLOCKED_EXCL_NOWAIT, MT_STEP_EXLOCKED_SHARED_WAIT,
          MT_STEP_EXLOCKED_EXCL_WAIT, MT_STEP_SHRELEASED_EXCL_NOWAIT, MT_STEP_EXRELEASED_EXCL_NOWAIT}},
        {SINGLE, MT_TITLE_TARGET_PATH, MT_TITLE_KIND_OPEN,
         {MT_STEP_OPEN_MISSING, MT_STEP_OPEN_NEW, MT_STEP_OPEN_READ, MT_STEP_OPEN_WRITE,
          MT_STEP_OPEN_RDWR, MT_STEP_CHOWN}},
        {SINGLE, MT_TITLE_TARGET_PATH, MT_TITLE_KIND_LINK, {MT_STEP_LINK_NEW, MT_STEP_LINK_EXISTING}},
        {SINGLE, MT_TITLE_TARGET_PATH, MT_TITLE_KIND_LOCK,
         {MT_STEP_EXCL_NOWAIT, MT_STEP_EXCL_RELEASE, MT_STEP_EXCL_WAIT, MT_STEP_EXLOCKED_EXCL_NOWAIT,
          MT_STEP_EXLOCKED_EXCL_WAIT, MT_STEP_EXRELEASED_EXCL_NOWAIT}},
        {SINGLE, MT_TITLE_TARGET_PATH, MT_TITLE_KIND_RW, {MT_STEP_WRITE, MT_STEP_READ}},
        {SINGLE, MT_TITLE_TARGET_PATH, MT_TITLE_KIND_DELETE, {MT_STEP_DELETE_OWN}},
        // Mutual tests 35, 36, 29, 30, 31, 32, 33, 34 on the shared path.
        {DOUBLE, MT_TITLE_SHARE_PATH, MT_TITLE_KIND_OPEN, {MT_STEP_OPEN_PEERS}},
        {DOUBLE, MT_TITLE_SHARE_PATH, MT_TITLE_KIND_LOCK,
         {MT_STEP_SHRELEASED_EXCL_NOWAIT, MT_STEP_EXRELEASED_EXCL_NOWAIT,
          MT_STEP_SHLOCKED_EXCL_NOWAIT, MT_STEP_SHLOCKED_SHARED_WAIT, MT_STEP_SHLOCKED_EXCL_WAIT,
          MT_STEP_EXLOCKED_EXCL_NOWAIT, MT_STEP_EXLOCKED_SHARED_WAIT, MT_STEP_EXLOCKED_EXCL_WAIT}},
        {DOUBLE, MT_TITLE_TARGET_PATH, MT_TITLE_KIND_OPEN, {MT_STEP_OPEN_PEERS, MT_STEP_CHOWN_PEERS}},
        // Mutual tests 36, 32, 34 on the target path.
        {DOUBLE, MT_TITLE_TARGET_PATH, MT_TITLE_KIND_LOCK,
         {MT_STEP_EXRELEASED_EXCL_NOWAIT, MT_STEP_EXLOCKED_EXCL_NOWAIT, MT_STEP_EXLOCKED_EXCL_WAIT}},
        {DOUBLE, MT_TITLE_TARGET_PATH, MT_TITLE_KIND_DELETE, {MT_STEP_DELETE_PEERS}},
        {USERAPL, MT_TITLE_TARGET_FILE, MT_TITLE_KIND_OPEN,
         {MT_STEP_O1, MT_STEP_O2, MT_STEP_O3, MT_STEP_O4}},
        {USERAPL, MT_TITLE_TARGET_FILE, MT_TITLE_KIND_WHOLE_LOCK, {MT_STEP_L1, MT_STEP_L2, MT_STEP_L3}},
    };
    // clang-format on
    return table[kind];
}

ntw_text_id mode_title(Mode mode)
{
    return mode == SINGLE ? MT_TITLE_SINGLE : mode == DOUBLE ? MT_TITLE_DOUBLE : MT_TITLE_USRAPL;
}

// One mode's tree; its result.  In modes single and double each driver
// keeps the last non-zero result and stops after an abort; in mode userapl
// the first non-zero result of the two kinds stands, and an abort of the
// open kind skips the lock kind.
static int append_tree(Mode mode, const std::vector<KindOutcome> &outcome,
                       std::vector<std::string> &out)
{
    out.push_back(step_start(0, mode_title(mode)));
    int top = 0, obj = 0;
    for (int k = 0; k < KIND_COUNT && top >= 0; ++k) {
        const KindInfo &info = kind_info(static_cast<Kind>(k));
        auto same_object = [&](int other) {
            return other >= 0 && other < KIND_COUNT &&
                   kind_info(static_cast<Kind>(other)).mode == mode &&
                   kind_info(static_cast<Kind>(other)).object == info.object;
        };
        if (info.mode != mode)
            continue;
        if (!same_object(k - 1)) {
            out.push_back(step_start(1, info.object));
            obj = 0;
        }
        KindOutcome o{static_cast<Kind>(k), nullptr, 0};
        for (const KindOutcome &given : outcome)
            o = given.kind == k ? given : o;
        out.push_back(step_start(2, info.title));
        size_t n = o.verdicts != nullptr ? std::strlen(o.verdicts) : info.steps.size();
        for (size_t i = 0; i < n; ++i) {
            out.push_back(step_start(3, info.steps[i]));
            out.push_back(
                step_end(3, info.steps[i], o.verdicts == nullptr || o.verdicts[i] == 'O'));
        }
        out.push_back(step_end(2, info.title, o.result == 0));
        if (o.result != 0 && (mode != USERAPL || obj == 0))
            obj = o.result;
        if (!same_object(k + 1) || obj < 0) {
            out.push_back(step_end(1, info.object, obj == 0));
            top = obj != 0 ? obj : top;
        }
    }
    out.push_back(step_end(0, mode_title(mode), top == 0));
    return top;
}

// Mode double goes on to the mutual tests unless the single tests aborted.
std::vector<std::string> expected_tree(Mode mode, const std::vector<KindOutcome> &outcome)
{
    std::vector<std::string> out;
    if (mode != DOUBLE || append_tree(SINGLE, outcome, out) >= 0)
        append_tree(mode, outcome, out);
    return out;
}

void become_subreaper()
{
    prctl(PR_SET_CHILD_SUBREAPER, 1);
}

// Children still alive or unreaped; reaps zombies it finds.
static std::vector<pid_t> leftover_children()
{
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    std::istringstream in(
        read_file_bytes("/proc/self/task/" + std::to_string(getpid()) + "/children"));
    std::vector<pid_t> pids;
    for (pid_t pid; in >> pid;)
        pids.push_back(pid);
    return pids;
}

void expect_nothing_left(const std::vector<const TempDir *> &dirs, int grace_s)
{
    for (const TempDir *d : dirs)
        EXPECT_EQ(d->entries(), std::vector<std::string>()) << "left in " << d->path();
    std::vector<pid_t> left = leftover_children();
    for (time_t end = time(nullptr) + grace_s; !left.empty() && time(nullptr) < end;
         left = leftover_children())
        usleep(100000);
    EXPECT_EQ(left, std::vector<pid_t>()) << "processes left";
    for (pid_t pid : left) { // so that a failure does not hang the suite
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
}

bool wait_for_line(const std::string &file, const std::string &line, int nth, int seconds)
{
    for (int i = 0; i < seconds * 20; ++i) {
        auto lines = split_lines(read_file_bytes(file));
        if (std::count(lines.begin(), lines.end(), line) >= nth)
            return true;
        usleep(50000);
    }
    return false;
}

int start_report_log(const std::string &path, int code_set)
{
    NtwParam param = {};
    param.code_set = code_set;
    std::snprintf(param.log_file, sizeof param.log_file, "%s", path.c_str());
    return msg_init(&param);
}

std::string read_file_bytes(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void write_file_bytes(const std::string &path, const std::string &bytes)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

FdCapture::FdCapture(int fd) : fd_(fd)
{
    std::fflush(nullptr);
    char name[] = "/tmp/ntwcap.XXXXXX";
    int tmp = mkstemp(name);
    if (tmp < 0) {
        ADD_FAILURE() << "mkstemp: " << std::strerror(errno);
        return;
    }
    path_ = name;
    saved_ = dup(fd_);
    dup2(tmp, fd_);
    close(tmp);
}

FdCapture::~FdCapture()
{
    finish();
}

std::string FdCapture::finish()
{
    if (saved_ >= 0) {
        std::fflush(nullptr);
        dup2(saved_, fd_);
        close(saved_);
        saved_ = -1;
        text_ = read_file_bytes(path_);
        unlink(path_.c_str());
    }
    return text_;
}

} // namespace ntwtest
