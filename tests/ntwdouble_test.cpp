// Tests of the ntwdouble module called directly: the lock-holding child of
// the hand-over tests, and how the data steps judge a record (ntwdata).  Mode double end to end,
// and an instance that vanishes while its child holds a lock, are in ntwscenario_test.cpp.
#include "testutil.h"

#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace ntwtest;

namespace {

// The lock that another process holds on byte 0 of the file, as the test
// process sees it (F_UNLCK when none).
short held_lock(const std::string &path)
{
    struct flock fl = {F_WRLCK, SEEK_SET, 0, 1, 0};
    int fd = open(path.c_str(), O_RDWR);
    EXPECT_EQ(fcntl(fd, F_GETLK, &fl), 0);
    close(fd);
    return fl.l_type;
}

// The child holds its lock, exclusive or shared, until three seconds after
// SIGTERM, so that the partner's waiting request really waits, and is never
// lost.  The wait for a child that cannot lock ends at the time-out, and
// the child is reaped.
TEST(DoubleChild, HoldsItsLockUntilThreeSecondsAfterSigtermOrTheWaitForItTimesOut)
{
    become_subreaper();
    TempDir dir("ntwdchild");
    const std::string own = dir.file("own");
    ASSERT_EQ(start_report_log(dir.file("report.log")), 0);
    const int fd = open(own.c_str(), O_RDWR | O_CREAT, 0666);
    fflush(nullptr); // a child must not inherit pending test output
    for (int exclusive : {1, 0}) {
        SCOPED_TRACE(exclusive != 0 ? "exclusive" : "shared");
        const pid_t child = double_child(fd, own.c_str(), exclusive, 1, 10);
        ASSERT_GT(child, 0);
        EXPECT_EQ(held_lock(own), exclusive != 0 ? F_WRLCK : F_RDLCK);
        // Sent at once: the child may not have reached its suspension yet.
        const time_t sent = time(nullptr);
        ASSERT_EQ(kill(child, SIGTERM), 0);
        while (held_lock(own) != F_UNLCK && time(nullptr) - sent < 60)
            usleep(50000);
        EXPECT_GE(time(nullptr) - sent, 2) << "the lock must outlast the signal by the pause";
        ASSERT_EQ(waitpid(child, nullptr, 0), child);
        sig_remove_child(child);
    }
    const time_t began = time(nullptr);
    EXPECT_EQ(double_child(fd, dir.file("missing/own").c_str(), 1, 1, 2), -1);
    EXPECT_LT(time(nullptr) - began, 60);
    EXPECT_EQ(get_is_timeout(), 1);
    expect_nothing_left({}, 0);
    close(fd);
    msg_finish();
}

// A reader takes the first record's writer from the record and then holds
// the second to it; any other test, write, file number or writer, a short
// read or unprintable bytes are NG with a bounded, printable line.
TEST(DataRecord, OnlyThePartnersRecordOfThisTestAndWriteIsAccepted)
{
    TempDir dir("ntwdrecord");
    ASSERT_EQ(start_report_log(dir.file("report.log")), 0);
    const int fd = open(dir.file("work").c_str(), O_RDWR | O_CREAT, 0666);
    char host[64] = "";
    gethostname(host, sizeof host - 1);
    const std::string me = std::string("H=") + host + " P=" + std::to_string(getpid());
    struct Case {
        const char *written; // test, write, file number; or raw bytes after '!'
        char test;
        int write_no, file_no;
        const char *known; // the writer known from a first read: none, self or another
        const char *expected, *found;
    };
    const Case cases[] = {
        {"S11", 'S', 1, 1, nullptr, nullptr, nullptr},
        {"S11", 'S', 2, 1, "self", "T=S W=2 F=1 @", "T=S W=1 F=1 @"},
        {"T21", 'S', 2, 1, "self", "T=S W=2 F=1 @", "T=T W=2 F=1 @"},
        {"S21", 'S', 2, 1, "hostB", "T=S W=2 F=1 H=hostB P=1", "T=S W=2 F=1 @"},
        {"S20", 'S', 2, 1, nullptr, "T=S W=2 F=1 @", "T=S W=2 F=0 @"},
        {"!\x01ZEMNTWDATA T=S", 'S', 1, 0, nullptr, "T=S W=1 F=0 H=? P=?", nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.written);
        ASSERT_EQ(ftruncate(fd, 0), 0);
        ASSERT_EQ(truncate(dir.file("report.log").c_str(), 0), 0);
        if (c.written[0] == '!')
            ASSERT_EQ(pwrite(fd, "\x01ZEMNTWDATA T=S", 15, 0), 15);
        else
            ASSERT_EQ(
                data_write_record(fd, c.written[0], c.written[1] - '0', c.written[2] - '0', 5), 0);
        data_writer_info writer{};
        if (c.known != nullptr)
            data_own_writer(&writer);
        if (c.known != nullptr && strcmp(c.known, "self") != 0)
            writer = {"hostB", "1"};
        const std::string before = writer.host;
        const int result = data_read_record(fd, c.test, c.write_no, c.file_no, &writer, 5);
        EXPECT_EQ(result, c.expected == nullptr ? NTW_OK : NTW_NG);
        EXPECT_EQ(writer.host, c.expected == nullptr ? host : before) << "learnt only from a match";
        auto record = [&](const char *fields) {
            return "ZEMNTWDATA " + replace_first(fields, "@", me);
        };
        const std::string found = c.found != nullptr ? record(c.found) : "?ZEMNTWDATA T=S";
        const std::vector<std::string> log = split_lines(read_file_bytes(dir.file("report.log")));
        if (c.expected == nullptr)
            EXPECT_EQ(read_file_bytes(dir.file("report.log")).find("! "), std::string::npos);
        else
            EXPECT_TRUE(contains_line(
                log, report_line(true, filled(MT_PEER_DATA_BAD, record(c.expected), found))));
    }
    close(fd);
    msg_finish();
}

} // namespace
