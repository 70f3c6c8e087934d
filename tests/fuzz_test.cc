// Hostile input: a black-box fuzz of the command line, the rules file of -A
// fed to its loader in this process, and the daemon under valgrind memcheck
// through a group of connections and a group of refusals.
//
// The fuzz cases are deterministic (fixed seeds) and bounded by
// SOCKHERD_FUZZ_CASES (default 4000; twice that many rules files) and
// SOCKHERD_FUZZ_SECONDS (default 30 each). Whatever the command-line fuzz
// generates, the address operand is forced to a numeric loopback form or to
// one that fails without a name lookup: nothing binds beyond loopback and no
// case asks a name server.
#include "harness.h"
#include "sockherd.h"
#include "stress_pattern.h"
#include "stress_support.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
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

    // Where getopt("+c:6g:u:U1b:DQvehr:pA:t") stops: the index of the address
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
                if (strchr("cCgubKGrA", arg[j]) != nullptr) {
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
            // getopt's line, or our own that names an option ("-K 0: ...")
            bool own_line = before.size() > 3 && before[0] == '-' && before[2] == ' ' && before.back() == '\n';
            if (!is_getopt_text(before) && !own_line) {
                why = "unexpected text before the usage text: " + before;
                return "";
            }
            return "usage";
        }
        std::vector<std::string> lines = harness::split_lines(err);
        if (lines.size() == 1 && err.back() == '\n' && (messages_.count(lines[0]) != 0 || is_rules_message(lines[0])))
            return "message";
        why = "standard error is neither the usage text nor one known message: " + err.substr(0, 200);
        return "";
    }

private:
    std::string usage_;
    std::set<std::string> messages_;

    // A mutated byte can make an -A out of another option: its argument, a
    // word meant for something else, is then a rules file that is not there,
    // or one that is not a rules file.
    static bool is_rules_message(const std::string &line)
    {
        if (line.compare(0, strlen("unable to read "), "unable to read ") == 0)
            return true;
        size_t colon = line.find(": ");
        size_t digits = line.find_last_not_of("0123456789", colon - 1);
        return colon != std::string::npos && digits != std::string::npos && digits + 1 < colon && line[digits] == ':';
    }

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

// ---- the access rules file -------------------------------------------------

// Fields of an allow rule, each of another name; and lines that are wrong.
const std::vector<std::string> rule_fields = {
    "RELAY=yes", "limit=5", "NOTE=\"a \\\"quoted\\\"\\ttext\"", "EMPTY=", "X=x#y", "limit=1000000", "_=0"};
const std::vector<std::string> wrong_rule_lines = {
    "::ffff:10.0.0.0/104 allow", "10.0.0.1/8 allow", "10.0.0.0/33 deny", "10.0.0.0/8 deny A=1",
    "10.0.0.0/8 allow A=\"open", "10.0.0.0/8 allow PROTO=x", "10.0.0.0/8 allow A=1 A=2",
    "10.0.0.0/8 allow A=\"\\q\"", "10.0.0.0/8 permit",
    "10.0.0.0/8 allow limit=1000001", "10.0.0.0/8"};

// Bytes that mean something in the file, a zero byte among them.
const char rule_byte_text[] = "0123456789abcdef.:/ \t#=\"\\\r\n\0xAZ_-+%";
const std::string rule_bytes(rule_byte_text, sizeof rule_byte_text - 1);

class rules_generator {
public:
    explicit rules_generator(unsigned seed) : random_(seed) {}

    std::string next()
    {
        switch (below(8)) {
        case 0: return noise(below(400));
        case 1: return many_networks(200 + below(3000));
        case 2:
        case 3: return some_lines(1 + below(30));
        default: return mutated(some_lines(1 + below(30)));
        }
    }

private:
    std::mt19937_64 random_;

    size_t below(size_t bound) { return std::uniform_int_distribution<size_t>(0, bound - 1)(random_); }

    std::string noise(size_t length)
    {
        std::string text;
        for (size_t i = 0; i < length; i++)
            text += below(2) == 0 ? rule_bytes[below(rule_bytes.size())] : static_cast<char>(below(256));
        return text;
    }

    // A network, without bits beyond its length, which is seldom beyond its family's.
    std::string network()
    {
        bool ipv6 = below(2) == 1;
        unsigned char bytes[16];
        for (auto &byte : bytes)
            byte = static_cast<unsigned char>(below(256));
        size_t longest = ipv6 ? 128 : 32;
        size_t length = below(1000) == 0 ? longest + 1 : below(longest + 1);
        for (size_t bit = std::min(length, longest); bit < longest; bit++)
            bytes[bit / 8] &= static_cast<unsigned char>(~(0x80 >> (bit % 8)));
        char text[INET6_ADDRSTRLEN];
        inet_ntop(ipv6 ? AF_INET6 : AF_INET, bytes, text, sizeof text);
        return std::string(text) + "/" + std::to_string(length);
    }

    // Many rules, sorted and duplicated at times: the paths of a big table.
    std::string many_networks(size_t count)
    {
        std::string text;
        for (size_t i = 0; i < count; i++)
            text += network() + (below(3) == 0 ? " deny\n" : " allow\n");
        if (below(2) == 0) {
            size_t at = text.find('\n', below(text.size()));
            size_t end = at == std::string::npos ? at : text.find('\n', at + 1);
            if (end != std::string::npos)
                text += text.substr(at + 1, end - at);
        }
        return text;
    }

    std::string rule()
    {
        std::string text = network();
        if (below(3) == 0)
            return text + " deny" + (below(2) == 0 ? " # comment" : "");
        text += " allow";
        size_t first = below(rule_fields.size());
        for (size_t i = first; i < first + below(4) && i < rule_fields.size(); i++)
            text += (below(2) == 0 ? " " : "\t") + rule_fields[i];
        return text;
    }

    // Rules, comments and blank lines; about half of such files have a wrong line too.
    std::string some_lines(size_t count)
    {
        std::string text;
        for (size_t i = 0; i < count; i++) {
            switch (below(8)) {
            case 0: text += "# comment"; break;
            case 1: text += below(2) == 0 ? "" : " \t "; break;
            default:
                text += below(2 * count) == 0 ? wrong_rule_lines[below(wrong_rule_lines.size())] : rule();
                break;
            }
            text += below(4) == 0 ? "\r\n" : "\n";
        }
        return text;
    }

    std::string mutated(std::string text)
    {
        for (size_t n = 1 + below(3); n > 0; n--) {
            size_t at = below(text.size() + 1);
            switch (below(6)) {
            case 0:
                if (!text.empty())
                    text[below(text.size())] = rule_bytes[below(rule_bytes.size())];
                break;
            case 1: text.insert(at, noise(1 + below(8))); break;
            case 2: text.erase(at, below(20)); break;
            case 3: text.insert(at, text.substr(below(text.size() + 1), below(80))); break;
            case 4: text.insert(at, std::string(4090 + below(12), "x\t#"[below(3)])); break;
            default: text.resize(at); break;
            }
        }
        return text;
    }
};

// The reasons a line can be wrong for; "duplicate of line N" besides.
const std::set<std::string> rule_reasons = {
    "line longer than 4096 bytes", "nul byte", "control character", "bad IPv4 address", "bad IPv6 address",
    "missing prefix length", "bad prefix length", "prefix length over 32", "prefix length over 128",
    "bits set beyond the prefix length", "mapped IPv4 network: write it as IPv4", "missing action",
    "action is neither allow nor deny", "fields after deny", "field is not NAME=VALUE", "bad variable name",
    "variable set by the daemon", "name given twice", "bad limit", "limit over 1000000", "unterminated quote",
    "bad escape", "text after the closing quote", "quote or backslash outside quotes"};

// "" when err is one line naming a line of text (of path) and a known
// reason; else what is wrong with it.
std::string check_rules_error(const std::string &err, const std::string &path, const std::string &text)
{
    if (err.empty() || err.back() != '\n' || std::count(err.begin(), err.end(), '\n') != 1)
        return "not exactly one line";
    if (err == "out of memory\n")
        return "";
    if (err.compare(0, path.size() + 1, path + ":") != 0)
        return "not about the file";
    size_t line = strtoul(err.c_str() + path.size() + 1, nullptr, 10);
    size_t reason_at = err.find(": ", path.size() + 1);
    size_t lines = static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) + 1;
    if (line < 1 || line > lines || reason_at == std::string::npos)
        return "no line of the file";
    std::string reason = err.substr(reason_at + 2, err.size() - reason_at - 3);
    if (reason.starts_with("duplicate of line ") && strtoul(reason.c_str() + 18, nullptr, 10) < line)
        return "";
    return rule_reasons.count(reason) != 0 ? "" : "unknown reason";
}

// "" when every variable of the verdicts of a few clients is right.
std::string check_rules_table(const sockherd::access_table *table, std::mt19937_64 &random)
{
    for (int i = 0; i < 20; i++) {
        sockherd::socket_address client = {};
        if (i % 2 == 0) {
            client.v4.sin_family = AF_INET;
            client.v4.sin_addr.s_addr = static_cast<uint32_t>(random()) & htonl(i % 4 == 0 ? 0xff0000ff : ~0u);
        } else {
            client.v6.sin6_family = AF_INET6;
            for (auto &byte : client.v6.sin6_addr.s6_addr)
                byte = i % 4 == 1 ? 0 : static_cast<unsigned char>(random());
        }
        sockherd::access_verdict verdict;
        sockherd::match_access(table, &client, &verdict);
        for (size_t v = 0; v < verdict.variable_count; v++) {
            const sockherd::rule_variable &variable = verdict.variables[v];
            if (variable.name_id >= sockherd::access_name_count(table))
                return "a name id beyond the names";
            std::string name = sockherd::access_name(table, variable.name_id);
            if (std::string(variable.entry).compare(0, name.size() + 1, name + "=") != 0)
                return "a variable not named by its name id";
        }
    }
    return "";
}

size_t mapping_count()
{
    std::string maps = harness::read_file("/proc/self/maps");
    return static_cast<size_t>(std::count(maps.begin(), maps.end(), '\n'));
}

// Random files, files of right and wrong lines mutated, and big tables with
// duplicates, loaded in this process: each a table whose variables are named
// right, or exactly one line naming a line of the file and a known reason.
// Nothing may crash, and nothing may be left behind: no mapping here, no
// block under the sanitizer's leak check.
TEST(FuzzTest, RandomAndMutatedRulesFilesLoadOrNameOneWrongLine)
{
    const long max_cases = 2 * stress::env_long("SOCKHERD_FUZZ_CASES", 4000);
    const long seconds = stress::env_long("SOCKHERD_FUZZ_SECONDS", 30);
    char path_text[] = "/tmp/sockherd-fuzz-rules-XXXXXX";
    char err_text[] = "/tmp/sockherd-fuzz-err-XXXXXX";
    int fd = mkstemp(path_text);
    int err_fd = mkstemp(err_text);
    ASSERT_TRUE(fd != -1 && err_fd != -1);
    close(fd);
    unlink(err_text);
    std::string path = path_text;
    // The loader's messages go to a file of their own for the whole run;
    // standard error comes back before anything is reported.
    fflush(stderr);
    int saved_err = dup(2);
    ASSERT_NE(dup2(err_fd, 2), -1);
    rules_generator generator(20261210u);
    std::mt19937_64 random(7);
    size_t mappings = mapping_count();
    long cases = 0;
    long tables = 0;
    std::vector<std::string> failures;
    auto stop = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    for (; cases < max_cases && std::chrono::steady_clock::now() < stop && failures.size() < 10; cases++) {
        std::string text = generator.next();
        fd = open(path.c_str(), O_WRONLY | O_TRUNC);
        bool written = fd != -1 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
        if (fd != -1)
            close(fd);
        ASSERT_TRUE(written);
        (void)ftruncate(err_fd, 0);
        (void)lseek(err_fd, 0, SEEK_SET);
        sockherd::access_table *table = sockherd::load_access_table(path.c_str(), sockherd::warn);
        std::string err(static_cast<size_t>(lseek(err_fd, 0, SEEK_CUR)), '\0');
        (void)pread(err_fd, err.data(), err.size(), 0);
        std::string why = table != nullptr ? (err.empty() ? check_rules_table(table, random) : "a table and a message")
                                           : check_rules_error(err, path, text);
        tables += table != nullptr;
        sockherd::free_access_table(table);
        if (!why.empty())
            failures.push_back("case " + std::to_string(cases) + ": " + why + ": " + err.substr(0, 200) + "\nfile:" +
                               printable({text.substr(0, 2000)}));
    }
    dup2(saved_err, 2);
    close(saved_err);
    close(err_fd);
    unlink(path.c_str());
    for (const auto &failure : failures)
        ADD_FAILURE() << failure;
    if (!stress::sanitized_build()) {
        EXPECT_EQ(mapping_count(), mappings) << "a table's memory was not given back";
    }
    EXPECT_GE(cases, std::min(max_cases, 1000L));
    EXPECT_GT(tables, cases / 20) << "too few files loaded to mean anything";
    stress::report("rules file fuzz: %ld files (seed 20261210): %ld loaded, %ld refused with one line", cases, tables,
                   cases - tables);
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
