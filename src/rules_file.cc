#include "sockherd.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sockherd {

// A variable or a name while the file is read: the texts they are in can still move.
struct loaded_variable {
    size_t entry_offset;
    size_t name_id;
};
struct loaded_name {
    size_t offset;       // in name_text
    uint32_t last_rule;  // the number of the last rule that set it, for repeats
};

// What one rule has gathered while its line is read.
struct rule_state {
    uint32_t number;  // from 1, for telling a repeated name from one of an earlier rule
    int limit;
    int timeout;
    rate_limit rate;
    int no_penalty;  // -1 until penalty= is read
    size_t variable_count;
};

struct parsed_network {
    int family;
    uint32_t address[4];
    int length;
};

constexpr size_t longest_line = 4096;
constexpr size_t read_size = 1 << 20;
constexpr int longest_limit = 1000000;
constexpr int longest_timeout = 86400;
// Not a phrase of its own: the one message for memory that ran out.
static const char out_of_memory[] = "out of memory";

static const char *const connection_variables[] = {"PROTO",         "TCPLOCALIP", "TCPLOCALPORT", "TCPREMOTEIP",
                                                   "TCPREMOTEPORT", "TCPPROXYIP", "TCPPROXYPORT"};

#if defined(__SANITIZE_ADDRESS__)
// A mapping has no red zones: under AddressSanitizer the arrays come from
// calloc instead, cut to size exactly, so that it sees any access beyond one.
static size_t whole_pages(size_t bytes)
{
    return bytes;
}

static void *get_pages(size_t bytes)
{
    return calloc(1, bytes);
}

static void put_pages(void *at, size_t)
{
    free(at);
}

static void *keep_pages(void *at, size_t kept, size_t)
{
    void *cut = realloc(at, kept);
    return cut != nullptr ? cut : at;
}
#else
static size_t page_size;  // read once; a static inside the function would pull in the C++ runtime

static size_t whole_pages(size_t bytes)
{
    if (page_size == 0) {
        long size = sysconf(_SC_PAGESIZE);
        page_size = size > 0 ? static_cast<size_t>(size) : 4096;
    }
    return (bytes + page_size - 1) / page_size * page_size;
}

// Zeroed pages of a mapping of their own; null when memory ran out.
static void *get_pages(size_t bytes)
{
    void *pages = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return pages != MAP_FAILED ? pages : nullptr;
}

static void put_pages(void *at, size_t bytes)
{
    (void)munmap(at, bytes);  // a whole mapping of ours: cannot fail
}

// Gives back all but the first kept bytes (whole pages) of a mapping of bytes.
static void *keep_pages(void *at, size_t kept, size_t bytes)
{
    if (kept < bytes)
        (void)munmap(static_cast<char *>(at) + kept, bytes - kept);  // whole pages of ours
    return at;
}
#endif

template <typename element>
static void release(mapped_array<element> *array)
{
    if (array->capacity > 0)
        put_pages(array->items, whole_pages(array->capacity * sizeof(element)));
    *array = {};
}

// Room for extra more elements, doubling; false when memory ran out. New
// room reads as zeros.
template <typename element>
static bool make_room(mapped_array<element> *array, size_t extra)
{
    if (array->count + extra <= array->capacity)
        return true;
    if (array->count + extra > SIZE_MAX / 2 / sizeof(element))
        return false;
    size_t wanted = array->capacity > 0 ? 2 * array->capacity : whole_pages(1) / sizeof(element);
    if (wanted < array->count + extra)
        wanted = array->count + extra;
    void *room = get_pages(whole_pages(wanted * sizeof(element)));
    if (room == nullptr)
        return false;
    if (array->count > 0)
        memcpy(room, array->items, array->count * sizeof(element));
    size_t count = array->count;
    release(array);
    *array = {static_cast<element *>(room), count, wanted};
    return true;
}

// Gives back the pages beyond the array's last element.
template <typename element>
static void fit(mapped_array<element> *array)
{
    if (array->count == 0) {
        release(array);
        return;
    }
    size_t used = whole_pages(array->count * sizeof(element));
    size_t held = whole_pages(array->capacity * sizeof(element));
    array->items = static_cast<element *>(keep_pages(array->items, used, held));
    array->capacity = used / sizeof(element);
}

// The bits of word index that lie within the first length bits.
uint32_t word_mask(int length, int index)
{
    int bits = length - 32 * index;
    if (bits <= 0)
        return 0;
    if (bits >= 32)
        return UINT32_MAX;
    return UINT32_MAX << (32 - bits);
}

void words_of(const unsigned char *bytes, int words, uint32_t *address)
{
    for (int i = 0; i < words; i++)
        address[i] = static_cast<uint32_t>(bytes[4 * i]) << 24 | static_cast<uint32_t>(bytes[4 * i + 1]) << 16 |
                     static_cast<uint32_t>(bytes[4 * i + 2]) << 8 | bytes[4 * i + 3];
}

static bool is_blank(char c)
{
    return c == ' ' || c == '\t';
}

static const char *skip_blanks(const char *at, const char *end)
{
    while (at < end && is_blank(*at))
        at++;
    return at;
}

static const char *end_of_token(const char *at, const char *end)
{
    while (at < end && !is_blank(*at))
        at++;
    return at;
}

static bool token_is(const char *token, const char *end, const char *word)
{
    size_t length = strlen(word);
    return static_cast<size_t>(end - token) == length && memcmp(token, word, length) == 0;
}

int read_decimal(const char *at, const char *end, int maximum, int *value)
{
    int number = 0;
    for (; at < end; at++) {
        if (*at < '0' || *at > '9')
            return -1;
        if (number <= maximum)
            number = number * 10 + (*at - '0');
    }
    if (number > maximum)
        return 0;
    *value = number;
    return 1;
}

static const char *parse_prefix_length(const char *at, const char *end, int maximum, int *length)
{
    if (at == end)
        return "missing prefix length";
    int value = 0;
    int outcome = read_decimal(at, end, maximum, &value);
    if (outcome < 0)
        return "bad prefix length";
    if (outcome == 0)
        return maximum == 32 ? "prefix length over 32" : "prefix length over 128";
    *length = value;
    return nullptr;
}

// ::ffff:0:0/96 and the networks within it.
static bool is_mapped(const parsed_network *network)
{
    return network->length >= 96 && network->address[0] == 0 && network->address[1] == 0 &&
           network->address[2] == 0xffff;
}

static const char *parse_network(const char *token, const char *end, parsed_network *network)
{
    const char *slash = static_cast<const char *>(memchr(token, '/', static_cast<size_t>(end - token)));
    size_t size = static_cast<size_t>((slash != nullptr ? slash : end) - token);
    bool ipv6 = memchr(token, ':', size) != nullptr;
    const char *bad_address = ipv6 ? "bad IPv6 address" : "bad IPv4 address";
    char text[INET6_ADDRSTRLEN];
    unsigned char bytes[16];
    if (size == 0 || size >= sizeof text)
        return bad_address;
    memcpy(text, token, size);
    text[size] = '\0';
    network->family = ipv6 ? AF_INET6 : AF_INET;
    if (inet_pton(network->family, text, bytes) != 1)
        return bad_address;
    int words = ipv6 ? 4 : 1;
    words_of(bytes, words, network->address);
    network->length = 32 * words;
    if (slash != nullptr) {
        const char *reason = parse_prefix_length(slash + 1, end, 32 * words, &network->length);
        if (reason != nullptr)
            return reason;
    }
    for (int i = 0; i < words; i++)
        if ((network->address[i] & ~word_mask(network->length, i)) != 0)
            return "bits set beyond the prefix length";
    // A mapped client is matched as IPv4, so such a rule could never match.
    if (ipv6 && is_mapped(network))
        return "mapped IPv4 network: write it as IPv4";
    return nullptr;
}

static size_t hash_name(const char *name, size_t length)
{
    uint64_t hash = 14695981039346656037ULL;  // FNV-1a: the names are the operator's, not a client's
    for (size_t i = 0; i < length; i++)
        hash = (hash ^ static_cast<unsigned char>(name[i])) * 1099511628211ULL;
    return static_cast<size_t>(hash);
}

static const char *name_of(const rules_loader *loader, size_t id)
{
    return loader->name_text.items + loader->names.items[id].offset;
}

// A slot table twice the size: every name in it again. False when memory ran out.
static bool grow_name_slots(rules_loader *loader)
{
    mapped_array<uint32_t> slots = {};
    size_t count = loader->name_slots.count > 0 ? 2 * loader->name_slots.count : 64;
    if (!make_room(&slots, count))
        return false;
    slots.count = count;
    for (size_t id = 0; id < loader->names.count; id++) {
        const char *name = name_of(loader, id);
        size_t at = hash_name(name, strlen(name)) & (count - 1);
        while (slots.items[at] != 0)
            at = (at + 1) & (count - 1);
        slots.items[at] = static_cast<uint32_t>(id + 1);
    }
    release(&loader->name_slots);
    loader->name_slots = slots;
    return true;
}

static bool add_name(rules_loader *loader, const char *name, size_t length)
{
    mapped_array<char> *text = &loader->name_text;
    if (!make_room(&loader->names, 1) || !make_room(text, length + 1))
        return false;
    loader->names.items[loader->names.count++] = {text->count, 0};
    memcpy(text->items + text->count, name, length);
    text->items[text->count + length] = '\0';
    text->count += length + 1;
    return true;
}

// The id of a variable's name, a new one for a name not seen before; false when memory ran out.
static bool find_name(rules_loader *loader, const char *name, size_t length, size_t *id)
{
    if (2 * (loader->names.count + 1) > loader->name_slots.count && !grow_name_slots(loader))
        return false;
    uint32_t *slots = loader->name_slots.items;
    size_t mask = loader->name_slots.count - 1;
    size_t at = hash_name(name, length) & mask;
    for (; slots[at] != 0; at = (at + 1) & mask) {
        const char *known = name_of(loader, slots[at] - 1);
        if (strncmp(known, name, length) == 0 && known[length] == '\0') {
            *id = slots[at] - 1;
            return true;
        }
    }
    if (!add_name(loader, name, length))
        return false;
    *id = loader->names.count - 1;
    slots[at] = static_cast<uint32_t>(loader->names.count);
    return true;
}

// A number field (limit=, timeout=) into *slot, which holds -1 until set.
static const char *parse_number(const char *at, const char *end, int maximum, int *slot, const char *bad,
                                const char *over, const char **next)
{
    const char *value_end = end_of_token(at, end);
    if (*slot != -1)
        return "name given twice";
    if (at == value_end)
        return bad;
    int value = 0;
    int outcome = read_decimal(at, value_end, maximum, &value);
    if (outcome < 0)
        return bad;
    if (outcome == 0)
        return over;
    *slot = value;
    *next = value_end;
    return nullptr;
}

// rate=N/B, or rate=none to exempt the network from -R.
static const char *parse_rate_field(const char *at, const char *end, rule_state *rule, const char **next)
{
    const char *value_end = end_of_token(at, end);
    if (rule->rate.per_second != -1)
        return "name given twice";
    if (token_is(at, value_end, "none"))
        rule->rate = {0, 0};
    else if (!parse_rate(at, value_end, &rule->rate))
        return "bad rate";
    *next = value_end;
    return nullptr;
}

// penalty=no: the network's sources are never penalised (-P).
static const char *parse_penalty_field(const char *at, const char *end, rule_state *rule, const char **next)
{
    const char *value_end = end_of_token(at, end);
    if (rule->no_penalty != -1)
        return "name given twice";
    if (!token_is(at, value_end, "no"))
        return "bad penalty";
    rule->no_penalty = 1;
    *next = value_end;
    return nullptr;
}

// Appends a double-quoted value, its escapes decoded; room was made for it.
static const char *parse_quoted(rules_loader *loader, const char *at, const char *end, const char **next)
{
    for (at++;; at++) {
        if (at == end)
            return "unterminated quote";
        char c = *at;
        if (c == '"')
            break;
        if (c == '\\') {
            if (++at == end)
                return "unterminated quote";
            switch (*at) {
            case '\\': c = '\\'; break;
            case '"': c = '"'; break;
            case 't': c = '\t'; break;
            case 'r': c = '\r'; break;
            case 'n': c = '\n'; break;
            default: return "bad escape";
            }
        }
        loader->entries.items[loader->entries.count++] = c;
    }
    at++;
    if (at < end && !is_blank(*at))
        return "text after the closing quote";
    *next = at;
    return nullptr;
}

// Escapes mean something only between quotes; a lone quote or backslash
// elsewhere is a mistake, not text.
static const char *parse_unquoted(rules_loader *loader, const char *at, const char *end, const char **next)
{
    const char *value_end = end_of_token(at, end);
    for (; at < value_end; at++) {
        if (*at == '"' || *at == '\\')
            return "quote or backslash outside quotes";
        loader->entries.items[loader->entries.count++] = *at;
    }
    *next = value_end;
    return nullptr;
}

static bool is_connection_variable(const char *name, size_t length)
{
    for (const char *variable : connection_variables)
        if (strlen(variable) == length && memcmp(variable, name, length) == 0)
            return true;
    return false;
}

static const char *parse_variable(rules_loader *loader, const char *name, size_t length, const char *value,
                                  const char *end, rule_state *rule, const char **next)
{
    if (is_connection_variable(name, length))
        return "variable set by the daemon";
    size_t id = 0;
    if (!find_name(loader, name, length, &id))
        return out_of_memory;
    if (loader->names.items[id].last_rule == rule->number)
        return "name given twice";
    loader->names.items[id].last_rule = rule->number;
    // The decoded text is never longer than the rest of the line.
    size_t most = length + 1 + static_cast<size_t>(end - value) + 1;
    if (!make_room(&loader->entries, most) || !make_room(&loader->variables, 1))
        return out_of_memory;
    size_t offset = loader->entries.count;
    memcpy(loader->entries.items + offset, name, length + 1);  // with its '='
    loader->entries.count += length + 1;
    const char *reason = *value == '"' ? parse_quoted(loader, value, end, next)
                                       : parse_unquoted(loader, value, end, next);
    if (reason != nullptr)
        return reason;
    loader->entries.items[loader->entries.count++] = '\0';
    loader->variables.items[loader->variables.count++] = {offset, id};
    rule->variable_count++;
    return nullptr;
}

static bool is_name_character(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// One NAME=VALUE field at at; *next is set past it.
static const char *parse_field(rules_loader *loader, const char *at, const char *end, rule_state *rule,
                               const char **next)
{
    const char *name = at;
    while (at < end && is_name_character(*at))
        at++;
    size_t length = static_cast<size_t>(at - name);
    if (at == end || *at != '=') {
        const char *token_end = end_of_token(name, end);
        return memchr(name, '=', static_cast<size_t>(token_end - name)) != nullptr ? "bad variable name"
                                                                                  : "field is not NAME=VALUE";
    }
    if (length == 0 || (name[0] >= '0' && name[0] <= '9'))
        return "bad variable name";
    if (token_is(name, at, "limit"))
        return parse_number(at + 1, end, longest_limit, &rule->limit, "bad limit", "limit over 1000000", next);
    if (token_is(name, at, "timeout"))
        return parse_number(at + 1, end, longest_timeout, &rule->timeout, "bad timeout", "timeout over 86400",
                            next);
    if (token_is(name, at, "rate"))
        return parse_rate_field(at + 1, end, rule, next);
    if (token_is(name, at, "penalty"))
        return parse_penalty_field(at + 1, end, rule, next);
    return parse_variable(loader, name, length, at + 1, end, rule, next);
}

template <typename network_type>
static const char *add_network(mapped_array<network_type> *networks, const parsed_network *parsed, uint32_t line,
                               bool deny, uint32_t fields)
{
    if (!make_room(networks, 1))
        return out_of_memory;
    network_type *network = &networks->items[networks->count++];
    memcpy(network->address, parsed->address, sizeof network->address);
    network->link = line;
    network->fields = fields;
    network->length = static_cast<uint8_t>(parsed->length);
    network->deny = deny;
    return nullptr;
}

static const char *add_rule(rules_loader *loader, const parsed_network *network, bool deny, const rule_state *rule)
{
    uint32_t fields = 0;
    if (rule->limit != -1 || rule->timeout != -1 || rule->rate.per_second != -1 || rule->no_penalty != -1 ||
        rule->variable_count > 0) {
        if (!make_room(&loader->fields, 1))
            return out_of_memory;
        size_t first = loader->variables.count - rule->variable_count;
        loader->fields.items[loader->fields.count++] = {rule->limit, rule->timeout, rule->rate,
                                                        rule->no_penalty == 1, static_cast<uint32_t>(first),
                                                        static_cast<uint32_t>(rule->variable_count)};
        fields = static_cast<uint32_t>(loader->fields.count);
    }
    uint32_t line = static_cast<uint32_t>(loader->line);
    if (network->family == AF_INET)
        return add_network(&loader->ipv4, network, line, deny, fields);
    return add_network(&loader->ipv6, network, line, deny, fields);
}

static const char *check_bytes(const char *line, const char *end)
{
    for (const char *at = line; at < end; at++) {
        unsigned char c = static_cast<unsigned char>(*at);
        if (c == '\0')
            return "nul byte";
        if ((c < ' ' && c != '\t') || c == 0x7f)
            return "control character";
    }
    return nullptr;
}

static const char *parse_action(const char *at, const char *end, bool *deny)
{
    if (at == end || *at == '#')
        return "missing action";
    const char *token_end = end_of_token(at, end);
    *deny = token_is(at, token_end, "deny");
    if (!*deny && !token_is(at, token_end, "allow"))
        return "action is neither allow nor deny";
    return nullptr;
}

// One line, its line end taken off: a rule, a comment or nothing.
static const char *parse_line(rules_loader *loader, const char *line, const char *end)
{
    if (static_cast<size_t>(end - line) > longest_line)
        return "line longer than 4096 bytes";
    const char *reason = check_bytes(line, end);
    const char *at = skip_blanks(line, end);
    if (reason != nullptr || at == end || *at == '#')
        return reason;
    // Indexes and lines are kept in 32 bits.
    if (loader->ipv4.count + loader->ipv6.count >= no_link - 1)
        return "too many rules";
    if (loader->line >= no_link)
        return "too many lines";
    parsed_network network;
    const char *token_end = end_of_token(at, end);
    if ((reason = parse_network(at, token_end, &network)) != nullptr)
        return reason;
    bool deny = false;
    at = skip_blanks(token_end, end);
    if ((reason = parse_action(at, end, &deny)) != nullptr)
        return reason;
    rule_state rule = {static_cast<uint32_t>(loader->ipv4.count + loader->ipv6.count + 1), -1, -1, {-1, 0}, -1, 0};
    for (at = skip_blanks(end_of_token(at, end), end); at < end && *at != '#'; at = skip_blanks(at, end)) {
        if (deny)
            return "fields after deny";
        if ((reason = parse_field(loader, at, end, &rule, &at)) != nullptr)
            return reason;
    }
    return add_rule(loader, &network, deny, &rule);
}

static void fail_unreadable(rules_loader *loader, int error)
{
    loader->failure = load_failure::unreadable;
    loader->read_error = error;
}

static void fail_at_line(rules_loader *loader, const char *reason)
{
    loader->failure = reason == out_of_memory ? load_failure::out_of_memory : load_failure::line;
    loader->failure_line = loader->line;
    loader->reason = reason;
}

// What becomes of one line, its line end taken off: a reason when it is wrong.
using line_handler = const char *(*)(rules_loader *loader, const char *line, const char *end);

// Hands every whole line of held bytes (and at the end of the file the last
// one, which may lack its line end) to handle; returns how many bytes that took.
static size_t split_lines(rules_loader *loader, const char *buffer, size_t held, bool at_end, line_handler handle)
{
    const char *at = buffer;
    const char *end = buffer + held;
    while (at < end) {
        const char *line_end = static_cast<const char *>(memchr(at, '\n', static_cast<size_t>(end - at)));
        if (line_end == nullptr && !at_end)
            break;
        const char *next = line_end != nullptr ? line_end + 1 : end;
        if (line_end == nullptr)
            line_end = end;
        if (line_end > at && line_end[-1] == '\r')
            line_end--;
        loader->line++;
        const char *reason = handle(loader, at, line_end);
        if (reason != nullptr) {
            fail_at_line(loader, reason);
            break;
        }
        at = next;
    }
    return static_cast<size_t>(at - buffer);
}

// The file in large reads, each line handled as soon as it is whole, up to
// its end or the first problem (the loader's failure).
static void read_lines(rules_loader *loader, int fd, line_handler handle)
{
    mapped_array<char> buffer = {};
    if (!make_room(&buffer, read_size)) {
        loader->failure = load_failure::out_of_memory;
        return;
    }
    for (;;) {
        ssize_t got = read(fd, buffer.items + buffer.count, buffer.capacity - buffer.count);
        if (got == -1) {
            fail_unreadable(loader, errno);
            break;
        }
        buffer.count += static_cast<size_t>(got);
        size_t used = split_lines(loader, buffer.items, buffer.count, got == 0, handle);
        if (loader->failure != load_failure::none || got == 0)
            break;
        buffer.count -= used;
        memmove(buffer.items, buffer.items + used, buffer.count);
        // What is left is the start of a line; with its \r it may still fit.
        if (buffer.count > longest_line + 1) {
            loader->line++;
            fail_at_line(loader, "line longer than 4096 bytes");
            break;
        }
    }
    release(&buffer);
}

// A line's share of a first reading that only counts: the first token of a
// rule holds a colon exactly when it is an IPv6 network.
static const char *count_line(rules_loader *loader, const char *line, const char *end)
{
    const char *at = skip_blanks(line, end);
    if (at == end || *at == '#')
        return nullptr;
    if (memchr(at, ':', static_cast<size_t>(end_of_token(at, end) - at)) != nullptr)
        loader->ipv6_lines++;
    else
        loader->ipv4_lines++;
    return nullptr;
}

// Sizes the arrays of networks once, from a first reading of the file:
// grown by doubling, they would be copied and their pages touched about
// twice over. Where a problem stops the count, they grow from what was
// counted, and the second reading reports the problem in its place among
// the lines.
static void reserve_networks(rules_loader *loader, int fd)
{
    read_lines(loader, fd, count_line);
    if (loader->failure == load_failure::line)
        loader->failure = load_failure::none;
    loader->line = 0;
    if (loader->failure != load_failure::none)
        return;
    if (lseek(fd, 0, SEEK_SET) == -1)
        fail_unreadable(loader, errno);
    else if (!make_room(&loader->ipv4, loader->ipv4_lines) || !make_room(&loader->ipv6, loader->ipv6_lines))
        loader->failure = load_failure::out_of_memory;
}

void free_rules_loader(rules_loader *loader)
{
    release(&loader->ipv4);
    release(&loader->ipv6);
    release(&loader->fields);
    release(&loader->variables);
    release(&loader->entries);
    release(&loader->names);
    release(&loader->name_text);
    release(&loader->name_slots);
}

void free_access_table(access_table *table)
{
    if (table == nullptr)
        return;
    release(&table->ipv4);
    release(&table->ipv6);
    release(&table->fields);
    release(&table->variables);
    release(&table->entries);
    release(&table->names);
    release(&table->name_text);
    free(table);
}

// The loader's arrays cut to size and handed to a new table, the offsets
// into its texts made pointers; null when memory ran out, the loader still
// owning everything.
access_table *build_access_table(rules_loader *loader)
{
    fit(&loader->ipv4);
    fit(&loader->ipv6);
    fit(&loader->fields);
    fit(&loader->entries);
    fit(&loader->name_text);
    release(&loader->name_slots);
    access_table *table = static_cast<access_table *>(calloc(1, sizeof *table));
    if (table == nullptr)
        return nullptr;
    if (!make_room(&table->names, loader->names.count) || !make_room(&table->variables, loader->variables.count)) {
        free_access_table(table);
        return nullptr;
    }
    for (const loaded_name *name = loader->names.items; table->names.count < loader->names.count; name++)
        table->names.items[table->names.count++] = loader->name_text.items + name->offset;
    for (const loaded_variable *variable = loader->variables.items; table->variables.count < loader->variables.count;
         variable++)
        table->variables.items[table->variables.count++] = {loader->entries.items + variable->entry_offset,
                                                            variable->name_id};
    fit(&table->names);
    fit(&table->variables);
    table->ipv4 = loader->ipv4;
    table->ipv6 = loader->ipv6;
    table->fields = loader->fields;
    table->entries = loader->entries;
    table->name_text = loader->name_text;
    loader->ipv4 = {};
    loader->ipv6 = {};
    loader->fields = {};
    loader->entries = {};
    loader->name_text = {};
    return table;
}

void report_rules_failure(const rules_loader *loader, void (*report)(const char *message))
{
    // The longest path the system opens, the line number and the longest reason.
    char message[4096 + 80];
    if (loader->failure == load_failure::out_of_memory) {
        report("out of memory");
        return;
    }
    // The one message with the system's words in it: why a file cannot be
    // read is what an operator needs to mend it.
    if (loader->failure == load_failure::unreadable)
        (void)snprintf(message, sizeof message, "unable to read %s: %s", loader->path,
                       loader->read_error != 0 ? strerror(loader->read_error) : "not a regular file");
    else
        (void)snprintf(message, sizeof message, "%s:%zu: %s", loader->path, loader->failure_line, loader->reason);
    report(message);
}

// The rules file, opened without ever waiting: a FIFO, a terminal or a
// device could hold the daemon in open() or read() for as long as nobody
// writes, serving no one. Only a regular file is read; -1 otherwise, with
// the loader's failure set.
static int open_rules_file(rules_loader *loader)
{
    int fd = open(loader->path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd == -1) {
        fail_unreadable(loader, errno);
        return -1;
    }
    struct stat status;
    int error = fstat(fd, &status) == -1 ? errno : 0;
    if (error != 0 || !S_ISREG(status.st_mode)) {
        fail_unreadable(loader, error);
        (void)close(fd);  // only opened: nothing can be lost
        return -1;
    }
    return fd;
}

void read_rules_file(rules_loader *loader)
{
    int fd = open_rules_file(loader);
    if (fd == -1)
        return;
    reserve_networks(loader, fd);
    if (loader->failure == load_failure::none)
        read_lines(loader, fd, parse_line);
    (void)close(fd);  // only read from: nothing can be lost
}

}  // namespace sockherd
