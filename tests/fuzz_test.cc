// Hostile input: a black-box fuzz of the command line, and the daemon under
// valgrind memcheck through a group of connections and a group of refusals.
//
// The fuzz is deterministic (fixed seed) and bounded by SOCKHERD_FUZZ_CASES
// (default 4000) and SOCKHERD_FUZZ_SECONDS (default 30). Whatever it
// generates, the address operand is forced to a numeric loopback form or to
// one that fails without a name lookup: nothing binds beyond loopback and no
// case asks a name server.
#include "harness.h"
#include "stress_pattern.h"
#include "stress_support.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <netdb.h>
#include <random>
#include <set>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

// ---- generating argument vectors -------------------------------------------

const std::vector<std::string> numbers = {
    "0", "1", "2", "5", "40", "1024", "65534", "65535", "65536", "-1", "-40", "2147483647", "2147483648",
    "-2147483648", "-2147483649", "4294967295", "4294967296", "99999999999999999999", " 7", "\t8", "+3", "-+3",
    "0x10", "010", "1e3", "3abc", "abc", "", "-", "+", " ", "\xd9\xa3", "%n", "%s%s%s"};

// Every form here is either loopback or fails inside getaddrinfo without a
// name lookup (a numeric address of the other family).
const std::vector<std::string> addresses = {"127.0.0.1", "127.1",  "0x7f.1",          "2130706433",
                                            "::1",       "::1%1", "::ffff:127.0.0.1", "::1%lo"};
// Port 0 or a value that getaddrinfo refuses; never a service name that
// would put a listener on a well-known port.
const std::vector<std::string> ports = {"0", "0", "0", "00", " 0", "", "-1", "65536", "%n", "abc", "0x10", "\xff"};

const std::vector<std::string> escapes = {"\\n", "\\r", "\\t", "\\\\", "\\x", "\\0", "\\", "%n", "%s",
                                          "%%", "%99999s", "\\e", "\\r\\n", "a", "busy"};

class argument_generator {
public:
    explicit argument_generator(unsigned seed) : random_(seed) {}

    std::vector<std::string> next(std::vector<std::string> &set_env, std::vector<std::string> &unset_env)
    {
        std::vector<std::string> args = below(3) == 0 ? mutated(valid()) : random_vector();
        force_safe_operands(args);
        set_env.clear();
        unset_env = {"GID", "UID"};
        if (below(3) == 0)
            set_env.push_back("GID=" + pick(numbers));
        if (below(3) == 0)
            set_env.push_back("UID=" + pick(numbers));
        return args;
    }

    // Where getopt("+c:6g:u:U1b:DQvehr:p") stops: the index of the address
    // operand. "+" ends the scan at the first operand; "--" ends it after
    // itself; "-" alone is an operand.
    static size_t first_operand(const std::vector<std::string> &args)
    {
        size_t i = 0;
        while (i < args.size()) {
            const std::string &arg = args[i];
            if (arg == "--")
                return i + 1;
            if (arg.size() < 2 || arg[0] != '-')
                return i;
            for (size_t j = 1; j < arg.size(); j++)
                if (strchr("cgubr", arg[j]) != nullptr) {
                    if (j + 1 == arg.size())
                        i++;  // the argument is the next element
                    break;
                }
            i++;
        }
        return args.size();
    }

private:
    std::mt19937 random_;

    size_t below(size_t bound) { return std::uniform_int_distribution<size_t>(0, bound - 1)(random_); }
    const std::string &pick(const std::vector<std::string> &pool) { return pool[below(pool.size())]; }

    std::string odd_bytes(size_t length)
    {
        std::string text;
        for (size_t i = 0; i < length; i++)
            text += static_cast<char>(1 + below(255));  // never a zero byte
        return text;
    }

    std::string refusal()
    {
        switch (below(5)) {
        case 0: return odd_bytes(below(40));
        case 1: return std::string(1000 + below(100000), "ab\\%"[below(4)]);
        default: {
            std::string text;
            for (size_t n = below(12); n > 0; n--)
                text += pick(escapes);
            return text;
        }
        }
    }

    std::string odd_text()
    {
        switch (below(4)) {
        case 0: return odd_bytes(1 + below(30));
        case 1: return std::string(1 + below(5000), 'A');
        case 2: return pick(escapes);
        default: return pick(numbers);
        }
    }

    void add_option(std::vector<std::string> &args)
    {
        static const char *const flags[] = {"-6", "-1", "-D", "-Q", "-v", "-e", "-h", "-U", "-p", "-1v", "-vQ", "-De"};
        static const char *const with_argument[] = {"-c", "-b", "-g", "-u", "-r"};
        static const char *const bad[] = {"-x", "-?", "-:", "-+", "--help", "-W", "--", "-", "-\xff", "---"};
        switch (below(6)) {
        case 0:
        case 1: args.push_back(flags[below(std::size(flags))]); break;
        case 2:
        case 3: {
            std::string option = with_argument[below(std::size(with_argument))];
            args.push_back(option);
            args.push_back(option == "-r" ? refusal() : pick(numbers));
            break;
        }
        case 4: {
            // Clustered and attached: "-vc5", "-1rtext".
            std::string option = std::string("-") + "v1DQ6e"[below(6)] + "cbgur"[below(5)];
            args.push_back(option + (option.back() == 'r' ? refusal() : pick(numbers)));
            break;
        }
        default: args.push_back(bad[below(std::size(bad))]); break;
        }
    }

    std::vector<std::string> operands()
    {
        std::vector<std::string> tail = {pick(addresses), pick(ports)};
        for (size_t n = below(4); n > 0; n--)
            tail.push_back(below(2) == 0 ? "true" : odd_text());
        return tail;
    }

    std::vector<std::string> valid()
    {
        std::vector<std::string> args = {"-v", "-1", "-c", "3", "-b", "5", "-r", "busy\\r\\n"};
        std::vector<std::string> tail = operands();
        args.insert(args.end(), tail.begin(), tail.end());
        return args;
    }

    std::vector<std::string> random_vector()
    {
        std::vector<std::string> args;
        for (size_t n = below(7); n > 0; n--)
            add_option(args);
        if (below(10) != 0) {
            std::vector<std::string> tail = operands();
            size_t keep = below(10) == 0 ? below(tail.size()) : tail.size();
            args.insert(args.end(), tail.begin(), tail.begin() + static_cast<long>(keep));
        }
        return args;
    }

    std::vector<std::string> mutated(std::vector<std::string> args)
    {
        for (size_t n = 1 + below(4); n > 0; n--) {
            size_t at = args.empty() ? 0 : below(args.size());
            switch (below(6)) {
            case 0:
                if (!args.empty())
                    args.erase(args.begin() + static_cast<long>(at));
                break;
            case 1:
                if (!args.empty())
                    args.insert(args.begin() + static_cast<long>(at), args[at]);
                break;
            case 2:
                if (args.size() > 1)
                    std::swap(args[at], args[below(args.size())]);
                break;
            case 3:
                if (!args.empty() && !args[at].empty())
                    args[at][below(args[at].size())] = static_cast<char>(1 + below(255));
                break;
            case 4:
                if (!args.empty())
                    args[at] = args[at].substr(0, below(args[at].size() + 1));
                break;
            default: {
                std::vector<std::string> option;
                add_option(option);
                args.insert(args.begin() + static_cast<long>(at), option.begin(), option.end());
                break;
            }
            }
        }
        return args;
    }

    void force_safe_operands(std::vector<std::string> &args)
    {
        size_t first = first_operand(args);
        if (first < args.size())
            args[first] = pick(addresses);
        if (first + 1 < args.size())
            args[first + 1] = pick(ports);
    }
};

// ---- judging one run -------------------------------------------------------

std::string printable(const std::vector<std::string> &args)
{
    std::string text;
    for (const auto &arg : args) {
        text += " '";
        for (size_t i = 0; i < arg.size() && i < 60; i++) {
            unsigned char byte = static_cast<unsigned char>(arg[i]);
            if (byte >= 32 && byte < 127 && byte != '\\') {
                text += static_cast<char>(byte);
            } else {
                char escaped[8];
                snprintf(escaped, sizeof escaped, "\\x%02x", byte);
                text += escaped;
            }
        }
        if (arg.size() > 60)
            text += "...(" + std::to_string(arg.size()) + " bytes)";
        text += "'";
    }
    return text;
}

struct fuzz_tally {
    long cases = 0;
    long help = 0;
    long usage = 0;
    long message = 0;
    long listening = 0;
    long bad = 0;
    std::vector<std::string> failures;
};

class fuzz_judge {
public:
    fuzz_judge(std::string usage_text) : usage_(std::move(usage_text))
    {
        for (const char *message : {"-U specified but no $GID", "-U specified but $GID is not a number",
                                    "-U specified but no $UID", "-U specified but $UID is not a number",
                                    "unable to bind to listen address", "unable to setgid", "unable to setuid",
                                    "unable to setgroups", "unable to listen", "unable to create socket"})
            messages_.insert(message);
        for (int code : {EAI_ADDRFAMILY, EAI_AGAIN, EAI_BADFLAGS, EAI_FAIL, EAI_FAMILY, EAI_MEMORY, EAI_NODATA,
                         EAI_NONAME, EAI_SERVICE, EAI_SOCKTYPE, EAI_SYSTEM})
            messages_.insert(gai_strerror(code));
    }

    // One of: "help", "usage", "message"; or "" with why set.
    std::string exit_shape(int status, const std::string &out, const std::string &err, std::string &why) const
    {
        if (status == 0) {
            if (err == usage_ && out.empty())
                return "help";
            why = "exit 0 without exactly the usage text";
            return "";
        }
        if (status != 20) {
            why = "exit status " + std::to_string(status);
            return "";
        }
        if (!out.empty() && !is_port_line(out)) {
            why = "unexpected standard output";
            return "";
        }
        if (err.size() >= usage_.size() && err.compare(err.size() - usage_.size(), usage_.size(), usage_) == 0) {
            std::string before = err.substr(0, err.size() - usage_.size());
            if (!is_getopt_text(before)) {
                why = "unexpected text before the usage text: " + before;
                return "";
            }
            return "usage";
        }
        std::vector<std::string> lines = harness::split_lines(err);
        if (lines.size() == 1 && err.back() == '\n' && messages_.count(lines[0]) != 0)
            return "message";
        why = "standard error is neither the usage text nor one known message: " + err.substr(0, 200);
        return "";
    }

private:
    std::string usage_;
    std::set<std::string> messages_;

    static bool is_port_line(const std::string &out)
    {
        if (out.size() < 2 || out.back() != '\n')
            return false;
        for (size_t i = 0; i + 1 < out.size(); i++)
            if (out[i] < '0' || out[i] > '9')
                return false;
        return true;
    }

    // glibc's getopt: "PROGRAM: invalid option -- 'x'" and
    // "PROGRAM: option requires an argument -- 'c'".
    // Nothing, or getopt's diagnostic: "PROGRAM: invalid option -- 'X'\n",
    // where X is the offending byte itself and may be a newline.
    static bool is_getopt_text(const std::string &text)
    {
        if (text.empty())
            return true;
        std::string program = std::string(SOCKHERD_BIN) + ": ";
        if (text.compare(0, program.size(), program) != 0)
            return false;
        std::string rest = text.substr(program.size());
        for (const char *start : {"invalid option -- '", "option requires an argument -- '"})
            if (rest.size() == strlen(start) + 3 && rest.compare(0, strlen(start), start) == 0 &&
                rest.compare(rest.size() - 2, 2, "'\n") == 0)
                return true;
        return false;
    }
};

// One vector in flight: it must end with a known shape, or reach its select
// loop listening on loopback only, where it is stopped by its PID.
struct fuzz_case {
    long number = 0;
    std::vector<std::string> args;
    harness::launched program;
    std::chrono::steady_clock::time_point deadline;
};

fuzz_case start_case(long number, const std::vector<std::string> &args, const std::vector<std::string> &set_env,
                     const std::vector<std::string> &unset_env, int deadline_ms)
{
    fuzz_case running;
    running.number = number;
    running.args = args;
    harness::launch_options options;
    options.set_env = set_env;
    options.unset_env = unset_env;
    running.program = harness::launch(args, options);
    running.deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(deadline_ms);
    return running;
}

// False while the case is still starting; else true with its shape ("" and
// why set when it is wrong).
bool finish_case(const fuzz_judge &judge, fuzz_case &running, std::string &shape, std::string &why)
{
    pid_t pid = running.program.pid;
    int wait_status = 0;
    if (pid <= 0) {
        why = "fork failed in the test";
    } else if (harness::wait_for_exit(pid, wait_status, 0)) {
        if (WIFSIGNALED(wait_status))
            why = std::string("died from signal ") + strsignal(WTERMSIG(wait_status));
        else
            shape = judge.exit_shape(WEXITSTATUS(wait_status), harness::read_file(running.program.out_path),
                                     harness::read_file(running.program.err_path), why);
    } else if (stress::waits_in_select(pid)) {
        std::vector<std::string> bound = stress::listening_addresses(pid);
        harness::kill_and_reap(pid);
        shape = "listening";
        if (bound.empty())
            why = "waits in select without a listening socket";
        for (const auto &address : bound)
            if (!stress::is_loopback_address(address))
                why = "listened beyond loopback on " + address;
        if (!why.empty())
            shape = "";
    } else if (std::chrono::steady_clock::now() >= running.deadline) {
        harness::kill_and_reap(pid);
        why = "neither ended nor reached its loop before the deadline";
    } else {
        return false;
    }
    harness::remove_files(running.program);
    return true;
}

TEST(FuzzTest, GetoptEmulationFindsTheAddressOperand)
{
    using gen = argument_generator;
    EXPECT_EQ(gen::first_operand({"-v", "127.0.0.1", "0", "true"}), 1u);
    EXPECT_EQ(gen::first_operand({"-c", "5", "-r", "x", "a", "p", "c"}), 4u);
    EXPECT_EQ(gen::first_operand({"-vc5", "a"}), 1u);
    EXPECT_EQ(gen::first_operand({"-vc", "5", "a"}), 2u);
    EXPECT_EQ(gen::first_operand({"--", "-v", "0"}), 1u);
    EXPECT_EQ(gen::first_operand({"-", "-v"}), 0u);
    EXPECT_EQ(gen::first_operand({"-rc", "-c"}), 2u);
    EXPECT_EQ(gen::first_operand({"-c"}), 1u);
}

TEST(FuzzTest, RandomAndMutatedCommandLinesEndCleanlyOrListenOnLoopback)
{
    const long max_cases = stress::env_long("SOCKHERD_FUZZ_CASES", 4000);
    const long seconds = stress::env_long("SOCKHERD_FUZZ_SECONDS", 30);
    const int case_deadline_ms = stress::sanitized_build() ? 20000 : 10000;
    harness::run_result help = harness::run_sockherd({"-h"});
    ASSERT_EQ(help.status, 0);
    ASSERT_NE(help.err.find("Usage: sockherd"), std::string::npos);
    fuzz_judge judge(help.err);

    argument_generator generator(20240611u);
    fuzz_tally tally;
    auto stop = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    std::vector<std::string> set_env;
    std::vector<std::string> unset_env;
    // A leak check at every exit would quadruple the cost of a case in the
    // sanitizer build: one case in eight keeps it. ASan's memory checks and
    // UBSan stay on in all of them.
    std::string asan_options = "ASAN_OPTIONS=detect_leaks=0";
    if (const char *inherited = getenv("ASAN_OPTIONS"))
        asan_options = std::string("ASAN_OPTIONS=") + inherited + ":detect_leaks=0";
    // A few cases in flight at once: each spends most of its time starting.
    const size_t in_flight = 4;
    std::vector<fuzz_case> running;
    long started = 0;
    while (!running.empty() || (started < max_cases && std::chrono::steady_clock::now() < stop)) {
        while (running.size() < in_flight && started < max_cases && std::chrono::steady_clock::now() < stop) {
            std::vector<std::string> args = generator.next(set_env, unset_env);
            if (stress::sanitized_build() && started % 8 != 0)
                set_env.push_back(asan_options);
            running.push_back(start_case(++started, args, set_env, unset_env, case_deadline_ms));
        }
        bool any_finished = false;
        for (size_t i = 0; i < running.size();) {
            std::string shape;
            std::string why;
            if (!finish_case(judge, running[i], shape, why)) {
                i++;
                continue;
            }
            any_finished = true;
            tally.cases++;
            if (shape == "help")
                tally.help++;
            else if (shape == "usage")
                tally.usage++;
            else if (shape == "message")
                tally.message++;
            else if (shape == "listening")
                tally.listening++;
            else if (++tally.bad <= 10)
                tally.failures.push_back("case " + std::to_string(running[i].number) + ":" +
                                         printable(running[i].args) + " -> " + why);
            running.erase(running.begin() + static_cast<long>(i));
        }
        if (!any_finished)
            usleep(500);
    }
    for (const auto &failure : tally.failures)
        ADD_FAILURE() << failure;
    EXPECT_GE(tally.cases, std::min(max_cases, 200L)) << "too few cases ran to mean anything";
    EXPECT_GT(tally.listening, 0);
    EXPECT_GT(tally.usage, 0);
    stress::report("command-line fuzz: %ld cases (seed 20240611): %ld help, %ld usage errors, %ld one-line "
                   "failures, %ld reached the loop on loopback; %ld bad",
                   tally.cases, tally.help, tally.usage, tally.message, tally.listening, tally.bad);
}

// ---- valgrind --------------------------------------------------------------

std::string find_in_path(const char *name)
{
    const char *path = getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos)
            end = dirs.size();
        std::string candidate = dirs.substr(start, end - start) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return "";
}

// The daemon under memcheck serves a group of connections and a group of
// refusals (readers, a slow reader, silent clients, resets), then is stopped
// with SIGTERM. Memcheck must report no error and no lost block, and the
// blocks still in use must be the handful made once at start-up: a refusal
// record that outlived its refusal would show here.
TEST(MemcheckTest, ConnectionsAndRefusalsLeaveNoErrorAndNoLeak)
{
    if (stress::sanitized_build())
        GTEST_SKIP() << "memcheck cannot run a sanitizer build";
    std::string valgrind = find_in_path("valgrind");
    if (valgrind.empty())
        GTEST_SKIP() << "valgrind is not installed (Debian package valgrind)";

    char log_name[] = "/tmp/sockherd-memcheck-XXXXXX";
    int log_fd = mkstemp(log_name);
    ASSERT_NE(log_fd, -1);
    close(log_fd);
    std::string log_path = log_name;
    std::string refusal = stress::refusal_text(100000);
    harness::launch_options under_valgrind;
    under_valgrind.program = valgrind;
    std::vector<std::string> args = {"--tool=memcheck",
                                     "--leak-check=full",
                                     "--show-leak-kinds=definite,indirect,possible",
                                     "--errors-for-leak-kinds=definite,indirect,possible",
                                     "--trace-children=no",
                                     "--child-silent-after-fork=yes",
                                     "--error-exitcode=42",
                                     "--log-file=" + log_path,
                                     SOCKHERD_DYNAMIC_BIN,
                                     "-v",
                                     "-1",
                                     "-c",
                                     "2",
                                     "-r",
                                     refusal,
                                     "127.0.0.1",
                                     "0",
                                     stress::command_path(),
                                     "script"};
    harness::launched daemon = harness::launch(args, under_valgrind);
    ASSERT_GT(daemon.pid, 0);
    std::string port_line;
    bool ready = harness::eventually(
        [&] {
            port_line = harness::read_file(daemon.out_path);
            return port_line.find('\n') != std::string::npos;
        },
        120000);
    if (!ready) {
        harness::kill_and_reap(daemon.pid);
        harness::remove_files(daemon);
        FAIL() << "no port line from the daemon under valgrind";
    }
    int port = atoi(port_line.c_str());
    auto log_lines = [&] { return stress::count_log(harness::read_file(daemon.err_path)); };
    auto serve_one = [&] {
        int fd = harness::connect_loopback(port);
        if (fd == -1)
            return false;
        harness::write_all(fd, "output 3000\n");
        bool eof = false;
        bool whole = harness::read_to_eof(fd, &eof, 60000) == stress::pattern_text(3000);
        close(fd);
        return whole;
    };

    // The port line comes before the self-pipe, and valgrind's own handlers
    // hide when the daemon's SIGCHLD handler goes in, so the baseline is
    // taken once a first client has been served: the daemon is in its loop.
    const int served = 30;
    ASSERT_TRUE(serve_one());
    ASSERT_TRUE(harness::eventually([&] { return log_lines().closed == 1; }, 60000));
    int baseline_fds = harness::count_open_fds(daemon.pid);
    std::string baseline_listing = harness::describe_fds(daemon.pid);

    // Connections: served one after another, some with -c 2 full.
    for (int i = 1; i < served; i++)
        EXPECT_TRUE(serve_one());
    // Refusals: two commands hold the limit while every kind of client comes.
    int first = stress::hold_command(port, 60000);
    int second = stress::hold_command(port, 60000);
    ASSERT_NE(first, -1);
    ASSERT_NE(second, -1);
    std::vector<int> silent;
    int refused = 0;
    for (int i = 0; i < 20; i++) {
        int fd = harness::connect_loopback(port);
        bool eof = false;
        EXPECT_TRUE(harness::read_to_eof(fd, &eof, 60000) == refusal);
        close(fd);
        refused++;
    }
    for (int i = 0; i < 3; i++) {
        int fd = harness::connect_loopback(port, AF_INET, 1024, 536);
        bool eof = false;
        EXPECT_TRUE(stress::read_slowly(fd, 2048, 1, &eof, 60000) == refusal);
        close(fd);
        refused++;
    }
    for (int i = 0; i < 10; i++) {
        silent.push_back(harness::connect_loopback(port, AF_INET, 1024, 536));
        refused++;
    }
    for (int i = 0; i < 10; i++) {
        int fd = harness::connect_loopback(port);
        harness::reset_close(fd);
        refused++;
    }
    EXPECT_TRUE(harness::eventually([&] { return log_lines().refused == refused; }, 60000));
    // A refusal is logged before its first write, so a reset client's
    // descriptor may still be open for a moment after its line.
    EXPECT_TRUE(harness::eventually([&] { return harness::count_open_fds(daemon.pid) == baseline_fds + 10; }, 60000))
        << "the silent clients' refusals should wait, nothing else\n"
        << harness::describe_fds(daemon.pid) << "at the baseline:\n"
        << baseline_listing;
    for (int fd : silent)
        close(fd);
    close(first);
    close(second);
    EXPECT_TRUE(harness::eventually(
        [&] { return log_lines().closed == served + 2 && harness::count_open_fds(daemon.pid) == baseline_fds; },
        60000))
        << harness::describe_fds(daemon.pid) << "at the baseline:\n"
        << baseline_listing;

    kill(daemon.pid, SIGTERM);
    int wait_status = 0;
    ASSERT_TRUE(harness::wait_for_exit(daemon.pid, wait_status, 60000));
    std::string log = harness::read_file(log_path);
    unlink(log_path.c_str());
    harness::remove_files(daemon);

    EXPECT_NE(log.find("ERROR SUMMARY: 0 errors from 0 contexts"), std::string::npos) << log;
    bool no_leak = log.find("All heap blocks were freed") != std::string::npos ||
                   (log.find("definitely lost: 0 bytes in 0 blocks") != std::string::npos &&
                    log.find("indirectly lost: 0 bytes in 0 blocks") != std::string::npos &&
                    log.find("possibly lost: 0 bytes in 0 blocks") != std::string::npos);
    EXPECT_TRUE(no_leak) << log;
    size_t in_use = log.find("in use at exit: ");
    ASSERT_NE(in_use, std::string::npos) << log;
    std::string summary = log.substr(in_use, log.find('\n', in_use) - in_use);
    std::string blocks_text = summary.substr(summary.find(" bytes in ") + strlen(" bytes in "));
    blocks_text.erase(std::remove(blocks_text.begin(), blocks_text.end(), ','), blocks_text.end());
    long blocks = atol(blocks_text.c_str());
    // The refusal text and the standard output buffer of the port line.
    EXPECT_LE(blocks, 4) << summary;
    stress::report("memcheck: %d served, %d refused (20 read, 3 slow, 10 silent, 10 reset); %s", served, refused,
                   summary.c_str());
}

}  // namespace
