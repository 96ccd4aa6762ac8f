// Tests of the ntwmsg module.
#include "testutil.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>

using namespace ntwtest;

namespace {

// The code sets by their number, as iconv names them.
const char *const k_iconv[] = {nullptr, "EUC-JP", "SHIFT_JIS", "UTF-8"};

// Report lines given in UTF-8, each with its newline, in the code set.
std::string lines_in(int code_set, const std::vector<std::string> &lines)
{
    std::string text;
    for (const std::string &line : lines)
        text += line + "\n";
    return convert(text, "UTF-8", k_iconv[code_set]);
}

} // namespace

// One run per code set: Shift_JIS to standard output, the others to a log
// created under umask 027.  Tests nest two spaces a level, an aborted test
// ends as NG; catalogue texts, inserted ones too, are converted; any other
// inserted text (UTF-8, bytes that happen to be EUC-JP, a '%', a text of the
// code set too long for a line) is written as its own bytes.  A line over
// the limit is cut after its last whole character and keeps its newline.
// Diagnostics go to standard error, never into the report; a line that
// cannot be converted is dropped with an iconv error, and the report goes
// on.  The log has mode 0666 less the umask.  After the finish nothing is
// written.  (The other line formats, and appending to a log, are pinned by
// the end-to-end runs.)
TEST(Msg, ReportLinesInEveryCodeSetAndRoute)
{
    const std::string name = "/d/日本語\xb4\xc1%s%n%d";
    for (int code_set : {NTW_CODE_EUCJP, NTW_CODE_SJIS, NTW_CODE_UTF8}) {
        SCOPED_TRACE(code_set);
        const bool to_log = code_set != NTW_CODE_SJIS, converting = code_set != NTW_CODE_EUCJP;
        // "xy" and the lines' heads leave no code set's cut on a character boundary by chance.
        const std::string kanji = convert("漢", "UTF-8", k_iconv[code_set]);
        std::string long_text = "xy";
        for (int i = 0; i < 1100; ++i)
            long_text += kanji;
        TempDir dir("ntwmsg");
        const std::string log = dir.file("report.log");
        const mode_t old = umask(027);
        ASSERT_EQ(0, start_report_log(to_log ? log : "", code_set));
        umask(old);
        FdCapture out(STDOUT_FILENO), err(STDERR_FILENO);
        msg_statusmsg(0, msg_text(MT_OPEN), name.c_str());
        msg_output_stderr("%s", msg_text(MT_ENV_GROUP_UNKNOWN));
        msg_statusmsg(0, "\xff\xfe %s", "x");
        msg_test_start(msg_text(MT_TITLE_SHARE_PATH));
        msg_statusmsg(0, "%s", long_text.c_str());
        msg_test_start(long_text.c_str());
        msg_test_end(msg_text(MT_TITLE_KIND_LOCK), NTW_ABORT);
        msg_test_end(msg_text(MT_TITLE_SHARE_PATH), NTW_OK);
        msg_flush();
        msg_signal_line_async_safe(SIGHUP);
        msg_finish();
        msg_statusmsg(0, "%s", "after the finish");
        msg_signal_line_async_safe(SIGINT);

        // A line of the long text: its head, then whole characters up to
        // 2047 bytes with the newline.
        auto cut_line = [&](const std::string &head) {
            std::string line = convert(head, "UTF-8", k_iconv[code_set]) + "xy";
            while (line.size() + kanji.size() < 2047)
                line += kanji;
            return line + "\n";
        };
        const std::string expected =
            convert(report_line(false, filled(MT_OPEN)), "UTF-8", k_iconv[code_set]) + name +
            (converting ? "\n" : "\n        \xff\xfe x\n") +
            lines_in(code_set, {step_start(0, MT_TITLE_SHARE_PATH)}) +
            cut_line(report_line(false, "")) + cut_line("  テスト ") +
            lines_in(code_set, {step_end(1, MT_TITLE_KIND_LOCK, false),
                                step_end(0, MT_TITLE_SHARE_PATH, true),
                                replace_first(error_line(MT_SIGNAL_RECEIVED), "%d", "1")});
        // A log row writes nothing to standard output; the Shift_JIS row creates no log.
        EXPECT_EQ(expected, read_file_bytes(log) + out.finish());
        EXPECT_EQ(
            lines_in(code_set, {catalog(MT_ENV_GROUP_UNKNOWN)}) +
                (converting ? "iconv error. STRERROR=" + std::string(strerror(EILSEQ)) + "\n" : ""),
            err.finish());
        struct stat st;
        EXPECT_EQ(to_log ? 0640u : 0u, stat(log.c_str(), &st) == 0 ? st.st_mode & 0777 : 0u);
    }
}

// An argument is written in the report's code set when its own can be
// told: as it is when already valid there (-e, -8), else from UTF-8 first,
// then from EUC-JP; in neither, or with a character the report lacks, as its
// own bytes.  Rows: the argument, then what -e, -s and -8 write.
TEST(Msg, ArgumentsAreWrittenInTheReportsCodeSet)
{
    auto in = [](const char *utf8, int code_set) {
        return convert(utf8, "UTF-8", k_iconv[code_set]);
    };
    const std::string path = "/d/テスト", euc_path = in(path.c_str(), NTW_CODE_EUCJP);
    const std::string hojo = "\x8f\xb0\xa1", both = "\xc3\xa9"; // 丂 of JIS X 0212; é or 辿
    const std::string emoji = "\xf0\x9f\x98\x80", neither = "/d/\xff\xa5";
    const std::vector<std::pair<std::string, std::vector<std::string>>> rows = {
        {path, {euc_path, in(path.c_str(), NTW_CODE_SJIS), path}},
        {euc_path, {euc_path, in(path.c_str(), NTW_CODE_SJIS), path}},
        {"丂", {hojo, "丂", "丂"}},
        {hojo, {hojo, hojo, "丂"}},
        {both, {both, in("辿", NTW_CODE_SJIS), both}},
        {emoji, {emoji, emoji, emoji}},
        {neither, {neither, neither, neither}},
    };
    for (int code_set : {NTW_CODE_EUCJP, NTW_CODE_SJIS, NTW_CODE_UTF8}) {
        ASSERT_EQ(0, start_report_log("", code_set));
        FdCapture out(STDOUT_FILENO);
        std::string expected;
        for (const auto &[argument, written] : rows) {
            msg_statusmsg(0, "%s", argument.c_str());
            expected += "        " + written[code_set - 1] + "\n";
        }
        msg_flush();
        msg_finish();
        EXPECT_EQ(expected, out.finish()) << code_set;
    }
}

// The log is decided on the object that is opened.  In a directory others
// can write (0777, 01777) a symbolic link is refused whoever owns it (ELOOP),
// and only the running user's regular file, or one created now, is used;
// in a directory only root and the user can write (0755) a link is
// followed.  A FIFO (no reader: the start must not hang) is refused
// everywhere.  A refusal fails the start with the log message and its error
// and leaves the planted object and the link's target untouched.
TEST(Msg, LogFileIsUsedOnlyWhenItIsARegularFileThatNobodyElseCanHaveSwapped)
{
    if (getuid() != 0)
        GTEST_SKIP() << "planting files owned by another user needs root";
    // The directory's mode, what is planted under the name, its owner, the
    // error of the start (0: the report goes to the log).
    const std::tuple<mode_t, std::string, uid_t, int> rows[] = {
        {0777, "symlink", 0, ELOOP}, {01777, "symlink", 65534, ELOOP}, {0755, "symlink", 65534, 0},
        {0777, "fifo", 0, EINVAL},   {0755, "fifo", 0, EINVAL},        {0777, "file", 65534, EPERM},
        {0777, "file", 0, 0},        {0777, "hardlink", 0, EMLINK},    {0777, "", 0, 0}};
    for (const auto &[dir_mode, planted, owner, err] : rows) {
        SCOPED_TRACE(::testing::Message()
                     << std::oct << dir_mode << " " << planted << " " << std::dec << owner);
        TempDir logdir("ntwlogdir", dir_mode), victims("ntwlogvictim");
        const std::string log = logdir.file("report.log"), target = victims.file("created");
        if (planted == "file" || planted == "hardlink")
            write_file_bytes(planted == "file" ? log : target, "theirs\n");
        int made = planted == "symlink"    ? symlink(target.c_str(), log.c_str())
                   : planted == "hardlink" ? link(target.c_str(), log.c_str())
                   : planted == "fifo"     ? mkfifo(log.c_str(), 0666)
                                           : 0;
        ASSERT_EQ(0, made + (planted.empty() ? 0 : lchown(log.c_str(), owner, owner)));
        FdCapture err_out(STDERR_FILENO);
        EXPECT_EQ(err == 0 ? 0 : -1, start_report_log(log));
        if (err == 0)
            msg_output("line\n");
        msg_finish();
        EXPECT_EQ(err == 0 ? "" : filled(MT_LOG_OPEN_FAILED, log, strerror(err)) + "\n",
                  err_out.finish());
        const std::string written = planted == "symlink" ? target : log;
        const std::string before = planted == "file" || planted == "hardlink" ? "theirs\n" : "";
        struct stat st;
        if (planted == "fifo") {
            EXPECT_TRUE(lstat(log.c_str(), &st) == 0 && S_ISFIFO(st.st_mode));
        } else {
            EXPECT_EQ(err == 0 ? before + "line\n" : before, read_file_bytes(written));
        }
    }
}
