#include "sockherd.h"

#include <cstdio>

namespace sockherd {

// Every line the daemon writes about a client is made here, so that a reader
// finds them all in one place and the places where things happen name the
// event, never its format.

void log_connected(pid_t pid, const connection *c)
{
    if (!settings.verbose)
        return;
    (void)fprintf(stderr, "%ld connected from %s port %d (%d/%d)\n", static_cast<long>(pid), address_text(&c->peer),
                  address_port(&c->peer), slots_in_use(), settings.max_children);
    if (c->proxied)
        log_proxied(pid, &c->client);
}

void log_proxied(pid_t pid, const socket_address *client)
{
    if (settings.verbose)
        (void)fprintf(stderr, "%ld proxied from %s port %d\n", static_cast<long>(pid), address_text(client),
                      address_port(client));
}

void log_closed(pid_t pid)
{
    if (settings.verbose)
        (void)fprintf(stderr, "%ld closed (%d/%d)\n", static_cast<long>(pid), slots_in_use(), settings.max_children);
}

void log_refused(const socket_address *remote, bool over_source)
{
    if (!settings.verbose)
        return;
    if (over_source)
        (void)fprintf(stderr, "- refused from %s port %d (source limit)\n", address_text(remote),
                      address_port(remote));
    else
        (void)fprintf(stderr, "- refused from %s port %d\n", address_text(remote), address_port(remote));
}

void log_dropped(const socket_address *remote)
{
    if (settings.verbose)
        (void)fprintf(stderr, "- dropped from %s port %d\n", address_text(remote), address_port(remote));
}

// Whatever -v says: a balancer that sends bad headers is misconfigured, and
// an operator must hear of it.
void log_bad_header(pid_t pid, const socket_address *peer)
{
    if (pid == 0)
        (void)fprintf(stderr, "- bad proxy header from %s port %d\n", address_text(peer), address_port(peer));
    else
        (void)fprintf(stderr, "%ld bad proxy header from %s port %d\n", static_cast<long>(pid), address_text(peer),
                      address_port(peer));
}

}  // namespace sockherd
