#include "sockherd.h"

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstring>
#include <poll.h>

namespace sockherd {


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

// The TLV that carries a CRC32C of the whole header.
constexpr unsigned pp2_type_crc32c = 0x03;

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

// CRC32C (Castagnoli, reflected), one byte at a time through a table made on
// first use: headers are short, and a 64 KiB one is read over many passes.
static uint32_t crc32c_table[256];

static void make_crc32c_table()
{
    for (uint32_t byte = 0; byte < 256; byte++) {
        uint32_t value = byte;
        for (int bit = 0; bit < 8; bit++)
            value = (value >> 1) ^ (0x82F63B78U & (0U - (value & 1)));
        crc32c_table[byte] = value;
    }
}

uint32_t crc32c_update(uint32_t crc, const unsigned char *data, size_t count)
{
    if (crc32c_table[1] == 0)
        make_crc32c_table();
    for (size_t i = 0; i < count; i++)
        crc = crc32c_table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return crc;
}

// Where the TLVs of a version 2 header begin, or 0 when there is nothing to
// look at: a version 1 header, or a family whose address block we cannot size.
static size_t v2_tlv_start(const header_reading *r)
{
    if (r->head[0] != v2_signature[0])
        return 0;
    unsigned family = r->head[13] >> 4;
    if (family > v2_family_unix || v2_fixed_length + v2_block_length[family] > r->header.length)
        return 0;
    return v2_fixed_length + v2_block_length[family];
}

// One byte of a version 2 header at offset at, into the checksum. A CRC32C
// TLV's value is read aside and counted as zeros, as the sender computed it.
// -1 when the TLV is not the four bytes the checksum takes, or comes twice.
static int take_v2_byte(header_reading *r, size_t at, unsigned char byte)
{
    if (r->tlv_at != 0 && at >= r->tlv_at) {
        size_t offset = at - r->tlv_at;
        if (offset == 0) {
            r->tlv_type = byte;
        } else if (offset == 1) {
            r->tlv_length = byte;
        } else if (offset == 2) {
            r->tlv_length = r->tlv_length << 8 | byte;
            if (r->tlv_type == pp2_type_crc32c && (r->has_checksum || r->tlv_length != 4))
                return -1;
            if (r->tlv_type == pp2_type_crc32c) {
                r->has_checksum = true;
                r->checksum_at = at + 1;
            }
            r->tlv_at = at + 1 + r->tlv_length;
        }
    }
    if (r->has_checksum && at >= r->checksum_at && at < r->checksum_at + 4) {
        r->checksum_sent = r->checksum_sent << 8 | byte;
        byte = 0;
    }
    r->checksum = crc32c_update(r->checksum, &byte, 1);
    return 0;
}

// The bytes at [taken, taken + count) of the header, as they are consumed.
static int take_header_bytes(header_reading *r, const unsigned char *bytes, size_t count)
{
    if (!r->is_v2) {
        r->taken += count;
        return 0;
    }
    for (size_t i = 0; i < count; i++, r->taken++)
        if (take_v2_byte(r, r->taken, bytes[i]) == -1)
            return -1;
    return 0;
}

// Takes exactly count bytes that a peek has already shown us: they are in the
// socket, so this cannot wait.
static int consume(int conn, unsigned char *into, size_t count)
{
    while (count > 0) {
        ssize_t got = recv(conn, into, count, MSG_DONTWAIT);
        if (got <= 0)
            return -1;
        into += got;
        count -= static_cast<size_t>(got);
    }
    return 0;
}

// What has arrived, peeked at and parsed; only bytes known to be the header's
// are consumed, so the command gets every byte after it. 1 once the parser
// has found where the header ends.
static int take_head(int conn, header_reading *r)
{
    ssize_t got = recv(conn, r->head + r->taken, sizeof r->head - r->taken, MSG_PEEK | MSG_DONTWAIT);
    if (got == 0)
        return -1;
    if (got == -1)
        return errno == EAGAIN || errno == EINTR ? 0 : -1;
    size_t seen = r->taken + static_cast<size_t>(got);
    int parsed = parse_proxy_header(r->head, seen, &r->header);
    if (parsed == -1 || (parsed == 0 && seen == sizeof r->head))
        return -1;
    // Undecided, every byte seen is the header's: take them, so that the next
    // peek finds only new ones.
    size_t keep = parsed == 1 && r->header.length < seen ? r->header.length : seen;
    if (consume(conn, r->head + r->taken, keep - r->taken) == -1)
        return -1;
    if (parsed == 0) {
        r->taken = keep;
        return 0;
    }
    r->is_v2 = r->head[0] == v2_signature[0];
    r->checksum = 0xFFFFFFFFU;
    r->tlv_at = v2_tlv_start(r);
    r->taken = 0;
    return take_header_bytes(r, r->head, keep) == -1 ? -1 : 1;
}

// The rest of a header whose end is known (a version 2 header's TLVs), taken
// through a small buffer and thrown away once counted into the checksum.
static int take_rest(int conn, header_reading *r)
{
    unsigned char chunk[4096];
    while (r->taken < r->header.length) {
        size_t left = r->header.length - r->taken;
        ssize_t got = recv(conn, chunk, left < sizeof chunk ? left : sizeof chunk, MSG_DONTWAIT);
        if (got == 0)
            return -1;
        if (got == -1)
            return errno == EAGAIN || errno == EINTR ? 0 : -1;
        if (take_header_bytes(r, chunk, static_cast<size_t>(got)) == -1)
            return -1;
    }
    if (r->has_checksum && ~r->checksum != r->checksum_sent)
        return -1;
    return 1;
}

int continue_proxy_header(int conn, header_reading *reading)
{
    if (!reading->found_end) {
        int step = take_head(conn, reading);
        if (step != 1)
            return step;
        reading->found_end = true;
    }
    return take_rest(conn, reading);
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

int read_proxy_header(int conn, const timespec *deadline, proxy_header *header)
{
    header_reading reading = {};
    for (;;) {
        int step = continue_proxy_header(conn, &reading);
        if (step == 1) {
            *header = reading.header;
            return 0;
        }
        if (step == -1 || wait_readable(conn, deadline) == -1)
            return -1;
    }
}

}  // namespace sockherd
