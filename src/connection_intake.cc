#include "sockherd.h"

#include <cerrno>
#include <ctime>
#include <unistd.h>

namespace sockherd {

// At the limit a refused connection waits in the loop's write set, which
// cannot hold it beyond FD_SETSIZE: such a connection is closed at once.
static void drop_connection(int conn, const socket_address *remote)
{
    log_dropped(remote);
    (void)close(conn);
}

// Over a limit of its source's (-C, -R, -P) with -r, as at the limit;
// without -r there is no queue of our own to leave the client in, so it is
// closed at once.
static void refuse_for_source(int conn, const socket_address *remote, refusal_reason reason)
{
    if (settings.refuse_response != nullptr) {
        if (conn < FD_SETSIZE)
            refuse_connection(conn, remote, reason);
        else
            drop_connection(conn, remote);
        return;
    }
    log_refused(remote, reason);
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

// One connection off the listen queue, close-on-exec, with its remote
// address; -1 when there is none to serve.
static int accept_one(int listening, socket_address *remote)
{
    socklen_t remote_length = sizeof *remote;
    int conn = accept(listening, &remote->any, &remote_length);
    int accept_errno = errno;
    if (remote_length > sizeof *remote) {
        warn("unable to get remote address");
        if (conn != -1)
            (void)close(conn);
        return -1;
    }
    if (conn == -1) {
        if (accept_errno == EAGAIN)
            return -1;  // nothing waits after all; not worth a line
        if (listener_unusable(accept_errno))
            die("accept failed");  // a supervisor that starts us again gets a working socket
        log_accept_failed();
        if (lacks_resources(accept_errno))
            pause_accepting();  // the client stays queued; retrying at once would only spin
        return -1;
    }
    set_cloexec(conn);  // before any fork, so no other command inherits it
    log_accepted();
    return conn;
}

void handle_accept(int listening, int at_limit)
{
    connection c = {};
    int conn = accept_one(listening, &c.peer);
    if (conn == -1)
        return;
    socklen_t local_length = sizeof c.local;
    if (getsockname(conn, &c.local.any, &local_length) == -1 || local_length > sizeof c.local) {
        warn("unable to get local address");
        (void)close(conn);
        return;
    }
    if (at_limit && conn >= FD_SETSIZE) {
        drop_connection(conn, &c.peer);
        return;
    }
    // Under -p the client is the one the header names: it is matched once
    // the header is in.
    c.client = c.peer;
    if (!settings.proxy_protocol && denied_by_rules(conn, &c))
        return;
    if (at_limit) {
        refuse_connection(conn, &c.peer, refused_at_limit);
        return;
    }
    // A header that has not all arrived waits in the loop, which can watch
    // only descriptors that fit its sets; above them a child reads it.
    if (settings.proxy_protocol && conn < FD_SETSIZE) {
        wait_for_header(conn, &c.peer, &c.local);
        return;
    }
    c.header_unread = settings.proxy_protocol;
    admit_connection(conn, &c);
}

bool denied_by_rules(int conn, connection *c)
{
    match_access(access_rules, &c->client, &c->verdict);
    if (c->verdict.allowed)
        return false;
    log_denied(&c->client, &c->verdict);
    (void)close(conn);
    return true;
}

// The rate a client's source is held to: its rule's rate=, else -R's; null
// for none (rate=none, or neither given).
static const rate_limit *rate_of(const access_verdict *v)
{
    if (v->matched && v->rate.per_second >= 0)
        return v->rate.per_second > 0 ? &v->rate : nullptr;
    return settings.source_rate.per_second > 0 ? &settings.source_rate : nullptr;
}

// Whether source may not start another command now, and why: its limit of
// commands at once (its rule's, or -C's), then its penalty and its rate.
// Only a client admitted here spends a turn of its rate.
static bool over_source_limits(const source_key *source, const access_verdict *v, refusal_reason *reason)
{
    bool rule_limit = v->matched && v->limit >= 0;
    int limit = rule_limit ? v->limit : settings.max_per_source;
    if ((rule_limit || settings.limit_per_source) && source_children(source) >= limit) {
        *reason = refused_over_source;
        return true;
    }
    const rate_limit *rate = rate_of(v);
    timespec now;
    // Without a clock no rate can be judged: better to serve.
    if ((rate == nullptr && !settings.penalties.given) || clock_gettime(CLOCK_MONOTONIC, &now) == -1)
        return false;
    rate_verdict verdict = rate_check(source, rate, &now);
    *reason = verdict == source_penalised ? refused_for_penalty : refused_over_rate;
    return verdict != source_admitted;
}

void admit_connection(int conn, const connection *c)
{
    source_key source = {};
    // A forked header reader's client is known only to the child.
    if ((counting_sources() || rating_sources()) && !c->header_unread) {
        source = source_of(&c->client);
        refusal_reason reason;
        if (over_source_limits(&source, &c->verdict, &reason)) {
            refuse_for_source(conn, &c->client, reason);
            return;
        }
    }
    spawn_command(conn, c, &source);
}

}  // namespace sockherd
