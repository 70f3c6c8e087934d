// The table of rates and penalties driven with made-up times, against a plain
// token bucket; the readers of -R and -P. No daemon.
#include "sockherd.h"

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <utility>
#include <vector>

using namespace sockherd;
using testing::ExitedWithCode;

namespace {

constexpr long long second = 1000000;  // the tests' times are in microseconds

timespec at(long long us)
{
    us += 7000 * second;  // a clock that has run for a while
    return {static_cast<time_t>(us / second), static_cast<long>(us % second * 1000)};
}

void fresh_table(const char *slots)
{
    ASSERT_EQ(setenv("SOCKHERD_RATE_TABLE_SLOTS", slots, 1), 0);
    prepare_rate_table();
    unsetenv("SOCKHERD_RATE_TABLE_SLOTS");
}

struct arrivals {
    long long first, apart;
    int count;
};
struct rate_case {
    rate_limit rate;
    std::vector<arrivals> schedule;
    int served;
};

// A bucket of B turns that fills at N a second and gives one to each client
// it serves, kept in microseconds of interval (rounded down, as the table
// rounds it).
int bucket_serves(const rate_case &c)
{
    long long interval = second / c.rate.per_second, room = interval * c.rate.burst;
    long long credit = room, last = 0;
    int served = 0;
    for (const arrivals &group : c.schedule)
        for (int i = 0; i < group.count; i++) {
            long long time = group.first + i * group.apart;
            credit = std::min(room, credit + time - last);
            last = time;
            if (credit >= interval) {
                credit -= interval;
                served++;
            }
        }
    return served;
}

TEST(RateTable, ServesWhatATokenBucketServes)
{
    const long long day = 86400 * second;
    const rate_case cases[] = {
        // Ten at once, the eleventh refused, then one every 0.2 s.
        {{5, 10}, {{0, 0, 11}, {second / 5, second / 5, 10}}, 20},
        // Flooding at 100 a second gets one every 0.2 s; refused, it costs
        // nothing: slowed to its rate, it is served at once.
        {{5, 10}, {{0, 0, 10}, {second / 100, second / 100, 200}, {2 * second + second / 5, second / 5, 10}}, 30},
        {{3, 1}, {{0, 333333, 30}}, 30},  // at its rate, to the microsecond: never refused
        {{1000000, 1}, {{0, 0, 10}, {1, 1, 5}}, 6},
        {{3, 2}, {{0, second / 10, 30}}, 10},
        // The slowest rate with the largest burst runs days ahead of a clock moved on daily.
        {{1, 1000000}, {{0, 0, 1000001}, {second / 2, 0, 2}, {3 * day, 0, 2}, {12 * day, 0, 1}}, 1000003},
    };
    for (const rate_case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.rate.per_second << "/" << c.rate.burst << " serving " << c.served);
        ASSERT_EQ(bucket_serves(c), c.served);
        fresh_table("16");
        source_key source = {0xc0000201, AF_INET};
        int served = 0;
        for (const arrivals &group : c.schedule)
            for (int i = 0; i < group.count; i++) {
                timespec now = at(group.first + i * group.apart);
                served += rate_check(&source, &c.rate, &now) == source_admitted;
            }
        EXPECT_EQ(served, c.served);
    }
}

TEST(RateTable, PenaltiesAddUpToTheMostAndEndByThemselves)
{
    // 192.0.2.1; the IPv6 /64 of the same 64 bits; one with a rate of 1/1.
    const source_key sources[] = {{0xc0000201, AF_INET}, {0xc0000201, AF_INET6}, {0x20010db800000002, AF_INET6}};
    const rate_limit one = {1, 1};
    // At time, source gets penalty seconds (expecting the seconds outstanding),
    // or with 0 a client is judged (expecting a verdict).
    const struct {
        long long time;
        int source, penalty, expected;
    } steps[] = {
        {0, 0, 30, 30},
        {0, 0, 0, source_penalised},
        {0, 1, 0, source_admitted},
        {10 * second, 0, 30, 50},
        {59 * second + 900000, 0, 0, source_penalised},  // refused during it, which does not extend it
        {60 * second + 100000, 0, 0, source_admitted},
        {61 * second, 0, 80, 80},
        {62 * second, 0, 80, 100},  // at most 100 outstanding
        {161 * second + 900000, 0, 0, source_penalised},
        {162 * second + 100000, 0, 0, source_admitted},
        {200 * second, 2, 0, source_admitted},
        {200 * second, 2, 5, 5},
        {200 * second, 2, 0, source_penalised},  // the penalty, not the rate, is the reason
        {205 * second + 100000, 2, 0, source_admitted},
        {205 * second + 200000, 2, 0, source_over_rate},
        {86350 * second, 0, 100, 100},  // across the clock's daily move
        {86449 * second, 0, 0, source_penalised},
        {86450 * second + 100000, 0, 0, source_admitted},
    };
    fresh_table("16");
    for (const auto &step : steps) {
        SCOPED_TRACE(testing::Message() << "at " << step.time << " us, source " << step.source);
        timespec now = at(step.time);
        if (step.penalty != 0)
            EXPECT_EQ(add_penalty(&sources[step.source], step.penalty, 100, &now), step.expected);
        else
            EXPECT_EQ(rate_check(&sources[step.source], step.source == 2 ? &one : nullptr, &now), step.expected);
    }
}

// 200,000 new sources in 8 s at 1,024 entries, none of which lapses so soon:
// they take the free entries, then share one entry and its rate. A source
// that keeps below its rate keeps its own, and a penalty stays.
TEST(RateTable, SprayCannotFlushTheEntriesOfOthers)
{
    fresh_table("1024");
    const rate_limit rate = {5, 10};
    const source_key steady = {0xc6336401, AF_INET}, penalised = {0x20010db800000001, AF_INET6};
    timespec now = at(0);
    ASSERT_EQ(rate_check(&steady, &rate, &now), source_admitted);
    ASSERT_EQ(add_penalty(&penalised, 600, 600, &now), 600);
    unsigned long long full_before = counts.rate_table_full;
    int steady_served = 1, penalty_kept = 0, shared_served = 0;
    for (int i = 1; i < 200000; i++) {
        now = at(i * 40LL);
        source_key sprayed = {i % 2 ? 0x0a000000U + i : 0x20010db8ffff0000U + i, i % 2 ? AF_INET : AF_INET6};
        unsigned long long full = counts.rate_table_full;
        shared_served += rate_check(&sprayed, &rate, &now) == source_admitted && counts.rate_table_full > full;
        if (i % 12500 == 0) {  // every 0.5 s
            steady_served += rate_check(&steady, &rate, &now) == source_admitted;
            penalty_kept += rate_check(&penalised, nullptr, &now) == source_penalised;
        }
    }
    EXPECT_EQ(steady_served, 16);
    EXPECT_EQ(penalty_kept, 15);
    EXPECT_GE(counts.rate_table_full - full_before, 199999U - 1022);
    EXPECT_LE(shared_served, 10 + 5 * 8 + 1);
    // The shared entry never carries a penalty: it would refuse every source.
    const source_key late = {0x0b000001, AF_INET}, later = {0x0b000002, AF_INET};
    EXPECT_EQ(add_penalty(&late, 60, 600, &now), -1);
    EXPECT_NE(rate_check(&later, &rate, &now), source_penalised);
}

TEST(RateTableDeathTest, SizeFromTheEnvironmentIsAPowerOfTwoFrom16To16777216)
{
    for (const char *slots : {"16", "16777216", "8", "1000", "33554432", "", "1024k", "-1024", "99999999999999999999"}) {
        bool valid = strcmp(slots, "16") == 0 || strcmp(slots, "16777216") == 0;
        EXPECT_EXIT((fresh_table(slots), exit(0)), ExitedWithCode(valid ? 0 : 20),
                    valid ? "^$" : "^SOCKHERD_RATE_TABLE_SLOTS must be a power of two from 16 to 16777216\n$")
            << slots;
    }
}

TEST(RateTable, ReadsRatesAndPenaltiesOrRefusesThem)
{
    const struct {
        const char *text;
        int per_second, burst;
    } rates[] = {{"5", 5, 5}, {"5/10", 5, 10}, {"1000000/1000000", 1000000, 1000000}, {"1/1000000", 1, 1000000},
                 {"", 0, 0}, {"0", 0, 0}, {"1000001", 0, 0}, {"5/", 0, 0}, {"5/0", 0, 0}, {"5/10/2", 0, 0},
                 {"+5", 0, 0}, {"5/1000001", 0, 0}};
    for (const auto &c : rates) {
        rate_limit rate = {7, 7};  // stays when refused
        EXPECT_EQ(parse_rate(c.text, c.text + strlen(c.text), &rate), c.per_second != 0) << c.text;
        EXPECT_EQ(std::make_pair(rate.per_second, rate.burst),
                  c.per_second != 0 ? std::make_pair(c.per_second, c.burst) : std::make_pair(7, 7)) << c.text;
    }
    const struct {
        const char *text;
        int max, status_5, status_255, signal, timeout;
    } penalties[] = {{"5:30", 600, 30, 0, 0, 0}, {"signal:120,5:30,timeout:60,max:900", 900, 30, 0, 120, 60},
                     {"255:86400,max:86400", 86400, 0, 86400, 0, 0}};
    for (const auto &c : penalties) {
        penalty_policy policy = {};
        EXPECT_TRUE(parse_penalties(c.text, &policy) && policy.given) << c.text;
        EXPECT_EQ(std::vector<int>({policy.max_seconds, policy.status_seconds[5], policy.status_seconds[255],
                                    policy.signal_seconds, policy.timeout_seconds}),
                  std::vector<int>({c.max, c.status_5, c.status_255, c.signal, c.timeout})) << c.text;
    }
    for (const char *text : {"", "5", "0:30", "256:30", "5:0", "5:86401", "5:30,", "5:30,5:40", "kill:9", "max:0"}) {
        penalty_policy policy = {};
        EXPECT_FALSE(parse_penalties(text, &policy) || policy.given) << text;
    }
    penalty_policy policy = {};
    ASSERT_TRUE(parse_penalties("5:30,signal:120,timeout:60", &policy));
    EXPECT_EQ(penalty_for(&policy, W_EXITCODE(5, 0), false), 30);
    EXPECT_EQ(penalty_for(&policy, W_EXITCODE(6, 0), false), 0);
    EXPECT_EQ(penalty_for(&policy, W_EXITCODE(0, 0), false), 0);
    EXPECT_EQ(penalty_for(&policy, SIGKILL, false), 120);
    EXPECT_EQ(penalty_for(&policy, SIGKILL, true), 60);  // a timeout ends by a signal too: only timeout counts
}

}  // namespace
