#include "sockherd.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <netinet/tcp.h>
#include <unistd.h>

namespace sockherd {

// Why the last vfork child could not execute the command, or 0: the one
// thing that child writes into the daemon's memory, read once vfork returns.
static volatile int exec_errno;

// The child may wait for a PROXY header for seconds: it must not keep the
// listening socket, the self-pipe or a refused client (who would wait for
// its end of file) open meanwhile.
static void close_daemon_descriptors()
{
    (void)close(listen_fd);
    (void)close(self_pipe[0]);
    (void)close(self_pipe[1]);
    for (pending_write *record = pending_list; record != nullptr; record = record->next_pending)
        (void)close(record->conn_fd);
    for (header_wait *record = header_waits; record != nullptr; record = record->next_wait)
        (void)close(record->conn_fd);
}

// In the child under -p: the variables from the connection's PROXY header.
// A missing or bad header ends the child without running the command.
static void take_proxy_header(int conn, const socket_address *remote, const socket_address *local)
{
    timespec deadline = {};
    proxy_header header;
    bool valid = clock_gettime(CLOCK_MONOTONIC, &deadline) == 0;
    deadline.tv_sec += proxy_header_seconds;
    close_daemon_descriptors();
    if (!valid || read_proxy_header(conn, &deadline, &header) == -1) {
        log_bad_header(getpid(), remote);
        _exit(failure_status);  // closes the connection without a byte written
    }
    // The rules are the daemon's, as they stood at the fork; the limit a rule
    // sets cannot apply here, where the daemon never learns the client.
    const socket_address *client = header.has_addresses ? &header.source : remote;
    access_verdict verdict;
    match_access(access_rules, client, &verdict);
    if (!verdict.allowed) {
        log_denied(client, &verdict);
        _exit(failure_status);  // closes the connection without a byte written
    }
    if (header.has_addresses) {
        format_connection_variables(&header.source, &header.destination);
        log_proxied(getpid(), &header.source);
    } else {
        format_connection_variables(remote, local);  // the balancer's own connection, a health check say
    }
    format_proxy_variables(remote);
    apply_rule_variables(&verdict);
}

// The last steps of every child: the connection on the standard descriptors,
// the start-up signal state, the command. After vfork this runs on the
// daemon's memory while the daemon waits, so each step is one that is safe
// there: system calls on the child's own descriptor table and signal state,
// nothing allocated, no stdio, no variable of the daemon's written, and no
// return (exec or _exit).
[[noreturn]] static void exec_command(int conn, bool forked)
{
    // The daemon read the header without blocking; the command gets the
    // ordinary blocking socket it would get without -p.
    int flags;
    if (settings.proxy_protocol && !forked && (flags = fcntl(conn, F_GETFL)) != -1)
        (void)fcntl(conn, F_SETFL, flags & ~O_NONBLOCK);
    // A failed copy (for lack of kernel memory; the numbers are valid) leaves
    // the command the daemon's own descriptor there.
    (void)dup2(conn, 0);
    (void)dup2(conn, 1);
    if (settings.stderr_to_socket)
        (void)dup2(conn, 2);
    // The child has its own table of signal actions. With our handlers gone,
    // no signal can run daemon code in it once the mask is lifted; the exec
    // would reset them anyway.
    restore_signal_actions();
    // The command gets the mask we were started with, not our SIGCHLD block:
    // a command that waits for children of its own through SIGCHLD would hang.
    (void)sigprocmask(SIG_SETMASK, &startup_signal_mask, nullptr);
    // execvpe searches PATH on the stack, without malloc.
    execvpe(command_argv[0], command_argv, command_environment);
    if (!forked)
        exec_errno = errno;
    else
        log_exec_failed(getpid(), errno);  // only a forked child may print: it has stdio of its own
    _exit(failure_status);  // not exit: that would flush the daemon's stdio buffers again
}

// Under -p the child reads from the client, for up to five seconds, before
// it can exec: a forked copy, never one that holds the daemon.
static pid_t start_proxied_child(int conn, const socket_address *remote, const socket_address *local)
{
    pid_t pid = fork();
    if (pid == 0) {
        // A stop while it waits for the header ends it as it would end the command.
        restore_signal_actions();
        // Its log lines go out before the copies, so -e never sends them to the client.
        take_proxy_header(conn, remote, local);
        exec_command(conn, true);
    }
    return pid;
}

// Everything the command needs is ready before vfork: the child then only
// copies descriptors and execs, and the daemon's pages are never copied.
static pid_t start_child(int conn, const connection *c)
{
    format_connection_variables(&c->client, &c->local);
    if (settings.proxy_protocol)
        format_proxy_variables(&c->peer);
    apply_rule_variables(&c->verdict);
    exec_errno = 0;
    pid_t pid = vfork();
    if (pid == 0)
        exec_command(conn, false);
    return pid;
}

// Three unanswered probes, each after N seconds: a client that vanished
// without a word is noticed after about four times N of silence.
static int set_keepalive(int conn)
{
    int one = 1;
    int seconds = settings.keepalive_seconds;
    int probes = 3;
    if (setsockopt(conn, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one) == -1 ||
        setsockopt(conn, IPPROTO_TCP, TCP_KEEPIDLE, &seconds, sizeof seconds) == -1 ||
        setsockopt(conn, IPPROTO_TCP, TCP_KEEPINTVL, &seconds, sizeof seconds) == -1 ||
        setsockopt(conn, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes) == -1)
        return -1;
    return 0;
}

void spawn_command(int conn, const connection *c, const source_key *source)
{
    if (settings.tcp_nodelay) {
        int one = 1;
        if (setsockopt(conn, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) == -1) {
            warn("unable to set TCP_NODELAY");
            (void)close(conn);
            return;
        }
    }
    if (settings.keepalive_seconds > 0 && set_keepalive(conn) == -1) {
        warn("unable to set SO_KEEPALIVE");
        (void)close(conn);
        return;
    }
    // Room for the records before the fork: a child we could not record
    // would never be counted down, nor ended at its time.
    int time_limit = time_limit_of(c);
    if (reserve_child_record() == -1 || (time_limit > 0 && reserve_deadline() == -1)) {
        warn("out of memory");
        (void)close(conn);
        return;
    }
    pid_t pid = c->header_unread ? start_proxied_child(conn, &c->peer, &c->local) : start_child(conn, c);
    if (pid == -1) {
        log_fork_failed();
        (void)close(conn);
        return;
    }

    // Only -J, -M and a time limit need to know when a command started:
    // without them, no clock is read.
    child_facts facts = {};
    facts.source = *source;
    facts.penalty_exempt = c->header_unread || c->verdict.no_penalty;
    if (!c->header_unread)
        facts.client = c->client;
    if (settings.json_log || settings.metrics_file != nullptr || time_limit > 0)
        (void)clock_gettime(CLOCK_MONOTONIC, &facts.started);
    add_child_record(pid, &facts);
    arm_time_limit(pid, time_limit);
    running_children++;
    log_connected(pid, c);
    if (!c->header_unread && exec_errno != 0)
        log_exec_failed(pid, exec_errno);
    (void)close(conn);
}

}  // namespace sockherd
