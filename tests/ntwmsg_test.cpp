// Tests of the ntwmsg module.
#include "testutil.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace ntwtest;

namespace {

class MsgTest : public ::testing::Test {
protected:
    void TearDown() override { msg_finish(); }

    // Starts the module with a log file (or standard output when log is
    // false) in the given code set.
    void start(int code_set, bool log = true)
    {
        NtwParam p{};
        p.code_set = code_set;
        if (log)
            std::snprintf(p.log_file, sizeof p.log_file, "%s", log_path.c_str());
        ASSERT_EQ(0, msg_init(&p));
    }
    std::string log_bytes() const { return read_file_bytes(log_path); }

    TempDir dir{"ntwmsg"};
    std::string log_path = dir.file("report.log");
};

const char *iconv_name(int code_set)
{
    switch (code_set) {
    case NTW_CODE_EUCJP:
        return "EUC-JP";
    case NTW_CODE_SJIS:
        return "SHIFT_JIS";
    default:
        return "UTF-8";
    }
}

std::string start_line_utf8(int indent, const std::string &name)
{
    return std::string(indent, ' ') + "テスト " + name + "を開始します。\n";
}

std::string end_line_utf8(int indent, const std::string &name, const char *verdict)
{
    return std::string(indent, ' ') + "テスト " + name + "が終了しました。 ... [ " + verdict +
           " ]\n";
}

} // namespace

TEST_F(MsgTest, ProgressAndErrorLinesWithAndWithoutErrorNumber)
{
    start(NTW_CODE_UTF8);
    msg_statusmsg(0, msg_text(MT_OPEN), "/d/f");
    msg_statusmsg(ENOENT, "%s", msg_text(MT_OPEN_FAILED));
    msg_errmsg(0, "%s", msg_text(MT_TIMEOUT));
    msg_errmsg(EACCES, "%s", msg_text(MT_DELETE_FAILED));
    // A '%' in a value is printed as it is, not read as a conversion.
    msg_statusmsg(0, msg_text(MT_OPEN), "/d/%s%n%d");
    msg_finish();

    std::string expected = "        ファイルを開きます。 FILENAME=/d/f\n"
                           "        ファイルオープンに失敗しました。 ERRORCODE=2(" +
                           std::string(std::strerror(ENOENT)) +
                           ")\n"
                           "        ! タイムアウトが発生しました。\n"
                           "        ! ファイル削除に失敗しました。 ERRORCODE=13(" +
                           std::string(std::strerror(EACCES)) +
                           ")\n"
                           "        ファイルを開きます。 FILENAME=/d/%s%n%d\n";
    EXPECT_EQ(expected, log_bytes());
}

TEST_F(MsgTest, NestedTestsIndentTwoSpacesPerLevelAndEndInReverseOrder)
{
    start(NTW_CODE_UTF8);
    msg_test_start(msg_text(MT_TITLE_SINGLE));
    msg_test_start("B");
    msg_test_start("C");
    msg_statusmsg(0, "%s", "step");
    msg_test_end("C", NTW_OK);
    msg_test_start("D");
    msg_test_end("D", NTW_NG);
    msg_test_end("B", NTW_ABORT);
    msg_test_end(msg_text(MT_TITLE_SINGLE), 2);
    msg_finish();

    const std::string single = catalog(MT_TITLE_SINGLE);
    std::string expected =
        start_line_utf8(0, single) + start_line_utf8(2, "B") + start_line_utf8(4, "C") +
        "        step\n" + end_line_utf8(4, "C", "OK") + start_line_utf8(4, "D") +
        end_line_utf8(4, "D", "NG") + end_line_utf8(2, "B", "NG") + end_line_utf8(0, single, "NG");
    EXPECT_EQ(expected, log_bytes());
}

TEST_F(MsgTest, EachCodeSetIsWrittenByteForByte)
{
    for (int code_set : {NTW_CODE_EUCJP, NTW_CODE_SJIS, NTW_CODE_UTF8}) {
        SCOPED_TRACE(code_set);
        unlink(log_path.c_str());
        start(code_set);
        msg_test_start(msg_text(MT_TITLE_SHARE_PATH));
        msg_statusmsg(0, msg_text(MT_LOCK), msg_text(MT_LOCKWORD_EXCLUSIVE));
        msg_errmsg(EAGAIN, msg_text(MT_LOCK_FAILED), msg_text(MT_LOCKWORD_SHARED));
        msg_test_end(msg_text(MT_TITLE_SHARE_PATH), NTW_OK);
        msg_signal_line_async_safe(SIGHUP);
        msg_finish();

        const std::string title = catalog(MT_TITLE_SHARE_PATH);
        std::string utf8 = start_line_utf8(0, title) + "        排他ロックを取得します。\n" +
                           "        ! ファイルの共有ロックに失敗しました。 ERRORCODE=11(" +
                           std::strerror(EAGAIN) + ")\n" + end_line_utf8(0, title, "OK") +
                           "        ! シグナルを受信しました SIGNUM=1\n";
        EXPECT_EQ(convert(utf8, "UTF-8", iconv_name(code_set)), log_bytes());
    }
}

TEST_F(MsgTest, LinesGoToStandardOutputWithoutLogAndDiagnosticsToStandardError)
{
    unlink(log_path.c_str());
    start(NTW_CODE_UTF8, false);
    FdCapture out(STDOUT_FILENO);
    FdCapture err(STDERR_FILENO);
    msg_statusmsg(0, "%s", "to stdout");
    msg_output_stderr("%s", msg_text(MT_ENV_TARGET_PATH_BAD));
    msg_flush();
    msg_signal_line_async_safe(SIGINT);
    std::string err_text = err.finish();
    std::string out_text = out.finish();
    EXPECT_EQ("        to stdout\n        ! シグナルを受信しました SIGNUM=2\n", out_text);
    EXPECT_EQ(catalog(MT_ENV_TARGET_PATH_BAD) + "\n", err_text);
    EXPECT_TRUE(dir.entries().empty());
}

TEST_F(MsgTest, DiagnosticsOnStandardErrorAreConvertedAndNeverLogged)
{
    start(NTW_CODE_SJIS);
    FdCapture err(STDERR_FILENO);
    msg_output_stderr("%s", msg_text(MT_ENV_GROUP_UNKNOWN));
    std::string err_text = err.finish();
    msg_finish();
    EXPECT_EQ(convert(catalog(MT_ENV_GROUP_UNKNOWN) + "\n", "UTF-8", "SHIFT_JIS"), err_text);
    EXPECT_EQ("", log_bytes());
}

TEST_F(MsgTest, LogIsAppendedAndEarlierContentKept)
{
    write_file_bytes(log_path, "earlier run\n");
    start(NTW_CODE_UTF8);
    msg_statusmsg(0, "%s", "first");
    msg_finish();
    start(NTW_CODE_UTF8);
    msg_errmsg(0, "%s", "second");
    msg_finish();
    EXPECT_EQ("earlier run\n        first\n        ! second\n", log_bytes());
}

TEST_F(MsgTest, InsertedTextIsWrittenAsItsOwnBytesInEveryCodeSet)
{
    // A UTF-8 Japanese name, bytes that are no code set's, and a name whose
    // bytes happen to be valid EUC-JP: none is converted, none is dropped.
    const std::string names[] = {"/d/日本語ディレクトリ", "/d/\xff\xfe\x80x", "/d/\xb4\xc1"};
    for (int code_set : {NTW_CODE_EUCJP, NTW_CODE_SJIS, NTW_CODE_UTF8}) {
        SCOPED_TRACE(code_set);
        unlink(log_path.c_str());
        start(code_set);
        FdCapture err(STDERR_FILENO);
        std::string expected;
        for (const std::string &name : names) {
            msg_statusmsg(0, msg_text(MT_OPEN), name.c_str());
            msg_test_start(name.c_str());
            msg_test_end(name.c_str(), NTW_OK);
            std::string open_text = convert(catalog(MT_OPEN), "UTF-8", iconv_name(code_set));
            expected += "        " + open_text.replace(open_text.find("%s"), 2, name) + "\n" +
                        convert(start_line_utf8(0, "@"), "UTF-8", iconv_name(code_set)) +
                        convert(end_line_utf8(0, "@", "OK"), "UTF-8", iconv_name(code_set));
            for (int i = 0; i < 2; ++i)
                expected.replace(expected.rfind('@'), 1, name);
        }
        msg_statusmsg(0, "%s", "next");
        std::string err_text = err.finish();
        msg_finish();
        EXPECT_EQ("", err_text);
        EXPECT_EQ(expected + "        next\n", log_bytes());
    }
}

TEST_F(MsgTest, OverlongLineIsCutAtWholeCharacterAndKeepsNewline)
{
    // One character of each code set, written as it is: two bytes in
    // EUC-JP, three in UTF-8.
    struct Kanji {
        int code_set;
        const char *bytes;
    };
    for (const Kanji &k : {Kanji{NTW_CODE_EUCJP, "\xb4\xc1"}, Kanji{NTW_CODE_UTF8, "漢"}}) {
        SCOPED_TRACE(k.code_set);
        unlink(log_path.c_str());
        start(k.code_set);
        std::string kanji;
        for (int i = 0; i < 1000; ++i)
            kanji += k.bytes;
        msg_statusmsg(0, "%s", ("x" + kanji).c_str());
        msg_test_start(("x" + kanji).c_str());
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
        EXPECT_EQ(end_line_utf8(0, "y", "OK"), convert(lines[2] + "\n", name, "UTF-8"));
    }
}

TEST_F(MsgTest, NothingIsWrittenAndIndentStaysAfterFinish)
{
    start(NTW_CODE_UTF8);
    msg_test_start("outer");
    msg_finish();
    FdCapture out(STDOUT_FILENO);
    FdCapture err(STDERR_FILENO);
    msg_test_start("ignored");
    msg_test_start("ignored");
    msg_statusmsg(0, "%s", "ignored");
    msg_errmsg(1, "%s", "ignored");
    EXPECT_EQ(0, msg_output("%s", "ignored\n"));
    EXPECT_EQ(0, msg_output_stderr("%s", "ignored"));
    msg_test_end("ignored", NTW_OK);
    msg_signal_line_async_safe(SIGINT);
    msg_finish();
    std::string err_text = err.finish();
    std::string out_text = out.finish();
    EXPECT_EQ("", out_text);
    EXPECT_EQ("", err_text);

    start(NTW_CODE_UTF8);
    msg_test_end("outer", NTW_OK);
    msg_finish();
    EXPECT_EQ(start_line_utf8(0, "outer") + end_line_utf8(0, "outer", "OK"), log_bytes());
}

TEST_F(MsgTest, UnopenableLogFailsStartWithConvertedMessageOnStandardError)
{
    NtwParam p{};
    p.code_set = NTW_CODE_UTF8;
    std::string bad = dir.file("missing/log");
    std::snprintf(p.log_file, sizeof p.log_file, "%s", bad.c_str());
    FdCapture err(STDERR_FILENO);
    int r = msg_init(&p);
    std::string err_text = err.finish();
    EXPECT_EQ(-1, r);
    EXPECT_EQ("ログファイルを開くことができませんでした。 FILENAME=" + bad +
                  " STRERROR=" + std::strerror(ENOENT) + "\n",
              err_text);
}

TEST_F(MsgTest, LogFileIsCreatedWithMode0666LessUmask)
{
    mode_t old = umask(022);
    start(NTW_CODE_UTF8);
    umask(old);
    msg_finish();
    struct stat st;
    ASSERT_EQ(0, stat(log_path.c_str(), &st));
    EXPECT_EQ(0644u, st.st_mode & 0777);
}

TEST_F(MsgTest, ModuleConvertsEveryCatalogueText)
{
    for (int code_set : {NTW_CODE_SJIS, NTW_CODE_UTF8}) {
        start(code_set);
        for (int id = 0; id < MT_COUNT; ++id) {
            auto tid = static_cast<ntw_text_id>(id);
            SCOPED_TRACE(msg_text_utf8(tid));
            char out[2048];
            ASSERT_EQ(0, iconv_conv(msg_text(tid), out));
            EXPECT_EQ(convert(msg_text_utf8(tid), "UTF-8", iconv_name(code_set)), out);
        }
        msg_finish();
    }
}

// Every text of the catalogue must survive conversion to every output code
// set, and the built-in EUC-JP bytes must be those of the UTF-8 source.
TEST(MsgCatalog, EveryTextConvertsToEveryCodeSetAndBack)
{
    for (int id = 0; id < MT_COUNT; ++id) {
        auto tid = static_cast<ntw_text_id>(id);
        SCOPED_TRACE(msg_text_utf8(tid));
        const std::string eucjp = msg_text(tid);
        EXPECT_EQ(convert(msg_text_utf8(tid), "UTF-8", "EUC-JP"), eucjp);
        std::string sjis = convert(eucjp, "EUC-JP", "SHIFT_JIS");
        EXPECT_EQ(eucjp, convert(sjis, "SHIFT_JIS", "EUC-JP"));
        std::string utf8 = convert(eucjp, "EUC-JP", "UTF-8");
        EXPECT_EQ(msg_text_utf8(tid), utf8);
        EXPECT_EQ(eucjp, convert(utf8, "UTF-8", "EUC-JP"));
    }
}

// A log named through a symbolic link in a directory that others can write
// is followed only when the running user owns the link; a refusal fails the
// start-up with the log message and EACCES (status 255) and creates nothing
// through the link.  Elsewhere, and for the user's own link, the log is
// opened as given.
TEST(LogFile, PlantedLinkInADirectoryOthersCanWriteIsNotFollowed)
{
    if (getuid() != 0)
        GTEST_SKIP() << "planting a link owned by another user needs root";
    struct Row {
        const char *name;
        mode_t dir_mode;
        uid_t link_owner; // -1: no link, a plain name
        bool followed;
    };
    const Row rows[] = {
        {"other's link, sticky dir writable by all", 01777, 65534, false},
        {"other's link, dir writable by its group", 0775, 65534, false},
        {"own link, sticky dir writable by all", 01777, 0, true},
        {"other's link, dir only root can write", 0755, 65534, true},
        {"plain name, sticky dir writable by all", 01777, static_cast<uid_t>(-1), true},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        TempDir logdir("ntwlogdir", row.dir_mode), victims("ntwlogvictim");
        const std::string log = logdir.file("report.log");
        const std::string target = victims.file("created");
        const bool is_link = row.link_owner != static_cast<uid_t>(-1);
        if (is_link) {
            ASSERT_EQ(symlink(target.c_str(), log.c_str()), 0);
            ASSERT_EQ(lchown(log.c_str(), row.link_owner, row.link_owner), 0);
        }
        RunResult r = run_checker({"-8", "-m", "single", "-h", victims.file("no-share"), "-p",
                                   victims.file("no-target"), "-o", log});
        EXPECT_EQ(r.status, 255);
        const std::string refused = [&] {
            std::string text = catalog(MT_LOG_OPEN_FAILED);
            text.replace(text.find("%s"), 2, log);
            return text.replace(text.find("%s"), 2, std::strerror(EACCES));
        }();
        EXPECT_EQ(r.err.find(refused) != std::string::npos, !row.followed) << r.err;
        struct stat st;
        EXPECT_EQ(lstat(target.c_str(), &st) == 0, row.followed && is_link);
        EXPECT_EQ(lstat(log.c_str(), &st) == 0, row.followed || is_link);
    }
}
