// Runs the real sockherd binary and talks to it over loopback. Every wait has
// a deadline; every process started here is ended by its PID.
#ifndef SOCKHERD_TEST_HARNESS_H
#define SOCKHERD_TEST_HARNESS_H

#include <csignal>
#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace harness {

// Generous: the tests must pass on a loaded 2-core machine.
constexpr int default_deadline_ms = 15000;

struct launch_options {
    std::string program;                 // what to run; empty: the daemon, SOCKHERD_BIN
    std::vector<std::string> set_env;    // "NAME=value"
    std::vector<std::string> unset_env;  // "NAME"
    std::vector<int> blocked_signals;    // the started program's signal mask
    int extra_fds_from = -1;             // inherited /dev/null copies on [from, to]
    int extra_fds_to = -1;
    bool close_standard_fds = false;     // start it with 0, 1 and 2 closed
    int descriptor_3 = -1;               // one of ours, given as its inherited 3 (a service manager's socket)
    std::function<void()> before_exec;   // runs in the child, last thing before exec
};

struct run_result {
    std::string out;
    std::string err;
    int status = -1;  // exit status, or -1 when the program did not exit normally
    int signal = 0;   // the signal that ended it, if any
    bool timed_out = false;
};

// Every program a test runs starts here: options.program (the daemon when
// empty) with args after argv[0], standard input /dev/null, standard output
// and error on out_fd and err_fd, the signal mask, environment and inherited
// descriptors that options ask for, SIGPIPE at its default. -1 if fork fails.
pid_t spawn(const std::vector<std::string> &args, const launch_options &options, int out_fd, int err_fd);

// A program started with its standard output and error in files.
struct launched {
    pid_t pid = -1;
    std::string out_path;
    std::string err_path;
};
launched launch(const std::vector<std::string> &args, const launch_options &options = {});
void remove_files(const launched &program);
// Ends pid with signal_number and collects it.
void kill_and_reap(pid_t pid, int signal_number = SIGKILL);

// path when every user may run it from where it is; otherwise a copy that
// they may run. A checkout under a 0700 home such as /root is out of reach
// of the user a test switches to. The copies are made once per test process,
// on first need, in a directory of its own that is removed when it exits.
std::string runnable_by_anyone(const std::string &path);

// Runs the program (the daemon by default) with args to completion (killed at the deadline).
run_result run_sockherd(const std::vector<std::string> &args, const launch_options &options = {},
                        int deadline_ms = default_deadline_ms);

// A running daemon. It is killed and reaped when the guard goes away.
struct daemon_process {
    pid_t pid = -1;
    int port = -1;
    int out_fd = -1;
    std::string err_path;

    daemon_process() = default;
    daemon_process(const daemon_process &) = delete;
    daemon_process &operator=(const daemon_process &) = delete;
    ~daemon_process();

    // Starts sockherd with args; when args hold "-1", waits for the port line
    // and then until the daemon has entered its loop.
    bool start(const std::vector<std::string> &args, const launch_options &options = {});
    // Everything the daemon wrote on standard error so far.
    std::string err() const;
    // Waits until standard error holds needle at least count times.
    bool wait_for_err(const std::string &needle, int count = 1, int deadline_ms = default_deadline_ms) const;
    // Waits for the process to end by itself; returns the run_result fields.
    bool wait_exit(int &status, int deadline_ms = default_deadline_ms, int *signal_number = nullptr);
    bool alive() const;
    // Kills and reaps the daemon; its standard output stays readable.
    void stop();
};

// Waits for pid to end; true with its wait status, false at the deadline.
bool wait_for_exit(pid_t pid, int &wait_status, int deadline_ms);

// The whole content of a file; empty when it cannot be read.
std::string read_file(const std::string &path);
// Makes content the whole content of the file at path; false when it cannot.
bool write_file(const std::string &path, const std::string &content);

// A file of the test's own in /tmp, removed when the guard goes: an access
// rules file, say, that a test rewrites before it signals the daemon.
struct text_file {
    std::string path;

    explicit text_file(const std::string &content);
    text_file(const text_file &) = delete;
    text_file &operator=(const text_file &) = delete;
    ~text_file();
    // Writes content in place of what the file held; false when it could not.
    bool write(const std::string &content) const;
};

int count_occurrences(const std::string &text, const std::string &needle);

// A program's standard error as a failure message shows it: each run of the
// same line as one line and its count, and cut short after a few KiB. A
// daemon that spins can print millions of identical lines.
std::string bounded_text(const std::string &text);

// Blocking TCP connect to the loopback address of family; -1 on failure.
// A small receive buffer and segment size keep the daemon's send buffer for
// the connection small too, so that a long refusal really waits for a
// client that does not read.
int connect_loopback(int port, int family = 2 /* AF_INET */, int receive_buffer = 0, int max_segment = 0);
// Blocking TCP connect from the local address source (IPv4 or IPv6 text) to
// the loopback address of its family; -1 on failure.
int connect_from(const std::string &source, int port);
// The local port of a connected socket of either family.
int local_port_of(int fd);
// Reads until end of file or the deadline; eof tells which.
std::string read_to_eof(int fd, bool *eof = nullptr, int deadline_ms = default_deadline_ms);
// Reads exactly count bytes or until end of file or the deadline.
std::string read_some(int fd, size_t count, int deadline_ms = default_deadline_ms);
bool write_all(int fd, const std::string &data);
// True when fd has neither data nor end of file within wait_ms.
bool stays_silent(int fd, int wait_ms);
// Closes with SO_LINGER 0, so the peer sees a reset.
void reset_close(int fd);

// A copy of descriptor fd of process pid (through pidfd_getfd), or -1 when
// not permitted (it needs Linux 5.6 and ptrace rights over pid).
int borrow_fd(pid_t pid, int fd);
// Sets SO_SNDBUF on a socket of another process, so that connections it
// accepts from then on buffer little: a long refusal text then really has to
// wait for its reader. False when not permitted.
bool shrink_send_buffer(pid_t pid, int fd, int bytes);

// Raises this process's soft descriptor limit (and, where permitted, the
// hard one) to at least wanted, so that the programs it starts inherit it.
// Empty on success, else why not: a reason to skip with.
std::string raise_descriptor_limit(long wanted);
// In a test body: skips the test, with the reason, unless it can have wanted.
#define SKIP_UNLESS_DESCRIPTORS(wanted)                                             \
    do {                                                                            \
        std::string short_of_descriptors = harness::raise_descriptor_limit(wanted); \
        if (!short_of_descriptors.empty())                                          \
            GTEST_SKIP() << short_of_descriptors;                                   \
    } while (0)

// /proc readings of a process.
std::string proc_status_field(pid_t pid, const std::string &field);
// Whether pid has a SIGCHLD handler in place: the last step of the daemon's
// start-up, after the port line, the privilege drop and the self-pipe.
bool catches_sigchld(pid_t pid);
int count_open_fds(pid_t pid);
// Each open descriptor of pid with what it refers to, a line each, for
// failure messages.
std::string describe_fds(pid_t pid);
long rss_kib(pid_t pid);
long cpu_ticks(pid_t pid);
std::vector<pid_t> children_of(pid_t pid, bool zombies_only);
std::vector<std::string> split_lines(const std::string &text);
// The SigBlk mask that holds exactly these signals, as /proc prints it.
std::string mask_text(const std::vector<int> &signals);

// Waits up to deadline_ms for predicate, re-checking every few milliseconds.
bool eventually(const std::function<bool()> &predicate, int deadline_ms = default_deadline_ms);

}  // namespace harness

#endif
