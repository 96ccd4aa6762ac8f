// Run control: the command line, start-up, the environment check, the
// dispatch to the test driver of the mode and the exit-time clean-up.
#include "ntw.h"

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

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
// Start-up, dispatch and exit

namespace {

void write_signal_line(int signum)
{
    msg_errmsg(0, msg_text(MT_SIGNAL_RECEIVED), signum);
}

// The way out of a terminating signal: the report and the deletion registry
// lie above the signal module, which reaches them through these.
constexpr SigExitActions k_exit_actions = {msg_flush, write_signal_line, msg_signal_line_async_safe,
                                           delete_allfile_async_safe};

// A standard descriptor that the invoking process left closed would be
// handed to the first file the checker opens: a sync file on descriptor 0
// looks never opened, report lines on descriptor 1 would land in a work
// file.  Each closed one is opened on /dev/null instead.
int open_closed_standard_descriptors()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // The lower descriptors are open by now, so this one is the lowest
        // free descriptor and open() returns it.
        int opened = open("/dev/null", O_RDWR);
        if (opened != fd) {
            if (opened >= 0)
                close(opened);
            return -1;
        }
    }
    return 0;
}

} // namespace

void ntw_finish(void)
{
    if (!sig_is_main_process())
        return;
    sig_end_children();
    delete_allfile();
}

int ntw_init(int argc, char **argv, NtwParam *param)
{
    if (open_closed_standard_descriptors() != 0)
        return -1;
    if (check_arg(argc, argv, param) != 0)
        return -1;
    sig_record_main_process();
    if (std::atexit(ntw_finish) != 0) {
        std::fprintf(stderr, "System error. STRERROR=%s\n", std::strerror(errno));
        return -1;
    }
    if (msg_init(param) != 0)
        return -1;
    sig_set_exit_actions(&k_exit_actions);
    sig_install_handlers();
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
        sig_exit_if_signalled();
        return -1;
    }
    int result = run_mode(&param);
    // A signal that arrives while the last lines are written out still
    // ends the run with its line and status 1.
    msg_flush();
    sig_exit_if_signalled();
    msg_finish();
    return result != NTW_OK ? -1 : 0;
}
