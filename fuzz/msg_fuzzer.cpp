// Fuzz target of the report path, for memory errors and undefined behaviour
// (line formats and bounds are pinned by the message unit tests):
// formatting, indentation, bounding and code-set conversion of report lines
// whose inserted text (a file name, a user name, data read back) is
// arbitrary bytes of any length.  Byte 0 chooses the code set, byte 1 the
// format, byte 2 the error number; the rest is the text.  The lines go to
// standard output: a log file differs only in where a finished line is
// written.
#include "ntw.h"

#include <cstdint>
#include <string>

constexpr ntw_text_id k_formats[] = {MT_OPEN, MT_DELETE, MT_READ_DATA_BAD, MT_UA_ASK_CREATE};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 3)
        return 0;
    const std::string text(reinterpret_cast<const char *>(data) + 3, size - 3);
    NtwParam param{};
    param.code_set = NTW_CODE_EUCJP + data[0] % 3;
    if (msg_init(&param) != 0)
        __builtin_trap();
    msg_test_start(text.c_str());
    msg_statusmsg(data[2], data[1] % 5 == 4 ? "%s" : msg_text(k_formats[data[1] % 5]),
                  text.c_str());
    msg_test_end(text.c_str(), NTW_NG);
    msg_finish();
    return 0;
}
