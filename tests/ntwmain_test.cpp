// Tests of the ntwmain module: the command line and the environment check,
// called in-process.
#include "testutil.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
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

// The record's fields, as one text.
std::string record(const NtwParam &p)
{
    return std::to_string(p.mode) + " " + std::to_string(p.timeout) + " " +
           std::to_string(p.code_set) + " h=" + p.share_path + " p=" + p.target_path +
           " f=" + p.target_file + " o=" + p.log_file + " O=" + p.owner + " G=" + p.group;
}

const std::string P200(200, 'p'), P201(201, 'p'), N14(14, 'n'), N15(15, 'n');

} // namespace

// Accepted command lines fill the record and print nothing; rejected ones
// print only the usage text.
TEST(CheckArg, CommandLinesAreAcceptedOrRejectedWithTheUsageText)
{
    const Args ok = {"-s", "-m", "single", "-h", "/s", "-p", "/t"};
    auto with = [&](const Args &extra) {
        Args v = ok;
        v.insert(v.end(), extra.begin(), extra.end());
        return v;
    };
    const std::string p200 = " h=" + P200 + " p=" + P200 + " f= o=" + P200;
    const std::pair<Args, std::string> accepted[] = {
        // clang-format off
        {ok, "1 30 2 h=/s p=/t f= o= O= G="},
        {{"-m", "double", "-e", "-p", "/t", "-h", "/s", "-t", "600"}, "3 600 1 h=/s p=/t f= o= O= G="},
        {{"-8", "-m", "single", "-h", "/s", "-p", "/t", "-t", "010"}, "1 10 3 h=/s p=/t f= o= O= G="},
        {{"-8", "-m", "single", "-h", "/s", "-p", "/t", "-t", "000000000000000000000600"}, "1 600 3 h=/s p=/t f= o= O= G="},
        {{"-8", "-m", "userapl", "-f", "/x/f", "-o", "/l", "-t", "45"}, "4 45 3 h= p= f=/x/f o=/l O= G="},
        // Owner and group play no part in mode userapl; -G alone is allowed.
        {{"-e", "-m", "userapl", "-f", "f", "-G", "g"}, "4 30 1 h= p= f=f o= O= G=g"},
        {{"-s", "-m", "single", "-h", P200, "-p", P200, "-o", P200, "-O", N14, "-G", N14}, "1 30 2" + p200 + " O=" + N14 + " G=" + N14},
        {{"-s", "-m", "userapl", "-f", P200}, "4 30 2 h= p= f=" + P200 + " o= O= G="},
        // A value is the next argument whatever it looks like.
        {{"-8", "-m", "single", "-p", "-h", "-h", "-p"}, "1 30 3 h=-p p=-h f= o= O= G="},
        {{"-8", "-m", "single", "-h", "/s", "-p", "/t", "-O", "-G"}, "1 30 3 h=/s p=/t f= o= O=-G G="},
        // An empty value leaves the field unset, so the option may come again.
        {{"-8", "-m", "single", "-h", "", "-h", "/s", "-p", "/t"}, "1 30 3 h=/s p=/t f= o= O= G="},
        // clang-format on
    };
    for (const auto &c : accepted) {
        Parsed o = parse(c.first);
        EXPECT_EQ(0, o.result) << ::testing::PrintToString(c.first);
        EXPECT_EQ(c.second + " out=", record(o.param) + " out=" + o.out + o.err);
    }
    const Args cases[] = {
        // clang-format off
        // Nothing, unknown or malformed arguments; a value missing at the end.
        {}, {"-x"}, with({"extra"}), with({"-t10"}), with({"--"}), with({"-S"}), with({"-se"}),
        {"-s", "-msingle", "-h", "/s", "-p", "/t"}, with({"-t"}), with({"-o"}), with({"-O"}),
        {"-s", "-h", "/s", "-p", "/t", "-m"},
        // Mode word.
        {"-s", "-h", "/s", "-p", "/t"}, {"-s", "-m", "Single", "-h", "/s", "-p", "/t"},
        {"-s", "-m", "USERAPL", "-f", "f"}, {"-s", "-m", "", "-h", "/s", "-p", "/t"},
        {"-s", "-m", "triple", "-h", "/s", "-p", "/t"}, with({"-m", "single"}),
        // Options a mode requires or forbids.
        {"-s", "-m", "single", "-h", "/s"}, {"-s", "-m", "double", "-p", "/t"}, with({"-f", "f"}),
        {"-s", "-m", "userapl"}, {"-s", "-m", "userapl", "-f", "f", "-p", "/t"},
        {"-s", "-m", "userapl", "-f", "f", "-h", "/s"}, with({"-G", "g"}),
        {"-s", "-m", "double", "-h", "/s", "-p", "/t", "-G", "g"},
        // Time-out values, with digit strings that wrap into range in 32 or 64 bits.
        with({"-t", "601"}), with({"-t", "9"}), with({"-t", ""}), with({"-t", "0"}),
        with({"-t", "1a"}), with({"-t", "+30"}), with({"-t", "-30"}), with({"-t", " 30"}),
        with({"-t", "30 "}), with({"-t", "4294967306"}), with({"-t", "4294967896"}),
        with({"-t", "18446744073709551626"}), with({"-t", "99999999999999999999"}),
        with({"-t", "30", "-t", "30"}),
        // Code sets: none (the record's stale one must not count), twice, two.
        {"-m", "single", "-h", "/s", "-p", "/t"}, with({"-s"}), with({"-e"}), with({"-8"}),
        // Length limits and repeats.
        with({"-o", P201}), {"-s", "-m", "single", "-h", P201, "-p", "/t"},
        {"-s", "-m", "single", "-h", "/s", "-p", P201}, {"-s", "-m", "userapl", "-f", P201},
        with({"-O", N15}), with({"-O", "u", "-G", N15}), {"-s", "-m", "userapl", "-f", "f", "-O", N15},
        with({"-p", "/t"}), with({"-h", "/s"}), with({"-o", "/l", "-o", "/l"}),
        with({"-O", "u", "-O", "u"}), with({"-O", "u", "-G", "g", "-G", "g"}),
        {"-s", "-m", "userapl", "-f", "f", "-f", "f"},
        // clang-format on
    };
    for (const Args &args : cases) {
        SCOPED_TRACE(::testing::PrintToString(args));
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
    const std::pair<Args, int> cases[] = {
        // clang-format off
        {{"-m", "single", "-h", missing, "-p", d}, MT_ENV_SHARE_PATH_MISSING},
        {{"-m", "double", "-h", missing, "-p", missing}, MT_ENV_SHARE_PATH_MISSING},
        {{"-m", "single", "-h", plain, "-p", missing}, MT_ENV_SHARE_PATH_BAD},
        {{"-m", "double", "-h", d, "-p", missing}, MT_ENV_TARGET_PATH_MISSING},
        {{"-m", "single", "-h", d, "-p", plain}, MT_ENV_TARGET_PATH_BAD},
        {{"-m", "single", "-h", d, "-p", d, "-O", "nosuchuser9"}, MT_ENV_USER_UNKNOWN},
        {{"-m", "single", "-h", d, "-p", d, "-O", "nosuchuser9", "-G", "nosuchgrp9"}, MT_ENV_USER_UNKNOWN},
        {{"-m", "single", "-h", d, "-p", d, "-O", "root", "-G", "nosuchgrp9"}, MT_ENV_GROUP_UNKNOWN},
        {{"-m", "userapl", "-f", plain}, MT_ENV_TARGET_FILE_EXISTS},
        {{"-m", "userapl", "-f", missing + "/f"}, MT_ENV_TARGET_FILE_BAD_ERRNO},
        {{"-m", "userapl", "-f", plain + "/f"}, MT_ENV_TARGET_FILE_BAD},
        {{"-m", "double", "-h", d, "-p", d, "-O", "root", "-G", "root"}, -1},
        // No directory part, a new file, a file right under the root.
        {{"-m", "userapl", "-f", "no-such-file-here.ntw"}, -1},
        {{"-m", "userapl", "-f", dir.file("new")}, -1},
        {{"-m", "userapl", "-f", "/no-such-file-here.ntw"}, -1},
        // clang-format on
    };
    const std::string log = dir.file("report.log");
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.first));
        Args args = c.first;
        args.insert(args.end(), {"-8", "-o", log});
        Parsed o = parse(args);
        ASSERT_EQ(0, msg_init(&o.param));
        FdCapture err(STDERR_FILENO);
        EXPECT_EQ(c.second >= 0 ? -1 : 0, ntw_is_env_bad_condition(&o.param));
        msg_finish();
        std::string expected =
            c.second >= 0 ? catalog(static_cast<ntw_text_id>(c.second)) + "\n" : "";
        if (c.second == MT_ENV_TARGET_FILE_BAD_ERRNO)
            expected.replace(expected.find("%s"), 2, std::strerror(ENOENT));
        EXPECT_EQ(expected, err.finish());
        EXPECT_EQ("", read_file_bytes(log));
    }
}
