// Fuzz target of the report path, for memory errors and undefined behaviour
// (line formats and bounds are pinned by the message unit tests):
// formatting, indentation, bounding and code-set conversion of report lines
// whose inserted text (a file name, a user name, data read back) is
// arbitrary bytes of any length.  Byte 0 chooses the code set and log or
// standard output, byte 1 the format and the nesting depth, bytes 2-5 the
// error number; the rest is the text.
#include "ntw.h"

#include <csignal>
#include <cstdint>
#include <cstring>
#include <string>
#include <unistd.h>

constexpr ntw_text_id k_formats[] = {MT_OPEN, MT_DELETE, MT_READ_DATA_BAD, MT_UA_ASK_CREATE};

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
    NtwParam param{};
    param.code_set = NTW_CODE_EUCJP + head[0] % 3;
    if (head[0] & 0x10)
        std::strcpy(param.log_file, "/tmp/ntwfuzz_msg.log");
    unlink("/tmp/ntwfuzz_msg.log");
    if (msg_init(&param) != 0)
        __builtin_trap();
    for (int level = 0; level < depth; ++level)
        msg_test_start(t);
    msg_statusmsg(err, format, t);
    msg_errmsg(err, format, t);
    msg_output("%s\n", t);
    msg_output_stderr(format, t);
    for (int level = depth; level > 0; --level)
        msg_test_end(t, level % 3 - 1);
    msg_signal_line_async_safe(SIGINT);
    msg_finish();
    return 0;
}
