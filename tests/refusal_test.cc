// Refusing clients over the limit: the text arrives whole, the daemon never
// blocks on a slow, silent or resetting client, and nothing leaks.
#include "harness.h"
#include "sockherd.h"

#include <arpa/inet.h>
#include <chrono>
#include <cstdlib>
#include <gtest/gtest.h>
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

struct drop_case {
    const char *name;
    bool verbose;
    const char *limit;  // -c 0, or -C 0: every client over its source's limit
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
    daemon_process daemon;
    ASSERT_TRUE(daemon.start(args, options));
    if (!shrink_daemon_buffers(daemon))
        GTEST_SKIP() << cannot_shrink;

    int on_1023 = harness::connect_loopback(daemon.port, AF_INET, small_receive_buffer);
    EXPECT_EQ(harness::read_some(on_1023, 10), "line 0 of ") << "refused: it gets the text";
    int on_1024 = harness::connect_loopback(daemon.port);
    int dropped_port = harness::local_port_of(on_1024);
    bool eof = false;
    EXPECT_EQ(harness::read_to_eof(on_1024, &eof).size(), 0u);
    EXPECT_TRUE(eof);
    std::string dropped_line = "- dropped from 127.0.0.1 port " + std::to_string(dropped_port) + "\n";
    if (GetParam().verbose) {
        EXPECT_TRUE(daemon.wait_for_err(dropped_line));
        EXPECT_EQ(harness::count_occurrences(daemon.err(), "- refused"), 1);
    } else {
        EXPECT_EQ(harness::bounded_text(daemon.err()), "");
    }
    close(on_1023);
    close(on_1024);
}

INSTANTIATE_TEST_SUITE_P(Refusal, AtLimitHighDescriptor,
                         testing::Values(drop_case{"Verbose", true, "-c"}, drop_case{"Quiet", false, "-c"},
                                         drop_case{"OverSourceLimit", true, "-C"}),
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
        refuse_connection(ends[i], &remote, false);
    }
    // Newest first: ends[4] is the head.
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
    drain_pending_writes(&writable);
    ASSERT_NE(pending_list, nullptr);
    EXPECT_EQ(pending_list->conn_fd, ends[1]);
    EXPECT_EQ(pending_list->next_pending, nullptr);

    close(peers[1]);
    FD_ZERO(&writable);
    FD_SET(ends[1], &writable);
    drain_pending_writes(&writable);
    EXPECT_EQ(pending_list, nullptr);
    settings = settings_record{};
}

}  // namespace
