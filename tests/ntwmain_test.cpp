// Tests of the ntwmain module: the command line and the environment check,
// called in-process.
#include "testutil.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

using namespace ntwtest;

namespace {

using Args = std::vector<std::string>;

// The record of the last parse.
NtwParam s_parsed;

// check_arg on a record left over from an earlier parse (the code set and
// log file it holds must not count), as one text: the record's fields when
// accepted, else its result, then what was printed on standard error.
// The arguments are `args` followed by `more`.
std::string parse(Args args, const Args &more = {})
{
    s_parsed = NtwParam{};
    s_parsed.code_set = NTW_CODE_SJIS;
    std::snprintf(s_parsed.log_file, sizeof s_parsed.log_file, "stale");
    args.insert(args.begin(), "zemntwchk");
    args.insert(args.end(), more.begin(), more.end());
    std::vector<char *> argv(args.size() + 1, nullptr);
    std::transform(args.begin(), args.end(), argv.begin(), [](std::string &s) { return &s[0]; });
    FdCapture err(STDERR_FILENO);
    const int result = check_arg(static_cast<int>(args.size()), argv.data(), &s_parsed);
    const std::string fields =
        std::to_string(s_parsed.mode) + " " + std::to_string(s_parsed.timeout) + " " +
        std::to_string(s_parsed.code_set) + " h=" + s_parsed.share_path +
        " p=" + s_parsed.target_path + " f=" + s_parsed.target_file + " o=" + s_parsed.log_file +
        " O=" + s_parsed.owner + " G=" + s_parsed.group;
    return (result == 0 ? fields : "result " + std::to_string(result)) + " err=" + err.finish();
}

} // namespace

// Accepted command lines fill the record and print nothing; rejected ones
// print only the usage text on standard error.  (The lowest time-out, 10,
// is accepted in every end-to-end run.)
TEST(CheckArg, CommandLinesAreAcceptedOrRejectedWithTheUsageText)
{
    const std::string usage = read_file_bytes(NTW_GOLDEN_DIR "/usage.txt");
    const std::string P200(200, 'p'), P201(201, 'p'), N14(14, 'n'), N15(15, 'n');
    const Args ok = {"-s", "-m", "single", "-h", "/s", "-p", "/t"};
    auto with = [&](Args extra) {
        extra.insert(extra.begin(), ok.begin(), ok.end());
        return extra;
    };
    const std::pair<Args, std::string> accepted[] = {
        // clang-format off
        {ok, "1 30 2 h=/s p=/t f= o= O= G="},
        // Leading zeros: the value counts, not the length.
        {{"-m", "double", "-e", "-p", "/t", "-h", "/s", "-t", "000000000000000000000600"}, "3 600 1 h=/s p=/t f= o= O= G="},
        {{"-s", "-m", "single", "-h", P200, "-p", P200, "-o", P200, "-O", N14, "-G", N14}, "1 30 2 h=" + P200 + " p=" + P200 + " f= o=" + P200 + " O=" + N14 + " G=" + N14},
        // Owner and group play no part in mode userapl; -G alone is allowed.
        {{"-8", "-m", "userapl", "-f", P200, "-o", "/l", "-t", "45", "-G", "g"}, "4 45 3 h= p= f=" + P200 + " o=/l O= G=g"},
        // A value is the next argument whatever it looks like; an empty value
        // leaves the field unset, so the option may come again.
        {{"-8", "-m", "single", "-h", "", "-h", "-p", "-p", "-h", "-O", "-G"}, "1 30 3 h=-p p=-h f= o= O=-G G="},
        // clang-format on
    };
    for (const auto &c : accepted)
        EXPECT_EQ(c.second + " err=", parse(c.first)) << ::testing::PrintToString(c.first);
    const Args cases[] = {
        // clang-format off
        // Nothing, unknown or malformed arguments; a value missing at the end.
        {}, {"-S"}, with({"extra"}), with({"-t10"}), with({"-se"}), with({"-o"}),
        // Mode word: none, another case, twice.
        {"-s", "-h", "/s", "-p", "/t"}, {"-s", "-m", "Single", "-h", "/s", "-p", "/t"}, with({"-m", "single"}),
        // Options a mode requires or forbids.
        {"-s", "-m", "single", "-h", "/s"}, {"-s", "-m", "double", "-p", "/t"}, with({"-f", "f"}),
        {"-s", "-m", "userapl"}, {"-s", "-m", "userapl", "-f", "f", "-p", "/t"},
        {"-s", "-m", "userapl", "-f", "f", "-h", "/s"}, with({"-G", "g"}),
        // Time-out values, with digit strings that wrap into range in 32 or 64 bits.
        with({"-t", "601"}), with({"-t", "9"}), with({"-t", ""}), with({"-t", "1a"}), with({"-t", "+30"}),
        with({"-t", "30", "-t", "30"}), with({"-t", "4294967306"}), with({"-t", "18446744073709551626"}),
        // Code sets: none (the record's stale one must not count), two.
        {"-m", "single", "-h", "/s", "-p", "/t"}, with({"-e"}),
        // Length limits; a text option twice.
        with({"-o", P201}), {"-s", "-m", "single", "-h", P201, "-p", "/t"},
        {"-s", "-m", "single", "-h", "/s", "-p", P201}, {"-s", "-m", "userapl", "-f", P201},
        with({"-O", N15}), with({"-O", "u", "-G", N15}), with({"-p", "/t"}),
        // clang-format on
    };
    for (const Args &args : cases)
        EXPECT_EQ("result -1 err=" + usage, parse(args)) << ::testing::PrintToString(args);
}

// Each finding of the environment check is one message on standard error
// (not in the report), converted to the code set; usable environments pass
// silently.
TEST(EnvironmentCheck, EachFindingWritesItsMessageToStandardErrorOnly)
{
    TempDir dir("ntwenv");
    const std::string d = dir.file("."), plain = dir.file("plain"), missing = dir.file("missing");
    write_file_bytes(plain, "x");
    const std::pair<Args, ntw_text_id> cases[] = {
        // clang-format off
        // The share path is checked before the target path, the user before the group.
        {{"-m", "double", "-h", missing, "-p", missing}, MT_ENV_SHARE_PATH_MISSING},
        {{"-m", "single", "-h", plain, "-p", missing}, MT_ENV_SHARE_PATH_BAD},
        {{"-m", "double", "-h", d, "-p", missing}, MT_ENV_TARGET_PATH_MISSING},
        {{"-m", "single", "-h", d, "-p", plain}, MT_ENV_TARGET_PATH_BAD},
        {{"-m", "single", "-h", d, "-p", d, "-O", "nosuchuser9", "-G", "nosuchgrp9"}, MT_ENV_USER_UNKNOWN},
        {{"-m", "single", "-h", d, "-p", d, "-O", "root", "-G", "nosuchgrp9"}, MT_ENV_GROUP_UNKNOWN},
        {{"-m", "userapl", "-f", plain}, MT_ENV_TARGET_FILE_EXISTS},
        {{"-m", "userapl", "-f", missing + "/f"}, MT_ENV_TARGET_FILE_BAD_ERRNO},
        {{"-m", "userapl", "-f", plain + "/f"}, MT_ENV_TARGET_FILE_BAD},
        // A new file right under the root: its directory part is empty.
        {{"-m", "userapl", "-f", "/no-such-file-here.ntw"}, MT_COUNT},
        // clang-format on
    };
    for (const auto &c : cases) {
        parse(c.first, {"-8"});
        ASSERT_EQ(0, msg_init(&s_parsed));
        FdCapture err(STDERR_FILENO);
        EXPECT_EQ(c.second != MT_COUNT ? -1 : 0, ntw_is_env_bad_condition(&s_parsed));
        msg_finish();
        EXPECT_EQ(c.second != MT_COUNT ? filled(c.second, strerror(ENOENT)) + "\n" : "",
                  err.finish())
            << ::testing::PrintToString(c.first);
    }
}
