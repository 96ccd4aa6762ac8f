// The scripted operator of the userapl tests.  It plays both the operator and
// the external application: it waits for the checker's stop file, performs
// the action that the prompt asks for, and confirms by deleting the stop
// file.  The application side runs in separate processes and uses lockf, as
// a real application would.  Everything it observes is appended, one line per
// observation, to the record file that the test reads.
//
//   ntwoperator --target FILE --record FILE [--behaviour cooperative|idle]
//               [--l3 release|hold] [--app-lock yes|no] [--o2-mode OCTAL]
//               [--prompts N] [--deadline SECONDS] [--swap N:KIND:PATH]
//
// Prompts, in the checker's order: 1 open the checker's file, 2 create the
// file, 3 try a lock while the checker holds one, 4 take a lock and keep it
// (released during the checker's waiting lock with "--l3 release", kept until
// the checker removes the file with "--l3 hold"; an application that ignores
// the prompt with "--app-lock no").  "idle" acts on nothing and
// only records what it sees.  "--swap" plays a hostile writer of the
// directory: after acting on prompt N and before confirming it, it replaces
// the target with a symbolic link to PATH, a hard link to PATH, or a FIFO
// (KIND symlink, hardlink, fifo).  Every wait is bounded by the deadline, so the
// program always ends on its own; it reaps its application processes first.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct Options {
    std::string target;
    std::string record;
    bool idle = false;
    bool hold_past_timeout = false;
    bool app_locks = true;
    mode_t o2_mode = 0666;
    int prompts = 4;
    int deadline_s = 120;
    int swap_prompt = 0;
    std::string swap_kind;
    std::string swap_path;
};

Options s_opt;
time_t s_deadline;
std::string s_stop_file;

constexpr useconds_t POLL_US = 50000;

void record(const std::string &line)
{
    int fd = open(s_opt.record.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd < 0)
        return;
    std::string l = line + "\n";
    ssize_t n = write(fd, l.data(), l.size());
    (void)n;
    close(fd);
}

bool past_deadline()
{
    return time(nullptr) >= s_deadline;
}

bool exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::string stop_file_for(const std::string &target)
{
    size_t slash = target.rfind('/');
    if (slash == std::string::npos)
        return "./ZEMSTOP.stop";
    return target.substr(0, slash) + "/ZEMSTOP.stop";
}

// Waits for the next prompt.  Returns false at the deadline, or when the
// checker has already removed the file that the operator created (the run
// is over, no prompt will come).
bool wait_for_stop_file(bool operator_file_made)
{
    while (!past_deadline()) {
        if (exists(s_stop_file))
            return true;
        if (operator_file_made && !exists(s_opt.target))
            return false;
        usleep(POLL_US);
    }
    return false;
}

void confirm()
{
    if (unlink(s_stop_file.c_str()) != 0)
        record(std::string("confirm failed ") + std::strerror(errno));
}

void act_open_checkers_file()
{
    int fd = open(s_opt.target.c_str(), O_RDWR);
    if (fd < 0) {
        record(std::string("O1 open failed ") + std::strerror(errno));
        return;
    }
    close(fd);
    record("O1 opened");
}

void act_create_file()
{
    int fd = open(s_opt.target.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    if (fd < 0) {
        record(std::string("O2 create failed ") + std::strerror(errno));
        return;
    }
    fchmod(fd, s_opt.o2_mode);
    close(fd);
    char line[64];
    snprintf(line, sizeof line, "O2 created mode %04o", static_cast<unsigned>(s_opt.o2_mode));
    record(line);
}

// L1: the application tries a lock that does not wait while the checker holds
// its exclusive lock.
void act_try_lock()
{
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open(s_opt.target.c_str(), O_RDWR);
        if (fd < 0) {
            record(std::string("L1 open failed ") + std::strerror(errno));
            _exit(1);
        }
        if (lockf(fd, F_TLOCK, 0) == 0)
            record("L1 tlock granted");
        else if (errno == EAGAIN || errno == EACCES)
            record("L1 tlock refused");
        else
            record(std::string("L1 tlock failed ") + std::strerror(errno));
        close(fd);
        _exit(0);
    }
    if (pid > 0)
        waitpid(pid, nullptr, 0);
}

// Whether some process waits for a lock on the file (dev, ino): a blocked
// request shows in /proc/locks with "->".  -1 when that cannot be told.
int lock_waiter_present(dev_t dev, ino_t ino)
{
    std::ifstream in("/proc/locks");
    if (!in)
        return -1;
    char id[64];
    snprintf(id, sizeof id, " %02x:%02x:%lu ", major(dev), minor(dev),
             static_cast<unsigned long>(ino));
    std::string line;
    while (std::getline(in, line)) {
        if (line.find("->") != std::string::npos && (line + " ").find(id) != std::string::npos)
            return 1;
    }
    return 0;
}

// The application's lock holder.  Tells the operator through ready_fd that it
// holds the lock, then keeps it as the options say.
[[noreturn]] void lock_holder(int ready_fd)
{
    char ok = 'n';
    int fd = open(s_opt.target.c_str(), O_RDWR);
    if (fd < 0) {
        record(std::string("L2 app open failed ") + std::strerror(errno));
    } else if (lockf(fd, F_TLOCK, 0) != 0) {
        record(std::string("L2 app lock failed ") + std::strerror(errno));
    } else {
        record("L2 app locked");
        ok = 'y';
    }
    ssize_t n = write(ready_fd, &ok, 1);
    (void)n;
    close(ready_fd);
    if (ok != 'y')
        _exit(1);

    struct stat st;
    fstat(fd, &st);
    if (s_opt.hold_past_timeout) {
        // Kept until the checker removes the file at its end.
        while (!past_deadline() && exists(s_opt.target))
            usleep(POLL_US);
        record(past_deadline() ? "L3 app held until deadline" : "L3 app held until file removed");
    } else {
        int waiter = 0;
        while (!past_deadline() && exists(s_opt.target) &&
               (waiter = lock_waiter_present(st.st_dev, st.st_ino)) == 0)
            usleep(POLL_US);
        if (waiter < 0)
            sleep(5);
        lockf(fd, F_ULOCK, 0);
        record(waiter > 0 ? "L3 app released while checker waiting" : "L3 app released");
    }
    close(fd);
    _exit(0);
}

// Prompt 4: the application takes its lock and keeps it.  Returns the pid of
// the holder (to be reaped), or -1.
pid_t act_take_lock()
{
    if (!s_opt.app_locks) {
        record("L2 app did not lock");
        return -1;
    }
    int pipefd[2];
    if (pipe(pipefd) != 0)
        return -1;
    pid_t pid = fork();
    if (pid == 0) {
        close(pipefd[0]);
        lock_holder(pipefd[1]);
    }
    close(pipefd[1]);
    char ok = 'n';
    ssize_t n = read(pipefd[0], &ok, 1);
    (void)n;
    close(pipefd[0]);
    return pid;
}

void swap_target()
{
    unlink(s_opt.target.c_str());
    const char *target = s_opt.target.c_str();
    const char *path = s_opt.swap_path.c_str();
    int r = s_opt.swap_kind == "symlink"    ? symlink(path, target)
            : s_opt.swap_kind == "hardlink" ? link(path, target)
                                            : mkfifo(target, 0666);
    record(r == 0 ? "swapped " + s_opt.swap_kind
                  : "swap failed " + std::string(std::strerror(errno)));
}

void run_idle()
{
    if (!wait_for_stop_file(false)) {
        record("no prompt");
        return;
    }
    record("prompt 1 seen");
    while (!past_deadline() && exists(s_stop_file))
        usleep(POLL_US);
    record(exists(s_stop_file) ? "stop file still there at deadline"
                               : "stop file removed by checker");
}

void run_cooperative()
{
    pid_t holder = -1;
    for (int prompt = 1; prompt <= s_opt.prompts; ++prompt) {
        if (!wait_for_stop_file(prompt > 2)) {
            record("prompt " + std::to_string(prompt) + " not seen");
            break;
        }
        switch (prompt) {
        case 1:
            act_open_checkers_file();
            break;
        case 2:
            act_create_file();
            break;
        case 3:
            act_try_lock();
            break;
        case 4:
            holder = act_take_lock();
            break;
        default:
            break;
        }
        if (prompt == s_opt.swap_prompt)
            swap_target();
        confirm();
    }
    if (holder > 0)
        waitpid(holder, nullptr, 0);
}

// N:KIND:PATH
bool parse_swap(const std::string &v)
{
    size_t a = v.find(':');
    size_t b = a == std::string::npos ? a : v.find(':', a + 1);
    if (b == std::string::npos)
        return false;
    s_opt.swap_prompt = atoi(v.substr(0, a).c_str());
    s_opt.swap_kind = v.substr(a + 1, b - a - 1);
    s_opt.swap_path = v.substr(b + 1);
    return s_opt.swap_kind == "symlink" || s_opt.swap_kind == "hardlink" ||
           s_opt.swap_kind == "fifo";
}

bool parse(int argc, char **argv)
{
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string k = argv[i], v = argv[i + 1];
        if (k == "--target")
            s_opt.target = v;
        else if (k == "--record")
            s_opt.record = v;
        else if (k == "--behaviour" && (v == "cooperative" || v == "idle"))
            s_opt.idle = v == "idle";
        else if (k == "--l3" && (v == "release" || v == "hold"))
            s_opt.hold_past_timeout = v == "hold";
        else if (k == "--app-lock" && (v == "yes" || v == "no"))
            s_opt.app_locks = v == "yes";
        else if (k == "--o2-mode")
            s_opt.o2_mode = static_cast<mode_t>(strtoul(v.c_str(), nullptr, 8));
        else if (k == "--prompts")
            s_opt.prompts = atoi(v.c_str());
        else if (k == "--deadline")
            s_opt.deadline_s = atoi(v.c_str());
        else if (k == "--swap" && parse_swap(v))
            continue;
        else
            return false;
    }
    return argc % 2 == 1 && !s_opt.target.empty() && !s_opt.record.empty();
}

} // namespace

int main(int argc, char **argv)
{
    if (!parse(argc, argv)) {
        fprintf(stderr, "usage: ntwoperator --target FILE --record FILE [options]\n");
        return 2;
    }
    s_deadline = time(nullptr) + s_opt.deadline_s;
    s_stop_file = stop_file_for(s_opt.target);
    if (s_opt.idle)
        run_idle();
    else
        run_cooperative();
    record("done");
    return 0;
}
