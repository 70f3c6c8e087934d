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
    bool verbose = false;
    bool stderr_to_socket = false;
    bool proxy_protocol = false;      // -p: each connection starts with a PROXY header
    bool socket_from_manager = false; // -L: the listening socket is descriptor 3, from systemd
    char *refuse_response = nullptr;  // decoded -r text; present, even empty, turns refusing on
};
extern settings_record settings;  // written by parse_command_line only

// Reads the options into settings; returns the index of the first operand.
// Returns only when the options are valid and three operands follow.
int parse_command_line(int argc, char **argv);
// Prints the usage text on standard error and exits with status.
[[noreturn]] void usage(int status);
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

// startup.cc

extern int listen_fd;                 // set once at start-up
extern char **command_argv;           // the operands after address and port
extern int self_pipe[2];              // written only by sigchld_handler
extern sigset_t sigchld_set;          // SIGCHLD alone
extern sigset_t startup_signal_mask;  // the mask the daemon was started with

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed, so that no
// socket or pipe of ours takes one of them. Quietly does nothing more on failure.
void open_standard_descriptors();
// From parsed settings to the event loop: socket, privilege drop, self-pipe,
// SIGCHLD handling. Never returns.
[[noreturn]] void run_startup(char **argv, int first_operand);
// Gives up group (and supplementary groups as root), then user, as settings ask.
void drop_privileges();
void sigchld_handler(int signal_number);
// In a child on its way to exec: every signal action back to what the daemon
// was started with. Safe after vfork: it only changes the child's own table.
void restore_signal_actions();

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
// Sends "READY=1" there, once, never blocking; a failure is only warned of.
void notify_service_manager();

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
// Whether a comes before b (CLOCK_MONOTONIC times).
bool time_before(const timespec *a, const timespec *b);
// The select loop: reap, accept, drain pending refusals. Never returns.
[[noreturn]] void main_loop(int listening);

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
// Sizes the record of started children (and with -C the counts per source)
// for -c; dies with "out of memory".
void prepare_child_table();
// Makes room for one more record, growing the tables by doubling; -1 when
// memory ran out, and nothing changed.
int reserve_child_record();
// Records a child the daemon started and counts it for its source; room
// must have been reserved.
void add_child_record(pid_t pid, const source_key *source);
// Forgets pid and uncounts it for its source; false for a process the
// daemon never started (one it had before exec, or an orphan as PID 1).
bool remove_child_record(pid_t pid);
// Commands running for clients of source; only with -C.
int source_children(const source_key *source);

// address_text.cc

extern char address_buffer[INET6_ADDRSTRLEN];  // the last text address_text made

// "TCP6", or "TCP" for IPv4 and IPv4-mapped IPv6 addresses.
const char *proto_name(const socket_address *address);
// Numeric text of the address in address_buffer (valid until the next call), or "-".
const char *address_text(const socket_address *address);
// The port in host byte order.
int address_port(const socket_address *address);

// connection_intake.cc

// Accepts at most one connection and hands it to the spawner, the refusal
// queue, or drops it at the limit when it does not fit a descriptor set.
// Dies with "accept failed" when the listening socket itself no longer works.
void handle_accept(int listening, int at_limit);

// command_spawning.cc

// How long a child under -p waits for the whole PROXY header.
constexpr int proxy_header_seconds = 5;

// Sets aside, once, the environment every command gets: the daemon's own with
// the connection's variables in place. Dies when memory runs out.
void prepare_command_environment();
// Starts the command for conn and records it for source. Takes over conn: it
// is closed in the daemon before this returns, whatever happens.
void spawn_command(int conn, const socket_address *remote, const socket_address *local, const source_key *source);

// proxy_header.cc

// What a PROXY protocol header (version 1 text or version 2 binary) says about a connection.
struct proxy_header {
    size_t length;               // bytes of the whole header on the wire, CRLF or TLVs included
    bool has_addresses;          // false for v1 UNKNOWN, v2 LOCAL, and v2 PROXY other than TCP over IPv4 or IPv6
    socket_address source;       // the client as the balancer saw it: family, address, port in network order
    socket_address destination;  // the address the client connected to
};

// 1: complete, header filled (a version 2 length may exceed available: its TLVs are not needed);
// 0: a valid beginning, more bytes are needed; -1: malformed. Pure: no system call, no allocation.
int parse_proxy_header(const unsigned char *data, size_t available, proxy_header *header);
// Reads exactly one header from conn and not one byte more, waiting at most until deadline (CLOCK_MONOTONIC).
// 0 with header filled; -1 when malformed, too long, incomplete at the deadline, or the peer closes or fails first.
int read_proxy_header(int conn, const timespec *deadline, proxy_header *header);

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

// How long a refused connection may linger after its text.
constexpr int linger_seconds = 2;

// Sends the refusal text without blocking; over_source tells the log line
// that -C, not -c, refused it. Takes over conn: it is closed at once or held
// in a record of pending_list until sent or failed.
void refuse_connection(int conn, const socket_address *remote, bool over_source);
// One write for record, and after the last byte the start of its lingering;
// 1 when it finished (closed, unlinked, freed) the record, else 0.
int pending_write_step(pending_write *previous, pending_write *record);
// One write for every record being sent whose descriptor select found
// writable, one bounded read for every lingering one found readable, and the
// end of every lingering one whose time is up.
void drain_pending_writes(const fd_set *readable, const fd_set *writable);

}  // namespace sockherd

#endif
