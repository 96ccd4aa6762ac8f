#include "testutil.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
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

Ids nobody()
{
    const struct passwd *pw = getpwnam("nobody");
    return pw != nullptr ? Ids{pw->pw_uid, pw->pw_gid} : Ids{65534, 65534};
}

bool become_nobody()
{
    const Ids who = nobody();
    return setgroups(0, nullptr) == 0 && setgid(who.gid) == 0 && setuid(who.uid) == 0;
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

FdCapture::FdCapture(int fd) : fd_(fd), saved_(dup(fd))
{
    std::fflush(nullptr);
    char name[] = "/tmp/ntwcap.XXXXXX";
    file_ = mkstemp(name);
    unlink(name);
    dup2(file_, fd_);
}

std::string FdCapture::finish()
{
    if (saved_ < 0)
        return "";
    std::fflush(nullptr);
    dup2(saved_, fd_);
    close(saved_);
    saved_ = -1;
    std::string text(static_cast<size_t>(lseek(file_, 0, SEEK_END)), '\0');
    EXPECT_EQ(pread(file_, &text[0], text.size(), 0), static_cast<ssize_t>(text.size()));
    close(file_);
    return text;
}

} // namespace ntwtest
