#include "sockherd.h"

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstring>
#include <poll.h>

namespace sockherd {

// The longest version 1 header, CRLF included.
constexpr size_t v1_max_length = 107;

constexpr unsigned char v2_signature[12] = {0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D, 0x0A, 0x51, 0x55, 0x49, 0x54, 0x0A};
// Signature, version and command, family and transport, length.
constexpr size_t v2_fixed_length = 16;
constexpr unsigned v2_command_proxy = 1;
constexpr unsigned v2_family_inet = 1;
constexpr unsigned v2_family_inet6 = 2;
constexpr unsigned v2_family_unix = 3;
constexpr unsigned v2_transport_stream = 1;
constexpr unsigned v2_transport_dgram = 2;
// The address block of each family, indexed by the family: UNSPEC, INET, INET6, UNIX.
constexpr size_t v2_block_length[4] = {0, 12, 36, 216};

// TLVs are thrown away through this much stack at a time.
constexpr size_t discard_chunk = 512;

// Fills address from raw address bytes of family and a port in network order.
static void set_address(socket_address *address, int family, const void *bytes, const void *port)
{
    *address = socket_address{};
    if (family == AF_INET) {
        address->v4.sin_family = AF_INET;
        memcpy(&address->v4.sin_addr, bytes, sizeof address->v4.sin_addr);
        memcpy(&address->v4.sin_port, port, sizeof address->v4.sin_port);
    } else {
        address->v6.sin6_family = AF_INET6;
        memcpy(&address->v6.sin6_addr, bytes, sizeof address->v6.sin6_addr);
        memcpy(&address->v6.sin6_port, port, sizeof address->v6.sin6_port);
    }
}

// Where a version 1 parse stands. end never passes the longest header, so
// no step looks further than a header may reach.
struct v1_cursor {
    const unsigned char *data;
    size_t end;
    size_t at;
};

// A step that needs the byte at c->at and does not have it: still a valid
// beginning, unless that byte would lie beyond the longest header.
static int v1_out_of_bytes(const v1_cursor *c)
{
    return c->at >= v1_max_length ? -1 : 0;
}

// Steps over text when the bytes spell it; 0 when they only begin it.
static int v1_literal(v1_cursor *c, const char *text)
{
    size_t length = strlen(text);
    for (size_t i = 0; i < length; i++, c->at++) {
        if (c->at == c->end)
            return v1_out_of_bytes(c);
        if (c->data[c->at] != static_cast<unsigned char>(text[i]))
            return -1;
    }
    return 1;
}

// An address of family, then a space. A byte that no address text holds, or
// one too many, fails at once; the text as a whole is judged at its space.
static int v1_address(v1_cursor *c, int family, unsigned char *bytes)
{
    const char *allowed = family == AF_INET ? "0123456789." : "0123456789abcdefABCDEF:.";
    size_t longest = family == AF_INET ? INET_ADDRSTRLEN - 1 : INET6_ADDRSTRLEN - 1;
    size_t start = c->at;
    for (;;) {
        if (c->at == c->end)
            return v1_out_of_bytes(c);
        unsigned char byte = c->data[c->at];
        if (byte == ' ')
            break;
        if (byte == '\0' || strchr(allowed, byte) == nullptr || c->at - start == longest)
            return -1;
        c->at++;
    }
    char text[INET6_ADDRSTRLEN];
    memcpy(text, c->data + start, c->at - start);
    text[c->at - start] = '\0';
    if (inet_pton(family, text, bytes) != 1)
        return -1;
    c->at++;
    return 1;
}

// A decimal port, 0 to 65535 with no sign and no leading zero, then the byte after.
static int v1_port(v1_cursor *c, unsigned char after, in_port_t *port)
{
    size_t start = c->at;
    unsigned long value = 0;
    for (;;) {
        if (c->at == c->end)
            return v1_out_of_bytes(c);
        unsigned char byte = c->data[c->at];
        if (byte == after && c->at > start)
            break;
        if (byte < '0' || byte > '9' || (c->at > start && value == 0))
            return -1;
        value = value * 10 + (byte - '0');
        if (value > 65535)
            return -1;
        c->at++;
    }
    c->at++;
    *port = htons(static_cast<uint16_t>(value));
    return 1;
}

// After "TCP4 " or "TCP6 ": source, destination, their ports, CRLF.
static int parse_v1_addresses(v1_cursor *c, int family, proxy_header *header)
{
    unsigned char source[sizeof(in6_addr)];
    unsigned char destination[sizeof(in6_addr)];
    in_port_t source_port = 0;
    in_port_t destination_port = 0;
    int step;
    if ((step = v1_address(c, family, source)) != 1 || (step = v1_address(c, family, destination)) != 1 ||
        (step = v1_port(c, ' ', &source_port)) != 1 || (step = v1_port(c, '\r', &destination_port)) != 1 ||
        (step = v1_literal(c, "\n")) != 1)
        return step;
    header->length = c->at;
    header->has_addresses = true;
    set_address(&header->source, family, source, &source_port);
    set_address(&header->destination, family, destination, &destination_port);
    return 1;
}

// After "UNKNOWN": CRLF, or a space and anything but CR and LF up to the CRLF.
static int parse_v1_unknown(v1_cursor *c, proxy_header *header)
{
    if (c->at < c->end && c->data[c->at] == ' ')
        while (c->at < c->end && c->data[c->at] != '\r' && c->data[c->at] != '\n')
            c->at++;
    int step = v1_literal(c, "\r\n");
    if (step != 1)
        return step;
    *header = proxy_header{};
    header->length = c->at;
    return 1;
}

static int parse_v1(const unsigned char *data, size_t available, proxy_header *header)
{
    v1_cursor c = {data, available < v1_max_length ? available : v1_max_length, 0};
    int step = v1_literal(&c, "PROXY ");
    if (step != 1)
        return step;
    // "TCP4 " and "TCP6 " share a beginning: a partial match of either is a valid one.
    const char *protocols[] = {"TCP4 ", "TCP6 ", "UNKNOWN"};
    for (size_t i = 0; i < 3; i++) {
        v1_cursor attempt = c;
        if ((step = v1_literal(&attempt, protocols[i])) == 0)
            return 0;
        if (step == -1)
            continue;
        // A parse that fails or runs short leaves the caller's header alone.
        proxy_header found;
        if (i == 2)
            step = parse_v1_unknown(&attempt, &found);
        else
            step = parse_v1_addresses(&attempt, i == 0 ? AF_INET : AF_INET6, &found);
        if (step == 1)
            *header = found;
        return step;
    }
    return -1;
}

// -1 when the bytes at hand already break the fixed part, else 0.
static int check_v2_fixed_part(const unsigned char *data, size_t available)
{
    size_t compared = available < sizeof v2_signature ? available : sizeof v2_signature;
    if (memcmp(data, v2_signature, compared) != 0)
        return -1;
    if (available > 12 && ((data[12] >> 4) != 2 || (data[12] & 0x0F) > v2_command_proxy))
        return -1;
    // A LOCAL header's family and transport are not looked at.
    if (available > 13 && (data[12] & 0x0F) == v2_command_proxy &&
        ((data[13] >> 4) > v2_family_unix || (data[13] & 0x0F) > v2_transport_dgram))
        return -1;
    return 0;
}

static int parse_v2(const unsigned char *data, size_t available, proxy_header *header)
{
    if (check_v2_fixed_part(data, available) == -1)
        return -1;
    if (available < v2_fixed_length)
        return 0;
    bool proxied = (data[12] & 0x0F) == v2_command_proxy;
    unsigned family = proxied ? data[13] >> 4 : 0;
    size_t announced = static_cast<size_t>(data[14]) << 8 | data[15];
    if (announced < v2_block_length[family])
        return -1;
    bool tcp = proxied && (data[13] & 0x0F) == v2_transport_stream &&
               (family == v2_family_inet || family == v2_family_inet6);
    if (!tcp) {
        *header = proxy_header{};
        header->length = v2_fixed_length + announced;
        return 1;
    }
    if (available < v2_fixed_length + v2_block_length[family])
        return 0;
    // Source address, destination address, source port, destination port.
    const unsigned char *block = data + v2_fixed_length;
    size_t size = family == v2_family_inet ? 4 : 16;
    int socket_family = family == v2_family_inet ? AF_INET : AF_INET6;
    header->length = v2_fixed_length + announced;
    header->has_addresses = true;
    set_address(&header->source, socket_family, block, block + 2 * size);
    set_address(&header->destination, socket_family, block + size, block + 2 * size + 2);
    return 1;
}

int parse_proxy_header(const unsigned char *data, size_t available, proxy_header *header)
{
    if (available == 0)
        return 0;
    if (data[0] == 'P')
        return parse_v1(data, available, header);
    if (data[0] == v2_signature[0])
        return parse_v2(data, available, header);
    return -1;
}

// 0 once conn is readable (or has hung up), -1 when the deadline passes or poll fails.
static int wait_readable(int conn, const timespec *deadline)
{
    for (;;) {
        timespec now;
        if (clock_gettime(CLOCK_MONOTONIC, &now) == -1)
            return -1;
        time_t seconds = deadline->tv_sec - now.tv_sec;
        long nanoseconds = deadline->tv_nsec - now.tv_nsec;
        if (seconds < 0 || (seconds == 0 && nanoseconds <= 0))
            return -1;
        // Rounded up: a wait cut short by rounding down would poll again at once.
        long long left_ms = INT_MAX;
        if (seconds < INT_MAX / 1000)
            left_ms = (static_cast<long long>(seconds) * 1000000000 + nanoseconds + 999999) / 1000000;
        pollfd readable = {conn, POLLIN, 0};
        int ready = poll(&readable, 1, static_cast<int>(left_ms));
        if (ready == -1)
            return -1;
        if (ready > 0)
            return 0;
    }
}

// One recv of at most size bytes, waiting for some until the deadline.
// The count received, or -1 at end of file, on failure or at the deadline.
static ssize_t receive(int conn, const timespec *deadline, unsigned char *into, size_t size, int flags)
{
    for (;;) {
        ssize_t got = recv(conn, into, size, flags | MSG_DONTWAIT);
        if (got > 0)
            return got;
        if (got == 0 || errno != EAGAIN)
            return -1;
        if (wait_readable(conn, deadline) == -1)
            return -1;
    }
}

static int receive_exactly(int conn, const timespec *deadline, unsigned char *into, size_t count)
{
    while (count > 0) {
        ssize_t got = receive(conn, deadline, into, count, 0);
        if (got == -1)
            return -1;
        into += got;
        count -= static_cast<size_t>(got);
    }
    return 0;
}

static int discard(int conn, const timespec *deadline, size_t count)
{
    unsigned char scratch[discard_chunk];
    while (count > 0) {
        size_t chunk = count < sizeof scratch ? count : sizeof scratch;
        if (receive_exactly(conn, deadline, scratch, chunk) == -1)
            return -1;
        count -= chunk;
    }
    return 0;
}

int read_proxy_header(int conn, const timespec *deadline, proxy_header *header)
{
    // Room for the longest version 1 header, which also holds a version 2
    // fixed part with the largest address block that is kept.
    unsigned char buffer[v1_max_length];
    size_t taken = 0;  // bytes consumed from conn, every one of them the header's
    for (;;) {
        ssize_t got = receive(conn, deadline, buffer + taken, sizeof buffer - taken, MSG_PEEK);
        if (got == -1)
            return -1;
        size_t seen = taken + static_cast<size_t>(got);
        int parsed = parse_proxy_header(buffer, seen, header);
        if (parsed == -1)
            return -1;
        if (parsed == 1) {
            size_t in_buffer = header->length < seen ? header->length : seen;
            if (receive_exactly(conn, deadline, buffer + taken, in_buffer - taken) == -1)
                return -1;
            return discard(conn, deadline, header->length - in_buffer);
        }
        // Undecided, so every byte seen is the header's: take them, and the
        // next peek waits for new ones instead of finding these again.
        if (seen == sizeof buffer || receive_exactly(conn, deadline, buffer + taken, seen - taken) == -1)
            return -1;
        taken = seen;
    }
}

}  // namespace sockherd
