// Run control: the command line, start-up, the environment check, the
// dispatch to the test driver of the mode, terminating signals and the
// exit-time clean-up.
#include "ntw.h"

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

pid_t g_pid;

// ---------------------------------------------------------------------------
// Command line

namespace {

constexpr char k_usage[] =
    "USAGE:zemntwchk {-s|-e|-8} -m single -p targetpath -h zemsharepath [-O Owner [-G Group]] "
    "[-o logfile] [-t timeout]\n"
    "      zemntwchk {-s|-e|-8} -m double -p targetpath -h zemsharepath [-O Owner [-G Group]] "
    "[-o logfile] [-t timeout]\n"
    "      zemntwchk {-s|-e|-8} -m userapl -f targetfile [-o logfile] [-t timeout]\n";

enum class OptKind { Mode, Timeout, CodeSet, Text };

struct OptionRule {
    const char *name;
    OptKind kind;
    int code_set;        // CodeSet: the value stored
    size_t field_offset; // Text: where the value goes in NtwParam
    size_t limit;        // Text: the longest value accepted
};

constexpr OptionRule k_options[] = {
    {"-m", OptKind::Mode, 0, 0, 0},
    {"-p", OptKind::Text, 0, offsetof(NtwParam, target_path), NTW_PATH_LEN},
    {"-h", OptKind::Text, 0, offsetof(NtwParam, share_path), NTW_PATH_LEN},
    {"-f", OptKind::Text, 0, offsetof(NtwParam, target_file), NTW_PATH_LEN},
    {"-t", OptKind::Timeout, 0, 0, 0},
    {"-o", OptKind::Text, 0, offsetof(NtwParam, log_file), NTW_PATH_LEN},
    {"-e", OptKind::CodeSet, NTW_CODE_EUCJP, 0, 0},
    {"-s", OptKind::CodeSet, NTW_CODE_SJIS, 0, 0},
    {"-8", OptKind::CodeSet, NTW_CODE_UTF8, 0, 0},
    {"-O", OptKind::Text, 0, offsetof(NtwParam, owner), NTW_NAME_LEN},
    {"-G", OptKind::Text, 0, offsetof(NtwParam, group), NTW_NAME_LEN},
};

int reject_command_line()
{
    std::fputs(k_usage, stderr);
    return -1;
}

const OptionRule *find_option(const char *arg)
{
    for (const OptionRule &opt : k_options) {
        if (std::strcmp(arg, opt.name) == 0)
            return &opt;
    }
    return nullptr;
}

// Stores a text option: refused when the field is already set or the value
// is longer than the field allows (never truncated).
bool store_text(NtwParam *param, const OptionRule &opt, const char *value)
{
    char *field = reinterpret_cast<char *>(param) + opt.field_offset;
    if (field[0] != '\0')
        return false;
    size_t len = strnlen(value, opt.limit + 1);
    if (len > opt.limit)
        return false;
    std::memcpy(field, value, len);
    field[len] = '\0';
    return true;
}

// Reads a time-out of decimal digits only.  Accumulation stops above the
// upper limit, so a digit string of any length keeps its true order of
// magnitude instead of wrapping around into the accepted range.
bool parse_timeout(const char *text, int32_t *timeout)
{
    long value = 0;
    for (const char *p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9')
            return false;
        if (value <= NTW_TIMEOUT_MAX)
            value = value * 10 + (*p - '0');
    }
    if (value < NTW_TIMEOUT_MIN || value > NTW_TIMEOUT_MAX)
        return false;
    *timeout = static_cast<int32_t>(value);
    return true;
}

bool parse_mode(const char *word, int32_t *mode)
{
    static constexpr struct {
        const char *word;
        int mode;
    } k_modes[] = {
        {"single", NTW_MODE_SINGLE},
        {"double", NTW_MODE_DOUBLE},
        {"userapl", NTW_MODE_USERAPL},
    };
    for (const auto &m : k_modes) {
        if (std::strcmp(word, m.word) == 0) {
            *mode = m.mode;
            return true;
        }
    }
    return false;
}

// The options that each mode requires and forbids.
bool mode_options_consistent(const NtwParam *param)
{
    bool has_share = param->share_path[0] != '\0';
    bool has_target = param->target_path[0] != '\0';
    bool has_file = param->target_file[0] != '\0';
    if (param->mode == NTW_MODE_USERAPL)
        return has_file && !has_target && !has_share;
    if (!has_share || !has_target || has_file)
        return false;
    return param->owner[0] != '\0' || param->group[0] == '\0';
}

} // namespace

int check_arg(int argc, char **argv, NtwParam *param)
{
    param->code_set = 0;
    param->log_file[0] = '\0';
    if (argc < 2)
        return reject_command_line();

    const char *mode_word = nullptr;
    const char *timeout_text = nullptr;
    for (int i = 1; i < argc; ++i) {
        const OptionRule *opt = find_option(argv[i]);
        if (opt == nullptr)
            return reject_command_line();
        if (opt->kind == OptKind::CodeSet) {
            if (param->code_set != 0)
                return reject_command_line();
            param->code_set = opt->code_set;
            continue;
        }
        if (i + 1 >= argc)
            return reject_command_line();
        const char *value = argv[++i];
        switch (opt->kind) {
        case OptKind::Mode:
            if (mode_word != nullptr)
                return reject_command_line();
            mode_word = value;
            break;
        case OptKind::Timeout:
            if (timeout_text != nullptr)
                return reject_command_line();
            timeout_text = value;
            break;
        case OptKind::Text:
            if (!store_text(param, *opt, value))
                return reject_command_line();
            break;
        case OptKind::CodeSet:
            break;
        }
    }

    if (mode_word == nullptr || !parse_mode(mode_word, &param->mode))
        return reject_command_line();
    if (!mode_options_consistent(param))
        return reject_command_line();
    if (timeout_text == nullptr)
        param->timeout = NTW_TIMEOUT_DEFAULT;
    else if (!parse_timeout(timeout_text, &param->timeout))
        return reject_command_line();
    if (param->code_set == 0)
        return reject_command_line();
    return 0;
}

// ---------------------------------------------------------------------------
// Environment check

namespace {

// Writes one environment-check message, in the output code set, to
// standard error; the log file never receives these.
int env_failure(ntw_text_id id)
{
    msg_output_stderr("%s", msg_text(id));
    return -1;
}

int check_target_file_env(const NtwParam *param)
{
    struct stat st;
    if (stat(param->target_file, &st) == 0)
        return env_failure(MT_ENV_TARGET_FILE_EXISTS);

    char dir[260];
    if (get_dirname(param->target_file, dir, sizeof dir - 1) != 0)
        return 0;
    // A file directly under the root has an empty directory part.
    const char *dir_path = dir[0] != '\0' ? dir : "/";
    if (stat(dir_path, &st) != 0) {
        msg_output_stderr(msg_text(MT_ENV_TARGET_FILE_BAD_ERRNO), std::strerror(errno));
        return -1;
    }
    if (!S_ISDIR(st.st_mode))
        return env_failure(MT_ENV_TARGET_FILE_BAD);
    return 0;
}

int check_paths_env(const NtwParam *param)
{
    struct stat st;
    if (stat(param->share_path, &st) != 0)
        return env_failure(MT_ENV_SHARE_PATH_MISSING);
    if (!S_ISDIR(st.st_mode))
        return env_failure(MT_ENV_SHARE_PATH_BAD);
    if (stat(param->target_path, &st) != 0)
        return env_failure(MT_ENV_TARGET_PATH_MISSING);
    if (!S_ISDIR(st.st_mode))
        return env_failure(MT_ENV_TARGET_PATH_BAD);
    if (param->owner[0] != '\0' && getpwnam(param->owner) == nullptr)
        return env_failure(MT_ENV_USER_UNKNOWN);
    if (param->group[0] != '\0' && getgrnam(param->group) == nullptr)
        return env_failure(MT_ENV_GROUP_UNKNOWN);
    return 0;
}

} // namespace

int ntw_is_env_bad_condition(const NtwParam *param)
{
    switch (param->mode) {
    case NTW_MODE_USERAPL:
        return check_target_file_env(param);
    case NTW_MODE_SINGLE:
    case NTW_MODE_DOUBLE:
        return check_paths_env(param);
    default:
        return -1;
    }
}

// ---------------------------------------------------------------------------
// Terminating signals
//
// SIGINT, SIGHUP and SIGPIPE end the run with status 1, a signal line in the
// report and every registered file removed.  The handler is installed with
// sigaction and without SA_RESTART: with glibc's signal() an interrupted
// call is restarted, so a process waiting in F_SETLKW (or any other blocked
// call) would never notice the signal.  Writing the report and running
// exit() from a handler is unsafe when the signal lands inside stdio or
// malloc, so the handler normally only records the signal, and the process
// ends at the next safe point (ntw_exit_if_signalled, called on every
// report line and around every blocking call).  A process that is inside a
// blocking section runs nothing but that one system call, so there the
// handler ends the process itself with async-signal-safe calls: the
// pre-converted signal line, kill and reap of the registered children,
// unlink of the registered files, _exit(1).

namespace {

constexpr int k_terminating_signals[] = {SIGINT, SIGHUP, SIGPIPE};
constexpr int k_max_children = 32;

volatile sig_atomic_t s_pending_signal;
volatile sig_atomic_t s_in_blocking;
volatile sig_atomic_t s_exiting;
volatile pid_t s_children[k_max_children];

// Kills and reaps every registered child; safe in a signal handler.
void end_registered_children()
{
    for (volatile pid_t &slot : s_children) {
        pid_t pid = slot;
        if (pid <= 0)
            continue;
        kill(pid, SIGKILL);
        while (waitpid(pid, nullptr, 0) == -1 && errno == EINTR) {
        }
        slot = 0;
    }
}

[[noreturn]] void exit_from_handler(int signum)
{
    msg_signal_line_async_safe(signum);
    if (getpid() == g_pid) {
        end_registered_children();
        delete_allfile_async_safe();
    }
    _exit(1);
}

void install_signal_handlers()
{
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = ntw_sig_exit;
    sa.sa_flags = 0;
    sigemptyset(&sa.sa_mask);
    for (int sig : k_terminating_signals)
        sigaddset(&sa.sa_mask, sig);
    for (int sig : k_terminating_signals)
        sigaction(sig, &sa, nullptr);
}

} // namespace

void ntw_sig_exit(int signum)
{
    if (s_exiting)
        return;
    if (s_in_blocking) {
        s_exiting = 1;
        exit_from_handler(signum);
    }
    if (s_pending_signal == 0)
        s_pending_signal = signum;
}

void ntw_exit_if_signalled(void)
{
    if (s_pending_signal == 0 || s_exiting)
        return;
    s_exiting = 1;
    msg_errmsg(0, msg_text(MT_SIGNAL_RECEIVED), static_cast<int>(s_pending_signal));
    std::exit(1);
}

void ntw_blocking_begin(void)
{
    int saved_errno = errno;
    msg_flush();
    ntw_exit_if_signalled();
    s_in_blocking = 1;
    // A signal recorded just before the section was entered must not wait
    // for the blocking call to end.
    if (s_pending_signal != 0) {
        s_in_blocking = 0;
        ntw_exit_if_signalled();
    }
    errno = saved_errno;
}

void ntw_blocking_end(void)
{
    int saved_errno = errno;
    s_in_blocking = 0;
    ntw_exit_if_signalled();
    errno = saved_errno;
}

void ntw_add_child(pid_t pid)
{
    for (volatile pid_t &slot : s_children) {
        if (slot == 0) {
            slot = pid;
            return;
        }
    }
}

void ntw_remove_child(pid_t pid)
{
    for (volatile pid_t &slot : s_children) {
        if (slot == pid)
            slot = 0;
    }
}

pid_t ntw_reap_child(pid_t pid)
{
    pid_t r;
    int err;
    do {
        ntw_blocking_begin();
        r = waitpid(pid, nullptr, 0);
        err = errno;
        ntw_blocking_end();
    } while (r == -1 && err == EINTR);
    if (r == pid || (r == -1 && err == ECHILD))
        ntw_remove_child(pid);
    errno = err;
    return r;
}

// ---------------------------------------------------------------------------
// Start-up, dispatch and exit

void ntw_finish(void)
{
    if (getpid() != g_pid)
        return;
    s_exiting = 1;
    end_registered_children();
    delete_allfile();
}

int ntw_init(int argc, char **argv, NtwParam *param)
{
    if (check_arg(argc, argv, param) != 0)
        return -1;
    g_pid = getpid();
    if (std::atexit(ntw_finish) != 0) {
        std::fprintf(stderr, "System error. STRERROR=%s\n", std::strerror(errno));
        return -1;
    }
    if (msg_init(param) != 0)
        return -1;
    install_signal_handlers();
    if (ntw_is_env_bad_condition(param) != 0)
        return -1;
    return 0;
}

namespace {

int run_mode(const NtwParam *param)
{
    switch (param->mode) {
    case NTW_MODE_SINGLE:
        return try_test_single(param);
    case NTW_MODE_DOUBLE: {
        int result = try_test_single(param);
        if (result == NTW_ABORT)
            return result;
        int mutual = try_test_double(param);
        return mutual != NTW_OK ? mutual : result;
    }
    case NTW_MODE_USERAPL:
        return try_test_usrapl(param);
    default:
        return NTW_ABORT;
    }
}

} // namespace

int ntw_main(int argc, char **argv)
{
    NtwParam param;
    std::memset(&param, 0, sizeof param);
    if (ntw_init(argc, argv, &param) != 0) {
        ntw_exit_if_signalled();
        return -1;
    }
    int result = run_mode(&param);
    // A signal that arrives while the last lines are written out still
    // ends the run with its line and status 1.
    msg_flush();
    ntw_exit_if_signalled();
    msg_finish();
    return result != NTW_OK ? -1 : 0;
}
