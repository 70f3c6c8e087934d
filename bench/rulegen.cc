// Writes a big access rules file (-A) on standard output, for the benchmark
// and the tests:
//
//   rulegen [-c NETWORK] [-s SEED] COUNT > rules
//
// COUNT rules, half IPv4 and half IPv6, nested five deep and side by side:
// per IPv4 /16 (from 11.0.0.0, never in 127.0.0.0/8 or above 223.255.255.255)
// the /16, and sixteen times a /24, the /24 beside it, a /28 in the first and
// a /32 in that; their /8 where a /8 begins; the same shape per IPv6 /32 from
// 2400::/32 (/24, /32, /48, /64, /128). Every fourth rule denies; one in
// 50,000 allows with a limit and a variable. With -c, one of the COUNT rules
// is NETWORK's own: "NETWORK allow RULE=client NOTE="generated client"",
// and no generated rule is the same network. The lines come shuffled (SEED,
// default 1), as an operator's file would not be sorted.
#include <algorithm>
#include <arpa/inet.h>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

struct network {
    int family;
    uint32_t words[4];
    int length;
};

bool same(const network &a, const network &b)
{
    return a.family == b.family && a.length == b.length && memcmp(a.words, b.words, sizeof a.words) == 0;
}

std::string text_of(const network &net)
{
    unsigned char bytes[16];
    for (int i = 0; i < 4; i++)
        for (int b = 0; b < 4; b++)
            bytes[4 * i + b] = static_cast<unsigned char>(net.words[i] >> (24 - 8 * b));
    char text[INET6_ADDRSTRLEN];
    inet_ntop(net.family, bytes, text, sizeof text);
    return std::string(text) + "/" + std::to_string(net.length);
}

bool parse_network(const char *text, network &net)
{
    std::string address = text;
    size_t slash = address.find('/');
    net = {};
    net.family = address.find(':') != std::string::npos ? AF_INET6 : AF_INET;
    net.length = net.family == AF_INET ? 32 : 128;
    if (slash != std::string::npos) {
        net.length = atoi(address.c_str() + slash + 1);
        address.resize(slash);
    }
    unsigned char bytes[16] = {};
    if (inet_pton(net.family, address.c_str(), bytes) != 1)
        return false;
    for (int i = 0; i < 4; i++)
        net.words[i] = static_cast<uint32_t>(bytes[4 * i]) << 24 | bytes[4 * i + 1] << 16 | bytes[4 * i + 2] << 8 |
                       bytes[4 * i + 3];
    return true;
}

class generator {
public:
    generator(size_t wanted, const network *client) : wanted_(wanted), client_(client) {}

    std::vector<std::string> lines;

    void add(const network &net)
    {
        if (lines.size() >= wanted_ || (client_ != nullptr && same(net, *client_)))
            return;
        std::string line = text_of(net);
        size_t number = lines.size();
        if (number % 4 == 3)
            line += " deny";
        else if (number % 50000 == 1)
            line += " allow limit=" + std::to_string(number % 97) + " SERIAL=" + std::to_string(number);
        else
            line += " allow";
        lines.push_back(line);
    }
    bool full() const { return lines.size() >= wanted_; }
    void next_family(size_t wanted) { wanted_ += wanted; }

private:
    size_t wanted_;
    const network *client_;
};

void ipv4_rules(generator &out)
{
    for (uint32_t block = 11 << 8; !out.full() && block < 224 << 8; block++) {
        if (block >> 8 == 127)
            continue;
        uint32_t base = block << 16;
        if ((block & 0xff) == 0)
            out.add({AF_INET, {base & 0xff000000}, 8});
        out.add({AF_INET, {base}, 16});
        for (uint32_t z = 0; z < 16; z++) {
            uint32_t slash24 = base | (z * 16) << 8;
            out.add({AF_INET, {slash24}, 24});
            out.add({AF_INET, {slash24 + 256}, 24});
            out.add({AF_INET, {slash24}, 28});
            out.add({AF_INET, {slash24 + 1}, 32});
        }
    }
}

void ipv6_rules(generator &out)
{
    for (uint32_t block = 0; !out.full() && block < 1 << 24; block++) {
        uint32_t top = 0x24000000 + block;
        if ((block & 0xff) == 0)
            out.add({AF_INET6, {top & 0xffffff00}, 24});
        out.add({AF_INET6, {top}, 32});
        for (uint32_t z = 0; z < 16; z++) {
            uint32_t slash48 = (z * 2) << 16;
            out.add({AF_INET6, {top, slash48}, 48});
            out.add({AF_INET6, {top, slash48 + (1 << 16)}, 48});
            out.add({AF_INET6, {top, slash48}, 64});
            out.add({AF_INET6, {top, slash48, 0, 1}, 128});
        }
    }
}

[[noreturn]] void usage()
{
    fprintf(stderr, "usage: rulegen [-c NETWORK] [-s SEED] COUNT > rules\n");
    exit(2);
}

}  // namespace

int main(int argc, char **argv)
{
    network client = {};
    bool with_client = false;
    unsigned long seed = 1;
    int option;
    while ((option = getopt(argc, argv, "c:s:")) != -1) {
        if (option == 'c' && parse_network(optarg, client))
            with_client = true;
        else if (option == 's')
            seed = strtoul(optarg, nullptr, 10);
        else
            usage();
    }
    if (optind + 1 != argc)
        usage();
    size_t count = strtoul(argv[optind], nullptr, 10);
    size_t generated = with_client && count > 0 ? count - 1 : count;
    generator out(generated / 2, with_client ? &client : nullptr);
    ipv4_rules(out);
    out.next_family(generated - generated / 2);
    ipv6_rules(out);
    if (with_client && count > 0)
        out.lines.push_back(text_of(client) + " allow RULE=client NOTE=\"generated client\"");
    std::mt19937_64 random(seed);
    std::shuffle(out.lines.begin(), out.lines.end(), random);
    std::string chunk;
    for (const auto &line : out.lines) {
        chunk += line;
        chunk += '\n';
        if (chunk.size() > (1 << 20)) {
            fwrite(chunk.data(), 1, chunk.size(), stdout);
            chunk.clear();
        }
    }
    fwrite(chunk.data(), 1, chunk.size(), stdout);
    return fflush(stdout) == 0 && out.lines.size() == count ? 0 : 1;
}
