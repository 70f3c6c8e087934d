#include "sockherd.h"

#include <cstdint>
#include <cstdlib>
#include <csignal>
#include <cstring>
#include <unistd.h>

namespace sockherd {

// Two open-addressing tables with linear probing, always of the same size, a
// power of two at most half full: the commands we started, by process id,
// and with -C the number of them per source. There are never more sources
// than children, so one size check covers both.
struct child_slot {
    child_facts facts;
    pid_t pid;     // 0: a free slot
    bool revoked;  // a reload has sent it SIGTERM already
};
struct source_slot {
    source_key source;
    int children;  // 0: a free slot
};

static child_slot *child_slots;
static source_slot *source_slots;  // only with -C
static size_t table_size;
static size_t child_count;
static uint64_t hash_seed;

// Up to this many children the tables are sized at start-up and never grow.
constexpr size_t sized_at_startup = 1024;

source_key source_of(const socket_address *remote)
{
    source_key key = {};
    if (remote->any.sa_family == AF_INET6 && !IN6_IS_ADDR_V4MAPPED(&remote->v6.sin6_addr)) {
        key.family = AF_INET6;
        for (int i = 0; i < 8; i++)
            key.prefix = key.prefix << 8 | remote->v6.sin6_addr.s6_addr[i];
        return key;
    }
    const unsigned char *v4 = remote->any.sa_family == AF_INET6
                                  ? &remote->v6.sin6_addr.s6_addr[12]
                                  : reinterpret_cast<const unsigned char *>(&remote->v4.sin_addr);
    key.family = AF_INET;
    for (int i = 0; i < 4; i++)
        key.prefix = key.prefix << 8 | v4[i];
    return key;
}

static bool same_source(const source_key *a, const source_key *b)
{
    return a->family == b->family && a->prefix == b->prefix;
}

// A keyed mix: clients choose their addresses, and must not be able to pile
// every source onto one probe sequence.
static size_t slot_of(uint64_t value)
{
    value ^= hash_seed;
    value ^= value >> 33;
    value *= 0xff51afd7ed558ccdULL;
    value ^= value >> 33;
    value *= 0xc4ceb9fe1a85ec53ULL;
    value ^= value >> 33;
    return static_cast<size_t>(value) & (table_size - 1);
}

// Counts per source are kept when a limit per source may apply: -C's, or
// one that access rules give, now or after a reload.
bool counting_sources()
{
    return settings.limit_per_source || settings.access_file != nullptr;
}

static size_t home_of(const child_slot *slot)
{
    return slot_of(static_cast<uint64_t>(slot->pid));
}

static size_t home_of(const source_key *source)
{
    return slot_of(source->prefix ^ static_cast<uint64_t>(source->family) << 56);
}

static size_t home_of(const source_slot *slot)
{
    return home_of(&slot->source);
}

static bool is_free(const child_slot *slot)
{
    return slot->pid == 0;
}

static bool is_free(const source_slot *slot)
{
    return slot->children == 0;
}

// Empties slot at and moves later members of its run back, so that no
// lookup ever has to step over a hole: no tombstones, no rebuilds.
template <typename slot_type>
static void remove_slot(slot_type *slots, size_t at)
{
    size_t mask = table_size - 1;
    size_t hole = at;
    for (size_t next = (at + 1) & mask; !is_free(&slots[next]); next = (next + 1) & mask) {
        size_t home = home_of(&slots[next]);
        if (((next - home) & mask) >= ((next - hole) & mask)) {
            slots[hole] = slots[next];
            hole = next;
        }
    }
    memset(&slots[hole], 0, sizeof slots[hole]);
}

template <typename slot_type>
static slot_type *free_slot_for(slot_type *slots, const slot_type *entry)
{
    size_t mask = table_size - 1;
    size_t at = home_of(entry);
    while (!is_free(&slots[at]))
        at = (at + 1) & mask;
    return &slots[at];
}

static size_t find_child(pid_t pid)
{
    size_t mask = table_size - 1;
    size_t at = slot_of(static_cast<uint64_t>(pid));
    while (!is_free(&child_slots[at]) && child_slots[at].pid != pid)
        at = (at + 1) & mask;
    return at;
}

static size_t find_source(const source_key *source)
{
    size_t mask = table_size - 1;
    size_t at = home_of(source);
    while (!is_free(&source_slots[at]) && !same_source(&source_slots[at].source, source))
        at = (at + 1) & mask;
    return at;
}

// New tables of size slots holding every entry of the old ones; the old ones
// stay in use when memory runs out.
static int resize_tables(size_t size)
{
    child_slot *children = static_cast<child_slot *>(calloc(size, sizeof *children));
    source_slot *sources = nullptr;
    if (children != nullptr && counting_sources())
        sources = static_cast<source_slot *>(calloc(size, sizeof *sources));
    if (children == nullptr || (counting_sources() && sources == nullptr)) {
        free(children);
        return -1;
    }
    size_t old_size = table_size;
    table_size = size;
    for (size_t i = 0; i < old_size; i++) {
        if (!is_free(&child_slots[i]))
            *free_slot_for(children, &child_slots[i]) = child_slots[i];
        if (sources != nullptr && source_slots != nullptr && !is_free(&source_slots[i]))
            *free_slot_for(sources, &source_slots[i]) = source_slots[i];
    }
    free(child_slots);
    free(source_slots);
    child_slots = children;
    source_slots = sources;
    return 0;
}

void prepare_child_table()
{
    // Without entropy the mix is still a good one, only predictable.
    (void)getentropy(&hash_seed, sizeof hash_seed);
    size_t expected = settings.max_children > 0 ? static_cast<size_t>(settings.max_children) : 1;
    if (expected > sized_at_startup)
        expected = sized_at_startup;
    size_t size = 16;
    while (size < 2 * expected)
        size *= 2;
    if (resize_tables(size) == -1)
        die("out of memory");
}

int reserve_child_record()
{
    if (2 * (child_count + 1) <= table_size)
        return 0;
    return resize_tables(2 * table_size);
}

void add_child_record(pid_t pid, const child_facts *facts)
{
    child_slot entry = {*facts, pid, false};
    *free_slot_for(child_slots, &entry) = entry;
    child_count++;
    if (!counting_sources())
        return;
    source_slot *counted = &source_slots[find_source(&facts->source)];
    counted->source = facts->source;
    counted->children++;
}

bool remove_child_record(pid_t pid, child_facts *facts)
{
    size_t at = find_child(pid);
    if (is_free(&child_slots[at]))
        return false;
    *facts = child_slots[at].facts;
    remove_slot(child_slots, at);
    child_count--;
    if (counting_sources()) {
        size_t counted = find_source(&facts->source);
        if (--source_slots[counted].children == 0)
            remove_slot(source_slots, counted);
    }
    return true;
}

child_facts *child_record(pid_t pid)
{
    size_t at = find_child(pid);
    return is_free(&child_slots[at]) ? nullptr : &child_slots[at].facts;
}

int signal_children(int signal_number)
{
    int signalled = 0;
    for (size_t i = 0; i < table_size; i++)
        if (!is_free(&child_slots[i]) && kill(child_slots[i].pid, signal_number) == 0)
            signalled++;
    return signalled;
}

int revoke_children(bool (*denied)(const socket_address *client))
{
    int revoked = 0;
    for (size_t i = 0; i < table_size; i++) {
        child_slot *slot = &child_slots[i];
        bool client_known = slot->facts.client.any.sa_family != 0;
        if (is_free(slot) || slot->revoked || !client_known || !denied(&slot->facts.client))
            continue;
        if (kill(slot->pid, SIGTERM) == 0) {
            slot->revoked = true;
            revoked++;
        }
    }
    return revoked;
}

int source_children(const source_key *source)
{
    return source_slots[find_source(source)].children;
}

}  // namespace sockherd
