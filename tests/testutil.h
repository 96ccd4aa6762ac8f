// Helpers shared by the tests: temporary directories, running the real
// binary, reading its report, finding left-over files and processes.
#pragma once

#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

#include <gtest/gtest.h>

#include "ntw.h"

namespace ntwtest {

// A fresh directory under /tmp, removed with everything in it on
// destruction.
class TempDir {
public:
    explicit TempDir(const char *tag = "ntw", mode_t mode = 0700);
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }
    // Names in the directory, "." and ".." left out, sorted.
    std::vector<std::string> entries() const;

private:
    std::string path_;
};

struct RunOptions {
    std::vector<std::string> env; // extra NAME=value entries
    std::string cwd;              // working directory; empty: inherited
    uid_t uid = 0;                // run as this user when drop_privileges
    gid_t gid = 0;
    bool drop_privileges = false;
    bool stdout_pipe = false;         // standard output is a pipe (else a file)
    int kill_after_s = 900;           // SIGKILL the run after this many seconds
    std::vector<std::string> prefix;  // command run in front of the binary (e.g. unshare)
    std::vector<int> closed_fds;      // standard descriptors the run starts without
    std::vector<int> ignored_signals; // signals the run starts with ignored
    // Called in the run's own process just before the binary is executed
    // (the process id is the checker's then): to plant names that carry it.
    std::function<void()> before_exec;
};

struct RunResult {
    int status = -1; // exit status, or -1 when ended by a signal
    int signal = 0;  // the signal that ended it, 0 when it exited
    std::string out; // standard output, as bytes
    std::string err; // standard error, as bytes
};

// A started run of the checker.
struct Proc {
    pid_t pid = -1;
    std::string out_file, err_file;
    int out_pipe = -1;
    int kill_after_s = 900;
};

std::string checker_path();
Proc start_checker(const std::vector<std::string> &args, const RunOptions &opt = RunOptions());
RunResult finish_checker(Proc &proc);
RunResult run_checker(const std::vector<std::string> &args, const RunOptions &opt = RunOptions());

// Code-set conversion of whole texts with iconv (code names as iconv knows
// them: "EUC-JP", "SHIFT_JIS", "UTF-8").  Fails the test on bad input.
std::string convert(const std::string &text, const char *from, const char *to);
std::string eucjp_to_utf8(const std::string &text);

std::vector<std::string> split_lines(const std::string &text);
// The test start/end lines of a report (UTF-8), in order, with indentation.
std::vector<std::string> test_lines(const std::vector<std::string> &lines);
bool contains_line(const std::vector<std::string> &lines, const std::string &line);
std::string catalog(ntw_text_id id); // the UTF-8 catalogue text

// Processes whose parent is this test process and that are still alive or
// unreaped; the test process makes itself a child subreaper, so orphans of
// the checker show up here.  Reaps zombies it finds.
std::vector<pid_t> leftover_children();
void become_subreaper();

// Starts the message module with UTF-8 lines appended to the log file at
// `path`, for unit tests that read the report back; msg_init's result.
int start_report_log(const std::string &path);

std::string read_file_bytes(const std::string &path);
void write_file_bytes(const std::string &path, const std::string &bytes);

// Redirects a descriptor of the test process (1 or 2) into a temporary file
// until finish(), which restores it and returns what was written.
class FdCapture {
public:
    explicit FdCapture(int fd);
    ~FdCapture();
    FdCapture(const FdCapture &) = delete;
    FdCapture &operator=(const FdCapture &) = delete;
    std::string finish();

private:
    int fd_;
    int saved_ = -1;
    std::string path_;
    std::string text_;
};

} // namespace ntwtest
