#include "sockherd.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace sockherd {

// The environment every command gets is laid out once (and again after a
// reload of the rules), never built per connection: the daemon's own, with
// each connection variable and each variable the rules may give in the place
// of its first entry, later entries of those names left out (a command that
// read the last one would get a stale value), and the names the daemon lacks
// after them. Per connection only the texts of the connection variables and
// a few pointers change, before vfork: the child reads this and writes none
// of it.

char **command_environment;

// The variables each command gets, in the order they are appended when the
// daemon's environment lacks them; the last two only with -p.
enum {
    var_proto,
    var_local_ip,
    var_local_port,
    var_remote_ip,
    var_remote_port,
    var_proxy_ip,
    var_proxy_port,
    var_count
};
static const char *const variable_names[var_count] = {"PROTO",         "TCPLOCALIP", "TCPLOCALPORT", "TCPREMOTEIP",
                                                      "TCPREMOTEPORT", "TCPPROXYIP", "TCPPROXYPORT"};
// "TCPREMOTEIP=" and the longest IPv6 text with its zero byte take 58 bytes.
constexpr size_t variable_size = 80;
static char variable_text[var_count][variable_size];

// Where the rules' variables go: for each of the table's names the index of
// its place among the daemon's own entries, or -1 when the daemon has none
// and it goes after the connection's variables, from rule_tail on.
struct rule_layout {
    char **environment;
    long *place;      // per name id
    char **original;  // per name id: the daemon's own entry at that place
    size_t tail;
};
static rule_layout layout;
// The variables now in the environment, to be taken out for the next client.
static const rule_variable *applied;
static size_t applied_count;

static bool has_name(const char *entry, const char *name)
{
    size_t length = strlen(name);
    return strncmp(entry, name, length) == 0 && entry[length] == '=';
}

// What the service manager told the daemon alone: a command that took
// LISTEN_FDS for its own would look for a socket that is not there.
// notifying is whether NOTIFY_SOCKET is ours: asked once by the caller, as
// a lookup per entry would make start-up grow with the square of the
// environment's size.
static bool left_out(const char *entry, bool notifying)
{
    if (settings.socket_from_manager &&
        (has_name(entry, "LISTEN_PID") || has_name(entry, "LISTEN_FDS") || has_name(entry, "LISTEN_FDNAMES")))
        return true;
    return notifying && has_name(entry, "NOTIFY_SOCKET");
}

// Which of the first count connection variables entry sets, or -1.
static int variable_of(const char *entry, size_t count)
{
    for (size_t i = 0; i < count; i++)
        if (has_name(entry, variable_names[i]))
            return static_cast<int>(i);
    return -1;
}

// The rules' names, sorted, to find an entry's among them in a logarithm of
// their number: the daemon's environment may be large.
static const access_table *sorting_rules;

static int compare_names(const void *a, const void *b)
{
    return strcmp(access_name(sorting_rules, *static_cast<const size_t *>(a)),
                  access_name(sorting_rules, *static_cast<const size_t *>(b)));
}

// -1, 0 or 1 as entry's name (up to its '=') sorts before, with or after name.
static int compare_entry(const char *entry, const char *name)
{
    for (;; entry++, name++) {
        char e = *entry == '=' ? '\0' : *entry;
        if (e != *name)
            return static_cast<unsigned char>(e) < static_cast<unsigned char>(*name) ? -1 : 1;
        if (e == '\0')
            return 0;
    }
}

static long rule_name_of(const char *entry, const access_table *rules, const size_t *sorted, size_t count)
{
    size_t low = 0;
    size_t high = count;
    while (low < high) {
        size_t middle = low + (high - low) / 2;
        int order = compare_entry(entry, access_name(rules, sorted[middle]));
        if (order == 0)
            return static_cast<long>(sorted[middle]);
        if (order < 0)
            high = middle;
        else
            low = middle + 1;
    }
    return -1;
}

// A rule's name already in the daemon's environment takes the place of its
// first entry, holding that entry until a rule sets it; false for a later entry.
static bool place_rule_name(rule_layout *next, long name, char *entry, size_t at)
{
    if (next->place[name] != -1)
        return false;
    next->place[name] = static_cast<long>(at);
    next->original[name] = entry;
    next->environment[at] = entry;
    return true;
}

// The daemon's entries, and the connection's variables in place of theirs or after them.
static size_t lay_out_entries(rule_layout *next, const access_table *rules, const size_t *sorted, size_t names)
{
    size_t variables = settings.proxy_protocol ? var_count : var_proxy_ip;
    bool placed[var_count] = {};
    bool notifying = notifies_service_manager();
    size_t length = 0;
    for (size_t i = 0; environ[i] != nullptr; i++) {
        if (left_out(environ[i], notifying))
            continue;
        int variable = variable_of(environ[i], variables);
        long name = variable == -1 && names > 0 ? rule_name_of(environ[i], rules, sorted, names) : -1;
        if (name != -1) {
            length += place_rule_name(next, name, environ[i], length) ? 1 : 0;
        } else if (variable == -1) {
            next->environment[length++] = environ[i];
        } else if (!placed[variable]) {
            placed[variable] = true;
            next->environment[length++] = variable_text[variable];
        }
    }
    for (size_t i = 0; i < variables; i++)
        if (!placed[i])
            next->environment[length++] = variable_text[i];
    return length;
}

static void free_layout(rule_layout *old)
{
    free(old->environment);
    free(old->place);
    free(old->original);
}

int prepare_command_environment(const access_table *rules)
{
    size_t inherited = 0;
    while (environ[inherited] != nullptr)
        inherited++;
    size_t names = rules == nullptr ? 0 : access_name_count(rules);
    rule_layout next = {};
    // Room for every entry, every connection variable, and every name once
    // more: a rule names each at most once.
    next.environment = static_cast<char **>(malloc((inherited + var_count + names + 1) * sizeof(char *)));
    size_t *sorted = nullptr;
    if (names > 0) {
        next.place = static_cast<long *>(malloc(names * sizeof(long)));
        next.original = static_cast<char **>(calloc(names, sizeof(char *)));
        sorted = static_cast<size_t *>(malloc(names * sizeof(size_t)));
    }
    bool short_of_memory = names > 0 && (next.place == nullptr || next.original == nullptr || sorted == nullptr);
    if (next.environment == nullptr || short_of_memory) {
        free_layout(&next);
        free(sorted);
        return -1;
    }
    for (size_t i = 0; i < names; i++) {
        next.place[i] = -1;
        sorted[i] = i;
    }
    sorting_rules = rules;
    if (names > 0)
        qsort(sorted, names, sizeof *sorted, compare_names);
    next.tail = lay_out_entries(&next, rules, sorted, names);
    next.environment[next.tail] = nullptr;
    free(sorted);
    free_layout(&layout);
    layout = next;
    command_environment = layout.environment;
    applied = nullptr;  // they belonged to the old table
    applied_count = 0;
    return 0;
}

void apply_rule_variables(const access_verdict *verdict)
{
    for (size_t i = 0; i < applied_count; i++) {
        long place = layout.place[applied[i].name_id];
        if (place != -1)
            layout.environment[place] = layout.original[applied[i].name_id];
    }
    size_t tail = layout.tail;
    applied = verdict->matched ? verdict->variables : nullptr;
    applied_count = verdict->matched ? verdict->variable_count : 0;
    for (size_t i = 0; i < applied_count; i++) {
        long place = layout.place[applied[i].name_id];
        char *entry = const_cast<char *>(applied[i].entry);  // execve's type; nothing writes through it
        if (place != -1)
            layout.environment[place] = entry;
        else
            layout.environment[tail++] = entry;
    }
    layout.environment[tail] = nullptr;
}

// Each address text is used before the next address_text call overwrites it.
void format_connection_variables(const socket_address *remote, const socket_address *local)
{
    (void)snprintf(variable_text[var_proto], variable_size, "PROTO=%s", proto_name(local));
    (void)snprintf(variable_text[var_local_ip], variable_size, "TCPLOCALIP=%s", address_text(local));
    (void)snprintf(variable_text[var_local_port], variable_size, "TCPLOCALPORT=%d", address_port(local));
    (void)snprintf(variable_text[var_remote_ip], variable_size, "TCPREMOTEIP=%s", address_text(remote));
    (void)snprintf(variable_text[var_remote_port], variable_size, "TCPREMOTEPORT=%d", address_port(remote));
}

void format_proxy_variables(const socket_address *balancer)
{
    (void)snprintf(variable_text[var_proxy_ip], variable_size, "TCPPROXYIP=%s", address_text(balancer));
    (void)snprintf(variable_text[var_proxy_port], variable_size, "TCPPROXYPORT=%d", address_port(balancer));
}

}  // namespace sockherd
