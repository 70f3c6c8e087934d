// Refusing clients over the limit: the text arrives whole, the daemon never
// blocks on a slow, silent or resetting client, and nothing leaks.
#include "harness.h"
#include "sockherd.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <memory>
#include <set>
#include <sstream>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using harness::daemon_process;
using harness::launch_options;

namespace {

const int small_receive_buffer = 4096;

// Larger than what the kernel buffers for a client with a small receive
// buffer, small enough for one command-line argument.
std::string long_text()
{
    std::string text;
    for (int i = 0; text.size() < 120000; i++)
        text += "line " + std::to_string(i) + " of the refusal text\n";
    return text;
}

// The daemon's listening socket is descriptor 3 when it starts with 0 to 2.
// A test whose refusals must wait skips when this fails: GTEST_SKIP in here
// would end only this function, and the test would go on without its premise.
bool shrink_daemon_buffers(const daemon_process &daemon)
{
    return harness::shrink_send_buffer(daemon.pid, 3, small_receive_buffer);
}
const char *const cannot_shrink = "cannot reach the daemon's socket (needs pidfd_getfd and ptrace rights)";

// A client that holds the only slot until it closes.
int hold_slot(daemon_process &daemon, int count = 1)
{
    int fd = harness::connect_loopback(daemon.port);
    EXPECT_TRUE(daemon.wait_for_err("connected", count));
    return fd;
}

// With -C 1 as well, the second client is over both limits: the -c one is
// checked first, so its line does not name the source limit.
TEST(Refusal, ClientGetsDecodedTextThenEofAndCountsStayPut)
{
    daemon_process daemon;
    ASSERT_TRUE(daemon.start({"-v", "-c", "1", "-C", "1", "-r", "busy\\r\\n", "-1", "127.0.0.1", "0", "cat"}));
    int holder = hold_slot(daemon);
    int client = harness::connect_loopback(daemon.port);
    int client_port = harness::local_port_of(client);
    bool eof = false;
    EXPECT_EQ(harness::read_to_eof(client, &eof), "busy\r\n");
    EXPECT_TRUE(eof);
    close(client);
    EXPECT_TRUE(daemon.wait_for_err("- refused from 127.0.0.1 port " + std::to_string(client_port) + "\n"));

    close(holder);
    ASSERT_TRUE(daemon.wait_for_err(" closed (0/1)\n"));
    int next = hold_slot(daemon, 2);
    close(next);
    ASSERT_TRUE(daemon.wait_for_err(" closed (0/1)\n", 2));
    for (const auto &line : harness::split_lines(daemon.err())) {
        bool count_line = line[0] != '-';
        EXPECT_TRUE(!count_line || line.find("(1/1)") != std::string::npos ||
                    line.find("(0/1)") != std::string::npos)
            << line;
    }
}

TEST(Refusal, EmptyTextClosesWithoutDataButIsLogged)
{
    daemon_process daemon;
    ASSERT_TRUE(daemon.start({"-v", "-c", "0", "-r", "", "-1", "127.0.0.1", "0", "cat"}));
    int client = harness::connect_loopback(daemon.port);
    bool eof = false;
    EXPECT_EQ(harness::read_to_eof(client, &eof), "");
    EXPECT_TRUE(eof);
    close(client);
    EXPECT_TRUE(daemon.wait_for_err("- refused from 127.0.0.1 port "));
}

TEST(Refusal, ZeroLimitRefusesEveryClient)
{
    daemon_process daemon;
    ASSERT_TRUE(daemon.start({"-v", "-c", "0", "-r", "no\\tthanks\\n", "-1", "127.0.0.1", "0", "echo", "served"}));
    for (int i = 0; i < 20; i++) {
        int client = harness::connect_loopback(daemon.port);
        EXPECT_EQ(harness::read_to_eof(client), "no\tthanks\n");
        close(client);
    }
    ASSERT_TRUE(daemon.wait_for_err("- refused", 20));
    EXPECT_EQ(harness::count_occurrences(daemon.err(), "connected"), 0);
}

TEST(Refusal, SlowReaderGetsLongTextWholeWhileOthersAreServed)
{
    const std::string text = long_text();
    daemon_process busy;
    ASSERT_TRUE(busy.start({"-v", "-c", "1", "-r", text, "-1", "127.0.0.1", "0", "cat"}));
    if (!shrink_daemon_buffers(busy))
        GTEST_SKIP() << cannot_shrink;
    int idle_fds = harness::count_open_fds(busy.pid);
    int slot = hold_slot(busy);
    int slow = harness::connect_loopback(busy.port, AF_INET, small_receive_buffer);
    ASSERT_TRUE(busy.wait_for_err("- refused"));
    std::string received = harness::read_some(slow, 4096);
    EXPECT_TRUE(harness::eventually([&] { return harness::count_open_fds(busy.pid) == idle_fds + 1; }))
        << "the refusal must wait in the queue, not block the daemon";

    // Meanwhile the daemon frees the slot and serves the next client.
    close(slot);
    ASSERT_TRUE(busy.wait_for_err(" closed (0/1)"));
    int next = harness::connect_loopback(busy.port);
    ASSERT_TRUE(busy.wait_for_err("connected", 2));
    ASSERT_TRUE(harness::write_all(next, "still served\n"));
    EXPECT_EQ(harness::read_some(next, 13), "still served\n");
    close(next);

    bool eof = false;
    while (!eof && received.size() <= text.size()) {
        std::string more = harness::read_some(slow, 4096);
        if (more.empty())
            eof = true;
        received += more;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));  // read slowly
    }
    EXPECT_EQ(received.size(), text.size());
    EXPECT_TRUE(received == text) << "the text must arrive whole and in order";
    close(slow);
    EXPECT_TRUE(harness::eventually([&] { return harness::count_open_fds(busy.pid) == idle_fds; }));
}

TEST(Refusal, SilentAndResettingClientsNeitherBlockNorEndTheDaemon)
{
    const std::string text = long_text();
    daemon_process daemon;
    ASSERT_TRUE(daemon.start({"-c", "0", "-r", text, "-1", "127.0.0.1", "0", "cat"}));
    if (!shrink_daemon_buffers(daemon))
        GTEST_SKIP() << cannot_shrink;
    int idle_fds = harness::count_open_fds(daemon.pid);
    std::vector<int> silent;
    for (int i = 0; i < 5; i++)
        silent.push_back(harness::connect_loopback(daemon.port, AF_INET, small_receive_buffer));
    ASSERT_TRUE(harness::eventually([&] { return harness::count_open_fds(daemon.pid) == idle_fds + 5; }))
        << "each silent client keeps its record";

    // Served (refused) meanwhile, in full.
    int reader = harness::connect_loopback(daemon.port);
    EXPECT_TRUE(harness::read_to_eof(reader) == text);
    close(reader);

    for (int fd : silent)
        harness::reset_close(fd);
    EXPECT_TRUE(harness::eventually([&] { return harness::count_open_fds(daemon.pid) == idle_fds; }));
    EXPECT_TRUE(daemon.alive());
    EXPECT_EQ(harness::bounded_text(daemon.err()), "") << "a reset is no error worth a message";
    int after = harness::connect_loopback(daemon.port);
    EXPECT_TRUE(harness::read_to_eof(after) == text);
    close(after);
}

TEST(Refusal, TwoHundredClientsEachGetTheTextAndNothingLeaks)
{
    daemon_process daemon;
    ASSERT_TRUE(daemon.start({"-c", "1", "-b", "300", "-r", "busy\\r\\n", "-1", "127.0.0.1", "0", "cat"}));
    int idle_fds = harness::count_open_fds(daemon.pid);
    int slot = harness::connect_loopback(daemon.port);
    ASSERT_TRUE(harness::eventually([&] { return harness::children_of(daemon.pid, false).size() == 1; }));
    long cpu_before = harness::cpu_ticks(daemon.pid);
    std::vector<int> clients;
    for (int i = 0; i < 200; i++)
        clients.push_back(harness::connect_loopback(daemon.port));
    int exact = 0;
    for (int fd : clients) {
        bool eof = false;
        exact += harness::read_to_eof(fd, &eof) == "busy\r\n" && eof;
        close(fd);
    }
    EXPECT_EQ(exact, 200);
    EXPECT_LT(harness::cpu_ticks(daemon.pid) - cpu_before, 100) << "about a second of CPU would mean spinning";
    close(slot);
    EXPECT_TRUE(harness::eventually([&] {
        return harness::count_open_fds(daemon.pid) == idle_fds && harness::children_of(daemon.pid, false).empty();
    }));
}

// A client that speaks first: its bytes are in the daemon's socket before
// the accept (the daemon is stopped meanwhile), so they are still unread when
// the text has gone out. They must not turn the close into a reset that
// throws away what the client has not read yet.
struct speak_first_case {
    const char *name;
    std::vector<std::string> options;
    std::string text;
    int receive_buffer;  // 0: the default
    std::string sent;
};

void PrintTo(const speak_first_case &c, std::ostream *out)
{
    *out << c.name;
}

// Connects while the daemon is stopped and sends; the daemon goes on once
// the bytes are in. -1 when the daemon could not be stopped.
int connect_and_send_before_accept(const daemon_process &daemon, int receive_buffer, const std::string &sent)
{
    if (kill(daemon.pid, SIGSTOP) == -1 ||
        !harness::eventually([&] { return harness::proc_status_field(daemon.pid, "State").substr(0, 1) == "T"; }))
        return -1;
    int client = harness::connect_loopback(daemon.port, AF_INET, receive_buffer);
    // Over loopback the bytes reach the daemon's socket within the send.
    bool sent_all = client != -1 && harness::write_all(client, sent);
    kill(daemon.pid, SIGCONT);
    if (!sent_all && client != -1) {
        close(client);
        return -1;
    }
    return client;
}

class SpeakingFirst : public testing::TestWithParam<speak_first_case> {};

TEST_P(SpeakingFirst, ClientGetsWholeTextThenEofNeverReset)
{
    const auto &c = GetParam();
    std::vector<std::string> args = c.options;
    args.insert(args.end(), {"-1", "127.0.0.1", "0", "cat"});
    daemon_process daemon;
    ASSERT_TRUE(daemon.start(args));
    int client = connect_and_send_before_accept(daemon, c.receive_buffer, c.sent);
    ASSERT_NE(client, -1);
    bool eof = false;
    std::string received = harness::read_to_eof(client, &eof);
    close(client);
    EXPECT_EQ(received.size(), c.text.size());
    EXPECT_TRUE(received == c.text) << "the text must arrive whole and in order";
    EXPECT_TRUE(eof) << "end of file after the text, not a reset";
    EXPECT_EQ(harness::bounded_text(daemon.err()), "");
}

const std::string request = "GET / HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
const std::string text_of_96000 = long_text().substr(0, 96000);

INSTANTIATE_TEST_SUITE_P(
    Refusal, SpeakingFirst,
    testing::Values(speak_first_case{"ShortText", {"-c", "0", "-r", "busy\\r\\n"}, "busy\r\n", 0, request},
                    speak_first_case{"LongTextToSmallReceiveBuffer", {"-c", "0", "-r", text_of_96000}, text_of_96000,
                                     small_receive_buffer, request},
                    speak_first_case{"BalancersProxyHeader", {"-p", "-c", "0", "-r", "busy\\n"}, "busy\n", 0,
                                     "PROXY TCP4 192.0.2.7 198.51.100.9 51234 8080\r\n"}),
    [](const testing::TestParamInfo<speak_first_case> &param_info) { return std::string(param_info.param.name); });

// The first program on PATH called name, or "".
std::string program_on_path(const char *name)
{
    const char *path = getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
    for (size_t start = 0; start <= dirs.size();) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos)
            end = dirs.size();
        std::string candidate = dirs.substr(start, end - start) + "/" + name;
        if (end > start && access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return "";
}

// A real HTTP client sends its request at once and, without a length, reads
// the body to the end of the connection: the refusal must reach it whole,
// ended by end of file, however the request and the text cross.
TEST(Refusal, CurlGetsTheWhole503BodyEveryTime)
{
    std::string curl = program_on_path("curl");
    if (curl.empty())
        GTEST_SKIP() << "curl is not installed (Debian package curl)";
    daemon_process daemon;
    const char *text = "HTTP/1.0 503 Service Unavailable\\r\\n\\r\\nbusy\\n";
    ASSERT_TRUE(daemon.start({"-c", "0", "-r", text, "-1", "127.0.0.1", "0", "cat"}));
    launch_options options;
    options.program = curl;
    std::string url = "http://127.0.0.1:" + std::to_string(daemon.port) + "/";
    for (int i = 0; i < 20; i++) {
        auto result = harness::run_sockherd({"-s", "-S", "--max-time", "10", "-w", "%{http_code}", url}, options);
        EXPECT_EQ(result.status, 0) << "run " << i << ": " << harness::bounded_text(result.err);
        EXPECT_EQ(result.out, "busy\n503") << "run " << i;
    }
}

// The descriptors of pid, by number.
std::set<int> open_fds(pid_t pid)
{
    std::set<int> fds;
    for (const auto &line : harness::split_lines(harness::describe_fds(pid)))
        fds.insert(atoi(line.c_str()));
    return fds;
}

// The one descriptor in now that is not in before, or -1.
int new_fd(const std::set<int> &before, const std::set<int> &now)
{
    std::vector<int> added;
    for (int fd : now)
        if (before.count(fd) == 0)
            added.push_back(fd);
    return added.size() == 1 ? added[0] : -1;
}

// The timeout argument of the wait pid sleeps in, as /proc shows it; "" while it runs.
std::string wait_timeout_argument(pid_t pid)
{
    std::istringstream call(harness::read_file("/proc/" + std::to_string(pid) + "/syscall"));
    std::string field[6];
    for (auto &one : field)
        call >> one;
    return field[5];
}

// After the text a refused client may go on sending and never close, or read
// it and fall silent: either way the daemon lets it go about two seconds
// later, without spinning meanwhile, and then waits without a timeout again.
TEST(Refusal, LingeringClientsAreLetGoWithinThreeSecondsWithoutSpinning)
{
    using std::chrono::steady_clock;
    daemon_process daemon;
    ASSERT_TRUE(daemon.start({"-c", "0", "-r", "busy\\r\\n", "-1", "127.0.0.1", "0", "cat"}));
    std::set<int> idle = open_fds(daemon.pid);
    long cpu_before = harness::cpu_ticks(daemon.pid);
    auto window_start = steady_clock::now();

    int sender = harness::connect_loopback(daemon.port);
    ASSERT_EQ(harness::read_some(sender, 6), "busy\r\n");
    auto sender_text = steady_clock::now();
    std::set<int> with_sender = open_fds(daemon.pid);
    int sender_fd = new_fd(idle, with_sender);
    int silent = harness::connect_loopback(daemon.port);
    bool eof = false;
    EXPECT_EQ(harness::read_to_eof(silent, &eof, 5000), "busy\r\n");
    EXPECT_TRUE(eof);
    auto silent_text = steady_clock::now();
    int silent_fd = new_fd(with_sender, open_fds(daemon.pid));
    ASSERT_NE(sender_fd, -1) << harness::describe_fds(daemon.pid);
    ASSERT_NE(silent_fd, -1) << harness::describe_fds(daemon.pid);
    EXPECT_TRUE(harness::eventually([&] { return wait_timeout_argument(daemon.pid).substr(0, 2) == "0x" &&
                                                 wait_timeout_argument(daemon.pid) != "0x0"; }, 1000))
        << "while a client lingers the wait has a timeout";

    // 512 bytes every 20 ms, until the daemon lets the sender go or 4 s are over.
    double sender_released = -1;
    double silent_released = -1;
    const std::string chunk(512, 's');
    bool sending = true;
    while (steady_clock::now() - window_start < std::chrono::seconds(4)) {
        if (sending)
            sending = harness::write_all(sender, chunk);  // fails once the daemon has closed
        std::set<int> now = open_fds(daemon.pid);
        auto since = [&](steady_clock::time_point text) {
            return std::chrono::duration<double>(steady_clock::now() - text).count();
        };
        if (sender_released < 0 && now.count(sender_fd) == 0)
            sender_released = since(sender_text);
        if (silent_released < 0 && now.count(silent_fd) == 0)
            silent_released = since(silent_text);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    long cpu = harness::cpu_ticks(daemon.pid) - cpu_before;
    EXPECT_GE(sender_released, 0) << "the sending client still holds a descriptor after 4 s";
    EXPECT_LE(sender_released, 3.0);
    EXPECT_GE(silent_released, 0) << "the silent client still holds a descriptor after 4 s";
    EXPECT_LE(silent_released, 3.0);
    EXPECT_LT(cpu, 30) << "clock ticks in 4 s; a spin takes about 100 a second";
    EXPECT_TRUE(harness::eventually([&] { return wait_timeout_argument(daemon.pid) == "0x0"; }, 1000))
        << "with no client lingering the wait has no timeout";
    EXPECT_EQ(open_fds(daemon.pid), idle);
    EXPECT_EQ(harness::bounded_text(daemon.err()), "") << "nothing new is logged";
    printf("[ figures  ] released %.2f s (sending) and %.2f s (silent) after the text; %ld ticks in 4 s\n",
           sender_released, silent_released, cpu);
    close(sender);
    close(silent);
}

struct drop_case {
    const char *name;
    bool verbose;
    const char *limit;                     // -c 0, or -C 0: every client over its source's limit
    const char *rules = nullptr;           // an access rules file (-A)
    const char *last_source = "127.0.0.1";  // of the client on 1024
};

void PrintTo(const drop_case &c, std::ostream *out)
{
    *out << c.name;
}

class AtLimitHighDescriptor : public testing::TestWithParam<drop_case> {};

TEST_P(AtLimitHighDescriptor, IsDroppedWhileLowOneIsRefused)
{
    SKIP_UNLESS_DESCRIPTORS(1100);
    launch_options options;
    options.extra_fds_from = 6;  // socket and self-pipe take 3 to 5; 1023 stays free
    options.extra_fds_to = 1022;
    std::vector<std::string> args = {GetParam().limit, "0", "-r", long_text(), "-1", "127.0.0.1", "0", "cat"};
    if (GetParam().verbose)
        args.insert(args.begin(), "-v");
    std::unique_ptr<harness::text_file> rules;
    if (GetParam().rules != nullptr) {
        rules = std::make_unique<harness::text_file>(GetParam().rules);
        args.insert(args.begin(), {"-A", rules->path});
    }
    daemon_process daemon;
    ASSERT_TRUE(daemon.start(args, options));
    if (!shrink_daemon_buffers(daemon))
        GTEST_SKIP() << cannot_shrink;

    int on_1023 = harness::connect_loopback(daemon.port, AF_INET, small_receive_buffer);
    EXPECT_EQ(harness::read_some(on_1023, 10), "line 0 of ") << "refused: it gets the text";
    int on_1024 = harness::connect_from(GetParam().last_source, daemon.port);
    int dropped_port = harness::local_port_of(on_1024);
    bool eof = false;
    EXPECT_EQ(harness::read_to_eof(on_1024, &eof).size(), 0u);
    EXPECT_TRUE(eof);
    std::string dropped_line = "- dropped from " + std::string(GetParam().last_source) + " port " +
                               std::to_string(dropped_port) + "\n";
    if (GetParam().verbose) {
        EXPECT_TRUE(daemon.wait_for_err(dropped_line));
        EXPECT_EQ(harness::count_occurrences(daemon.err(), "- refused"), 1);
        EXPECT_EQ(harness::count_occurrences(daemon.err(), "- denied"), 0);
    } else {
        EXPECT_EQ(harness::bounded_text(daemon.err()), "");
    }
    close(on_1023);
    close(on_1024);
}

INSTANTIATE_TEST_SUITE_P(Refusal, AtLimitHighDescriptor,
                         testing::Values(drop_case{"Verbose", true, "-c"}, drop_case{"Quiet", false, "-c"},
                                         drop_case{"OverSourceLimit", true, "-C"},
                                         // Dropped, not matched: the rules would deny it.
                                         drop_case{"DeniedClientDroppedAllTheSame", true, "-c", "127.0.0.2 deny\n",
                                                   "127.0.0.2"}),
                         [](const testing::TestParamInfo<drop_case> &param_info) {
                             return std::string(param_info.param.name);
                         });

TEST(Refusal, CommandStartedWhilePendingHoldsNoneOfThem)
{
    // No pipeline: the shell's own pipe ends would show in the listing.
    const char *list_fds = "read x; ls /proc/$$/fd; true";
    daemon_process daemon;
    ASSERT_TRUE(daemon.start({"-v", "-c", "1", "-r", long_text(), "-1", "127.0.0.1", "0", "sh", "-c", list_fds}));
    if (!shrink_daemon_buffers(daemon))
        GTEST_SKIP() << cannot_shrink;
    int first = hold_slot(daemon);
    int silent_a = harness::connect_loopback(daemon.port, AF_INET, small_receive_buffer);
    int silent_b = harness::connect_loopback(daemon.port, AF_INET, small_receive_buffer);
    ASSERT_TRUE(daemon.wait_for_err("- refused", 2));
    ASSERT_TRUE(harness::write_all(first, "\n"));
    EXPECT_EQ(harness::read_to_eof(first), "0\n1\n2\n");
    close(first);
    ASSERT_TRUE(daemon.wait_for_err(" closed (0/1)"));

    int second = hold_slot(daemon, 2);  // started while both refusals are pending
    ASSERT_TRUE(harness::write_all(second, "\n"));
    EXPECT_EQ(harness::read_to_eof(second), "0\n1\n2\n");
    close(second);
    close(silent_a);
    close(silent_b);
}

// What the daemon holds at a SIGTERM under -G besides running commands: a
// long refusal still on its way to a slow reader, and a connection whose
// PROXY header is only half there (it holds the only slot, so the reader
// was refused). Each keeps the daemon until it is done: the text arrives
// whole and the header's command runs, whichever of them ends last, and
// only then does the daemon exit 0.
struct drain_held_case {
    const char *name;
    bool header_last;  // else the text is read to its end last
};

void PrintTo(const drain_held_case &c, std::ostream *out)
{
    *out << c.name;
}

class DrainHeld : public testing::TestWithParam<drain_held_case> {};

TEST_P(DrainHeld, TextBeingSentAndHeaderStillComingBothFinish)
{
    const std::string text = long_text();
    daemon_process daemon;
    ASSERT_TRUE(daemon.start({"-v", "-p", "-c", "1", "-G", "30", "-r", text, "-1", "127.0.0.1", "0", "sh", "-c",
                              "echo \"served $TCPREMOTEIP\""}));
    if (!shrink_daemon_buffers(daemon))
        GTEST_SKIP() << cannot_shrink;
    int idle_fds = harness::count_open_fds(daemon.pid);
    int proxied = harness::connect_loopback(daemon.port);
    ASSERT_TRUE(harness::write_all(proxied, "PROXY TCP4 192.0.2.7 "));
    ASSERT_TRUE(harness::eventually([&] { return harness::count_open_fds(daemon.pid) == idle_fds + 1; }));
    int slow = harness::connect_loopback(daemon.port, AF_INET, small_receive_buffer);
    std::string slow_port = std::to_string(harness::local_port_of(slow));
    ASSERT_TRUE(daemon.wait_for_err("- refused"));
    std::string received = harness::read_some(slow, 4096);
    ASSERT_EQ(kill(daemon.pid, SIGTERM), 0);
    ASSERT_TRUE(daemon.wait_for_err("- draining (0 running)\n")) << harness::bounded_text(daemon.err());

    auto finish_header = [&] {
        ASSERT_TRUE(harness::write_all(proxied, "198.51.100.9 51234 8080\r\n"));
        bool eof = false;
        EXPECT_EQ(harness::read_to_eof(proxied, &eof), "served 192.0.2.7\n");
        EXPECT_TRUE(eof);
        close(proxied);
        EXPECT_TRUE(daemon.wait_for_err(" closed (0/1)\n")) << harness::bounded_text(daemon.err());
    };
    auto finish_text = [&] {
        bool eof = false;
        while (!eof && received.size() <= text.size()) {
            std::string more = harness::read_some(slow, 4096);
            eof = more.empty();
            received += more;
        }
        EXPECT_EQ(received.size(), text.size());
        EXPECT_TRUE(received == text) << "the text must arrive whole and in order";
        close(slow);
    };
    if (GetParam().header_last) {
        finish_text();
        finish_header();
    } else {
        finish_header();
        finish_text();
    }
    int status = -1;
    ASSERT_TRUE(daemon.wait_exit(status)) << harness::bounded_text(daemon.err());
    EXPECT_EQ(status, 0);
    std::vector<std::string> lines = harness::split_lines(daemon.err());
    ASSERT_EQ(lines.size(), 6u) << harness::bounded_text(daemon.err());
    EXPECT_EQ(lines[0], "- refused from 127.0.0.1 port " + slow_port);
    EXPECT_EQ(lines[1], "- draining (0 running)");
    EXPECT_NE(lines[2].find(" connected from "), std::string::npos) << lines[2];
    EXPECT_NE(lines[3].find(" proxied from 192.0.2.7 port 51234"), std::string::npos) << lines[3];
    EXPECT_NE(lines[4].find(" closed (0/1)"), std::string::npos) << lines[4];
    EXPECT_EQ(lines[5], "- drained");
}

INSTANTIATE_TEST_SUITE_P(Drain, DrainHeld,
                         testing::Values(drain_held_case{"HeaderLast", true}, drain_held_case{"TextLast", false}),
                         [](const testing::TestParamInfo<drain_held_case> &param_info) {
                             return std::string(param_info.param.name);
                         });

// The list itself, in this process: several records that finish in one drain,
// the head and its two neighbours among them, are all unlinked and freed
// (ASan would see a freed record touched) while the rest keep their order.
TEST(PendingList, SeveralRecordsFinishInOnePass)
{
    using namespace sockherd;
    std::string text(1 << 20, 'x');
    settings = settings_record{};
    settings.refuse_response = text.data();
    socket_address remote = {};
    remote.v4.sin_family = AF_INET;
    int peers[5];
    int ends[5];
    for (int i = 0; i < 5; i++) {
        int pair[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
        ends[i] = pair[0];
        peers[i] = pair[1];
        refuse_connection(ends[i], &remote, refused_at_limit);
    }
    // Newest first: ends[4] is the head.
    fd_set unread;
    FD_ZERO(&unread);
    fd_set writable;
    FD_ZERO(&writable);
    int expected[] = {4, 3, 2, 1, 0};
    int index = 0;
    for (pending_write *record = pending_list; record != nullptr; record = record->next_pending, index++) {
        ASSERT_LT(index, 5);
        EXPECT_EQ(record->conn_fd, ends[expected[index]]);
        EXPECT_EQ(record->cursor + record->remaining, text.data() + text.size());
        FD_SET(record->conn_fd, &writable);
    }
    for (int gone : {4, 3, 2, 0})
        close(peers[gone]);  // their next write fails
    drain_pending_writes(&unread, &writable);
    ASSERT_NE(pending_list, nullptr);
    EXPECT_EQ(pending_list->conn_fd, ends[1]);
    EXPECT_EQ(pending_list->next_pending, nullptr);

    close(peers[1]);
    FD_ZERO(&writable);
    FD_SET(ends[1], &writable);
    drain_pending_writes(&unread, &writable);
    EXPECT_EQ(pending_list, nullptr);
    settings = settings_record{};
}

// Lingering records and records still sending side by side, finished in one
// drain by each way a record ends (a failed send; the last byte sent to a
// client that has already closed, so the record starts lingering and ends in
// the same step; the client closing; the time up), next to one of each kind
// that stays. The sets are the ones select gives for them, as in the loop.
TEST(PendingList, LingeringAndSendingRecordsFinishInOnePass)
{
    using namespace sockherd;
    std::string short_text = "no\n";
    std::string medium_text(12000, 'm');  // more than one send into a 4 KiB buffer takes
    std::string long_text(1 << 20, 'l');
    settings = settings_record{};
    socket_address remote = {};
    remote.v4.sin_family = AF_INET;
    // Oldest first; the list holds them newest first.
    enum { linger_stays, linger_time_up, send_stays, linger_client_closes, send_completes_to_closed, send_fails };
    const int count = 6;
    const std::string *texts[count] = {&short_text, &short_text, &medium_text, &short_text, &medium_text, &long_text};
    int ends[count];
    int peers[count];
    for (int i = 0; i < count; i++) {
        int pair[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
        ends[i] = pair[0];
        peers[i] = pair[1];
        int small = 4096;
        ASSERT_EQ(setsockopt(ends[i], SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
        settings.refuse_response = const_cast<char *>(texts[i]->c_str());
        refuse_connection(ends[i], &remote, refused_at_limit);
    }
    settings.refuse_response = nullptr;
    int index = count;
    for (pending_write *record = pending_list; record != nullptr; record = record->next_pending) {
        ASSERT_GT(index, 0);
        EXPECT_EQ(record->conn_fd, ends[--index]);
        EXPECT_EQ(record->lingering, texts[index] == &short_text) << index;
    }
    ASSERT_EQ(index, 0);

    for (pending_write *record = pending_list; record != nullptr; record = record->next_pending)
        if (record->conn_fd == ends[linger_time_up])
            record->linger_until = timespec{0, 0};
    for (int gone : {linger_client_closes, send_fails}) {
        close(peers[gone]);
        peers[gone] = -1;
    }
    // Room for the rest of the text, and the client's side already shut.
    std::string received;
    char piece[4096];
    for (ssize_t got; (got = recv(peers[send_completes_to_closed], piece, sizeof piece, MSG_DONTWAIT)) > 0;)
        received.append(piece, static_cast<size_t>(got));
    ASSERT_LT(received.size(), medium_text.size());
    ASSERT_EQ(shutdown(peers[send_completes_to_closed], SHUT_WR), 0);

    fd_set readable;
    fd_set writable;
    FD_ZERO(&readable);
    FD_ZERO(&writable);
    int max_fd = -1;
    for (pending_write *record = pending_list; record != nullptr; record = record->next_pending) {
        FD_SET(record->conn_fd, record->lingering ? &readable : &writable);
        max_fd = std::max(max_fd, record->conn_fd);
    }
    timeval no_wait = {0, 0};
    ASSERT_GT(select(max_fd + 1, &readable, &writable, nullptr, &no_wait), 0);
    drain_pending_writes(&readable, &writable);

    ASSERT_NE(pending_list, nullptr);
    EXPECT_EQ(pending_list->conn_fd, ends[send_stays]);
    EXPECT_FALSE(pending_list->lingering);
    ASSERT_NE(pending_list->next_pending, nullptr);
    EXPECT_EQ(pending_list->next_pending->conn_fd, ends[linger_stays]);
    EXPECT_TRUE(pending_list->next_pending->lingering);
    EXPECT_EQ(pending_list->next_pending->next_pending, nullptr);
    // No descriptor has been made since: a closed number is still free.
    for (int finished : {linger_time_up, linger_client_closes, send_completes_to_closed, send_fails})
        EXPECT_EQ(fcntl(ends[finished], F_GETFD), -1) << "record " << finished << " is finished: closed";
    bool eof = false;
    received += harness::read_to_eof(peers[send_completes_to_closed], &eof, 1000);
    EXPECT_TRUE(received == medium_text && eof) << received.size() << " bytes";

    while (pending_list != nullptr) {
        pending_write *record = pending_list;
        pending_list = record->next_pending;
        close(record->conn_fd);
        free(record);
    }
    for (int peer : peers)
        if (peer != -1)
            close(peer);
    settings = settings_record{};
}

}  // namespace
