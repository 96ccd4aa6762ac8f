// The scripted operator of mode userapl.  It plays both the operator and
// the external application: it waits for the checker's stop file, performs
// the action that the prompt asks for, and confirms by deleting the stop
// file.  The application's locks are lockf locks, as a real application's
// would be.  Everything it observes is appended, one line per observation,
// to the record file that the test reads.
//
//   ntwoperator --target FILE --record FILE [--behaviour idle] [--l3 hold]
//               [--o2-mode OCTAL] [--swap N:KIND:PATH]
//
// Prompts, in the checker's order: 1 open the checker's file, 2 create the
// file, 3 try a lock while the checker holds one, 4 take a lock and keep it
// (released once the checker waits for it, or kept until the checker removes
// the file with "--l3 hold").  "idle" acts on nothing and only records what
// it sees.  "--swap" plays a hostile writer of the directory: after acting
// on prompt N and before confirming it, it replaces the target with a
// symbolic link to PATH, a hard link to PATH or a FIFO (KIND symlink,
// hardlink, fifo).  Every wait ends at a deadline, so the program always ends.
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
#include <unistd.h>

namespace {

std::string s_target, s_record, s_stop_file, s_swap;
bool s_idle, s_hold;
mode_t s_o2_mode = 0666;
const time_t s_deadline = time(nullptr) + 120;

void record(const std::string &line)
{
    std::ofstream(s_record, std::ios::app) << line << "\n";
}

void record_error(const char *what)
{
    record(std::string(what) + " " + std::strerror(errno));
}

bool exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// Waits while the file's existence is `present`; false at the deadline or
// when the checker has removed the operator's file (the run is over).
bool wait_while(const std::string &file, bool present, bool file_made = false)
{
    for (; time(nullptr) < s_deadline; usleep(50000)) {
        if (exists(file) != present)
            return true;
        if (file_made && !exists(s_target))
            return false;
    }
    return false;
}

// Whether some process waits for a lock on the file: a blocked request
// shows in /proc/locks with "->".
bool lock_waiter_present(const struct stat &st)
{
    std::ifstream in("/proc/locks");
    char id[64];
    snprintf(id, sizeof id, " %02x:%02x:%lu ", major(st.st_dev), minor(st.st_dev),
             static_cast<unsigned long>(st.st_ino));
    for (std::string line; std::getline(in, line);)
        if (line.find("->") != std::string::npos && (line + " ").find(id) != std::string::npos)
            return true;
    return false;
}

void act(int prompt, int fd)
{
    if (prompt == 1) {
        record(fd >= 0 ? "O1 opened" : "O1 open failed");
    } else if (prompt == 2) {
        fchmod(fd, s_o2_mode);
        char line[64];
        snprintf(line, sizeof line, "O2 created mode %04o", static_cast<unsigned>(s_o2_mode));
        record(fd >= 0 ? line : "O2 create failed");
    } else if (prompt == 3) {
        // The checker holds its exclusive lock: this one must be refused.
        if (lockf(fd, F_TLOCK, 0) == 0)
            record("L1 tlock granted");
        else if (errno == EAGAIN || errno == EACCES)
            record("L1 tlock refused");
        else
            record_error("L1 tlock failed");
    }
}

// Replaces the target as "--swap N:KIND:PATH" says, when N is this prompt.
void swap_target(int prompt)
{
    if (s_swap.empty() || s_swap[0] - '0' != prompt)
        return;
    const std::string kind = s_swap.substr(2, s_swap.find(':', 2) - 2);
    const std::string path = s_swap.substr(s_swap.find(':', 2) + 1);
    unlink(s_target.c_str());
    int r = kind == "symlink"    ? symlink(path.c_str(), s_target.c_str())
            : kind == "hardlink" ? link(path.c_str(), s_target.c_str())
                                 : mkfifo(s_target.c_str(), 0666);
    if (r == 0)
        record("swapped " + kind);
    else
        record_error("swap failed");
}

// Prompt 4: the lock is taken and kept while the checker goes on.
void hold_lock(int fd)
{
    if (lockf(fd, F_TLOCK, 0) != 0) {
        record_error("L2 app lock failed");
        unlink(s_stop_file.c_str());
        return;
    }
    record("L2 app locked");
    swap_target(4);
    unlink(s_stop_file.c_str());
    struct stat st;
    fstat(fd, &st);
    bool waiter = false;
    while (!waiter && time(nullptr) < s_deadline && exists(s_target)) {
        waiter = !s_hold && lock_waiter_present(st);
        usleep(50000);
    }
    if (waiter)
        record("L3 app released while checker waiting"); // at the close that follows
    else if (!exists(s_target))
        record("L3 app held until file removed");
}

void run()
{
    if (s_idle) {
        if (wait_while(s_stop_file, false)) {
            record("prompt 1 seen");
            if (wait_while(s_stop_file, true))
                record("stop file removed by checker");
        }
        return;
    }
    for (int prompt = 1; prompt <= 4; ++prompt) {
        if (!wait_while(s_stop_file, false, prompt > 2)) {
            record("prompt " + std::to_string(prompt) + " not seen");
            return;
        }
        int flags = prompt == 2 ? O_RDWR | O_CREAT | O_EXCL : O_RDWR;
        int fd = open(s_target.c_str(), flags, 0600);
        if (prompt == 4) {
            hold_lock(fd);
        } else {
            act(prompt, fd);
            swap_target(prompt);
            unlink(s_stop_file.c_str());
        }
        close(fd);
    }
}

} // namespace

int main(int argc, char **argv)
{
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string k = argv[i], v = argv[i + 1];
        if (k == "--target")
            s_target = v;
        else if (k == "--record")
            s_record = v;
        else if (k == "--behaviour" && v == "idle")
            s_idle = true;
        else if (k == "--l3" && v == "hold")
            s_hold = true;
        else if (k == "--swap" && v.size() > 2)
            s_swap = v;
        else if (k == "--o2-mode")
            s_o2_mode = static_cast<mode_t>(strtoul(v.c_str(), nullptr, 8));
        else
            return 2;
    }
    size_t slash = s_target.rfind('/');
    s_stop_file = (slash == std::string::npos ? "." : s_target.substr(0, slash)) + "/ZEMSTOP.stop";
    run();
    return s_target.empty() || s_record.empty() ? 2 : 0;
}
