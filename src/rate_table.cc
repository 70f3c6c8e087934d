#include "sockherd.h"

#include <cstdlib>
#include <cstring>
#include <sys/wait.h>
#include <unistd.h>

namespace sockherd {

// Times are microseconds after a base. Microseconds make the interval of the
// fastest rate (a millionth of a second) exact; an interval that is no whole
// number of them is rounded down, which errs towards admitting: a source that
// keeps to N a second is never refused for the rounding.
//
// Stored, a theoretical arrival time takes 41 bits of microseconds (25 days)
// and a penalty's end 22 bits of sixteenths of a second (3 days), beside the
// 64 bits of the source's prefix and one for its family. They stay in range
// however long the daemon runs because the base moves: once the clock reads
// a day, every stored time is shifted back by the same amount, so the clock
// never reads much more than a day, a source runs ahead of it by at most B/N
// seconds (11.6 days at 1/1000000), and a penalty by at most a day. The
// shift costs one pass over the table a day.
constexpr uint64_t micro = 1000000;
constexpr uint64_t penalty_unit = micro / 16;
constexpr uint64_t rebase_after = 86400 * micro;

// A source whose rate clock lapsed keeps its entry this much longer. Without
// it, a spray of new addresses that keeps every entry busy would take the
// entry of each source that stays below its rate the moment its clock
// lapsed, and that source would come back to the shared entry, where the
// spray has used up the rate. Also the clock's least reading, so that an
// entry never written (all zeros) has lapsed.
constexpr uint64_t kept_after_rate = 10 * micro;

struct rate_entry {
    uint64_t prefix;            // the source_key's
    uint64_t tat : 41;          // theoretical arrival time
    uint64_t penalty_end : 22;  // in penalty_units; 0: none
    uint64_t ipv6 : 1;
};
static_assert(sizeof(rate_entry) == 16, "an entry of the rate table is 16 bytes");
static_assert(kept_after_rate + rebase_after + longest_rate * micro < uint64_t{1} << 41,
              "a theoretical arrival time fits its bits");
static_assert((kept_after_rate + rebase_after + longest_penalty * micro) / penalty_unit + 1 < uint64_t{1} << 22,
              "a penalty's end fits its bits");

// A lookup looks at this many entries from the source's home (256 bytes):
// enough that a table even three quarters full almost always has one free.
constexpr size_t rate_probes = 16;
constexpr size_t default_slots = 65536;
constexpr int most_slots = 16777216;

static rate_entry *slots;
static size_t slot_mask;
static uint64_t hash_keys[2][2];  // by family: before the first mix, between the two
static uint64_t shared_tat;       // the entry of every source that found none of its own
static bool clock_started;        // by the first call after prepare_rate_table
static int64_t clock_base;        // CLOCK_MONOTONIC microseconds where the clock reads 0

bool rating_sources()
{
    return settings.source_rate.per_second > 0 || settings.penalties.given || settings.access_file != nullptr;
}

static size_t slots_from_environment()
{
    const char *text = getenv("SOCKHERD_RATE_TABLE_SLOTS");
    if (text == nullptr)
        return default_slots;
    int count = 0;
    if (read_decimal(text, text + strlen(text), most_slots, &count) != 1 || count < 16 || (count & (count - 1)) != 0)
        die("SOCKHERD_RATE_TABLE_SLOTS must be a power of two from 16 to 16777216");
    return static_cast<size_t>(count);
}

void prepare_rate_table()
{
    size_t count = slots_from_environment();
    // A key an attacker could learn would let a spray aim at the entries of others.
    if (getentropy(hash_keys, sizeof hash_keys) == -1)
        die("unable to get random bytes");
    free(slots);
    slots = static_cast<rate_entry *>(calloc(count, sizeof *slots));
    if (slots == nullptr)
        die("out of memory");
    slot_mask = count - 1;
    shared_tat = 0;
    clock_started = false;
}

static uint64_t shifted(uint64_t value, uint64_t shift)
{
    return value > shift ? value - shift : 0;
}

// Moves the base on by shift microseconds, a whole number of penalty units.
// The clock reads kept_after_rate and more beyond shift, so a time that the
// shift cuts to zero had lapsed already.
static void rebase(uint64_t shift)
{
    for (size_t i = 0; i <= slot_mask; i++) {
        rate_entry *entry = &slots[i];
        if (entry->tat == 0 && entry->penalty_end == 0)
            continue;  // never written, or lapsed: a page never touched stays so
        entry->tat = shifted(entry->tat, shift);
        entry->penalty_end = shifted(entry->penalty_end, shift / penalty_unit);
    }
    shared_tat = shifted(shared_tat, shift);
    clock_base += static_cast<int64_t>(shift);
}

static uint64_t rate_clock(const timespec *now)
{
    int64_t us = static_cast<int64_t>(now->tv_sec) * static_cast<int64_t>(micro) + now->tv_nsec / 1000;
    if (!clock_started) {
        clock_base = us - static_cast<int64_t>(kept_after_rate);
        clock_started = true;
    }
    uint64_t reading = us - clock_base > static_cast<int64_t>(kept_after_rate)
                           ? static_cast<uint64_t>(us - clock_base)
                           : kept_after_rate;
    if (reading >= kept_after_rate + rebase_after) {
        uint64_t shift = (reading - kept_after_rate) / penalty_unit * penalty_unit;
        rebase(shift);
        reading -= shift;
    }
    return reading;
}

// murmur3's finaliser: each bit of the input changes each bit of the output
// half the time.
static uint64_t mix(uint64_t value)
{
    value ^= value >> 33;
    value *= 0xff51afd7ed558ccdULL;
    value ^= value >> 33;
    value *= 0xc4ceb9fe1a85ec53ULL;
    value ^= value >> 33;
    return value;
}

// Keyed, with other keys for IPv6: without the keys no choice of addresses
// can aim at one run of entries, nor an IPv6 /64 at an IPv4 address's.
static size_t home_of(const source_key *source)
{
    const uint64_t *key = hash_keys[source->family == AF_INET6];
    return static_cast<size_t>(mix(mix(source->prefix ^ key[0]) ^ key[1])) & slot_mask;
}

static uint64_t penalty_end_of(const rate_entry *entry)
{
    return uint64_t{entry->penalty_end} * penalty_unit;
}

// Free for any source: the entry says nothing another source's fresh one would not.
static bool has_lapsed(const rate_entry *entry, uint64_t now)
{
    return entry->tat + kept_after_rate <= now && penalty_end_of(entry) <= now;
}

// The source's own entry among its probes; else, when claim, the first free
// one, made its own; else null. A source's entry is only ever among its
// probes, so it never has two.
static rate_entry *entry_for(const source_key *source, uint64_t now, bool claim)
{
    bool ipv6 = source->family == AF_INET6;
    rate_entry *free_entry = nullptr;
    size_t at = home_of(source);
    for (size_t probe = 0; probe < rate_probes; probe++, at = (at + 1) & slot_mask) {
        rate_entry *entry = &slots[at];
        if (entry->prefix == source->prefix && entry->ipv6 == ipv6)
            return entry;
        if (free_entry == nullptr && has_lapsed(entry, now))
            free_entry = entry;
    }
    if (!claim || free_entry == nullptr)
        return nullptr;
    rate_entry fresh = {};
    fresh.prefix = source->prefix;
    fresh.ipv6 = ipv6;
    *free_entry = fresh;
    return free_entry;
}

// The generic cell rate algorithm: a client is admitted unless it comes more
// than the burst's allowance before the source's theoretical arrival time;
// only an admitted client moves that time on, by one interval.
static bool take_turn(uint64_t *tat, const rate_limit *rate, uint64_t now)
{
    uint64_t interval = micro / static_cast<uint64_t>(rate->per_second);
    uint64_t allowance = interval * static_cast<uint64_t>(rate->burst - 1);
    if (*tat > now + allowance)
        return false;
    *tat = (*tat > now ? *tat : now) + interval;
    return true;
}

rate_verdict rate_check(const source_key *source, const rate_limit *rate, const timespec *now)
{
    uint64_t clock = rate_clock(now);
    bool rated = rate != nullptr && rate->per_second > 0;
    // Without a rate there is nothing to write: only a penalty can refuse.
    rate_entry *entry = entry_for(source, clock, rated);
    if (entry != nullptr && penalty_end_of(entry) > clock)
        return source_penalised;
    if (!rated)
        return source_admitted;
    if (entry == nullptr) {
        log_rate_table_full();
        return take_turn(&shared_tat, rate, clock) ? source_admitted : source_over_rate;
    }
    uint64_t tat = entry->tat;
    bool admitted = take_turn(&tat, rate, clock);
    entry->tat = tat;
    return admitted ? source_admitted : source_over_rate;
}

int add_penalty(const source_key *source, int seconds, int max_seconds, const timespec *now)
{
    uint64_t clock = rate_clock(now);
    rate_entry *entry = entry_for(source, clock, true);
    if (entry == nullptr) {
        log_rate_table_full();
        return -1;
    }
    int most = max_seconds < 1 ? 1 : max_seconds > longest_penalty ? longest_penalty : max_seconds;
    uint64_t end = penalty_end_of(entry);
    uint64_t outstanding = (end > clock ? end - clock : 0) + static_cast<uint64_t>(seconds > 0 ? seconds : 0) * micro;
    if (outstanding > static_cast<uint64_t>(most) * micro)
        outstanding = static_cast<uint64_t>(most) * micro;
    // Rounded up: a penalty never ends before the time it was given.
    entry->penalty_end = (clock + outstanding + penalty_unit - 1) / penalty_unit;
    return static_cast<int>((penalty_end_of(entry) - clock + micro / 2) / micro);
}

void penalise_source(const child_facts *facts, int wait_status)
{
    if (!settings.penalties.given || facts->penalty_exempt)
        return;
    int seconds = penalty_for(&settings.penalties, wait_status, facts->timed_out);
    timespec now;
    if (seconds <= 0 || clock_gettime(CLOCK_MONOTONIC, &now) == -1)
        return;
    int outstanding = add_penalty(&facts->source, seconds, settings.penalties.max_seconds, &now);
    // A source without an entry of its own is only held to its rate: a
    // penalty on the shared entry would refuse every source that shares it.
    if (outstanding > 0)
        log_penalty(&facts->source, outstanding, wait_status, facts->timed_out);
}

int penalty_for(const penalty_policy *policy, int wait_status, bool timed_out)
{
    if (timed_out)
        return policy->timeout_seconds;
    if (WIFSIGNALED(wait_status))
        return policy->signal_seconds;
    if (WIFEXITED(wait_status))
        return policy->status_seconds[WEXITSTATUS(wait_status)];
    return 0;
}

// A number from 1 to maximum in digits alone, from at to end.
static bool read_count(const char *at, const char *end, int maximum, int *value)
{
    return at < end && read_decimal(at, end, maximum, value) == 1 && *value >= 1;
}

bool parse_rate(const char *at, const char *end, rate_limit *rate)
{
    const char *slash = static_cast<const char *>(memchr(at, '/', static_cast<size_t>(end - at)));
    rate_limit parsed = {};
    if (!read_count(at, slash != nullptr ? slash : end, longest_rate, &parsed.per_second))
        return false;
    parsed.burst = parsed.per_second;
    if (slash != nullptr && !read_count(slash + 1, end, longest_rate, &parsed.burst))
        return false;
    *rate = parsed;
    return true;
}

static bool word_is(const char *at, const char *end, const char *word)
{
    size_t length = strlen(word);
    return static_cast<size_t>(end - at) == length && memcmp(at, word, length) == 0;
}

// The field of policy that WHAT, from at to end, names; null when none does.
static int *penalty_field(const char *at, const char *end, penalty_policy *policy)
{
    if (word_is(at, end, "signal"))
        return &policy->signal_seconds;
    if (word_is(at, end, "timeout"))
        return &policy->timeout_seconds;
    if (word_is(at, end, "max"))
        return &policy->max_seconds;
    int status = 0;
    if (read_count(at, end, 255, &status))
        return &policy->status_seconds[status];
    return nullptr;
}

// One WHAT:SECONDS, from at to end.
static bool parse_penalty_item(const char *at, const char *end, penalty_policy *policy)
{
    const char *colon = static_cast<const char *>(memchr(at, ':', static_cast<size_t>(end - at)));
    int seconds = 0;
    if (colon == nullptr || !read_count(colon + 1, end, longest_penalty, &seconds))
        return false;
    int *field = penalty_field(at, colon, policy);
    if (field == nullptr || *field != 0)
        return false;
    *field = seconds;
    return true;
}

bool parse_penalties(const char *text, penalty_policy *policy)
{
    penalty_policy parsed = {};
    for (const char *at = text;; at++) {
        const char *end = at + strcspn(at, ",");
        if (!parse_penalty_item(at, end, &parsed))
            return false;
        if (*end == '\0')
            break;
        at = end;
    }
    parsed.given = true;
    if (parsed.max_seconds == 0)
        parsed.max_seconds = default_max_penalty;
    *policy = parsed;
    return true;
}

}  // namespace sockherd
