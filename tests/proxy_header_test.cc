// The PROXY protocol header: the parser on byte buffers, a bounded fuzz of
// it, and the reader on loopback connections.
#include "harness.h"
#include "sockherd.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <ctime>
#include <gtest/gtest.h>
#include <netinet/tcp.h>
#include <random>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace sockherd;
using namespace std::string_literals;

namespace {

const std::string signature = "\r\n\r\n\0\r\nQUIT\n"s;

// A version 2 fixed part.
std::string v2(int version_command, int family_transport, size_t announced)
{
    return signature + static_cast<char>(version_command) + static_cast<char>(family_transport) +
           static_cast<char>(announced >> 8) + static_cast<char>(announced & 0xff);
}

// The bytes of a numeric address, as a version 2 block holds them.
std::string raw(int family, const char *text)
{
    unsigned char bytes[16];
    EXPECT_EQ(inet_pton(family, text, bytes), 1) << text;
    return std::string(reinterpret_cast<char *>(bytes), family == AF_INET ? 4 : 16);
}

std::string raw_port(int port)
{
    return {static_cast<char>(port >> 8), static_cast<char>(port & 0xff)};
}

std::string tlv(int type, size_t size)
{
    return static_cast<char>(type) + raw_port(static_cast<int>(size)) + std::string(size, 'T');
}

// From an exactly sized heap copy, so that ASan sees any read past available.
int parse(const std::string &bytes, size_t available, proxy_header *header)
{
    std::vector<unsigned char> copy(bytes.begin(), bytes.begin() + static_cast<long>(available));
    return parse_proxy_header(copy.data(), copy.size(), header);
}

const std::string ipv4_block =
    raw(AF_INET, "192.0.2.1") + raw(AF_INET, "198.51.100.22") + raw_port(56324) + raw_port(443);
const std::string ipv6_block =
    raw(AF_INET6, "2001:db8::1") + raw(AF_INET6, "2001:db8::2") + raw_port(65535) + raw_port(0);
const std::string ipv6_tlvs = tlv(0x01, 2) + tlv(0x04, 300);
const std::string mapped_block =
    raw(AF_INET6, "::ffff:192.0.2.1") + raw(AF_INET6, "::1") + raw_port(80) + raw_port(8080);
const std::string longest_v1 =
    "PROXY UNKNOWN ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff 65535 65535\r\n";
const std::string longest_v6_text = "ffff:ffff:ffff:ffff:ffff:ffff:255.255.255.255";

struct valid_case {
    const char *name;
    std::string needed;       // the bytes the parser needs to decide
    std::string rest;         // the rest of the header: version 2 TLVs or a block that is not read
    const char *proto;        // nullptr: no addresses
    const char *source;
    int source_port;
    const char *destination;
    int destination_port;
};

const std::vector<valid_case> valid_cases = {
    {"v1 TCP4", "PROXY TCP4 192.0.2.1 198.51.100.22 56324 443\r\n", "", "TCP", "192.0.2.1", 56324, "198.51.100.22",
     443},
    {"v1 TCP4 ports 0 and 65535", "PROXY TCP4 0.0.0.0 255.255.255.255 0 65535\r\n", "", "TCP", "0.0.0.0", 0,
     "255.255.255.255", 65535},
    {"v1 TCP6", "PROXY TCP6 2001:db8::1 2001:DB8::2 65535 1\r\n", "", "TCP6", "2001:db8::1", 65535, "2001:db8::2", 1},
    {"v1 TCP6 mapped IPv4", "PROXY TCP6 ::ffff:192.0.2.1 ::1 80 8080\r\n", "", "TCP", "192.0.2.1", 80, "::1", 8080},
    {"v1 TCP6 longest address text", "PROXY TCP6 " + longest_v6_text + " ::1 1 2\r\n", "", "TCP6",
     "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", 1, "::1", 2},
    {"v1 UNKNOWN", "PROXY UNKNOWN\r\n", "", nullptr, nullptr, 0, nullptr, 0},
    {"v1 UNKNOWN with addresses", "PROXY UNKNOWN 192.0.2.1 198.51.100.22 1 2\r\n", "", nullptr, nullptr, 0, nullptr,
     0},
    {"v1 UNKNOWN of 107 bytes", longest_v1, "", nullptr, nullptr, 0, nullptr, 0},
    {"v2 IPv4", v2(0x21, 0x11, 12) + ipv4_block, "", "TCP", "192.0.2.1", 56324, "198.51.100.22", 443},
    {"v2 IPv6 with TLVs", v2(0x21, 0x21, 36 + ipv6_tlvs.size()) + ipv6_block, ipv6_tlvs, "TCP6",
     "2001:db8::1", 65535, "2001:db8::2", 0},
    {"v2 IPv6 mapped IPv4", v2(0x21, 0x21, 36) + mapped_block, "", "TCP", "192.0.2.1", 80, "::1", 8080},
    {"v2 IPv4 longest length", v2(0x21, 0x11, 65535) + ipv4_block, std::string(65535 - 12, 'T'), "TCP",
     "192.0.2.1", 56324, "198.51.100.22", 443},
    {"v2 LOCAL", v2(0x20, 0x00, 0), "", nullptr, nullptr, 0, nullptr, 0},
    {"v2 LOCAL with a block", v2(0x20, 0x11, 12), ipv4_block, nullptr, nullptr, 0, nullptr, 0},
    {"v2 LOCAL with an undefined family", v2(0x20, 0xff, 0), "", nullptr, nullptr, 0, nullptr, 0},
    {"v2 UNSPEC", v2(0x21, 0x00, 0), "", nullptr, nullptr, 0, nullptr, 0},
    {"v2 UNSPEC with TLVs", v2(0x21, 0x00, 5), tlv(0x01, 2), nullptr, nullptr, 0, nullptr, 0},
    {"v2 UDP over IPv4", v2(0x21, 0x12, 12), ipv4_block, nullptr, nullptr, 0, nullptr, 0},
    {"v2 IPv4 unspecified transport", v2(0x21, 0x10, 12), ipv4_block, nullptr, nullptr, 0, nullptr, 0},
    {"v2 UNIX stream", v2(0x21, 0x31, 216), std::string(216, 'u'), nullptr, nullptr, 0, nullptr, 0},
};

// Every beginning shorter than what the parser needs is undecided; from
// there on the header is complete and its length does not change, bytes of
// the client's own after it included.
TEST(ProxyHeaderParser, ValidHeadersCompleteOnceTheirAddressesAreIn)
{
    for (const auto &c : valid_cases) {
        SCOPED_TRACE(c.name);
        std::string bytes = c.needed + c.rest + "GET / HTTP/1.0\r\n";
        size_t length = c.needed.size() + c.rest.size();
        proxy_header header = {};
        for (size_t available = 0; available < c.needed.size(); available++)
            ASSERT_EQ(parse(bytes, available, &header), 0) << available;
        for (size_t available : {c.needed.size(), length, bytes.size()}) {
            header = {};
            ASSERT_EQ(parse(bytes, available, &header), 1) << available;
            EXPECT_EQ(header.length, length);
        }
        ASSERT_EQ(header.has_addresses, c.proto != nullptr);
        if (c.proto == nullptr)
            continue;
        EXPECT_STREQ(proto_name(&header.source), c.proto);
        EXPECT_STREQ(address_text(&header.source), c.source);
        EXPECT_EQ(address_port(&header.source), c.source_port);
        EXPECT_STREQ(address_text(&header.destination), c.destination);
        EXPECT_EQ(address_port(&header.destination), c.destination_port);
    }
}

struct malformed_case {
    const char *name;
    std::string rejected;  // the shortest beginning that is already malformed
    std::string rest;
};

const std::string v1_addresses = "PROXY TCP4 192.0.2.1 198.51.100.22 ";

const std::vector<malformed_case> malformed_cases = {
    {"HTTP request", "G", "ET / HTTP/1.0\r\n\r\n"},
    {"empty lines", "\r\n\r\nG", "ET"},
    {"lower case", "PROXY t", "cp4 192.0.2.1 198.51.100.22 1 2\r\n"},
    {"two spaces after PROXY", "PROXY  ", "TCP4 192.0.2.1 198.51.100.22 1 2\r\n"},
    {"unknown protocol", "PROXY TCP5", " 192.0.2.1 198.51.100.22 1 2\r\n"},
    {"TCP4 without addresses", "PROXY TCP4\r", "\n"},
    {"two spaces between addresses", "PROXY TCP4 192.0.2.1  ", "198.51.100.22 1 2\r\n"},
    {"bad address text", "PROXY TCP4 192.0.2.256 ", "198.51.100.22 1 2\r\n"},
    {"IPv4 text too long", "PROXY TCP4 1111111111111111", " 198.51.100.22 1 2\r\n"},
    {"IPv6 address in TCP4", "PROXY TCP4 :", ":1 ::1 1 2\r\n"},
    {"IPv4 address in TCP6", "PROXY TCP6 192.0.2.1 ", "::1 1 2\r\n"},
    {"bad IPv6 text", "PROXY TCP6 ::1 ::g", " 1 2\r\n"},
    {"IPv6 text too long", "PROXY TCP6 " + longest_v6_text + "0", " ::1 1 2\r\n"},
    {"port 65536", v1_addresses + "65536", " 443\r\n"},
    {"port with a leading zero", v1_addresses + "08", "0 443\r\n"},
    {"port 00", v1_addresses + "1 00", "\r\n"},
    {"empty port", v1_addresses + " ", "443\r\n"},
    {"signed port", v1_addresses + "+", "80 443\r\n"},
    {"no destination port", v1_addresses + "80\r", "\n"},
    {"space before CRLF", v1_addresses + "80 443 ", "\r\n"},
    {"lone LF", v1_addresses + "80 443\n", "GET"},
    {"lone CR", v1_addresses + "80 443\rG", "ET\r\n"},
    {"UNKNOWN with lone LF", "PROXY UNKNOWN\n", "GET"},
    {"UNKNOWN with LF inside", "PROXY UNKNOWN ab\n", "\r\n"},
    {"UNKNOWN with CR inside", "PROXY UNKNOWN a\rb", "\r\n"},
    {"UNKNOWN run on", "PROXY UNKNOWNX", "\r\n"},
    {"no CRLF within 107 bytes", "PROXY UNKNOWN " + std::string(93, 'x'), "\r\n"},
    {"CRLF ends at byte 108", "PROXY UNKNOWN " + std::string(92, 'x') + "\r", "\n"},
    {"TCP6 line beyond 107 bytes",
     ("PROXY TCP6 " + longest_v6_text + " " + longest_v6_text + " 65535 1").substr(0, 107), "5 1\r\n"},
    {"v2 wrong signature", signature.substr(0, 11) + "\r", "\x21\x11\x00\x0c"s + ipv4_block},
    {"v2 version 1", signature + "\x11", "\x11\x00\x0c"s + ipv4_block},
    {"v2 version 3", signature + "\x31", "\x11\x00\x0c"s + ipv4_block},
    {"v2 command 2", signature + "\x22", "\x11\x00\x0c"s + ipv4_block},
    {"v2 family 4", signature + "\x21\x41", "\x00\x0c"s + ipv4_block},
    {"v2 transport 3", signature + "\x21\x13", "\x00\x0c"s + ipv4_block},
    {"v2 IPv4 length short", v2(0x21, 0x11, 11), ipv4_block.substr(0, 11)},
    {"v2 IPv6 length short", v2(0x21, 0x21, 35), ipv6_block.substr(0, 35)},
    {"v2 UNIX length short", v2(0x21, 0x32, 215), std::string(215, 'u')},
};

TEST(ProxyHeaderParser, MalformedHeadersAreRejectedAtTheFirstByteThatShowsIt)
{
    for (const auto &c : malformed_cases) {
        SCOPED_TRACE(c.name);
        std::string bytes = c.rejected + c.rest;
        proxy_header header = {};
        for (size_t available = 0; available <= bytes.size(); available++)
            ASSERT_EQ(parse(bytes, available, &header), available < c.rejected.size() ? 0 : -1) << available;
    }
}

// "" when every beginning of bytes parses consistently with the longer ones.
std::string check_invariants(const std::string &bytes)
{
    int before = 0;
    proxy_header first = {};
    for (size_t available = 0; available <= bytes.size(); available++) {
        proxy_header header = {};
        int result = parse(bytes, available, &header);
        if (result < -1 || result > 1)
            return "result out of range";
        if (before != 0 && result != before)
            return "a longer input changed a decision";
        if (result == 0 && bytes[0] == 'P' && available >= 107)
            return "undecided at 107 bytes";
        if (result == 1 && before == 0)
            first = header;
        if (result == 1 && header.length != first.length)
            return "a longer input changed the length";
        before = result;
    }
    if (before != 1)
        return "";
    if (first.has_addresses && (first.source.any.sa_family != first.destination.any.sa_family ||
                                (first.source.any.sa_family != AF_INET && first.source.any.sa_family != AF_INET6)))
        return "addresses of no family, or of two";
    if (bytes[0] == 'P') {
        std::string line = bytes.substr(0, std::min(first.length, bytes.size()));
        if (first.length > 107 || line.size() != first.length || line.find_first_of("\r\n") != line.size() - 2 ||
            line.substr(line.size() - 2) != "\r\n")
            return "a version 1 header that is not one line ending in its only CRLF";
    } else {
        auto announced = [&bytes](size_t at) { return static_cast<size_t>(static_cast<unsigned char>(bytes[at])); };
        if (bytes.size() < 16 || first.length != 16 + (announced(14) << 8 | announced(15)))
            return "a version 2 length other than the one announced";
    }
    return "";
}

std::string hex(const std::string &bytes)
{
    std::string text;
    for (unsigned char byte : bytes)
        text += "0123456789abcdef"[byte >> 4] + std::string(1, "0123456789abcdef"[byte & 15]);
    return text;
}

// Random bytes behind likely beginnings, and valid headers with a few bytes
// changed, inserted, deleted or cut off. Fixed seed, bounded in time.
TEST(ProxyHeaderParser, FuzzedInputKeepsTheInvariants)
{
    const std::vector<std::string> beginnings = {"", "P", "PROXY ", "PROXY TCP4 ", "PROXY TCP6 ", "PROXY UNKNOWN",
                                                 signature, signature + "\x21", signature + "\x20"};
    const std::string interesting = " \r\n0123456789.:abcdefP\x00\x01\x0c\x11\x21\x24\xff"s;
    std::vector<std::string> headers;
    for (const auto &c : valid_cases)
        if (c.needed.size() + c.rest.size() < 400)
            headers.push_back(c.needed + c.rest + "GET");
    std::mt19937 random(13);
    auto below = [&random](size_t bound) { return static_cast<size_t>(random() % bound); };
    auto stop = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
    int cases = 0;
    for (; cases < 200000 && std::chrono::steady_clock::now() < stop; cases++) {
        std::string bytes;
        if (below(4) == 0) {
            bytes = beginnings[below(beginnings.size())];
            for (size_t n = below(120); n > 0; n--)
                bytes += below(2) == 0 ? interesting[below(interesting.size())] : static_cast<char>(below(256));
        } else {
            bytes = headers[below(headers.size())];
            for (size_t edits = 1 + below(3); edits > 0 && !bytes.empty(); edits--) {
                size_t at = below(bytes.size());
                char byte = below(2) == 0 ? interesting[below(interesting.size())] : static_cast<char>(below(256));
                switch (below(4)) {
                case 0: bytes[at] = byte; break;
                case 1: bytes.insert(at, 1, byte); break;
                case 2: bytes.erase(at, 1); break;
                default: bytes.resize(at); break;
                }
            }
        }
        if (bytes.empty())
            continue;
        ASSERT_EQ(check_invariants(bytes), "") << hex(bytes);
    }
    EXPECT_GT(cases, 1000);
}

// The published CRC32C check values, whole and in two parts: a checksum
// carried from one piece of a header to the next must come out the same.
TEST(Crc32c, MatchesPublishedCheckValues)
{
    std::string ascending;
    for (int i = 0; i < 32; i++)
        ascending += static_cast<char>(i);
    const struct {
        const char *name;
        std::string bytes;
        uint32_t crc;
    } vectors[] = {
        {"32 zero bytes", std::string(32, '\0'), 0x8A9136AAU},
        {"32 0xFF bytes", std::string(32, '\xff'), 0x62A8AB43U},
        {"0 to 31", ascending, 0x46DD794EU},
        {"31 to 0", std::string(ascending.rbegin(), ascending.rend()), 0x113FDB5CU},
        {"123456789", "123456789", 0xE3069283U},
    };
    for (const auto &v : vectors) {
        SCOPED_TRACE(v.name);
        const auto *data = reinterpret_cast<const unsigned char *>(v.bytes.data());
        size_t half = v.bytes.size() / 2;
        EXPECT_EQ(~crc32c_update(0xFFFFFFFFU, data, v.bytes.size()), v.crc);
        EXPECT_EQ(~crc32c_update(crc32c_update(0xFFFFFFFFU, data, half), data + half, v.bytes.size() - half), v.crc);
    }
}

// A connected loopback TCP pair: [0] is read, [1] written without delay.
void tcp_pair(int ends[2])
{
    int listening = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_NE(listening, -1);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ASSERT_EQ(bind(listening, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listening, 1), 0);
    ASSERT_EQ(getsockname(listening, reinterpret_cast<sockaddr *>(&address), &size), 0);
    ends[1] = harness::connect_loopback(ntohs(address.sin_port));
    ends[0] = accept4(listening, nullptr, nullptr, SOCK_CLOEXEC);
    close(listening);
    ASSERT_NE(ends[1], -1);
    ASSERT_NE(ends[0], -1);
    int one = 1;
    ASSERT_EQ(setsockopt(ends[1], IPPROTO_TCP, TCP_NODELAY, &one, sizeof one), 0);
}

struct reader_case {
    const char *name;
    std::vector<std::string> pieces;  // sent with a pause before each but the first
    bool close_after;                 // the peer closes once it has sent them
    int deadline_ms;
    size_t length;                    // of the header read, or 0: the reader fails
    bool until_deadline;              // a failure that has to wait for the deadline
};

const std::string v1_line = "PROXY TCP4 192.0.2.1 198.51.100.22 56324 443\r\n";
const std::string v2_ipv4 = v2(0x21, 0x11, 12) + ipv4_block;

// header with the four zero bytes at value_at, a CRC32C TLV's value, set to
// the checksum of the whole header, its bits in flip inverted.
std::string checksummed(std::string header, size_t value_at, uint32_t flip = 0)
{
    uint32_t crc = ~crc32c_update(0xFFFFFFFFU, reinterpret_cast<const unsigned char *>(header.data()), header.size());
    crc ^= flip;
    for (size_t i = 0; i < 4; i++)
        header[value_at + i] = static_cast<char>(crc >> (24 - 8 * i));
    return header;
}

// A CRC32C TLV between two others, its value (at byte 36) still zero.
const std::string v2_crc_unset =
    v2(0x21, 0x11, 12 + 19) + ipv4_block + tlv(0x04, 2) + "\x03\x00\x04"s + std::string(4, '\0') + tlv(0x01, 4);
const std::string v2_crc = checksummed(v2_crc_unset, 36);
const std::string v2_crc_one_bit_off = checksummed(v2_crc_unset, 36, 1U << 17);

const std::vector<reader_case> reader_cases = {
    {"v1 then data", {v1_line + "\r\nGET / HTTP/1.0\r\n"}, true, 5000, v1_line.size(), false},
    {"v1 in pieces", {"PROXY TCP4 192.0", ".2.1 198.51.100.22 56324 443\r", "\nP", "ROXY"}, true, 5000,
     v1_line.size(), false},
    {"v1 then end of file", {v1_line}, true, 5000, v1_line.size(), false},
    {"v2 then data", {v2_ipv4 + "\r\n\r\n"}, true, 5000, 28, false},
    {"v2 in pieces", {signature.substr(0, 5), signature.substr(5) + "\x21", "\x11\x00\x0c"s, ipv4_block + "data"},
     true, 5000, 28, false},
    {"v2 TLVs larger than the buffer", {v2(0x21, 0x21, 36 + 3003) + ipv6_block + tlv(0x04, 3000) + "data"}, true,
     5000, 16 + 36 + 3003, false},
    {"v2 TLVs in pieces", {v2(0x21, 0x11, 12 + 1603) + ipv4_block + tlv(0x04, 1600).substr(0, 700),
                           tlv(0x04, 1600).substr(700) + "\x01"}, true, 5000, 16 + 12 + 1603, false},
    {"v2 LOCAL then a v1 line", {v2(0x20, 0x00, 0) + v1_line}, true, 5000, 16, false},
    {"v2 CRC32C, its value split over two pieces", {v2_crc.substr(0, 38), v2_crc.substr(38) + "data"}, true, 5000,
     v2_crc.size(), false},
    {"peer closes inside v1", {"PROXY TCP4 192.0.2.1 "}, true, 5000, 0, false},
    {"peer closes inside v2 TLVs", {v2(0x21, 0x11, 12 + 100) + ipv4_block + "abc"}, true, 5000, 0, false},
    {"silence", {}, false, 300, 0, true},
    {"half a header, then silence", {"PROXY TCP4 "}, false, 300, 0, true},
    {"no CRLF within 107 bytes", {"PROXY UNKNOWN " + std::string(100, 'x')}, false, 10000, 0, false},
    {"plain HTTP client", {"GET / HTTP/1.0\r\n\r\n"}, false, 10000, 0, false},
    {"v2 CRC32C one bit off", {v2_crc_one_bit_off + "data"}, false, 10000, 0, false},
};

// The reader on a real connection: it takes the header and nothing more, so
// the next reader gets the client's bytes intact from the first; it gives up
// at the deadline without spinning, and at once on what is malformed.
TEST(ProxyHeaderReader, TakesExactlyTheHeaderWithinTheDeadline)
{
    for (const auto &c : reader_cases) {
        SCOPED_TRACE(c.name);
        int ends[2];
        ASSERT_NO_FATAL_FAILURE(tcp_pair(ends));
        std::thread peer([&c, &ends] {
            for (size_t i = 0; i < c.pieces.size(); i++) {
                if (i > 0)
                    std::this_thread::sleep_for(std::chrono::milliseconds(50));
                (void)harness::write_all(ends[1], c.pieces[i]);
            }
            if (c.close_after)
                close(ends[1]);
        });
        auto started = std::chrono::steady_clock::now();  // the same clock, read first
        timespec deadline;
        ASSERT_EQ(clock_gettime(CLOCK_MONOTONIC, &deadline), 0);
        deadline.tv_sec += c.deadline_ms / 1000;
        deadline.tv_nsec += (c.deadline_ms % 1000) * 1000000L;
        if (deadline.tv_nsec >= 1000000000L) {
            deadline.tv_sec++;
            deadline.tv_nsec -= 1000000000L;
        }
        timespec cpu_before;
        ASSERT_EQ(clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu_before), 0);
        proxy_header header = {};
        int result = read_proxy_header(ends[0], &deadline, &header);
        auto elapsed = std::chrono::steady_clock::now() - started;
        timespec cpu_after;
        ASSERT_EQ(clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu_after), 0);
        peer.join();
        if (c.length > 0) {
            EXPECT_EQ(result, 0);
            EXPECT_EQ(header.length, c.length);
            std::string sent;
            for (const auto &piece : c.pieces)
                sent += piece;
            EXPECT_EQ(harness::read_to_eof(ends[0]), sent.substr(c.length));
        } else {
            EXPECT_EQ(result, -1);
        }
        if (c.until_deadline) {
            double cpu_ms =
                (cpu_after.tv_sec - cpu_before.tv_sec) * 1e3 + (cpu_after.tv_nsec - cpu_before.tv_nsec) / 1e6;
            EXPECT_GE(elapsed, std::chrono::milliseconds(c.deadline_ms));
            EXPECT_LT(elapsed, std::chrono::milliseconds(c.deadline_ms + 5000));
            EXPECT_LT(cpu_ms, c.deadline_ms / 2) << "the wait spins";
        } else {
            EXPECT_LT(elapsed, std::chrono::milliseconds(c.deadline_ms)) << "waited for the deadline";
        }
        close(ends[0]);
        if (!c.close_after)
            close(ends[1]);
    }
}

}  // namespace
