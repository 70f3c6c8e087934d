// What counts as one source for -C, and the record of started children that
// counts them: pure functions and this process's own tables, no daemon.
#include "sockherd.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstring>
#include <gtest/gtest.h>
#include <map>
#include <ostream>
#include <random>
#include <string>
#include <vector>

using namespace sockherd;

namespace {

socket_address address_of(const std::string &text, int port)
{
    socket_address address = {};
    if (inet_pton(AF_INET, text.c_str(), &address.v4.sin_addr) == 1) {
        address.v4.sin_family = AF_INET;
        address.v4.sin_port = htons(static_cast<uint16_t>(port));
    } else {
        EXPECT_EQ(inet_pton(AF_INET6, text.c_str(), &address.v6.sin6_addr), 1) << text;
        address.v6.sin6_family = AF_INET6;
        address.v6.sin6_port = htons(static_cast<uint16_t>(port));
    }
    return address;
}

source_key key_of(const std::string &text, int port = 1000)
{
    socket_address address = address_of(text, port);
    return source_of(&address);
}

struct key_case {
    const char *first;
    const char *second;
    bool same;
};

void PrintTo(const key_case &c, std::ostream *out)
{
    *out << c.first << (c.same ? " == " : " != ") << c.second;
}

class SourceKey : public testing::TestWithParam<key_case> {};

TEST_P(SourceKey, OneForAnIpv4AddressOrAnIpv6Slash64)
{
    const auto &c = GetParam();
    source_key first = key_of(c.first, 1000);
    source_key second = key_of(c.second, 2000);
    EXPECT_EQ(first.family == second.family && first.prefix == second.prefix, c.same);
}

INSTANTIATE_TEST_SUITE_P(
    ChildTable, SourceKey,
    testing::Values(key_case{"192.0.2.1", "192.0.2.1", true},  // ports differ in every row
                    key_case{"192.0.2.1", "::ffff:192.0.2.1", true},
                    key_case{"192.0.2.1", "192.0.2.2", false},
                    key_case{"192.0.2.1", "193.0.2.1", false},
                    key_case{"::ffff:192.0.2.1", "::ffff:192.0.2.2", false},  // not their common ::/64
                    key_case{"::192.0.2.1", "192.0.2.1", false},  // the old compatible form is plain IPv6
                    key_case{"2001:db8:1::1", "2001:db8:1:0:ffff:ffff:ffff:ffff", true},
                    key_case{"2001:db8:1::1", "2001:db8:1:1::1", false},
                    key_case{"2001:db8:1::1", "3001:db8:1::1", false},
                    key_case{"::", "0.0.0.0", false}));

// The tables as the daemon drives them, up to and past their start-up size:
// children of sources whose keys share their bits but not their family,
// added and removed in a scrambled order while a plain map says what each
// count must be. A slot lost or left behind by the backward shift shows as a
// wrong count, or as a child that cannot be removed. Each child has a time
// limit too, and the nearest deadline must stay the earliest of those left.
TEST(ChildTable, CountsStayRightThroughGrowthAndScrambledRemoval)
{
    settings = settings_record{};
    settings.limit_per_source = true;
    settings.max_children = 40;
    // Once per process, as in the daemon: a second start-up would carry over
    // whatever a failed run left into tables of the start-up size.
    static bool prepared = (prepare_child_table(), true);
    ASSERT_TRUE(prepared);
    // Each IPv4 address with the IPv6 /64 of the same 64 bits: 10.0.1.1 and 0:0:a00:101::.
    std::vector<source_key> sources;
    for (int i = 0; i < 64; i++) {
        socket_address address = address_of("10.0." + std::to_string(i % 3) + "." + std::to_string(i), 0);
        sources.push_back(source_of(&address));
        socket_address twin = address_of("::", 0);
        memcpy(&twin.v6.sin6_addr.s6_addr[4], &address.v4.sin_addr, 4);
        sources.push_back(source_of(&twin));
    }
    std::mt19937 random(20261209);
    std::map<pid_t, size_t> running;  // pid to index in sources
    std::map<pid_t, time_t> deadlines;
    std::vector<int> counts(sources.size());
    pid_t next_pid = 100;
    auto wrong_count = [&]() -> std::string {
        for (size_t i = 0; i < sources.size(); i++)
            if (source_children(&sources[i]) != counts[i])
                return "source " + std::to_string(i) + " with " + std::to_string(running.size()) + " running";
        time_t nearest = deadlines.empty() ? -1 : deadlines.begin()->second;
        for (const auto &deadline : deadlines)
            nearest = std::min(nearest, deadline.second);
        if ((next_deadline() == nullptr ? -1 : next_deadline()->tv_sec) != nearest)
            return "not the nearest deadline, with " + std::to_string(running.size()) + " running";
        return "";
    };
    auto add_one = [&] {
        if (reserve_child_record() != 0 || reserve_deadline() != 0)
            return false;
        size_t source = random() % sources.size();
        child_facts facts = {};
        facts.source = sources[source];
        facts.started = {next_pid, 7};  // each record's own, to follow it through the moves
        add_child_record(next_pid, &facts);
        int seconds = static_cast<int>(random() % 5000) + 1;
        arm_time_limit(next_pid, seconds);
        deadlines[next_pid] = next_pid + seconds;
        running[next_pid++] = source;
        counts[source]++;
        return true;
    };
    auto remove_one = [&] {
        auto it = running.begin();
        std::advance(it, random() % running.size());
        counts[it->second]--;
        pid_t pid = it->first;
        running.erase(it);
        deadlines.erase(pid);
        child_facts facts = {};
        bool removed = remove_child_record(pid, &facts);
        disarm_time_limit(&facts);
        return removed && facts.started.tv_sec == pid && facts.started.tv_nsec == 7;
    };
    // Between 48 and 64 at once in the 128 slots of start-up, where the runs
    // are long and cross; then 2000 at once, in 4096 slots; then none.
    for (int step = 0; step < 100000; step++) {
        bool add = running.size() < 48 || (running.size() < 64 && random() % 2 == 0);
        ASSERT_TRUE(add ? add_one() : remove_one()) << "step " << step;
        ASSERT_EQ(wrong_count(), "") << "step " << step;
    }
    while (running.size() < 2000)
        ASSERT_TRUE(add_one());
    ASSERT_EQ(wrong_count(), "");
    child_facts facts;
    EXPECT_FALSE(remove_child_record(1, &facts)) << "a process the daemon never started";
    while (!running.empty()) {
        ASSERT_TRUE(remove_one());
        ASSERT_EQ(wrong_count(), "");
    }
    for (pid_t pid = 100; pid < next_pid; pid++)
        EXPECT_FALSE(remove_child_record(pid, &facts));
    settings = settings_record{};
}

}  // namespace
