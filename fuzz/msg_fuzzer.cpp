// Fuzz target of the report path: formatting, indentation, bounding and
// code-set conversion of report lines whose inserted text (a file name, a
// user name, data read back) is arbitrary bytes of any length.  Byte 0
// chooses the code set and log or standard output, byte 1 the format and
// the nesting depth, bytes 2-5 the error number; the rest is the text.
#include "ntw.h"

#include <csignal>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr ntw_text_id k_formats[] = {MT_OPEN, MT_DELETE, MT_READ_DATA_BAD, MT_UA_ASK_CREATE};

// With a log file, each call must add one whole line of at most 2047 bytes
// (or nothing, for a line that could not be converted).
template <typename Call> void logged(int log_fd, Call call)
{
    struct stat before, after;
    fstat(log_fd, &before);
    call();
    fstat(log_fd, &after);
    char last = '\n';
    off_t added = after.st_size - before.st_size;
    if (added < 0 || added > 2047 ||
        (added > 0 && pread(log_fd, &last, 1, after.st_size - 1) != 1) || last != '\n')
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    uint8_t head[6] = {};
    std::memcpy(head, data, size < 6 ? size : 6);
    const std::string text(reinterpret_cast<const char *>(data) + (size < 6 ? size : 6),
                           size < 6 ? 0 : size - 6);
    const char *t = text.c_str();
    const char *format = head[1] % 5 == 4 ? "%s" : msg_text(k_formats[head[1] % 5]);
    int err = 0, depth = (head[1] >> 4) % 5;
    std::memcpy(&err, head + 2, sizeof err);
    static const char *log_path = "/tmp/ntwfuzz_msg.log";
    NtwParam param{};
    param.code_set = NTW_CODE_EUCJP + head[0] % 3;
    if (head[0] & 0x10)
        std::strcpy(param.log_file, log_path);
    unlink(log_path);
    if (msg_init(&param) != 0)
        __builtin_trap();
    int log_fd = open(log_path, O_RDONLY | O_CREAT, 0600);
    for (int level = 0; level < depth; ++level)
        logged(log_fd, [&] { msg_test_start(t); });
    logged(log_fd, [&] { msg_statusmsg(err, format, t); });
    logged(log_fd, [&] { msg_errmsg(err, format, t); });
    logged(log_fd, [&] { msg_output("%s\n", t); });
    logged(log_fd, [&] { msg_output_stderr(format, t); });
    for (int level = depth; level > 0; --level)
        logged(log_fd, [&] { msg_test_end(t, level % 3 - 1); });
    logged(log_fd, [&] { msg_signal_line_async_safe(SIGINT); });
    msg_finish();
    close(log_fd);
    return 0;
}
