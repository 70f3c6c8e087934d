#include "sockherd.h"

#include <cerrno>
#include <unistd.h>

namespace sockherd {

// At the limit a refused connection waits in the loop's write set, which
// cannot hold it beyond FD_SETSIZE: such a connection is closed at once.
static void drop_connection(int conn, const socket_address *remote)
{
    log_dropped(remote);
    (void)close(conn);
}

// Over -C with -r, as at the limit; without -r there is no queue of our own
// to leave the client in, so it is closed at once.
static void refuse_over_source(int conn, const socket_address *remote)
{
    if (settings.refuse_response != nullptr) {
        if (conn < FD_SETSIZE)
            refuse_connection(conn, remote, true);
        else
            drop_connection(conn, remote);
        return;
    }
    log_refused(remote, true);
    (void)close(conn);
}

// Failures that last until a descriptor or some memory comes back.
static bool lacks_resources(int error)
{
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

// Failures of the listening socket itself (destroyed by `ss -K`, or under -L
// shut down by the manager): it never accepts again and stays readable, so
// carrying on would only spin.
static bool listener_unusable(int error)
{
    return error == EBADF || error == EINVAL || error == ENOTSOCK || error == EOPNOTSUPP;
}

void handle_accept(int listening, int at_limit)
{
    socket_address remote = {};
    socklen_t remote_length = sizeof remote;
    int conn = accept(listening, &remote.any, &remote_length);
    int accept_errno = errno;
    if (remote_length > sizeof remote) {
        warn("unable to get remote address");
        if (conn != -1)
            (void)close(conn);
        return;
    }
    if (conn == -1) {
        if (accept_errno == EAGAIN)
            return;  // nothing waits after all; not worth a line
        if (listener_unusable(accept_errno))
            die("accept failed");  // a supervisor that starts us again gets a working socket
        log_accept_failed();
        if (lacks_resources(accept_errno))
            pause_accepting();  // the client stays queued; retrying at once would only spin
        return;
    }
    set_cloexec(conn);  // before any fork, so no other command inherits it
    log_accepted();

    socket_address local = {};
    socklen_t local_length = sizeof local;
    if (getsockname(conn, &local.any, &local_length) == -1 || local_length > sizeof local) {
        warn("unable to get local address");
        (void)close(conn);
        return;
    }

    if (at_limit) {
        if (conn < FD_SETSIZE)
            refuse_connection(conn, &remote, false);
        else
            drop_connection(conn, &remote);
        return;
    }
    // A header that has not all arrived waits in the loop, which can watch
    // only descriptors that fit its sets; above them a child reads it.
    if (settings.proxy_protocol && conn < FD_SETSIZE) {
        wait_for_header(conn, &remote, &local);
        return;
    }
    connection c = {};
    c.peer = remote;
    c.local = local;
    c.client = remote;
    c.header_unread = settings.proxy_protocol;
    admit_connection(conn, &c);
}

void admit_connection(int conn, const connection *c)
{
    source_key source = {};
    if (settings.limit_per_source && !c->header_unread) {
        source = source_of(&c->client);
        if (source_children(&source) >= settings.max_per_source) {
            refuse_over_source(conn, &c->client);
            return;
        }
    }
    spawn_command(conn, c, &source);
}

}  // namespace sockherd
