#include "sockherd.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstdio>
#include <cstring>

namespace sockherd {

access_table *access_rules = nullptr;

template <int words>
static int compare_addresses(const uint32_t *a, const uint32_t *b)
{
    for (int i = 0; i < words; i++)
        if (a[i] != b[i])
            return a[i] < b[i] ? -1 : 1;
    return 0;
}

// Whether network holds every address of the first length bits of address.
template <int words>
static bool encloses(const network_entry<words> *network, const uint32_t *address, int length)
{
    if (network->length > length)
        return false;
    for (int i = 0; i < words; i++)
        if ((address[i] & word_mask(network->length, i)) != network->address[i])
            return false;
    return true;
}

template <int words>
static bool sorts_before(const network_entry<words> &a, const network_entry<words> &b)
{
    int order = compare_addresses<words>(a.address, b.address);
    if (order != 0)
        return order < 0;
    if (a.length != b.length)
        return a.length < b.length;
    return a.link < b.link;  // the earlier line first: a duplicate names it
}

// The earliest line that repeats a network of a line before it, sorted
// networks still holding their lines; *later stays as it was when none does.
template <int words>
static void find_duplicate(const network_entry<words> *networks, size_t count, uint32_t *later, uint32_t *first)
{
    for (size_t i = 1; i < count; i++) {
        const network_entry<words> *one = &networks[i - 1];
        const network_entry<words> *other = &networks[i];
        if (one->length != other->length || compare_addresses<words>(one->address, other->address) != 0)
            continue;
        // Only the second of a run of equal networks can be the earliest repeat.
        bool second = i == 1 || networks[i - 2].length != one->length ||
                      compare_addresses<words>(networks[i - 2].address, one->address) != 0;
        if (second && other->link < *later) {
            *later = other->link;
            *first = one->link;
        }
    }
}

// Sorted networks, duplicates excluded, nest like brackets: a stack of the
// networks still open holds at most one of each length.
template <int words>
static void link_enclosing(network_entry<words> *networks, size_t count)
{
    uint32_t enclosing[32 * words + 1];
    size_t depth = 0;
    for (size_t i = 0; i < count; i++) {
        while (depth > 0 && !encloses(&networks[enclosing[depth - 1]], networks[i].address, networks[i].length))
            depth--;
        networks[i].link = depth > 0 ? enclosing[depth - 1] : no_link;
        enclosing[depth++] = static_cast<uint32_t>(i);
    }
}

// Sorts both families and fails at a repeated network, when that comes before any other problem.
static void sort_networks(rules_loader *loader)
{
    std::sort(loader->ipv4.items, loader->ipv4.items + loader->ipv4.count, sorts_before<1>);
    std::sort(loader->ipv6.items, loader->ipv6.items + loader->ipv6.count, sorts_before<4>);
    uint32_t later = no_link;
    uint32_t first = 0;
    find_duplicate(loader->ipv4.items, loader->ipv4.count, &later, &first);
    find_duplicate(loader->ipv6.items, loader->ipv6.count, &later, &first);
    if (later == no_link)
        return;
    // Lines are only read up to a problem: a repeat found is always the earlier.
    (void)snprintf(loader->reason_text, sizeof loader->reason_text, "duplicate of line %lu",
                   static_cast<unsigned long>(first));
    loader->failure = load_failure::line;
    loader->failure_line = later;
    loader->reason = loader->reason_text;
}

access_table *load_access_table(const char *path, void (*report)(const char *message))
{
    rules_loader loader = {};
    loader.path = path;
    read_rules_file(&loader);
    if (loader.failure == load_failure::none || loader.failure == load_failure::line)
        sort_networks(&loader);
    access_table *table = nullptr;
    if (loader.failure == load_failure::none) {
        link_enclosing(loader.ipv4.items, loader.ipv4.count);
        link_enclosing(loader.ipv6.items, loader.ipv6.count);
        if ((table = build_access_table(&loader)) == nullptr)
            loader.failure = load_failure::out_of_memory;
    }
    free_rules_loader(&loader);
    if (table == nullptr)
        report_rules_failure(&loader, report);
    return table;
}

size_t access_rule_count(const access_table *table)
{
    return table->ipv4.count + table->ipv6.count;
}

size_t access_name_count(const access_table *table)
{
    return table->names.count;
}

const char *access_name(const access_table *table, size_t name_id)
{
    return table->names.items[name_id];
}

// The networks that hold an address all start at or before it, and the last
// network to start there lies within each of them: its chain of enclosing
// networks passes through all of them, the longest first.
template <int words>
static const network_entry<words> *longest_match(const network_entry<words> *networks, size_t count,
                                                 const uint32_t *address)
{
    size_t low = 0;
    size_t high = count;
    while (low < high) {
        size_t middle = low + (high - low) / 2;
        if (compare_addresses<words>(networks[middle].address, address) <= 0)
            low = middle + 1;
        else
            high = middle;
    }
    for (uint32_t at = low == 0 ? no_link : static_cast<uint32_t>(low - 1); at != no_link; at = networks[at].link)
        if (encloses(&networks[at], address, 32 * words))
            return &networks[at];
    return nullptr;
}

template <int words>
static void fill_verdict(const access_table *table, const network_entry<words> *network, access_verdict *verdict)
{
    verdict->matched = true;
    verdict->allowed = network->deny == 0;
    verdict->family = words == 1 ? AF_INET : AF_INET6;
    verdict->prefix_length = network->length;
    for (int i = 0; i < words; i++)
        for (int byte = 0; byte < 4; byte++)
            verdict->network[4 * i + byte] = static_cast<unsigned char>(network->address[i] >> (24 - 8 * byte));
    if (network->fields == 0)
        return;
    const rule_fields *fields = &table->fields.items[network->fields - 1];
    verdict->limit = fields->limit;
    verdict->timeout = fields->timeout;
    verdict->rate = fields->rate;
    verdict->no_penalty = fields->no_penalty;
    verdict->variable_count = fields->variable_count;
    if (fields->variable_count > 0)
        verdict->variables = &table->variables.items[fields->first_variable];
}

void match_access(const access_table *table, const socket_address *client, access_verdict *verdict)
{
    *verdict = access_verdict{};
    verdict->allowed = true;
    verdict->limit = -1;
    verdict->timeout = -1;
    verdict->rate = {-1, 0};
    if (table == nullptr)
        return;
    uint32_t address[4];
    if (client->any.sa_family == AF_INET6 && !IN6_IS_ADDR_V4MAPPED(&client->v6.sin6_addr)) {
        words_of(client->v6.sin6_addr.s6_addr, 4, address);
        const ipv6_network *network = longest_match(table->ipv6.items, table->ipv6.count, address);
        if (network != nullptr)
            fill_verdict(table, network, verdict);
        return;
    }
    if (client->any.sa_family == AF_INET6)
        words_of(&client->v6.sin6_addr.s6_addr[12], 1, address);
    else if (client->any.sa_family == AF_INET)
        words_of(reinterpret_cast<const unsigned char *>(&client->v4.sin_addr), 1, address);
    else
        return;
    const ipv4_network *network = longest_match(table->ipv4.items, table->ipv4.count, address);
    if (network != nullptr)
        fill_verdict(table, network, verdict);
}

const char *verdict_network_text(const access_verdict *verdict, char *buffer)
{
    if (!verdict->matched || inet_ntop(verdict->family, verdict->network, buffer, network_text_size) == nullptr) {
        strcpy(buffer, "-");
        return buffer;
    }
    size_t length = strlen(buffer);
    (void)snprintf(buffer + length, network_text_size - length, "/%d", verdict->prefix_length);
    return buffer;
}

// Whether the rules now in force deny client: a running command of such a
// client is ended at a reload.
static bool denied_now(const socket_address *client)
{
    access_verdict verdict;
    match_access(access_rules, client, &verdict);
    return !verdict.allowed;
}

void reload_access_rules()
{
    access_table *fresh = load_access_table(settings.access_file, warn);
    if (fresh == nullptr) {
        log_rules_unchanged();
        return;
    }
    // The environment's places for the new table's names are made before the
    // swap, so that running out of memory leaves the old rules whole.
    if (prepare_command_environment(fresh) == -1) {
        warn("out of memory");
        free_access_table(fresh);
        log_rules_unchanged();
        return;
    }
    access_table *old = access_rules;
    access_rules = fresh;
    free_access_table(old);
    log_reloaded(access_rule_count(fresh));
    int revoked = revoke_children(denied_now);
    if (revoked > 0)
        log_revoked(revoked);
}

}  // namespace sockherd
