// Tests of the ntwmsg module.
#include "testutil.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

using namespace ntwtest;

namespace {

class MsgTest : public ::testing::Test {
protected:
    void TearDown() override { msg_finish(); }

    std::string log_bytes() const { return read_file_bytes(log_path); }

    TempDir dir{"ntwmsg"};
    std::string log_path = dir.file("report.log");
};

const char *iconv_name(int code_set)
{
    return code_set == NTW_CODE_EUCJP  ? "EUC-JP"
           : code_set == NTW_CODE_SJIS ? "SHIFT_JIS"
                                       : "UTF-8";
}

std::string start_line(int indent, const std::string &name)
{
    return std::string(indent, ' ') + "テスト " + name + "を開始します。\n";
}

std::string end_line(int indent, const std::string &name, const char *verdict)
{
    return std::string(indent, ' ') + "テスト " + name + "が終了しました。 ... [ " + verdict +
           " ]\n";
}

} // namespace

// Every line format, nested tests two spaces a level with NG outranking
// abort, in every code set: catalogue texts, inserted ones too, are
// converted; any other inserted text (a UTF-8 name, bytes of no code set,
// bytes that happen to be EUC-JP, a '%') is written as its own bytes.
TEST_F(MsgTest, LinesHaveTheirFormatAndIndentationInEveryCodeSet)
{
    const std::string names[] = {"/d/日本語", "/d/\xff\xfe\x80x", "/d/\xb4\xc1", "/d/%s%n%d"};
    for (int code_set : {NTW_CODE_EUCJP, NTW_CODE_SJIS, NTW_CODE_UTF8}) {
        SCOPED_TRACE(code_set);
        unlink(log_path.c_str());
        ASSERT_EQ(0, start_report_log(log_path, code_set));
        FdCapture err(STDERR_FILENO);
        msg_test_start(msg_text(MT_TITLE_SHARE_PATH));
        msg_test_start("B");
        msg_statusmsg(0, msg_text(MT_LOCK), msg_text(MT_LOCKWORD_EXCLUSIVE));
        msg_statusmsg(ENOENT, "%s", msg_text(MT_OPEN_FAILED));
        msg_errmsg(0, "%s", msg_text(MT_TIMEOUT));
        msg_errmsg(EAGAIN, msg_text(MT_LOCK_FAILED), msg_text(MT_LOCKWORD_SHARED));
        for (const std::string &name : names)
            msg_statusmsg(0, msg_text(MT_OPEN), name.c_str());
        msg_test_start("C");
        msg_test_end("C", NTW_OK);
        msg_test_end("B", NTW_ABORT);
        msg_test_end(msg_text(MT_TITLE_SHARE_PATH), 2);
        msg_signal_line_async_safe(SIGHUP);
        msg_finish();
        EXPECT_EQ("", err.finish());

        auto in_set = [&](const std::string &utf8) {
            return convert(utf8, "UTF-8", iconv_name(code_set));
        };
        const std::string title = catalog(MT_TITLE_SHARE_PATH);
        std::string expected = in_set(
            start_line(0, title) + start_line(2, "B") + "        排他ロックを取得します。\n" +
            "        ファイルオープンに失敗しました。 ERRORCODE=2(" + std::strerror(ENOENT) +
            ")\n        ! タイムアウトが発生しました。\n" +
            "        ! ファイルの共有ロックに失敗しました。 ERRORCODE=11(" + std::strerror(EAGAIN) +
            ")\n");
        for (const std::string &name : names)
            expected += in_set("        ファイルを開きます。 FILENAME=") + name + "\n";
        expected +=
            in_set(start_line(4, "C") + end_line(4, "C", "OK") + end_line(2, "B", "NG") +
                   end_line(0, title, "NG") + "        ! シグナルを受信しました SIGNUM=1\n");
        EXPECT_EQ(expected, log_bytes());
    }
}

// Without a log the report goes to standard output; diagnostics go to
// standard error in the code set, never into the report.  A line that
// cannot be converted is dropped with an iconv error, and the report goes
// on.  After the finish nothing is written, and the indentation stays.
TEST_F(MsgTest, ReportGoesToStandardOutputWithoutLogAndDiagnosticsToStandardError)
{
    ASSERT_EQ(0, start_report_log("", NTW_CODE_SJIS));
    FdCapture out(STDOUT_FILENO), err(STDERR_FILENO);
    msg_test_start("outer");
    msg_statusmsg(0, "%s", "to stdout");
    msg_output_stderr("%s", msg_text(MT_ENV_GROUP_UNKNOWN));
    msg_statusmsg(0, "\xff\xfe %s", "x");
    msg_flush();
    msg_signal_line_async_safe(SIGINT);
    msg_finish();
    msg_test_start("ignored");
    msg_statusmsg(0, "%s", "ignored");
    msg_errmsg(1, "%s", "ignored");
    EXPECT_EQ(0, msg_output("%s", "ignored\n") | msg_output_stderr("%s", "ignored"));
    msg_test_end("ignored", NTW_OK);
    msg_signal_line_async_safe(SIGINT);
    msg_finish();
    std::string err_text = err.finish();
    EXPECT_EQ(convert(start_line(0, "outer") +
                          "        to stdout\n        ! シグナルを受信しました SIGNUM=2\n",
                      "UTF-8", "SHIFT_JIS"),
              out.finish());
    EXPECT_EQ(convert(catalog(MT_ENV_GROUP_UNKNOWN) + "\n", "UTF-8", "SHIFT_JIS") +
                  "iconv error. STRERROR=" + std::strerror(EILSEQ) + "\n",
              err_text);
    EXPECT_TRUE(dir.entries().empty());
    ASSERT_EQ(0, start_report_log(log_path));
    msg_test_end("outer", NTW_OK);
    msg_finish();
    EXPECT_EQ(end_line(0, "outer", "OK"), log_bytes());
}

TEST_F(MsgTest, LogIsAppendedAndCreatedWithMode0666LessUmask)
{
    mode_t old = umask(027);
    ASSERT_EQ(0, start_report_log(log_path));
    umask(old);
    msg_statusmsg(0, "%s", "first");
    msg_flush();
    std::ofstream(log_path, std::ios::app) << "other writer\n";
    FdCapture err(STDERR_FILENO);
    msg_output_stderr("%s", "diagnostic");
    msg_errmsg(0, "%s", "second");
    msg_finish();
    err.finish();
    ASSERT_EQ(0, start_report_log(log_path));
    msg_statusmsg(0, "%s", "next run");
    msg_finish();
    EXPECT_EQ("        first\nother writer\n        ! second\n        next run\n", log_bytes());
    struct stat st;
    ASSERT_EQ(0, stat(log_path.c_str(), &st));
    EXPECT_EQ(0640u, st.st_mode & 0777);
}

TEST_F(MsgTest, OverlongLineIsCutAtWholeCharacterAndKeepsNewline)
{
    struct Kanji {
        int code_set;
        const char *bytes; // one character: two bytes in EUC-JP, three in UTF-8
    };
    for (const Kanji &k : {Kanji{NTW_CODE_EUCJP, "\xb4\xc1"}, Kanji{NTW_CODE_UTF8, "漢"}}) {
        SCOPED_TRACE(k.code_set);
        unlink(log_path.c_str());
        ASSERT_EQ(0, start_report_log(log_path, k.code_set));
        std::string text = "x";
        for (int i = 0; i < 1000; ++i)
            text += k.bytes;
        msg_statusmsg(0, "%s", text.c_str());
        msg_test_start(text.c_str());
        msg_test_end("y", NTW_OK);
        msg_finish();

        const char *name = iconv_name(k.code_set);
        std::vector<std::string> lines = split_lines(log_bytes());
        ASSERT_EQ(3u, lines.size());
        for (size_t i = 0; i < 2; ++i) {
            EXPECT_LE(lines[i].size() + 1, 2047u);
            EXPECT_GT(lines[i].size(), 1900u);
            // Whole characters only: the text still converts.
            EXPECT_FALSE(convert(lines[i], name, "UTF-16LE").empty());
        }
        EXPECT_EQ(end_line(0, "y", "OK"), convert(lines[2] + "\n", name, "UTF-8"));
    }
}

// A log named through a symbolic link in a directory that others can write
// is followed only when the running user owns the link; a refusal fails the
// start with the log message and EACCES and creates nothing through the
// link.  Elsewhere, and for the user's own link, the log is opened as given.
TEST_F(MsgTest, LogFileIsNotOpenedThroughAPlantedLinkInADirectoryOthersCanWrite)
{
    const struct {
        mode_t dir_mode;
        int link_owner; // -1: no link, a plain name
        const char *name;
        int err; // of the failed start; 0: started
    } rows[] = {{01777, 65534, "report.log", EACCES}, {0775, 65534, "report.log", EACCES},
                {01777, 0, "report.log", 0},          {0755, 65534, "report.log", 0},
                {01777, -1, "report.log", 0},         {0755, -1, "missing/report.log", ENOENT}};
    bool skipped = false;
    for (const auto &row : rows) {
        SCOPED_TRACE(::testing::Message() << std::oct << row.dir_mode << " " << row.link_owner);
        if (row.link_owner >= 0 && getuid() != 0) {
            skipped = true;
            continue;
        }
        TempDir logdir("ntwlogdir", row.dir_mode), victims("ntwlogvictim");
        const std::string log = logdir.file(row.name), target = victims.file("created");
        if (row.link_owner >= 0) {
            ASSERT_EQ(symlink(target.c_str(), log.c_str()), 0);
            ASSERT_EQ(lchown(log.c_str(), row.link_owner, row.link_owner), 0);
        }
        FdCapture err(STDERR_FILENO);
        EXPECT_EQ(row.err == 0 ? 0 : -1, start_report_log(log));
        msg_finish();
        EXPECT_EQ(row.err == 0 ? ""
                               : "ログファイルを開くことができませんでした。 FILENAME=" + log +
                                     " STRERROR=" + std::strerror(row.err) + "\n",
                  err.finish());
        struct stat st;
        EXPECT_EQ(lstat(target.c_str(), &st) == 0, row.err == 0 && row.link_owner >= 0);
    }
    if (skipped)
        GTEST_SKIP() << "the rows that plant links owned by another user need root";
}
