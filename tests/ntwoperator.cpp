// The scripted operator of mode userapl, run in a process of its own.  It
// plays both the operator and the external application: it waits for the
// checker's stop file, performs the action that the prompt asks for, and
// confirms by deleting the stop file.  The application's locks are lockf
// locks, as a real application's would be.  Everything it observes is
// appended, one line per observation, to the record file that the test
// reads.
//
// Prompts, in the checker's order: 1 open the checker's file, 2 create the
// file, 3 try a lock while the checker holds one, 4 take a lock and keep it
// (released once the checker waits for it, or kept until the checker removes
// the file when the script says `hold`).  A swap plays a hostile writer of
// the directory: after acting on prompt `swap_at` and before confirming it,
// the operator replaces the target as the script's `swap` does.  Every wait
// ends at a deadline, so the operator always ends.
#include "testutil.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

namespace ntwtest {
namespace {

std::string s_target, s_record, s_stop_file;
OperatorScript s_script;
time_t s_deadline;

void record(const std::string &line)
{
    std::ofstream(s_record, std::ios::app) << line << "\n";
}

bool exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// Waits for the stop file of a prompt; false at the deadline, or when the
// checker has removed the operator's file after prompt 2 (the run is over).
bool wait_for_prompt(int prompt)
{
    for (; time(nullptr) < s_deadline; usleep(50000)) {
        if (exists(s_stop_file))
            return true;
        if (prompt > 2 && !exists(s_target))
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

// What a prompt asks for, done on the opened target; the line to record.
std::string act(int prompt, int fd)
{
    char created[64];
    snprintf(created, sizeof created, "O2 created mode %04o",
             static_cast<unsigned>(s_script.o2_mode));
    if (prompt == 1)
        return fd >= 0 ? "O1 opened" : "O1 open failed";
    if (prompt == 2)
        return fd >= 0 && fchmod(fd, s_script.o2_mode) == 0 ? created : "O2 create failed";
    // Prompt 3: the checker holds its exclusive lock, so this one must be
    // refused; prompt 4: the lock is taken and kept while the checker goes on.
    const int r = lockf(fd, F_TLOCK, 0);
    if (prompt == 4)
        return r == 0 ? "L2 app locked" : "L2 app lock failed";
    if (r == 0)
        return "L1 tlock granted";
    return errno == EAGAIN || errno == EACCES ? "L1 tlock refused" : "L1 tlock failed";
}

// After prompt 4: the lock is kept until the checker waits for it (it goes
// with the close that follows) or, when the script says `hold`, until the
// checker removes the file.
void keep_lock(int fd)
{
    struct stat st;
    fstat(fd, &st);
    for (; time(nullptr) < s_deadline; usleep(50000)) {
        if (!exists(s_target))
            return record("L3 app held until file removed");
        if (!s_script.hold && lock_waiter_present(st))
            return record("L3 app released while checker waiting");
    }
}

void run_operator(const std::string &target, const std::string &record_file,
                  const OperatorScript &script)
{
    s_target = target, s_record = record_file, s_script = script;
    s_deadline = time(nullptr) + 120;
    size_t slash = s_target.rfind('/');
    s_stop_file = (slash == std::string::npos ? "." : s_target.substr(0, slash)) + "/ZEMSTOP.stop";
    for (int prompt = 1; prompt <= 4; ++prompt) {
        if (!wait_for_prompt(prompt)) {
            record("prompt " + std::to_string(prompt) + " not seen");
            break;
        }
        int fd = open(s_target.c_str(), prompt == 2 ? O_RDWR | O_CREAT | O_EXCL : O_RDWR, 0600);
        record(act(prompt, fd));
        if (s_script.swap_at == prompt)
            record(s_script.swap() == 0 ? "swapped" : "swap failed");
        unlink(s_stop_file.c_str());
        if (prompt == 4)
            keep_lock(fd);
        close(fd);
    }
}

} // namespace

Operator start_operator(const std::string &target, const std::string &record,
                        const OperatorScript &script, const std::string &cwd)
{
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        if (!cwd.empty() && chdir(cwd.c_str()) != 0)
            _exit(126);
        run_operator(target, record, script);
        _exit(0);
    }
    return {pid, record};
}

std::vector<std::string> finish_operator(Operator &op)
{
    int status = 0; // every wait of the operator ends at its deadline
    EXPECT_EQ(waitpid(op.pid, &status, 0), op.pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "operator status " << status;
    return split_lines(read_file_bytes(op.record));
}

} // namespace ntwtest
