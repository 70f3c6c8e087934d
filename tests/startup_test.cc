// From the command line to the idle loop: binding, the port line, resolver
// and privilege failures, the descriptors and signal state the daemon keeps.
#include "harness.h"

#include <arpa/inet.h>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <sstream>
#include <sys/resource.h>
#include <sys/prctl.h>
#include <thread>
#include <unistd.h>

using harness::daemon_process;
using harness::launch_options;
using harness::run_sockherd;

namespace {

// The resolver's own text for what the daemon will ask it.
std::string resolver_message(const char *host, const char *service, int family)
{
    addrinfo hints = {};
    hints.ai_flags = AI_PASSIVE;
    hints.ai_family = family;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *result = nullptr;
    int rc = getaddrinfo(host, service, &hints, &result);
    if (rc == 0) {
        freeaddrinfo(result);
        return "(resolved)";
    }
    return gai_strerror(rc);
}

// Octal flags of one of pid's descriptors, from /proc.
long fd_flags(pid_t pid, int fd)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/fdinfo/" + std::to_string(fd));
    std::string key;
    std::string value;
    while (in >> key >> value)
        if (key == "flags:")
            return strtol(value.c_str(), nullptr, 8);
    return -1;
}

// The SIGCHLD handler is the last thing start-up installs; asleep after that
// means asleep in the loop's wait.
bool idle_in_loop(const daemon_process &daemon)
{
    return harness::catches_sigchld(daemon.pid) && harness::proc_status_field(daemon.pid, "State").substr(0, 1) == "S";
}

void become_nobody()
{
    if (geteuid() == 0 && (setgid(65534) == -1 || setuid(65534) == -1))
        _exit(99);
}

TEST(PortLine, PrintedOnceListeningAndNothingElse)
{
    daemon_process daemon;
    ASSERT_TRUE(daemon.start({"-1", "127.0.0.1", "0", "cat"}));
    ASSERT_GT(daemon.port, 0);
    int client = harness::connect_loopback(daemon.port);
    EXPECT_GE(client, 0) << "the socket must listen once the line is out";
    close(client);
    EXPECT_TRUE(harness::stays_silent(daemon.out_fd, 200)) << "one line only";
}

TEST(PortLine, AbsentWithoutOption)
{
    daemon_process daemon;
    ASSERT_TRUE(daemon.start({"127.0.0.1", "0", "cat"}));
    ASSERT_TRUE(harness::eventually([&] { return idle_in_loop(daemon); }));
    daemon.stop();
    EXPECT_EQ(harness::read_to_eof(daemon.out_fd), "");
}

TEST(Binding, Ipv6Loopback)
{
    daemon_process daemon;
    ASSERT_TRUE(daemon.start({"-6", "-1", "::1", "0", "cat"}));
    int client = harness::connect_loopback(daemon.port, AF_INET6);
    EXPECT_GE(client, 0);
    close(client);
}

TEST(Binding, PortInUseIsFatal)
{
    daemon_process first;
    ASSERT_TRUE(first.start({"-1", "127.0.0.1", "0", "cat"}));
    auto result = run_sockherd({"127.0.0.1", std::to_string(first.port), "cat"});
    EXPECT_EQ(result.status, 20);
    EXPECT_EQ(harness::bounded_text(result.err), "unable to bind to listen address\n");
    EXPECT_EQ(result.out, "");
}

struct resolver_case {
    const char *name;
    std::vector<std::string> args;
    const char *host;
    const char *service;
    int family;
};

class ResolverFailure : public testing::TestWithParam<resolver_case> {};

TEST_P(ResolverFailure, PrintsResolverTextAndExits20)
{
    const auto &c = GetParam();
    std::string expected = resolver_message(c.host, c.service, c.family);
    ASSERT_NE(expected, "(resolved)");
    auto result = run_sockherd(c.args);
    EXPECT_EQ(result.status, 20);
    EXPECT_EQ(harness::bounded_text(result.err), expected + "\n");
}

INSTANTIATE_TEST_SUITE_P(
    Startup, ResolverFailure,
    testing::Values(
        resolver_case{"UnknownService", {"127.0.0.1", "no-such-service-here", "cat"}, "127.0.0.1",
                      "no-such-service-here", AF_INET},
        resolver_case{"UnknownHost", {"no-such-host.invalid", "0", "cat"}, "no-such-host.invalid", "0", AF_INET},
        resolver_case{"Ipv4LiteralWithIpv6", {"-6", "127.0.0.1", "0", "cat"}, "127.0.0.1", "0", AF_INET6}),
    [](const testing::TestParamInfo<resolver_case> &param_info) { return std::string(param_info.param.name); });

TEST(Privileges, RefusedSetgidAfterPortLine)
{
    launch_options options;
    options.program = harness::runnable_by_anyone(SOCKHERD_BIN);
    options.before_exec = become_nobody;
    auto result = run_sockherd({"-1", "-g", "0", "127.0.0.1", "0", "cat"}, options);
    EXPECT_EQ(result.status, 20);
    EXPECT_EQ(harness::bounded_text(result.err), "unable to setgid\n");
    EXPECT_GT(atoi(result.out.c_str()), 0);
    EXPECT_EQ(harness::count_occurrences(result.out, "\n"), 1);
}

TEST(Privileges, RefusedSetuid)
{
    launch_options options;
    options.program = harness::runnable_by_anyone(SOCKHERD_BIN);
    options.before_exec = become_nobody;
    auto result = run_sockherd({"-u", "0", "127.0.0.1", "0", "cat"}, options);
    EXPECT_EQ(result.status, 20);
    EXPECT_EQ(harness::bounded_text(result.err), "unable to setuid\n");
}

TEST(Privileges, RootWithoutSetgidCapabilityCannotShedGroups)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root";
    launch_options options;
    options.before_exec = [] {
        // Still user 0, but without CAP_SETGID even after exec: setgroups must fail.
        if (prctl(PR_CAPBSET_DROP, CAP_SETGID, 0, 0, 0) == -1)
            _exit(98);
    };
    auto result = run_sockherd({"-g", "0", "127.0.0.1", "0", "cat"}, options);
    EXPECT_EQ(result.status, 20);
    EXPECT_EQ(harness::bounded_text(result.err), "unable to setgroups\n");
}

TEST(Privileges, RootDropKeepsOnlyTheNewGroup)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root";
    for (const char *how : {"options", "environment"}) {
        launch_options options;
        std::vector<std::string> args = {"-g", "65534", "-u", "65534", "-1", "127.0.0.1", "0", "cat"};
        if (std::string(how) == "environment") {
            options.set_env = {"GID=65534", "UID=65534"};
            args = {"-U", "-1", "127.0.0.1", "0", "cat"};
        }
        daemon_process daemon;
        ASSERT_TRUE(daemon.start(args, options)) << how;
        ASSERT_TRUE(harness::eventually([&] { return idle_in_loop(daemon); })) << how;
        EXPECT_EQ(harness::proc_status_field(daemon.pid, "Uid"), "65534\t65534\t65534\t65534") << how;
        EXPECT_EQ(harness::proc_status_field(daemon.pid, "Gid"), "65534\t65534\t65534\t65534") << how;
        EXPECT_EQ(harness::proc_status_field(daemon.pid, "Groups"), "65534") << how;
    }
}

TEST(Privileges, NoOptionNoChange)
{
    daemon_process daemon;
    ASSERT_TRUE(daemon.start({"-1", "127.0.0.1", "0", "cat"}));
    ASSERT_TRUE(harness::eventually([&] { return idle_in_loop(daemon); }));
    EXPECT_EQ(harness::proc_status_field(daemon.pid, "Uid"), harness::proc_status_field(getpid(), "Uid"));
    EXPECT_EQ(harness::proc_status_field(daemon.pid, "Groups"), harness::proc_status_field(getpid(), "Groups"));
}

TEST(IdleLoop, WaitsWithSigchldLetThroughAndBurnsNoCpu)
{
    launch_options options;
    options.blocked_signals = {SIGUSR1};
    daemon_process daemon;
    ASSERT_TRUE(daemon.start({"-1", "127.0.0.1", "0", "cat"}, options));
    ASSERT_TRUE(harness::eventually([&] { return idle_in_loop(daemon); }));
    // Only the wait lets SIGCHLD through; the rest of the mask is the one we gave.
    EXPECT_EQ(harness::proc_status_field(daemon.pid, "SigBlk"), harness::mask_text({SIGUSR1}));
    long before = harness::cpu_ticks(daemon.pid);
    std::this_thread::sleep_for(std::chrono::seconds(1));  // idle time is the thing measured
    EXPECT_LE(harness::cpu_ticks(daemon.pid) - before, 10) << "a busy loop would use about 100 ticks";
    EXPECT_EQ(harness::proc_status_field(daemon.pid, "State").substr(0, 1), "S");
    // "number nfds readfds writefds exceptfds timeout ...": no timer unless accepting is paused.
    std::istringstream call(harness::read_file("/proc/" + std::to_string(daemon.pid) + "/syscall"));
    std::string field[6];
    for (auto &one : field)
        call >> one;
    EXPECT_EQ(field[5], "0x0") << "select waits with a timeout";
}

TEST(IdleLoop, OwnDescriptorsAreCloseOnExecAndPipeWriteEndNonblocking)
{
    daemon_process daemon;
    ASSERT_TRUE(daemon.start({"-1", "127.0.0.1", "0", "cat"}));
    ASSERT_TRUE(harness::eventually([&] { return idle_in_loop(daemon); }));
    // Started with only 0, 1 and 2: listening socket 3, pipe read end 4, write end 5.
    EXPECT_EQ(harness::count_open_fds(daemon.pid), 6);
    for (int fd = 3; fd <= 5; fd++)
        EXPECT_TRUE(fd_flags(daemon.pid, fd) & O_CLOEXEC) << fd;
    EXPECT_TRUE(fd_flags(daemon.pid, 3) & O_NONBLOCK);
    EXPECT_FALSE(fd_flags(daemon.pid, 4) & O_NONBLOCK);
    EXPECT_TRUE(fd_flags(daemon.pid, 5) & O_NONBLOCK);
}

// Started by a supervisor that closed 0, 1 and 2: the daemon opens them on
// /dev/null first, so its own socket and pipe stay out of them, its log goes
// nowhere instead of into a socket, and every command has a standard error.
TEST(StandardDescriptors, ClosedAtStartAreOpenedOnDevNull)
{
    int probe = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ASSERT_EQ(getsockname(probe, reinterpret_cast<sockaddr *>(&address), &length), 0);
    int port = ntohs(address.sin_port);
    close(probe);  // free again for the daemon; no port line without a standard output

    launch_options options;
    options.close_standard_fds = true;
    daemon_process daemon;
    ASSERT_TRUE(daemon.start({"-v", "127.0.0.1", std::to_string(port), "readlink", "/proc/self/fd/2"}, options));
    ASSERT_TRUE(harness::eventually([&] { return harness::catches_sigchld(daemon.pid); }));
    for (int i = 0; i < 100; i++) {
        int client = harness::connect_loopback(port);
        ASSERT_NE(client, -1) << "client " << i;
        EXPECT_EQ(harness::read_to_eof(client), "/dev/null\n") << "client " << i;
        close(client);
    }
    EXPECT_TRUE(daemon.alive());
    std::string fds = harness::describe_fds(daemon.pid);
    for (int fd = 0; fd <= 2; fd++)
        EXPECT_NE(fds.find(std::to_string(fd) + " -> /dev/null\n"), std::string::npos) << fds;
}

// What the options ask of the sockets reaches the kernel: read back from a
// copy of the daemon's listening socket or of the command's standard input.
struct socket_option_case {
    const char *name;
    std::vector<std::string> options;
    bool of_command;  // the command's descriptor 0, else the daemon's listening socket
    std::function<int(int fd)> read;
    int expected;
};

void PrintTo(const socket_option_case &c, std::ostream *out)
{
    *out << c.name;
}

int int_option(int fd, int level, int name)
{
    int value = -1;
    socklen_t length = sizeof value;
    return getsockopt(fd, level, name, &value, &length) == 0 ? value : -1;
}

// A listening socket's TCP_INFO holds the backlog it was given, as ss shows it.
int listen_backlog(int fd)
{
    tcp_info info = {};
    socklen_t length = sizeof info;
    return getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) == 0 ? static_cast<int>(info.tcpi_sacked) : -1;
}

class SocketOptions : public testing::TestWithParam<socket_option_case> {};

TEST_P(SocketOptions, ReachTheKernel)
{
    const auto &c = GetParam();
    std::vector<std::string> args = c.options;
    args.insert(args.end(), {"-1", "127.0.0.1", "0", "cat"});
    daemon_process daemon;
    ASSERT_TRUE(daemon.start(args));
    int client = harness::connect_loopback(daemon.port);
    // Once cat echoes, it runs with the connection on descriptor 0.
    ASSERT_TRUE(harness::write_all(client, "x"));
    ASSERT_EQ(harness::read_some(client, 1), "x");
    std::vector<pid_t> children = harness::children_of(daemon.pid, false);
    ASSERT_EQ(children.size(), 1u);
    int copy = harness::borrow_fd(c.of_command ? children[0] : daemon.pid, c.of_command ? 0 : 3);
    if (copy == -1)
        GTEST_SKIP() << "cannot reach the socket (needs pidfd_getfd and ptrace rights)";
    EXPECT_EQ(c.read(copy), c.expected);
    close(copy);
    close(client);
}

INSTANTIATE_TEST_SUITE_P(
    Startup, SocketOptions,
    testing::Values(
        socket_option_case{"ReuseAddress", {}, false,
                           [](int fd) { return int_option(fd, SOL_SOCKET, SO_REUSEADDR) != 0; }, 1},
        socket_option_case{"DefaultBacklog", {}, false, listen_backlog, 10},
        socket_option_case{"BacklogOption", {"-b", "7"}, false, listen_backlog, 7},
        socket_option_case{"NoDelayOption", {"-D"}, true,
                           [](int fd) { return int_option(fd, IPPROTO_TCP, TCP_NODELAY) != 0; }, 1},
        socket_option_case{"NoDelayOnlyWithOption", {}, true,
                           [](int fd) { return int_option(fd, IPPROTO_TCP, TCP_NODELAY) != 0; }, 0}),
    [](const testing::TestParamInfo<socket_option_case> &param_info) { return std::string(param_info.param.name); });

struct fatal_case {
    const char *name;
    int open_file_limit;  // 0: unchanged
    int busy_from;        // inherited descriptors from here up to 1023; -1: none
    const char *message;
    bool port_printed;    // -1 prints the port line before this failure
    std::vector<std::string> options = {};
};

void PrintTo(const fatal_case &c, std::ostream *out)
{
    *out << c.name;
}

class StartupFatal : public testing::TestWithParam<fatal_case> {};

TEST_P(StartupFatal, EndsWithMessageAndStatus20)
{
    const auto &c = GetParam();
    launch_options options;
    if (c.busy_from >= 0) {
        SKIP_UNLESS_DESCRIPTORS(1100);
        options.extra_fds_from = c.busy_from;
        options.extra_fds_to = 1023;
    }
    int limit = c.open_file_limit;
    if (limit > 0)
        options.before_exec = [limit] {
            rlimit files = {static_cast<rlim_t>(limit), static_cast<rlim_t>(limit)};
            setrlimit(RLIMIT_NOFILE, &files);
        };
    std::vector<std::string> args = c.options;
    args.insert(args.end(), {"-1", "127.0.0.1", "0", "cat"});
    auto result = run_sockherd(args, options);
    EXPECT_EQ(result.status, 20);
    EXPECT_EQ(harness::bounded_text(result.err), std::string(c.message) + "\n");
    if (c.port_printed) {
        EXPECT_EQ(harness::count_occurrences(result.out, "\n"), 1) << result.out;
    } else {
        EXPECT_EQ(result.out, "");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Startup, StartupFatal,
    testing::Values(fatal_case{"NoDescriptorsForPipe", 5, -1, "unable to create self-pipe", true},
                    fatal_case{"ListeningSocketBeyondSelect", 0, 3, "descriptor too high for select", false},
                    fatal_case{"PipeBeyondSelect", 0, 4, "descriptor too high for select", true},
                    fatal_case{"SourceLimitWithProxyHeaders", 0, -1, "-C cannot be used with -p", false,
                               {"-C", "1", "-p"}}),
    [](const testing::TestParamInfo<fatal_case> &param_info) { return std::string(param_info.param.name); });

}  // namespace
