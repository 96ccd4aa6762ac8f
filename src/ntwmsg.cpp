// Messages: every report line of a run passes through here.  The texts are
// EUC-JP and are converted to the operator's code set (none for -e,
// Shift_JIS for -s, UTF-8 for -8); what a line inserts from outside (paths,
// user and group names, data read back, system error texts) is converted
// too when its own code set can be told (see argument_for_output).  A line
// goes to the log file when one was named, else to standard output.
// Start-up diagnostics go to standard error.
#include "ntw.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <iconv.h>
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
    iconv_t conv_desc; // EUC-JP to the output code set (-s, -8)
    iconv_t from_utf8; // UTF-8 to the output code set (-e, -s)
};

LogInfo s_loginfo = {0, 0, 0, -1, k_no_conv, k_no_conv};

// The signal line, converted at msg_init so that the signal handler only has
// to insert the digits and write: "        ! <text>" and "<rest>\n".
char s_signal_head[256];
size_t s_signal_head_len;
char s_signal_tail[64];
size_t s_signal_tail_len;

// Length of the character whose first byte is c in the output code set:
// EUC-JP (one byte for ASCII, three for the 0x8F form of JIS X 0212, two
// for the other high bytes), Shift_JIS (two for the lead bytes) or UTF-8.
// Bytes that do not start a character count as one, so any text can be
// walked.
size_t output_char_len(unsigned char c)
{
    switch (s_loginfo.code_set) {
    case NTW_CODE_SJIS:
        return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC) ? 2 : 1;
    case NTW_CODE_UTF8:
        return c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
    default:
        if (c == 0x8F)
            return 3;
        return c == 0x8E || (c >= 0xA1 && c <= 0xFE) ? 2 : 1;
    }
}

// The longest prefix of text, at most limit bytes, that ends on a whole
// character.
size_t whole_chars(const char *text, size_t limit)
{
    size_t n = 0;
    while (n < limit && text[n] != '\0') {
        size_t len = output_char_len(static_cast<unsigned char>(text[n]));
        if (n + len > limit)
            break;
        n += len;
    }
    return n;
}

bool converting()
{
    return s_loginfo.code_set != NTW_CODE_EUCJP;
}

bool is_ascii(const char *text)
{
    for (; *text != '\0'; ++text) {
        if (static_cast<unsigned char>(*text) >= 0x80)
            return false;
    }
    return true;
}

bool in_range(unsigned char c, unsigned char low, unsigned char high)
{
    return c >= low && c <= high;
}

// Well-formed UTF-8: no overlong form, no surrogate, nothing above U+10FFFF.
bool is_utf8(const char *text)
{
    const auto *p = reinterpret_cast<const unsigned char *>(text);
    while (*p != 0) {
        const unsigned char c = *p;
        size_t len = c < 0x80                  ? 1
                     : in_range(c, 0xC2, 0xDF) ? 2
                     : in_range(c, 0xE0, 0xEF) ? 3
                     : in_range(c, 0xF0, 0xF4) ? 4
                                               : 0;
        if (len == 0)
            return false;
        // The second byte's range excludes the overlong forms, the
        // surrogates and what lies beyond U+10FFFF.
        const unsigned char low = c == 0xE0 ? 0xA0 : c == 0xF0 ? 0x90 : 0x80;
        const unsigned char high = c == 0xED ? 0x9F : c == 0xF4 ? 0x8F : 0xBF;
        for (size_t i = 1; i < len; ++i) {
            if (!in_range(p[i], i == 1 ? low : 0x80, i == 1 ? high : 0xBF))
                return false;
        }
        p += len;
    }
    return true;
}

// Well-formed EUC-JP: ASCII, JIS X 0208 (two bytes A1-FE), half-width kana
// (8E A1-DF) and JIS X 0212 (8F and two bytes A1-FE).
bool is_eucjp(const char *text)
{
    const auto *p = reinterpret_cast<const unsigned char *>(text);
    while (*p != 0) {
        if (*p < 0x80) {
            ++p;
            continue;
        }
        if (*p != 0x8E && *p != 0x8F && !in_range(*p, 0xA1, 0xFE))
            return false;
        const size_t len = *p == 0x8F ? 3 : 2;
        const unsigned char high = *p == 0x8E ? 0xDF : 0xFE;
        for (size_t i = 1; i < len; ++i) {
            if (!in_range(p[i], 0xA1, high))
                return false;
        }
        p += len;
    }
    return true;
}

// Converts the whole of text with cd into out (k_buf_size bytes); false
// when a character does not convert or the result does not fit.
bool convert_whole(iconv_t cd, const char *text, char *out)
{
    if (cd == k_no_conv)
        return false;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    char *in = const_cast<char *>(text);
    size_t in_left = std::strlen(text);
    char *end = out;
    size_t out_left = k_buf_size - 1;
    if (iconv(cd, &in, &in_left, &end, &out_left) == static_cast<size_t>(-1))
        return false;
    *end = '\0';
    return true;
}

// An argument of a line (a path, a user or group name, data read back, a
// system error text) comes in the code set of whoever made it: EUC-JP on
// the systems the checker was first made for, UTF-8 on today's.  It is
// written in the report's code set whenever its own can be told:
// - text that is already well-formed in the report's code set (-8: UTF-8,
//   -e: EUC-JP) is written as it is; bytes valid in both code sets are
//   thereby always read as the report's own, which keeps the report valid;
// - otherwise well-formed UTF-8 is converted from UTF-8 (UTF-8 first: a
//   byte string valid in both is far more likely UTF-8 on a system of
//   today), and failing that, well-formed EUC-JP from EUC-JP;
// - text in neither, or with a character that the report's code set lacks
//   (JIS X 0212 in Shift_JIS, most of Unicode in EUC-JP), is written as its
//   own bytes: never dropped, never cut inside a character of its own.
// Pure ASCII is never touched.
const char *argument_for_output(const char *text, char *out)
{
    if (is_ascii(text))
        return text;
    const bool utf8 = is_utf8(text);
    const bool eucjp = is_eucjp(text);
    if ((s_loginfo.code_set == NTW_CODE_UTF8 && utf8) ||
        (s_loginfo.code_set == NTW_CODE_EUCJP && eucjp))
        return text;
    if ((utf8 && convert_whole(s_loginfo.from_utf8, text, out)) ||
        (eucjp && convert_whole(s_loginfo.conv_desc, text, out)))
        return out;
    return text;
}

// Whether text is one of the catalogue's texts (by address: the callers
// pass what msg_text returned).
bool is_catalogue_text(const char *text)
{
    for (int id = 0; id < MT_COUNT; ++id) {
        if (msg_text(static_cast<ntw_text_id>(id)) == text)
            return true;
    }
    return false;
}

// Text being formatted: at most k_buf_size - 1 bytes, always terminated;
// `cut` records that something did not fit.
struct Formatted {
    char *buf;
    size_t len;
    bool cut;
};

void put_bytes(Formatted *out, const char *bytes, size_t n)
{
    size_t room = k_buf_size - 1 - out->len;
    if (n > room) {
        n = room;
        out->cut = true;
    }
    std::memcpy(out->buf + out->len, bytes, n);
    out->len += n;
    out->buf[out->len] = '\0';
}

void put_spaces(Formatted *out, size_t n)
{
    static const char k_spaces[] = "                                ";
    while (n > 0 && !out->cut) {
        size_t chunk = n < sizeof k_spaces - 1 ? n : sizeof k_spaces - 1;
        put_bytes(out, k_spaces, chunk);
        n -= chunk;
    }
}

// One conversion of a format, as far as this system's formats use them:
// flags, width and precision (digits or '*'), the length modifiers h, l,
// ll, z, and the conversions d, i, u, x, s and %.
struct Conversion {
    char flags[8];
    int width;
    int precision; // -1: none
    char length[3];
    char type;
};

// Reads a width or a precision: digits, or '*' for the next argument.
const char *read_count(const char *f, int *count, va_list *ap)
{
    if (*f == '*') {
        *count = va_arg(*ap, int);
        return f + 1;
    }
    for (; *f >= '0' && *f <= '9'; ++f)
        *count = *count * 10 + (*f - '0');
    return f;
}

// Reads the conversion that starts after a '%'; returns the position after
// it, or nullptr when the format ends inside it.
const char *parse_conversion(const char *f, Conversion *c, va_list *ap)
{
    *c = Conversion{{}, 0, -1, {}, '\0'};
    size_t nf = 0;
    for (; *f != '\0' && std::strchr("-+ #0", *f) != nullptr; ++f) {
        if (nf < sizeof c->flags - 1)
            c->flags[nf++] = *f;
    }
    f = read_count(f, &c->width, ap);
    if (*f == '.') {
        c->precision = 0;
        f = read_count(f + 1, &c->precision, ap);
    }
    size_t nl = 0;
    for (; *f != '\0' && std::strchr("hlz", *f) != nullptr; ++f) {
        if (nl < sizeof c->length - 1)
            c->length[nl++] = *f;
    }
    if (*f == '\0')
        return nullptr;
    c->type = *f;
    return f + 1;
}

void put_number(Formatted *out, const Conversion &c, va_list *ap)
{
    bool is_long_long = std::strcmp(c.length, "ll") == 0;
    bool is_long = !is_long_long && (c.length[0] == 'l' || c.length[0] == 'z');
    char number_format[32];
    std::snprintf(number_format, sizeof number_format, "%%%s*.*ll%c", c.flags, c.type);
    char digits[64];
    if (c.type == 'd' || c.type == 'i') {
        long long value = is_long_long ? va_arg(*ap, long long)
                          : is_long    ? va_arg(*ap, long)
                                       : va_arg(*ap, int);
        std::snprintf(digits, sizeof digits, number_format, c.width, c.precision, value);
    } else {
        unsigned long long value = is_long_long ? va_arg(*ap, unsigned long long)
                                   : is_long    ? va_arg(*ap, unsigned long)
                                                : va_arg(*ap, unsigned);
        std::snprintf(digits, sizeof digits, number_format, c.width, c.precision, value);
    }
    put_bytes(out, digits, std::strlen(digits));
}

// A text of the catalogue is converted from EUC-JP; any other text is an
// argument (argument_for_output).
bool put_text(Formatted *out, const Conversion &c, const char *text)
{
    char converted[k_buf_size];
    if (text == nullptr)
        text = "(null)";
    if (is_catalogue_text(text)) {
        if (converting() && iconv_conv(text, converted) != 0)
            return false;
        text = converting() ? converted : text;
    } else {
        text = argument_for_output(text, converted);
    }
    size_t n =
        c.precision >= 0 ? strnlen(text, static_cast<size_t>(c.precision)) : std::strlen(text);
    bool left = std::strchr(c.flags, '-') != nullptr || c.width < 0;
    size_t width = static_cast<size_t>(c.width < 0 ? -c.width : c.width);
    size_t pad = width > n ? width - n : 0;
    if (!left)
        put_spaces(out, pad);
    put_bytes(out, text, n);
    if (left)
        put_spaces(out, pad);
    return true;
}

// Text that did not fit is cut after the last whole character, and a line
// keeps its final newline, so an over-long line is shortened rather than
// split or run into the next one.
void shorten_cut(Formatted *out, bool is_line)
{
    if (!out->cut)
        return;
    size_t keep = whole_chars(out->buf, k_buf_size - 1 - (is_line ? 1 : 0));
    if (is_line)
        out->buf[keep++] = '\n';
    out->buf[keep] = '\0';
}

// Formats into a k_buf_size buffer, in the output code set: the format (a
// catalogue text, or an ASCII layout of this module) is converted, every
// catalogue text inserted with %s too, and every other inserted text as an
// argument (argument_for_output).  Text that does not fit is cut
// (shorten_cut).  False when a text could not be converted (reported by
// iconv_conv); the line is then lost.
bool format_output(char *buf, const char *fmt, va_list args)
{
    char converted_fmt[k_buf_size];
    const char *f = fmt;
    if (converting()) {
        if (iconv_conv(fmt, converted_fmt) != 0)
            return false;
        f = converted_fmt;
    }
    va_list ap;
    va_copy(ap, args);
    Formatted out = {buf, 0, false};
    buf[0] = '\0';
    bool ok = true;
    while (ok && *f != '\0') {
        const char *literal = std::strchr(f, '%');
        if (literal != f) {
            size_t n = literal != nullptr ? static_cast<size_t>(literal - f) : std::strlen(f);
            put_bytes(&out, f, n);
            f += n;
            continue;
        }
        Conversion c;
        const char *next = parse_conversion(f + 1, &c, &ap);
        if (next == nullptr)
            break;
        if (c.type == 's')
            ok = put_text(&out, c, va_arg(ap, const char *));
        else if (std::strchr("diux", c.type) != nullptr)
            put_number(&out, c, &ap);
        else
            put_bytes(&out, f, static_cast<size_t>(next - f) - (c.type == '%' ? 1 : 0));
        f = next;
    }
    va_end(ap);
    if (!ok)
        return false;
    size_t fmt_len = std::strlen(fmt);
    shorten_cut(&out, fmt_len > 0 && fmt[fmt_len - 1] == '\n');
    return true;
}

bool format_args(char *buf, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    bool formatted = format_output(buf, fmt, ap);
    va_end(ap);
    return formatted;
}

// Writes a finished line: to the log file when one was named, else to
// standard output.
int write_line(const char *line)
{
    if (s_loginfo.log_fd == -1) {
        std::fputs(line, stdout);
        return 0;
    }
    // The log is a regular file, so the write does not wait for a reader;
    // should it still hang (a network file system), a terminating signal
    // ends the run from inside the section.
    sig_blocking_begin();
    ssize_t written = write(s_loginfo.log_fd, line, std::strlen(line));
    sig_blocking_end();
    return written == -1 ? -1 : 0;
}

// Converts a whole text of the catalogue for output (the signal line).
// Returns the text to write, or nullptr when it cannot be converted
// (iconv_conv has reported it).
const char *line_for_output(const char *line, char *converted)
{
    if (!converting())
        return line;
    return iconv_conv(line, converted) == 0 ? converted : nullptr;
}

// Platforms spell the converters differently; the first name is the
// traditional one, the second the one of the GNU and IANA registries.
using CodeSetNames = const char *const[2];
constexpr CodeSetNames k_eucjp = {"eucJP", "EUC-JP"};
constexpr CodeSetNames k_sjis = {"SJIS", "SHIFT_JIS"};
constexpr CodeSetNames k_utf8 = {"UTF-8", "UTF8"};

// A converter from `from` to the output code set; errno tells why none.
iconv_t open_converter(const CodeSetNames &from, int code_set)
{
    const CodeSetNames &to = code_set == NTW_CODE_SJIS   ? k_sjis
                             : code_set == NTW_CODE_UTF8 ? k_utf8
                                                         : k_eucjp;
    int saved_errno = 0;
    for (const char *to_name : to) {
        for (const char *from_name : from) {
            iconv_t cd = iconv_open(to_name, from_name);
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

// A progress or error line: the ASCII prefix, the message and, with an
// error number, the number and the system's text for it.  The message is
// in the output code set once formatted, so it is joined to the rest as it
// is, never converted a second time.
void report_line(int err, const char *prefix, const char *fmt, va_list ap)
{
    sig_exit_if_signalled();
    if (!s_loginfo.active)
        return;
    char text[k_buf_size];
    char tail[k_buf_size] = "\n";
    if (!format_output(text, fmt, ap) ||
        (err != 0 && !format_args(tail, " ERRORCODE=%d(%s)\n", err, std::strerror(err))))
        return;
    char line[k_buf_size];
    Formatted out = {line, 0, false};
    for (const char *part :
         {prefix, static_cast<const char *>(text), static_cast<const char *>(tail)})
        put_bytes(&out, part, std::strlen(part));
    shorten_cut(&out, true);
    write_line(line);
}

// Whether users other than root and the running user may write the
// directory (and so may plant or swap names in it).
bool writable_by_others(const struct stat &dir)
{
    bool trusted_owner = dir.st_uid == 0 || dir.st_uid == geteuid();
    return !trusted_owner || (dir.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

// Splits the log path into its directory (opened, a descriptor) and its last
// component (in *base); -1 with errno when the directory cannot be opened or
// the path names no file.
int open_log_directory(const char *path, const char **base)
{
    const char *slash = std::strrchr(path, '/');
    *base = slash == nullptr ? path : slash + 1;
    if (**base == '\0') {
        errno = EISDIR;
        return -1;
    }
    char dir[NTW_PATH_LEN + 1] = ".";
    if (slash == path)
        std::strcpy(dir, "/");
    else if (slash != nullptr && get_dirname(path, dir, sizeof dir - 1) != 0)
        return -1;
    return open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

// Whether the opened log is acceptable: a regular file (so that writing to
// it never blocks), and, where others may write the directory, the running
// user's own with no other name (a hard link planted there could lead to
// any file of the user's elsewhere).  0, or the error number of the
// refusal.
int check_log_file(int fd, bool own_required)
{
    struct stat st;
    if (fstat(fd, &st) != 0)
        return errno;
    if (!S_ISREG(st.st_mode))
        return EINVAL;
    if (own_required && st.st_uid != geteuid())
        return EPERM;
    if (own_required && st.st_nlink > 1)
        return EMLINK;
    int fl = fcntl(fd, F_GETFL);
    if (fl == -1 || fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) == -1)
        return errno;
    return 0;
}

// Opens the log file for appending, deciding on the one object that is
// opened: the directory is opened and looked at once, the last component is
// opened relative to it without waiting (a FIFO never blocks the start).  In
// a directory that others can write, a symbolic link is refused (ELOOP), and
// an existing file must be a regular file of the running user (EPERM
// otherwise) with one link (EMLINK otherwise), unless the open created it.
// In a directory only root and the running user can write, the name is
// opened as given, links followed.  Any file that is not regular is refused
// with EINVAL (a FIFO without a reader fails the open with ENXIO, reported
// the same way).
int open_log_file(const char *path)
{
    const char *base;
    int dirfd = open_log_directory(path, &base);
    if (dirfd == -1)
        return -1;
    struct stat dir;
    bool guarded = fstat(dirfd, &dir) != 0 || writable_by_others(dir);
    constexpr int flags = O_WRONLY | O_APPEND | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    bool created = false;
    int fd;
    if (guarded) {
        fd = openat(dirfd, base, flags | O_CREAT | O_EXCL | O_NOFOLLOW, NTW_FILE_MODE);
        created = fd != -1;
        if (fd == -1 && errno == EEXIST)
            fd = openat(dirfd, base, flags | O_NOFOLLOW);
    } else {
        fd = openat(dirfd, base, flags | O_CREAT, NTW_FILE_MODE);
    }
    int err =
        fd == -1 ? (errno == ENXIO ? EINVAL : errno) : check_log_file(fd, guarded && !created);
    close(dirfd);
    if (err != 0 && fd != -1)
        close(fd);
    errno = err;
    return err == 0 ? fd : -1;
}

} // namespace

int msg_init(const NtwParam *param)
{
    s_loginfo.log_fd = -1;
    s_loginfo.conv_desc = k_no_conv;
    s_loginfo.from_utf8 = k_no_conv;
    s_loginfo.active = 1;
    s_loginfo.code_set = param->code_set;

    if (s_loginfo.code_set != NTW_CODE_EUCJP) {
        s_loginfo.conv_desc = open_converter(k_eucjp, s_loginfo.code_set);
        if (s_loginfo.conv_desc == k_no_conv) {
            std::fprintf(stderr, "iconv open error. STRERROR=%s\n", std::strerror(errno));
            return -1;
        }
    }
    // Without this converter UTF-8 arguments stay their own bytes.
    if (s_loginfo.code_set != NTW_CODE_UTF8)
        s_loginfo.from_utf8 = open_converter(k_utf8, s_loginfo.code_set);
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
    for (iconv_t *cd : {&s_loginfo.conv_desc, &s_loginfo.from_utf8}) {
        if (*cd != k_no_conv)
            iconv_close(*cd);
        *cd = k_no_conv;
    }
}

int iconv_conv(const char *src, char *dest)
{
    if (s_loginfo.conv_desc == k_no_conv) {
        std::snprintf(dest, k_buf_size, "%s", src);
        return 0;
    }
    if (convert_whole(s_loginfo.conv_desc, src, dest))
        return 0;
    std::fprintf(stderr, "iconv error. STRERROR=%s\n", std::strerror(errno));
    return -1;
}

int msg_output(const char *fmt, ...)
{
    sig_exit_if_signalled();
    if (!s_loginfo.active)
        return 0;
    char line[k_buf_size];
    va_list ap;
    va_start(ap, fmt);
    bool formatted = format_output(line, fmt, ap);
    va_end(ap);
    return formatted ? write_line(line) : -1;
}

int msg_output_stderr(const char *fmt, ...)
{
    sig_exit_if_signalled();
    if (!s_loginfo.active)
        return 0;
    char line[k_buf_size];
    va_list ap;
    va_start(ap, fmt);
    bool formatted = format_output(line, fmt, ap);
    va_end(ap);
    if (!formatted)
        return -1;
    std::fprintf(stderr, "%s\n", line);
    return 0;
}

void msg_statusmsg(int err, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    report_line(err, "        ", fmt, ap);
    va_end(ap);
}

void msg_errmsg(int err, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    report_line(err, "        ! ", fmt, ap);
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
