// Fuzz target of the report path: formatting, indentation, bounding and
// code-set conversion of report lines whose inserted text (a file name, a
// user name, data read back) is arbitrary bytes of any length.
//
// Input: byte 0 chooses the code set, whether the report goes to a log file
// or to standard output, and the signal of the signal line; byte 1 the
// message format and the nesting depth; bytes 2-5 the error number; the rest
// is the text.
#include "ntw.h"

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Catalogue formats that insert one text, as the program uses them.
constexpr ntw_text_id k_formats[] = {
    MT_OPEN, MT_DELETE, MT_READ_DATA_BAD, MT_SYNC_NAME_MADE, MT_UA_OPEN_WRITE, MT_UA_ASK_CREATE,
};
constexpr size_t k_format_count = sizeof k_formats / sizeof k_formats[0];
constexpr int k_signals[] = {SIGHUP, SIGINT, SIGPIPE};
constexpr size_t k_header = 6;

struct Input {
    int code_set;
    bool to_log;
    const char *format;
    int depth;
    int err;
    int signum;
    std::string text;
};

Input decode(const uint8_t *data, size_t size)
{
    uint8_t head[k_header] = {};
    if (size > 0)
        std::memcpy(head, data, size < k_header ? size : k_header);
    Input in;
    in.code_set = NTW_CODE_EUCJP + head[0] % 3;
    in.to_log = (head[0] & 0x10) != 0;
    size_t format_choice = head[1] % (k_format_count + 1);
    in.format = format_choice == k_format_count ? "%s" : msg_text(k_formats[format_choice]);
    in.depth = (head[1] >> 4) % 5;
    std::memcpy(&in.err, head + 2, sizeof in.err);
    in.signum = k_signals[(head[0] >> 5) % 3];
    if (size > k_header)
        in.text.assign(reinterpret_cast<const char *>(data + k_header), size - k_header);
    return in;
}

// The log file of this fuzzing process, emptied before every input, and a
// descriptor to read it back.
char s_log_path[] = "/tmp/ntwfuzz_msg.XXXXXX";
int s_log_reader = -1;

void remove_log()
{
    unlink(s_log_path);
}

const char *fresh_log()
{
    if (s_log_reader < 0) {
        s_log_reader = mkstemp(s_log_path);
        if (s_log_reader < 0)
            __builtin_trap();
        std::atexit(remove_log);
    }
    if (ftruncate(s_log_reader, 0) != 0)
        __builtin_trap();
    return s_log_path;
}

off_t log_size()
{
    struct stat st;
    if (fstat(s_log_reader, &st) != 0)
        __builtin_trap();
    return st.st_size;
}

// Runs one report call.  With a log file, what the call wrote must be one
// whole line of at most 2047 bytes: however long the inserted text, a line
// is shortened, never split, overrun or left without its newline.
template <typename Call> void logged(const Input &in, Call call)
{
    off_t before = in.to_log ? log_size() : 0;
    call();
    if (!in.to_log)
        return;
    off_t after = log_size();
    if (after == before)
        return; // a line that could not be converted is dropped
    char last = '\0';
    if (after < before || after - before > 2047 || pread(s_log_reader, &last, 1, after - 1) != 1 ||
        last != '\n')
        __builtin_trap();
}

void report(const Input &in)
{
    const char *text = in.text.c_str();
    for (int level = 0; level < in.depth; ++level)
        logged(in, [&] { msg_test_start(text); });
    logged(in, [&] { msg_statusmsg(0, in.format, text); });
    logged(in, [&] { msg_statusmsg(in.err, in.format, text); });
    logged(in, [&] { msg_errmsg(0, in.format, text); });
    logged(in, [&] { msg_errmsg(in.err, in.format, text); });
    logged(in, [&] { msg_output("%s\n", text); });
    logged(in, [&] { msg_output_stderr(in.format, text); });
    for (int level = in.depth; level > 0; --level)
        logged(in, [&] { msg_test_end(text, level % 3 - 1); });
    if (in.code_set != NTW_CODE_EUCJP) {
        char dest[2048];
        if (iconv_conv(text, dest) == 0 && strnlen(dest, sizeof dest) == sizeof dest)
            __builtin_trap();
    }
    logged(in, [&] { msg_signal_line_async_safe(in.signum); });
    msg_flush();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Input in = decode(data, size);
    NtwParam param;
    std::memset(&param, 0, sizeof param);
    param.code_set = in.code_set;
    if (in.to_log)
        std::strcpy(param.log_file, fresh_log());
    if (msg_init(&param) != 0)
        __builtin_trap();
    report(in);
    msg_finish();
    // Calls after msg_finish are no-ops; they run here so that the fuzzer
    // also covers the inactive paths.
    msg_test_start(in.text.c_str());
    msg_statusmsg(in.err, in.format, in.text.c_str());
    return 0;
}
