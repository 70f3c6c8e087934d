// Helpers of the reliability tests (load, faults, hostile input), on top of
// the harness: many concurrent clients, log accounting and /proc sampling.
#ifndef SOCKHERD_STRESS_SUPPORT_H
#define SOCKHERD_STRESS_SUPPORT_H

#include "harness.h"

#include <cstdio>
#include <string>
#include <sys/types.h>
#include <vector>

namespace stress {

// The test command (stress_command.cc) and the bytes its "output N" writes.
const char *command_path();
std::string pattern_text(size_t size);
// A refusal text of size bytes that needs no escape on the command line.
std::string refusal_text(size_t size);

// A positive number from the environment, else fallback.
long env_long(const char *name, long fallback);
// True for the ASan/UBSan build, or when SOCKHERD_SANITIZED=1.
bool sanitized_build();

// Prints a figure so that it stands in the test log ("[ figures ] ...").
void report(const char *format, ...) __attribute__((format(printf, 1, 2)));

// A client of the "script" command that asked to hold: the command runs
// until this client goes. -1 if the command did not answer in time.
int hold_command(int port, int deadline_ms = harness::default_deadline_ms);
// Reads to end of file in pieces of chunk bytes, pausing pause_ms between them.
std::string read_slowly(int fd, size_t chunk, int pause_ms, bool *eof, int deadline_ms);

// What the daemon's log says so far, -v or -J. A line that starts as a JSON
// object but is not one counts as other.
struct log_counts {
    long connected = 0;
    long closed = 0;
    long refused = 0;
    long dropped = 0;
    long proxied = 0;                   // "proxied from" lines
    long bad_header = 0;                // "bad proxy header" lines
    long fork_failed = 0;
    long accept_failed = 0;
    long exec_failed = 0;
    long other = 0;
    std::string last_closed;            // the last "closed" line
    int highest_running = 0;            // the highest running count of a "connected" line
    std::vector<std::string> unknown;   // a few lines of none of the above forms
};
log_counts count_log(const std::string &text);
// The running count a "connected" or "closed" line or object shows, or -1.
int running_in(const std::string &line);

// Waits until the daemon has logged closed as many children as it logged
// connected, at least expected_connected, and the last "closed" line shows 0.
bool wait_quiescent(const harness::daemon_process &daemon, long expected_connected, int deadline_ms);

struct process_sample {
    int fds = -1;
    long rss_kib = -1;
    long cpu_ticks = -1;
};
process_sample sample(pid_t pid);

// Kills the daemon's children by PID and waits until the daemon has
// collected them all (they are its children: only it may reap them).
bool end_children(pid_t daemon_pid, int deadline_ms = harness::default_deadline_ms);

// ---- many clients -------------------------------------------------------

enum class client_kind {
    reader,            // reads everything at once
    slow_reader,       // small buffer, small pieces, pauses between them
    silent,            // small buffer, never reads; parked, closed later
    reset_at_once,     // connects and resets
    reset_after_read,  // reads a little, then resets
    // Sends a PROXY header naming a client of its own (by its index), then
    // bytes of its own, and expects that client's "ADDRESS PORT" line and
    // those bytes back: for stress_command echo under -p.
    proxied,
};

struct load_target {
    int port = -1;
    std::string output;    // what the command writes
    std::string refusal;   // the -r text; empty when refusals are wrong here
    bool refusals_expected = false;
};

struct load_plan {
    std::vector<load_target> targets;      // client i goes to targets[i % size]
    std::vector<client_kind> kinds;        // client i is kinds[(i / targets) % size]
    long connections = 0;                  // at most this many clients
    int run_for_ms = 0;                    // or, when not 0, start clients until then
    // Client i connects from sources[(i / source_run) % size], readers only;
    // empty: from 127.0.0.1, with the small buffers its kind asks for.
    std::vector<std::string> sources;
    int source_run = 1;
    int concurrency = 64;
    int silent_parked = 16;                // silent clients held open at once, per worker pool
    int deadline_ms = 300000;              // the whole run, a hang included
};

struct load_report {
    long started = 0;
    std::vector<long> started_per_target;
    long connect_failed = 0;
    long got_output = 0;
    long got_refusal = 0;
    long wrong = 0;           // a reading client that got neither, or not to end of file
    long silent = 0;
    long reset = 0;
    long slow = 0;
    bool timed_out = false;
    std::vector<std::string> wrong_samples;
};

load_report run_load(const load_plan &plan);

// ---- processes seen through /proc ------------------------------------------

// The local addresses ("127.0.0.1:port", "[::1]:port") of the listening TCP
// sockets that process holds.
std::vector<std::string> listening_addresses(pid_t pid);
bool is_loopback_address(const std::string &address);
// True while pid sleeps in select: its start-up is over.
bool waits_in_select(pid_t pid);

// A user ID that no process on this machine runs as.
uid_t unused_uid();

}  // namespace stress

#endif
