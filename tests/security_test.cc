// What a command gets from the daemon: exactly the identity asked for, only
// its connection, and never text of anyone's that was taken for a format.
#include "harness.h"
#include "stress_support.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <map>
#include <set>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

using harness::daemon_process;

// Sends a request to the "script" command and reads its answer to "end\n".
std::vector<std::string> ask(int port, const std::string &request)
{
    int fd = harness::connect_loopback(port);
    if (fd == -1)
        return {"(connect failed)"};
    harness::write_all(fd, request + "\n");
    bool eof = false;
    std::string answer = harness::read_to_eof(fd, &eof);
    close(fd);
    std::vector<std::string> lines = harness::split_lines(answer);
    if (lines.empty() || lines.back() != "end")
        lines.push_back("(answer incomplete)");
    else
        lines.pop_back();
    return lines;
}

std::string trimmed(std::string text)
{
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.pop_back();
    return text;
}

std::string four_times(const std::string &id)
{
    return id + "\t" + id + "\t" + id + "\t" + id;
}

// As root, with supplementary groups of its own, the daemon gives every
// command exactly the user and group it was told, and that group alone.
TEST(SecurityTest, CommandRunsWithExactlyTheRequestedIdentity)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to change identity";
    struct identity_case {
        const char *what;
        std::vector<std::string> options;
        std::vector<std::string> env;
        std::string uid;
        std::string gid;
    };
    const std::vector<identity_case> cases = {
        {"-g 65534 -u 65534", {"-g", "65534", "-u", "65534"}, {}, "65534", "65534"},
        {"-g and -u differing", {"-g", "4321", "-u", "1234"}, {}, "1234", "4321"},
        {"-U", {"-U"}, {"GID=2345", "UID=5432"}, "5432", "2345"},
        {"-g alone", {"-g", "4321"}, {}, "0", "4321"},
    };
    harness::launch_options options;
    options.before_exec = [] {
        const gid_t many[] = {0, 4, 27, 100, 1000};
        if (setgroups(std::size(many), many) == -1)
            _exit(99);
    };
    // The command runs as each of those users.
    std::string command = harness::runnable_by_anyone(stress::command_path());
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        options.set_env = c.env;
        std::vector<std::string> args = c.options;
        for (const char *arg : {"-1", "127.0.0.1", "0"})
            args.push_back(arg);
        args.push_back(command);
        args.push_back("script");
        daemon_process daemon;
        ASSERT_TRUE(daemon.start(args, options));
        std::vector<std::string> lines = ask(daemon.port, "ids");
        std::map<std::string, std::string> fields;
        for (const auto &line : lines) {
            size_t colon = line.find(':');
            if (colon != std::string::npos)
                fields[line.substr(0, colon)] = trimmed(line.substr(colon + 2));
        }
        EXPECT_EQ(fields["Uid"], four_times(c.uid));
        EXPECT_EQ(fields["Gid"], four_times(c.gid));
        EXPECT_EQ(fields["Groups"], c.gid) << "supplementary groups survived";
        EXPECT_EQ(trimmed(harness::proc_status_field(daemon.pid, "Groups")), c.gid);
    }
}

std::map<int, std::string> descriptors_of(pid_t pid)
{
    std::map<int, std::string> found;
    for (int fd = 0; fd < 1024; fd++) {
        char target[512];
        std::string link = "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd);
        ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
        if (length > 0)
            found[fd] = std::string(target, static_cast<size_t>(length));
    }
    return found;
}

// While refusals wait for silent clients and another command runs, a new
// command holds its connection on 0 and 1 (and 2 with -e), the daemon's
// standard error otherwise, and nothing else: no listening socket, no
// self-pipe, no refused or foreign connection.
TEST(SecurityTest, CommandHoldsNoDescriptorOfTheDaemon)
{
    std::string refusal = stress::refusal_text(100000);
    for (bool stderr_to_socket : {false, true}) {
        SCOPED_TRACE(stderr_to_socket ? "with -e" : "without -e");
        std::vector<std::string> args = {"-v", "-1", "-c", "2", "-r", refusal, "127.0.0.1", "0",
                                         stress::command_path(), "script"};
        if (stderr_to_socket)
            args.insert(args.begin(), "-e");
        daemon_process daemon;
        ASSERT_TRUE(daemon.start(args));
        std::vector<int> held;
        for (int i = 0; i < 2; i++) {
            int fd = harness::connect_loopback(daemon.port);
            ASSERT_NE(fd, -1);
            harness::write_all(fd, "hold\n");
            ASSERT_EQ(harness::read_some(fd, 8), "holding\n");
            held.push_back(fd);
        }
        std::vector<int> silent;
        for (int i = 0; i < 3; i++) {
            silent.push_back(harness::connect_loopback(daemon.port, AF_INET, 1024, 536));
            ASSERT_TRUE(daemon.wait_for_err("- refused from", i + 1));
        }
        ASSERT_EQ(harness::count_open_fds(daemon.pid), 6 + 3) << "the refusals should still be waiting";
        close(held[0]);
        ASSERT_TRUE(daemon.wait_for_err(" closed (1/2)"));

        std::map<int, std::string> daemon_fds = descriptors_of(daemon.pid);
        std::vector<std::string> lines = ask(daemon.port, "fds");
        std::map<int, std::string> command_fds;
        for (const auto &line : lines) {
            size_t space = line.find(' ');
            ASSERT_NE(space, std::string::npos) << line;
            command_fds[atoi(line.c_str())] = line.substr(space + 1);
        }
        std::set<int> numbers;
        for (const auto &[fd, target] : command_fds)
            numbers.insert(fd);
        EXPECT_EQ(numbers, (std::set<int>{0, 1, 2}));
        EXPECT_EQ(command_fds[0].rfind("socket:[", 0), 0u) << command_fds[0];
        EXPECT_EQ(command_fds[1], command_fds[0]);
        EXPECT_EQ(command_fds[2], stderr_to_socket ? command_fds[0] : daemon_fds[2]);
        for (const auto &[fd, target] : daemon_fds) {
            if (fd == 2)
                continue;
            for (const auto &[command_fd, command_target] : command_fds)
                EXPECT_NE(command_target, target) << "the command holds the daemon's descriptor " << fd;
        }

        close(held[1]);
        for (int fd : silent)
            close(fd);
        EXPECT_TRUE(stress::wait_quiescent(daemon, 3, harness::default_deadline_ms));
        EXPECT_TRUE(harness::eventually([&] { return harness::count_open_fds(daemon.pid) == 6; }));
    }
}

// Texts full of conversions, from the command line and the environment, are
// sent and printed as they are; none reaches printf as a format.
TEST(SecurityTest, NoTextIsEverUsedAsAFormat)
{
    const std::string hostile = "%s%n%s%p%x%%%99999s";
    {
        SCOPED_TRACE("the refusal text");
        daemon_process daemon;
        ASSERT_TRUE(daemon.start({"-v", "-1", "-c", "0", "-r", hostile + "\\t%n", "127.0.0.1", "0", "true"}));
        for (int i = 0; i < 3; i++) {
            bool eof = false;
            int fd = harness::connect_loopback(daemon.port);
            EXPECT_EQ(harness::read_to_eof(fd, &eof), hostile + "\t%n");
            EXPECT_TRUE(eof);
            close(fd);
        }
        EXPECT_TRUE(daemon.wait_for_err("- refused from", 3));
        EXPECT_TRUE(daemon.alive());
    }
    {
        SCOPED_TRACE("a command name that does not exist");
        daemon_process daemon;
        ASSERT_TRUE(daemon.start({"-v", "-e", "-1", "-c", "5", "127.0.0.1", "0", hostile, hostile}));
        for (int i = 0; i < 3; i++) {
            bool eof = false;
            int fd = harness::connect_loopback(daemon.port);
            EXPECT_EQ(harness::read_to_eof(fd, &eof), "");
            EXPECT_TRUE(eof);
            close(fd);
        }
        EXPECT_TRUE(stress::wait_quiescent(daemon, 3, harness::default_deadline_ms));
        stress::log_counts counts = stress::count_log(daemon.err());
        EXPECT_EQ(counts.other, 0) << (counts.unknown.empty() ? "" : counts.unknown.front());
        EXPECT_TRUE(daemon.alive());
    }
    struct fatal_case {
        const char *what;
        std::vector<std::string> args;
        std::vector<std::string> env;
        std::string message;
    };
    const std::vector<fatal_case> cases = {
        {"$GID", {"-U", "127.0.0.1", "0", "true"}, {"GID=" + hostile, "UID=1"}, "-U specified but $GID is not a number"},
        {"$UID", {"-U", "127.0.0.1", "0", "true"}, {"GID=1", "UID=" + hostile}, "-U specified but $UID is not a number"},
        {"the port", {"127.0.0.1", hostile, "true"}, {}, "Servname not supported for ai_socktype"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        harness::launch_options options;
        options.set_env = c.env;
        harness::run_result result = harness::run_sockherd(c.args, options);
        EXPECT_EQ(result.signal, 0);
        EXPECT_EQ(result.status, 20);
        EXPECT_EQ(harness::bounded_text(result.err), c.message + "\n");
    }
}

}  // namespace
