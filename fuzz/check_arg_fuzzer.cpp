// Fuzz target of the command-line parser.  The input is split at NUL bytes
// into the arguments after the program name.  Besides memory errors, it
// catches a parser that accepts what it must reject or fills the record
// wrongly: every run is compared with a plain restatement of the
// command-line rules below.
#include "ntw.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr size_t k_max_args = 40;

std::vector<std::string> split_arguments(const uint8_t *data, size_t size)
{
    std::vector<std::string> args;
    if (size == 0)
        return args;
    std::string current;
    for (size_t i = 0; i < size && args.size() < k_max_args; ++i) {
        if (data[i] == '\0') {
            args.push_back(current);
            current.clear();
        } else {
            current.push_back(static_cast<char>(data[i]));
        }
    }
    if (args.size() < k_max_args)
        args.push_back(current);
    return args;
}

bool is_all_digits(const std::string &s)
{
    for (char c : s) {
        if (c < '0' || c > '9')
            return false;
    }
    return true;
}

// The time-out value of a digit string, or -1 when it lies outside 10..600
// (leading zeros do not count; any longer string is out of range).
int timeout_value(const std::string &digits)
{
    size_t first = digits.find_first_not_of('0');
    if (first == std::string::npos)
        return -1;
    std::string significant = digits.substr(first);
    if (significant.size() > 3)
        return -1;
    int v = 0;
    for (char c : significant)
        v = v * 10 + (c - '0');
    return v >= NTW_TIMEOUT_MIN && v <= NTW_TIMEOUT_MAX ? v : -1;
}

// A text option given again is refused only when the first one stored a
// non-empty value; a value over the limit is refused, never cut.
bool store(std::string &field, const std::string &value, size_t limit)
{
    if (!field.empty() || value.size() > limit)
        return false;
    field = value;
    return true;
}

struct Expected {
    int mode = 0;
    int timeout = NTW_TIMEOUT_DEFAULT;
    int code_set = 0;
    std::string share, target, file, log, owner, group;
};

// The rules of the command line, restated as simply as possible.
bool expected_parse(const std::vector<std::string> &args, Expected &e)
{
    if (args.empty())
        return false;
    bool have_mode = false, have_timeout = false;
    std::string mode_word, timeout_text;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &a = args[i];
        if (a == "-e" || a == "-s" || a == "-8") {
            if (e.code_set != 0)
                return false;
            e.code_set = a == "-e" ? NTW_CODE_EUCJP : a == "-s" ? NTW_CODE_SJIS : NTW_CODE_UTF8;
            continue;
        }
        static const char *const k_valued[] = {"-m", "-p", "-h", "-f", "-t", "-o", "-O", "-G"};
        bool valued = false;
        for (const char *v : k_valued)
            valued = valued || a == v;
        if (!valued || i + 1 >= args.size())
            return false;
        const std::string &value = args[++i];
        bool ok = true;
        if (a == "-m") {
            ok = !have_mode;
            have_mode = true;
            mode_word = value;
        } else if (a == "-t") {
            ok = !have_timeout;
            have_timeout = true;
            timeout_text = value;
        } else if (a == "-p") {
            ok = store(e.target, value, NTW_PATH_LEN);
        } else if (a == "-h") {
            ok = store(e.share, value, NTW_PATH_LEN);
        } else if (a == "-f") {
            ok = store(e.file, value, NTW_PATH_LEN);
        } else if (a == "-o") {
            ok = store(e.log, value, NTW_PATH_LEN);
        } else if (a == "-O") {
            ok = store(e.owner, value, NTW_NAME_LEN);
        } else {
            ok = store(e.group, value, NTW_NAME_LEN);
        }
        if (!ok)
            return false;
    }
    if (!have_mode)
        return false;
    if (mode_word == "single")
        e.mode = NTW_MODE_SINGLE;
    else if (mode_word == "double")
        e.mode = NTW_MODE_DOUBLE;
    else if (mode_word == "userapl")
        e.mode = NTW_MODE_USERAPL;
    else
        return false;
    if (e.mode == NTW_MODE_USERAPL) {
        if (e.file.empty() || !e.target.empty() || !e.share.empty())
            return false;
    } else {
        if (e.share.empty() || e.target.empty() || !e.file.empty())
            return false;
        if (e.owner.empty() && !e.group.empty())
            return false;
    }
    if (have_timeout) {
        if (!is_all_digits(timeout_text))
            return false;
        e.timeout = timeout_value(timeout_text);
        if (e.timeout < 0)
            return false;
    }
    return e.code_set != 0;
}

// A record field must be NUL-terminated inside its array and hold the text.
void check_field(const char *field, size_t size, const std::string &expected)
{
    if (strnlen(field, size) == size || expected != field)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<std::string> args = split_arguments(data, size);
    std::vector<char *> argv;
    std::string program = "zemntwchk";
    argv.push_back(&program[0]);
    for (std::string &a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);

    NtwParam param;
    std::memset(&param, 0, sizeof param);
    int result = check_arg(static_cast<int>(argv.size() - 1), argv.data(), &param);

    Expected e;
    bool accept = expected_parse(args, e);
    if (result != (accept ? 0 : -1))
        std::abort();
    if (!accept)
        return 0;
    if (param.mode != e.mode || param.timeout != e.timeout || param.code_set != e.code_set)
        std::abort();
    check_field(param.share_path, sizeof param.share_path, e.share);
    check_field(param.target_path, sizeof param.target_path, e.target);
    check_field(param.target_file, sizeof param.target_file, e.file);
    check_field(param.log_file, sizeof param.log_file, e.log);
    check_field(param.owner, sizeof param.owner, e.owner);
    check_field(param.group, sizeof param.group, e.group);
    return 0;
}
