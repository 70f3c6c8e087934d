// Load: tens of thousands of real clients against the real daemon. Every
// assertion is about outcomes (what each client received, what the log
// accounts for, what the daemon holds afterwards), never about speed.
//
// SOCKHERD_STRESS_CONNECTIONS (default 20000) sets the clients of each counted
// run, SOCKHERD_CHURN_SECONDS (default 60) the churn, and
// SOCKHERD_STRESS_CSV where the churn's samples go.
#include "harness.h"
#include "json_line.h"
#include "stress_support.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <map>
#include <mutex>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using harness::daemon_process;
using stress::client_kind;

// The daemon allocates nothing per served client, and per refused client one
// small record that is freed when the refusal ends. What may still move RSS
// is the C library touching a page or two more (stdio, the malloc arena's
// top). 512 KiB is far below what a leak of one record per client would add
// over 20,000 clients (that alone is 640 KiB), and far above the noise.
// Under ASan, freed blocks wait in its quarantine (256 MiB by default), so RSS
// grows by about 100 bytes per refusal without any leak: 8 MiB there.
const long rss_slack_kib = stress::sanitized_build() ? 8192 : 512;
constexpr size_t output_size = 16384;
constexpr size_t refusal_size = 64 * 1024;
constexpr int concurrency = 64;
constexpr int quiet_deadline_ms = 120000;

long stress_connections()
{
    return stress::env_long("SOCKHERD_STRESS_CONNECTIONS", 20000);
}

std::string command_output_argument()
{
    return std::to_string(output_size);
}

// The assertions every run makes about the daemon's log once it is quiet.
void expect_accounted(const stress::log_counts &counts, long clients, int limit, bool refusing)
{
    EXPECT_EQ(counts.connected + counts.refused, clients) << "a client neither served nor refused";
    EXPECT_EQ(counts.closed, counts.connected);
    EXPECT_EQ(stress::running_in(counts.last_closed), 0) << counts.last_closed;
    EXPECT_LE(counts.highest_running, limit);
    EXPECT_EQ(counts.dropped, 0);
    EXPECT_EQ(counts.fork_failed, 0);
    EXPECT_EQ(counts.accept_failed, 0);
    EXPECT_EQ(counts.bad_header, 0);
    EXPECT_EQ(counts.other, 0) << (counts.unknown.empty() ? "" : counts.unknown.front());
    if (!refusing) {
        EXPECT_EQ(counts.refused, 0);
    }
}

void expect_clean_load(const stress::load_report &result)
{
    EXPECT_FALSE(result.timed_out);
    EXPECT_EQ(result.connect_failed, 0);
    EXPECT_EQ(result.wrong, 0);
    for (const auto &sample : result.wrong_samples)
        ADD_FAILURE() << sample;
}

bool fds_return_to(pid_t pid, int baseline)
{
    return harness::eventually([&] { return harness::count_open_fds(pid) == baseline; }, quiet_deadline_ms);
}

stress::load_plan plan_for(const std::vector<stress::load_target> &targets, std::vector<client_kind> kinds,
                           long connections)
{
    stress::load_plan plan;
    plan.targets = targets;
    plan.kinds = std::move(kinds);
    plan.connections = connections;
    plan.concurrency = concurrency;
    return plan;
}

// 64 clients at a time, 40 commands at a time, no refusals: the other 24 wait
// in the listen queue. -b 1024 keeps a burst of 64 from overflowing the
// default queue of 10, which would only delay clients by SYN retries.
TEST(StressTest, EveryClientOfTwentyThousandGetsTheWholeOutput)
{
    long connections = stress_connections();
    daemon_process daemon;
    ASSERT_TRUE(daemon.start({"-v", "-1", "-b", "1024", "-c", "40", "127.0.0.1", "0", stress::command_path(),
                              "output", command_output_argument()}));
    stress::load_target target = {daemon.port, stress::pattern_text(output_size), "", false};

    // Warm up first, so the baseline holds whatever the first clients make
    // the C library allocate once.
    const long warm_up = 256;
    expect_clean_load(stress::run_load(plan_for({target}, {client_kind::reader}, warm_up)));
    ASSERT_TRUE(stress::wait_quiescent(daemon, warm_up, quiet_deadline_ms));
    stress::process_sample before = stress::sample(daemon.pid);

    stress::load_report result = stress::run_load(plan_for({target}, {client_kind::reader}, connections));
    expect_clean_load(result);
    EXPECT_EQ(result.got_output, connections);
    ASSERT_TRUE(stress::wait_quiescent(daemon, warm_up + connections, quiet_deadline_ms));

    stress::log_counts counts = stress::count_log(daemon.err());
    expect_accounted(counts, warm_up + connections, 40, false);
    EXPECT_TRUE(harness::children_of(daemon.pid, true).empty()) << "zombie children";
    EXPECT_TRUE(harness::children_of(daemon.pid, false).empty());
    EXPECT_TRUE(fds_return_to(daemon.pid, before.fds));
    stress::process_sample after = stress::sample(daemon.pid);
    EXPECT_EQ(after.fds, before.fds);
    EXPECT_LE(after.rss_kib, before.rss_kib + rss_slack_kib);
    stress::report("-c 40, no -r: %ld clients, %ld got all %zu bytes, %ld wrong, %ld connect failures; "
                   "last \"%s\"; fds %d -> %d; RSS %ld -> %ld KiB; daemon CPU %ld ticks",
                   result.started, result.got_output, output_size, result.wrong, result.connect_failed,
                   counts.last_closed.c_str(), before.fds, after.fds, before.rss_kib, after.rss_kib,
                   after.cpu_ticks - before.cpu_ticks);
}

// Refusing at 4 with readers, slow readers, silent clients and resets mixed:
// whoever reads gets exactly the output or exactly the refusal, whatever the
// clients around it do.
const std::vector<client_kind> mixed_kinds = {
    client_kind::reader,       client_kind::reader, client_kind::slow_reader,      client_kind::reader,
    client_kind::silent,       client_kind::reader, client_kind::reset_at_once,    client_kind::reader,
    client_kind::reader,       client_kind::silent, client_kind::reset_after_read, client_kind::reader,
    client_kind::slow_reader,  client_kind::reader, client_kind::reader,           client_kind::reset_at_once,
};

TEST(StressTest, MixedClientsAtFourWithRefusalsEachGetOutputOrRefusal)
{
    long connections = stress_connections();
    std::string refusal = stress::refusal_text(refusal_size);
    daemon_process daemon;
    ASSERT_TRUE(daemon.start({"-v", "-1", "-b", "1024", "-c", "4", "-r", refusal, "127.0.0.1", "0",
                              stress::command_path(), "output", command_output_argument()}));
    stress::load_target target = {daemon.port, stress::pattern_text(output_size), refusal, true};

    const long warm_up = 256;
    expect_clean_load(stress::run_load(plan_for({target}, mixed_kinds, warm_up)));
    ASSERT_TRUE(stress::wait_quiescent(daemon, 1, quiet_deadline_ms));
    int baseline_fds = 6;  // 0, 1, 2, the listening socket and the self-pipe's two ends
    ASSERT_TRUE(fds_return_to(daemon.pid, baseline_fds));
    stress::process_sample before = stress::sample(daemon.pid);
    long warm_up_accounted = stress::count_log(daemon.err()).connected + stress::count_log(daemon.err()).refused;

    stress::load_report result = stress::run_load(plan_for({target}, mixed_kinds, connections));
    expect_clean_load(result);
    EXPECT_GT(result.got_output, 0);
    EXPECT_GT(result.got_refusal, 0);
    ASSERT_TRUE(stress::wait_quiescent(daemon, 1, quiet_deadline_ms));
    // The refusals of silent clients end when the run closes them.
    EXPECT_TRUE(fds_return_to(daemon.pid, before.fds));

    stress::log_counts counts = stress::count_log(daemon.err());
    expect_accounted(counts, warm_up_accounted + connections, 4, true);
    EXPECT_TRUE(harness::children_of(daemon.pid, false).empty());
    stress::process_sample after = stress::sample(daemon.pid);
    EXPECT_EQ(after.fds, before.fds);
    EXPECT_LE(after.rss_kib, before.rss_kib + rss_slack_kib);
    stress::report("-c 4 -r (%zu-byte text), mixed: %ld clients (%ld slow readers, %ld silent, %ld resets); "
                   "readers: %ld output, %ld refusal, %ld wrong; log: %ld connected, %ld refused, last \"%s\"; "
                   "fds %d -> %d; RSS %ld -> %ld KiB",
                   refusal_size, result.started, result.slow, result.silent, result.reset, result.got_output,
                   result.got_refusal, result.wrong, counts.connected, counts.refused, counts.last_closed.c_str(),
                   before.fds, after.fds, before.rss_kib, after.rss_kib);
}

// -p at -c 40: each client's header names a client of its own, version 1
// and 2 in turn (some of them with a CRC32C), whole, in two pieces, or with
// the client's bytes behind it. Each command must see its own client and
// echo exactly the bytes that followed the header, and afterwards every
// slot, child and descriptor is back.
TEST(StressTest, FiveThousandProxiedClientsEachSeeTheirOwnAddressAndBytes)
{
    long connections = std::min(5000L, stress_connections());
    daemon_process daemon;
    ASSERT_TRUE(daemon.start({"-v", "-p", "-1", "-b", "1024", "-c", "40", "127.0.0.1", "0", stress::command_path(),
                              "echo"}));
    stress::load_target target = {daemon.port, "", "", false};

    const long warm_up = 256;
    expect_clean_load(stress::run_load(plan_for({target}, {client_kind::proxied}, warm_up)));
    ASSERT_TRUE(stress::wait_quiescent(daemon, warm_up, quiet_deadline_ms));
    stress::process_sample before = stress::sample(daemon.pid);

    // Fewer clients at once than slots: each is taken at once, so the pieces
    // of its header and its bytes reach the daemon and the command apart.
    stress::load_plan plan = plan_for({target}, {client_kind::proxied}, connections);
    plan.concurrency = 32;
    stress::load_report result = stress::run_load(plan);
    expect_clean_load(result);
    EXPECT_EQ(result.got_output, connections);
    ASSERT_TRUE(stress::wait_quiescent(daemon, warm_up + connections, quiet_deadline_ms));

    stress::log_counts counts = stress::count_log(daemon.err());
    expect_accounted(counts, warm_up + connections, 40, false);
    EXPECT_EQ(counts.proxied, counts.connected);
    EXPECT_TRUE(harness::children_of(daemon.pid, false).empty());
    EXPECT_TRUE(fds_return_to(daemon.pid, before.fds));
    stress::process_sample after = stress::sample(daemon.pid);
    EXPECT_LE(after.rss_kib, before.rss_kib + rss_slack_kib);
    stress::report("-p -c 40: %ld clients, %ld got their address and bytes back, %ld wrong; last \"%s\"; "
                   "fds %d -> %d; RSS %ld -> %ld KiB; daemon CPU %ld ticks",
                   result.started, result.got_output, result.wrong, counts.last_closed.c_str(), before.fds,
                   after.fds, before.rss_kib, after.rss_kib, after.cpu_ticks - before.cpu_ticks);
}

// Whether line is one of "stress_command noisy"'s own, whole.
bool is_command_noise(const std::string &line)
{
    const std::string prefix = "noise from ";
    const std::string suffix = ": abcdefghijklmnopqrstuvwxyzabcdefghijklmnopqrstuvwxyz";
    if (line.compare(0, prefix.size(), prefix) != 0 || line.size() <= prefix.size() + suffix.size() ||
        line.compare(line.size() - suffix.size(), suffix.size(), suffix) != 0)
        return false;
    std::string pid = line.substr(prefix.size(), line.size() - prefix.size() - suffix.size());
    return pid.find_first_not_of("0123456789") == std::string::npos;
}

// With -J each of the daemon's lines is one object in one write. The
// commands write lines of their own on the same standard error while the
// daemon logs them starting and ending: theirs may land between the
// daemon's objects, never inside one, and no object is cut.
TEST(StressTest, JsonLogLinesStayWholeAmongTheCommandsOwn)
{
    const long connections = stress_connections() / 10;  // 2,000 by default
    const size_t output = 1024;
    daemon_process daemon;
    ASSERT_TRUE(daemon.start({"-J", "-1", "-b", "1024", "-c", "40", "127.0.0.1", "0", stress::command_path(), "noisy",
                              std::to_string(output)}));
    stress::load_target target = {daemon.port, stress::pattern_text(output), "", false};
    stress::load_plan plan = plan_for({target}, {client_kind::reader}, connections);
    plan.concurrency = 32;
    stress::load_report result = stress::run_load(plan);
    expect_clean_load(result);
    EXPECT_EQ(result.got_output, connections);
    // Every line there is to come, counted by its newline: a line broken
    // into pieces by another's still ends in one.
    long lines_expected = 1 + 2 * connections + 2 * connections;
    ASSERT_TRUE(daemon.wait_for_err("\n", static_cast<int>(lines_expected), quiet_deadline_ms))
        << harness::count_occurrences(daemon.err(), "\n") << " lines of " << lines_expected;

    std::string log = daemon.err();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), '\n') << "the log ends inside a line";
    long noise = 0;
    std::map<std::string, long> events;
    long broken = 0;
    std::string last_closed;
    for (const auto &line : harness::split_lines(log)) {
        if (is_command_noise(line)) {
            noise++;
            continue;
        }
        json::object event;
        std::string why = json::parse_object(line, event);
        if (why.empty() && event.fields.size() >= 2 && event.fields[1].name == "event") {
            events[event.fields[1].text]++;
            if (event.fields[1].text == "closed")
                last_closed = line;
        }
        else if (++broken <= 4)
            ADD_FAILURE() << "neither the daemon's object nor a command's line (" << why << "): " << line;
    }
    EXPECT_EQ(broken, 0);
    EXPECT_EQ(noise, 2 * connections);
    EXPECT_EQ(events, (std::map<std::string, long>{{"listening", 1}, {"connected", connections},
                                                  {"closed", connections}}));
    EXPECT_EQ(stress::running_in(last_closed), 0) << last_closed;
    stress::report("-J, c = 32: %ld clients, %ld whole objects among %ld lines of the commands' own, %ld broken",
                   result.started, events["connected"] + events["closed"] + events["listening"], noise, broken);
}

// A flood of clients that connect under -p and send nothing: at -c 300, 200
// of them hold a slot each for the five seconds a header may take, while
// clients with headers are served in the slots left and the daemon spends
// nothing on the silent ones. Each is then let go with its line and not a
// byte written, and every slot is free again.
TEST(StressTest, TwoHundredSilentProxiedClientsLeaveTheOthersServed)
{
    const int silent = 200;
    daemon_process daemon;
    ASSERT_TRUE(daemon.start({"-v", "-p", "-1", "-b", "1024", "-c", "300", "127.0.0.1", "0", stress::command_path(),
                              "echo"}));
    int baseline_fds = harness::count_open_fds(daemon.pid);
    stress::load_target target = {daemon.port, "", "", false};
    std::vector<int> fds;
    std::vector<std::chrono::steady_clock::time_point> connecting;  // before each connect, so before its accept
    std::map<int, bool> ports;
    for (int i = 0; i < silent; i++) {
        connecting.push_back(std::chrono::steady_clock::now());
        int fd = harness::connect_loopback(daemon.port);
        ASSERT_NE(fd, -1);
        fds.push_back(fd);
        ports[harness::local_port_of(fd)] = false;
    }
    ASSERT_TRUE(harness::eventually([&] { return harness::count_open_fds(daemon.pid) == baseline_fds + silent; }))
        << "the daemon holds every silent client";

    stress::load_report served = stress::run_load(plan_for({target}, {client_kind::proxied}, 100));
    expect_clean_load(served);
    EXPECT_EQ(served.got_output, 100);
    // Served while the silent ones still waited, each holding its slot.
    for (const auto &line : harness::split_lines(daemon.err())) {
        if (line.find(" connected from ") != std::string::npos) {
            EXPECT_GT(stress::running_in(line), silent) << line;
        }
    }

    long cpu_before = harness::cpu_ticks(daemon.pid);
    for (int i = 0; i < silent; i++) {
        bool eof = false;
        EXPECT_EQ(harness::read_to_eof(fds[i], &eof), "");
        EXPECT_TRUE(eof);
        double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - connecting[i]).count();
        EXPECT_GE(waited, 4.9) << "client " << i << " was given up early";
        close(fds[i]);
    }
    long cpu = harness::cpu_ticks(daemon.pid) - cpu_before;
    EXPECT_LT(cpu, 20) << "clock ticks while 200 clients waited; a spin takes about 100 a second";

    // Once they are gone, a command that ends leaves no slot in use.
    stress::load_report after = stress::run_load(plan_for({target}, {client_kind::proxied}, 40));
    expect_clean_load(after);
    ASSERT_TRUE(stress::wait_quiescent(daemon, 140, quiet_deadline_ms));
    int bad_lines = 0;
    for (const auto &line : harness::split_lines(daemon.err())) {
        const std::string prefix = "- bad proxy header from 127.0.0.1 port ";
        if (line.compare(0, prefix.size(), prefix) != 0)
            continue;
        bad_lines++;
        auto port = ports.find(atoi(line.c_str() + prefix.size()));
        EXPECT_TRUE(port != ports.end() && !port->second) << line;
        if (port != ports.end())
            port->second = true;
    }
    EXPECT_EQ(bad_lines, silent);
    EXPECT_EQ(stress::count_log(daemon.err()).connected, 140);
    EXPECT_TRUE(fds_return_to(daemon.pid, baseline_fds));
    stress::report("-p -c 300: %d silent clients given up, %ld served meanwhile; %ld ticks while they waited", silent,
                   served.got_output, cpu);
}

// What the record lines of "stress_command record" show: the most commands
// of one client address running at once, and how many each address started.
struct source_records {
    int most_at_once = 0;
    long ended = 0;
    std::map<std::string, long> started;
};

source_records read_records(const std::string &path)
{
    source_records records;
    std::map<std::string, int> running;
    for (const auto &line : harness::split_lines(harness::read_file(path))) {
        std::string address = line.substr(2);
        if (line[0] == '+') {
            records.started[address]++;
            records.most_at_once = std::max(records.most_at_once, ++running[address]);
        } else {
            running[address]--;
            records.ended++;
        }
    }
    return records;
}

// -C 3 -c 100: 50 client addresses, eight clients in a row from each, 64 at a
// time, so that every address has more clients than its share. Without -r an
// address over its share has its client closed at once, and the daemon
// allocates nothing for it: its RSS may stay within 64 KiB even under ASan,
// whose quarantine would hold every freed refusal record (the refusal queue
// under load has the run above). Each command records its start and its end,
// after its client closed, with the client's address; the daemon counts a
// command from before its start until after its end, so the records never
// show more than it counted.
TEST(StressTest, FiftySourcesNeverRunMoreThanThreeCommandsEach)
{
    const int per_source = 3;
    const size_t output = 1024;
    long connections = stress_connections();
    long first = std::min(1000L, connections / 2);
    std::vector<std::string> sources;
    for (int i = 2; i < 52; i++)
        sources.push_back("127.0.0." + std::to_string(i));
    char records_path[] = "/tmp/sockherd-records-XXXXXX";
    int records_fd = mkstemp(records_path);
    ASSERT_NE(records_fd, -1);
    close(records_fd);
    struct removed_at_end {
        const char *path;
        ~removed_at_end() { unlink(path); }
    } records_file{records_path};
    daemon_process daemon;
    ASSERT_TRUE(daemon.start({"-v", "-1", "-b", "1024", "-c", "100", "-C", std::to_string(per_source), "127.0.0.1",
                              "0", stress::command_path(), "record", records_path, std::to_string(output)}));
    stress::load_target target = {daemon.port, stress::pattern_text(output), "", true};
    stress::load_plan plan = plan_for({target}, {client_kind::reader}, first);
    plan.sources = sources;
    plan.source_run = 8;

    stress::load_report warm_up = stress::run_load(plan);
    expect_clean_load(warm_up);
    ASSERT_TRUE(stress::wait_quiescent(daemon, 1, quiet_deadline_ms));
    stress::process_sample before = stress::sample(daemon.pid);
    plan.connections = connections - first;
    stress::load_report result = stress::run_load(plan);
    expect_clean_load(result);
    ASSERT_TRUE(stress::wait_quiescent(daemon, 1, quiet_deadline_ms));
    EXPECT_TRUE(fds_return_to(daemon.pid, before.fds));
    stress::process_sample after = stress::sample(daemon.pid);
    EXPECT_LE(after.rss_kib, before.rss_kib + 64);

    // Every address's count is back to 0: each has its share at once again,
    // and not one more.
    long final_served = 0;
    long final_refused = 0;
    for (const auto &source : sources) {
        std::vector<int> holders;
        for (int i = 0; i <= per_source; i++) {
            int fd = harness::connect_from(source, daemon.port);
            bool eof = false;
            std::string got = harness::read_to_eof(fd, &eof);
            bool served = eof && got == target.output;
            EXPECT_EQ(served, i < per_source) << source << " client " << i << ": " << got.size() << " bytes";
            final_served += served;
            final_refused += eof && got.empty();
            holders.push_back(fd);
        }
        for (int fd : holders)
            close(fd);
    }
    ASSERT_TRUE(stress::wait_quiescent(daemon, 1, quiet_deadline_ms));

    long clients = warm_up.started + result.started + final_served + final_refused;
    long served = warm_up.got_output + result.got_output + final_served;
    long refused = warm_up.got_refusal + result.got_refusal + final_refused;
    EXPECT_EQ(served + refused, connections + 4L * static_cast<long>(sources.size()));
    stress::log_counts counts = stress::count_log(daemon.err());
    expect_accounted(counts, clients, 100, true);
    EXPECT_EQ(counts.connected, served);
    EXPECT_EQ(counts.refused, refused);
    source_records records = read_records(records_path);
    EXPECT_LE(records.most_at_once, per_source);
    EXPECT_EQ(records.ended, served);
    EXPECT_EQ(records.started.size(), sources.size()) << "every address served";
    stress::report("-C %d -c 100, 50 addresses: %ld clients, %ld served, %ld refused, %ld wrong; at most %d of "
                   "one address at once; last \"%s\"; RSS %ld -> %ld KiB",
                   per_source, clients, served, refused, warm_up.wrong + result.wrong, records.most_at_once,
                   counts.last_closed.c_str(), before.rss_kib, after.rss_kib);
}

// Two daemons side by side, one deferring and one refusing, churned by every
// kind of client for SOCKHERD_CHURN_SECONDS while a sampler writes their
// descriptors, RSS and CPU time once a second into a CSV.
struct churn_row {
    std::string phase;
    int second;
    int daemon;
    stress::process_sample taken;
};

class churn_sampler {
public:
    churn_sampler(std::vector<pid_t> pids) : pids_(std::move(pids)) {}

    void run_until(const std::atomic<bool> &stop, const char *phase)
    {
        while (!stop) {
            take(phase);
            for (int i = 0; i < 10 && !stop; i++)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }

    void take(const char *phase)
    {
        std::lock_guard<std::mutex> hold(lock_);
        for (size_t i = 0; i < pids_.size(); i++)
            rows_.push_back({phase, second_, static_cast<int>(i), stress::sample(pids_[i])});
        second_++;
    }

    std::vector<churn_row> rows(const std::string &phase, int daemon) const
    {
        std::vector<churn_row> found;
        for (const auto &row : rows_)
            if (row.phase == phase && row.daemon == daemon)
                found.push_back(row);
        return found;
    }

    std::string write_csv() const
    {
        std::string path = "sockherd-churn.csv";
        if (const char *chosen = getenv("SOCKHERD_STRESS_CSV"))
            path = chosen;
        FILE *csv = fopen(path.c_str(), "w");
        if (csv == nullptr)
            return "(not written)";
        fprintf(csv, "phase,second,daemon,fds,rss_kib,cpu_ticks\n");
        for (const auto &row : rows_)
            fprintf(csv, "%s,%d,%s,%d,%ld,%ld\n", row.phase.c_str(), row.second,
                    row.daemon == 0 ? "deferring" : "refusing", row.taken.fds, row.taken.rss_kib,
                    row.taken.cpu_ticks);
        fclose(csv);
        return path;
    }

private:
    std::vector<pid_t> pids_;
    std::mutex lock_;
    std::vector<churn_row> rows_;
    int second_ = 0;
};

long highest(const std::vector<churn_row> &rows, long stress::process_sample::*field)
{
    long top = 0;
    for (const auto &row : rows)
        top = std::max(top, row.taken.*field);
    return top;
}

long highest_fds(const std::vector<churn_row> &rows)
{
    int top = 0;
    for (const auto &row : rows)
        top = std::max(top, row.taken.fds);
    return top;
}

TEST(StressTest, ChurnLeavesDescriptorsMemoryAndCpuFlat)
{
    int seconds = static_cast<int>(stress::env_long("SOCKHERD_CHURN_SECONDS", 60));
    std::string refusal = stress::refusal_text(refusal_size);
    daemon_process deferring;
    daemon_process refusing;
    ASSERT_TRUE(deferring.start({"-v", "-1", "-b", "1024", "-c", "40", "127.0.0.1", "0", stress::command_path(),
                                 "output", command_output_argument()}));
    ASSERT_TRUE(refusing.start({"-v", "-1", "-b", "1024", "-c", "4", "-r", refusal, "127.0.0.1", "0",
                                stress::command_path(), "output", command_output_argument()}));
    std::vector<stress::load_target> targets = {
        {deferring.port, stress::pattern_text(output_size), "", false},
        {refusing.port, stress::pattern_text(output_size), refusal, true},
    };
    std::vector<daemon_process *> daemons = {&deferring, &refusing};

    // Warm-up and baseline, as in the counted runs.
    expect_clean_load(stress::run_load(plan_for(targets, mixed_kinds, 512)));
    std::vector<stress::process_sample> baseline;
    for (auto *daemon : daemons) {
        ASSERT_TRUE(stress::wait_quiescent(*daemon, 1, quiet_deadline_ms));
        ASSERT_TRUE(fds_return_to(daemon->pid, 6));
        baseline.push_back(stress::sample(daemon->pid));
    }
    long warm_up_accounted[2];
    for (size_t i = 0; i < daemons.size(); i++) {
        stress::log_counts counts = stress::count_log(daemons[i]->err());
        warm_up_accounted[i] = counts.connected + counts.refused;
    }

    churn_sampler sampler({deferring.pid, refusing.pid});
    std::atomic<bool> stop{false};
    std::thread sampling([&] { sampler.run_until(stop, "churn"); });
    stress::load_plan plan = plan_for(targets, mixed_kinds, 0);
    plan.run_for_ms = seconds * 1000;
    stress::load_report result = stress::run_load(plan);
    stop = true;
    sampling.join();
    expect_clean_load(result);

    for (size_t i = 0; i < daemons.size(); i++) {
        ASSERT_TRUE(stress::wait_quiescent(*daemons[i], 1, quiet_deadline_ms));
        EXPECT_TRUE(fds_return_to(daemons[i]->pid, baseline[i].fds));
    }
    // Idle now: three more samples, over which an idle daemon uses no CPU.
    for (int i = 0; i < 3; i++) {
        sampler.take("idle");
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    sampler.take("idle");
    std::string csv = sampler.write_csv();

    for (size_t i = 0; i < daemons.size(); i++) {
        SCOPED_TRACE(i == 0 ? "deferring daemon" : "refusing daemon");
        stress::log_counts counts = stress::count_log(daemons[i]->err());
        expect_accounted(counts, warm_up_accounted[i] + result.started_per_target[i], i == 0 ? 40 : 4, i == 1);
        EXPECT_TRUE(harness::children_of(daemons[i]->pid, false).empty());

        std::vector<churn_row> churn = sampler.rows("churn", static_cast<int>(i));
        std::vector<churn_row> idle = sampler.rows("idle", static_cast<int>(i));
        ASSERT_GE(churn.size(), 3u);
        ASSERT_EQ(idle.size(), 4u);
        size_t third = churn.size() / 3;
        std::vector<churn_row> first(churn.begin(), churn.begin() + static_cast<long>(third));
        std::vector<churn_row> last(churn.end() - static_cast<long>(third), churn.end());
        // Growth over the run: the last third may not climb above the first.
        EXPECT_LE(highest(last, &stress::process_sample::rss_kib),
                  highest(first, &stress::process_sample::rss_kib) + rss_slack_kib);
        // Descriptors in use stay bounded by what the clients hold open at once.
        EXPECT_LE(highest_fds(churn), baseline[i].fds + concurrency + plan.silent_parked);
        // And once the clients are gone, everything is back.
        EXPECT_EQ(idle.back().taken.fds, baseline[i].fds);
        EXPECT_LE(idle.back().taken.rss_kib, baseline[i].rss_kib + rss_slack_kib);
        // A daemon that waits uses no CPU; a busy loop would use 100 ticks a second.
        EXPECT_LE(idle.back().taken.cpu_ticks - idle.front().taken.cpu_ticks, 5);
        stress::report("churn %ds, %s daemon: %ld served, %ld refused; fds %d (peak %ld) -> %d; "
                       "RSS %ld (peak %ld) -> %ld KiB; CPU %ld ticks in churn, %ld idle over 3 s",
                       seconds, i == 0 ? "deferring" : "refusing", counts.connected, counts.refused, baseline[i].fds,
                       highest_fds(churn), idle.back().taken.fds, baseline[i].rss_kib,
                       highest(churn, &stress::process_sample::rss_kib), idle.back().taken.rss_kib,
                       churn.back().taken.cpu_ticks - baseline[i].cpu_ticks,
                       idle.back().taken.cpu_ticks - idle.front().taken.cpu_ticks);
    }
    stress::report("churn: %ld clients (%ld slow readers, %ld silent, %ld resets), %ld output, %ld refusal, "
                   "%ld wrong; samples in %s",
                   result.started, result.slow, result.silent, result.reset, result.got_output, result.got_refusal,
                   result.wrong, csv.c_str());
}

// The old table is freed once the new one is in force: a hundred reloads of
// a file of 100,000 rules leave the daemon's resident size where the first
// reload left it. Under ASan the daemon keeps no freed block in quarantine
// here, or every old table would stay resident without any leak.
TEST(StressTest, HundredReloadsOfAHundredThousandRulesLeaveTheResidentSizeOfOne)
{
    harness::launch_options generator;
    generator.program = RULEGEN_BIN;
    harness::run_result generated = harness::run_sockherd({"100000"}, generator);
    ASSERT_EQ(generated.status, 0) << harness::bounded_text(generated.err);
    harness::text_file rules(generated.out);
    harness::launch_options options;
    const char *inherited = getenv("ASAN_OPTIONS");
    options.set_env = {"ASAN_OPTIONS=" + (inherited != nullptr ? inherited + std::string(":") : "") +
                       "quarantine_size_mb=0"};
    daemon_process daemon;
    ASSERT_TRUE(daemon.start({"-v", "-A", rules.path, "-1", "127.0.0.1", "0", "cat"}, options));
    const int reloads = 100;
    long first = -1;
    auto started = std::chrono::steady_clock::now();
    for (int i = 1; i <= reloads + 1; i++) {
        ASSERT_EQ(kill(daemon.pid, SIGHUP), 0);
        ASSERT_TRUE(daemon.wait_for_err("- reloaded 100000 rules\n", i, 60000)) << "reload " << i;
        if (i == 1)
            first = harness::rss_kib(daemon.pid);
    }
    long last = harness::rss_kib(daemon.pid);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    EXPECT_LE(last - first, 1024) << "KiB more after " << reloads << " reloads";
    EXPECT_TRUE(daemon.alive());
    stress::report("reloads of 100,000 rules: resident %ld KiB after the first, %ld KiB after %d more; %.1f s in all",
                   first, last, reloads, seconds);
}

// A spray of distinct sources (each header names a new IPv4 address or IPv6
// /64), ten times the counted runs' clients, against a table of 1,024
// entries at -R 5/10 -P 3:600: the spray fills the free entries and is then
// held to one source's rate at the shared entry, while a source that keeps
// its rate, interleaved four times a second, keeps its entry and is served,
// and a source penalised before the spray stays refused. Every spray client
// found no free entry but those that take one of the 1,024, at most all of
// them each 10 s (an entry lapses 10 s after its source's last turn).
// Nothing grows.
TEST(StressTest, SprayOfDistinctSourcesFlushesNoOtherSourcesEntry)
{
    const long spray = 10 * stress_connections();
    harness::launch_options options;
    options.set_env = {"SOCKHERD_RATE_TABLE_SLOTS=1024"};
    daemon_process daemon;
    ASSERT_TRUE(daemon.start({"-v", "-1", "-p", "-c", "2000", "-b", "1024", "-R", "5/10", "-P", "3:600", "127.0.0.1",
                              "0", "sh", "-c", "read how; echo served; exit $how"},
                             options));
    auto reply = [&](const std::string &source, const char *request) {
        int fd = harness::connect_loopback(daemon.port);
        bool ipv6 = source.find(':') != std::string::npos;
        harness::write_all(fd, std::string("PROXY ") + (ipv6 ? "TCP6 " : "TCP4 ") + source +
                                   (ipv6 ? " ::1" : " 127.0.0.1") + " 1000 80\r\n" + request);
        shutdown(fd, SHUT_WR);
        std::string got = harness::read_to_eof(fd);
        close(fd);
        return got;
    };
    ASSERT_EQ(reply("198.51.100.66", "3\n"), "served\n");
    ASSERT_TRUE(daemon.wait_for_err("- penalty for 198.51.100.66: 600 s\n"));
    long rss_early = 0;
    int steady_served = 0, steady_sent = 0, penalised_served = 0;
    auto last_steady = std::chrono::steady_clock::now();
    auto started = last_steady;
    for (long i = 0; i < spray; i++) {
        unsigned n = static_cast<unsigned>(i);
        char source[64];
        if (i % 2 == 0)
            snprintf(source, sizeof source, "10.%u.%u.%u", n >> 16 & 255, n >> 8 & 255, n & 255);
        else
            snprintf(source, sizeof source, "2001:db8:%x:%x::1", n >> 16, n & 0xffff);
        reply(source, "");
        if (i == spray / 10)
            rss_early = harness::rss_kib(daemon.pid);
        if (std::chrono::steady_clock::now() - last_steady >= std::chrono::milliseconds(250)) {
            last_steady = std::chrono::steady_clock::now();
            steady_served += reply("192.0.2.10", "0\n") == "served\n";
            steady_sent++;
            penalised_served += reply("198.51.100.66", "0\n") == "served\n";
        }
    }
    long rss_late = harness::rss_kib(daemon.pid);
    long tens_of_seconds = std::chrono::duration_cast<std::chrono::seconds>(last_steady - started).count() / 10;
    ASSERT_EQ(kill(daemon.pid, SIGUSR1), 0);
    ASSERT_TRUE(daemon.wait_for_err("- counts ", 1, 60000));
    std::string counts = daemon.err().substr(daemon.err().rfind("- counts "));
    long full = atol(counts.substr(counts.find("rate_table_full=") + 16).c_str());
    EXPECT_GE(steady_sent, 4);
    EXPECT_GE(steady_served * 100, steady_sent * 99) << steady_served << " of " << steady_sent;
    EXPECT_EQ(penalised_served, 0);
    EXPECT_GE(full, spray - 1024 * (tens_of_seconds + 2)) << counts;
    EXPECT_LE(rss_late - rss_early, rss_slack_kib) << "KiB more after the spray";
    EXPECT_TRUE(daemon.alive());
    stress::report("spray of %ld sources at 1,024 entries: steady source %d of %d served, rate_table_full %ld, "
                   "RSS %ld then %ld KiB",
                   spray, steady_served, steady_sent, full, rss_early, rss_late);
}

}  // namespace
