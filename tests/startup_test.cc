// From the command line to the idle loop: binding, the port line, resolver
// and privilege failures, the descriptors and signal state the daemon keeps;
// a socket from the service manager, the readiness notice, the daemon as
// the first process of a PID namespace, and a graceful stop on SIGTERM (-G).
#include "harness.h"
#include "json_line.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <memory>
#include <netdb.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sstream>
#include <sys/resource.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
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

// Leading zeros, however many, do not make a port out of range: the value counts.
TEST(Binding, PortWithLeadingZerosIsItsValue)
{
    daemon_process any;
    ASSERT_TRUE(any.start({"-1", "127.0.0.1", "00000", "cat"}));
    EXPECT_GT(any.port, 0);
    int free_port = any.port;
    any.stop();  // its port is free again
    daemon_process exact;
    ASSERT_TRUE(exact.start({"-1", "127.0.0.1", "0000000000000000" + std::to_string(free_port), "cat"}));
    EXPECT_EQ(exact.port, free_port);
}

// The same message whatever the log; under -J one fatal event holding it.
TEST(Binding, PortInUseIsFatal)
{
    daemon_process first;
    ASSERT_TRUE(first.start({"-1", "127.0.0.1", "0", "cat"}));
    for (const std::vector<std::string> &log : {std::vector<std::string>{}, {"-v"}, {"-J"}}) {
        std::vector<std::string> args = log;
        args.insert(args.end(), {"127.0.0.1", std::to_string(first.port), "cat"});
        auto result = run_sockherd(args);
        EXPECT_EQ(result.status, 20);
        EXPECT_EQ(result.out, "");
        if (log != std::vector<std::string>{"-J"}) {
            EXPECT_EQ(harness::bounded_text(result.err), "unable to bind to listen address\n");
            continue;
        }
        ASSERT_EQ(harness::split_lines(result.err).size(), 1u) << harness::bounded_text(result.err);
        json::object fatal;
        ASSERT_EQ(json::parse_object(harness::split_lines(result.err)[0], fatal), "") << result.err;
        ASSERT_EQ(fatal.fields.size(), 3u) << result.err;
        EXPECT_EQ(fatal.fields[0].name, "time");
        EXPECT_EQ(fatal.fields[1].name + "=" + fatal.fields[1].text, "event=fatal");
        EXPECT_EQ(fatal.fields[2].name + "=" + fatal.fields[2].text, "message=unable to bind to listen address");
    }
}

struct resolver_case {
    const char *name;
    std::vector<std::string> args;
    const char *host;
    const char *service;
    int family;
};

void PrintTo(const resolver_case &c, std::ostream *out)
{
    *out << c.name;
}

class ResolverFailure : public testing::TestWithParam<resolver_case> {};

TEST_P(ResolverFailure, PrintsResolverTextAndExits20)
{
    const auto &c = GetParam();
    std::string expected = resolver_message(c.host, c.service, c.family);
    ASSERT_NE(expected, "(resolved)");
    auto result = run_sockherd(c.args);
    EXPECT_EQ(result.status, 20);
    EXPECT_EQ(harness::bounded_text(result.err), expected + "\n");
    EXPECT_EQ(result.out, "") << "no socket, no port line";
}

INSTANTIATE_TEST_SUITE_P(
    Startup, ResolverFailure,
    testing::Values(
        resolver_case{"UnknownService", {"127.0.0.1", "no-such-service-here", "cat"}, "127.0.0.1",
                      "no-such-service-here", AF_INET},
        resolver_case{"UnknownHost", {"no-such-host.invalid", "0", "cat"}, "no-such-host.invalid", "0", AF_INET},
        resolver_case{"Ipv4LiteralWithIpv6", {"-6", "127.0.0.1", "0", "cat"}, "127.0.0.1", "0", AF_INET6},
        // The resolver would take these modulo 65536 (65636 as port 100); the
        // daemon gives them the text of a service the resolver does not know.
        resolver_case{"PortJustAboveRange", {"-1", "127.0.0.1", "65536", "cat"}, "127.0.0.1",
                      "no-such-service-here", AF_INET},
        resolver_case{"PortWrappingToAnother", {"-1", "127.0.0.1", "65636", "cat"}, "127.0.0.1",
                      "no-such-service-here", AF_INET},
        resolver_case{"PortOfElevenDigits", {"-1", "127.0.0.1", "99999999999", "cat"}, "127.0.0.1",
                      "no-such-service-here", AF_INET},
        // It reads a port as strtoul does: a sign or leading blanks, and a
        // value past 32 bits wrapping too, still make port 100.
        resolver_case{"PortWithPlusSign", {"-1", "127.0.0.1", "+65636", "cat"}, "127.0.0.1",
                      "no-such-service-here", AF_INET},
        resolver_case{"PortWithLeadingBlank", {"-1", "127.0.0.1", " 65636", "cat"}, "127.0.0.1",
                      "no-such-service-here", AF_INET},
        resolver_case{"PortWrappingPast32Bits", {"-1", "127.0.0.1", "+4294967396", "cat"}, "127.0.0.1",
                      "no-such-service-here", AF_INET},
        // An unset shell variable: the resolver would bind any free port.
        resolver_case{"EmptyPort", {"-1", "127.0.0.1", "", "cat"}, "127.0.0.1", "no-such-service-here",
                      AF_INET}),
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

// Without a log there is nowhere to write the counts: SIGUSR1 keeps the
// action the daemon was started with, which ends it.
TEST(Sigusr1, WithoutALogEndsTheDaemon)
{
    daemon_process daemon;
    ASSERT_TRUE(daemon.start({"-1", "127.0.0.1", "0", "cat"}));
    ASSERT_TRUE(harness::eventually([&] { return idle_in_loop(daemon); }));
    ASSERT_EQ(kill(daemon.pid, SIGUSR1), 0);
    int status = 0;
    int signal_number = 0;
    ASSERT_TRUE(daemon.wait_exit(status, harness::default_deadline_ms, &signal_number));
    EXPECT_EQ(signal_number, SIGUSR1);
}

// Whether pid is blocked in write(2) on its standard output.
bool writing_standard_output(pid_t pid)
{
    std::istringstream call(harness::read_file("/proc/" + std::to_string(pid) + "/syscall"));
    long number = -1;
    std::string first_argument;
    call >> number >> first_argument;
    return number == SYS_write && first_argument == "0x1";
}

// In the child, before exec: fills standard output, a pipe, so that the
// daemon will wait in the very write of its port line.
void fill_standard_output()
{
    static const char filler[4096] = {};
    int flags = fcntl(1, F_GETFL);
    fcntl(1, F_SETFL, flags | O_NONBLOCK);
    while (write(1, filler, sizeof filler) > 0) {
    }
    while (write(1, filler, 1) > 0) {
    }
    fcntl(1, F_SETFL, flags);
}

// The port line after the filler, read from out_fd; 0 when none comes.
int port_after_filler(int out_fd)
{
    std::string out;
    while (out.find('\n') == std::string::npos) {
        pollfd ready = {out_fd, POLLIN, 0};
        char buffer[4096];
        ssize_t got = poll(&ready, 1, harness::default_deadline_ms) == 1 ? read(out_fd, buffer, sizeof buffer) : 0;
        if (got <= 0)
            return 0;
        out.append(buffer, static_cast<size_t>(got));
    }
    return atoi(out.c_str() + out.find_first_not_of('\0'));
}

// A script may signal the daemon as soon as it has read the port line. Here
// the daemon is held in the very write of that line (its standard output a
// full pipe) when SIGUSR1 comes: the signal must be caught already, or it
// would end the daemon there. Once the line is read, the counts follow.
TEST(Sigusr1, SentAtThePortLineIsAnswered)
{
    launch_options options;
    options.before_exec = fill_standard_output;
    daemon_process daemon;
    // "-v1": start() waits for no port line, which cannot come yet.
    ASSERT_TRUE(daemon.start({"-v1", "127.0.0.1", "0", "cat"}, options));
    if (!harness::eventually([&] { return writing_standard_output(daemon.pid); })) {
        if (harness::read_file("/proc/" + std::to_string(daemon.pid) + "/syscall").empty())
            GTEST_SKIP() << "/proc/PID/syscall cannot be read here";
        FAIL() << "the daemon never waited to write its port line";
    }
    ASSERT_EQ(kill(daemon.pid, SIGUSR1), 0);
    EXPECT_GT(port_after_filler(daemon.out_fd), 0) << "the port line";
    EXPECT_TRUE(daemon.wait_for_err("- counts accepted=0 served=0 ")) << harness::bounded_text(daemon.err());
    EXPECT_TRUE(daemon.alive());
}

// SIGHUP reads the access rules again, and is caught already while the
// daemon writes its port line, as SIGUSR1 is. Without rules SIGHUP keeps the
// action the daemon was started with (here the default, which ends it).
// Either way every command starts with that action, and with the mask the
// daemon was started with.
// Whether the mask that /proc/PID/status shows as field holds signal_number.
bool holds_signal(const std::string &status, const std::string &field, int signal_number)
{
    size_t at = status.find("\n" + field + ":\t");
    if (at == std::string::npos)
        return false;
    unsigned long long mask = strtoull(status.c_str() + at + field.size() + 3, nullptr, 16);
    return (mask >> (signal_number - 1)) & 1;
}

struct hangup_case {
    const char *name;
    bool rules;
    bool ignored_at_start;
    bool ends;  // the signal ends the daemon
    int rules_count = 0;  // the signal comes while this many rules load
    bool drains = false;  // -G, and SIGTERM comes with the signal
};

void PrintTo(const hangup_case &c, std::ostream *out)
{
    *out << c.name;
}

class Hangup : public testing::TestWithParam<hangup_case> {};

TEST_P(Hangup, ReadsTheRulesOrKeepsItsStartingAction)
{
    const auto &c = GetParam();
    launch_options options;
    bool ignored_at_start = c.ignored_at_start;
    options.before_exec = [ignored_at_start] {
        signal(SIGHUP, ignored_at_start ? SIG_IGN : SIG_DFL);
        fill_standard_output();
    };
    std::string many;
    for (int i = 0; i < c.rules_count; i++)
        many += "2001:db8:" + std::to_string(i >> 13) + ':' + std::to_string(i & 8191) + "::/64 deny\n";
    harness::text_file rules(many);
    std::vector<std::string> args = {"-v1", "127.0.0.1", "0", "cat", "/proc/self/status"};
    if (c.rules)
        args.insert(args.begin(), {"-A", rules.path});
    if (c.drains)
        args.insert(args.begin(), {"-G", "30"});
    daemon_process daemon;
    ASSERT_TRUE(daemon.start(args, options));
    std::string rules_fd = "/proc/" + std::to_string(daemon.pid) + "/fd/3";  // the rules file while it loads
    std::error_code closed;
    auto loading = [&] { return c.rules_count > 0 && std::filesystem::read_symlink(rules_fd, closed) == rules.path; };
    if (!harness::eventually([&] { return loading() || writing_standard_output(daemon.pid); })) {
        if (harness::read_file("/proc/" + std::to_string(daemon.pid) + "/syscall").empty())
            GTEST_SKIP() << "/proc/PID/syscall cannot be read here";
        FAIL() << "the daemon never waited to write its port line";
    }
    ASSERT_EQ(kill(daemon.pid, SIGHUP), 0);
    if (c.drains)
        kill(daemon.pid, SIGTERM);
    if (c.ends) {
        int status = 0;
        int signal_number = 0;
        ASSERT_TRUE(daemon.wait_exit(status, harness::default_deadline_ms, &signal_number));
        EXPECT_EQ(signal_number, SIGHUP);
        return;
    }
    int port = port_after_filler(daemon.out_fd);
    ASSERT_GT(port, 0) << "the port line";
    std::string told = "- reloaded " + std::to_string(c.rules_count) + " rules\n";
    if (c.drains)
        told = "- draining (0 running)\n- drained\n";
    EXPECT_TRUE(daemon.wait_for_err(told)) << harness::bounded_text(daemon.err());
    if (c.drains) {  // and nothing else, and status 0
        int exit_status = -1;
        EXPECT_TRUE(daemon.wait_exit(exit_status) && exit_status == 0) << exit_status;
        EXPECT_EQ(harness::bounded_text(daemon.err()), told);
        return;
    }
    int client = harness::connect_loopback(port);
    std::string status = harness::read_to_eof(client);
    close(client);
    // SIGHUP alone: the test itself may have been started with others ignored.
    EXPECT_FALSE(holds_signal(status, "SigBlk", SIGHUP)) << status;
    EXPECT_EQ(holds_signal(status, "SigIgn", SIGHUP), c.ignored_at_start) << status;
    EXPECT_FALSE(holds_signal(status, "SigCgt", SIGHUP)) << status;
}

INSTANTIATE_TEST_SUITE_P(
    Startup, Hangup,
    testing::Values(hangup_case{"WithoutRulesEndsTheDaemon", false, false, true},
                    hangup_case{"WithRulesReloads", true, false, false},
                    hangup_case{"WithRulesStartedIgnoredStaysIgnoredInCommands", true, true, false},
                    hangup_case{"WithRulesWhileTheyLoadReloadsOnceServing", true, false, false, 1 << 19},
                    hangup_case{"WithRulesAndADrainStartingReloadsNothing", true, false, false, 0, true}),
    [](const testing::TestParamInfo<hangup_case> &param_info) { return std::string(param_info.param.name); });

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
                           [](int fd) { return int_option(fd, IPPROTO_TCP, TCP_NODELAY) != 0; }, 0},
        socket_option_case{"KeepaliveOption", {"-K", "7"}, true,
                           [](int fd) { return int_option(fd, SOL_SOCKET, SO_KEEPALIVE) != 0; }, 1},
        socket_option_case{"KeepaliveIdleTime", {"-K", "7"}, true,
                           [](int fd) { return int_option(fd, IPPROTO_TCP, TCP_KEEPIDLE); }, 7},
        socket_option_case{"KeepaliveProbeInterval", {"-K", "32767"}, true,
                           [](int fd) { return int_option(fd, IPPROTO_TCP, TCP_KEEPINTVL); }, 32767},
        socket_option_case{"KeepaliveProbeCount", {"-K", "1"}, true,
                           [](int fd) { return int_option(fd, IPPROTO_TCP, TCP_KEEPCNT); }, 3},
        socket_option_case{"KeepaliveOnlyWithOption", {}, true,
                           [](int fd) { return int_option(fd, SOL_SOCKET, SO_KEEPALIVE) != 0; }, 0}),
    [](const testing::TestParamInfo<socket_option_case> &param_info) { return std::string(param_info.param.name); });

struct fatal_case {
    const char *name;
    int open_file_limit;  // 0: unchanged
    int busy_from;        // inherited descriptors from here up to 1023; -1: none
    const char *message;
    bool port_printed;    // -1 prints the port line before this failure
    std::vector<std::string> options = {};
    const char *rules = nullptr;  // a file for -A; message follows its path
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
    if (!args.empty() && args[0] == "-u" && geteuid() != 0)
        GTEST_SKIP() << "needs root to change identity";
    options.program = harness::runnable_by_anyone(SOCKHERD_BIN);
    std::string message = c.message;
    char rules_path[] = "/tmp/sockherd-rules-XXXXXX";
    if (c.rules != nullptr) {
        int fd = mkstemp(rules_path);
        ASSERT_NE(fd, -1);
        ASSERT_EQ(write(fd, c.rules, strlen(c.rules)), static_cast<ssize_t>(strlen(c.rules)));
        close(fd);
        args.insert(args.end(), {"-A", rules_path});
        message = rules_path + message;
    }
    args.insert(args.end(), {"-1", "127.0.0.1", "0", "cat"});
    auto result = run_sockherd(args, options);
    if (c.rules != nullptr)
        unlink(rules_path);
    EXPECT_EQ(result.status, 20);
    EXPECT_EQ(harness::bounded_text(result.err), message + "\n");
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
                    // The rules are read before the socket is made: no port line, nothing bound.
                    fatal_case{"RulesFileUnreadable", 0, -1, "unable to read /proc/none: No such file or directory", false,
                               {"-A", "/proc/none"}},
                    fatal_case{"RulesFileWrong", 0, -1, ":3: duplicate of line 1", false, {"-v"},
                               "10.0.0.0/8 allow\n::/0 deny\n10.0.0.0/8 deny\n"},
                    fatal_case{"MetricsDirectoryMissing", 0, -1,
                               "unable to write /proc/nonexistent/m.prom: No such file or directory", true,
                               {"-M", "/proc/nonexistent/m.prom"}},
                    fatal_case{"MetricsDirectoryOnlyRootMayWrite", 0, -1,
                               "unable to write /run/sockherd-test.prom: Permission denied", true,
                               {"-u", "65534", "-g", "65534", "-M", "/run/sockherd-test.prom"}}),
    [](const testing::TestParamInfo<fatal_case> &param_info) { return std::string(param_info.param.name); });

// Behind a wrapper (systemd-socket-activate, unshare) start() would wait for
// the wrapper itself to catch SIGCHLD, so the port option goes in joined to
// -v, where start() does not look for it, and the test reads the line.
const char *const verbose_port_line = "-v1";

// The port line on fd; -1 when none comes in time.
int read_port_line(int fd)
{
    std::string line;
    while (line.find('\n') == std::string::npos) {
        std::string more = harness::read_some(fd, 1);
        if (more.empty())
            return -1;
        line += more;
    }
    return atoi(line.c_str());
}

// A loopback port nothing listens on just now, for a program that cannot be given 0.
int free_port()
{
    int probe = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = -1;
    if (bind(probe, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
        getsockname(probe, reinterpret_cast<sockaddr *>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    close(probe);
    return port;
}

// systemd's own tool binds, waits for the first client and then execs the
// daemon with the socket on descriptor 3: that client and the next are served
// on it, the command holds neither the socket nor a LISTEN_ variable, and -6
// changes nothing about the manager's IPv4 socket.
TEST(SocketActivation, SystemdSocketServesClientsAndStaysOutOfTheCommand)
{
    const char *tool = "/usr/bin/systemd-socket-activate";
    if (access(tool, X_OK) != 0)
        GTEST_SKIP() << "systemd-socket-activate is not installed (Debian package systemd)";
    const char *script = "echo \"$PROTO|$TCPLOCALIP|$TCPLOCALPORT|$TCPREMOTEIP|$TCPREMOTEPORT\"; "
                         "env | grep ^LISTEN_; ls /proc/$$/fd";
    launch_options options;
    options.program = tool;
    std::unique_ptr<daemon_process> daemon;
    int port = -1;
    // Port 0 is refused: take a free one, and another if a program took it first.
    for (int attempt = 0; attempt < 5 && port == -1; attempt++) {
        int candidate = free_port();
        std::string listening = "Listening on 127.0.0.1:" + std::to_string(candidate) + " as 3.";
        daemon = std::make_unique<daemon_process>();
        ASSERT_TRUE(daemon->start({"--fdname=web", "-l", "127.0.0.1:" + std::to_string(candidate), SOCKHERD_BIN,
                                   "-L", "-6", verbose_port_line, "sh", "-c", script},
                                  options));
        bool ended = false;
        ASSERT_TRUE(harness::eventually([&] {
            int status;
            ended = ended || daemon->wait_exit(status, 0);
            return ended || daemon->err().find(listening) != std::string::npos;
        }));
        if (!ended)
            port = candidate;
    }
    ASSERT_NE(port, -1) << "no free port in five tries; last: " << harness::bounded_text(daemon->err());
    for (int i = 0; i < 2; i++) {
        int client = harness::connect_loopback(port);
        ASSERT_NE(client, -1) << "client " << i;
        if (i == 0) {
            ASSERT_EQ(read_port_line(daemon->out_fd), port) << harness::bounded_text(daemon->err());
        }
        std::string expected = "TCP|127.0.0.1|" + std::to_string(port) + "|127.0.0.1|" +
                               std::to_string(harness::local_port_of(client)) + "\n0\n1\n2\n";
        bool eof = false;
        EXPECT_EQ(harness::read_to_eof(client, &eof), expected) << "client " << i;
        EXPECT_TRUE(eof);
        close(client);
    }
    EXPECT_TRUE(daemon->wait_for_err(" connected from 127.0.0.1 port ", 2));
    EXPECT_NE(harness::read_file("/proc/" + std::to_string(daemon->pid) + "/environ").find("LISTEN_FDNAMES=web"),
              std::string::npos)
        << "the daemon itself was given all three variables";
    EXPECT_EQ(fd_flags(daemon->pid, 3) & (O_NONBLOCK | O_CLOEXEC), O_NONBLOCK | O_CLOEXEC);
}

// What a service manager may wrongly pass: put on descriptor 3 in the child
// just before exec, when every descriptor from 3 up is closed.
enum class passed { nothing, listening_tcp, udp, unconnected_tcp, listening_unix, pipe };

void pass_on_descriptor_3(passed kind)
{
    int fd = -1;
    sockaddr_in loopback = {};
    loopback.sin_family = AF_INET;
    loopback.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sockaddr_un unnamed = {};
    unnamed.sun_family = AF_UNIX;
    int ends[2];
    switch (kind) {
    case passed::nothing: return;
    case passed::listening_tcp:
        fd = socket(AF_INET, SOCK_STREAM, 0);
        if (bind(fd, reinterpret_cast<sockaddr *>(&loopback), sizeof loopback) == -1 || listen(fd, 1) == -1)
            _exit(97);
        break;
    case passed::udp: fd = socket(AF_INET, SOCK_DGRAM, 0); break;
    case passed::unconnected_tcp: fd = socket(AF_INET, SOCK_STREAM, 0); break;
    case passed::listening_unix:
        fd = socket(AF_UNIX, SOCK_STREAM, 0);
        // The family alone: the kernel picks an abstract name.
        if (bind(fd, reinterpret_cast<sockaddr *>(&unnamed), sizeof(sa_family_t)) == -1 || listen(fd, 1) == -1)
            _exit(97);
        break;
    case passed::pipe:
        if (pipe(ends) == -1)
            _exit(97);
        fd = ends[0];  // the write end stays open on 4
        break;
    }
    if (fd != 3)
        _exit(97);
}

// In the child: text (room after "LISTEN_PID=") gets the child's own id, which
// the program keeps across exec. No stdio after fork.
void write_own_pid(char *text)
{
    char digits[20];
    int count = 0;
    for (long pid = getpid(); pid > 0; pid /= 10)
        digits[count++] = static_cast<char>('0' + pid % 10);
    while (count > 0)
        *text++ = digits[--count];
    *text = '\0';
}

struct manager_socket_case {
    const char *name;
    const char *listen_pid;  // "daemon", "test" (this process), or nullptr: unset
    const char *listen_fds;  // nullptr: unset
    passed on_fd_3;
    const char *message;
};

void PrintTo(const manager_socket_case &c, std::ostream *out)
{
    *out << c.name;
}

class ManagerSocketRefused : public testing::TestWithParam<manager_socket_case> {};

TEST_P(ManagerSocketRefused, EndsWithMessageAndStatus20)
{
    const auto &c = GetParam();
    launch_options options;
    options.unset_env = {"LISTEN_PID", "LISTEN_FDS", "LISTEN_FDNAMES"};
    if (c.listen_fds != nullptr)
        options.set_env.push_back(std::string("LISTEN_FDS=") + c.listen_fds);
    bool daemon_pid = c.listen_pid != nullptr && std::string(c.listen_pid) == "daemon";
    if (daemon_pid)
        options.set_env.push_back("LISTEN_PID=" + std::string(20, '-'));  // filled in by the child
    else if (c.listen_pid != nullptr)
        options.set_env.push_back("LISTEN_PID=" + std::to_string(getpid()));
    passed kind = c.on_fd_3;
    options.before_exec = [&options, kind, daemon_pid] {
        pass_on_descriptor_3(kind);
        if (daemon_pid)
            write_own_pid(options.set_env.back().data() + strlen("LISTEN_PID="));
    };
    auto result = run_sockherd({"-L", "-1", "cat"}, options);
    EXPECT_EQ(result.status, 20);
    EXPECT_EQ(harness::bounded_text(result.err), std::string(c.message) + "\n");
    EXPECT_EQ(result.out, "");
}

const char *const no_socket = "no socket from the service manager";
const char *const not_listening_tcp = "socket from the service manager is not a listening TCP socket";

INSTANTIATE_TEST_SUITE_P(
    Startup, ManagerSocketRefused,
    testing::Values(
        manager_socket_case{"NoVariables", nullptr, nullptr, passed::listening_tcp, no_socket},
        manager_socket_case{"PidOfAnotherProcess", "test", "1", passed::listening_tcp, no_socket},
        manager_socket_case{"CountNotANumber", "daemon", "abc", passed::listening_tcp, no_socket},
        manager_socket_case{"TwoAnnounced", "daemon", "2", passed::listening_tcp,
                            "expected one socket from the service manager"},
        manager_socket_case{"UdpSocket", "daemon", "1", passed::udp, not_listening_tcp},
        manager_socket_case{"TcpSocketNotListening", "daemon", "1", passed::unconnected_tcp, not_listening_tcp},
        manager_socket_case{"ListeningUnixSocket", "daemon", "1", passed::listening_unix, not_listening_tcp},
        manager_socket_case{"Pipe", "daemon", "1", passed::pipe, not_listening_tcp},
        manager_socket_case{"DescriptorClosed", "daemon", "1", passed::nothing, not_listening_tcp}),
    [](const testing::TestParamInfo<manager_socket_case> &param_info) { return std::string(param_info.param.name); });

// A datagram socket for readiness notices, named as NOTIFY_SOCKET names it:
// a path, an abstract name ("@" for the leading zero byte), or a path that
// nothing is bound to.
enum class notify_target { path, abstract_name, nothing };

struct notify_listener {
    int fd = -1;
    std::string name;
    std::string directory;

    explicit notify_listener(notify_target target)
    {
        char made[] = "/tmp/sockherd-notify-XXXXXX";
        if (mkdtemp(made) == nullptr)
            return;
        directory = made;
        name = target == notify_target::abstract_name ? "@" + directory.substr(5) : directory + "/notify";
        if (target == notify_target::nothing)
            return;
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        memcpy(address.sun_path, name.data(), name.size());
        if (name[0] == '@')
            address.sun_path[0] = '\0';
        fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (bind(fd, reinterpret_cast<sockaddr *>(&address),
                 static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size())) == -1) {
            close(fd);
            fd = -1;
        }
    }
    notify_listener(const notify_listener &) = delete;
    notify_listener &operator=(const notify_listener &) = delete;
    ~notify_listener()
    {
        if (fd != -1)
            close(fd);
        unlink((directory + "/notify").c_str());
        rmdir(directory.c_str());
    }

    // The next datagram, or "(none)" when none comes within wait_ms.
    std::string receive(int wait_ms) const
    {
        pollfd ready = {fd, POLLIN, 0};
        char buffer[256];
        if (poll(&ready, 1, wait_ms) != 1)
            return "(none)";
        ssize_t got = recv(fd, buffer, sizeof buffer, 0);
        return got < 0 ? "(none)" : std::string(buffer, static_cast<size_t>(got));
    }
};

struct readiness_case {
    const char *name;
    notify_target target;
    int load_seconds = 0;  // then a load of clients this long, and 3 idle seconds: label stress
};

void PrintTo(const readiness_case &c, std::ostream *out)
{
    *out << c.name;
}

class Readiness : public testing::TestWithParam<readiness_case> {};

// The figures of a STATUS= notice, running first; empty when it is none.
std::vector<unsigned long long> status_figures(const std::string &notice)
{
    unsigned long long running, limit, served, refused, denied, dropped, failed;
    if (sscanf(notice.c_str(), "STATUS=%llu/%llu running; %llu served, %llu refused, %llu denied, %llu dropped, %llu failed",
               &running, &limit, &served, &refused, &denied, &dropped, &failed) != 7)
        return {};
    return {running, limit, served, refused, denied, dropped, failed};
}

// Clients one after another for seconds: the status follows at most once a
// second, its counts only ever rising, until it shows all of them served;
// then an idle daemon sends nothing.
void expect_status_under_load(const daemon_process &daemon, const notify_listener &listener, int seconds,
                              int served_before)
{
    std::vector<std::string> during;
    int clients = 0;
    auto started = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - started < std::chrono::seconds(seconds)) {
        int client = harness::connect_loopback(daemon.port);
        EXPECT_EQ(harness::read_to_eof(client), "unset\n");
        close(client);
        clients++;
        for (std::string notice; (notice = listener.receive(0)) != "(none)";)
            during.push_back(notice);
    }
    std::string final_status = "STATUS=0/40 running; " + std::to_string(served_before + clients) +
                               " served, 0 refused, 0 denied, 0 dropped, 0 failed";
    std::vector<std::string> notices = during;
    while (notices.empty() || notices.back() != final_status) {
        std::string notice = listener.receive(harness::default_deadline_ms);
        if (notice == "(none)")
            break;
        notices.push_back(notice);
    }
    EXPECT_LE(during.size(), static_cast<size_t>(seconds + 1)) << "at most one a second";
    EXPECT_GE(during.size(), 2u) << "the status follows a busy daemon too";
    ASSERT_FALSE(notices.empty());
    EXPECT_EQ(notices.back(), final_status);
    std::vector<unsigned long long> last = {0, 40, static_cast<unsigned long long>(served_before), 0, 0, 0, 0};
    for (const auto &notice : notices) {
        std::vector<unsigned long long> figures = status_figures(notice);
        ASSERT_EQ(figures.size(), 7u) << notice;
        EXPECT_EQ(figures[1], 40u) << notice;
        for (size_t i = 2; i < figures.size(); i++)
            EXPECT_GE(figures[i], last[i]) << notice << " after " << last[i];
        last = figures;
    }
    EXPECT_EQ(listener.receive(3000), "(none)") << "an idle daemon sends nothing";
    testing::Test::RecordProperty("clients", std::to_string(clients));
    testing::Test::RecordProperty("notices", std::to_string(notices.size()));
}

TEST_P(Readiness, ToldOnceOrWarnedAndClientsServedWithoutNotifySocket)
{
    const auto &c = GetParam();
    notify_listener listener(c.target);
    ASSERT_TRUE(c.target == notify_target::nothing || listener.fd != -1) << listener.name;
    launch_options options;
    options.set_env = {"NOTIFY_SOCKET=" + listener.name};
    daemon_process daemon;
    ASSERT_TRUE(daemon.start({"-1", "127.0.0.1", "0", "sh", "-c", "echo \"${NOTIFY_SOCKET-unset}\""}, options));
    std::string warning = c.target == notify_target::nothing ? "unable to notify the service manager\n" : "";
    if (c.target == notify_target::nothing) {
        ASSERT_TRUE(daemon.wait_for_err(warning));
    } else {
        ASSERT_EQ(listener.receive(harness::default_deadline_ms),
                  "READY=1\nSTATUS=0/40 running; 0 served, 0 refused, 0 denied, 0 dropped, 0 failed");
    }
    for (int i = 0; i < 2; i++) {
        int client = harness::connect_loopback(daemon.port);
        EXPECT_EQ(harness::read_to_eof(client), "unset\n") << "client " << i;
        close(client);
    }
    if (c.target != notify_target::nothing) {
        // Readiness once; then the status as it changes.
        std::string notice;
        do
            notice = listener.receive(harness::default_deadline_ms);
        while (notice.find("STATUS=0/40 running; 2 served,") == std::string::npos && notice.rfind("STATUS=", 0) == 0);
        EXPECT_EQ(notice, "STATUS=0/40 running; 2 served, 0 refused, 0 denied, 0 dropped, 0 failed");
        if (c.load_seconds > 0)
            expect_status_under_load(daemon, listener, c.load_seconds, 2);
    }
    EXPECT_EQ(harness::bounded_text(daemon.err()), warning);
}

INSTANTIATE_TEST_SUITE_P(
    Startup, Readiness,
    testing::Values(readiness_case{"Path", notify_target::path},
                    readiness_case{"AbstractName", notify_target::abstract_name},
                    readiness_case{"NamesNothing", notify_target::nothing},
                    readiness_case{"PathUnderLoad", notify_target::path, 5}),
    [](const testing::TestParamInfo<readiness_case> &param_info) { return std::string(param_info.param.name); });

// Without a log, a denied and a refused client reach the status too. An
// update that could not be sent (the manager away) is tried again a second
// later, by a daemon that has nothing else to do: it was tried before the
// daemon went back to sleep in its wait.
TEST(Readiness, QuietDaemonTellsTurnedAwayClientsOnceTheManagerIsBack)
{
    notify_listener listener(notify_target::path);
    harness::text_file rules("127.0.0.2 deny\n");
    launch_options options;
    options.set_env = {"NOTIFY_SOCKET=" + listener.name};
    daemon_process daemon;
    ASSERT_TRUE(daemon.start({"-C", "0", "-A", rules.path, "-1", "127.0.0.1", "0", "cat"}, options));
    ASSERT_EQ(listener.receive(harness::default_deadline_ms),
              "READY=1\nSTATUS=0/40 running; 0 served, 0 refused, 0 denied, 0 dropped, 0 failed");
    auto turned_away = [&](const char *source) {
        int client = harness::connect_from(source, daemon.port);
        EXPECT_EQ(harness::read_to_eof(client), "") << source;
        close(client);
    };
    turned_away("127.0.0.2");
    ASSERT_EQ(listener.receive(harness::default_deadline_ms),
              "STATUS=0/40 running; 0 served, 0 refused, 1 denied, 0 dropped, 0 failed");
    // A second after that update, the next is due at once; it finds no manager.
    std::string away = listener.name + ".away";
    ASSERT_EQ(rename(listener.name.c_str(), away.c_str()), 0);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    turned_away("127.0.0.1");
    ASSERT_TRUE(harness::eventually([&] { return idle_in_loop(daemon); }));
    ASSERT_EQ(rename(away.c_str(), listener.name.c_str()), 0);
    EXPECT_EQ(listener.receive(harness::default_deadline_ms),
              "STATUS=0/40 running; 0 served, 1 refused, 1 denied, 0 dropped, 0 failed");
}

// The notice comes after the last step that can still fail: the self-pipe.
TEST(Readiness, NotSentWhenStartupFailsAfterThePortLine)
{
    notify_listener listener(notify_target::path);
    ASSERT_NE(listener.fd, -1);
    launch_options options;
    options.set_env = {"NOTIFY_SOCKET=" + listener.name};
    options.before_exec = [] {
        rlimit files = {5, 5};  // 0 to 2, the listening socket, and one more: no pipe
        setrlimit(RLIMIT_NOFILE, &files);
    };
    auto result = run_sockherd({"-1", "127.0.0.1", "0", "cat"}, options);
    EXPECT_EQ(result.status, 20);
    EXPECT_EQ(harness::bounded_text(result.err), "unable to create self-pipe\n");
    EXPECT_EQ(listener.receive(0), "(none)");
}

// A listening socket on loopback, bound to a port of the system's choosing,
// as a service manager holds it; -1 on failure.
int manager_listening_socket()
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd != -1 && (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == -1 || listen(fd, 16) == -1)) {
        close(fd);
        fd = -1;
    }
    return fd;
}

// The next notice that is not a status update, or "(none)" by the deadline.
std::string next_notice_but_status(const notify_listener &listener)
{
    std::string notice;
    do
        notice = listener.receive(harness::default_deadline_ms);
    while (notice.rfind("STATUS=", 0) == 0);
    return notice;
}

// systemd keeps the socket it passes, so a drain under -L must leave it
// listening: a client who connects meanwhile waits in its queue, neither
// served nor reset, for whoever takes the socket next (here this process,
// which holds its copy as the manager does).
TEST(SocketActivation, DrainLeavesClientsWhoConnectMeanwhileInTheManagersQueue)
{
    int socket_of_manager = manager_listening_socket();
    ASSERT_NE(socket_of_manager, -1);
    int port = harness::local_port_of(socket_of_manager);
    notify_listener listener(notify_target::path);
    ASSERT_NE(listener.fd, -1);
    launch_options options;
    options.unset_env = {"LISTEN_FDNAMES"};
    options.set_env = {"NOTIFY_SOCKET=" + listener.name, "LISTEN_FDS=1", "LISTEN_PID=" + std::string(20, '-')};
    options.descriptor_3 = socket_of_manager;
    options.before_exec = [&options] { write_own_pid(options.set_env.back().data() + strlen("LISTEN_PID=")); };
    daemon_process daemon;
    ASSERT_TRUE(daemon.start({"-L", "-v", "-G", "30", "-1", "sh", "-c", "echo started; read line; echo \"bye $line\""},
                             options));
    EXPECT_EQ(daemon.port, port);
    ASSERT_EQ(next_notice_but_status(listener).substr(0, 8), "READY=1\n");

    int running = harness::connect_loopback(port);
    ASSERT_EQ(harness::read_some(running, 8), "started\n");
    ASSERT_EQ(kill(daemon.pid, SIGTERM), 0);
    EXPECT_EQ(next_notice_but_status(listener), "STOPPING=1");
    ASSERT_TRUE(daemon.wait_for_err("- draining (1 running)\n")) << harness::bounded_text(daemon.err());
    int waiting = harness::connect_loopback(port);
    ASSERT_NE(waiting, -1) << "the manager's socket must still listen";
    ASSERT_TRUE(harness::write_all(waiting, "queued\n"));

    ASSERT_TRUE(harness::write_all(running, "now\n"));
    bool eof = false;
    EXPECT_EQ(harness::read_to_eof(running, &eof), "bye now\n");
    EXPECT_TRUE(eof);
    close(running);
    int status = -1;
    ASSERT_TRUE(daemon.wait_exit(status)) << harness::bounded_text(daemon.err());
    EXPECT_EQ(status, 0);
    std::vector<std::string> lines = harness::split_lines(daemon.err());
    ASSERT_EQ(lines.size(), 4u) << harness::bounded_text(daemon.err());
    EXPECT_EQ(lines[1], "- draining (1 running)");
    EXPECT_NE(lines[2].find(" closed (0/40)"), std::string::npos) << lines[2];
    EXPECT_EQ(lines[3], "- drained");

    EXPECT_TRUE(harness::stays_silent(waiting, 0)) << "neither served nor reset by the daemon";
    pollfd queued = {socket_of_manager, POLLIN, 0};
    ASSERT_EQ(poll(&queued, 1, harness::default_deadline_ms), 1);
    int taken = accept(socket_of_manager, nullptr, nullptr);
    ASSERT_NE(taken, -1);
    sockaddr_in peer = {};
    socklen_t length = sizeof peer;
    ASSERT_EQ(getpeername(taken, reinterpret_cast<sockaddr *>(&peer), &length), 0);
    EXPECT_EQ(ntohs(peer.sin_port), harness::local_port_of(waiting));
    EXPECT_EQ(harness::read_some(taken, 7), "queued\n");
    ASSERT_TRUE(harness::write_all(taken, "served by the next one\n"));
    EXPECT_EQ(harness::read_some(waiting, 23), "served by the next one\n");
    close(taken);
    close(waiting);
    close(socket_of_manager);
}

// The daemon as the first process of a new PID namespace, under unshare,
// which passes the daemon's exit status on as its own. The daemon is not our
// child: it is ended through a pidfd taken while unshare still held it, then
// unshare is killed and reaped.
struct namespaced_daemon {
    daemon_process unshare;
    pid_t pid = -1;  // the daemon as this process sees it
    int pidfd = -1;
    int port = -1;

    namespaced_daemon() = default;
    namespaced_daemon(const namespaced_daemon &) = delete;
    namespaced_daemon &operator=(const namespaced_daemon &) = delete;
    ~namespaced_daemon()
    {
        if (pidfd == -1)
            return;
        (void)syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0);
        pollfd ended = {pidfd, POLLIN, 0};
        (void)poll(&ended, 1, harness::default_deadline_ms);
        close(pidfd);
    }

    // Starts "sockherd -v1 args..." as PID 1 and waits until it is in its loop.
    bool start(const std::vector<std::string> &args, const launch_options &options = {})
    {
        launch_options wrapped = options;
        wrapped.program = "/usr/bin/unshare";
        std::vector<std::string> line = {"--pid", "--fork", "--kill-child", SOCKHERD_BIN, verbose_port_line};
        line.insert(line.end(), args.begin(), args.end());
        if (!unshare.start(line, wrapped) || (port = read_port_line(unshare.out_fd)) <= 0)
            return false;
        std::vector<pid_t> children = harness::children_of(unshare.pid, false);
        if (children.size() != 1)
            return false;
        pid = children[0];
        pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
        return pidfd != -1 && harness::proc_status_field(pid, "NSpid").ends_with("\t1") &&
               harness::eventually([&] { return harness::catches_sigchld(pid); });
    }
};

// Empty when this process may make a PID namespace; else why not.
std::string pid_namespace_refused()
{
    if (geteuid() != 0)
        return "needs root for a new PID namespace";
    launch_options options;
    options.program = "/usr/bin/unshare";
    if (access(options.program.c_str(), X_OK) != 0)
        return "unshare is not installed (Debian package util-linux)";
    auto result = run_sockherd({"--pid", "--fork", "--kill-child", "true"}, options);
    return result.status == 0 ? "" : "unshare --pid fails here: " + harness::bounded_text(result.err);
}

#define SKIP_UNLESS_PID_NAMESPACE()                                  \
    do {                                                             \
        std::string pid_namespace_reason = pid_namespace_refused(); \
        if (!pid_namespace_reason.empty())                           \
            GTEST_SKIP() << pid_namespace_reason;                    \
    } while (0)

const char *const metrics_file = "/tmp/sockherd-first-process.prom";

struct init_signal_case {
    const char *name;
    int ignored_at_start;  // 0: every signal at its default action
    int signal_number;
    int status;  // the daemon's exit status; -1: it goes on serving
    std::vector<std::string> options = {};
};

void PrintTo(const init_signal_case &c, std::ostream *out)
{
    *out << c.name;
}

class FirstProcessOfPidNamespace : public testing::TestWithParam<init_signal_case> {};

// The first client shows the command's ignored signals, and that the daemon
// is in its loop, handlers and all, before the signal is sent.
TEST_P(FirstProcessOfPidNamespace, StopSignalEndsItUnlessStartedIgnored)
{
    SKIP_UNLESS_PID_NAMESPACE();
    const auto &c = GetParam();
    launch_options options;
    int ignored = c.ignored_at_start;
    if (ignored != 0)
        options.before_exec = [ignored] { signal(ignored, SIG_IGN); };
    std::vector<std::string> args = c.options;
    args.insert(args.end(), {"127.0.0.1", "0", "grep", "SigIgn", "/proc/self/status"});
    namespaced_daemon daemon;
    ASSERT_TRUE(daemon.start(args, options));
    std::string command_ignores =
        "SigIgn:\t" + harness::mask_text(ignored != 0 ? std::vector<int>{ignored} : std::vector<int>{}) + "\n";
    auto served = [&] {
        int client = harness::connect_loopback(daemon.port);
        std::string reply = harness::read_to_eof(client);
        close(client);
        return reply;
    };
    EXPECT_EQ(served(), command_ignores);
    unlink(metrics_file);  // -M wrote it at start-up, and writes it again on its way out
    auto sent = std::chrono::steady_clock::now();
    ASSERT_EQ(kill(daemon.pid, c.signal_number), 0);
    int status = -1;
    bool ended = daemon.unshare.wait_exit(status, c.status == -1 ? 500 : harness::default_deadline_ms);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - sent).count();
    if (c.status == -1) {
        ASSERT_FALSE(ended) << "ended with status " << status;
        EXPECT_EQ(served(), command_ignores);
        return;
    }
    ASSERT_TRUE(ended) << "still running " << seconds << " s after the signal";
    EXPECT_EQ(unlink(metrics_file), c.options.empty() || c.options[0] != "-M" ? -1 : 0) << "the last write";
    RecordProperty("seconds_to_end", std::to_string(seconds));
    EXPECT_EQ(status, c.status);
    EXPECT_LT(seconds, 5.0) << "at once; 5 s for a loaded machine";
}

INSTANTIATE_TEST_SUITE_P(
    Startup, FirstProcessOfPidNamespace,
    testing::Values(init_signal_case{"SigtermEndsWith143", 0, SIGTERM, 143},
                    init_signal_case{"SigintEndsWith130", 0, SIGINT, 130},
                    init_signal_case{"IgnoredSigtermStaysIgnored", SIGTERM, SIGTERM, -1},
                    // With -G, SIGTERM drains (nothing runs here, so it ends at
                    // once) and SIGINT outside a drain still ends it at once.
                    init_signal_case{"SigtermDrainsWith0", 0, SIGTERM, 0, {"-G", "5"}},
                    init_signal_case{"SigintOutsideADrainEndsWith130", 0, SIGINT, 130, {"-G", "5"}},
                    init_signal_case{"IgnoredSigtermStaysIgnoredWithDrain", SIGTERM, SIGTERM, -1, {"-G", "5"}},
                    init_signal_case{"SigtermWithMetricsEndsWith143", 0, SIGTERM, 143, {"-M", metrics_file}},
                    init_signal_case{"IgnoredSigtermStaysIgnoredWithMetrics", SIGTERM, SIGTERM, -1,
                                     {"-M", metrics_file}}),
    [](const testing::TestParamInfo<init_signal_case> &param_info) { return std::string(param_info.param.name); });

// Each command leaves a sleep behind; as PID 1 the daemon inherits and
// collects every one, and collecting one frees no slot of -c 1.
TEST(FirstProcessOfPidNamespace, CollectsOrphansWithoutFreeingASlot)
{
    SKIP_UNLESS_PID_NAMESPACE();
    namespaced_daemon daemon;
    ASSERT_TRUE(daemon.start({"-c", "1", "127.0.0.1", "0", "sh", "-c", "sleep 1 & echo hi; exec cat"}));
    int first = harness::connect_loopback(daemon.port);
    ASSERT_EQ(harness::read_some(first, 3), "hi\n");
    int second = harness::connect_loopback(daemon.port);
    EXPECT_TRUE(harness::stays_silent(second, 300)) << "the first holds the only slot";
    close(first);  // cat ends; its sleep goes to the daemon
    EXPECT_EQ(harness::read_some(second, 3), "hi\n");
    // The first command and its orphan collected: the second's cat is all that is left.
    ASSERT_TRUE(daemon.unshare.wait_for_err(" closed (", 2)) << harness::bounded_text(daemon.unshare.err());
    EXPECT_TRUE(harness::eventually([&] { return harness::children_of(daemon.pid, false).size() == 1; }));
    int third = harness::connect_loopback(daemon.port);
    EXPECT_TRUE(harness::stays_silent(third, 300)) << harness::bounded_text(daemon.unshare.err());
    close(second);
    EXPECT_EQ(harness::read_some(third, 3), "hi\n");
    close(third);
    EXPECT_TRUE(harness::eventually([&] { return harness::children_of(daemon.pid, false).empty(); }))
        << "left: " << harness::children_of(daemon.pid, false).size();
}

// A graceful stop (-G): on SIGTERM the daemon stops listening and lets what
// it holds finish. Times are taken from just before the signal is sent, so
// a loaded machine can only make them longer, never shorter.
double seconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Whether the system itself turns a client away: nothing listens on port.
bool connection_refused(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool refused = connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == -1 && errno == ECONNREFUSED;
    close(fd);
    return refused;
}

// The process id that starts a log line, with its space.
std::string pid_of_line(const std::string &line)
{
    return line.substr(0, line.find(' ') + 1);
}

// The command writes its last line a second after the client's go, which
// comes once the drain has begun: the daemon must wait for it, and only
// then exit 0.
TEST(Drain, RunningCommandFinishesItsClientThenTheDaemonExits0)
{
    daemon_process daemon;
    ASSERT_TRUE(daemon.start(
        {"-v", "-G", "30", "-1", "127.0.0.1", "0", "sh", "-c", "echo started; read go; sleep 1; echo \"last $go\""}));
    int client = harness::connect_loopback(daemon.port);
    std::string client_port = std::to_string(harness::local_port_of(client));
    ASSERT_EQ(harness::read_some(client, 8), "started\n");
    ASSERT_EQ(kill(daemon.pid, SIGTERM), 0);
    ASSERT_TRUE(daemon.wait_for_err("- draining (1 running)\n")) << harness::bounded_text(daemon.err());
    EXPECT_TRUE(connection_refused(daemon.port)) << "the listening socket must be closed";

    ASSERT_TRUE(harness::write_all(client, "go\n"));
    bool eof = false;
    EXPECT_EQ(harness::read_to_eof(client, &eof), "last go\n");
    EXPECT_TRUE(eof);
    close(client);
    int status = -1;
    ASSERT_TRUE(daemon.wait_exit(status)) << harness::bounded_text(daemon.err());
    EXPECT_EQ(status, 0);
    std::vector<std::string> lines = harness::split_lines(daemon.err());
    ASSERT_EQ(lines.size(), 4u) << harness::bounded_text(daemon.err());
    std::string pid = pid_of_line(lines[0]);
    EXPECT_EQ(lines[0], pid + "connected from 127.0.0.1 port " + client_port + " (1/40)");
    EXPECT_EQ(lines[1], "- draining (1 running)");
    EXPECT_EQ(lines[2], pid + "closed (0/40)");
    EXPECT_EQ(lines[3], "- drained");
}

// Told "record", the command says so when SIGTERM comes and ends; told
// "ignore", it ignores SIGTERM. Either runs until its client closes. (The
// shell runs a trap only between commands, and wait is one that a signal
// cuts short; a command in the background gets /dev/null for input unless
// it is given another descriptor; "recording" follows the cat it kills.)
const char *const term_recorder =
    "read how; if [ \"$how\" = ignore ]; then trap '' TERM; echo ignoring; exec cat > /dev/null; fi; "
    "trap 'echo TERM; kill $!; exit' TERM; exec 3<&0; cat <&3 > /dev/null & echo recording; wait";

struct drain_end_case {
    const char *name;
    const char *seconds;  // -G
    int second_signal;    // sent once the drain has begun; 0: the drain runs out
};

void PrintTo(const drain_end_case &c, std::ostream *out)
{
    *out << c.name;
}

class DrainEnd : public testing::TestWithParam<drain_end_case> {};

// Whatever ends the drain, each command still running gets SIGTERM, and the
// daemon exits 0 once they are collected or 2 s more have passed. When the
// drain runs out, a second command that ignores SIGTERM shows that the
// daemon waits those 2 s and no longer.
TEST_P(DrainEnd, CommandsGetSigtermAndTheDaemonExits0)
{
    const auto &c = GetParam();
    bool runs_out = c.second_signal == 0;
    daemon_process daemon;
    ASSERT_TRUE(daemon.start({"-v", "-G", c.seconds, "-1", "127.0.0.1", "0", "sh", "-c", term_recorder}));
    auto start_command = [&](const char *how, const std::string &says) {
        int fd = harness::connect_loopback(daemon.port);
        EXPECT_TRUE(harness::write_all(fd, std::string(how) + "\n"));
        EXPECT_EQ(harness::read_some(fd, says.size()), says);
        return fd;
    };
    int recording = start_command("record", "recording\n");
    int ignoring = runs_out ? start_command("ignore", "ignoring\n") : -1;
    int running = runs_out ? 2 : 1;

    auto sent = std::chrono::steady_clock::now();
    ASSERT_EQ(kill(daemon.pid, SIGTERM), 0);
    ASSERT_TRUE(daemon.wait_for_err("- draining (" + std::to_string(running) + " running)\n"))
        << harness::bounded_text(daemon.err());
    if (!runs_out) {
        sent = std::chrono::steady_clock::now();
        ASSERT_EQ(kill(daemon.pid, c.second_signal), 0);
    }
    EXPECT_EQ(harness::read_some(recording, 5), "TERM\n");
    double recorded = seconds_since(sent);
    int status = -1;
    ASSERT_TRUE(daemon.wait_exit(status)) << harness::bounded_text(daemon.err());
    double exited = seconds_since(sent);
    RecordProperty("seconds_to_exit", std::to_string(exited));
    EXPECT_EQ(status, 0);
    if (runs_out) {
        double deadline = atof(c.seconds);
        EXPECT_GE(recorded, deadline - 0.01) << "SIGTERM before the drain ran out";
        EXPECT_GE(exited, deadline + 2 - 0.01) << "gone before the 2 s for the commands were up";
        EXPECT_LT(exited, deadline + 2 + 2.5) << "2 s and a little; 2.5 s for a loaded machine";
    } else {
        EXPECT_LT(exited, 5.0) << "at once; 5 s for a loaded machine";
    }

    std::vector<std::string> lines = harness::split_lines(daemon.err());
    ASSERT_EQ(lines.size(), running + 3u) << harness::bounded_text(daemon.err());
    std::string pid = pid_of_line(lines[0]);
    EXPECT_NE(lines[0].find(" connected from "), std::string::npos) << lines[0];
    EXPECT_EQ(lines[running], "- draining (" + std::to_string(running) + " running)");
    EXPECT_EQ(lines[running + 1], "- drain ended (" + std::to_string(running) + " commands sent SIGTERM)");
    EXPECT_EQ(lines[running + 2], pid + "closed (" + std::to_string(running - 1) + "/40)");
    close(recording);
    if (ignoring != -1)
        close(ignoring);  // its command, left behind by the daemon, ends with it
}

INSTANTIATE_TEST_SUITE_P(
    Drain, DrainEnd,
    testing::Values(drain_end_case{"RunsOut", "1", 0}, drain_end_case{"SecondSigterm", "30", SIGTERM},
                    drain_end_case{"Sigint", "30", SIGINT}),
    [](const testing::TestParamInfo<drain_end_case> &param_info) { return std::string(param_info.param.name); });

}  // namespace
