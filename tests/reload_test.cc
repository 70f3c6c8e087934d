// The access rules read again on SIGHUP, on a running daemon: who is served
// from then on, what becomes of the commands already running, and what a
// broken file changes (nothing). The log of a reload in JSON is a row of the
// log's own table; the memory a hundred reloads leave behind is measured in
// the load suite.
#include "harness.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <gtest/gtest.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using harness::daemon_process;

namespace {

// Says whom it serves, the rule's RULE and how many variables it got, echoes
// its client's lines, and on SIGTERM says so on standard error (the
// daemon's, without -e) and ends, unless its rule gave it STAY. (Perl runs a
// handler between two steps of its own: one that came just before a read
// would wait for input, so the command waits a tenth of a second at a time.)
const char *const telling_command =
    "$SIG{TERM} = sub { print STDERR qq($ENV{TCPREMOTEIP} got SIGTERM\n); exit 3 unless $ENV{STAY} }; $| = 1; "
    "print qq(serving $ENV{TCPREMOTEIP}$ENV{RULE} with ) . keys(%ENV) . qq( variables\n); "
    "while (1) { my $in = ''; vec($in, 0, 1) = 1; next if select($in, undef, undef, 0.1) < 1; "
    "sysread(STDIN, my $line, 4096) or exit; print $line }";

// A connection from source whose command has said it serves it, its line in
// greeting; -1 when not.
int served_client(const daemon_process &daemon, const std::string &source, std::string *greeting = nullptr)
{
    int fd = harness::connect_from(source, daemon.port);
    std::string line;
    while (fd != -1 && (line.empty() || line.back() != '\n')) {
        std::string more = harness::read_some(fd, 1);
        if (more.empty())
            break;
        line += more;
    }
    if (greeting != nullptr)
        *greeting = line;
    if (line.rfind("serving " + source + " with ", 0) == 0)
        return fd;
    if (fd != -1)
        close(fd);
    return -1;
}

// What a client from source that sends nothing gets before end of file;
// "(no eof)" appended when the connection stays open.
std::string reply_to(const daemon_process &daemon, const std::string &source, int *port = nullptr)
{
    int fd = harness::connect_from(source, daemon.port);
    if (fd == -1)
        return "(connect failed)";
    if (port != nullptr)
        *port = harness::local_port_of(fd);
    shutdown(fd, SHUT_WR);
    bool eof = false;
    std::string reply = harness::read_to_eof(fd, &eof);
    close(fd);
    return eof ? reply : reply + "(no eof)";
}

// A command that outlives its SIGTERM is neither sent it nor counted again
// at the next reload.
TEST(Reload, ChangedFileDecidesFromTheNextClientOnAndEndsTheCommandsItDenies)
{
    harness::text_file rules("127.0.0.3 deny\n127.0.0.5 allow STAY=1\n");
    daemon_process daemon;
    ASSERT_TRUE(daemon.start({"-v", "-A", rules.path, "-1", "127.0.0.1", "0", "perl", "-e", telling_command}));
    std::string greeting;
    int kept = served_client(daemon, "127.0.0.2", &greeting);
    ASSERT_NE(kept, -1) << greeting;
    // How many variables a command gets from a client without a rule.
    std::string variables = greeting.substr(greeting.find(" with ") + 6);
    int revoked = served_client(daemon, "127.0.0.4");
    ASSERT_NE(revoked, -1);
    int staying = served_client(daemon, "127.0.0.5");
    ASSERT_NE(staying, -1);
    EXPECT_EQ(reply_to(daemon, "127.0.0.3"), "");

    ASSERT_TRUE(rules.write("127.0.0.0/8 allow RULE=+new\n127.0.0.4 deny\n127.0.0.5 deny\n"));
    ASSERT_EQ(kill(daemon.pid, SIGHUP), 0);
    ASSERT_TRUE(daemon.wait_for_err("- reloaded 3 rules\n")) << harness::bounded_text(daemon.err());
    EXPECT_TRUE(daemon.wait_for_err("- revoked 2 commands\n")) << harness::bounded_text(daemon.err());
    EXPECT_TRUE(daemon.wait_for_err("127.0.0.4 got SIGTERM\n")) << harness::bounded_text(daemon.err());
    EXPECT_TRUE(daemon.wait_for_err("127.0.0.5 got SIGTERM\n")) << harness::bounded_text(daemon.err());
    ASSERT_EQ(kill(daemon.pid, SIGHUP), 0);
    ASSERT_TRUE(daemon.wait_for_err("- reloaded 3 rules\n", 2)) << harness::bounded_text(daemon.err());
    bool eof = false;
    EXPECT_EQ(harness::read_to_eof(revoked, &eof), "");
    EXPECT_TRUE(eof);
    // Untouched, though its rule would now give it a variable.
    ASSERT_TRUE(harness::write_all(kept, "still here\n"));
    EXPECT_EQ(harness::read_some(kept, 11), "still here\n");

    // The new rule's variable, once, where the environment is laid out anew.
    EXPECT_EQ(reply_to(daemon, "127.0.0.3"),
              "serving 127.0.0.3+new with " + std::to_string(atoi(variables.c_str()) + 1) + " variables\n");
    int denied_port = 0;
    EXPECT_EQ(reply_to(daemon, "127.0.0.4", &denied_port), "");
    EXPECT_TRUE(daemon.wait_for_err("- denied from 127.0.0.4 port " + std::to_string(denied_port) + "\n"));
    for (int fd : {kept, revoked, staying})
        close(fd);
    ASSERT_TRUE(daemon.wait_for_err(" closed (0/40)\n"));
    std::string err = daemon.err();
    EXPECT_EQ(harness::count_occurrences(err, " got SIGTERM"), 2) << harness::bounded_text(err);
    EXPECT_EQ(harness::count_occurrences(err, "- revoked "), 1) << harness::bounded_text(err);
    EXPECT_EQ(harness::count_occurrences(err, "- denied from "), 2) << harness::bounded_text(err);
}

// Without -v, too: the reason and "- rules unchanged", and the rules of
// before stay whole, though the broken file's first lines would have
// changed both clients' lot.
TEST(Reload, BrokenFileKeepsTheRulesInForceAndSaysSo)
{
    harness::text_file rules("127.0.0.3 deny\n");
    daemon_process daemon;
    ASSERT_TRUE(daemon.start({"-A", rules.path, "-1", "127.0.0.1", "0", "sh", "-c", "echo \"$TCPREMOTEIP\""}));
    ASSERT_TRUE(rules.write("127.0.0.3 allow\n127.0.0.2 deny\n10.0.0.1/8 allow\n"));
    ASSERT_EQ(kill(daemon.pid, SIGHUP), 0);
    ASSERT_TRUE(daemon.wait_for_err("- rules unchanged\n")) << harness::bounded_text(daemon.err());
    // A FIFO that nobody writes to would hold a daemon that waited on it.
    ASSERT_EQ(unlink(rules.path.c_str()), 0);
    ASSERT_EQ(mkfifo(rules.path.c_str(), 0600), 0);
    ASSERT_EQ(kill(daemon.pid, SIGHUP), 0);
    ASSERT_TRUE(daemon.wait_for_err("- rules unchanged\n", 2)) << harness::bounded_text(daemon.err());
    EXPECT_EQ(harness::bounded_text(daemon.err()), rules.path + ":3: bits set beyond the prefix length\n" +
                                                       "- rules unchanged\n" + "unable to read " + rules.path +
                                                       ": not a regular file\n- rules unchanged\n");
    EXPECT_EQ(reply_to(daemon, "127.0.0.3"), "");
    EXPECT_EQ(reply_to(daemon, "127.0.0.2"), "127.0.0.2\n");
    EXPECT_TRUE(daemon.alive());
}

// -T 2 against the rules' timeout=, longer, shorter and none; then a
// reload that swaps two of them: the commands already running keep the
// limit they started with, the next clients get the new one.
TEST(Reload, TimeLimitOfACommandIsTheOneItStartedWith)
{
    harness::text_file rules("127.0.0.2 allow timeout=1\n127.0.0.3 allow timeout=0\n127.0.0.4 allow timeout=3\n");
    daemon_process daemon;
    ASSERT_TRUE(daemon.start({"-v", "-T", "2", "-A", rules.path, "-1", "127.0.0.1", "0", "cat"}));
    struct row {
        const char *source;
        bool after_reload;
        int seconds;  // until the command is ended; 0: never
    };
    const std::vector<row> rows = {{"127.0.0.1", false, 2}, {"127.0.0.2", false, 1}, {"127.0.0.3", false, 0},
                                   {"127.0.0.4", false, 3}, {"127.0.0.2", true, 0},  {"127.0.0.3", true, 1}};
    using clock = std::chrono::steady_clock;
    std::vector<int> fds;
    std::vector<clock::time_point> started;
    for (const row &r : rows) {
        if (r.after_reload && fds.size() == 4) {
            ASSERT_TRUE(daemon.wait_for_err(" connected from ", 4));
            ASSERT_TRUE(rules.write("127.0.0.2 allow timeout=0\n127.0.0.3 allow timeout=1\n"));
            ASSERT_EQ(kill(daemon.pid, SIGHUP), 0);
            ASSERT_TRUE(daemon.wait_for_err("- reloaded 2 rules\n")) << harness::bounded_text(daemon.err());
        }
        started.push_back(clock::now());
        fds.push_back(harness::connect_from(r.source, daemon.port));
        ASSERT_NE(fds.back(), -1);
    }
    std::vector<double> ended(rows.size(), 0);
    clock::time_point give_up = clock::now() + std::chrono::milliseconds(3800);
    for (;;) {
        std::vector<pollfd> waiting;
        for (size_t i = 0; i < rows.size(); i++)
            waiting.push_back({ended[i] == 0 ? fds[i] : -1, POLLIN, 0});
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(give_up - clock::now()).count();
        if (left <= 0 || poll(waiting.data(), waiting.size(), static_cast<int>(left)) <= 0)
            break;
        for (size_t i = 0; i < rows.size(); i++)
            if (waiting[i].revents != 0)
                ended[i] = std::chrono::duration<double>(clock::now() - started[i]).count();
    }
    for (size_t i = 0; i < rows.size(); i++) {
        SCOPED_TRACE(std::string(rows[i].source) + (rows[i].after_reload ? " after the reload" : ""));
        if (rows[i].seconds == 0)
            EXPECT_EQ(ended[i], 0);
        else
            EXPECT_TRUE(ended[i] >= rows[i].seconds && ended[i] < rows[i].seconds + 0.5) << ended[i];
        close(fds[i]);
    }
}

}  // namespace
