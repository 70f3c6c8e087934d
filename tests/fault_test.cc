// Faults injected from outside: fork and exec failing, descriptors running
// out, and a storm of children ending at once. Each time the daemon must say
// what went wrong, lose no client silently, and carry on.
#include "harness.h"
#include "json_line.h"
#include "stress_pattern.h"
#include "stress_support.h"

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <cerrno>
#include <cstring>
#include <grp.h>
#include <map>
#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using harness::daemon_process;

// A client of the "script" command that asks for size bytes of output.
std::string ask_output(int port, size_t size)
{
    int fd = harness::connect_loopback(port);
    if (fd == -1)
        return "(connect failed)";
    harness::write_all(fd, "output " + std::to_string(size) + "\n");
    bool eof = false;
    std::string data = harness::read_to_eof(fd, &eof);
    close(fd);
    return eof ? data : data + "(no end of file)";
}

// Reads what a client gets: "" with end of file is a connection closed
// without data.
std::string receive_all(int port, bool &eof)
{
    int fd = harness::connect_loopback(port);
    if (fd == -1) {
        eof = false;
        return "(connect failed)";
    }
    std::string data = harness::read_to_eof(fd, &eof);
    close(fd);
    return data;
}

struct temp_dir {
    std::string path;
    temp_dir()
    {
        char name[] = "/tmp/sockherd-fault-XXXXXX";
        path = mkdtemp(name) != nullptr ? name : "/tmp";
        chmod(path.c_str(), 0755);
    }
    ~temp_dir() { (void)system(("rm -rf '" + path + "'").c_str()); }
    std::string file(const std::string &name, const std::string &content, mode_t mode) const
    {
        std::string full = path + "/" + name;
        std::ofstream(full) << content;
        chmod(full.c_str(), mode);
        return full;
    }
};

// The daemon started with a descriptor limit of its own.
harness::launch_options with_descriptor_limit(int limit)
{
    harness::launch_options options;
    options.before_exec = [limit] {
        rlimit files = {static_cast<rlim_t>(limit), static_cast<rlim_t>(limit)};
        if (setrlimit(RLIMIT_NOFILE, &files) == -1)
            _exit(99);
    };
    return options;
}

// Starts a -v daemon at -c 1 with the refusal text and occupies its one
// slot with a holding command; the holder's descriptor, or -1.
int start_with_slot_held(daemon_process &daemon, const std::string &refusal, const harness::launch_options &options)
{
    if (!daemon.start({"-v", "-1", "-c", "1", "-r", refusal, "127.0.0.1", "0", stress::command_path(), "script"},
                      options))
        return -1;
    return stress::hold_command(daemon.port);
}

// The daemon runs as a user of its own with RLIMIT_NPROC 3: itself and two
// commands. The third client finds fork failing; once a command ends and is
// collected, forks succeed again.
TEST(FaultTest, ForkFailureClosesTheClientAndServingResumes)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run the daemon as a user of its own";
    uid_t uid = stress::unused_uid();
    harness::launch_options options;
    options.before_exec = [uid] {
        rlimit processes = {3, 3};
        gid_t gid = static_cast<gid_t>(uid);
        if (setrlimit(RLIMIT_NPROC, &processes) == -1 || setgroups(1, &gid) == -1 || setgid(gid) == -1 ||
            setuid(uid) == -1)
            _exit(99);
    };
    // The daemon and its command run as that user: both must be within its reach.
    options.program = harness::runnable_by_anyone(SOCKHERD_BIN);
    std::string command = harness::runnable_by_anyone(stress::command_path());
    daemon_process daemon;
    ASSERT_TRUE(daemon.start({"-v", "-1", "-c", "10", "127.0.0.1", "0", command, "script"}, options));
    int first = stress::hold_command(daemon.port);
    int second = stress::hold_command(daemon.port);
    ASSERT_NE(first, -1);
    ASSERT_NE(second, -1);

    const int failed_clients = 5;
    for (int i = 1; i <= failed_clients; i++) {
        bool eof = false;
        EXPECT_EQ(receive_all(daemon.port, eof), "");
        EXPECT_TRUE(eof) << "the client of a failed fork must see its connection closed";
        EXPECT_TRUE(daemon.wait_for_err("fork failed", i));
    }
    EXPECT_TRUE(daemon.alive());
    stress::log_counts counts = stress::count_log(daemon.err());
    EXPECT_EQ(counts.connected, 2);
    EXPECT_EQ(counts.fork_failed, failed_clients);
    EXPECT_EQ(counts.other, 0);

    close(first);  // its command ends; once collected, a process is free again
    ASSERT_TRUE(daemon.wait_for_err(" closed (1/10)"));
    EXPECT_EQ(ask_output(daemon.port, 1000), stress::pattern_text(1000));
    close(second);
    EXPECT_TRUE(stress::wait_quiescent(daemon, 3, harness::default_deadline_ms));
    EXPECT_TRUE(harness::children_of(daemon.pid, false).empty());
    stress::report("fork failing (RLIMIT_NPROC 3, uid %u): %d clients closed without data, \"fork failed\" %ld times, "
                   "then served again",
                   static_cast<unsigned>(uid), failed_clients, stress::count_log(daemon.err()).fork_failed);
}

// Commands that cannot be executed: each client sees end of file with no
// data, each child is collected, and the daemon serves the next client.
TEST(FaultTest, ExecFailureGivesEndOfFileAndIsCollected)
{
    temp_dir dir;
    struct exec_case {
        const char *what;
        std::string command;
        bool stderr_to_socket;
    };
    const std::vector<exec_case> cases = {
        {"missing absolute path", dir.path + "/no-such-command", false},
        {"missing name searched in PATH", "sockherd-no-such-command-in-path", false},
        {"file without execute permission", dir.file("plain", "#!/bin/sh\necho ran\n", 0644), false},
        {"file without execute permission, -e", dir.path + "/plain", true},
        {"directory", dir.path, false},
        {"script with a missing interpreter", dir.file("orphan", "#!/nonexistent/interpreter\necho ran\n", 0755),
         false},
    };
    const int clients = 4;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        daemon_process daemon;
        std::vector<std::string> args = {"-v", "-1", "-c", "2", "127.0.0.1", "0", c.command};
        if (c.stderr_to_socket)
            args.insert(args.begin(), "-e");
        ASSERT_TRUE(daemon.start(args));
        for (int i = 0; i < clients; i++) {
            bool eof = false;
            EXPECT_EQ(receive_all(daemon.port, eof), "");
            EXPECT_TRUE(eof);
        }
        EXPECT_TRUE(stress::wait_quiescent(daemon, clients, harness::default_deadline_ms));
        stress::log_counts counts = stress::count_log(daemon.err());
        EXPECT_EQ(counts.connected, clients);
        EXPECT_EQ(counts.exec_failed, clients) << "each failure is told";
        EXPECT_EQ(counts.closed, clients);
        EXPECT_EQ(counts.other, 0) << (counts.unknown.empty() ? "" : counts.unknown.front());
        EXPECT_TRUE(harness::children_of(daemon.pid, false).empty()) << "a failed exec left a child behind";
        EXPECT_TRUE(daemon.alive());
    }
}

// Changes the soft descriptor limit of a running process.
bool set_descriptor_limit_of(pid_t pid, rlim_t limit)
{
    rlimit files;
    if (prlimit(pid, RLIMIT_NOFILE, nullptr, &files) == -1)
        return false;
    files.rlim_cur = limit;
    return prlimit(pid, RLIMIT_NOFILE, &files, nullptr) == 0;
}

// While accept fails for lack of descriptors, the daemon must neither spin
// nor flood its log: it says "accept failed" once and leaves the listening
// socket alone until a descriptor comes back or a second has passed.
void expect_quiet_while_exhausted(const daemon_process &daemon, int seconds)
{
    long lines_before = stress::count_log(daemon.err()).accept_failed;
    long cpu_before = harness::cpu_ticks(daemon.pid);
    std::this_thread::sleep_for(std::chrono::seconds(seconds));  // the measuring window
    long lines = stress::count_log(daemon.err()).accept_failed - lines_before;
    long cpu = harness::cpu_ticks(daemon.pid) - cpu_before;
    EXPECT_LE(lines, seconds + 2) << "about one retry a second, not a spin";
    EXPECT_LE(cpu, 5) << "clock ticks in " << seconds << " s; a spin takes about 100 a second";
    EXPECT_TRUE(daemon.alive());
    stress::report("descriptors exhausted: %ld \"accept failed\" lines and %ld clock ticks of CPU in %d s", lines,
                   cpu, seconds);
}

// Silent clients of a long refusal hold every descriptor under a small
// RLIMIT_NOFILE. A client that comes then waits in the listen queue; when
// the silent clients go, it gets the refusal text like any other.
TEST(FaultTest, DescriptorExhaustionByRefusalsPausesAcceptingUntilOneFinishes)
{
    const int descriptor_limit = 16;  // 0-2, listening socket, self-pipe: ten left for connections
    std::string refusal = stress::refusal_text(100000);
    daemon_process daemon;
    ASSERT_TRUE(daemon.start({"-v", "-1", "-c", "0", "-r", refusal, "127.0.0.1", "0", stress::command_path(), "script"},
                             with_descriptor_limit(descriptor_limit)));
    std::vector<int> silent;
    for (int i = 0; i < descriptor_limit - 6; i++) {
        int fd = harness::connect_loopback(daemon.port, AF_INET, 1024, 536);
        ASSERT_NE(fd, -1);
        silent.push_back(fd);
        ASSERT_TRUE(daemon.wait_for_err("- refused from", i + 1));
    }
    EXPECT_EQ(harness::count_open_fds(daemon.pid), descriptor_limit);

    int waiting = harness::connect_loopback(daemon.port);
    ASSERT_NE(waiting, -1);
    ASSERT_TRUE(daemon.wait_for_err("accept failed"));
    expect_quiet_while_exhausted(daemon, 2);

    for (int fd : silent)
        close(fd);
    bool eof = false;
    std::string data = harness::read_to_eof(waiting, &eof);
    close(waiting);
    EXPECT_TRUE(eof);
    EXPECT_EQ(data.size(), refusal.size());
    EXPECT_TRUE(data == refusal) << "the waiting client got a different text";
    EXPECT_TRUE(harness::eventually([&] { return harness::count_open_fds(daemon.pid) == 6; }));
    EXPECT_LE(stress::count_log(daemon.err()).accept_failed, 8);
}

// The same pause while a command runs: here the limit is lowered under the
// daemon and restored, and nothing but a collected child or the end of the
// second ends the pause. Collecting the child lets the waiting client in at
// once, not when the second is up.
TEST(FaultTest, DescriptorExhaustionWithACommandRunningEndsWhenItIsCollected)
{
    daemon_process daemon;
    ASSERT_TRUE(daemon.start({"-v", "-1", "-c", "2", "127.0.0.1", "0", stress::command_path(), "script"}));
    int open_fds = harness::count_open_fds(daemon.pid);
    int holder = stress::hold_command(daemon.port);
    ASSERT_NE(holder, -1);
    // The command may answer before the daemon, scheduled after it, has
    // closed its copy of the connection: a limit one above the daemon's
    // own descriptors would let the waiting client in.
    ASSERT_TRUE(harness::eventually([&] { return harness::count_open_fds(daemon.pid) == open_fds; }))
        << harness::describe_fds(daemon.pid);
    ASSERT_TRUE(set_descriptor_limit_of(daemon.pid, static_cast<rlim_t>(open_fds)));
    int waiting = harness::connect_loopback(daemon.port);
    ASSERT_NE(waiting, -1);
    ASSERT_TRUE(harness::write_all(waiting, "output 1000\n"));
    ASSERT_TRUE(daemon.wait_for_err("accept failed"));
    expect_quiet_while_exhausted(daemon, 2);

    // Each pause begins with its line. Released right after one, with the
    // limit raised (no accept is tried while paused), the waiting client can
    // get in early only through the collected command.
    int lines = static_cast<int>(stress::count_log(daemon.err()).accept_failed);
    ASSERT_TRUE(daemon.wait_for_err("accept failed", lines + 1, 3000));
    auto released = std::chrono::steady_clock::now();
    ASSERT_TRUE(set_descriptor_limit_of(daemon.pid, 64));
    close(holder);
    bool eof = false;
    std::string data = harness::read_to_eof(waiting, &eof);
    double latency_ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - released).count();
    close(waiting);
    EXPECT_TRUE(eof);
    EXPECT_TRUE(data == stress::pattern_text(1000)) << data.size() << " bytes";
    EXPECT_LT(latency_ms, 500) << "the waiting client was let in by the end of the pause, not by the collection";
    EXPECT_TRUE(stress::wait_quiescent(daemon, 2, harness::default_deadline_ms));
    stress::report("a command collected during the pause: the waiting client served %.0f ms after its holder left",
                   latency_ms);
}

// The same flood of silent clients with a limit above 1024: refusals fill the
// descriptors below 1024, and the next client at the limit lands on 1024 or
// above, where it is dropped at once. accept never fails and the loop never
// spins, which is why the advice is a limit above 1024. Inherited /dev/null
// copies take 3 to 1016 so that only a few descriptors below 1024 are left.
TEST(FaultTest, AboveTheSelectLimitSilentClientsAreDroppedNotSpun)
{
    SKIP_UNLESS_DESCRIPTORS(1100);
    std::string refusal = stress::refusal_text(100000);
    harness::launch_options options;
    options.extra_fds_from = 3;
    options.extra_fds_to = 1016;
    daemon_process daemon;
    int holder = start_with_slot_held(daemon, refusal, options);
    ASSERT_NE(holder, -1);
    // The listening socket is 1017 and the self-pipe 1018 and 1019.
    std::vector<int> silent;
    for (int i = 0; i < 4; i++) {
        silent.push_back(harness::connect_loopback(daemon.port, AF_INET, 1024, 536));
        ASSERT_TRUE(daemon.wait_for_err("- refused from", i + 1));
    }
    for (int i = 1; i <= 3; i++) {
        bool eof = false;
        EXPECT_EQ(receive_all(daemon.port, eof), "") << "a client on descriptor 1024 is closed without the text";
        EXPECT_TRUE(eof);
        EXPECT_TRUE(daemon.wait_for_err("- dropped from", i));
    }
    stress::log_counts counts = stress::count_log(daemon.err());
    EXPECT_EQ(counts.accept_failed, 0);
    EXPECT_EQ(counts.refused, 4);
    long cpu = harness::cpu_ticks(daemon.pid);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_LE(harness::cpu_ticks(daemon.pid) - cpu, 5) << "the loop spins";
    for (int fd : silent)
        close(fd);
    close(holder);
    EXPECT_TRUE(stress::wait_quiescent(daemon, 1, harness::default_deadline_ms));
}

// This thread in a network namespace of its own, with lo up, until the guard
// goes: what it starts (daemon, firewall tool) and the sockets it makes are
// there too, and a rule made there is gone with the namespace.
struct private_network {
    int saved = -1;
    bool entered = false;
    std::string failure;  // why there is none

    private_network()
    {
        saved = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
        if (saved == -1 || unshare(CLONE_NEWNET) == -1) {
            failure = std::string("cannot make a network namespace: ") + strerror(errno);
            return;
        }
        entered = true;
        int probe = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ifreq request = {};
        strcpy(request.ifr_name, "lo");
        if (probe == -1 || ioctl(probe, SIOCGIFFLAGS, &request) == -1 ||
            (request.ifr_flags |= IFF_UP, ioctl(probe, SIOCSIFFLAGS, &request) == -1))
            failure = std::string("cannot bring lo up in the namespace: ") + strerror(errno);
        if (probe != -1)
            close(probe);
    }
    private_network(const private_network &) = delete;
    private_network &operator=(const private_network &) = delete;
    ~private_network()
    {
        if (entered && setns(saved, CLONE_NEWNET) == -1)
            ADD_FAILURE() << "could not go back to the test's network namespace";
        if (saved != -1)
            close(saved);
    }
};

// The first of names that is an executable file in the usual places, or "".
std::string find_tool(const std::vector<std::string> &names)
{
    for (const auto &name : names)
        for (const char *dir : {"/usr/sbin/", "/sbin/", "/usr/bin/", "/bin/"})
            if (access((dir + name).c_str(), X_OK) == 0)
                return dir + name;
    return "";
}

// Drops every TCP packet from port in the current network namespace, with
// nft or else iptables; "" when done, else why not.
std::string drop_packets_from(int port)
{
    std::string why;
    std::string nft = find_tool({"nft"});
    if (!nft.empty()) {
        harness::launch_options options;
        options.program = nft;
        std::string rules = "add table inet sockherd_test; "
                            "add chain inet sockherd_test input { type filter hook input priority 0; }; "
                            "add rule inet sockherd_test input tcp sport " + std::to_string(port) + " drop";
        auto result = harness::run_sockherd({rules}, options);
        if (result.status == 0)
            return "";
        why = "nft failed: " + harness::bounded_text(result.err);
    }
    std::string iptables = find_tool({"iptables", "iptables-nft", "iptables-legacy"});
    if (!iptables.empty()) {
        harness::launch_options options;
        options.program = iptables;
        std::vector<std::string> rule = {"-w", "-A", "INPUT", "-p", "tcp", "--sport",
                                         std::to_string(port), "-j", "DROP"};
        auto result = harness::run_sockherd(rule, options);
        if (result.status == 0)
            return "";
        why += "iptables failed: " + harness::bounded_text(result.err);
    }
    return why.empty() ? "neither nft (Debian package nftables) nor iptables (package iptables) is installed" : why;
}

// A client whose packets stop without a word (its host gone, a cable cut):
// with -K 1 the kernel probes the command's connection after 1 s of silence
// and gives up after 3 unanswered probes, 1 s apart, so the command reads an
// error and ends about 4 s after the last packet, instead of never.
TEST(FaultTest, KeepaliveEndsTheCommandOfAClientWhosePacketsStop)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root for a network namespace and a firewall rule";
    const int seconds = 1;
    private_network network;
    if (!network.failure.empty())
        GTEST_SKIP() << network.failure;
    daemon_process daemon;
    ASSERT_TRUE(daemon.start({"-v", "-K", std::to_string(seconds), "-1", "127.0.0.1", "0", "cat"}));
    int client = harness::connect_loopback(daemon.port);
    ASSERT_NE(client, -1);
    ASSERT_TRUE(harness::write_all(client, "x"));
    ASSERT_EQ(harness::read_some(client, 1), "x") << "the command runs";
    std::string no_rule = drop_packets_from(harness::local_port_of(client));
    if (!no_rule.empty()) {
        close(client);
        GTEST_SKIP() << no_rule;
    }
    auto dropped = std::chrono::steady_clock::now();
    bool ended = daemon.wait_for_err(" closed (0/40)", 1, (10 * seconds + 5) * 1000);
    double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - dropped).count();
    EXPECT_TRUE(ended) << "the command still runs " << waited << " s after its client's packets stopped";
    if (!ended) {
        stress::end_children(daemon.pid);  // its client can no longer end it
        close(client);
        return;
    }
    EXPECT_GE(waited, 2.0 * seconds) << "ended before the probes could have gone unanswered";
    stress::report("-K %d: the command ended %.1f s after its client's packets stopped being delivered", seconds,
                   waited);
    close(client);
}

// A listening socket destroyed under the daemon (an operator's `ss -K`; under
// -L, the manager's copy shut down) never accepts again and stays readable:
// the daemon says "accept failed" once and exits with 20, for its supervisor
// to start it again, rather than spin and flood its log.
TEST(FaultTest, DestroyedListeningSocketEndsTheDaemonWithOneLine)
{
    std::string ss = find_tool({"ss"});
    if (ss.empty())
        GTEST_SKIP() << "ss is not installed (Debian package iproute2)";
    daemon_process daemon;
    ASSERT_TRUE(daemon.start({"-1", "127.0.0.1", "0", "cat"}));
    std::string port = std::to_string(daemon.port);
    harness::launch_options options;
    options.program = ss;
    auto destroyed = harness::run_sockherd({"-H", "-K", "-n", "-t", "-l", "sport = :" + port}, options);
    if (destroyed.status != 0 || destroyed.out.find(":" + port + " ") == std::string::npos)
        GTEST_SKIP() << "ss -K could not destroy the listening socket (it needs root or CAP_NET_ADMIN, and a "
                        "kernel with SOCK_DESTROY): "
                     << harness::bounded_text(destroyed.err);
    int status = -1;
    ASSERT_TRUE(daemon.wait_exit(status, 5000)) << "still running: " << harness::bounded_text(daemon.err());
    EXPECT_EQ(status, 20);
    EXPECT_EQ(harness::bounded_text(daemon.err()), "accept failed\n");
}

// 200 commands block reading one FIFO that the test holds open for writing;
// closing it ends them all at the same instant. Every one is collected, with
// one "closed" line each, and the count returns to 0. Twice, to show the
// daemon is still whole after the first storm.
TEST(FaultTest, SigchldStormOfTwoHundredIsFullyCollected)
{
    temp_dir dir;
    std::string fifo = dir.path + "/release";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
    const int commands = 200;
    daemon_process daemon;
    ASSERT_TRUE(daemon.start({"-v", "-1", "-b", "256", "-c", "250", "127.0.0.1", "0", stress::command_path(),
                              "fifo", fifo}));

    auto holding_fifo = [&] {
        int count = 0;
        for (pid_t child : harness::children_of(daemon.pid, false)) {
            std::string fd_dir = "/proc/" + std::to_string(child) + "/fd/";
            char target[512];
            for (int fd = 3; fd < 8; fd++) {
                ssize_t length = readlink((fd_dir + std::to_string(fd)).c_str(), target, sizeof target - 1);
                if (length > 0 && std::string(target, static_cast<size_t>(length)) == fifo) {
                    count++;
                    break;
                }
            }
        }
        return count;
    };

    for (int round = 1; round <= 2; round++) {
        SCOPED_TRACE("storm " + std::to_string(round));
        // Held for writing (and reading, so this open does not wait): the
        // commands' reads block until it is closed.
        int writer = open(fifo.c_str(), O_RDWR | O_CLOEXEC);
        ASSERT_NE(writer, -1);
        std::vector<int> clients;
        for (int i = 0; i < commands; i++) {
            int fd = harness::connect_loopback(daemon.port);
            ASSERT_NE(fd, -1);
            clients.push_back(fd);
        }
        ASSERT_TRUE(harness::eventually([&] { return holding_fifo() == commands; }, 60000))
            << holding_fifo() << " of " << commands << " commands hold the FIFO";
        close(writer);  // every command reads end of file now

        EXPECT_TRUE(stress::wait_quiescent(daemon, round * commands, 60000));
        stress::log_counts counts = stress::count_log(daemon.err());
        EXPECT_EQ(counts.connected, round * commands);
        EXPECT_EQ(counts.closed, round * commands);
        EXPECT_EQ(stress::running_in(counts.last_closed), 0) << counts.last_closed;
        EXPECT_EQ(counts.other, 0);
        EXPECT_TRUE(harness::children_of(daemon.pid, false).empty()) << "a child of the storm was not collected";
        for (int fd : clients) {
            bool eof = false;
            harness::read_to_eof(fd, &eof, 5000);
            EXPECT_TRUE(eof);
            close(fd);
        }
    }
    stress::report("SIGCHLD storm: 2 x %d commands ended at once, %ld \"closed\" lines, last \"%s\"", commands,
                   stress::count_log(daemon.err()).closed, stress::count_log(daemon.err()).last_closed.c_str());
}

// 200 commands whose limits (-T 1, and 2 and 3 by the rules for two of the
// three sources) come in three waves: each is ended and collected within
// half a second of its own limit, and between the waves the daemon sleeps.
TEST(FaultTest, TwoHundredTimeLimitsEachEndOnTimeAndTheDaemonSleepsBetween)
{
    temp_dir dir;
    std::string rules = dir.file("rules", "127.0.0.2 allow timeout=2\n127.0.0.3 allow timeout=3\n", 0644);
    const int commands = 200;
    daemon_process daemon;
    ASSERT_TRUE(daemon.start({"-J", "-1", "-T", "1", "-A", rules, "-b", "256", "-c", "250", "127.0.0.1", "0", "cat"}));
    std::vector<int> clients;
    for (int i = 0; i < commands; i++)
        clients.push_back(harness::connect_from("127.0.0." + std::to_string(i % 3 + 1), daemon.port));
    ASSERT_TRUE(daemon.wait_for_err("\"event\":\"connected\"", commands));
    long ticks_before = harness::cpu_ticks(daemon.pid);
    ASSERT_TRUE(daemon.wait_for_err("\"event\":\"closed\"", commands)) << harness::bounded_text(daemon.err());
    long ticks = harness::cpu_ticks(daemon.pid) - ticks_before;
    ASSERT_EQ(kill(daemon.pid, SIGUSR1), 0);
    ASSERT_TRUE(daemon.wait_for_err("\"event\":\"counts\""));

    std::map<std::string, int> limit_of;  // by pid
    int on_time = 0;
    for (const std::string &line : harness::split_lines(daemon.err())) {
        json::object event;
        ASSERT_EQ(json::parse_object(line, event), "") << line;
        const std::string &kind = event.find("event")->text;
        if (kind == "connected") {
            limit_of[event.find("pid")->text] = event.find("remote")->text.back() - '0';
        } else if (kind == "closed") {
            const json::field *signal = event.find("signal");
            double duration = atof(event.find("duration")->text.c_str());
            int limit = limit_of[event.find("pid")->text];
            EXPECT_TRUE(signal != nullptr && signal->text == "15") << line;
            EXPECT_TRUE(duration >= limit && duration < limit + 0.5) << line << " (limit " << limit << ")";
            on_time++;
        } else if (kind == "counts") {
            EXPECT_EQ(event.find("timed_out")->text, std::to_string(commands));
            EXPECT_EQ(event.find("killed")->text, "0");
        }
    }
    EXPECT_EQ(on_time, commands);
    // Three waves in three seconds: a loop that woke before its time would
    // spin through them.
    EXPECT_LT(ticks, 50) << "CPU ticks while the limits ran out";
    for (int fd : clients)
        close(fd);
    stress::report("200 time limits in three waves: %ld CPU ticks of the daemon over the 3 s", ticks);
}

}  // namespace
