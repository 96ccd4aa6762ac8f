// Messages: every report line of a run passes through here.  The texts are
// EUC-JP; a finished line is converted to the operator's code set (none for
// -e, Shift_JIS for -s, UTF-8 for -8) and goes to the log file when one was
// named, else to standard output.  Start-up diagnostics go to standard error.
#include "ntw.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <iconv.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr size_t k_buf_size = 2048;
const iconv_t k_no_conv = reinterpret_cast<iconv_t>(-1);

struct LogInfo {
    int32_t active;
    int32_t indent;
    int32_t code_set;
    int32_t log_fd;
    iconv_t conv_desc;
};

LogInfo s_loginfo = {0, 0, 0, -1, k_no_conv};

// The signal line, converted at msg_init so that the signal handler only has
// to insert the digits and write: "        ! <text>" and "<rest>\n".
char s_signal_head[256];
size_t s_signal_head_len;
char s_signal_tail[64];
size_t s_signal_tail_len;

// Length of the EUC-JP character whose first byte is c: one byte for ASCII,
// three for the 0x8F (JIS X 0212) form, two for the other high bytes.
// Bytes that are not EUC-JP count as one, so any input can be walked.
size_t eucjp_char_len(unsigned char c)
{
    if (c == 0x8F)
        return 3;
    if (c == 0x8E || (c >= 0xA1 && c <= 0xFE))
        return 2;
    return 1;
}

// The longest prefix of text, at most limit bytes, that ends on a whole
// character.
size_t eucjp_whole_chars(const char *text, size_t limit)
{
    size_t n = 0;
    while (n < limit && text[n] != '\0') {
        size_t len = eucjp_char_len(static_cast<unsigned char>(text[n]));
        if (n + len > limit)
            break;
        n += len;
    }
    return n;
}

// Formats into a k_buf_size buffer.  Text that does not fit is cut after
// the last whole character, and a line keeps its final newline, so an
// over-long line is shortened rather than split or run into the next one.
void format_bounded(char *buf, const char *fmt, va_list ap)
{
    int n = std::vsnprintf(buf, k_buf_size, fmt, ap);
    if (n < 0) {
        buf[0] = '\0';
        return;
    }
    if (static_cast<size_t>(n) < k_buf_size)
        return;
    size_t fmt_len = std::strlen(fmt);
    bool is_line = fmt_len > 0 && fmt[fmt_len - 1] == '\n';
    size_t keep = eucjp_whole_chars(buf, k_buf_size - 1 - (is_line ? 1 : 0));
    if (is_line)
        buf[keep++] = '\n';
    buf[keep] = '\0';
}

// Converts one line for output: unchanged for EUC-JP, through the converter
// otherwise.  Returns the text to write, or nullptr when it cannot be
// converted (iconv_conv has reported it).
const char *line_for_output(const char *line, char *converted)
{
    if (s_loginfo.code_set == NTW_CODE_EUCJP)
        return line;
    return iconv_conv(line, converted) == 0 ? converted : nullptr;
}

iconv_t open_converter(int code_set)
{
    // Platforms spell the converters differently; the first name is the
    // traditional one, the second the one of the GNU and IANA registries.
    static const char *const k_from[] = {"eucJP", "EUC-JP"};
    static const char *const k_to_sjis[] = {"SJIS", "SHIFT_JIS"};
    static const char *const k_to_utf8[] = {"UTF-8", "UTF8"};
    const char *const *to = code_set == NTW_CODE_SJIS ? k_to_sjis : k_to_utf8;
    int saved_errno = 0;
    for (int t = 0; t < 2; ++t) {
        for (const char *from : k_from) {
            iconv_t cd = iconv_open(to[t], from);
            if (cd != k_no_conv)
                return cd;
            if (saved_errno == 0)
                saved_errno = errno;
        }
    }
    errno = saved_errno;
    return k_no_conv;
}

// Converts text into out (capacity cap) for the signal line; false when it
// does not convert or fit.
bool prepare_signal_part(const char *text, char *out, size_t cap, size_t *len)
{
    char converted[k_buf_size];
    const char *src = line_for_output(text, converted);
    if (src == nullptr)
        return false;
    size_t n = std::strlen(src);
    if (n >= cap)
        return false;
    std::memcpy(out, src, n + 1);
    *len = n;
    return true;
}

// Splits the signal text at its number conversion into the part before
// (with the error-line prefix) and the part after (with the newline).
bool prepare_signal_line()
{
    const char *text = msg_text(MT_SIGNAL_RECEIVED);
    const char *conv = std::strstr(text, "%d");
    if (conv == nullptr)
        return false;
    char head[k_buf_size];
    char tail[k_buf_size];
    std::snprintf(head, sizeof head, "        ! %.*s", static_cast<int>(conv - text), text);
    std::snprintf(tail, sizeof tail, "%s\n", conv + 2);
    return prepare_signal_part(head, s_signal_head, sizeof s_signal_head, &s_signal_head_len) &&
           prepare_signal_part(tail, s_signal_tail, sizeof s_signal_tail, &s_signal_tail_len);
}

void report_line(int err, const char *plain_fmt, const char *errno_fmt, const char *fmt, va_list ap)
{
    char text[k_buf_size];
    format_bounded(text, fmt, ap);
    if (err == 0)
        msg_output(plain_fmt, text);
    else
        msg_output(errno_fmt, text, err, std::strerror(err));
}

// Whether someone other than the running user may write the directory that
// holds `path` (and so may have planted a link there).
bool directory_writable_by_others(const char *path)
{
    std::string dir(path);
    size_t slash = dir.rfind('/');
    if (slash == std::string::npos)
        dir = ".";
    else
        dir.resize(slash == 0 ? 1 : slash);
    struct stat st;
    if (stat(dir.c_str(), &st) != 0)
        return true;
    return (st.st_mode & (S_IWGRP | S_IWOTH)) != 0 || st.st_uid != geteuid();
}

// Opens the log file for appending.  A final symbolic link in a directory
// that others can write is followed only when the running user owns the
// link (the rule of protected_symlinks): otherwise whoever may write there
// could make the checker, run as root, create or append to any file.  A
// refusal fails with EACCES, as the kernel's rule does.
int open_log_file(const char *path)
{
    constexpr int flags = O_WRONLY | O_APPEND | O_CREAT;
    int fd = open(path, flags | O_NOFOLLOW, NTW_FILE_MODE);
    if (fd != -1 || errno != ELOOP)
        return fd;
    struct stat link;
    if (lstat(path, &link) != 0)
        return -1;
    if (S_ISLNK(link.st_mode) && link.st_uid != geteuid() && directory_writable_by_others(path)) {
        errno = EACCES;
        return -1;
    }
    return open(path, flags, NTW_FILE_MODE);
}

} // namespace

int msg_init(const NtwParam *param)
{
    s_loginfo.log_fd = -1;
    s_loginfo.conv_desc = k_no_conv;
    s_loginfo.active = 1;
    s_loginfo.code_set = param->code_set;

    if (s_loginfo.code_set != NTW_CODE_EUCJP) {
        s_loginfo.conv_desc = open_converter(s_loginfo.code_set);
        if (s_loginfo.conv_desc == k_no_conv) {
            std::fprintf(stderr, "iconv open error. STRERROR=%s\n", std::strerror(errno));
            return -1;
        }
    }
    if (!prepare_signal_line())
        return -1;

    if (param->log_file[0] != '\0') {
        s_loginfo.log_fd = open_log_file(param->log_file);
        if (s_loginfo.log_fd == -1) {
            int err = errno;
            msg_output_stderr(msg_text(MT_LOG_OPEN_FAILED), param->log_file, std::strerror(err));
            return -1;
        }
    }
    return 0;
}

void msg_finish(void)
{
    if (!s_loginfo.active)
        return;
    s_loginfo.active = 0;
    if (s_loginfo.log_fd != -1) {
        close(s_loginfo.log_fd);
        s_loginfo.log_fd = -1;
    }
    if (s_loginfo.conv_desc != k_no_conv) {
        iconv_close(s_loginfo.conv_desc);
        s_loginfo.conv_desc = k_no_conv;
    }
}

// Converts in one call; the converter's shift state carries over between
// lines (the output code sets have none, so nothing needs resetting).
int iconv_conv(const char *src, char *dest)
{
    if (s_loginfo.conv_desc == k_no_conv) {
        std::snprintf(dest, k_buf_size, "%s", src);
        return 0;
    }
    char *in = const_cast<char *>(src);
    size_t in_left = std::strlen(src);
    char *out = dest;
    size_t out_left = k_buf_size - 1;
    if (iconv(s_loginfo.conv_desc, &in, &in_left, &out, &out_left) == static_cast<size_t>(-1)) {
        std::fprintf(stderr, "iconv error. STRERROR=%s\n", std::strerror(errno));
        return -1;
    }
    *out = '\0';
    return 0;
}

namespace {

// Formats one line and converts it for output; nullptr when it cannot be
// converted (reported on standard error).
const char *format_for_output(char *line, char *converted, const char *fmt, va_list ap)
{
    format_bounded(line, fmt, ap);
    return line_for_output(line, converted);
}

} // namespace

int msg_output(const char *fmt, ...)
{
    sig_exit_if_signalled();
    if (!s_loginfo.active)
        return 0;
    char line[k_buf_size];
    char converted[k_buf_size];
    va_list ap;
    va_start(ap, fmt);
    const char *out = format_for_output(line, converted, fmt, ap);
    va_end(ap);
    if (out == nullptr)
        return -1;
    if (s_loginfo.log_fd == -1) {
        std::fputs(out, stdout);
        return 0;
    }
    return write(s_loginfo.log_fd, out, std::strlen(out)) == -1 ? -1 : 0;
}

int msg_output_stderr(const char *fmt, ...)
{
    sig_exit_if_signalled();
    if (!s_loginfo.active)
        return 0;
    char line[k_buf_size];
    char converted[k_buf_size];
    va_list ap;
    va_start(ap, fmt);
    const char *out = format_for_output(line, converted, fmt, ap);
    va_end(ap);
    if (out == nullptr)
        return -1;
    std::fprintf(stderr, "%s\n", out);
    return 0;
}

void msg_statusmsg(int err, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    report_line(err, "        %s\n", "        %s ERRORCODE=%d(%s)\n", fmt, ap);
    va_end(ap);
}

void msg_errmsg(int err, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    report_line(err, "        ! %s\n", "        ! %s ERRORCODE=%d(%s)\n", fmt, ap);
    va_end(ap);
}

// Field width of the test lines: two spaces per open test.
static int test_indent_width()
{
    return s_loginfo.indent > 0 ? 2 * s_loginfo.indent : 0;
}

void msg_test_start(const char *name)
{
    msg_output(msg_text(MT_TEST_START_LINE), test_indent_width(), "", name);
    if (s_loginfo.active)
        ++s_loginfo.indent;
}

int msg_test_end(const char *name, int result)
{
    if (s_loginfo.active)
        --s_loginfo.indent;
    return msg_output(msg_text(MT_TEST_END_LINE), test_indent_width(), "", name,
                      result == NTW_OK ? "OK" : "NG");
}

void msg_flush(void)
{
    std::fflush(stdout);
}

// Runs in a signal handler: static data, arithmetic and write(2) only.
void msg_signal_line_async_safe(int signum)
{
    if (!s_loginfo.active)
        return;
    char line[sizeof s_signal_head + sizeof s_signal_tail + 16];
    size_t n = 0;
    for (size_t i = 0; i < s_signal_head_len; ++i)
        line[n++] = s_signal_head[i];
    char digits[12];
    size_t nd = 0;
    unsigned value = signum < 0 ? 0u : static_cast<unsigned>(signum);
    do {
        digits[nd++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0 && nd < sizeof digits);
    while (nd > 0)
        line[n++] = digits[--nd];
    for (size_t i = 0; i < s_signal_tail_len; ++i)
        line[n++] = s_signal_tail[i];
    int fd = s_loginfo.log_fd != -1 ? s_loginfo.log_fd : STDOUT_FILENO;
    ssize_t w = write(fd, line, n);
    (void)w;
}
