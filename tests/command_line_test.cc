// The command line: options into settings, escapes, numbers, usage and exit
// statuses. Unit cases call the parser in this process; cases that end the
// process run as death tests or against the real binary.
#include "harness.h"
#include "sockherd.h"

#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <map>
#include <ostream>
#include <string>
#include <unistd.h>
#include <vector>

using namespace sockherd;
using harness::run_sockherd;
using testing::ExitedWithCode;

namespace {

const std::vector<std::string> usage_text = {
    "sockherd version 23",
    "",
    "Usage: sockherd [options] address port command ...",
    "  address  Address to bind to (0 for all local addresses)",
    "  port     TCP port to bind to (0 for any available port)",
    "  command  Command to execute",
    "Options:",
    "  -c N     limit to at most N children running (default 40).",
    "           Further connections will be deferred unless -r",
    "           is specified.",
    "  -C N     limit to at most N children running for one",
    "           client address (an IPv6 client: its /64)",
    "  -R N/B   at most N commands a second for one client",
    "           address, B at once after a pause",
    "  -P spec  refuse a client address for a while after its",
    "           commands end badly (see manual)",
    "  -A file  allow or deny clients by network, with",
    "           variables and limits per network (see manual)",
    "  -6       bind to an IPv6 address (default IPv4)",
    "  -g gid   setgid(gid) after binding",
    "  -u uid   setuid(uid) after binding",
    "  -U       setuid($UID) and setgid($GID) after binding",
    "  -1       print local port number to stdout after binding",
    "  -b N     set listen() backlog to N",
    "  -L       take the listening socket from the service",
    "           manager; then give no address and port",
    "  -D       set TCP_NODELAY option on sockets",
    "  -K N     TCP keepalive on sockets: probe after N",
    "           seconds idle, drop after 3 unanswered",
    "  -T N     end a command that runs longer than N seconds",
    "           (SIGTERM, then SIGKILL 2 seconds later)",
    "  -G N     on SIGTERM stop accepting, let running commands",
    "           finish for up to N seconds, then exit 0",
    "  -e       redirect stderr of children to socket",
    "  -p       expect a PROXY protocol header (v1 or v2)",
    "           before each client's data",
    "  -v       be verbose",
    "  -Q       don't be verbose (default)",
    "  -J       be verbose, one JSON object per line",
    "  -M file  write metrics for Prometheus to file",
    "  -r resp  once -c limit is reached, refuse clients",
    "           with 'resp' rather than deferring them.",
    "           resp may contain \\r, \\n, \\t.",
    "  -h       show this usage message",
    "  -t       check the -A file and exit",
    "",
    "Report bugs to <sockherd-bugs@lists.example.org>.",
};

std::string joined_usage()
{
    std::string text;
    for (const auto &line : usage_text)
        text += line + "\n";
    return text;
}

// Parses args (the program name is added) from fresh settings.
int parse(const std::vector<std::string> &args)
{
    static std::vector<std::string> storage;
    static std::vector<char *> argv;
    storage = args;
    storage.insert(storage.begin(), "sockherd");
    argv.clear();
    for (auto &arg : storage)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    free(settings.refuse_response);
    settings = settings_record{};
    optind = 0;  // GNU getopt: start a fresh scan
    opterr = 0;
    return parse_command_line(static_cast<int>(storage.size()), argv.data());
}

TEST(UsageText, IsExactlyTheListedLines)
{
    auto result = run_sockherd({});
    EXPECT_EQ(result.status, 20);
    EXPECT_EQ(result.out, "");
    ASSERT_EQ(usage_text.size(), 47u);
    EXPECT_EQ(harness::split_lines(result.err), usage_text);
    for (const auto &line : usage_text)
        EXPECT_TRUE(line.empty() || line.back() != ' ') << line;
}

struct exit_case {
    const char *name;
    std::vector<std::string> args;
    int status;
    bool getopt_line;  // getopt's own diagnostic comes before the usage text
};

void PrintTo(const exit_case &c, std::ostream *out)
{
    *out << c.name;
}

class UsageExit : public testing::TestWithParam<exit_case> {};

// The line the daemon's own checks print before the usage text: the option,
// the argument at fault and what the option wants; none for other rows.
std::string own_line(const std::vector<std::string> &args)
{
    static const std::map<std::string, std::string> wants = {
        {"-g", ": a numeric group ID"},  {"-u", ": a numeric user ID"},
        {"-t", " needs -A FILE"},        {"-L", " needs a command"},
        {"-K", ": a number of seconds from 1 to 32767"}, {"-G", ": a number of seconds from 1 to 86400"},
        {"-T", ": a number of seconds from 1 to 86400"}, {"-R", ": N or N/B, each from 1 to 1000000"},
        {"-P", ": WHAT:SECONDS,... with WHAT an exit status, signal, timeout or max"}};
    if (args.empty() || wants.count(args[0]) == 0)
        return "";
    const std::string &want = wants.at(args[0]);
    return args[0] + (want[0] == ':' ? " " + args[1] : "") + want + "\n";
}

TEST_P(UsageExit, PrintsUsageWithStatus)
{
    const auto &c = GetParam();
    auto result = run_sockherd(c.args);
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.out, "");
    std::string usage = joined_usage();
    ASSERT_GE(result.err.size(), usage.size());
    EXPECT_EQ(result.err.substr(result.err.size() - usage.size()), usage);
    std::string before = result.err.substr(0, result.err.size() - usage.size());
    if (c.getopt_line)
        EXPECT_EQ(harness::count_occurrences(before, "\n"), 1) << before;
    else
        EXPECT_EQ(before, own_line(c.args));
}

INSTANTIATE_TEST_SUITE_P(
    CommandLine, UsageExit,
    testing::Values(exit_case{"NoArguments", {}, 20, false},
                    exit_case{"HelpAlone", {"-h"}, 0, false},
                    exit_case{"HelpBeforeInvalidOption", {"-h", "-x"}, 0, false},
                    exit_case{"InvalidOptionBeforeHelp", {"-x", "-h"}, 20, true},
                    exit_case{"MissingArgument", {"-c"}, 20, true},
                    exit_case{"TwoOperands", {"127.0.0.1", "0"}, 20, false},
                    exit_case{"TrailingBackslash", {"-r", "a\\", "0", "0", "x"}, 20, false},
                    exit_case{"DoubleBackslash", {"-r", "a\\\\b", "0", "0", "x"}, 20, false},
                    exit_case{"UnknownEscape", {"-r", "\\x", "0", "0", "x"}, 20, false},
                    exit_case{"GroupName", {"-g", "staff", "0", "0", "x"}, 20, false},
                    exit_case{"UserName", {"-u", "nobody", "0", "0", "x"}, 20, false},
                    exit_case{"EmptyUser", {"-u", "", "0", "0", "x"}, 20, false},
                    exit_case{"SignWithoutDigits", {"-g", "-", "0", "0", "x"}, 20, false},
                    exit_case{"BadOptionStopsBeforeLaterOnes", {"-x", "-r", "\\", "0", "0", "x"}, 20, true},
                    exit_case{"ManagerSocketWithoutCommand", {"-L", "-1"}, 20, false},
                    exit_case{"CheckWithoutRulesFile", {"-t", "127.0.0.1", "0", "cat"}, 20, false},
                    exit_case{"KeepaliveZero", {"-K", "0", "0", "0", "x"}, 20, false},
                    exit_case{"KeepaliveNegative", {"-K", "-1", "0", "0", "x"}, 20, false},
                    exit_case{"KeepaliveAboveKernelMaximum", {"-K", "32768", "0", "0", "x"}, 20, false},
                    exit_case{"KeepaliveNotANumber", {"-K", "abc", "0", "0", "x"}, 20, false},
                    exit_case{"KeepaliveBeyondInt", {"-K", "99999999999", "0", "0", "x"}, 20, false},
                    exit_case{"KeepaliveWrappingIntoRange", {"-K", "4294967297", "0", "0", "x"}, 20, false},
                    exit_case{"DrainZero", {"-G", "0", "0", "0", "x"}, 20, false},
                    exit_case{"DrainAboveADay", {"-G", "86401", "0", "0", "x"}, 20, false},
                    exit_case{"DrainNotANumber", {"-G", "abc", "0", "0", "x"}, 20, false},
                    exit_case{"DrainWrappingIntoRange", {"-G", "4294967297", "0", "0", "x"}, 20, false},
                    exit_case{"TimeLimitZero", {"-T", "0", "0", "0", "x"}, 20, false},
                    exit_case{"RateBurstZero", {"-R", "5/0", "0", "0", "x"}, 20, false},
                    exit_case{"PenaltyForAnUnknownEnd", {"-P", "crash:5", "0", "0", "x"}, 20, false},
                    exit_case{"TimeLimitAboveADay", {"-T", "86401", "0", "0", "x"}, 20, false}),
    [](const testing::TestParamInfo<exit_case> &param_info) { return std::string(param_info.param.name); });

TEST(Defaults, HoldWithOnlyOperands)
{
    EXPECT_EQ(parse({"127.0.0.1", "0", "cat"}), 1);
    EXPECT_EQ(settings.max_children, 40);
    EXPECT_EQ(settings.address_family, AF_INET);
    EXPECT_EQ(settings.listen_backlog, 10);
    EXPECT_FALSE(settings.change_gid || settings.change_uid || settings.print_port || settings.tcp_nodelay ||
                 settings.verbose || settings.stderr_to_socket);
    EXPECT_EQ(settings.refuse_response, nullptr);
    EXPECT_EQ(settings.keepalive_seconds, 0);
    EXPECT_FALSE(settings.limit_per_source);
    EXPECT_EQ(settings.access_file, nullptr);
    EXPECT_FALSE(settings.check_access);
    EXPECT_EQ(settings.drain_seconds, 0);
    EXPECT_EQ(settings.timeout_seconds, 0);
    EXPECT_EQ(settings.metrics_file, nullptr);
}

struct number_case {
    const char *text;
    int value;
};

void PrintTo(const number_case &c, std::ostream *out)
{
    *out << '"' << c.text << '"';
}

class AtoiNumbers : public testing::TestWithParam<number_case> {};

// -c, -C and -b keep atoi's rule: anything goes, non-numbers are 0; -C
// turns the limit per source on whatever its number.
TEST_P(AtoiNumbers, LimitsAndBacklogConvertAsAtoi)
{
    parse({"-c", GetParam().text, "-C", GetParam().text, "-b", GetParam().text, "a", "p", "x"});
    EXPECT_EQ(settings.max_children, GetParam().value);
    EXPECT_TRUE(settings.limit_per_source);
    EXPECT_EQ(settings.max_per_source, GetParam().value);
    EXPECT_EQ(settings.listen_backlog, GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(CommandLine, AtoiNumbers,
                         testing::Values(number_case{"0", 0}, number_case{"-5", -5}, number_case{"abc", 0},
                                         number_case{" 12x", 12}, number_case{"+7", 7}, number_case{"", 0}));

class KeepaliveNumbers : public testing::TestWithParam<number_case> {};

// -K reads as atoi does, within the 1 to 32767 seconds the kernel takes.
TEST_P(KeepaliveNumbers, AcceptedWithinTheKernelsRange)
{
    parse({"-K", GetParam().text, "a", "p", "x"});
    EXPECT_EQ(settings.keepalive_seconds, GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(CommandLine, KeepaliveNumbers,
                         testing::Values(number_case{"1", 1}, number_case{"32767", 32767}, number_case{" 12x", 12},
                                         number_case{"+7", 7}));

class DaySeconds : public testing::TestWithParam<number_case> {};

// -G and -T read as atoi does, from a second up to a day.
TEST_P(DaySeconds, AcceptedFromASecondToADay)
{
    parse({"-G", GetParam().text, "-T", GetParam().text, "a", "p", "x"});
    EXPECT_EQ(settings.drain_seconds, GetParam().value);
    EXPECT_EQ(settings.timeout_seconds, GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(CommandLine, DaySeconds,
                         testing::Values(number_case{"1", 1}, number_case{"86400", 86400}, number_case{" 12x", 12}));

TEST(IdOptions, AcceptNumbersWithAtoiRules)
{
    parse({"-g", " -7x", "-u", "+5", "a", "p", "x"});
    EXPECT_TRUE(settings.change_gid);
    EXPECT_EQ(settings.gid, -7);
    EXPECT_TRUE(settings.change_uid);
    EXPECT_EQ(settings.uid, 5);
}

TEST(Overwriting, LaterOptionsWin)
{
    parse({"-v", "-Q", "-c", "3", "-c", "4", "-r", "one", "-r", "two", "-A", "one", "-A", "two", "-M", "one", "-M",
           "two", "a", "p", "x"});
    EXPECT_FALSE(settings.verbose);
    EXPECT_EQ(settings.max_children, 4);
    EXPECT_STREQ(settings.refuse_response, "two");
    EXPECT_STREQ(settings.access_file, "two");
    EXPECT_STREQ(settings.metrics_file, "two");
    parse({"-Q", "-v", "-6", "-1", "-D", "-e", "a", "p", "x"});
    EXPECT_TRUE(settings.verbose);
    EXPECT_FALSE(settings.json_log);
    EXPECT_EQ(settings.address_family, AF_INET6);
    EXPECT_TRUE(settings.print_port && settings.tcp_nodelay && settings.stderr_to_socket);
    // -v, -Q and -J: the last decides whether there is a log and which.
    parse({"-Q", "-v", "-J", "a", "p", "x"});
    EXPECT_TRUE(settings.verbose && settings.json_log);
    parse({"-J", "-v", "a", "p", "x"});
    EXPECT_TRUE(settings.verbose);
    EXPECT_FALSE(settings.json_log);
    parse({"-J", "-Q", "a", "p", "x"});
    EXPECT_FALSE(settings.verbose || settings.json_log);
}

TEST(Operands, StartAtFirstNonOption)
{
    EXPECT_EQ(parse({"-v", "127.0.0.1", "-c", "5", "-e"}), 2);
    EXPECT_EQ(settings.max_children, 40);  // "-c" belongs to the operands
    EXPECT_FALSE(settings.stderr_to_socket);
    EXPECT_EQ(parse({"--", "-v", "0", "x"}), 2);
    EXPECT_FALSE(settings.verbose);
    EXPECT_EQ(parse({"a", "p", "x"}), 1);  // exactly three: a command without arguments
}

struct escape_case {
    const char *argument;
    const char *decoded;
};

void PrintTo(const escape_case &c, std::ostream *out)
{
    *out << '"' << c.argument << '"';
}

class Escapes : public testing::TestWithParam<escape_case> {};

TEST_P(Escapes, DecodeToText)
{
    char *text = decode_escapes(GetParam().argument);
    EXPECT_STREQ(text, GetParam().decoded);
    free(text);
}

INSTANTIATE_TEST_SUITE_P(CommandLine, Escapes,
                         testing::Values(escape_case{"", ""}, escape_case{"busy\\r\\n", "busy\r\n"},
                                         escape_case{"a\\tb\\nc", "a\tb\nc"}, escape_case{"100% %s %n", "100% %s %n"},
                                         escape_case{"\\n\\n", "\n\n"}));

TEST(Escapes, EmptyTextStillTurnsRefusingOn)
{
    parse({"-r", "", "a", "p", "x"});
    ASSERT_NE(settings.refuse_response, nullptr);
    EXPECT_STREQ(settings.refuse_response, "");
}

TEST(EscapesDeathTest, BadSequencesEndWithUsage)
{
    for (const char *bad : {"a\\", "\\\\", "\\0", "\\N", "x\\ y"})
        EXPECT_EXIT(decode_escapes(bad), ExitedWithCode(20), "Usage: sockherd") << bad;
}

TEST(StartsWithNumber, FollowsAtoiPrefix)
{
    for (const char *yes : {"0", "12", " 7", "\t-3", "+4abc", "65534x"})
        EXPECT_TRUE(starts_with_number(yes)) << yes;
    for (const char *no : {"", " ", "-", "+", "staff", "x1", "--1", "- 1"})
        EXPECT_FALSE(starts_with_number(no)) << no;
}

// -U reads the environment of this process; each case sets it first.
void set_ids(const char *gid, const char *uid)
{
    gid ? setenv("GID", gid, 1) : unsetenv("GID");
    uid ? setenv("UID", uid, 1) : unsetenv("UID");
}

TEST(EnvironmentIds, TakenWhereUIsMet)
{
    set_ids("9", "7");
    parse({"-U", "a", "p", "x"});
    EXPECT_TRUE(settings.change_gid && settings.change_uid);
    EXPECT_EQ(settings.gid, 9);
    EXPECT_EQ(settings.uid, 7);
    parse({"-g", "5", "-U", "a", "p", "x"});
    EXPECT_EQ(settings.gid, 9);
    parse({"-U", "-g", "5", "-u", "6", "a", "p", "x"});
    EXPECT_EQ(settings.gid, 5);
    EXPECT_EQ(settings.uid, 6);
    set_ids(" -2junk", "+3");
    parse({"-U", "a", "p", "x"});
    EXPECT_EQ(settings.gid, -2);
    EXPECT_EQ(settings.uid, 3);
}

struct environment_case {
    const char *gid;
    const char *uid;
    const char *message;
};

void PrintTo(const environment_case &c, std::ostream *out)
{
    *out << "GID=" << (c.gid ? c.gid : "(unset)") << " UID=" << (c.uid ? c.uid : "(unset)");
}

class EnvironmentIdsDeathTest : public testing::TestWithParam<environment_case> {};

TEST_P(EnvironmentIdsDeathTest, FailsWithItsMessage)
{
    const auto &c = GetParam();
    set_ids(c.gid, c.uid);
    EXPECT_EXIT(parse({"-U", "a", "p", "x"}), ExitedWithCode(20), std::string("^") + c.message + "\n$");
}

INSTANTIATE_TEST_SUITE_P(
    CommandLine, EnvironmentIdsDeathTest,
    testing::Values(environment_case{nullptr, nullptr, "-U specified but no \\$GID"},
                    environment_case{nullptr, "1", "-U specified but no \\$GID"},
                    environment_case{"1", nullptr, "-U specified but no \\$UID"},
                    environment_case{"", "1", "-U specified but \\$GID is not a number"},
                    environment_case{"staff", nullptr, "-U specified but \\$GID is not a number"},
                    environment_case{"1", "", "-U specified but \\$UID is not a number"},
                    environment_case{"1", "nobody", "-U specified but \\$UID is not a number"}));

// -t loads the file of -A as start-up does and says how many rules, with or
// without operands, which it never looks at; a wrong file gets its one line
// and 20, and nothing on standard output.
TEST(CheckRules, CountsTheRulesOrNamesTheWrongLine)
{
    struct check_case {
        const char *rules;
        std::vector<std::string> operands;
        const char *out;  // after the path; "" for nothing
        const char *err;  // after the path
        int status;
    };
    const check_case cases[] = {
        {"# office\n10.0.0.0/8 allow RELAY=yes\n\n2001:db8::/32 deny\n", {}, ": 2 rules\n", nullptr, 0},
        {"10.0.0.0/8 allow\n10.0.0.1/8 deny\n", {"-1", "127.0.0.1", "0", "cat"}, nullptr,
         ":2: bits set beyond the prefix length\n", 20},
    };
    for (const auto &c : cases) {
        char path[] = "/tmp/sockherd-rules-XXXXXX";
        int fd = mkstemp(path);
        ASSERT_NE(fd, -1);
        ASSERT_EQ(write(fd, c.rules, strlen(c.rules)), static_cast<ssize_t>(strlen(c.rules)));
        close(fd);
        std::vector<std::string> args = {"-t", "-A", path};
        args.insert(args.end(), c.operands.begin(), c.operands.end());
        auto result = run_sockherd(args);
        unlink(path);
        EXPECT_EQ(result.status, c.status) << c.rules;
        EXPECT_EQ(result.out, c.out != nullptr ? path + std::string(c.out) : "") << c.rules;
        EXPECT_EQ(harness::bounded_text(result.err), c.err != nullptr ? path + std::string(c.err) : "") << c.rules;
    }
}

// Reported once every option is read: in JSON with a later -J, and still at a later -h.
TEST(EnvironmentIds, BinaryReportsMissingGid)
{
    harness::launch_options options;
    options.unset_env = {"GID", "UID"};
    for (std::string then : {"-h", "-J"}) {
        auto result = run_sockherd({"-U", then, "0", "0", "x"}, options);
        EXPECT_EQ(result.status, 20);
        std::string err = then == "-J" ? result.err.substr(result.err.find(",\"event\"") + 1) : result.err;
        EXPECT_EQ(err, then == "-J" ? "\"event\":\"fatal\",\"message\":\"-U specified but no $GID\"}\n"
                                    : "-U specified but no $GID\n");
    }
}

}  // namespace
