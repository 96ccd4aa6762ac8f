// ntwdata: the records of the mutual data steps, which two instances write
// into their own work files and read from each other's.
//
// A record names its writer and its place in the run:
//
//   "ZEMNTWDATA T=<S|T> W=<1|2> F=<file number> H=<host> P=<process id>"
//
// (T: the shared path's or the target path's test; W: the first or the
// second write; F: the writer's own work-file number), padded with spaces
// to a fixed length and ended by a newline.  So it differs between the two
// instances (F, H, P), the two tests and the two writes.  Both records of a
// writer lie at the start of its file and have the same length, so the
// second covers the first entirely: a reader served old contents finds W=1
// where W=2 is due, and one served a short or empty file reads too little.
//
// A reader knows everything of the partner's record but the partner's host
// and process id.  The first read takes them from the record it finds (the
// rest must match: the partner's file number, this test, the first write);
// the second read must then find exactly that writer's second record.
#include "ntw.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

constexpr int DATA_RECORD_LEN = 112;
constexpr char DATA_HOST_CHARS[] =
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-_";

// The record of this writer and this place, space-padded, newline-ended.
void format_record(char *out, char test, int write_no, int file_no, const data_writer_info &writer)
{
    char text[DATA_RECORD_LEN + 1];
    int n = snprintf(text, sizeof text, "ZEMNTWDATA T=%c W=%d F=%d H=%s P=%s", test, write_no,
                     file_no, writer.host, writer.pid);
    size_t used = n < 0 ? 0 : std::min(static_cast<size_t>(n), sizeof text - 1);
    std::memset(out, ' ', DATA_RECORD_LEN);
    std::memcpy(out, text, std::min(used, static_cast<size_t>(DATA_RECORD_LEN - 1)));
    out[DATA_RECORD_LEN - 1] = '\n';
}

// The writer that a record names, when it names one in the record's form
// (the other fields are judged by comparing the whole record).
bool parse_writer(const char *record, int len, data_writer_info *writer)
{
    char text[DATA_RECORD_LEN + 1];
    std::memcpy(text, record, static_cast<size_t>(len));
    text[len] = '\0';
    const char *host = strstr(text, " H=");
    if (host == nullptr)
        return false;
    host += 3;
    const size_t host_len = strspn(host, DATA_HOST_CHARS);
    const char *pid = host + host_len;
    if (host_len == 0 || host_len >= sizeof writer->host || strncmp(pid, " P=", 3) != 0)
        return false;
    pid += 3;
    const size_t pid_len = strspn(pid, "0123456789");
    if (pid_len == 0 || pid_len >= sizeof writer->pid)
        return false;
    data_writer_info found{};
    std::memcpy(found.host, host, host_len);
    std::memcpy(found.pid, pid, pid_len);
    *writer = found;
    return true;
}

// What the report shows of a record: printable characters only (others as
// '?'), without the padding and the newline.
void printable(const char *record, int len, char *out)
{
    int end = len;
    while (end > 0 && (record[end - 1] == ' ' || record[end - 1] == '\n'))
        --end;
    for (int i = 0; i < end; ++i)
        out[i] = record[i] >= 0x20 && record[i] < 0x7f ? record[i] : '?';
    out[end] = '\0';
}

} // namespace

void data_own_writer(data_writer_info *writer)
{
    char host[sizeof writer->host + 1] = "";
    gethostname(host, sizeof host - 1);
    host[sizeof writer->host - 1] = '\0';
    for (char *c = host; *c != '\0'; ++c) {
        if (strchr(DATA_HOST_CHARS, *c) == nullptr)
            *c = '_';
    }
    if (host[0] == '\0')
        std::memcpy(host, "_", 2);
    std::memcpy(writer->host, host, sizeof writer->host);
    snprintf(writer->pid, sizeof writer->pid, "%d", static_cast<int>(getpid()));
}

int data_write_record(int fd, char test, int write_no, int file_no, int timeout)
{
    data_writer_info self{};
    data_own_writer(&self);
    char record[DATA_RECORD_LEN];
    format_record(record, test, write_no, file_no, self);
    return write_data(fd, record, DATA_RECORD_LEN, timeout);
}

int data_read_record(int fd, char test, int write_no, int file_no, data_writer_info *writer,
                     int timeout)
{
    char found[DATA_RECORD_LEN];
    msg_statusmsg(0, "%s", msg_text(MT_READ));
    int len = read_data(fd, found, DATA_RECORD_LEN, timeout);
    if (len < 0)
        return test_failure_value();
    data_writer_info expected_writer = *writer;
    if (expected_writer.host[0] == '\0' && !parse_writer(found, len, &expected_writer))
        expected_writer = data_writer_info{"?", "?"};
    char expected[DATA_RECORD_LEN];
    format_record(expected, test, write_no, file_no, expected_writer);
    if (len == DATA_RECORD_LEN && std::memcmp(expected, found, DATA_RECORD_LEN) == 0) {
        *writer = expected_writer;
        return NTW_OK;
    }
    char shown_expected[DATA_RECORD_LEN + 1];
    char shown_found[DATA_RECORD_LEN + 1];
    printable(expected, DATA_RECORD_LEN, shown_expected);
    printable(found, len, shown_found);
    msg_errmsg(0, msg_text(MT_PEER_DATA_BAD), shown_expected, shown_found);
    return NTW_NG;
}
