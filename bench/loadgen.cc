// Load generator for the benchmark. One epoll loop keeps a fixed number of
// clients in flight; each connects, reads to end of file, compares what it got
// with the expected bytes and closes. It sends nothing, as the clients of a
// "hello" command need not, unless -P asks it to speak as a load balancer.
//
//   loadgen -p port -n total -c concurrency -e expected [-a address]
//           [-t timeout_ms] [-d deadline_s] [-P] [-s source] [-R per_second]
//     prints one line of name=value pairs: served connections per second,
//     latency percentiles (connect to end of file) and errors by kind.
//     -s: every client connects from this local IPv4 address.
//     -R: clients start at this rate (paced), never more than concurrency
//     at once, instead of as soon as one ends; "ok" per second is then the
//     rate the server let through.
//     -P: each client first sends a PROXY protocol version 2 header (TCP over
//     IPv4, from 192.0.2.1 to the server's address), as HAProxy's
//     send-proxy-v2 does.
//
//   loadgen -H -p port -n count [-a address] [-W] [-r rcvbuf] [-m mss]
//     holds count connections open and never reads them; with -W it first
//     waits until every one has data waiting (the server has written to it).
//     Prints "held N ready M" and then sleeps until it is killed.
#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

struct options {
    const char *address = "127.0.0.1";
    int port = 0;
    long total = 0;
    int concurrency = 1;
    const char *expected = "";
    size_t expected_length = 0;
    long timeout_ms = 10000;
    long deadline_s = 120;
    bool deadline_given = false;  // -d: the run lasts that long, however many it started
    bool hold = false;
    bool proxy_header = false;
    bool wait_for_data = false;
    int rcvbuf = 0;
    int mss = 0;
    const char *source = nullptr;
    double pace = 0;  // clients started a second; 0: as fast as they end
};

enum outcome { served, refused, reset, wrong_data, timed_out, other_error, outcome_count };
const char *const outcome_names[outcome_count] = {"ok", "refused", "reset", "wrong", "timeout", "other"};

struct client {
    int fd = -1;
    size_t received = 0;
    int64_t started_ns = 0;
    bool header_sent = false;
};

struct run_state {
    options opt;
    sockaddr_in server = {};
    sockaddr_in source = {};
    unsigned char header[28];
    int epoll_fd = -1;
    std::vector<client> clients;
    long started = 0;
    long finished = 0;
    int64_t begin_ns = 0;
    long counts[outcome_count] = {};
    std::vector<uint32_t> latencies_us;
    int64_t stop_starting_ns = 0;
};

[[noreturn]] void die(const char *message)
{
    (void)fprintf(stderr, "loadgen: %s\n", message);
    exit(20);
}

int64_t now_ns()
{
    timespec now;
    if (clock_gettime(CLOCK_MONOTONIC, &now) == -1)
        die("unable to read the clock");
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// \r, \n and \t decoded, as the servers decode a refusal text.
char *decode_escapes(const char *text)
{
    char *out = static_cast<char *>(malloc(strlen(text) + 1));
    if (out == nullptr)
        die("out of memory");
    char *to = out;
    for (const char *from = text; *from != '\0'; from++) {
        if (*from != '\\' || from[1] == '\0') {
            *to++ = *from;
            continue;
        }
        from++;
        *to++ = *from == 'n' ? '\n' : *from == 'r' ? '\r' : *from == 't' ? '\t' : *from;
    }
    *to = '\0';
    return out;
}

outcome outcome_of_errno(int error)
{
    if (error == ECONNREFUSED)
        return refused;
    if (error == ECONNRESET || error == EPIPE)
        return reset;
    if (error == ETIMEDOUT)
        return timed_out;
    return other_error;
}

void set_int_option(int fd, int level, int name, int value, const char *message)
{
    if (value > 0 && setsockopt(fd, level, name, &value, sizeof value) == -1)
        die(message);
}

// A socket with the hold options applied; its connect has been started.
// Returns -1 and sets *failure when the connect failed at once.
int start_connect(const run_state &state, int type_flags, outcome *failure)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | type_flags, 0);
    if (fd == -1)
        die("unable to create socket (descriptor limit?)");
    // Both before connect: the receive buffer sets the window we announce and
    // the segment size caps what the server's stack lets its send buffer grow to.
    set_int_option(fd, SOL_SOCKET, SO_RCVBUF, state.opt.rcvbuf, "unable to set SO_RCVBUF");
    set_int_option(fd, IPPROTO_TCP, TCP_MAXSEG, state.opt.mss, "unable to set TCP_MAXSEG");
    if (state.opt.source != nullptr &&
        bind(fd, reinterpret_cast<const sockaddr *>(&state.source), sizeof state.source) == -1)
        die("unable to bind to the source address");
    if (connect(fd, reinterpret_cast<const sockaddr *>(&state.server), sizeof state.server) == -1 &&
        errno != EINPROGRESS) {
        *failure = outcome_of_errno(errno);
        (void)close(fd);
        return -1;
    }
    return fd;
}

void finish_client(run_state &state, int slot, outcome result)
{
    client &c = state.clients[slot];
    if (result == served)
        state.latencies_us.push_back(static_cast<uint32_t>((now_ns() - c.started_ns) / 1000));
    (void)close(c.fd);  // also takes it out of the epoll set
    c.fd = -1;
    state.counts[result]++;
    state.finished++;
}

// Signature, version 2 PROXY, TCP over IPv4, 12 bytes of addresses and ports.
void build_proxy_header(run_state &state)
{
    static const unsigned char fixed[16] = {0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D, 0x0A, 0x51,
                                            0x55, 0x49, 0x54, 0x0A, 0x21, 0x11, 0x00, 0x0C};
    static const unsigned char source[4] = {192, 0, 2, 1};
    memcpy(state.header, fixed, sizeof fixed);
    memcpy(state.header + 16, source, 4);
    memcpy(state.header + 20, &state.server.sin_addr, 4);
    uint16_t source_port = htons(40000);
    memcpy(state.header + 24, &source_port, 2);
    memcpy(state.header + 26, &state.server.sin_port, 2);
}

void watch(run_state &state, int fd, int slot, uint32_t events, int operation)
{
    epoll_event event = {};
    event.events = events;
    event.data.u32 = static_cast<uint32_t>(slot);
    if (epoll_ctl(state.epoll_fd, operation, fd, &event) == -1)
        die("unable to watch a socket");
}

// The connection is up: the header goes out whole (28 bytes always fit an
// empty send buffer); then only input is watched.
void send_proxy_header(run_state &state, int slot)
{
    client &c = state.clients[slot];
    c.header_sent = true;
    if (send(c.fd, state.header, sizeof state.header, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof state.header))
        return;  // the read that follows reports the failure
    watch(state, c.fd, slot, EPOLLIN, EPOLL_CTL_MOD);
}

// Whether another client may start now: always, unless paced and ahead of
// the pace.
bool may_start(const run_state &state)
{
    if (state.started >= state.opt.total || now_ns() >= state.stop_starting_ns)
        return false;
    return state.opt.pace <= 0 ||
           static_cast<double>(state.started) < static_cast<double>(now_ns() - state.begin_ns) / 1e9 * state.opt.pace;
}

// Starts clients in the free slot until one is in flight or none is left to
// start; a connect that fails at once counts as finished.
void fill_slot(run_state &state, int slot)
{
    while (state.clients[slot].fd == -1 && may_start(state)) {
        client &c = state.clients[slot];
        c.received = 0;
        c.started_ns = now_ns();
        state.started++;
        outcome failure = other_error;
        int fd = start_connect(state, SOCK_NONBLOCK, &failure);
        if (fd == -1) {
            state.counts[failure]++;
            state.finished++;
            continue;
        }
        // Only input (and, for a header, the end of the connect): a failed
        // connect and a reset show up as errors on it.
        c.header_sent = !state.opt.proxy_header;
        watch(state, fd, slot, c.header_sent ? EPOLLIN : EPOLLIN | EPOLLOUT, EPOLL_CTL_ADD);
        c.fd = fd;
    }
}

// Reads what is there; finishes the client on end of file, an error, or bytes
// that differ from the expected ones.
void read_client(run_state &state, int slot)
{
    static char buffer[65536];
    client &c = state.clients[slot];
    for (;;) {
        ssize_t got = read(c.fd, buffer, sizeof buffer);
        if (got == 0) {
            finish_client(state, slot, c.received == state.opt.expected_length ? served : wrong_data);
            return;
        }
        if (got < 0) {
            if (errno != EAGAIN)
                finish_client(state, slot, outcome_of_errno(errno));
            return;
        }
        size_t n = static_cast<size_t>(got);
        if (n > state.opt.expected_length - c.received ||
            memcmp(buffer, state.opt.expected + c.received, n) != 0) {
            finish_client(state, slot, wrong_data);
            return;
        }
        c.received += n;
    }
}

void expire_clients(run_state &state, int64_t now)
{
    int64_t limit_ns = state.opt.timeout_ms * 1000000;
    for (size_t slot = 0; slot < state.clients.size(); slot++) {
        if (state.clients[slot].fd != -1 && now - state.clients[slot].started_ns > limit_ns) {
            finish_client(state, static_cast<int>(slot), timed_out);
            fill_slot(state, static_cast<int>(slot));
        }
    }
}

bool any_in_flight(const run_state &state)
{
    for (const client &c : state.clients)
        if (c.fd != -1)
            return true;
    return false;
}

void run_load(run_state &state)
{
    state.epoll_fd = epoll_create1(EPOLL_CLOEXEC);
    if (state.epoll_fd == -1)
        die("unable to create epoll instance");
    state.clients.resize(static_cast<size_t>(state.opt.concurrency));
    state.latencies_us.reserve(static_cast<size_t>(state.opt.total));
    int64_t begin = now_ns();
    state.begin_ns = begin;
    state.stop_starting_ns = begin + state.opt.deadline_s * 1000000000;
    for (int slot = 0; slot < state.opt.concurrency; slot++)
        fill_slot(state, slot);

    std::vector<epoll_event> events(static_cast<size_t>(state.opt.concurrency));
    int64_t last_expiry_scan = begin;
    bool paced = state.opt.pace > 0;
    while (any_in_flight(state) || (paced && state.started < state.opt.total && now_ns() < state.stop_starting_ns)) {
        int ready = epoll_wait(state.epoll_fd, events.data(), static_cast<int>(events.size()), paced ? 1 : 50);
        if (ready == -1 && errno != EINTR)
            die("epoll_wait failed");
        for (int i = 0; i < ready; i++) {
            int slot = static_cast<int>(events[i].data.u32);
            if (state.clients[slot].fd == -1)
                continue;  // finished earlier in this batch by the expiry scan
            if (!state.clients[slot].header_sent && (events[i].events & EPOLLOUT))
                send_proxy_header(state, slot);
            read_client(state, slot);
            fill_slot(state, slot);
        }
        // Paced, a slot that is free now may start its client later.
        for (int slot = 0; paced && slot < state.opt.concurrency; slot++)
            fill_slot(state, slot);
        int64_t now = now_ns();
        if (now - last_expiry_scan > 50000000) {
            expire_clients(state, now);
            last_expiry_scan = now;
        }
    }
    double seconds = static_cast<double>(now_ns() - begin) / 1e9;

    std::vector<uint32_t> &lat = state.latencies_us;
    std::sort(lat.begin(), lat.end());
    auto percentile = [&lat](double p) -> uint32_t {
        if (lat.empty())
            return 0;
        size_t rank = static_cast<size_t>(p * static_cast<double>(lat.size()) + 0.999999);
        return lat[std::min(lat.size(), std::max<size_t>(rank, 1)) - 1];
    };
    // A run given its length counts the clients it started; otherwise one
    // that never started was held up, as a hung one is.
    long never_started = state.opt.deadline_given ? 0 : state.opt.total - state.started;
    long connections = state.opt.deadline_given ? state.started : state.opt.total;
    (void)printf("connections=%ld seconds=%.3f cps=%.1f p50_us=%u p99_us=%u max_us=%u", connections, seconds,
                 static_cast<double>(state.counts[served]) / seconds, percentile(0.50), percentile(0.99),
                 lat.empty() ? 0 : lat.back());
    for (int kind = 0; kind < outcome_count; kind++)
        (void)printf(" %s=%ld", outcome_names[kind], state.counts[kind] + (kind == timed_out ? never_started : 0));
    (void)printf("\n");
}

// Connects every client, blocking, one after the other: the server's listen
// queue completes the handshakes whether or not the server accepts them.
int hold_connect_all(run_state &state, std::vector<pollfd> &held)
{
    int connected = 0;
    for (long i = 0; i < state.opt.total; i++) {
        outcome failure = other_error;
        int fd = start_connect(state, 0, &failure);
        if (fd == -1)
            continue;
        held.push_back(pollfd{fd, POLLIN, 0});
        connected++;
    }
    return connected;
}

// Waits, at most 30 s, until every held socket has data waiting; never reads it.
int hold_wait_for_data(std::vector<pollfd> &held)
{
    std::vector<pollfd> waiting = held;
    int ready = 0;
    int64_t give_up = now_ns() + 30000000000LL;
    while (!waiting.empty() && now_ns() < give_up) {
        int n = poll(waiting.data(), waiting.size(), 100);
        if (n == -1 && errno != EINTR)
            die("poll failed");
        for (size_t i = 0; i < waiting.size();) {
            if (waiting[i].revents != 0) {
                ready++;
                waiting[i] = waiting.back();
                waiting.pop_back();
            } else {
                i++;
            }
        }
    }
    return ready;
}

void run_hold(run_state &state)
{
    std::vector<pollfd> held;
    int connected = hold_connect_all(state, held);
    int ready = state.opt.wait_for_data ? hold_wait_for_data(held) : 0;
    (void)printf("held %d ready %d\n", connected, ready);
    if (fflush(stdout) == EOF)
        die("unable to print");
    for (;;)
        (void)pause();  // the sockets stay open until the script kills us
}

[[noreturn]] void usage()
{
    die("usage: loadgen -p port -n total -c concurrency -e expected [-a address] [-t timeout_ms] [-d deadline_s] [-P]\n"
        "               [-s source] [-R per_second]\n"
        "       loadgen -H -p port -n count [-a address] [-W] [-r rcvbuf] [-m mss]");
}

void parse_options(int argc, char **argv, options &opt)
{
    int option;
    while ((option = getopt(argc, argv, "a:p:n:c:e:t:d:HWr:m:Ps:R:")) != -1) {
        switch (option) {
        case 'a': opt.address = optarg; break;
        case 'p': opt.port = atoi(optarg); break;
        case 'n': opt.total = atol(optarg); break;
        case 'c': opt.concurrency = atoi(optarg); break;
        case 'e': opt.expected = decode_escapes(optarg); break;
        case 't': opt.timeout_ms = atol(optarg); break;
        case 'd':
            opt.deadline_s = atol(optarg);
            opt.deadline_given = true;
            break;
        case 'H': opt.hold = true; break;
        case 'W': opt.wait_for_data = true; break;
        case 'r': opt.rcvbuf = atoi(optarg); break;
        case 'm': opt.mss = atoi(optarg); break;
        case 'P': opt.proxy_header = true; break;
        case 's': opt.source = optarg; break;
        case 'R': opt.pace = atof(optarg); break;
        default: usage();
        }
    }
    if (optind != argc || opt.port <= 0 || opt.total <= 0 || opt.concurrency <= 0)
        usage();
    opt.expected_length = strlen(opt.expected);
}

}  // namespace

int main(int argc, char **argv)
{
    run_state state;
    parse_options(argc, argv, state.opt);
    state.server.sin_family = AF_INET;
    state.server.sin_port = htons(static_cast<uint16_t>(state.opt.port));
    if (inet_pton(AF_INET, state.opt.address, &state.server.sin_addr) != 1)
        die("not an IPv4 address");
    state.source.sin_family = AF_INET;
    if (state.opt.source != nullptr && inet_pton(AF_INET, state.opt.source, &state.source.sin_addr) != 1)
        die("not an IPv4 source address");
    build_proxy_header(state);
    if (state.opt.hold)
        run_hold(state);
    else
        run_load(state);
    return 0;
}
