// Tests of the ntwmain module: the command line and the environment check,
// called in-process.
#include "testutil.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

using namespace ntwtest;

namespace {

const std::string k_usage =
    "USAGE:zemntwchk {-s|-e|-8} -m single -p targetpath -h zemsharepath [-O Owner [-G Group]] "
    "[-o logfile] [-t timeout]\n"
    "      zemntwchk {-s|-e|-8} -m double -p targetpath -h zemsharepath [-O Owner [-G Group]] "
    "[-o logfile] [-t timeout]\n"
    "      zemntwchk {-s|-e|-8} -m userapl -f targetfile [-o logfile] [-t timeout]\n";

using Args = std::vector<std::string>;

struct Parsed {
    int result;
    NtwParam param;
    std::string out, err;
};

// check_arg on a record left over from an earlier parse: the code set and
// log file it holds must not count.
Parsed parse(Args args)
{
    Parsed o{};
    o.param.code_set = NTW_CODE_SJIS;
    std::snprintf(o.param.log_file, sizeof o.param.log_file, "stale");
    args.insert(args.begin(), "zemntwchk");
    std::vector<char *> argv;
    for (auto &s : args)
        argv.push_back(&s[0]);
    argv.push_back(nullptr);
    FdCapture out(STDOUT_FILENO), err(STDERR_FILENO);
    o.result = check_arg(static_cast<int>(args.size()), argv.data(), &o.param);
    o.err = err.finish();
    o.out = out.finish();
    return o;
}

std::string text_of(const Args &args)
{
    std::string s;
    for (const auto &a : args)
        s += "[" + a + "]";
    return s;
}

const std::string P200(200, 'p'), P201(201, 'p'), N14(14, 'n'), N15(15, 'n');

} // namespace

TEST(CheckArg, AcceptedCommandLinesFillTheRecord)
{
    struct Case {
        Args args;
        int mode, timeout, code_set;
        std::string share, target, file, log, owner, group;
    };
    // clang-format off
    const Case cases[] = {
        {{"-s", "-m", "single", "-h", "/s", "-p", "/t"}, 1, 30, 2, "/s", "/t", "", "", "", ""},
        {{"-m", "double", "-e", "-p", "/t", "-h", "/s", "-t", "600"}, 3, 600, 1, "/s", "/t", "", "", "", ""},
        {{"-8", "-m", "single", "-h", "/s", "-p", "/t", "-t", "010"}, 1, 10, 3, "/s", "/t", "", "", "", ""},
        {{"-8", "-m", "single", "-h", "/s", "-p", "/t", "-t", "000000000000000000000600"}, 1, 600, 3, "/s", "/t", "", "", "", ""},
        {{"-8", "-m", "userapl", "-f", "/x/f", "-o", "/l", "-t", "45"}, 4, 45, 3, "", "", "/x/f", "/l", "", ""},
        // Owner and group play no part in mode userapl; -G alone is allowed.
        {{"-e", "-m", "userapl", "-f", "f", "-G", "g"}, 4, 30, 1, "", "", "f", "", "", "g"},
        {{"-s", "-m", "single", "-h", P200, "-p", P200, "-o", P200, "-O", N14, "-G", N14}, 1, 30, 2, P200, P200, "", P200, N14, N14},
        {{"-s", "-m", "userapl", "-f", P200}, 4, 30, 2, "", "", P200, "", "", ""},
        // A value is the next argument whatever it looks like.
        {{"-8", "-m", "single", "-p", "-h", "-h", "-p"}, 1, 30, 3, "-p", "-h", "", "", "", ""},
        {{"-8", "-m", "single", "-h", "/s", "-p", "/t", "-O", "-G"}, 1, 30, 3, "/s", "/t", "", "", "-G", ""},
        // An empty value leaves the field unset, so the option may come again.
        {{"-8", "-m", "single", "-h", "", "-h", "/s", "-p", "/t"}, 1, 30, 3, "/s", "/t", "", "", "", ""},
    };
    // clang-format on
    for (const Case &c : cases) {
        SCOPED_TRACE(text_of(c.args));
        Parsed o = parse(c.args);
        ASSERT_EQ(0, o.result);
        EXPECT_EQ("", o.out + o.err);
        EXPECT_EQ(c.mode, o.param.mode);
        EXPECT_EQ(c.timeout, o.param.timeout);
        EXPECT_EQ(c.code_set, o.param.code_set);
        EXPECT_EQ(c.share, o.param.share_path);
        EXPECT_EQ(c.target, o.param.target_path);
        EXPECT_EQ(c.file, o.param.target_file);
        EXPECT_EQ(c.log, o.param.log_file);
        EXPECT_EQ(c.owner, o.param.owner);
        EXPECT_EQ(c.group, o.param.group);
    }
}

TEST(CheckArg, RejectedCommandLinesPrintOnlyTheUsageText)
{
    const Args ok = {"-s", "-m", "single", "-h", "/s", "-p", "/t"};
    auto with = [&](const Args &extra) {
        Args v = ok;
        v.insert(v.end(), extra.begin(), extra.end());
        return v;
    };
    const Args cases[] = {
        // Nothing, unknown or malformed arguments; a value missing at the end.
        {},
        {"-x"},
        with({"extra"}),
        with({"-t10"}),
        with({"--"}),
        with({"-S"}),
        with({"-se"}),
        {"-s", "-msingle", "-h", "/s", "-p", "/t"},
        with({"-t"}),
        with({"-o"}),
        with({"-O"}),
        {"-s", "-h", "/s", "-p", "/t", "-m"},
        // Mode word.
        {"-s", "-h", "/s", "-p", "/t"},
        {"-s", "-m", "Single", "-h", "/s", "-p", "/t"},
        {"-s", "-m", "USERAPL", "-f", "f"},
        {"-s", "-m", "", "-h", "/s", "-p", "/t"},
        {"-s", "-m", "triple", "-h", "/s", "-p", "/t"},
        with({"-m", "single"}),
        // Options a mode requires or forbids.
        {"-s", "-m", "single", "-h", "/s"},
        {"-s", "-m", "double", "-p", "/t"},
        with({"-f", "f"}),
        {"-s", "-m", "userapl"},
        {"-s", "-m", "userapl", "-f", "f", "-p", "/t"},
        {"-s", "-m", "userapl", "-f", "f", "-h", "/s"},
        with({"-G", "g"}),
        {"-s", "-m", "double", "-h", "/s", "-p", "/t", "-G", "g"},
        // Time-out values, with digit strings that wrap into range in 32 or 64 bits.
        with({"-t", "601"}),
        with({"-t", "9"}),
        with({"-t", ""}),
        with({"-t", "0"}),
        with({"-t", "1a"}),
        with({"-t", "+30"}),
        with({"-t", "-30"}),
        with({"-t", " 30"}),
        with({"-t", "30 "}),
        with({"-t", "4294967306"}),
        with({"-t", "4294967896"}),
        with({"-t", "18446744073709551626"}),
        with({"-t", "99999999999999999999"}),
        with({"-t", "30", "-t", "30"}),
        // Code sets: none (the record's stale one must not count), twice, two.
        {"-m", "single", "-h", "/s", "-p", "/t"},
        with({"-s"}),
        with({"-e"}),
        with({"-8"}),
        // Length limits and repeats.
        with({"-o", P201}),
        {"-s", "-m", "single", "-h", P201, "-p", "/t"},
        {"-s", "-m", "single", "-h", "/s", "-p", P201},
        {"-s", "-m", "userapl", "-f", P201},
        with({"-O", N15}),
        with({"-O", "u", "-G", N15}),
        {"-s", "-m", "userapl", "-f", "f", "-O", N15},
        with({"-p", "/t"}),
        with({"-h", "/s"}),
        with({"-o", "/l", "-o", "/l"}),
        with({"-O", "u", "-O", "u"}),
        with({"-O", "u", "-G", "g", "-G", "g"}),
        {"-s", "-m", "userapl", "-f", "f", "-f", "f"}};
    for (const Args &args : cases) {
        SCOPED_TRACE(text_of(args));
        Parsed o = parse(args);
        EXPECT_EQ(-1, o.result);
        EXPECT_EQ(k_usage, o.err);
        EXPECT_EQ("", o.out);
    }
}

// Each finding of the environment check is one message on standard error,
// converted to the code set and never written to the report; usable
// environments pass silently.
TEST(EnvironmentCheck, EachFindingWritesItsMessageToStandardErrorOnly)
{
    TempDir dir("ntwenv");
    const std::string d = dir.path(), plain = dir.file("plain"), missing = dir.file("missing");
    write_file_bytes(plain, "x");
    const int single = NTW_MODE_SINGLE, user = NTW_MODE_USERAPL;
    struct Case {
        int mode;
        std::string share, target, file, owner, group;
        int message; // -1: the environment is usable
    };
    const Case cases[] = {
        {single, missing, d, "", "", "", MT_ENV_SHARE_PATH_MISSING},
        {NTW_MODE_DOUBLE, missing, missing, "", "", "", MT_ENV_SHARE_PATH_MISSING},
        {single, plain, missing, "", "", "", MT_ENV_SHARE_PATH_BAD},
        {NTW_MODE_DOUBLE, d, missing, "", "", "", MT_ENV_TARGET_PATH_MISSING},
        {single, d, plain, "", "", "", MT_ENV_TARGET_PATH_BAD},
        {single, d, d, "", "nosuchuser9", "", MT_ENV_USER_UNKNOWN},
        {single, d, d, "", "nosuchuser9", "nosuchgrp9", MT_ENV_USER_UNKNOWN},
        {single, d, d, "", "root", "nosuchgrp9", MT_ENV_GROUP_UNKNOWN},
        {user, "", "", plain, "", "", MT_ENV_TARGET_FILE_EXISTS},
        {user, "", "", missing + "/f", "", "", MT_ENV_TARGET_FILE_BAD_ERRNO},
        {user, "", "", plain + "/f", "", "", MT_ENV_TARGET_FILE_BAD},
        {single, d, d, "", "root", "root", -1},
        // No directory part, a new file, a file right under the root.
        {user, "", "", "no-such-file-here.ntw", "", "", -1},
        {user, "", "", dir.file("new"), "", "", -1},
        {user, "", "", "/no-such-file-here.ntw", "", "", -1},
    };
    const std::string log = dir.file("report.log");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.share + " " + c.target + " " + c.file + " " + c.owner + " " + c.group);
        NtwParam p{};
        p.code_set = NTW_CODE_UTF8;
        p.mode = c.mode;
        std::snprintf(p.log_file, sizeof p.log_file, "%s", log.c_str());
        std::snprintf(p.share_path, sizeof p.share_path, "%s", c.share.c_str());
        std::snprintf(p.target_path, sizeof p.target_path, "%s", c.target.c_str());
        std::snprintf(p.target_file, sizeof p.target_file, "%s", c.file.c_str());
        std::snprintf(p.owner, sizeof p.owner, "%s", c.owner.c_str());
        std::snprintf(p.group, sizeof p.group, "%s", c.group.c_str());
        ASSERT_EQ(0, msg_init(&p));
        FdCapture err(STDERR_FILENO);
        const int result = ntw_is_env_bad_condition(&p);
        msg_finish();
        std::string expected;
        if (c.message >= 0) {
            expected = catalog(static_cast<ntw_text_id>(c.message)) + "\n";
            if (c.message == MT_ENV_TARGET_FILE_BAD_ERRNO)
                expected.replace(expected.find("%s"), 2, std::strerror(ENOENT));
        }
        EXPECT_EQ(c.message >= 0 ? -1 : 0, result);
        EXPECT_EQ(expected, err.finish());
        EXPECT_EQ("", read_file_bytes(log));
    }
}
