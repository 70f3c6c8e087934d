// sockherd: a TCP super-server. One listening socket, one select loop, one
// forked command per client. This header is the program's table of contents:
// one block per module, in the order a connection meets them.
#ifndef SOCKHERD_H
#define SOCKHERD_H

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/types.h>

namespace sockherd {

// Exit status of every failure, a failed exec in a child included.
constexpr int failure_status = 20;

// The address of one end of a connection, as accept or getsockname fill it
// in: room for either family, 28 bytes.
union socket_address {
    sockaddr any;
    sockaddr_in v4;
    sockaddr_in6 v6;
};
static_assert(sizeof(socket_address) == 28, "an IPv6 socket address is 28 bytes");

// What -R, or a rule's rate=, allows one source: N commands a second on
// average and B at once after a pause (rate_table.cc).
struct rate_limit {
    int per_second;  // N, 1 to 1000000; 0: no rate
    int burst;       // B, 1 to 1000000
};
// What -P makes of the ways a command can end: seconds of penalty for its
// source, 0 for none (rate_table.cc).
struct penalty_policy {
    bool given;               // -P was given
    int max_seconds;          // the most outstanding at once (max:)
    int signal_seconds;       // ended by a signal (signal:)
    int timeout_seconds;      // ended by -T (timeout:)
    int status_seconds[256];  // by exit status, 1 to 255
};

struct connection;      // an accepted connection on its way to a command (connection_intake.cc)
struct child_facts;     // what the daemon keeps of a command it started (child_table.cc)

// Why a client was turned away with the -r text (or closed at once): each
// has its log line and its count.
enum refusal_reason {
    refused_at_limit,      // -c
    refused_over_source,   // -C, or its rule's limit=
    refused_over_rate,     // -R, or its rule's rate=
    refused_for_penalty,   // -P: its source's commands ended badly
};
struct access_verdict;  // what the access rules say of a client (access_rules.cc)
struct source_key;      // where a client comes from, for the limits per source (child_table.cc)

// command_line.cc

struct settings_record {
    int max_children = 40;
    bool limit_per_source = false;    // -C
    int max_per_source = 0;           // -C: children at once for one source
    int address_family = AF_INET;
    int listen_backlog = 10;
    bool change_gid = false;
    int gid = 0;
    bool change_uid = false;
    int uid = 0;
    bool print_port = false;
    bool tcp_nodelay = false;
    int keepalive_seconds = 0;        // -K: idle time and probe interval; 0 for no keepalive
    int drain_seconds = 0;            // -G: how long a drain on SIGTERM may last; 0: SIGTERM as it was
    int timeout_seconds = 0;          // -T: how long a command may run; 0: for ever
    bool verbose = false;             // -v or -J: a log is on
    bool json_log = false;            // -J: the log is JSON
    bool stderr_to_socket = false;
    bool proxy_protocol = false;      // -p: each connection starts with a PROXY header
    bool socket_from_manager = false; // -L: the listening socket is descriptor 3, from systemd
    char *refuse_response = nullptr;  // decoded -r text; present, even empty, turns refusing on
    const char *access_file = nullptr;  // -A: the rules file, read at start-up and again on reload
    bool check_access = false;          // -t: load the -A file, say how many rules, exit
    rate_limit source_rate = {};        // -R: per_second 0 when not given
    penalty_policy penalties = {};      // -P
    const char *metrics_file = nullptr;  // -M: where the metrics for Prometheus go
};
extern settings_record settings;  // written by parse_command_line only

// Reads the options into settings; returns the index of the first operand.
// Returns only when the options are valid and three operands follow (with
// -t, -A and any operands or none).
int parse_command_line(int argc, char **argv);
// Prints the usage text on standard error and exits with status.
[[noreturn]] void usage(int status);
// A usage error found by our own checks: one line that names it, "OPTION
// ARGUMENT: WANTS" (or "OPTION WANTS" when no argument is at fault), then the
// usage text, and status 20.
[[noreturn]] void usage_error(const char *option, const char *argument, const char *wants);
// Returns a new text with \n, \r and \t decoded; any other escape is a usage error.
char *decode_escapes(const char *argument);
// True when text starts as a number does for atoi: blanks, a sign, a digit.
bool starts_with_number(const char *text);

// diagnostics.cc

// Prints message and a newline on standard error; message is not a format.
void warn(const char *message);
// warn(message), then exit with status 20.
[[noreturn]] void die(const char *message);
// Adds O_NONBLOCK unless already set; 0 or -1. Prints nothing.
int set_nonblocking(int fd);
// Sets the descriptor flags to exactly FD_CLOEXEC; dies on failure.
void set_cloexec(int fd);

// log.cc: every line the daemon writes about what happened, as text (-v) or
// JSON (-J), and the counts kept whatever the log.

struct counts_record {
    unsigned long long accepted;       // every connection accept returned
    unsigned long long served;         // commands started, those that then failed to execute included
    unsigned long long refused;        // at the limit
    unsigned long long source_refused; // over the per-source limit
    unsigned long long rate_refused;   // over their source's rate
    unsigned long long penalty_refused;  // while their source had a penalty
    unsigned long long denied;
    unsigned long long dropped;
    unsigned long long bad_headers;
    unsigned long long fork_failed;
    unsigned long long exec_failed;
    unsigned long long timed_out;      // commands sent SIGTERM by their time limit
    unsigned long long killed;         // of those, still running 2 seconds later
    unsigned long long penalties;      // penalties put on a source
    unsigned long long rate_table_full;  // sources that found no free entry in the table of rates
    unsigned long long accept_failed;
    int max_running;                   // the most commands that ran at once
};
extern counts_record counts;  // raised only by the log_ functions

// What the metrics show beyond the counts; the counts line, its JSON object
// and the service manager's status leave these out.
struct tallies_record {
    unsigned long long reloads;          // rules files that a reload took
    unsigned long long reloads_failed;   // reloads that left the rules unchanged
    unsigned long long revoked;          // commands sent SIGTERM because reloaded rules deny their client
    unsigned long long exit_zero;        // commands collected, by how they ended: each in one of these four
    unsigned long long exit_nonzero;
    unsigned long long signalled;        // ended by a signal that no time limit sent
    unsigned long long ended_timed_out;  // ended, however, after their time limit sent SIGTERM
};
extern tallies_record tallies;  // raised only by the log_ functions

// Notes the start, for the uptime in the counts.
void start_counting();
// A message and a newline, or with -J an object of event ("error", "fatal")
// holding it; warn and die print through this.
void log_message(const char *event, const char *message);
// With -J, once at the end of start-up: the daemon's pid, address and limit.
void log_listening(const socket_address *bound);
void log_accepted();
// A source found no entry of its own in the table of rates: it is judged at the shared one.
void log_rate_table_full();
void log_accept_failed();
void log_fork_failed();
// "connected", and "proxied" when a header named the client.
void log_connected(pid_t pid, const connection *c);
// The command could not be executed: printed whatever -v says.
void log_exec_failed(pid_t pid, int error);
void log_proxied(pid_t pid, const socket_address *client);
// facts: what was kept of one of ours, null for a process we did not start.
void log_closed(pid_t pid, int wait_status, const child_facts *facts);
// A command's time limit sent it SIGTERM, and then SIGKILL; started is when it was spawned.
void log_timed_out(pid_t pid, const timespec *started);
void log_killed(pid_t pid, const timespec *started);
// A penalty was put on source, which now has seconds of it outstanding, for
// a command that ended with wait_status (timed_out: by its time limit).
void log_penalty(const source_key *source, int seconds, int wait_status, bool timed_out);
void log_refused(const socket_address *remote, refusal_reason reason);
void log_dropped(const socket_address *remote);
// Printed whatever -v says; pid 0 when no process was started for it.
void log_bad_header(pid_t pid, const socket_address *peer);
void log_denied(const socket_address *remote, const access_verdict *verdict);
void log_reloaded(size_t rules);
// Printed whatever -v says, after the reason the new rules were not taken.
void log_rules_unchanged();
// commands: those newly sent SIGTERM by this reload.
void log_revoked(int commands);
// The counts as one line or object (SIGUSR1).
void log_counts();
void log_draining(int running);
void log_drained();
void log_drain_ended(int signalled);
// The one-line summary for the service manager's status.
void format_status(char *text, size_t size);

// startup.cc

extern int listen_fd;                 // set once at start-up
extern char **command_argv;           // the operands after address and port
extern int self_pipe[2];              // written only by loop_signal_handler
extern sigset_t loop_signals;         // SIGCHLD and the others the loop hears, blocked but in its wait
extern sigset_t startup_signal_mask;  // the mask the daemon was started with

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed, so that no
// socket or pipe of ours takes one of them. Quietly does nothing more on failure.
void open_standard_descriptors();
// From parsed settings to the event loop: socket, privilege drop, self-pipe,
// SIGCHLD handling. Never returns.
[[noreturn]] void run_startup(char **argv, int first_operand);
// Gives up group (and supplementary groups as root), then user, as settings ask.
void drop_privileges();
// Notes the signal for the loop and wakes it through the self-pipe.
void loop_signal_handler(int signal_number);
// Whether signal_number arrived since the last call; only ever called in the
// loop, with the handler blocked.
bool take_signal(int signal_number);
// In a child on its way to exec: every signal action back to what the daemon
// was started with. Safe after vfork: it only changes the child's own table.
void restore_signal_actions();
// During a drain, signal_number reaches the loop instead of ending the
// daemon, unless the daemon was started with it ignored.
void catch_during_drain(int signal_number);
// Ends the daemon as signal_number at its default action would have: by
// that signal, or as the first process of a PID namespace with 128 + it.
[[noreturn]] void end_by_signal(int signal_number);

// listen_socket.cc

// Resolves, binds and listens; prints the port with -1. Dies on any failure.
int make_listen_socket(const char *address, const char *port);
// Prints the port fd is bound to on standard output, flushed; dies when it cannot be read.
void print_bound_port(int fd);

// service_manager.cc

// -L: checks and takes the listening socket that systemd passed on
// descriptor 3; prints the port with -1. Dies with what is wrong with it.
int take_manager_socket();
// Whether NOTIFY_SOCKET names a socket to tell of readiness.
bool notifies_service_manager();
// Sends "READY=1" there, once, with the status, never blocking; a failure
// is only warned of.
void notify_service_manager();
// Sends the status when its figures changed and a second has passed since
// the last try; when they changed sooner, or the send failed, returns when
// the loop must wake to send it (CLOCK_MONOTONIC), else null.
const timespec *service_status_due();
// Tells the service manager that the daemon is stopping.
void notify_stopping();

// event_loop.cc

// Dies with "descriptor too high for select" when fd cannot enter the loop's sets.
void check_fits_select(int fd);
// Sets fd in set and raises max_fd to it. Descriptors beyond FD_SETSIZE never enter.
void add_to_fd_set(int fd, fd_set *set, int &max_fd);
// After accept failed for lack of descriptors or memory: leaves the listening
// socket out of the wait until resume_accepting or for at most a second.
void pause_accepting();
// A descriptor has come back (a child collected, a refusal finished).
void resume_accepting();
// Slots of -c in use: running commands and connections waiting for a header.
int slots_in_use();
// Whether a comes before b (CLOCK_MONOTONIC times).
bool time_before(const timespec *a, const timespec *b);
// The select loop: reap, accept, drain pending refusals. Never returns.
[[noreturn]] void main_loop();

// child_reaping.cc

extern int running_children;  // +1 on fork (spawn_command), -1 on reap of a child we started (reap_children)

// Takes one byte from the self-pipe and collects every ended child.
void reap_children();

// child_table.cc

// Where a client comes from, for -C: its IPv4 address, or the first 64 bits
// of its IPv6 address (one host holds a whole /64); IPv4-mapped as IPv4.
struct source_key {
    uint64_t prefix;
    int family;  // AF_INET or AF_INET6
};

// The source of a remote address. Pure.
source_key source_of(const socket_address *remote);
// Whether counts per source are kept: with -C, or with rules that may set a
// limit per source.
bool counting_sources();
// Sizes the record of started children (and with -C the counts per source)
// for -c; dies with "out of memory".
void prepare_child_table();
// Makes room for one more record, growing the tables by doubling; -1 when
// memory ran out, and nothing changed.
int reserve_child_record();
// What the daemon keeps of each command it started.
struct child_facts {
    source_key source;
    socket_address client;  // family 0 when the daemon never learnt it (a forked header reader)
    timespec started;       // CLOCK_MONOTONIC, only with -J, -M or a time limit; else zero
    uint32_t deadline_at;   // 1 + its place among the time limits; 0: none
    bool timed_out;         // its time limit sent it SIGTERM
    bool penalty_exempt;    // its end puts no penalty on source: penalty=no, or source unknown
};

// Records a child the daemon started and counts it for its source; room
// must have been reserved.
void add_child_record(pid_t pid, const child_facts *facts);
// Forgets pid, uncounts it for its source and hands back what was kept of
// it; false for a process the daemon never started (one it had before exec,
// or an orphan as PID 1).
bool remove_child_record(pid_t pid, child_facts *facts);
// What is kept of a command the daemon started and has not yet collected, or null.
child_facts *child_record(pid_t pid);
// Commands running for clients of source; only with -C.
int source_children(const source_key *source);
// Sends signal_number, by its process id, to every command the daemon
// started and has not yet collected; returns how many.
int signal_children(int signal_number);
// Sends SIGTERM, by its process id, to every command whose client denied
// picks and that no earlier call has sent it, so that one that outlives it
// is neither asked nor counted again; returns how many were newly sent it.
// denied never sees a client the daemon did not learn.
int revoke_children(bool (*denied)(const socket_address *client));

// address_text.cc

extern char address_buffer[INET6_ADDRSTRLEN];  // the last text address_text made

// "TCP6", or "TCP" for IPv4 and IPv4-mapped IPv6 addresses.
const char *proto_name(const socket_address *address);
// Numeric text of the address in address_buffer (valid until the next call), or "-".
const char *address_text(const socket_address *address);
// The port in host byte order.
int address_port(const socket_address *address);
// A source (of -C, -R, -P) in address_buffer: its IPv4 address, or its IPv6
// /64 as "2001:db8:1:2::/64".
const char *source_text(const source_key *source);

// rules_file.cc: reading a rules file (-A): its lines, tokens, networks,
// fields and variable names into arrays, and the one message for the first
// thing wrong with it. The arrays are what a table is made of.

// A variable a rule gives the commands of its network's clients.
struct rule_variable {
    const char *entry;  // "NAME=VALUE" with escapes decoded, as the command's environment will hold it
    size_t name_id;     // NAME's index among the table's distinct variable names
};

// One network as 32-bit words in host order, most significant first, and
// what its rule says. While the file is read, link holds the rule's line, so
// that a duplicate can name the first; once the networks are sorted, the
// index of the nearest network that encloses this one.
template <int words>
struct network_entry {
    uint32_t address[words];
    uint32_t link;
    uint32_t fields;  // 0: no field at all; else 1 + the index of its rule_fields
    uint8_t length;
    uint8_t deny;
};
using ipv4_network = network_entry<1>;
using ipv6_network = network_entry<4>;
static_assert(sizeof(ipv4_network) == 16 && sizeof(ipv6_network) == 28, "a network costs 16 or 28 bytes");

constexpr uint32_t no_link = UINT32_MAX;

// Limits and variables are rare in a big file: they live beside the
// networks, and only the rules that have them pay for them.
struct rule_fields {
    int limit;        // -1: none
    int timeout;      // -1: none
    rate_limit rate;  // per_second -1: none; 0: rate=none
    bool no_penalty;
    uint32_t first_variable;
    uint32_t variable_count;
};

// An array in a mapping of its own, not in malloc's heap: freed, its pages
// go back to the system at once. From the heap, a reload's new table would
// be placed around the old one, and freeing the old one would leave a hole
// the daemon keeps: after every reload it would be bigger.
template <typename element>
struct mapped_array {
    element *items;
    size_t count;
    size_t capacity;
};

// The rules of one file, sorted per family for longest-prefix match.
struct access_table {
    mapped_array<ipv4_network> ipv4;  // sorted by address, then length
    mapped_array<ipv6_network> ipv6;
    mapped_array<rule_fields> fields;
    mapped_array<rule_variable> variables;
    mapped_array<char> entries;      // every variable's "NAME=VALUE" and its zero byte, one after another
    mapped_array<const char *> names;  // every distinct NAME, in name_text
    mapped_array<char> name_text;
};

struct loaded_variable;  // a variable while its file is read (rules_file.cc)
struct loaded_name;      // a variable name while its file is read (rules_file.cc)

enum class load_failure { none, line, unreadable, out_of_memory };

// Everything a load holds until it has a table or gives up. The arrays grow
// by doubling and are cut to their size at the end.
struct rules_loader {
    const char *path;
    size_t line;  // the line being read, from 1
    load_failure failure;
    int read_error;  // why the file could not be read: errno, or 0 when it is no regular file
    size_t failure_line;
    const char *reason;
    char reason_text[40];  // a reason with a number in it
    mapped_array<ipv4_network> ipv4;
    mapped_array<ipv6_network> ipv6;
    mapped_array<rule_fields> fields;
    mapped_array<loaded_variable> variables;
    mapped_array<char> entries;
    mapped_array<loaded_name> names;
    mapped_array<char> name_text;
    mapped_array<uint32_t> name_slots;  // open addressing by name: 0 free, else 1 + name id; all in count
    size_t ipv4_lines, ipv6_lines;      // counted before the rules are read
};

// Reads the regular file at loader->path, never waiting on it, into the
// loader's arrays (the networks in the order written), up to its end or
// the first problem, which loader->failure tells.
void read_rules_file(rules_loader *loader);
// The loader's arrays cut to size and handed to a new table; null when
// memory ran out, the loader still owning everything.
access_table *build_access_table(rules_loader *loader);
// Gives back what the loader still holds.
void free_rules_loader(rules_loader *loader);
// Frees table and everything in it; null is allowed.
void free_access_table(access_table *table);
// Hands the loader's failure to report as one message: "PATH:LINE: reason",
// "unable to read PATH: REASON" or "out of memory".
void report_rules_failure(const rules_loader *loader, void (*report)(const char *message));
// Reads the decimal digits from at to end. 1: a number up to maximum in
// *value (0 when there are no digits); 0: over maximum, however many digits;
// -1: not only digits. Pure.
int read_decimal(const char *at, const char *end, int maximum, int *value);
// The bits of word index (of 32) that lie within the first length bits.
uint32_t word_mask(int length, int index);
// words 32-bit words, most significant first, from 4 * words bytes in network order.
void words_of(const unsigned char *bytes, int words, uint32_t *address);

// access_rules.cc: the table of one file: its networks sorted, each linked to
// the nearest that encloses it, matched by the longest prefix; and reloads.

// What the table says about one client.
struct access_verdict {
    bool matched;                    // false: no rule covers the client: allowed, no variables, -C's limit
    bool allowed;                    // true also when !matched
    int limit;                       // the matched rule's limit=, or -1 when it has none
    int timeout;                     // the matched rule's timeout=, or -1 when it has none
    rate_limit rate;                 // the matched rule's rate=: per_second -1 when it has none, 0 for none
    bool no_penalty;                 // the matched rule's penalty=no
    const rule_variable *variables;  // the matched rule's variables in the order written (null when none)
    size_t variable_count;
    int family;                      // of the matched network, AF_INET or AF_INET6
    unsigned char network[16];       // the matched network's address (first 4 bytes for IPv4)
    int prefix_length;
};

extern access_table *access_rules;  // loaded at start-up with -A; replaced by a reload

// Reads the regular file at path into a new table, never waiting on it. On
// any problem hands exactly one message to report ("PATH:LINE: reason",
// "unable to read PATH: REASON", or "out of memory"), frees everything it
// took, and returns null (if report returns). Used at start-up and by -t
// (with die), and by a reload (with warn).
access_table *load_access_table(const char *path, void (*report)(const char *message));
size_t access_rule_count(const access_table *table);
// Distinct variable names, numbered from 0 in the order the file first names them.
size_t access_name_count(const access_table *table);
// NAME alone, for name_id below access_name_count.
const char *access_name(const access_table *table, size_t name_id);
// Longest-prefix match of the client's address; an IPv4-mapped IPv6 address
// is matched as IPv4; a null table matches nothing. Pure.
void match_access(const access_table *table, const socket_address *client, access_verdict *verdict);
// The matched network as text ("10.0.0.0/8", "2001:db8::/32"), or "-" when
// none matched, in buffer, which holds network_text_size bytes.
constexpr size_t network_text_size = INET6_ADDRSTRLEN + 4;
const char *verdict_network_text(const access_verdict *verdict, char *buffer);
// Reads the rules file again (SIGHUP): the new table replaces the old one
// only when the whole file loaded, and the commands of clients it denies
// get SIGTERM, once. A failure is told, and the old rules stay.
void reload_access_rules();

// rate_table.cc: how often each source may start a command (-R, a rule's
// rate=), and how long it is refused after its commands ended badly (-P).
// One table of fixed size, made at start-up; a source that needs an entry
// and finds none free is judged at one entry that all such sources share.

constexpr int longest_rate = 1000000;     // N and B at most
constexpr int longest_penalty = 86400;    // seconds of one penalty, and of max:, at most
constexpr int default_max_penalty = 600;  // max: when -P does not say

enum rate_verdict {
    source_admitted,
    source_over_rate,  // refused: faster than its rate
    source_penalised,  // refused: a penalty is outstanding
};


// Whether the table is kept: with -R or -P, or with rules that may give a
// rate, now or after a reload.
bool rating_sources();
// Makes the table, SOCKHERD_RATE_TABLE_SLOTS entries (65536 when unset),
// hashed with a key chosen at random; a second call starts afresh. Dies with
// "SOCKHERD_RATE_TABLE_SLOTS must be a power of two from 16 to 16777216",
// "unable to get random bytes" or "out of memory".
void prepare_rate_table();
// Judges a client of source arriving at now (CLOCK_MONOTONIC, never going
// back): refused while the source's penalty lasts, else when it comes faster
// than rate allows (null or per_second 0: no rate). Only an admitted client
// moves the source's rate on. Without an entry of its own or a free one, a
// source is judged at the shared entry, which carries no penalty.
rate_verdict rate_check(const source_key *source, const rate_limit *rate, const timespec *now);
// Adds seconds to source's penalty, to at most max_seconds outstanding
// (1 to 86400); returns the seconds now outstanding, rounded, or -1 when the
// source has no entry of its own and finds none free.
int add_penalty(const source_key *source, int seconds, int max_seconds, const timespec *now);
// The seconds of penalty that policy gives a command that ended with wait_status,
// 0 for none; timed_out: -T ended it, and then only timeout: counts. Pure.
int penalty_for(const penalty_policy *policy, int wait_status, bool timed_out);
// With -P: the penalty, if any, that the end (wait_status) of a command
// started for facts->source puts on that source, and its log line.
void penalise_source(const child_facts *facts, int wait_status);
// Reads "N" or "N/B" from at to end, B being N when not given; false, and
// rate untouched, when either is not 1 to 1000000 in digits alone. Pure.
bool parse_rate(const char *at, const char *end, rate_limit *rate);
// Reads -P's comma-separated WHAT:SECONDS (an exit status 1 to 255, signal,
// timeout or max; SECONDS 1 to 86400; each WHAT once; max 600 when not
// given); false, and policy untouched, when anything else is there. Pure.
bool parse_penalties(const char *text, penalty_policy *policy);

// connection_intake.cc

// An accepted connection on its way to a command.
struct connection {
    socket_address peer;    // the other end, as accept gave it: under -p, the balancer
    socket_address local;   // the connection's own address, or the one a PROXY header names
    socket_address client;  // whom the command serves: the peer, or the client a header names
    bool proxied;           // a header named the client
    bool header_unread;     // -p above select's sets: the child reads the header itself
    access_verdict verdict; // what the rules say of the client (nothing matched without -A)
};


// Accepts at most one connection and hands it on: below the limit to
// admit_connection (under -p once its header is in), at the limit to the
// refusal queue, or drops it when it does not fit a descriptor set.
// Dies with "accept failed" when the listening socket itself no longer works.
void handle_accept(int listening, int at_limit);
// Matches c's client against the rules into c->verdict; a denied client is
// closed at once, without a byte written, and true returned.
bool denied_by_rules(int conn, connection *c);
// What becomes of a connection below the limit: the per-source limit (the
// client's rule's, or -C's), then the command. Takes over conn.
void admit_connection(int conn, const connection *c);

// command_environment.cc

extern char **command_environment;  // laid out by prepare_command_environment; read by each child

// Lays out the environment every command gets for the rules in force (or
// none): the daemon's own, with the connection's variables and the rules'
// in the place of their first entries. -1 when memory ran out; the layout
// in force then stays.
int prepare_command_environment(const access_table *rules);
// The connection's variables for the next command.
void format_connection_variables(const socket_address *remote, const socket_address *local);
void format_proxy_variables(const socket_address *balancer);
// The variables of the rule the next command's client matched, in place of
// the last one's.
void apply_rule_variables(const access_verdict *verdict);

// command_spawning.cc

// How long a connection under -p may take to send its whole PROXY header.
constexpr int proxy_header_seconds = 5;

// Starts the command for conn and records it for source. Takes over conn: it
// is closed in the daemon before this returns, whatever happens.
void spawn_command(int conn, const connection *c, const source_key *source);

// proxy_header.cc

// The longest version 1 header, CRLF included. Also room for a version 2
// header's fixed part with the largest address block that is kept.
constexpr size_t v1_max_length = 107;

// What a PROXY protocol header (version 1 text or version 2 binary) says about a connection.
struct proxy_header {
    size_t length;               // bytes of the whole header on the wire, CRLF or TLVs included
    bool has_addresses;          // false for v1 UNKNOWN, v2 LOCAL, and v2 PROXY other than TCP over IPv4 or IPv6
    socket_address source;       // the client as the balancer saw it: family, address, port in network order
    socket_address destination;  // the address the client connected to
};

// How far the reading of one connection's header has got; all zero to begin.
struct header_reading {
    unsigned char head[v1_max_length];  // the header's first bytes, as consumed
    size_t taken;                       // bytes of the header consumed so far
    bool found_end;                     // the parser has filled header
    bool is_v2;
    bool has_checksum;                  // a CRC32C TLV has been seen
    proxy_header header;
    uint32_t checksum;                  // CRC32C so far, with the TLV's value counted as zeros
    uint32_t checksum_sent;             // the TLV's value
    size_t checksum_at;                 // offset of that value in the header
    size_t tlv_at;                      // offset of the next TLV; 0 when TLVs are not looked at
    unsigned tlv_type;
    size_t tlv_length;
};

// 1: complete, header filled (a version 2 length may exceed available: its TLVs are not needed);
// 0: a valid beginning, more bytes are needed; -1: malformed. Pure: no system call, no allocation.
int parse_proxy_header(const unsigned char *data, size_t available, proxy_header *header);
// CRC32C of count bytes, continuing crc (start from 0xFFFFFFFF, finish with ~).
uint32_t crc32c_update(uint32_t crc, const unsigned char *data, size_t count);
// Takes what has arrived of conn's header without waiting, never a byte
// beyond it. 1: complete, reading->header filled; 0: more must arrive; -1:
// malformed, a CRC32C that does not match, or the peer closed or failed.
int continue_proxy_header(int conn, header_reading *reading);
// Reads exactly one header from conn and not one byte more, waiting at most until deadline (CLOCK_MONOTONIC).
// 0 with header filled; -1 when malformed, too long, incomplete at the deadline, or the peer closes or fails first.
int read_proxy_header(int conn, const timespec *deadline, proxy_header *header);

// header_queue.cc

// A connection under -p whose header has not all arrived: it waits in the
// daemon, holding a slot of -c, until it is complete, bad or too late.
struct header_wait {
    int conn_fd;
    socket_address peer;   // the balancer, as accept gave it
    socket_address local;
    timespec deadline;     // CLOCK_MONOTONIC, a fixed time after the accept
    header_wait *next_wait;
    header_reading reading;
};
extern header_wait *header_waits;  // oldest first, so the first deadline is the head's
extern int waiting_headers;        // records in header_waits: +1 queued, -1 done with

// Reads conn's header as far as it has come and decides what becomes of it,
// or queues it. Takes over conn.
void wait_for_header(int conn, const socket_address *peer, const socket_address *local);
// One attempt for every record select found readable, and the end of every
// one whose deadline has passed.
void serve_header_waits(const fd_set *readable);
// Closes every connection still waiting for its header (the end of a drain).
void close_header_waits();

// time_limit.cc: a command that runs longer than its limit (-T, or its
// rule's timeout=) is sent SIGTERM, and SIGKILL 2 seconds later. The
// deadlines are a binary heap, so a start or a collect costs the logarithm
// of the number running and the loop looks only at the nearest.

// How long after SIGTERM a command that still runs is sent SIGKILL.
constexpr int kill_grace_seconds = 2;

// The limit in seconds for c's command: its rule's, else -T's; 0 for none.
int time_limit_of(const connection *c);
// Room for one more deadline; -1 when memory ran out, and nothing changed.
int reserve_deadline();
// The command pid, recorded as started, gets SIGTERM seconds after it; room
// must have been reserved.
void arm_time_limit(pid_t pid, int seconds);
// A collected command's deadline, if it had one, is forgotten.
void disarm_time_limit(const child_facts *facts);
// The nearest deadline (CLOCK_MONOTONIC), or null when no command has one.
const timespec *next_deadline();
// Signals every command whose deadline has come.
void enforce_time_limits();

// metrics.cc: the counts, how the commands ended and how long they ran, in
// Prometheus's text format for node_exporter's textfile collector (-M FILE).
// Each write goes to FILE.new and is renamed over FILE.

// Raises the duration histogram's bucket for one collected command.
void observe_command_duration(long long nanoseconds);
// The first write, at the end of start-up as the user the daemon runs as:
// dies with "unable to write FILE: REASON" when it fails. Nothing without -M.
void start_metrics();
// Writes the file now (SIGUSR1, the end of a drain, SIGTERM). A failure
// prints "unable to write FILE: REASON" once, until a write works again.
void write_metrics();
// Writes the file when a figure changed and 10 seconds have passed since
// the last attempt; when one changed sooner, returns when the loop must wake
// to write it (CLOCK_MONOTONIC), else null.
const timespec *metrics_due();

// drain.cc

enum drain_state {
    drain_none,     // serving as usual
    drain_serving,  // SIGTERM came with -G: no new client, what is held goes on
    drain_ending,   // the commands were told to stop; the last of them are collected
};
extern drain_state draining;  // changed by start_drain and end_drain only

// Stops accepting, tells the service manager and the log.
void start_drain();
// Sends SIGTERM to every command still running, closes what waits for a
// header or a refusal, and gives the commands a little time.
void end_drain();
// When the current phase of a drain ends (CLOCK_MONOTONIC), or null.
const timespec *drain_deadline();
// At the end of a pass: exits once nothing is held or the time is up, or
// ends a drain whose time is up.
void drain_step();

// refusal_queue.cc

// A refused connection: first its text goes out, then it lingers (the
// sending side shut, whatever the client still sends read and thrown away)
// until the client closes or the time is up, so that the client's unread
// bytes never make the kernel reset the connection over the text.
struct pending_write {
    int conn_fd;
    const char *cursor;
    size_t remaining;
    pending_write *next_pending;
    bool lingering;
    timespec linger_until;  // CLOCK_MONOTONIC
};
extern pending_write *pending_list;  // newest first; pushed by refuse_connection, unlinked by finishing steps
extern int pending_refusals;         // records in pending_list

// How long a refused connection may linger after its text.
constexpr int linger_seconds = 2;

// Sends the refusal text without blocking; reason goes to the log line.
// Takes over conn: it is closed at once or held in a record of pending_list
// until sent or failed.
void refuse_connection(int conn, const socket_address *remote, refusal_reason reason);
// One write for record, and after the last byte the start of its lingering;
// 1 when it finished (closed, unlinked, freed) the record, else 0.
int pending_write_step(pending_write *previous, pending_write *record);
// Closes every refused connection at once, sent or not (the end of a drain).
void close_pending_refusals();
// One write for every record being sent whose descriptor select found
// writable, one bounded read for every lingering one found readable, and the
// end of every lingering one whose time is up.
void drain_pending_writes(const fd_set *readable, const fd_set *writable);

}  // namespace sockherd

#endif
