#include "testutil.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <ftw.h>
#include <grp.h>
#include <iconv.h>
#include <poll.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace ntwtest {

TempDir::TempDir(const char *tag, mode_t mode)
{
    std::string tmpl = std::string("/tmp/") + tag + ".XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr)
        ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
    path_ = buf.data();
    chmod(path_.c_str(), mode);
}

static int remove_entry(const char *path, const struct stat *, int, struct FTW *)
{
    return remove(path);
}

TempDir::~TempDir()
{
    nftw(path_.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

std::vector<std::string> TempDir::entries() const
{
    std::vector<std::string> names;
    DIR *d = opendir(path_.c_str());
    if (d == nullptr)
        return names;
    while (dirent *e = readdir(d)) {
        std::string n = e->d_name;
        if (n != "." && n != "..")
            names.push_back(n);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

std::string checker_path()
{
    return ZEMNTWCHK_BIN;
}

static std::string temp_capture_file()
{
    char name[] = "/tmp/ntwout.XXXXXX";
    int fd = mkstemp(name);
    if (fd >= 0) {
        fchmod(fd, 0666);
        close(fd);
    }
    return name;
}

Proc start_checker(const std::vector<std::string> &args, const RunOptions &opt)
{
    Proc p;
    p.kill_after_s = opt.kill_after_s;
    p.out_file = temp_capture_file();
    p.err_file = temp_capture_file();
    int pipefd[2] = {-1, -1};
    if (opt.stdout_pipe && pipe(pipefd) != 0)
        ADD_FAILURE() << "pipe: " << std::strerror(errno);

    std::vector<std::string> argv_s = opt.prefix;
    argv_s.push_back(checker_path());
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &a : argv_s)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);

    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        int in = open("/dev/null", O_RDONLY);
        dup2(in, 0);
        int out = opt.stdout_pipe ? pipefd[1] : open(p.out_file.c_str(), O_WRONLY | O_TRUNC);
        int err = open(p.err_file.c_str(), O_WRONLY | O_TRUNC);
        dup2(out, 1);
        dup2(err, 2);
        if (opt.stdout_pipe)
            close(pipefd[0]);
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
        if (opt.drop_privileges) {
            if (setgroups(0, nullptr) != 0 || setgid(opt.gid) != 0 || setuid(opt.uid) != 0)
                _exit(126);
        }
        execvp(argv[0], argv.data());
        _exit(127);
    }
    p.pid = pid;
    if (opt.stdout_pipe) {
        close(pipefd[1]);
        p.out_pipe = pipefd[0];
    }
    return p;
}

RunResult finish_checker(Proc &p)
{
    RunResult r;
    const bool piped = p.out_pipe >= 0;
    time_t deadline = time(nullptr) + p.kill_after_s;
    int status = 0;
    for (;;) {
        if (p.out_pipe >= 0) {
            pollfd pfd{p.out_pipe, POLLIN, 0};
            if (poll(&pfd, 1, 100) > 0) {
                char buf[4096];
                ssize_t n = read(p.out_pipe, buf, sizeof buf);
                if (n > 0) {
                    r.out.append(buf, static_cast<size_t>(n));
                    continue;
                }
                close(p.out_pipe);
                p.out_pipe = -1;
            }
        } else {
            usleep(20000);
        }
        pid_t w = waitpid(p.pid, &status, WNOHANG);
        if (w == p.pid)
            break;
        if (time(nullptr) > deadline) {
            ADD_FAILURE() << "checker did not end within " << p.kill_after_s << " s; killed";
            kill(-p.pid, SIGKILL);
            kill(p.pid, SIGKILL);
        }
    }
    if (p.out_pipe >= 0) {
        char buf[4096];
        ssize_t n;
        while ((n = read(p.out_pipe, buf, sizeof buf)) > 0)
            r.out.append(buf, static_cast<size_t>(n));
        close(p.out_pipe);
        p.out_pipe = -1;
    } else if (!piped) {
        r.out = read_file_bytes(p.out_file);
    }
    r.err = read_file_bytes(p.err_file);
    unlink(p.out_file.c_str());
    unlink(p.err_file.c_str());
    if (WIFEXITED(status)) {
        r.status = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        r.signal = WTERMSIG(status);
    }
    return r;
}

RunResult run_checker(const std::vector<std::string> &args, const RunOptions &opt)
{
    Proc p = start_checker(args, opt);
    return finish_checker(p);
}

std::string convert(const std::string &text, const char *from, const char *to)
{
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        ADD_FAILURE() << "iconv_open " << from << " -> " << to;
        return std::string();
    }
    std::string out(text.size() * 4 + 16, '\0');
    char *src = const_cast<char *>(text.data());
    size_t src_left = text.size();
    char *dst = &out[0];
    size_t dst_left = out.size();
    if (iconv(cd, &src, &src_left, &dst, &dst_left) == static_cast<size_t>(-1))
        ADD_FAILURE() << "text is not valid " << from << ": " << std::strerror(errno);
    iconv_close(cd);
    out.resize(out.size() - dst_left);
    return out;
}

std::string eucjp_to_utf8(const std::string &text)
{
    return convert(text, "EUC-JP", "UTF-8");
}

std::vector<std::string> split_lines(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
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

void become_subreaper()
{
    prctl(PR_SET_CHILD_SUBREAPER, 1);
}

std::vector<pid_t> leftover_children()
{
    std::vector<pid_t> pids;
    pid_t self = getpid();
    DIR *d = opendir("/proc");
    if (d == nullptr)
        return pids;
    while (dirent *e = readdir(d)) {
        pid_t pid = static_cast<pid_t>(atoi(e->d_name));
        if (pid <= 0)
            continue;
        std::ifstream st(std::string("/proc/") + e->d_name + "/stat");
        std::string line;
        if (!std::getline(st, line))
            continue;
        size_t rp = line.rfind(')');
        if (rp == std::string::npos)
            continue;
        char state = 0;
        int ppid = 0;
        if (sscanf(line.c_str() + rp + 1, " %c %d", &state, &ppid) != 2 || ppid != self)
            continue;
        if (state == 'Z') {
            waitpid(pid, nullptr, WNOHANG);
            continue;
        }
        pids.push_back(pid);
    }
    closedir(d);
    return pids;
}

int start_report_log(const std::string &path)
{
    NtwParam param = {};
    param.code_set = NTW_CODE_UTF8;
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
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
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
