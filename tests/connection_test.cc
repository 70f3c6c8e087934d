// Connections end to end: what a command receives, the limit, reaping and
// the log, all through the real binary over loopback.
#include "harness.h"
#include "sockherd.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <sstream>
#include <thread>
#include <unistd.h>

using harness::daemon_process;
using harness::launch_options;

namespace {

const char *const show_variables = "echo \"$PROTO|$TCPLOCALIP|$TCPLOCALPORT|$TCPREMOTEIP|$TCPREMOTEPORT\"";

// Connects, sends request (a PROXY header, say), reads everything the
// command writes, and closes.
std::string fetch(int port, int family = AF_INET, int *client_port = nullptr, const std::string &request = "")
{
    int fd = harness::connect_loopback(port, family);
    if (fd == -1)
        return "(connect failed)";
    if (client_port)
        *client_port = harness::local_port_of(fd);
    if (!request.empty() && !harness::write_all(fd, request)) {
        close(fd);
        return "(write failed)";
    }
    bool eof = false;
    std::string data = harness::read_to_eof(fd, &eof);
    close(fd);
    return eof ? data : data + "(no eof)";
}

struct variables_case {
    const char *name;
    std::vector<std::string> bind;
    int client_family;
    const char *proto;
    const char *address;
    int inherited_entries = 0;  // more entries in the daemon's environment, which must not slow its start
};

void PrintTo(const variables_case &c, std::ostream *out)
{
    *out << c.name;
}

class Variables : public testing::TestWithParam<variables_case> {};

TEST_P(Variables, DescribeTheConnection)
{
    const auto &c = GetParam();
    std::vector<std::string> args = c.bind;
    args.insert(args.begin(), "-1");
    args.insert(args.end(), {"0", "sh", "-c", show_variables});
    launch_options options;
    for (int i = 0; i < c.inherited_entries; i++)
        options.set_env.push_back("V" + std::to_string(i) + "=");
    // Until start-up ends in the loop, a client waits; the shell that
    // answers it then takes its own time over a large environment.
    auto started = std::chrono::steady_clock::now();
    daemon_process daemon;
    ASSERT_TRUE(daemon.start(args, options));
    auto serving_ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
    if (c.inherited_entries > 0) {
        EXPECT_LT(serving_ms, 1000) << "from the start to serving, with " << c.inherited_entries
                                    << " inherited entries";
    }
    int client_port = 0;
    std::string reply = fetch(daemon.port, c.client_family, &client_port);
    std::ostringstream expected;
    expected << c.proto << "|" << c.address << "|" << daemon.port << "|" << c.address << "|" << client_port << "\n";
    EXPECT_EQ(reply, expected.str());
}

INSTANTIATE_TEST_SUITE_P(
    Connections, Variables,
    testing::Values(variables_case{"Ipv4", {"127.0.0.1"}, AF_INET, "TCP", "127.0.0.1"},
                    variables_case{"Ipv6", {"-6", "::1"}, AF_INET6, "TCP6", "::1"},
                    variables_case{"Ipv4OnIpv6Socket", {"-6", "::"}, AF_INET, "TCP", "127.0.0.1"},
                    variables_case{"Ipv4WithAHundredThousandInherited", {"127.0.0.1"}, AF_INET, "TCP", "127.0.0.1",
                                   100000}),
    [](const testing::TestParamInfo<variables_case> &param_info) { return std::string(param_info.param.name); });

// The command's environment is the daemon's with each variable in the place
// of the first entry of its name, later entries of that name left out, the
// missing ones appended in order; a repeated name of no variable stays
// repeated. The daemon's own stays as it was, however many commands it starts.
TEST(Variables, ReplaceInheritedInPlaceOnlyInTheCommand)
{
    launch_options options;
    options.set_env = {"TCPREMOTEIP=inherited", "PROTO=inherited",   "SOCKHERD_TEST_TWICE=1", "TCPREMOTEIP=again",
                       "PROTO=again",           "SOCKHERD_TEST_TWICE=2", "SOCKHERD_TEST_LAST=x"};
    daemon_process daemon;
    ASSERT_TRUE(daemon.start({"-1", "127.0.0.1", "0", "cat", "/proc/self/environ"}, options));
    std::string environ_path = "/proc/" + std::to_string(daemon.pid) + "/environ";
    std::string daemon_environment = harness::read_file(environ_path);
    for (const char *entry : {"PROTO=inherited", "TCPREMOTEIP=again", "PROTO=again", "SOCKHERD_TEST_TWICE=2"})
        ASSERT_NE(daemon_environment.find(entry), std::string::npos) << "the daemon must start with " << entry;
    for (int i = 0; i < 3; i++) {
        int client_port = 0;
        std::string got = fetch(daemon.port, AF_INET, &client_port);
        std::string expected = daemon_environment;
        expected.replace(expected.find("PROTO=inherited"), 15, "PROTO=TCP");
        expected.replace(expected.find("TCPREMOTEIP=inherited"), 21, "TCPREMOTEIP=127.0.0.1");
        for (std::string later : {"TCPREMOTEIP=again", "PROTO=again"})
            expected.erase(expected.find(later + '\0'), later.size() + 1);
        expected += "TCPLOCALIP=127.0.0.1" + std::string(1, '\0') + "TCPLOCALPORT=" + std::to_string(daemon.port) +
                    std::string(1, '\0') + "TCPREMOTEPORT=" + std::to_string(client_port) + std::string(1, '\0');
        EXPECT_EQ(got, expected) << "client " << i;
    }
    EXPECT_EQ(harness::read_file(environ_path), daemon_environment);
}

// A rule's variables reach its clients' commands each once: in the place of
// the first entry of that name in the daemon's environment (later ones left
// out), or after the connection's variables. Nothing of one client's rule is
// left for the next client's command.
TEST(Variables, RulesVariablesInPlaceAndNeverLeftForTheNextClient)
{
    harness::text_file rules("127.0.0.2 allow OFFICE=yes RELAY=\"a b\"\n127.0.0.0/24 allow PARTNER=1\n");
    launch_options options;
    options.set_env = {"OFFICE=inherited", "SOCKHERD_TEST_BETWEEN=1", "OFFICE=again"};
    daemon_process daemon;
    ASSERT_TRUE(daemon.start({"-A", rules.path, "-1", "127.0.0.1", "0", "cat", "/proc/self/environ"}, options));
    std::string daemon_environment = harness::read_file("/proc/" + std::to_string(daemon.pid) + "/environ");
    ASSERT_NE(daemon_environment.find("OFFICE=again"), std::string::npos);
    const std::string nul(1, '\0');
    struct client_case {
        const char *from;
        const char *office;    // the entry in the place of OFFICE=inherited
        const char *appended;  // after the connection's variables
    };
    const client_case clients[] = {
        {"127.0.0.2", "OFFICE=yes", "RELAY=a b"},
        {"127.0.0.3", "OFFICE=inherited", "PARTNER=1"},
        {"127.0.1.1", "OFFICE=inherited", nullptr},  // no rule
    };
    for (const auto &client : clients) {
        int fd = harness::connect_from(client.from, daemon.port);
        ASSERT_NE(fd, -1);
        std::string port = std::to_string(harness::local_port_of(fd));
        std::string got = harness::read_to_eof(fd);
        close(fd);
        std::string expected = daemon_environment;
        expected.replace(expected.find("OFFICE=inherited"), 16, client.office);
        expected.erase(expected.find("OFFICE=again" + nul), 13);
        expected += "PROTO=TCP" + nul + "TCPLOCALIP=127.0.0.1" + nul + "TCPLOCALPORT=" + std::to_string(daemon.port) +
                    nul + "TCPREMOTEIP=" + client.from + nul + "TCPREMOTEPORT=" + port + nul;
        if (client.appended != nullptr)
            expected += client.appended + nul;
        EXPECT_EQ(got, expected) << client.from;
    }
}

TEST(StandardError, GoesToClientOnlyWithOptionE)
{
    const char *script = "echo out; echo err-line >&2";
    {
        daemon_process daemon;
        ASSERT_TRUE(daemon.start({"-e", "-1", "127.0.0.1", "0", "sh", "-c", script}));
        EXPECT_EQ(fetch(daemon.port), "out\nerr-line\n");
        EXPECT_EQ(harness::bounded_text(daemon.err()), "");
    }
    daemon_process daemon;
    ASSERT_TRUE(daemon.start({"-1", "127.0.0.1", "0", "sh", "-c", script}));
    EXPECT_EQ(fetch(daemon.port), "out\n");
    EXPECT_TRUE(daemon.wait_for_err("err-line\n"));
}

// Under -p the daemon reads the header without blocking, and holds other
// connections waiting for theirs when it starts a command: neither shows.
TEST(CommandState, HoldsOnlyItsConnectionOnBlockingDescriptors)
{
    for (bool proxied : {false, true}) {
        SCOPED_TRACE(proxied ? "-p" : "without -p");
        daemon_process daemon;
        // The shell forks ls, so the listing is the shell's own descriptors (no
        // pipeline: the shell's pipe ends would show).
        std::vector<std::string> args = {"-1", "-D", "127.0.0.1", "0", "sh", "-c",
                                         "ls /proc/$$/fd; grep flags /proc/$$/fdinfo/0"};
        if (proxied)
            args.insert(args.begin(), "-p");
        ASSERT_TRUE(daemon.start(args));
        int waiting = proxied ? harness::connect_loopback(daemon.port) : -1;
        std::string request = proxied ? "PROXY TCP4 192.0.2.7 198.51.100.9 51234 8080\r\n" : "";
        auto lines = harness::split_lines(fetch(daemon.port, AF_INET, nullptr, request));
        if (waiting != -1)
            close(waiting);
        ASSERT_EQ(lines.size(), 4u);
        EXPECT_EQ(lines[0] + lines[1] + lines[2], "012");
        long flags = strtol(lines[3].substr(lines[3].find_first_of("0123456789")).c_str(), nullptr, 8);
        EXPECT_FALSE(flags & O_NONBLOCK) << "the command's standard input must block";
    }
}

// Not the daemon's SIGCHLD block: a command waiting for its own children
// through SIGCHLD would hang. Nor the signals the daemon catches for its
// own ends (SIGTERM with -G, SIGUSR1 with a log): a command gets each as the
// daemon was started with it, ignored or not.
TEST(CommandState, StartsWithTheDaemonsStartupMaskAndActions)
{
    struct {
        std::vector<std::string> options;
        std::vector<int> blocked;
        std::vector<int> ignored;
    } const cases[] = {
        {{}, {}, {}},
        {{}, {SIGUSR1, SIGTERM}, {}},
        {{"-G", "5"}, {}, {}},
        {{"-G", "5"}, {}, {SIGTERM}},
        {{"-J"}, {}, {}},
        {{"-v"}, {}, {SIGUSR1}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.options) + " with " + harness::mask_text(c.ignored) + " ignored");
        launch_options options;
        options.blocked_signals = c.blocked;
        std::vector<int> ignored = c.ignored;
        options.before_exec = [ignored] {
            for (int signal_number : ignored)
                signal(signal_number, SIG_IGN);
        };
        std::vector<std::string> args = c.options;
        args.insert(args.end(), {"-1", "127.0.0.1", "0", "cat", "/proc/self/status"});
        daemon_process daemon;
        ASSERT_TRUE(daemon.start(args, options));
        std::string status = fetch(daemon.port);
        EXPECT_NE(status.find("SigBlk:\t" + harness::mask_text(c.blocked) + "\n"), std::string::npos) << status;
        EXPECT_NE(status.find("SigIgn:\t" + harness::mask_text(c.ignored) + "\n"), std::string::npos) << status;
        EXPECT_NE(status.find("SigCgt:\t" + harness::mask_text({}) + "\n"), std::string::npos) << status;
    }
}

TEST(CommandState, WaitsForItsOwnChildrenThroughSigchld)
{
    // With SIGCHLD blocked the handler never runs and sleep runs out.
    daemon_process daemon;
    ASSERT_TRUE(daemon.start({"-1", "127.0.0.1", "0", "perl", "-e",
                              "$SIG{CHLD} = sub { print qq(reaped\\n); exit 0 }; "
                              "if (fork() == 0) { exit 0 } sleep 10; print qq(timed out\\n)"}));
    EXPECT_EQ(fetch(daemon.port), "reaped\n");
}

TEST(FailedExec, ClientSeesEndOfFileAndChildIsCollected)
{
    daemon_process daemon;
    ASSERT_TRUE(daemon.start({"-v", "-1", "127.0.0.1", "0", "/nonexistent/command"}));
    EXPECT_EQ(fetch(daemon.port), "");
    ASSERT_TRUE(daemon.wait_for_err(" closed (0/40)\n"));
    auto lines = harness::split_lines(daemon.err());
    ASSERT_EQ(lines.size(), 3u);
    long pid = atol(lines[0].c_str());
    EXPECT_NE(lines[0].find(" connected from 127.0.0.1 port "), std::string::npos);
    EXPECT_EQ(lines[0].substr(lines[0].size() - 7), " (1/40)");
    EXPECT_EQ(lines[1], "unable to execute command");
    EXPECT_EQ(lines[2], std::to_string(pid) + " closed (0/40)");
}

// With both slots of -c 2 held by first and second (cat): a third client
// waits in the listen queue until first leaves, and is served then.
void expect_third_waits_for_a_slot(const daemon_process &daemon, int first, int second)
{
    int third = harness::connect_loopback(daemon.port);
    ASSERT_GE(third, 0) << "the kernel queues it";
    ASSERT_TRUE(harness::write_all(third, "waiting\n"));
    EXPECT_TRUE(harness::stays_silent(third, 300)) << "no command may run for it yet";
    EXPECT_EQ(harness::count_occurrences(daemon.err(), "connected"), 2);

    close(first);
    ASSERT_TRUE(daemon.wait_for_err("connected", 3));
    EXPECT_EQ(harness::read_some(third, 8), "waiting\n");
    close(second);
    close(third);
}

TEST(Limit, ExtraClientWaitsInListenQueueUntilASlotFrees)
{
    daemon_process daemon;
    ASSERT_TRUE(daemon.start({"-v", "-c", "2", "-1", "127.0.0.1", "0", "cat"}));
    int first = harness::connect_loopback(daemon.port);
    int second = harness::connect_loopback(daemon.port);
    ASSERT_TRUE(daemon.wait_for_err("(2/2)"));
    expect_third_waits_for_a_slot(daemon, first, second);
    ASSERT_TRUE(daemon.wait_for_err(" closed (0/2)"));
}

TEST(Limit, ZeroWithoutRefusalNeverAccepts)
{
    daemon_process daemon;
    ASSERT_TRUE(daemon.start({"-v", "-c", "0", "-1", "127.0.0.1", "0", "echo", "hi"}));
    int fds_before = harness::count_open_fds(daemon.pid);
    int client = harness::connect_loopback(daemon.port);
    ASSERT_GE(client, 0);
    EXPECT_TRUE(harness::stays_silent(client, 300));
    EXPECT_EQ(harness::bounded_text(daemon.err()), "");
    EXPECT_EQ(harness::count_open_fds(daemon.pid), fds_before);
    close(client);
}

// Processes the daemon did not start (here the three that the process which
// exec'd it left behind) are collected and logged, but free no slot. One has
// ended before the exec, so no signal will ever tell of it: it is collected
// all the same, at once, not when some command ends. (perl, not a shell: a
// shell may collect its own background child first.)
TEST(Limit, ChildrenFromBeforeExecFreeNoSlot)
{
    launch_options options;
    options.program = "/usr/bin/perl";
    const char *leave_children = "for (1, 2) { exec 'sleep', '60' if fork() == 0 } "
                                 "my $z = fork(); exit 0 if $z == 0; "
                                 "do { open my $f, '<', \"/proc/$z/stat\" or die; $_ = <$f> } until (split)[2] eq 'Z'; "
                                 "print STDERR \"zombie $z\\n\"; exec @ARGV or die";
    daemon_process daemon;
    ASSERT_TRUE(daemon.start({"-e", leave_children, SOCKHERD_BIN, "-v", "-c", "2", "-1", "127.0.0.1", "0", "cat"},
                             options));
    std::string zombie = daemon.err().substr(0, daemon.err().find('\n'));
    ASSERT_EQ(zombie.rfind("zombie ", 0), 0u) << harness::bounded_text(daemon.err());
    EXPECT_TRUE(daemon.wait_for_err(zombie.substr(7) + " closed (0/2)\n", 1, 1000))
        << "a child that ended before start-up finished is still a zombie: " << harness::bounded_text(daemon.err());
    std::vector<pid_t> foreign = harness::children_of(daemon.pid, false);
    ASSERT_EQ(foreign.size(), 2u);
    // Ends what is left of them, and the commands, while the daemon still holds them.
    struct children_guard {
        pid_t parent;
        ~children_guard()
        {
            for (pid_t child : harness::children_of(parent, false))
                kill(child, SIGKILL);
        }
    } children{daemon.pid};

    kill(foreign[0], SIGKILL);
    ASSERT_TRUE(daemon.wait_for_err(std::to_string(foreign[0]) + " closed (0/2)\n"))
        << harness::bounded_text(daemon.err());
    int first = harness::connect_loopback(daemon.port);
    int second = harness::connect_loopback(daemon.port);
    ASSERT_TRUE(daemon.wait_for_err("(2/2)"));
    kill(foreign[1], SIGKILL);
    ASSERT_TRUE(daemon.wait_for_err(std::to_string(foreign[1]) + " closed (2/2)\n"))
        << harness::bounded_text(daemon.err());
    expect_third_waits_for_a_slot(daemon, first, second);
}

// This process in a network namespace of its own, lo up with the given IPv6
// addresses, until the guard goes. The single-threaded test process moves
// itself, so every daemon and client it starts meanwhile is in there too.
struct private_network {
    int home = -1;
    bool moved = false;
    std::string why_not;  // empty once inside with the addresses

    explicit private_network(const std::vector<std::string> &addresses)
    {
        if (system("command -v ip >/dev/null 2>&1") != 0) {
            why_not = "ip is not installed (Debian package iproute2)";
            return;
        }
        home = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
        moved = home != -1 && unshare(CLONE_NEWNET) == 0;
        if (!moved) {
            why_not = "cannot make a network namespace (needs root or CAP_SYS_ADMIN)";
            return;
        }
        std::string setup = "ip link set lo up";
        for (const auto &address : addresses)
            setup += " && ip -6 addr add " + address + "/64 dev lo nodad";
        if (system(setup.c_str()) != 0)
            why_not = "ip could not set up lo: " + setup;
    }
    ~private_network()
    {
        if (moved)
            (void)setns(home, CLONE_NEWNET);
        if (home != -1)
            close(home);
    }
};

// -C 2, or a rule's limit=2: what counts as one source, what its third client
// gets, and that the source is served again once one of its commands has ended.
struct source_case {
    const char *name;
    std::vector<std::string> options;      // besides -v, -C and -1
    const char *bind;
    std::vector<std::string> one_source;   // the addresses of three clients of one source
    std::string other_source;
    const char *turned_away;               // what the third client reads before end of file
    bool own_network;                      // the addresses exist only in a namespace of the test's own
    bool proxied;                          // every client is a connection from 127.0.0.1 whose header names it
    const char *rules = nullptr;           // an access rules file (-A) whose limit= is the limit of one_source
    const char *per_source = "2";          // -C's value; null: no -C
};

void PrintTo(const source_case &c, std::ostream *out)
{
    *out << c.name;
}

class SourceLimit : public testing::TestWithParam<source_case> {};

TEST_P(SourceLimit, ThirdClientOfOneSourceIsTurnedAwayUntilOneOfItsCommandsEnds)
{
    const auto &c = GetParam();
    std::unique_ptr<private_network> network;
    if (c.own_network) {
        std::vector<std::string> addresses = c.one_source;
        addresses.push_back(c.other_source);
        network = std::make_unique<private_network>(addresses);
        if (!network->why_not.empty())
            GTEST_SKIP() << network->why_not;
    }
    std::unique_ptr<harness::text_file> rules;
    std::vector<std::string> args = c.options;
    if (c.rules != nullptr) {
        rules = std::make_unique<harness::text_file>(c.rules);
        args.insert(args.end(), {"-A", rules->path});
    }
    if (c.per_source != nullptr)
        args.insert(args.end(), {"-C", c.per_source});
    args.insert(args.end(), {"-v", "-1", c.bind, "0", "cat"});
    daemon_process daemon;
    ASSERT_TRUE(daemon.start(args));
    std::vector<std::string> expected;  // the log, each PID as "PID"
    int header_port = 50000;            // each proxied client's own
    // A connection for a client from, and "ADDRESS port N" naming that client.
    auto open_client = [&](const std::string &from, std::string *named) {
        int fd = harness::connect_from(c.proxied ? "127.0.0.1" : from, daemon.port);
        if (!c.proxied) {
            *named = from + " port " + std::to_string(harness::local_port_of(fd));
            return fd;
        }
        std::string port = std::to_string(++header_port);
        EXPECT_TRUE(harness::write_all(fd, "PROXY TCP4 " + from + " 127.0.0.1 " + port + " " +
                                               std::to_string(daemon.port) + "\r\n"));
        *named = from + " port " + port;
        return fd;
    };
    auto serve = [&](const std::string &from, int running) {
        std::string named;
        int fd = open_client(from, &named);
        EXPECT_TRUE(harness::write_all(fd, "hello\n") && harness::read_some(fd, 6) == "hello\n") << from;
        std::string peer = c.proxied ? "127.0.0.1 port " + std::to_string(harness::local_port_of(fd)) : named;
        expected.push_back("PID connected from " + peer + " (" + std::to_string(running) + "/40)");
        EXPECT_TRUE(daemon.wait_for_err(expected.back().substr(3) + "\n"));
        if (c.proxied) {
            expected.push_back("PID proxied from " + named);
            EXPECT_TRUE(daemon.wait_for_err(expected.back().substr(3) + "\n"));
        }
        return fd;
    };

    int first = serve(c.one_source[0], 1);
    int second = serve(c.one_source[1], 2);
    std::string third_named;
    int third = open_client(c.one_source[2], &third_named);
    bool eof = false;
    EXPECT_EQ(harness::read_to_eof(third, &eof), c.turned_away);
    EXPECT_TRUE(eof);
    expected.push_back("- refused from " + third_named + " (source limit)");
    ASSERT_TRUE(daemon.wait_for_err("(source limit)\n"));
    int other = serve(c.other_source, 3);
    close(first);
    ASSERT_TRUE(daemon.wait_for_err(" closed (2/40)\n"));
    expected.push_back("PID closed (2/40)");
    int again = serve(c.one_source[2], 3);

    std::vector<std::string> lines = harness::split_lines(daemon.err());
    ASSERT_EQ(lines.size(), expected.size()) << harness::bounded_text(daemon.err());
    auto closed = std::find_if(lines.begin(), lines.end(),
                               [](const std::string &line) { return line.find(" closed (") != std::string::npos; });
    ASSERT_NE(closed, lines.end());
    EXPECT_EQ(atol(closed->c_str()), atol(lines[0].c_str())) << "the first client's command ended";
    for (auto &line : lines)
        if (isdigit(static_cast<unsigned char>(line[0])))
            line.replace(0, line.find(' '), "PID");
    EXPECT_EQ(lines, expected);
    for (int fd : {second, third, other, again})
        close(fd);
}

INSTANTIATE_TEST_SUITE_P(
    Connections, SourceLimit,
    testing::Values(
        source_case{"Ipv4RefusedWithText", {"-r", "busy\\r\\n"}, "127.0.0.1",
                    {"127.0.0.2", "127.0.0.2", "127.0.0.2"}, "127.0.0.3", "busy\r\n", false, false},
        source_case{"Ipv4ClosedWithoutRefusal", {}, "127.0.0.1", {"127.0.0.2", "127.0.0.2", "127.0.0.2"},
                    "127.0.0.3", "", false, false},
        // Taken as IPv6, every mapped address would be of ::/64; taken as IPv4, they differ.
        source_case{"MappedIpv4CountsAsIpv4", {"-6", "-r", "busy\\r\\n"}, "::",
                    {"127.0.0.1", "127.0.0.1", "127.0.0.1"}, "127.0.0.2", "busy\r\n", false, false},
        // The three differ from bit 64 on, the other source in bit 63 alone.
        source_case{"Ipv6ClientsOfOneSlash64CountTogether", {"-6"}, "::",
                    {"2001:db8:1::1", "2001:db8:1:0:8000::1", "2001:db8:1:0:ffff:ffff:ffff:ffff"},
                    "2001:db8:1:1::1", "", true, false},
        // All from one balancer: the source is the client its header names.
        source_case{"ProxiedClientsCountByTheirHeader", {"-p", "-r", "busy\\r\\n"}, "127.0.0.1",
                    {"192.0.2.7", "192.0.2.7", "192.0.2.7"}, "192.0.2.8", "busy\r\n", false, true},
        // The rule's limit stands in for -C's, here above it; the other
        // source has no rule and -C's 1.
        source_case{"RuleLimitInPlaceOfOptionsLimit", {"-r", "busy\\r\\n"}, "127.0.0.1",
                    {"127.0.0.2", "127.0.0.2", "127.0.0.2"}, "127.0.0.3", "busy\r\n", false, false,
                    "127.0.0.2 allow limit=2\n", "1"},
        // Without -C, and per source: the other source is in the same rule.
        source_case{"RuleLimitWithoutOption", {}, "127.0.0.1", {"127.0.0.2", "127.0.0.2", "127.0.0.2"},
                    "127.0.0.3", "", false, false, "127.0.0.0/8 allow limit=2\n", nullptr},
        // The balancer, 127.0.0.1, has no rule: the header's client has.
        source_case{"RuleLimitOnTheHeadersClient", {"-p", "-r", "busy\\r\\n"}, "127.0.0.1",
                    {"192.0.2.7", "192.0.2.7", "192.0.2.7"}, "192.0.2.8", "busy\r\n", false, true,
                    "192.0.2.0/24 allow limit=2\n", nullptr}),
    [](const testing::TestParamInfo<source_case> &param_info) { return std::string(param_info.param.name); });

// A rate of 2 a second with a burst of 4 for one source, against a plain
// token bucket over the schedule: five at once (the fifth refused), two
// 0.7 s later, four 1.5 s after that. A refused client costs its source
// nothing: at 0.7 s it has a token again. The other source, a
// client beside each group, is never refused.
struct rate_case {
    const char *name;
    std::vector<std::string> options;  // besides -v and -1
    const char *turned_away;           // what a refused client reads before end of file
    bool proxied = false;              // from 127.0.0.1, a header naming 192.0.2.7 or 192.0.2.8
    const char *rules = nullptr;       // an -A file
};

void PrintTo(const rate_case &c, std::ostream *out)
{
    *out << c.name;
}

class RateLimit : public testing::TestWithParam<rate_case> {};

TEST_P(RateLimit, OneSourceGetsItsRateAndBurstAndNoOtherIsTouched)
{
    const auto &c = GetParam();
    std::unique_ptr<harness::text_file> rules;
    std::vector<std::string> args = c.options;
    if (c.rules != nullptr) {
        rules = std::make_unique<harness::text_file>(c.rules);
        args.insert(args.end(), {"-A", rules->path});
    }
    args.insert(args.end(), {"-v", "-1", "127.0.0.1", "0", "echo", "served"});
    daemon_process daemon;
    ASSERT_TRUE(daemon.start(args));
    auto reply = [&](const char *source) {
        const char *named = c.proxied ? (source[8] == '2' ? "192.0.2.7" : "192.0.2.8") : source;
        int fd = harness::connect_from(c.proxied ? "127.0.0.1" : source, daemon.port);
        if (c.proxied)
            harness::write_all(fd, std::string("PROXY TCP4 ") + named + " 127.0.0.1 5000 80\r\n");
        std::string got = harness::read_to_eof(fd);
        close(fd);
        return got;
    };
    const std::vector<std::pair<int, int>> schedule = {{0, 5}, {700, 2}, {2200, 4}};  // ms from the start, clients
    double tokens = 4, last = 0;
    int refused = 0;
    auto start = std::chrono::steady_clock::now();
    for (const auto &group : schedule) {
        std::this_thread::sleep_until(start + std::chrono::milliseconds(group.first));
        tokens = std::min(4.0, tokens + 2 * (group.first - last) / 1000.0);
        last = group.first;
        for (int i = 0; i < group.second; i++) {
            bool admitted = tokens >= 1;
            tokens -= admitted ? 1 : 0;
            refused += admitted ? 0 : 1;
            EXPECT_EQ(reply("127.0.0.2"), admitted ? "served\n" : c.turned_away) << group.first << " ms, " << i;
        }
        EXPECT_EQ(reply("127.0.0.3"), "served\n") << "the other source at " << group.first << " ms";
    }
    EXPECT_EQ(refused, 3);
    EXPECT_EQ(harness::count_occurrences(daemon.err(), " (rate limit)\n"), refused) << daemon.err();
}

INSTANTIATE_TEST_SUITE_P(
    Connections, RateLimit,
    testing::Values(rate_case{"RefusedWithText", {"-R", "2/4", "-r", "busy\\r\\n"}, "busy\r\n"},
                    rate_case{"ProxiedByTheHeadersClient", {"-p", "-R", "2/4", "-r", "x"}, "x", true},
                    // The rule's rate for one source, none for the other, whatever -R
                    // says; without -r a refused client is closed at once.
                    rate_case{"RuleRateInPlaceOfOption", {"-R", "1/1"}, "", false,
                              "127.0.0.2 allow rate=2/4\n127.0.0.3 allow rate=none\n"}),
    [](const testing::TestParamInfo<rate_case> &param_info) { return std::string(param_info.param.name); });

// With access rules, below the limit each client is served or denied as its
// rule says; at the limit a denied client still gets nothing, never the
// refusal text. Under -p the rules judge the client a header names, or the
// balancer for a header that names none; at the limit a connection is
// refused before its header is read, so the rules never see it.
struct access_client {
    const char *from;    // the connection's source address
    std::string header;  // under -p: what it sends first
    const char *expect;  // the command's line, "denied", "refused" or "source refused"
};

struct access_case {
    const char *name;
    std::vector<std::string> bind;  // the options before the port
    const char *rules;
    std::vector<access_client> below;     // one after the other, below the limit of -c 1
    access_client holder;                 // then holds the one slot
    std::vector<access_client> at_limit;  // meanwhile
    bool own_network = false;             // the IPv6 addresses exist only in a namespace of the test's own
};

void PrintTo(const access_case &c, std::ostream *out)
{
    *out << c.name;
}

// "ADDRESS port N" as the log names whom the rules judged: the client a
// header names, or the connection's own source.
std::string judged_client(const access_client &client, int fd)
{
    std::istringstream words(client.header);
    std::vector<std::string> word(6);
    for (auto &one : word)
        words >> one;
    if (word[1] == "TCP4" || word[1] == "TCP6")
        return word[2] + " port " + word[4];
    return std::string(client.from) + " port " + std::to_string(harness::local_port_of(fd));
}

class WhoMayConnect : public testing::TestWithParam<access_case> {};

TEST_P(WhoMayConnect, DeniedClientsGetNothingAtAnyLoadAndTheOthersTheirRulesVariables)
{
    const auto &c = GetParam();
    std::unique_ptr<private_network> network;
    if (c.own_network) {
        std::vector<std::string> addresses;
        for (const auto &client : c.below)
            addresses.push_back(client.from);
        network = std::make_unique<private_network>(addresses);
        if (!network->why_not.empty())
            GTEST_SKIP() << network->why_not;
    }
    harness::text_file rules(c.rules);
    std::vector<std::string> args = {"-v", "-c", "1", "-r", "busy\\r\\n", "-A", rules.path, "-1"};
    args.insert(args.end(), c.bind.begin(), c.bind.end());
    // A command that lasts until its client stops sending.
    args.insert(args.end(), {"0", "sh", "-c", "echo \"$TCPREMOTEIP ${RULE-none}\"; read line"});
    daemon_process daemon;
    ASSERT_TRUE(daemon.start(args));
    int served = 0;
    int denied = 0;
    int refused = 0;
    auto open_client = [&](const access_client &client) {
        int fd = harness::connect_from(client.from, daemon.port);
        EXPECT_NE(fd, -1) << client.from;
        EXPECT_TRUE(harness::write_all(fd, client.header)) << client.from;
        return fd;
    };
    // What a client that sends all it has gets, and the line that says so.
    auto expect_whole_reply = [&](const access_client &client) {
        SCOPED_TRACE(std::string(client.from) + " " + client.header);
        int fd = open_client(client);
        shutdown(fd, SHUT_WR);
        bool eof = false;
        std::string reply = harness::read_to_eof(fd, &eof);
        EXPECT_TRUE(eof);
        std::string expect = client.expect;
        if (expect == "denied") {
            EXPECT_EQ(reply, "");
            EXPECT_TRUE(daemon.wait_for_err("- denied from " + judged_client(client, fd) + "\n"))
                << harness::bounded_text(daemon.err());
            denied++;
        } else if (expect == "refused" || expect == "source refused") {
            EXPECT_EQ(reply, "busy\r\n");
            EXPECT_TRUE(daemon.wait_for_err("- refused from " + std::string(client.from) + " port " +
                                            std::to_string(harness::local_port_of(fd)) +
                                            (expect == "refused" ? "\n" : " (source limit)\n")))
                << harness::bounded_text(daemon.err());
            refused++;
        } else {
            EXPECT_EQ(reply, expect + "\n");
            EXPECT_TRUE(daemon.wait_for_err(" closed (0/1)\n", ++served));
        }
        close(fd);
    };
    for (const auto &client : c.below)
        expect_whole_reply(client);
    int holder = open_client(c.holder);
    EXPECT_EQ(harness::read_some(holder, strlen(c.holder.expect) + 1), c.holder.expect + std::string("\n"));
    served++;
    for (const auto &client : c.at_limit)
        expect_whole_reply(client);
    close(holder);
    ASSERT_TRUE(daemon.wait_for_err(" closed (0/1)\n", served));
    std::string err = daemon.err();
    EXPECT_EQ(harness::count_occurrences(err, " connected from "), served) << harness::bounded_text(err);
    EXPECT_EQ(harness::count_occurrences(err, "- denied from "), denied) << harness::bounded_text(err);
    EXPECT_EQ(harness::count_occurrences(err, "- refused from "), refused) << harness::bounded_text(err);
}

const char *const loopback_rules = "127.0.0.0/8 allow RULE=loopback\n127.0.0.3 deny\n127.0.0.4 allow limit=0\n";

INSTANTIATE_TEST_SUITE_P(
    Connections, WhoMayConnect,
    testing::Values(
        access_case{"Ipv4", {"127.0.0.1"}, loopback_rules,
                    {{"127.0.0.2", "", "127.0.0.2 loopback"},
                     {"127.0.0.3", "", "denied"},
                     {"127.0.0.4", "", "source refused"}},
                    {"127.0.0.2", "", "127.0.0.2 loopback"},
                    {{"127.0.0.3", "", "denied"}, {"127.0.0.4", "", "refused"}}},
        // Clients on an IPv6 socket with mapped addresses are judged as IPv4.
        access_case{"MappedIpv4", {"-6", "::"}, loopback_rules,
                    {{"127.0.0.3", "", "denied"}, {"127.0.0.2", "", "127.0.0.2 loopback"}},
                    {"127.0.0.2", "", "127.0.0.2 loopback"},
                    {{"127.0.0.3", "", "denied"}}},
        access_case{"Ipv6", {"-6", "::"}, "2001:db8:1::/48 allow RULE=office\n2001:db8:1:2::/64 deny\n",
                    {{"2001:db8:1:1::5", "", "2001:db8:1:1::5 office"},
                     {"2001:db8:1:2::5", "", "denied"},
                     {"2001:db8:3::1", "", "2001:db8:3::1 none"}},
                    {"2001:db8:3::1", "", "2001:db8:3::1 none"},
                    {{"2001:db8:1:2::5", "", "denied"}, {"2001:db8:1:1::5", "", "refused"}},
                    true},
        // Balancers 127.0.0.5 and 127.0.0.6; only a header without a client
        // has the balancer judged.
        access_case{"ProxiedJudgesTheHeadersClient", {"-p", "127.0.0.1"},
                    "192.0.2.0/24 allow RULE=partner\n192.0.2.7 deny\n"
                    "127.0.0.5 allow RULE=balancer\n127.0.0.6 deny\n",
                    {{"127.0.0.5", "PROXY TCP4 192.0.2.8 127.0.0.1 51000 80\r\n", "192.0.2.8 partner"},
                     {"127.0.0.5", "PROXY TCP4 192.0.2.7 127.0.0.1 51001 80\r\n", "denied"},
                     {"127.0.0.6", "PROXY TCP4 192.0.2.8 127.0.0.1 51002 80\r\n", "192.0.2.8 partner"},
                     {"127.0.0.5", "PROXY UNKNOWN\r\n", "127.0.0.5 balancer"},
                     {"127.0.0.6", "PROXY UNKNOWN\r\n", "denied"}},
                    {"127.0.0.5", "PROXY TCP4 192.0.2.8 127.0.0.1 51003 80\r\n", "192.0.2.8 partner"},
                    {{"127.0.0.6", "PROXY TCP4 192.0.2.7 127.0.0.1 51004 80\r\n", "refused"}}}),
    [](const testing::TestParamInfo<access_case> &param_info) { return std::string(param_info.param.name); });

// Under -p such a connection cannot wait for its header in the loop's sets:
// a child of its own reads it, and judges its client by the rules.
TEST(HighDescriptors, ServedBelowTheLimit)
{
    SKIP_UNLESS_DESCRIPTORS(1100);
    launch_options options;
    options.extra_fds_from = 6;  // socket and self-pipe take 3 to 5
    options.extra_fds_to = 1023;
    // Under -p with rules, which that child applies to the header's client.
    harness::text_file rules("192.0.2.7 allow RULE=seven\n192.0.2.9 deny\n");
    for (bool proxied : {false, true}) {
        SCOPED_TRACE(proxied ? "-p" : "without -p");
        std::vector<std::string> args = {"-v", "-1", "127.0.0.1", "0", "sh", "-c", "echo \"high $TCPREMOTEIP$RULE\""};
        if (proxied)
            args.insert(args.begin(), {"-p", "-A", rules.path});
        std::string header = proxied ? "PROXY TCP4 192.0.2.7 198.51.100.9 51234 8080\r\n" : "";
        std::string expected = proxied ? "high 192.0.2.7seven\n" : "high 127.0.0.1\n";
        daemon_process daemon;
        ASSERT_TRUE(daemon.start(args, options));
        EXPECT_EQ(fetch(daemon.port, AF_INET, nullptr, header), expected);
        EXPECT_EQ(fetch(daemon.port, AF_INET, nullptr, header), expected);
        EXPECT_TRUE(daemon.wait_for_err("closed", 2));
        EXPECT_EQ(harness::count_occurrences(daemon.err(), " proxied from 192.0.2.7 port 51234\n"), proxied ? 2 : 0);
        if (!proxied)
            continue;
        EXPECT_EQ(fetch(daemon.port, AF_INET, nullptr, "PROXY TCP4 192.0.2.9 198.51.100.9 51235 8080\r\n"), "");
        EXPECT_TRUE(daemon.wait_for_err("- denied from 192.0.2.9 port 51235\n")) << harness::bounded_text(daemon.err());
        EXPECT_TRUE(daemon.wait_for_err("closed", 3));
    }
}

// Many clients at once: each its whole answer, every child collected once,
// nothing left behind in the daemon.
TEST(Burst, FiveHundredClientsAllServedAndCollected)
{
    const int clients = 500;
    daemon_process daemon;
    ASSERT_TRUE(daemon.start({"-v", "-b", "600", "-1", "127.0.0.1", "0", "echo", "hello"}));
    int fds_before = harness::count_open_fds(daemon.pid);
    std::vector<int> fds;
    for (int i = 0; i < clients; i++) {
        int fd = harness::connect_loopback(daemon.port);
        ASSERT_GE(fd, 0);
        fds.push_back(fd);
    }
    int served = 0;
    for (int fd : fds) {
        bool eof = false;
        served += harness::read_to_eof(fd, &eof, 30000) == "hello\n" && eof;
        close(fd);
    }
    EXPECT_EQ(served, clients);
    ASSERT_TRUE(daemon.wait_for_err(" closed (", clients, 30000));

    std::map<long, int> seen;  // 1 after "connected", 2 after "closed"
    std::string last_closed;
    for (const auto &line : harness::split_lines(daemon.err())) {
        long pid = atol(line.c_str());
        if (line.find(" connected from ") != std::string::npos) {
            EXPECT_EQ(seen[pid], 0) << line;
            seen[pid] = 1;
        } else if (line.find(" closed (") != std::string::npos) {
            EXPECT_EQ(seen[pid], 1) << line;
            seen[pid] = 2;
            last_closed = line;
        } else {
            ADD_FAILURE() << "unexpected line: " << line;
        }
    }
    EXPECT_EQ(seen.size(), static_cast<size_t>(clients));
    EXPECT_NE(last_closed.find(" closed (0/40)"), std::string::npos) << last_closed;
    EXPECT_TRUE(harness::children_of(daemon.pid, true).empty());
    EXPECT_EQ(harness::count_open_fds(daemon.pid), fds_before);
}

// With -p, what the balancer's header says reaches the command, the bytes
// after it arrive intact, and a bad header runs no command at all.
struct proxy_case {
    const char *name;
    std::string header;
    const char *variables;  // "" for a bad header; "real" is replaced by the connection's own addresses
    const char *log_line;   // expected on standard error besides "connected" and "closed"
};

void PrintTo(const proxy_case &c, std::ostream *out)
{
    *out << c.name;
}

std::string v2_header(unsigned char command, unsigned char family, const std::string &block)
{
    std::string header("\r\n\r\n\0\r\nQUIT\n", 12);
    header += static_cast<char>(0x20 | command);
    header += static_cast<char>(family);
    header += static_cast<char>(block.size() >> 8);
    header += static_cast<char>(block.size() & 0xff);
    return header + block;
}

// 2001:db8::7 port 443 to 2001:db8::1 port 8443, then a TLV of 5 bytes.
const std::string v2_ipv6_block = "\x20\x01\x0d\xb8" + std::string(11, '\0') + "\x07" + "\x20\x01\x0d\xb8" +
                                  std::string(11, '\0') + "\x01" + "\x01\xbb\x20\xfb" + std::string("\x04\x00\x02zz", 5);

// header, whose last four bytes are the value of a CRC32C TLV, with that
// value set to the checksum of the whole header, its bits in flip inverted.
std::string with_crc32c(std::string header, uint32_t flip = 0)
{
    std::fill(header.end() - 4, header.end(), '\0');
    uint32_t crc = ~sockherd::crc32c_update(0xFFFFFFFFU, reinterpret_cast<const unsigned char *>(header.data()),
                                            header.size());
    crc ^= flip;
    for (size_t i = 0; i < 4; i++)
        header[header.size() - 4 + i] = static_cast<char>(crc >> (24 - 8 * i));
    return header;
}

const std::string crc32c_tlv("\x03\x00\x04\0\0\0\0", 7);

class ProxyHeader : public testing::TestWithParam<proxy_case> {};

TEST_P(ProxyHeader, GivesTheCommandTheClientOrNothing)
{
    const auto &c = GetParam();
    const char *show =
        "echo \"$PROTO|$TCPLOCALIP|$TCPLOCALPORT|$TCPREMOTEIP|$TCPREMOTEPORT|$TCPPROXYIP|$TCPPROXYPORT\"; cat";
    daemon_process daemon;
    ASSERT_TRUE(daemon.start({"-v", "-p", "-1", "127.0.0.1", "0", "sh", "-c", show}));
    int client = harness::connect_loopback(daemon.port);
    ASSERT_NE(client, -1);
    std::string client_port = std::to_string(harness::local_port_of(client));
    std::string payload("after the header\r\n\0PROXY TCP4\n", 30);
    ASSERT_TRUE(harness::write_all(client, c.header + payload));
    shutdown(client, SHUT_WR);
    bool eof = false;
    std::string reply = harness::read_to_eof(client, &eof);
    close(client);
    if (*c.variables == '\0') {
        EXPECT_EQ(reply, "");  // closed, or reset for the bytes it left unread
    } else {
        EXPECT_TRUE(eof);
        std::string variables = c.variables;
        if (variables.find("real") != std::string::npos)
            variables.replace(variables.find("real"),
                              4, "127.0.0.1|" + std::to_string(daemon.port) + "|127.0.0.1|" + client_port);
        EXPECT_EQ(reply, variables + "|127.0.0.1|" + client_port + "\n" + payload);
    }
    // A bad header is the daemon's own line alone: no command was started.
    bool bad = *c.variables == '\0';
    ASSERT_TRUE(daemon.wait_for_err(bad ? c.log_line : " closed (0/40)"));
    std::string err = daemon.err();
    EXPECT_EQ(harness::split_lines(err).size(), bad ? 1u : *c.log_line == '\0' ? 2u : 3u)
        << harness::bounded_text(err);
    if (*c.log_line != '\0') {
        EXPECT_NE(err.find(c.log_line), std::string::npos) << harness::bounded_text(err);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Connections, ProxyHeader,
    testing::Values(
        proxy_case{"V1Tcp4", "PROXY TCP4 192.0.2.7 198.51.100.9 51234 8080\r\n",
                   "TCP|198.51.100.9|8080|192.0.2.7|51234", " proxied from 192.0.2.7 port 51234"},
        proxy_case{"V1Tcp6Mapped", "PROXY TCP6 ::ffff:192.0.2.7 ::ffff:198.51.100.9 1 65535\r\n",
                   "TCP|198.51.100.9|65535|192.0.2.7|1", " proxied from 192.0.2.7 port 1"},
        proxy_case{"V1Unknown", "PROXY UNKNOWN\r\n", "TCP|real", ""},
        proxy_case{"V2Ipv6WithTlv", v2_header(1, 0x21, v2_ipv6_block),
                   "TCP6|2001:db8::1|8443|2001:db8::7|443", " proxied from 2001:db8::7 port 443"},
        proxy_case{"V2Local", v2_header(0, 0x00, ""), "TCP|real", ""},
        proxy_case{"V2Udp", v2_header(1, 0x12, std::string(12, '\1')), "TCP|real", ""},
        proxy_case{"PlainHttpRequest", "GET / HTTP/1.0\r\n\r\n", "", "- bad proxy header from 127.0.0.1 port "},
        proxy_case{"V1PortTooHigh", "PROXY TCP4 192.0.2.7 198.51.100.9 65536 80\r\n", "",
                   "- bad proxy header from 127.0.0.1 port "},
        proxy_case{"V2ShortLength", v2_header(1, 0x11, std::string(11, '\1')), "",
                   "- bad proxy header from 127.0.0.1 port "},
        proxy_case{"V2Crc32cOneBitOff", with_crc32c(v2_header(1, 0x21, v2_ipv6_block + crc32c_tlv), 1U << 9), "",
                   "- bad proxy header from 127.0.0.1 port "}),
    [](const testing::TestParamInfo<proxy_case> &param_info) { return std::string(param_info.param.name); });

// A client that sends nothing holds its slot for the five seconds the header
// may take and is then let go, with its line and no byte written, while the
// daemon sleeps in its wait; the client behind it then gets the slot.
TEST(ProxyHeader, SilentClientIsGivenUpAfterTheDeadlineWithoutSpinning)
{
    daemon_process daemon;
    ASSERT_TRUE(daemon.start({"-v", "-p", "-c", "1", "-1", "127.0.0.1", "0", "echo", "served"}));
    long cpu_before = harness::cpu_ticks(daemon.pid);
    auto started = std::chrono::steady_clock::now();  // before the accept, so the wait is at least the daemon's
    int silent = harness::connect_loopback(daemon.port);
    ASSERT_NE(silent, -1);
    int silent_port = harness::local_port_of(silent);
    int next = harness::connect_loopback(daemon.port);
    ASSERT_TRUE(harness::write_all(next, "PROXY UNKNOWN\r\n"));
    bool eof = false;
    EXPECT_EQ(harness::read_to_eof(silent, &eof), "");
    EXPECT_TRUE(eof);
    double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    EXPECT_GE(waited, 4.9) << "the header may take five seconds";
    EXPECT_LT(harness::cpu_ticks(daemon.pid) - cpu_before, 10) << "the wait spins";
    EXPECT_EQ(harness::read_to_eof(next), "served\n") << "the slot is free again";
    ASSERT_TRUE(daemon.wait_for_err(" closed (0/1)"));
    std::vector<std::string> lines = harness::split_lines(daemon.err());
    ASSERT_EQ(lines.size(), 3u) << harness::bounded_text(daemon.err());
    EXPECT_EQ(lines[0], "- bad proxy header from 127.0.0.1 port " + std::to_string(silent_port));
    EXPECT_NE(lines[1].find(" connected from 127.0.0.1 port " + std::to_string(harness::local_port_of(next)) +
                            " (1/1)"),
              std::string::npos);
    close(silent);
    close(next);
}

// A client may send its header and be gone before the daemon even accepts
// it: its command still runs, for the client the header names, and reads
// end of file.
TEST(ProxyHeader, ClientGoneBeforeItsCommandRunsStillHasItRun)
{
    daemon_process daemon;
    ASSERT_TRUE(daemon.start({"-v", "-p", "-c", "1", "-1", "127.0.0.1", "0", "sh", "-c",
                              "echo \"$TCPREMOTEIP read $(wc -c)\" >&2"}));
    int holder = harness::connect_loopback(daemon.port);
    ASSERT_TRUE(harness::write_all(holder, "PROXY UNKNOWN\r\n"));
    ASSERT_TRUE(daemon.wait_for_err(" connected from ")) << "the one slot is taken";
    int gone = harness::connect_loopback(daemon.port);
    ASSERT_NE(gone, -1) << "the kernel queues it";
    ASSERT_TRUE(harness::write_all(gone, "PROXY TCP4 192.0.2.7 198.51.100.9 51234 8080\r\n"));
    close(gone);
    shutdown(holder, SHUT_WR);
    EXPECT_TRUE(daemon.wait_for_err("127.0.0.1 read 0\n"));
    EXPECT_TRUE(daemon.wait_for_err("192.0.2.7 read 0\n")) << harness::bounded_text(daemon.err());
    EXPECT_TRUE(daemon.wait_for_err(" closed (0/1)\n", 2));
    EXPECT_EQ(harness::count_occurrences(daemon.err(), "bad proxy header"), 0);
    close(holder);
}

// Sends data on fd while reading what comes back, then ends the sending side
// and reads to end of file: what echoes more than the socket buffers hold
// must be read while it is still being sent.
std::string exchange(int fd, const std::string &data, bool *eof, int deadline_ms = harness::default_deadline_ms)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(deadline_ms);
    size_t sent = 0;
    std::string got;
    *eof = false;
    if (data.empty())
        shutdown(fd, SHUT_WR);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd ready = {fd, static_cast<short>(POLLIN | (sent < data.size() ? POLLOUT : 0)), 0};
        if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) <= 0)
            return got;
        if (ready.revents & (POLLIN | POLLHUP | POLLERR)) {
            char buffer[65536];
            ssize_t n = read(fd, buffer, sizeof buffer);
            if (n <= 0) {
                *eof = n == 0;
                return got;
            }
            got.append(buffer, static_cast<size_t>(n));
        }
        if (sent < data.size() && (ready.revents & POLLOUT)) {
            ssize_t n = send(fd, data.data() + sent, std::min<size_t>(data.size() - sent, 65536),
                             MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n > 0 && (sent += static_cast<size_t>(n)) == data.size())
                shutdown(fd, SHUT_WR);
        }
    }
}

// Headers that come in pieces, with pauses between them, from many clients
// at once: the daemon takes each piece as it comes and waits on no client,
// so a client whose header comes whole is served between any two pieces.
// The last piece of each header comes with the bytes after it, which must
// reach the command exactly.
struct paced_case {
    const char *name;
    int clients;
    int version;       // of every header; 0: version 1 and 2 in turn
    size_t tlv_bytes;  // of each version 2 header, besides its CRC32C
    size_t piece;      // bytes of a header per write
    int pause_ms;      // between rounds of writes
    size_t payload;    // bytes each client sends after its header
};

void PrintTo(const paced_case &c, std::ostream *out)
{
    *out << c.name;
}

// Client i is 192.0.2.(i + 1) port (1000 + i).
std::string paced_header(const paced_case &c, int i)
{
    std::string address = "192.0.2." + std::to_string(i + 1);
    int version = c.version != 0 ? c.version : 1 + i % 2;
    if (version == 1)
        return "PROXY TCP4 " + address + " 198.51.100.9 " + std::to_string(1000 + i) + " 8080\r\n";
    unsigned char source[4];
    EXPECT_EQ(inet_pton(AF_INET, address.c_str(), source), 1);
    std::string block = std::string(reinterpret_cast<char *>(source), 4) + "\xc6\x33\x64\x09" +
                        static_cast<char>((1000 + i) >> 8) + static_cast<char>((1000 + i) & 0xff) + "\x1f\x90";
    // No-op TLVs of up to 10,000 bytes each.
    for (size_t left = c.tlv_bytes; left > 0;) {
        size_t size = std::min<size_t>(left, 10000) - 3;
        block += "\x04" + std::string(1, static_cast<char>(size >> 8)) + static_cast<char>(size & 0xff) +
                 std::string(size, 'n');
        left -= size + 3;
    }
    return with_crc32c(v2_header(1, 0x11, block + crc32c_tlv));
}

// Text that looks like a header, then bytes of every kind, NUL, CR and LF among them.
std::string paced_payload(const paced_case &c, int i)
{
    std::string payload = "PROXY TCP4 \r\n";
    for (size_t k = 0; payload.size() < c.payload; k++)
        payload += static_cast<char>((k * 7 + static_cast<size_t>(i)) % 256);
    payload.resize(c.payload);
    return payload;
}

class ProxyHeaderPaced : public testing::TestWithParam<paced_case> {};

TEST_P(ProxyHeaderPaced, EveryClientIsServedExactlyWhileOthersAreServedMeanwhile)
{
    const auto &c = GetParam();
    daemon_process daemon;
    ASSERT_TRUE(daemon.start({"-v", "-p", "-b", "100", "-c", "100", "-1", "127.0.0.1", "0", "sh", "-c",
                              "echo \"$TCPREMOTEIP $TCPREMOTEPORT\"; exec cat"}));
    std::vector<int> fds;
    std::vector<std::string> headers;
    for (int i = 0; i < c.clients; i++) {
        int fd = harness::connect_loopback(daemon.port);
        ASSERT_NE(fd, -1);
        fds.push_back(fd);
        int one = 1;
        ASSERT_EQ(setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one), 0) << "each piece its own segment";
        headers.push_back(paced_header(c, i));
    }
    int others = 0;
    auto last_piece_at = [&c](const std::string &header) { return (header.size() - 1) / c.piece * c.piece; };
    for (size_t at = 0, round = 1;; at += c.piece, round++) {
        bool sent = false;
        for (int i = 0; i < c.clients; i++) {
            if (at < last_piece_at(headers[i])) {
                ASSERT_TRUE(harness::write_all(fds[i], headers[i].substr(at, c.piece)));
                sent = true;
            }
        }
        if (!sent)
            break;
        if (round % 8 == 0) {
            // Within the five seconds a header may take: a daemon that
            // waited on one client could not have served this one.
            int other = harness::connect_loopback(daemon.port);
            ASSERT_TRUE(harness::write_all(other, "PROXY TCP4 203.0.113.5 198.51.100.9 " +
                                                      std::to_string(40000 + others) + " 8080\r\n"));
            shutdown(other, SHUT_WR);
            EXPECT_EQ(harness::read_to_eof(other, nullptr, 4000), "203.0.113.5 " + std::to_string(40000 + others) +
                                                                       "\n") << "round " << round;
            close(other);
            others++;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(c.pause_ms));
    }
    for (int i = 0; i < c.clients; i++) {
        SCOPED_TRACE("client " + std::to_string(i));
        std::string payload = paced_payload(c, i);
        bool eof = false;
        std::string reply = exchange(fds[i], headers[i].substr(last_piece_at(headers[i])) + payload, &eof);
        close(fds[i]);
        EXPECT_TRUE(eof);
        std::string expected = "192.0.2." + std::to_string(i + 1) + " " + std::to_string(1000 + i) + "\n" + payload;
        EXPECT_EQ(reply.size(), expected.size());
        EXPECT_TRUE(reply == expected) << "not exactly the bytes after the header";
    }
    ASSERT_TRUE(daemon.wait_for_err(" closed (0/100)\n")) << harness::bounded_text(daemon.err());
    std::string err = daemon.err();
    EXPECT_EQ(harness::count_occurrences(err, " closed ("), c.clients + others);
    EXPECT_EQ(harness::count_occurrences(err, " proxied from "), c.clients + others);
    EXPECT_EQ(harness::count_occurrences(err, "bad proxy header"), 0) << harness::bounded_text(err);
}

INSTANTIATE_TEST_SUITE_P(
    Connections, ProxyHeaderPaced,
    testing::Values(paced_case{"FiftyClientsByteByByte", 50, 0, 12, 1, 5, 100},
                    paced_case{"V2WithSixtyThousandTlvBytesSlowly", 1, 2, 60000, 2000, 20, 100},
                    paced_case{"TwoHundredThousandBytesAfterTheHeader", 1, 1, 0, 1000, 0, 200000}),
    [](const testing::TestParamInfo<paced_case> &param_info) { return std::string(param_info.param.name); });

TEST(RealClient, CurlFetchesHttpReply)
{
    if (system("command -v curl >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "curl is not installed (Debian package curl)";
    // Read the request head first: closing with unread data would reset the connection.
    const char *script =
        "while read -r line; do [ \"$line\" = \"$(printf '\\r')\" ] && break; done; "
        "printf 'HTTP/1.0 200 OK\\r\\nContent-Type: text/plain\\r\\n\\r\\nhello %s\\n' \"$TCPREMOTEIP\"";
    daemon_process daemon;
    ASSERT_TRUE(daemon.start({"-1", "127.0.0.1", "0", "sh", "-c", script}));
    std::string command = "timeout 20 curl -s -S --max-time 15 http://127.0.0.1:" + std::to_string(daemon.port) + "/";
    FILE *pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    char buffer[256] = {};
    size_t got = fread(buffer, 1, sizeof buffer - 1, pipe);
    EXPECT_EQ(pclose(pipe), 0);
    EXPECT_EQ(std::string(buffer, got), "hello 127.0.0.1\n");
}

}  // namespace
