#include "sockherd.h"

#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace sockherd {

header_wait *header_waits = nullptr;
int waiting_headers = 0;
static header_wait *last_wait = nullptr;  // where the next record goes, so the list stays in deadline order

// The header is in: the connection goes the way of one without -p, with the
// header's addresses where it named a client (a health check names none):
// first the rules, then the limits.
static void header_complete(int conn, const socket_address *peer, const socket_address *local,
                            const proxy_header *header)
{
    connection c = {};
    c.peer = *peer;
    c.local = header->has_addresses ? header->destination : *local;
    c.client = header->has_addresses ? header->source : *peer;
    c.proxied = header->has_addresses;
    if (!denied_by_rules(conn, &c))
        admit_connection(conn, &c);
}

// Malformed, failed, closed or too late: no byte is ever written to it.
static void header_bad(int conn, const socket_address *peer)
{
    log_bad_header(0, peer);
    (void)close(conn);
    resume_accepting();
}

// Where one attempt leaves a connection: complete or bad, it is done with.
static void finish_attempt(int step, int conn, const socket_address *peer, const socket_address *local,
                           const proxy_header *header)
{
    if (step == 1)
        header_complete(conn, peer, local, header);
    else
        header_bad(conn, peer);
}

static void queue_wait(int conn, const socket_address *peer, const socket_address *local,
                       const header_reading *reading)
{
    header_wait *record = static_cast<header_wait *>(malloc(sizeof *record));
    if (record == nullptr) {
        warn("out of memory");
        (void)close(conn);
        return;
    }
    // Without a clock the wait could never end: better to give up at once.
    if (clock_gettime(CLOCK_MONOTONIC, &record->deadline) == -1) {
        free(record);
        header_bad(conn, peer);
        return;
    }
    record->deadline.tv_sec += proxy_header_seconds;
    record->conn_fd = conn;
    record->peer = *peer;
    record->local = *local;
    record->reading = *reading;
    record->next_wait = nullptr;
    if (last_wait == nullptr)
        header_waits = record;
    else
        last_wait->next_wait = record;
    last_wait = record;
    waiting_headers++;
}

void wait_for_header(int conn, const socket_address *peer, const socket_address *local)
{
    if (set_nonblocking(conn) == -1) {
        warn("unable to set O_NONBLOCK");
        (void)close(conn);
        return;
    }
    // A balancer sends the header with its first segment: it is usually here
    // already, and the connection never waits.
    header_reading reading;
    memset(&reading, 0, sizeof reading);
    int step = continue_proxy_header(conn, &reading);
    if (step == 0)
        queue_wait(conn, peer, local, &reading);
    else
        finish_attempt(step, conn, peer, local, &reading.header);
}

static void unlink_wait(header_wait *previous, header_wait *record)
{
    if (previous == nullptr)
        header_waits = record->next_wait;
    else
        previous->next_wait = record->next_wait;
    if (last_wait == record)
        last_wait = previous;
    waiting_headers--;
}

// One step for record in this pass; true when it is done with (unlinked and
// freed). now is read once per pass, when first needed.
static bool serve_wait(header_wait *previous, header_wait *record, const fd_set *readable, timespec *now,
                       bool *have_now)
{
    int step = 0;
    if (FD_ISSET(record->conn_fd, readable))
        step = continue_proxy_header(record->conn_fd, &record->reading);
    if (step == 0) {
        // Without a clock no deadline can be kept: no wait may go on.
        if (!*have_now)
            *have_now = clock_gettime(CLOCK_MONOTONIC, now) == 0;
        if (*have_now && time_before(now, &record->deadline))
            return false;
        step = -1;
    }
    // Unlinked first: admitting it may start a command, whose "connected"
    // line counts it as running and no longer as waiting.
    unlink_wait(previous, record);
    finish_attempt(step, record->conn_fd, &record->peer, &record->local, &record->reading.header);
    free(record);
    return true;
}

void close_header_waits()
{
    while (header_waits != nullptr) {
        header_wait *record = header_waits;
        unlink_wait(nullptr, record);
        (void)close(record->conn_fd);
        free(record);
    }
}

void serve_header_waits(const fd_set *readable)
{
    timespec now;
    bool have_now = false;
    header_wait *previous = nullptr;
    header_wait *record = header_waits;
    while (record != nullptr) {
        header_wait *next = record->next_wait;  // read first: a finished record is freed
        if (!serve_wait(previous, record, readable, &now, &have_now))
            previous = record;
        record = next;
    }
}

}  // namespace sockherd
