// The access rules of -A: each kind of line, right and wrong, loaded in this
// process with the loader's message caught; and longest-prefix match against
// a plain reference on a large random table, and at its corners.
#include "harness.h"
#include "sockherd.h"

#include <arpa/inet.h>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <memory>
#include <ostream>
#include <random>
#include <string>
#include <unistd.h>
#include <unordered_map>
#include <vector>

using namespace sockherd;

namespace {

using table_pointer = std::unique_ptr<access_table, decltype(&free_access_table)>;

// A file of the test's own, removed when it goes.
struct rules_file {
    std::string path;

    explicit rules_file(const std::string &text)
    {
        char name[] = "/tmp/sockherd-rules-XXXXXX";
        int fd = mkstemp(name);
        path = name;
        EXPECT_NE(fd, -1);
        EXPECT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
        close(fd);
    }
    rules_file(const rules_file &) = delete;
    rules_file &operator=(const rules_file &) = delete;
    ~rules_file() { unlink(path.c_str()); }
};

// Loads path; err gets whatever the loader printed.
table_pointer load(const std::string &path, std::string &err)
{
    testing::internal::CaptureStderr();
    access_table *table = load_access_table(path.c_str(), sockherd::warn);
    err = testing::internal::GetCapturedStderr();
    return table_pointer(table, free_access_table);
}

socket_address address_of(const std::string &text)
{
    socket_address address = {};
    if (inet_pton(AF_INET, text.c_str(), &address.v4.sin_addr) == 1) {
        address.v4.sin_family = AF_INET;
    } else {
        EXPECT_EQ(inet_pton(AF_INET6, text.c_str(), &address.v6.sin6_addr), 1) << text;
        address.v6.sin6_family = AF_INET6;
    }
    return address;
}

// What the table says of client, as one line: "-" for no rule, else
// "NETWORK allow|deny [limit=N] [NAME=VALUE]...". Every variable's name id
// must name its own NAME.
std::string verdict_of(const access_table *table, const socket_address &client)
{
    access_verdict verdict;
    match_access(table, &client, &verdict);
    char network[network_text_size];
    std::string text = verdict_network_text(&verdict, network);
    if (!verdict.matched && (!verdict.allowed || verdict.limit != -1 || verdict.timeout != -1 ||
                             verdict.rate.per_second != -1 || verdict.no_penalty || verdict.variable_count != 0))
        return "unmatched, yet not plainly allowed";
    if (!verdict.matched)
        return text;
    text += verdict.allowed ? " allow" : " deny";
    if (verdict.limit != -1)
        text += " limit=" + std::to_string(verdict.limit);
    if (verdict.timeout != -1)
        text += " timeout=" + std::to_string(verdict.timeout);
    if (verdict.rate.per_second == 0)
        text += " rate=none";
    else if (verdict.rate.per_second != -1)
        text += " rate=" + std::to_string(verdict.rate.per_second) + "/" + std::to_string(verdict.rate.burst);
    if (verdict.no_penalty)
        text += " penalty=no";
    for (size_t i = 0; i < verdict.variable_count; i++) {
        std::string entry = verdict.variables[i].entry;
        text += " [" + entry + "]";
        std::string name = access_name(table, verdict.variables[i].name_id);
        EXPECT_EQ(entry.substr(0, name.size() + 1), name + "=") << "name id " << verdict.variables[i].name_id;
    }
    return text;
}

std::string verdict_of(const access_table *table, const char *client)
{
    return verdict_of(table, address_of(client));
}

struct line_case {
    const char *name;
    std::string file;
    const char *client;   // null: the file is wrong
    std::string outcome;  // "N rules, " and the client's verdict; or "LINE: reason", after "FILE:"
    size_t then_hashes = 0;  // '#' bytes after file, made only when the row runs: every test process holds the rows
};

void PrintTo(const line_case &c, std::ostream *out)
{
    *out << c.name;
}

class RulesFile : public testing::TestWithParam<line_case> {};

TEST_P(RulesFile, LoadsWithItsMeaningOrNamesItsFirstWrongLine)
{
    const auto &c = GetParam();
    rules_file file(c.file + std::string(c.then_hashes, '#'));
    std::string err;
    table_pointer table = load(file.path, err);
    if (c.client == nullptr) {
        EXPECT_EQ(table, nullptr);
        EXPECT_EQ(err, file.path + ":" + c.outcome + "\n");
        return;
    }
    ASSERT_NE(table, nullptr) << err;
    EXPECT_EQ(err, "");
    EXPECT_EQ(std::to_string(access_rule_count(table.get())) + " rules, " + verdict_of(table.get(), c.client),
              c.outcome);
}

const std::string longest_value(4096 - strlen("10.0.0.0/8 allow A="), 'x');

INSTANTIATE_TEST_SUITE_P(
    AccessRules, RulesFile,
    testing::Values(
        line_case{"EmptyFile", "", "10.0.0.1", "0 rules, -"},
        line_case{"CommentsAndBlankLines", "# rules\n\n \t\n  # indented\r\n\r\n", "10.0.0.1", "0 rules, -"},
        line_case{"VariablesInTheOrderWritten", "10.0.0.0/8 allow RELAY=yes B=2 A=1\n", "10.2.3.4",
                  "1 rules, 10.0.0.0/8 allow [RELAY=yes] [B=2] [A=1]"},
        line_case{"DenyWithComment", "192.0.2.0/24 deny # the lab\n", "192.0.2.255", "1 rules, 192.0.2.0/24 deny"},
        line_case{"AddressAloneIsOneHost", "192.0.2.7 allow limit=3\n192.0.2.6/31 deny\n", "192.0.2.7",
                  "2 rules, 192.0.2.7/32 allow limit=3"},
        line_case{"QuotedValuesAndEscapes",
                  "10.0.0.0/8 allow Q=\"a b\tc\" E=\"\\\\\\\"\\t\\r\\n\" EMPTY= NONE=\"\" HASH=x#y # Z=1\n",
                  "10.0.0.1", "1 rules, 10.0.0.0/8 allow [Q=a b\tc] [E=\\\"\t\r\n] [EMPTY=] [NONE=] [HASH=x#y]"},
        // limit alone is the limit; LIMIT and proto are variables like any other.
        line_case{"LimitBesideVariables", "10.0.0.0/8 allow LIMIT=1 limit=0 proto=x\n", "10.0.0.1",
                  "1 rules, 10.0.0.0/8 allow limit=0 [LIMIT=1] [proto=x]"},
        line_case{"TimeoutBesideLimit", "10.0.0.0/8 allow TIMEOUT=1 timeout=0 limit=2\n", "10.0.0.1",
                  "1 rules, 10.0.0.0/8 allow limit=2 timeout=0 [TIMEOUT=1]"},
        line_case{"RateAndPenalty", "10.0.0.0/8 allow penalty=no rate=5\n", "10.0.0.1",
                  "1 rules, 10.0.0.0/8 allow rate=5/5 penalty=no"},
        line_case{"NoRate", "10.0.0.0/8 allow rate=none\n", "10.0.0.1", "1 rules, 10.0.0.0/8 allow rate=none"},
        line_case{"HighestLimitWithLeadingZeros", "10.0.0.0/8 allow limit=0001000000\n", "10.0.0.1",
                  "1 rules, 10.0.0.0/8 allow limit=1000000"},
        line_case{"CrlfLineEnds", "10.0.0.0/8 allow A=1\r\n10.0.0.0/16 allow B=\"2\"\r\n", "10.1.0.0",
                  "2 rules, 10.0.0.0/8 allow [A=1]"},
        line_case{"TabsAndSpacesAndNoFinalLineEnd", "\t 10.0.0.0/8\t\tallow  \tA=1\t", "10.0.0.1",
                  "1 rules, 10.0.0.0/8 allow [A=1]"},
        line_case{"LineOf4096Bytes", "10.0.0.0/8 allow A=" + longest_value + "\r\n", "10.0.0.1",
                  "1 rules, 10.0.0.0/8 allow [A=" + longest_value + "]"},
        line_case{"SameAddressOtherLengthOrFamily", "10.0.0.0/8 allow\n10.0.0.0/16 deny\n0.0.0.0/0 allow\n::/0 deny\n",
                  "10.0.1.1", "4 rules, 10.0.0.0/16 deny"},
        line_case{"HostBits", "10.0.0.1/8 allow\n", nullptr, "1: bits set beyond the prefix length"},
        line_case{"HostBitsIpv6AfterCommentAndBlank", "# x\n\n2001:db8::1/32 allow\n", nullptr,
                  "3: bits set beyond the prefix length"},
        line_case{"LengthOver32", "10.0.0.0/33 allow\n", nullptr, "1: prefix length over 32"},
        line_case{"LengthOver128", "::/129 deny\n", nullptr, "1: prefix length over 128"},
        line_case{"LengthOfTwentyDigits", "10.0.0.0/99999999999999999999 allow\n", nullptr,
                  "1: prefix length over 32"},
        line_case{"LengthMissing", "10.0.0.0/ allow\n", nullptr, "1: missing prefix length"},
        line_case{"LengthWithSign", "10.0.0.0/+8 allow\n", nullptr, "1: bad prefix length"},
        line_case{"TwoLengths", "10.0.0.0/8/8 allow\n", nullptr, "1: bad prefix length"},
        line_case{"ShortIpv4", "10.0.0/8 allow\n", nullptr, "1: bad IPv4 address"},
        line_case{"Ipv4WithLeadingZero", "010.0.0.0/8 allow\n", nullptr, "1: bad IPv4 address"},
        line_case{"Ipv6WithZone", "fe80::1%lo deny\n", nullptr, "1: bad IPv6 address"},
        line_case{"MappedNetwork", "::ffff:10.0.0.0/104 allow\n", nullptr, "1: mapped IPv4 network: write it as IPv4"},
        line_case{"AllOfTheMappedRange", "::ffff:0:0/96 deny\n", nullptr, "1: mapped IPv4 network: write it as IPv4"},
        line_case{"Duplicate", "10.0.0.0/8 allow\n# again\n10.0.0.0/8 deny\n", nullptr, "3: duplicate of line 1"},
        line_case{"DuplicateSpelledOtherwise", "2001:db8::/32 allow\n2001:0db8:0000::/32 deny\n", nullptr,
                  "2: duplicate of line 1"},
        // The earliest repeat of all, naming the first of its network.
        line_case{"EarliestOfSeveralDuplicates",
                  "2001:db8::/32 deny\n10.0.0.0/8 allow\n10.0.0.0/8 deny\n2001:db8::/32 deny\n10.0.0.0/8 allow\n",
                  nullptr, "3: duplicate of line 2"},
        line_case{"DuplicateBeforeAWrongLine", "10.0.0.0/8 allow\n10.0.0.0/8 allow\nwrong\n", nullptr,
                  "2: duplicate of line 1"},
        line_case{"WrongLineBeforeADuplicate", "10.0.0.0/8 allow\nwrong\n10.0.0.0/8 allow\n", nullptr,
                  "2: bad IPv4 address"},
        line_case{"MissingAction", "10.0.0.0/8 # allow\n", nullptr, "1: missing action"},
        line_case{"UnknownAction", "10.0.0.0/8 Allow\n", nullptr, "1: action is neither allow nor deny"},
        line_case{"VariableAfterDeny", "10.0.0.0/8 deny A=1\n", nullptr, "1: fields after deny"},
        line_case{"LimitAfterDeny", "10.0.0.0/8 deny limit=1\n", nullptr, "1: fields after deny"},
        line_case{"RepeatedName", "10.0.0.0/8 allow A=1 B=2 A=3\n", nullptr, "1: name given twice"},
        line_case{"RepeatedLimit", "10.0.0.0/8 allow limit=1 limit=2\n", nullptr, "1: name given twice"},
        line_case{"RepeatedTimeout", "10.0.0.0/8 allow timeout=1 timeout=1\n", nullptr, "1: name given twice"},
        line_case{"NameStartingWithDigit", "10.0.0.0/8 allow 1A=x\n", nullptr, "1: bad variable name"},
        line_case{"NameWithDash", "10.0.0.0/8 allow A-B=x\n", nullptr, "1: bad variable name"},
        line_case{"NoName", "10.0.0.0/8 allow =x\n", nullptr, "1: bad variable name"},
        line_case{"NoValue", "10.0.0.0/8 allow RELAY\n", nullptr, "1: field is not NAME=VALUE"},
        line_case{"EmptyLimit", "10.0.0.0/8 allow limit=\n", nullptr, "1: bad limit"},
        line_case{"NegativeLimit", "10.0.0.0/8 allow limit=-1\n", nullptr, "1: bad limit"},
        line_case{"QuotedLimit", "10.0.0.0/8 allow limit=\"5\"\n", nullptr, "1: bad limit"},
        line_case{"LimitAboveMillion", "10.0.0.0/8 allow limit=1000001\n", nullptr, "1: limit over 1000000"},
        line_case{"LimitOfTwentyDigits", "10.0.0.0/8 allow limit=99999999999999999999\n", nullptr,
                  "1: limit over 1000000"},
        line_case{"RateWithoutBurst", "10.0.0.0/8 allow rate=5/\n", nullptr, "1: bad rate"},
        line_case{"PenaltyOtherThanNo", "10.0.0.0/8 allow penalty=yes\n", nullptr, "1: bad penalty"},
        line_case{"TimeoutOverADay", "10.0.0.0/8 allow timeout=86401\n", nullptr, "1: timeout over 86400"},
        line_case{"UnterminatedQuote", "10.0.0.0/8 allow A=\"a b\n", nullptr, "1: unterminated quote"},
        line_case{"QuoteEndingInEscapedQuote", "10.0.0.0/8 allow A=\"a\\\"\n", nullptr, "1: unterminated quote"},
        line_case{"UnknownEscape", "10.0.0.0/8 allow A=\"\\x\"\n", nullptr, "1: bad escape"},
        line_case{"TextAfterClosingQuote", "10.0.0.0/8 allow A=\"a\"b\n", nullptr, "1: text after the closing quote"},
        line_case{"QuoteInsideUnquotedValue", "10.0.0.0/8 allow A=a\"b\"\n", nullptr,
                  "1: quote or backslash outside quotes"},
        line_case{"BackslashOutsideQuotes", "10.0.0.0/8 allow A=a\\tb\n", nullptr,
                  "1: quote or backslash outside quotes"},
        line_case{"CarriageReturnInsideLine", "10.0.0.0/8\rallow\n", nullptr, "1: control character"},
        line_case{"NulByte", "10.0.0.0/8 allow\n# fine\n10.0.0.0/16 allow A=" + std::string(1, '\0') + "x\n",
                  nullptr, "3: nul byte"},
        line_case{"LineOf4097Bytes", "10.0.0.0/8 allow\n10.0.0.0/8 allow A=x" + longest_value + "\n", nullptr,
                  "2: line longer than 4096 bytes"},
        // Longer than all that one reading holds, and never ended.
        line_case{"EndlessLine", "# ", nullptr, "1: line longer than 4096 bytes", 3 << 20}),
    [](const testing::TestParamInfo<line_case> &param_info) { return std::string(param_info.param.name); });

TEST(RulesFile, ConnectionVariablesAreTheDaemons)
{
    for (const char *name :
         {"PROTO", "TCPLOCALIP", "TCPLOCALPORT", "TCPREMOTEIP", "TCPREMOTEPORT", "TCPPROXYIP", "TCPPROXYPORT"}) {
        rules_file file("10.0.0.0/8 allow A=1\n\n10.0.0.0/9 allow B=1 " + std::string(name) + "=x\n");
        std::string err;
        EXPECT_EQ(load(file.path, err), nullptr) << name;
        EXPECT_EQ(err, file.path + ":3: variable set by the daemon\n") << name;
    }
}

TEST(RulesFile, UnreadableFileIsNamedWithWhy)
{
    for (std::string why : {"/proc/nonexistent/rules: No such file or directory", "/proc: not a regular file"}) {
        std::string err;
        EXPECT_EQ(load(why.substr(0, why.find(':')), err), nullptr) << why;
        EXPECT_EQ(err, "unable to read " + why + "\n");
    }
}

// Ids number the distinct names across the whole table, whatever rule
// first names them.
TEST(RulesFile, NameIdsAreSharedByRules)
{
    rules_file file("10.0.0.0/8 allow B=1 A=2\n10.1.0.0/16 allow A=3 C=4 B=5\n2001:db8::/32 allow C=6\n");
    std::string err;
    table_pointer table = load(file.path, err);
    ASSERT_NE(table, nullptr) << err;
    ASSERT_EQ(access_name_count(table.get()), 3u);
    std::vector<std::string> names;
    for (size_t id = 0; id < 3; id++)
        names.push_back(access_name(table.get(), id));
    EXPECT_EQ(names, (std::vector<std::string>{"B", "A", "C"}));
    EXPECT_EQ(verdict_of(table.get(), "10.1.2.3"), "10.1.0.0/16 allow [A=3] [C=4] [B=5]");
    EXPECT_EQ(verdict_of(table.get(), "2001:db8::1"), "2001:db8::/32 allow [C=6]");
}

// The generator that the benchmark and the reload tests share: as many
// rules as asked, half of each family, every one loading, and the client's
// network among them with its two variables.
TEST(RulesGenerator, WritesALoadableFileWithTheClientNetwork)
{
    harness::launch_options options;
    options.program = RULEGEN_BIN;
    auto result = harness::run_sockherd({"-c", "127.0.0.1/32", "20000"}, options);
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(harness::count_occurrences(result.out, "\n"), 20000);
    size_t ipv6 = 0;
    for (const auto &line : harness::split_lines(result.out))
        ipv6 += line.find(':') != std::string::npos;
    EXPECT_EQ(ipv6, 10000u);
    rules_file file(result.out);
    std::string err;
    table_pointer table = load(file.path, err);
    ASSERT_NE(table, nullptr) << err;
    EXPECT_EQ(access_rule_count(table.get()), 20000u);
    EXPECT_EQ(verdict_of(table.get(), "127.0.0.1"), "127.0.0.1/32 allow [RULE=client] [NOTE=generated client]");
    EXPECT_EQ(verdict_of(table.get(), "11.0.16.2"), "11.0.16.0/28 allow") << "the /28 in a /24 in a /16";
}

// ---- matching ---------------------------------------------------------------

struct corner_case {
    const char *client;
    const char *verdict;  // with the two /0 networks in the table
};

void PrintTo(const corner_case &c, std::ostream *out)
{
    *out << c.client;
}

const char *const corner_rules = "0.0.0.0/0 deny\n"
                                 "::/0 deny\n"
                                 "10.0.0.0/8 allow limit=1\n"
                                 "10.0.0.0/9 allow limit=2\n"
                                 "10.128.0.0/9 allow limit=3\n"
                                 "10.255.255.255 allow limit=4\n"
                                 "2001:db8::/32 allow limit=5\n"
                                 "2001:db8:: allow limit=6\n"
                                 "2001:db8:ffff:ffff:ffff:ffff:ffff:ffff allow limit=7\n";

class MatchCorner : public testing::TestWithParam<corner_case> {};

// Each client against the table with /0 and again without: where a /0 was
// the answer, no rule is.
TEST_P(MatchCorner, LongestNetworkWins)
{
    std::string without_defaults = corner_rules;
    without_defaults.erase(0, strlen("0.0.0.0/0 deny\n::/0 deny\n"));
    rules_file with_file(corner_rules);
    rules_file without_file(without_defaults);
    std::string err;
    table_pointer with = load(with_file.path, err);
    table_pointer without = load(without_file.path, err);
    ASSERT_TRUE(with != nullptr && without != nullptr) << err;
    std::string expected = GetParam().verdict;
    EXPECT_EQ(verdict_of(with.get(), GetParam().client), expected);
    bool by_default = expected.starts_with("0.0.0.0/0 ") || expected.starts_with("::/0 ");
    EXPECT_EQ(verdict_of(without.get(), GetParam().client), by_default ? "-" : expected);
}

INSTANTIATE_TEST_SUITE_P(
    AccessRules, MatchCorner,
    testing::Values(corner_case{"0.0.0.0", "0.0.0.0/0 deny"}, corner_case{"9.255.255.255", "0.0.0.0/0 deny"},
                    corner_case{"10.0.0.0", "10.0.0.0/9 allow limit=2"},
                    corner_case{"10.127.255.255", "10.0.0.0/9 allow limit=2"},
                    corner_case{"10.128.0.0", "10.128.0.0/9 allow limit=3"},
                    corner_case{"10.255.255.254", "10.128.0.0/9 allow limit=3"},
                    corner_case{"10.255.255.255", "10.255.255.255/32 allow limit=4"},
                    corner_case{"::ffff:10.255.255.255", "10.255.255.255/32 allow limit=4"},
                    corner_case{"::ffff:10.0.0.0", "10.0.0.0/9 allow limit=2"},
                    corner_case{"11.0.0.0", "0.0.0.0/0 deny"}, corner_case{"255.255.255.255", "0.0.0.0/0 deny"},
                    corner_case{"::10.255.255.255", "::/0 deny"},  // the old compatible form is plain IPv6
                    corner_case{"::", "::/0 deny"}, corner_case{"2001:db7:ffff:ffff:ffff:ffff:ffff:ffff", "::/0 deny"},
                    corner_case{"2001:db8::", "2001:db8::/128 allow limit=6"},
                    corner_case{"2001:db8::1", "2001:db8::/32 allow limit=5"},
                    corner_case{"2001:db8:ffff:ffff:ffff:ffff:ffff:fffe", "2001:db8::/32 allow limit=5"},
                    corner_case{"2001:db8:ffff:ffff:ffff:ffff:ffff:ffff",
                                "2001:db8:ffff:ffff:ffff:ffff:ffff:ffff/128 allow limit=7"},
                    corner_case{"2001:db9::", "::/0 deny"},
                    corner_case{"ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", "::/0 deny"}));

TEST(MatchCorner, NoTableMatchesNothing)
{
    EXPECT_EQ(verdict_of(nullptr, "10.0.0.1"), "-");
    EXPECT_EQ(verdict_of(nullptr, "2001:db8::1"), "-");
}

// An address of either family as 128 bits, IPv4 in the top 32.
struct bits128 {
    uint64_t high;
    uint64_t low;
    bool operator==(const bits128 &other) const { return high == other.high && low == other.low; }
};

struct bits128_hash {
    size_t operator()(const bits128 &bits) const
    {
        return std::hash<uint64_t>()(bits.high * 0x9e3779b97f4a7c15ULL ^ bits.low);
    }
};

bits128 masked(bits128 address, int length)
{
    uint64_t high_mask = length == 0 ? 0 : length >= 64 ? ~0ULL : ~0ULL << (64 - length);
    uint64_t low_mask = length <= 64 ? 0 : length == 128 ? ~0ULL : ~0ULL << (128 - length);
    return {address.high & high_mask, address.low & low_mask};
}

struct random_network {
    bool ipv6;
    bits128 address;
    int length;
};

std::string text_of(bool ipv6, bits128 address)
{
    unsigned char bytes[16];
    for (int i = 0; i < 8; i++) {
        bytes[i] = static_cast<unsigned char>(address.high >> (56 - 8 * i));
        bytes[8 + i] = static_cast<unsigned char>(address.low >> (56 - 8 * i));
    }
    char text[INET6_ADDRSTRLEN];
    inet_ntop(ipv6 ? AF_INET6 : AF_INET, bytes, text, sizeof text);
    return text;
}

// The plain answer: for each length, longest first, whether the address's
// first bits are a network of the table.
struct reference_table {
    std::unordered_map<bits128, std::string, bits128_hash> by_length[2][129];  // the rule's verdict

    bool has(const random_network &network) const
    {
        return by_length[network.ipv6][network.length].count(network.address) != 0;
    }
    std::string match(bool ipv6, bits128 address) const
    {
        for (int length = ipv6 ? 128 : 32; length >= 0; length--) {
            const auto &networks = by_length[ipv6][length];
            auto found = networks.empty() ? networks.end() : networks.find(masked(address, length));
            if (found != networks.end())
                return found->second;
        }
        return "-";
    }
};

// Networks in clusters: fresh ones anywhere, ones nested in a network
// already there, and ones just beside one.
class network_source {
public:
    explicit network_source(uint64_t seed) : random_(seed) {}

    random_network next(const std::vector<random_network> &known)
    {
        unsigned kind = known.empty() ? 0 : random_() % 10;
        if (kind < 3) {
            random_network fresh = {random_() % 2 == 1, {random_(), random_()}, 0};
            fresh.length = 1 + static_cast<int>(random_() % (fresh.ipv6 ? 128 : 32));
            fresh.address = masked(fresh.address, fresh.length);
            return fresh;
        }
        random_network network = known[random_() % known.size()];
        int longest = network.ipv6 ? 128 : 32;
        if (kind < 7 && network.length < longest) {
            int outer = network.length;
            network.length += 1 + static_cast<int>(random_() % static_cast<unsigned>(longest - outer));
            network.address = masked(inside(network.address, outer), network.length);
        } else {
            network.address = beside(network.address, network.length);
        }
        return network;
    }

    // Some address of the network of prefix_length at address.
    bits128 inside(bits128 address, int prefix_length)
    {
        bits128 noise = {random_(), random_()};
        bits128 kept = masked({~0ULL, ~0ULL}, prefix_length);
        return {address.high | (noise.high & ~kept.high), address.low | (noise.low & ~kept.low)};
    }

    // The first address of the next network of the same length (wrapping).
    static bits128 beside(bits128 address, int length)
    {
        if (length == 0)
            return address;
        if (length <= 64)
            return {address.high + (1ULL << (64 - length)), address.low};
        uint64_t low = address.low + (length == 128 ? 1 : 1ULL << (128 - length));
        return {address.high + (low < address.low ? 1 : 0), low};
    }

    // The address before (wrapping).
    static bits128 before(bits128 address, bool ipv6)
    {
        if (!ipv6)
            return {address.high - (1ULL << 32), 0};
        return {address.high - (address.low == 0 ? 1 : 0), address.low - 1};
    }

    uint64_t operator()() { return random_(); }

private:
    std::mt19937_64 random_;
};

bool is_mapped(const random_network &network)
{
    return network.ipv6 && network.length >= 96 && network.address.high == 0 && network.address.low >> 32 == 0xffff;
}

socket_address client_of(bool ipv6, bits128 address, bool mapped)
{
    socket_address client = {};
    if (ipv6 || mapped) {
        client.v6.sin6_family = AF_INET6;
        for (int i = 0; i < 8; i++) {
            client.v6.sin6_addr.s6_addr[i] = static_cast<unsigned char>(address.high >> (56 - 8 * i));
            client.v6.sin6_addr.s6_addr[8 + i] = static_cast<unsigned char>(address.low >> (56 - 8 * i));
        }
        if (mapped) {
            memset(client.v6.sin6_addr.s6_addr, 0, 16);
            client.v6.sin6_addr.s6_addr[10] = client.v6.sin6_addr.s6_addr[11] = 0xff;
            for (int i = 0; i < 4; i++)
                client.v6.sin6_addr.s6_addr[12 + i] = static_cast<unsigned char>(address.high >> (56 - 8 * i));
        }
    } else {
        client.v4.sin_family = AF_INET;
        client.v4.sin_addr.s_addr = htonl(static_cast<uint32_t>(address.high >> 32));
    }
    return client;
}

// 100,000 networks of both families, nested and side by side, every fourth
// one a deny and some with a limit, against the reference, for addresses
// most of which fall in some network: anywhere in one, at its first or last
// address or just outside, or in the mapped form. SOCKHERD_MATCH_ADDRESSES
// sets how many (100,000 by default; the fuzz label asks for a million).
TEST(MatchTable, AgreesWithPlainLongestPrefixMatch)
{
    const char *wanted = getenv("SOCKHERD_MATCH_ADDRESSES");
    const long addresses = wanted != nullptr ? atol(wanted) : 100000;
    network_source source(20261210);
    reference_table reference;
    std::vector<random_network> networks;
    std::string text;
    while (networks.size() < 100000) {
        random_network network = source.next(networks);
        if (reference.has(network) || is_mapped(network))
            continue;
        std::string name = text_of(network.ipv6, network.address) + "/" + std::to_string(network.length);
        std::string rule = networks.size() % 4 == 3 ? " deny" : " allow";
        if (networks.size() % 5 == 1 && networks.size() % 4 != 3)
            rule += " limit=" + std::to_string(networks.size() % 1000);
        reference.by_length[network.ipv6][network.length][network.address] = name + rule;
        text += name + rule + "\n";
        networks.push_back(network);
    }
    rules_file file(text);
    std::string err;
    table_pointer table = load(file.path, err);
    ASSERT_NE(table, nullptr) << err;
    ASSERT_EQ(access_rule_count(table.get()), networks.size());

    long matched = 0;
    std::vector<std::string> wrong;
    for (long i = 0; i < addresses; i++) {
        const random_network &network = networks[source() % networks.size()];
        bits128 address = source.inside(network.address, network.length);
        bool ipv6 = network.ipv6;
        bool mapped = false;
        bits128 after = network_source::beside(network.address, network.length);
        switch (source() % 10) {
        case 0: address = network.address; break;
        case 1: address = network_source::before(after, ipv6); break;
        case 2: address = network_source::before(network.address, ipv6); break;
        case 3: address = after; break;
        case 4:
            ipv6 = source() % 2 == 1;
            address = {source(), source()};
            break;
        case 5: mapped = !ipv6; break;
        default: break;
        }
        if (!ipv6)
            address = masked(address, 32);
        std::string expected = reference.match(ipv6, address);
        std::string actual = verdict_of(table.get(), client_of(ipv6, address, mapped));
        matched += expected != "-";
        if (actual != expected && wrong.size() < 10)
            wrong.push_back((mapped ? "::ffff:" : "") + text_of(ipv6, address) + ": " + actual + ", expected " +
                            expected);
    }
    for (const auto &line : wrong)
        ADD_FAILURE() << line;
    EXPECT_GT(matched, addresses / 2) << "most addresses should fall in some network";
}

}  // namespace
