// Helpers shared by the tests: temporary directories, the user "nobody",
// the scripted operator, report lines as the message module writes them,
// and the checks for left-over files and processes.
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

// The user "nobody" and its primary group; the process becoming it.
struct Ids {
    uid_t uid;
    gid_t gid;
};
Ids nobody();
bool become_nobody();

// The scripted operator (tests/ntwoperator.cpp) on a target file, in a
// forked process (working in `cwd` when given): what it does beyond
// answering the prompts.  Its record of what it saw is read back by
// finish_operator, which also fails the test when it did not end well.
struct OperatorScript {
    OperatorScript(mode_t mode = 0666, bool keep = false) : o2_mode(mode), hold(keep) {}
    mode_t o2_mode;            // given to the file it creates at prompt 2
    bool hold;                 // keeps its last lock until the checker removes the file
    int swap_at = 0;           // the prompt after which it swaps the target (0: none)
    std::function<int()> swap; // replaces the target; 0 when done
};
struct Operator {
    pid_t pid = -1;
    std::string record;
};
Operator start_operator(const std::string &target, const std::string &record,
                        const OperatorScript &script = {}, const std::string &cwd = "");
std::vector<std::string> finish_operator(Operator &op);

// Code-set conversion of whole texts with iconv (code names as iconv knows
// them: "EUC-JP", "SHIFT_JIS", "UTF-8").  Fails the test on bad input.
std::string convert(const std::string &text, const char *from, const char *to);

std::vector<std::string> split_lines(const std::string &text);
// The test start/end lines of a report (UTF-8), in order, with indentation.
std::vector<std::string> test_lines(const std::vector<std::string> &lines);
bool contains_line(const std::vector<std::string> &lines, const std::string &line);
std::string catalog(ntw_text_id id); // the UTF-8 catalogue text

// Report lines, as the message module writes them (UTF-8, no newline).
std::string step_start(int level, ntw_text_id title);
std::string step_end(int level, ntw_text_id title, bool ok);
// A progress or error ("! ") line of `text`, with ERRORCODE when err.
std::string report_line(bool is_error, const std::string &text, int err = 0);
std::string progress(ntw_text_id id);
std::string error_line(ntw_text_id id, int err = 0);
// A catalogue text with up to two string values filled in.
std::string filled(ntw_text_id id, const std::string &a = "", const std::string &b = "");
std::string replace_first(std::string s, const std::string &from, const std::string &to);

// The test process becomes a child subreaper, so orphans of the checker
// stay its children.
void become_subreaper();
// Fails on files left in the directories and on children of the test
// process still there after a grace period for orphans that end on their
// own (ends them).
void expect_nothing_left(const std::vector<const TempDir *> &dirs, int grace_s = 5);

// Starts the message module with lines in the code set appended to the log
// file at `path` (standard output when empty); msg_init's result.
int start_report_log(const std::string &path, int code_set = NTW_CODE_UTF8);

std::string read_file_bytes(const std::string &path);
void write_file_bytes(const std::string &path, const std::string &bytes);

// Redirects a descriptor of the test process (1 or 2) into an unnamed
// temporary file until finish(), which restores it and returns what was
// written (once; the destructor restores it too).
class FdCapture {
public:
    explicit FdCapture(int fd);
    ~FdCapture() { finish(); }
    FdCapture(const FdCapture &) = delete;
    FdCapture &operator=(const FdCapture &) = delete;
    std::string finish();

private:
    int fd_, saved_, file_;
};

} // namespace ntwtest
