#include "sockherd.h"

#include <cstdio>
#include <netinet/tcp.h>
#include <unistd.h>

namespace sockherd {

// Five variables through one buffer: each is copied into the environment
// before the next is formatted, and each address text is used before the
// next address_text call overwrites it.
static void put_connection_environment(const socket_address *remote, const socket_address *local)
{
    char env_buffer[80];
    (void)snprintf(env_buffer, sizeof env_buffer, "PROTO=%s", proto_name(local));
    put_env_copy(env_buffer);
    (void)snprintf(env_buffer, sizeof env_buffer, "TCPLOCALIP=%s", address_text(local));
    put_env_copy(env_buffer);
    (void)snprintf(env_buffer, sizeof env_buffer, "TCPLOCALPORT=%d", address_port(local));
    put_env_copy(env_buffer);
    (void)snprintf(env_buffer, sizeof env_buffer, "TCPREMOTEIP=%s", address_text(remote));
    put_env_copy(env_buffer);
    (void)snprintf(env_buffer, sizeof env_buffer, "TCPREMOTEPORT=%d", address_port(remote));
    put_env_copy(env_buffer);
}

[[noreturn]] static void run_child(int conn, const socket_address *remote, const socket_address *local)
{
    // A failed copy (for lack of kernel memory; the numbers are valid) leaves
    // the command the daemon's own descriptor there.
    (void)dup2(conn, 0);
    (void)dup2(conn, 1);
    if (settings.stderr_to_socket)
        (void)dup2(conn, 2);
    put_connection_environment(remote, local);
    // The command gets the mask we were started with, not our SIGCHLD block:
    // a command that waits for children of its own through SIGCHLD would hang.
    (void)sigprocmask(SIG_SETMASK, &startup_signal_mask, nullptr);
    execvp(command_argv[0], command_argv);
    _exit(failure_status);  // not exit: that would flush the daemon's stdio buffers again
}

void spawn_command(int conn, const socket_address *remote, const socket_address *local)
{
    if (settings.tcp_nodelay) {
        int one = 1;
        if (setsockopt(conn, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) == -1) {
            warn("unable to set TCP_NODELAY");
            (void)close(conn);
            return;
        }
    }
    pid_t pid = fork();
    if (pid == -1) {
        warn("fork failed");
        (void)close(conn);
        return;
    }
    if (pid == 0)
        run_child(conn, remote, local);

    running_children++;
    if (settings.verbose)
        (void)fprintf(stderr, "%ld connected from %s port %d (%d/%d)\n", static_cast<long>(pid),
                      address_text(remote), address_port(remote), running_children, settings.max_children);
    (void)close(conn);
}

}  // namespace sockherd
